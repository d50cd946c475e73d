// The 512x512 model pass and the blend, with small stand-in fill models made
// at test time (tests/support/models_inpaint.py).
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>
#include <array>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "inpaint/inpaint.h"
#include "inpaint_support.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
const size_t P = (size_t)GW_INPAINT_SIZE * GW_INPAINT_SIZE;
const char *FAIL_PREFIX = "[inpaint] LAMA FAIL: ";

// The lines of captured standard error that the inpainting pass wrote.
std::vector<std::string> fail_lines(const std::string &err)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while ((pos = err.find(FAIL_PREFIX, pos)) != std::string::npos) {
        size_t end = err.find('\n', pos);
        out.push_back(err.substr(pos, end == std::string::npos ? std::string::npos : end + 1 - pos));
        pos += strlen(FAIL_PREFIX);
    }
    return out;
}

// A crop over test-owned buffers: pixels copied from the frame, the mask all
// hole or all zero.
struct CropBufs {
    Bytes pixels, mask, repainted, alpha;
    RegionCrop c{};
    CropBufs(const Bytes &frame, int fw, int x, int y, int side, bool hole)
        : pixels((size_t)side * side * 3), mask((size_t)side * side, hole ? 1 : 0), repainted(pixels.size()),
          alpha((size_t)side * side)
    {
        for (int r = 0; r < side; r++)
            memcpy(&pixels[(size_t)r * side * 3], &frame[((size_t)(y + r) * fw + x) * 3], (size_t)side * 3);
        c.x = x;
        c.y = y;
        c.side = side;
        c.pixels = pixels.data();
        c.stride = side * 3;
        c.mask = mask.data();
        c.repainted = repainted.data();
        c.alpha = alpha.data();
    }
    CropBufs(const CropBufs &) = delete;  // c points into this object's own vectors
    void set(int col, int row) { mask[(size_t)row * c.side + col] = 1; }
};

struct LamaPass : ::testing::Test {
    ModelSession model{};
    InpaintOptions opt = gwt::inpaint_defaults();
    InpaintArena arena{};
    gwt::Work t{GW_INPAINT_SIZE, GW_INPAINT_SIZE};  // crops up to 512 square
    Bytes frame, orig;  // the frame being worked on, and as it was
    int fw = 0, fh = 0;

    void TearDown() override
    {
        ort_session_destroy(&model);
        gw_inpaint_arena_free(&arena);
    }
    void use(const char *name)
    {
        ort_session_destroy(&model);
        char msg[1024] = {0};
        ASSERT_EQ(ort_session_create(gwt::test_model(name).c_str(), &model, msg, sizeof msg), 0) << name << ": " << msg;
    }
    // A new w x h frame of random bytes from seed; seed 0: all black.
    void new_frame(int w, int h, unsigned seed)
    {
        std::mt19937 rng(seed);
        fw = w, fh = h;
        frame.resize((size_t)w * h * 3);
        for (auto &v : frame)
            v = seed ? (uint8_t)rng() : 0;
        orig = frame;
    }
    CropBufs crop(int x, int y, int side, bool hole = false) { return CropBufs(frame, fw, x, y, side, hole); }
    // Runs inpaint_crop and returns what it wrote to standard error.
    std::string run(CropBufs &cb)
    {
        testing::internal::CaptureStderr();
        inpaint_crop(&model, &cb.c, frame.data(), fw, &t.w);
        return testing::internal::GetCapturedStderr();
    }
    int frame_result = 0;  // what the last run_frame's gw_inpaint_frame returned
    std::string run_frame(std::vector<TextBox> b, int ys = 0, int ye = 0)
    {
        std::vector<float> map(32 * 32, 0.0f);
        DetectionResult d{};
        d.score_map = map.data();
        d.map_width = d.map_height = 32;
        d.box_count = (int32_t)b.size();
        d.boxes = b.data();
        testing::internal::CaptureStderr();
        frame_result = gw_inpaint_frame(&model, &opt, &arena, frame.data(), fw, fh, &d, ys, ye);
        return testing::internal::GetCapturedStderr();
    }
};

using gwt::box;

const uint8_t *px(const Bytes &f, int w, int x, int y) { return &f[((size_t)y * w + x) * 3]; }

using Rgb = std::array<int, 3>;
Rgb rgb(const Bytes &f, int w, int x, int y) { return {px(f, w, x, y)[0], px(f, w, x, y)[1], px(f, w, x, y)[2]}; }

}  // namespace

