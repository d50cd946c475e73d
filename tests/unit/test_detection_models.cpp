// gw_detect_run with small stand-in detection models (tests/support/models_detection.py):
// each outputs the image brightness in some shape, so drawing bright blocks
// on black puts "text" at known places.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <array>
#include <string>
#include <vector>

#include "detection/detection.h"
#include "test_support.h"

namespace {

struct Image {
    int w, h;
    std::vector<uint8_t> rgb;
    Image(int w_, int h_, uint8_t v = 0) : w(w_), h(h_), rgb((size_t)w_ * h_ * 3, v) {}
    Image &rect(int x, int y, int rw, int rh, uint8_t v)
    {
        for (int yy = y; yy < y + rh; yy++)
            memset(&rgb[((size_t)yy * w + x) * 3], v, (size_t)rw * 3);
        return *this;
    }
};

// Black 640x480 (its own network size) with one white block.
Image one_block() { return Image(640, 480).rect(100, 50, 160, 30, 255); }

std::array<int, 4> xywh(const TextBox &b) { return {b.x, b.y, b.w, b.h}; }

struct DetModel : ::testing::Test {
    DetectionResult res;
    char msg[512];
    ModelSession session{};
    DetectOptions opt{0.3f, 0.0f, 0.0f};  // threshold, unclip, detector scale

    void SetUp() override
    {
        memset(&res, 0, sizeof res);
        memset(msg, 0, sizeof msg);
    }
    void TearDown() override
    {
        gw_detection_free(&res);
        ort_session_destroy(&session);
    }
    void use(const std::string &model)
    {
        char m[1024] = "";
        ort_session_destroy(&session);
        ASSERT_EQ(ort_session_create(model.c_str(), &session, m, sizeof m), 0) << m;
        opt.threshold = 0.3f;
    }
    int detect(const Image &im)
    {
        gw_detection_free(&res);
        memset(msg, 0, sizeof msg);
        return gw_detect_run(&session, &opt, im.rgb.data(), im.w, im.h, &res, msg, sizeof msg);
    }
    // A failed run: -1, the message (or its start, with prefix), the record left all zero.
    void expect_failure(const Image &im, const std::string &text, bool prefix = false)
    {
        static const DetectionResult zero{};
        EXPECT_EQ(detect(im), -1) << text;
        EXPECT_EQ(prefix ? std::string(msg).substr(0, text.size()) : std::string(msg), text);
        EXPECT_EQ(memcmp(&res, &zero, sizeof res), 0) << "the record is all zero after " << text;
    }
};

}  // namespace

TEST_F(DetModel, BrightBlocksBecomeBoxesAtTheirPlaces)
{
    use(gwt::test_model("det_bright.onnx"));
    // The map is the image, pixel for pixel.
    ASSERT_EQ(detect(one_block().rect(300, 200, 40, 12, 255)), 0) << msg;
    EXPECT_EQ(res.map_width, 640);
    EXPECT_EQ(res.map_height, 480);
    ASSERT_EQ(res.box_count, 2);
    EXPECT_EQ(xywh(res.boxes[0]), (std::array<int, 4>{100, 50, 160, 30}));
    EXPECT_EQ(res.boxes[0].conf, 1.0f);
    EXPECT_EQ(xywh(res.boxes[1]), (std::array<int, 4>{300, 200, 40, 12}));
    EXPECT_EQ(res.score_map[0], 0.0f);
    EXPECT_EQ(res.score_map[60 * 640 + 150], 1.0f);

    // The threshold comes from the options of each call.
    opt.threshold = 0.5f;
    const Image gray = Image(640, 480).rect(100, 100, 100, 20, 120);  // brightness 0.47
    ASSERT_EQ(detect(gray), 0) << msg;
    EXPECT_EQ(res.box_count, 0);
    opt.threshold = 0.4f;
    ASSERT_EQ(detect(gray), 0) << msg;
    EXPECT_EQ(res.box_count, 1);
}