TEST_F(LamaPass, OutputIsClampedAndRounded)
{
    // Side 512: the crop reaches the model and comes back without scaling, and
    // a full hole gives alpha 255 everywhere, so the frame takes the converted
    // output exactly. Column blocks of 64 hold -3.2, 127.5, 254.6, 300, NaN,
    // -inf, +inf, 0.4.
    use("inp_columns.onnx");
    new_frame(512, 512, 5);
    CropBufs cb = crop(0, 0, 512, true);
    EXPECT_EQ(fail_lines(run(cb)).size(), 0u);
    const int expect[8] = {0, 128, 255, 255, 0, 0, 255, 0};
    for (int y = 0; y < 512; y++)
        for (int x = 0; x < 512; x++)
            for (int c = 0; c < 3; c++)
                ASSERT_EQ(px(frame, 512, x, y)[c], expect[x / 64]) << x << "," << y;
    for (uint8_t a : cb.alpha)
        ASSERT_EQ(a, 255);
}

TEST_F(LamaPass, TensorsArePlanarAndEchoRoundTrips)
{
    use("inp_echo.onnx");
    new_frame(512, 512, 6);
    CropBufs cb = crop(0, 0, 512, true);
    EXPECT_EQ(fail_lines(run(cb)).size(), 0u);
    for (size_t i = 0; i < P; i++)
        for (int c = 0; c < 3; c++)
            ASSERT_EQ(t.image[c * P + i], (float)orig[i * 3 + c] / 255.0f) << i << " channel " << c;
    for (size_t i = 0; i < P; i++)
        ASSERT_EQ(t.mask[i], 1.0f) << i;
    // The model hands the image back on the 0..255 scale: every pixel survives.
    EXPECT_TRUE(frame == orig);
}

TEST_F(LamaPass, HoleEdgeIsSoftened)
{
    // Left half of a 512 crop is hole: the 512 mask is 255 up to column 255
    // (255.5 lies half-way and rounds up), and the blend weights fall off
    // 255, 226, 170, 85, 28, 0 across the edge.
    use("inp_const.onnx");
    new_frame(512, 512, 7);
    CropBufs cb = crop(0, 0, 512);
    for (int y = 0; y < 512; y++)
        for (int x = 0; x < 256; x++)
            cb.set(x, y);
    EXPECT_EQ(fail_lines(run(cb)).size(), 0u);
    for (int y : {0, 100, 511}) {
        EXPECT_EQ(t.mask[(size_t)y * 512 + 255], 1.0f);
        EXPECT_EQ(t.mask[(size_t)y * 512 + 256], 0.0f);
        std::vector<int> got;
        for (int x = 253; x <= 258; x++)
            got.push_back(cb.alpha[(size_t)y * 512 + x]);
        EXPECT_EQ(got, (std::vector<int>{255, 226, 170, 85, 28, 0})) << "row " << y;
        // Full weight: the repainted colour exactly; no weight: untouched.
        EXPECT_EQ(rgb(frame, 512, 253, y), (Rgb{200, 100, 50}));
        EXPECT_EQ(memcmp(px(frame, 512, 258, y), px(orig, 512, 258, y), (512 - 258) * 3), 0);
    }
}

TEST_F(LamaPass, BlendFollowsTheAlpha)
{
    // A round hole in a crop of side 300 inside a larger frame: the scaled
    // soft edge yields many alpha values. Bytes 0..5 leave the frame alone,
    // 255 takes the repainted value, the rest mix in float32.
    use("inp_const.onnx");
    const int x0 = 70, y0 = 40, s = 300;
    new_frame(420, 380, 8);
    CropBufs cb = crop(x0, y0, s);
    for (int y = 0; y < s; y++)
        for (int x = 0; x < s; x++)
            if ((x - 150) * (x - 150) + (y - 140) * (y - 140) < 90 * 90)
                cb.set(x, y);
    EXPECT_EQ(fail_lines(run(cb)).size(), 0u);

    std::set<int> seen;
    for (int y = 0; y < fh; y++)
        for (int x = 0; x < fw; x++) {
            const uint8_t *now = px(frame, fw, x, y), *was = px(orig, fw, x, y);
            const bool inside = x >= x0 && x < x0 + s && y >= y0 && y < y0 + s;
            if (!inside) {
                ASSERT_EQ(memcmp(now, was, 3), 0) << x << "," << y;
                continue;
            }
            const size_t i = (size_t)(y - y0) * s + (x - x0), k = i * 3;
            const int ab = cb.alpha[i];
            seen.insert(ab);
            const uint8_t rep[3] = {200, 100, 50};
            for (int c = 0; c < 3; c++) {
                if (ab > 5) {  // the repainted crop is only worked out where it is blended
                    ASSERT_EQ(cb.repainted[k + c], rep[c]);
                }
                int expect;
                if (ab <= 5)
                    expect = was[c];
                else if (ab == 255)
                    expect = rep[c];
                else {
                    const float a = (float)ab / 255.0f;
                    expect = (int)((float)rep[c] * a + (float)was[c] * (1.0f - a) + 0.5f);
                }
                ASSERT_EQ(now[c], expect) << x << "," << y << " alpha " << ab;
            }
        }
    // The case split was really exercised.
    EXPECT_TRUE(seen.count(0) && seen.count(255));
    int low = 0, mid = 0;
    for (int a : seen)
        low += a >= 1 && a <= 5, mid += a >= 6 && a <= 254;
    EXPECT_GT(low, 0);
    EXPECT_GT(mid, 10);
    EXPECT_TRUE(seen.count(6) || seen.count(7) || seen.count(8));
}

TEST_F(LamaPass, MaskLookupBeyondTheLastSampleKeepsLowBits)
{
    use("inp_const.onnx");
    // Side 100 with the last column set: at model column 511 the lookup reads
    // m = 2 (weight 1.9), and 255 * 2 keeps its low byte, 254.
    new_frame(100, 100, 9);
    CropBufs cb = crop(0, 0, 100);
    for (int y = 0; y < 100; y++)
        cb.set(99, y);
    run(cb);
    EXPECT_EQ(t.mask[200 * 512 + 511], 254.0f / 255.0f);
    EXPECT_EQ(t.mask[200 * 512 + 400], 0.0f);

    // Side 16 with one pixel next to the bottom-right corner: the corner of the
    // 512 grid extrapolates to m = -1 on both axes, kept as the byte 1.
    new_frame(16, 16, 10);
    CropBufs cs = crop(0, 0, 16);
    cs.set(15, 14);
    run(cs);
    EXPECT_EQ(t.mask[511 * 512 + 511], 1.0f / 255.0f);
}

TEST_F(LamaPass, FailedRunLeavesTheFrameAndSaysWhy)
{
    use("inp_fail.onnx");
    new_frame(200, 200, 11);
    CropBufs cb = crop(20, 30, 150, true);
    auto lines = fail_lines(run(cb));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(std::string(FAIL_PREFIX) + "SessionRun: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].back(), '\n');
    EXPECT_TRUE(frame == orig);

    // A run refused without a message: the line ends right after ": ".
    use("inp_one_input.onnx");
    EXPECT_EQ(run(cb), std::string(FAIL_PREFIX) + "\n");
    EXPECT_TRUE(frame == orig);

    // No session at all fails the same way.
    ort_session_destroy(&model);
    EXPECT_EQ(run(cb), std::string(FAIL_PREFIX) + "\n");
    EXPECT_TRUE(frame == orig);
}

TEST_F(LamaPass, OutputOfAnotherShapeIsRefused)
{
    struct Case {
        const char *model, *message;
    } cases[] = {
        {"inp_shape_wider.onnx", "out[0] too large: 787968 elements, room for 786432"},
        {"inp_shape_smaller.onnx", "output shape 1x3x256x256, expected 1x3x512x512"},
        {"inp_shape_hwc.onnx", "output shape 1x512x512x3, expected 1x3x512x512"},
        {"inp_shape_3d.onnx", "output is not a 1x3x512x512 tensor"},
        {"inp_shape_1d.onnx", "output is not a 1x3x512x512 tensor"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.model);
        use(k.model);
        new_frame(300, 300, 12);
        CropBufs cb = crop(10, 10, 280, true);
        auto lines = fail_lines(run(cb));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], std::string(FAIL_PREFIX) + k.message + "\n");
        EXPECT_TRUE(frame == orig);
    }
}

// ---- gw_inpaint_frame --------------------------------------------------------------

TEST_F(LamaPass, NothingToDoRunsNothing)
{
    use("inp_fail.onnx");  // any run would leave a line on standard error
    new_frame(300, 200, 13);
    EXPECT_EQ(run_frame({}), "");
    EXPECT_TRUE(frame == orig);

    // A box outside the band plans no region.
    EXPECT_EQ(run_frame({box(20, 20, 100, 20)}, 150, 200), "");
    EXPECT_TRUE(frame == orig);

    // Too small a frame: every region is skipped before the model.
    new_frame(15, 40, 14);
    EXPECT_EQ(run_frame({box(2, 10, 8, 8)}), "");
    EXPECT_TRUE(frame == orig);
}