TEST_F(DetModel, ScaledImageBoxesLandInImagePixels)
{
    use(gwt::test_model("det_bright.onnx"));
    // 1920x1080 runs at 960x544; a block survives the trip within a pixel or two.
    ASSERT_EQ(detect(Image(1920, 1080).rect(400, 900, 600, 60, 255)), 0) << msg;
    EXPECT_EQ(res.map_width, 960);
    EXPECT_EQ(res.map_height, 544);
    ASSERT_EQ(res.box_count, 1);
    const TextBox &b = res.boxes[0];
    EXPECT_NEAR(b.x, 400, 3);
    EXPECT_NEAR(b.y, 900, 3);
    EXPECT_NEAR(b.x + b.w, 1000, 3);
    EXPECT_NEAR(b.y + b.h, 960, 3);
    EXPECT_GE(b.conf, 0.3f);
    EXPECT_LE(b.conf, 1.0f);
}

TEST_F(DetModel, HalfSizeOutputIsResampledToTheFullMap)
{
    use(gwt::test_model("det_bright_half.onnx"));
    ASSERT_EQ(detect(one_block()), 0) << msg;
    EXPECT_EQ(res.map_width, 640);
    EXPECT_EQ(res.map_height, 480);
    ASSERT_EQ(res.box_count, 1);
    EXPECT_NEAR(res.boxes[0].x, 100, 3);
    EXPECT_NEAR(res.boxes[0].y, 50, 3);
    EXPECT_NEAR(res.boxes[0].w, 160, 4);
    EXPECT_NEAR(res.boxes[0].h, 30, 4);
    // Corner-aligned upsampling keeps the map's corners and the block's core.
    EXPECT_EQ(res.score_map[0], 0.0f);
    EXPECT_EQ(res.score_map[640 * 480 - 1], 0.0f);
    EXPECT_EQ(res.score_map[65 * 640 + 180], 1.0f);
}

TEST_F(DetModel, OutputOutsideZeroToOneIsClamped)
{
    use(gwt::test_model("det_range.onnx"));  // -0.2 on black, 1.3 on white
    ASSERT_EQ(detect(one_block()), 0) << msg;
    float lo = 2, hi = -1;
    for (size_t i = 0; i < (size_t)640 * 480; i++) {
        lo = fminf(lo, res.score_map[i]);
        hi = fmaxf(hi, res.score_map[i]);
    }
    EXPECT_EQ(lo, 0.0f);
    EXPECT_EQ(hi, 1.0f);
    ASSERT_EQ(res.box_count, 1);
    EXPECT_EQ(res.boxes[0].conf, 1.0f);
}

TEST_F(DetModel, NaNOutputCountsAsNoText)
{
    use(gwt::test_model("det_nan.onnx"));  // NaN wherever brightness < 0.5
    ASSERT_EQ(detect(one_block()), 0) << msg;
    for (size_t i = 0; i < (size_t)640 * 480; i++)
        ASSERT_FALSE(isnan(res.score_map[i])) << "index " << i;
    ASSERT_EQ(res.box_count, 1);
    EXPECT_EQ(res.boxes[0].x, 100);
    EXPECT_EQ(res.boxes[0].w, 160);
    EXPECT_EQ(res.boxes[0].conf, 1.0f);

    // All NaN: no text at all (NaN taken as text would give one huge
    // region, and NaN confidences wherever it touched a real box).
    ASSERT_EQ(detect(Image(320, 240)), 0) << msg;
    EXPECT_EQ(res.box_count, 0);
    EXPECT_EQ(res.score_map[0], 0.0f);
}

TEST_F(DetModel, SmallAndOddImageSizes)
{
    use(gwt::test_model("det_bright.onnx"));
    DetectionResult before;
    memset(&res, 0x5A, sizeof res);
    memcpy(&before, &res, sizeof res);
    for (auto [w, h] : {std::pair<int, int>{7, 100}, {100, 7}}) {
        Image im(w, h, 255);
        EXPECT_EQ(gw_detect_run(&session, &opt, im.rgb.data(), w, h, &res, msg, sizeof msg), -1);
        EXPECT_EQ(msg, "image too small: " + std::to_string(w) + "x" + std::to_string(h));
        EXPECT_EQ(memcmp(&res, &before, sizeof res), 0) << "the record is left as it was";
    }
    memset(&res, 0, sizeof res);

    // 8x8 is stretched to 32x32 and can hold no box, even all white.
    ASSERT_EQ(detect(Image(8, 8, 255)), 0) << msg;
    EXPECT_EQ(res.map_width, 32);
    EXPECT_EQ(res.map_height, 32);
    EXPECT_EQ(res.box_count, 0);
    EXPECT_NE(res.boxes, nullptr);

    // A very tall strip: 32x960 network input, box found at the right rows.
    ASSERT_EQ(detect(Image(8, 20000).rect(0, 10000, 8, 800, 255)), 0) << msg;
    EXPECT_EQ(res.map_width, 32);
    EXPECT_EQ(res.map_height, 960);
    ASSERT_EQ(res.box_count, 1);
    EXPECT_EQ(res.boxes[0].x, 0);
    EXPECT_EQ(res.boxes[0].w, 8);
    EXPECT_NEAR(res.boxes[0].y, 10000, 25);
    EXPECT_NEAR(res.boxes[0].h, 800, 50);
}

TEST_F(DetModel, ThreeDimensionalOutputFails)
{
    use(gwt::test_model("det_3d.onnx"));
    expect_failure(Image(64, 64, 255), "det session: out[0] empty");
}

TEST_F(DetModel, OutputLargerThanTheMapIsRefused)
{
    use(gwt::test_model("det_double.onnx"));  // {1, 1, 2H, 2W}
    expect_failure(Image(100, 50, 255), "det: bad output dims 256x128 with 32768 values (the 128x64 map holds 8192)");
    use(gwt::test_model("det_two_planes.onnx"));  // {1, 2, H, W}
    expect_failure(Image(100, 50, 255), "det: bad output dims 128x64 with 16384 values (the 128x64 map holds 8192)");
}

TEST_F(DetModel, FailingOrMissingSessionIsReported)
{
    // A model that cannot run on this input: the session's own text follows.
    use(gwt::test_model("det_fail_run.onnx"));
    expect_failure(Image(64, 64), "det session: SessionRun: ", true);

    ort_session_destroy(&session);
    expect_failure(Image(64, 64), "det session: ");
}

TEST_F(DetModel, RepeatedRunsGiveTheSameResult)
{
    use(gwt::test_model("det_bright_half.onnx"));
    const Image im = Image(333, 177).rect(20, 30, 100, 20, 200).rect(150, 100, 150, 40, 255);
    ASSERT_EQ(detect(im), 0) << msg;
    std::vector<TextBox> first(res.boxes, res.boxes + res.box_count);
    std::vector<float> map(res.score_map, res.score_map + (size_t)res.map_width * res.map_height);
    ASSERT_EQ(first.size(), 2u);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(detect(im), 0) << msg;
        ASSERT_EQ(res.box_count, 2);
        EXPECT_EQ(memcmp(res.boxes, first.data(), sizeof(TextBox) * 2), 0);
        EXPECT_EQ(memcmp(res.score_map, map.data(), map.size() * sizeof(float)), 0);
    }
}

TEST_F(DetModel, KeptWorkMemoryGivesTheSameResults)
{
    // One arena over pictures of changing sizes: it grows when a larger
    // picture needs more, and every result is the one-off call's.
    use(gwt::test_model("det_bright.onnx"));
    DetectArena arena = {NULL, 0};
    for (const Image &im : {Image(160, 90).rect(20, 30, 60, 20, 255), Image(640, 480).rect(300, 200, 40, 12, 255),
                            Image(200, 120).rect(10, 10, 50, 30, 200)}) {
        ASSERT_EQ(detect(im), 0) << msg;
        std::vector<TextBox> once(res.boxes, res.boxes + res.box_count);
        std::vector<float> map(res.score_map, res.score_map + (size_t)res.map_width * res.map_height);
        gw_detection_free(&res);
        ASSERT_EQ(gw_detect_run_in(&session, &opt, &arena, im.rgb.data(), im.w, im.h, &res, msg, sizeof msg), 0) << msg;
        EXPECT_GE(arena.cap, (size_t)3 * res.map_width * res.map_height);
        ASSERT_EQ((size_t)res.box_count, once.size());
        EXPECT_EQ(memcmp(res.boxes, once.data(), once.size() * sizeof(TextBox)), 0);
        EXPECT_EQ(memcmp(res.score_map, map.data(), map.size() * sizeof(float)), 0);
    }
    gw_detect_arena_free(&arena);
    EXPECT_EQ(arena.input, nullptr);
    EXPECT_EQ(arena.cap, 0u);
}