TEST_F(LamaPass, RepaintsTheBoxesAndNothingFarAway)
{
    use("inp_const.onnx");
    const int w = 640, h = 360;
    new_frame(w, h, 15);
    // One box; its region is 76..224 x 76..144 and its crop 148 square at 76,36.
    EXPECT_EQ(fail_lines(run_frame({box(100, 100, 100, 20)})).size(), 0u);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            if (x >= 95 && x < 205 && y >= 95 && y < 125) {  // well inside the grown box
                ASSERT_EQ(rgb(frame, w, x, y), (Rgb{200, 100, 50})) << x << "," << y;
            } else if (x < 76 || x >= 224 || y < 36 || y >= 184) {  // outside the crop
                ASSERT_EQ(rgb(frame, w, x, y), rgb(orig, w, x, y)) << x << "," << y;
            }
        }
}

TEST_F(LamaPass, FailedRegionDoesNotStopTheNext)
{
    // The model fails on bright crops. Region 1 lies on white, region 2 on black.
    use("inp_fail_bright.onnx");
    const int w = 400, h = 200;
    new_frame(w, h, 0);
    for (int y = 0; y < h; y++)
        memset(&frame[(size_t)y * w * 3], 255, 200 * 3);
    orig = frame;
    auto lines = fail_lines(run_frame({box(40, 80, 60, 20), box(300, 80, 60, 20)}));
    ASSERT_EQ(lines.size(), 1u);
    for (int y = 0; y < h; y++)
        ASSERT_EQ(memcmp(&frame[(size_t)y * w * 3], &orig[(size_t)y * w * 3], 200 * 3), 0) << "row " << y;
    for (int y = 80; y < 100; y++)
        for (int x = 300; x < 360; x++)
            ASSERT_EQ(rgb(frame, w, x, y), (Rgb{0, 200, 0})) << x << "," << y;
}

TEST_F(LamaPass, LaterCropsSeeEarlierResults)
{
    // Two stacked boxes that stay separate regions. The first crop also covers
    // the top of the second box and paints it bright green; the second crop,
    // copied after that blend, is then bright and its run fails. (Copied from
    // the untouched black frame it would have succeeded.)
    use("inp_fail_bright.onnx");
    const int w = 400;
    new_frame(w, 250, 0);
    auto lines = fail_lines(run_frame({box(100, 80, 60, 20), box(100, 132, 60, 20)}));
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_EQ(px(frame, w, 130, 90)[1], 200);   // first box: repainted
    EXPECT_EQ(px(frame, w, 130, 136)[1], 200);  // top of the second box, inside the first crop
    EXPECT_EQ(px(frame, w, 130, 150)[1], 0);    // rest of the second box: its own run failed
}

TEST_F(LamaPass, AtMostTwelveRunsPerFrame)
{
    use("inp_fail.onnx");
    std::vector<TextBox> b;
    for (int i = 0; i < 60; i++)
        b.push_back(box(20 + (i % 10) * 190, 20 + (i / 10) * 200, 30, 20));
    new_frame(1920, 1200, 16);
    EXPECT_EQ(fail_lines(run_frame(b)).size(), 12u);
    // What was left out is counted: 36 planned regions over the twelve, and
    // the 12 boxes never looked at once the 48 planning slots were full.
    EXPECT_EQ(frame_result, 48);
    b.resize(20);
    run_frame(b);
    EXPECT_EQ(frame_result, 8);
    b.resize(12);
    run_frame(b);
    EXPECT_EQ(frame_result, 0);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#  define GW_UNDER_SANITIZER 1
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#    define GW_UNDER_SANITIZER 1
#  endif
#endif

// The work memory of a frame comes in one block; when it cannot be had (here:
// an address-space limit in a child process), the frame is left as it was and
// the call says so (-1) instead of reporting success.
TEST_F(LamaPass, WorkMemoryThatCannotBeHadFailsTheFrame)
{
#ifdef GW_UNDER_SANITIZER
    GTEST_SKIP() << "a sanitizer's own reservations do not mix with an address-space limit";
#endif
    use("inp_const.onnx");
    new_frame(3000, 3000, 21);  // 10 planes of 3000x3000 bytes: about 100 MB of work memory
    auto child = [&] {
        long pages = 0;
        FILE *f = fopen("/proc/self/statm", "r");
        if (!f || fscanf(f, "%ld", &pages) != 1)
            _exit(3);
        fclose(f);
        struct rlimit rl;
        getrlimit(RLIMIT_AS, &rl);
        rl.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (40u << 20);
        setrlimit(RLIMIT_AS, &rl);
        run_frame({box(100, 100, 200, 30)});
        const bool ok = frame_result == -1 && frame == orig;
        rl.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_AS, &rl);
        // With the memory there, the same frame is repainted.
        run_frame({box(100, 100, 200, 30)});
        _exit(ok && frame_result == 0 && frame != orig ? 0 : 1);
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}
