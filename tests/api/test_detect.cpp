// glyphwipe_detect through the public API: the real detection model on
// rendered text, and small stand-in models for the exact report format and
// the failure paths.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"

namespace {

struct Rect {
    int x0, y0, x1, y1;  // inclusive-exclusive
};

// The whole report must be one JSON array in exactly the library's format.
bool report_well_formed(const std::string &json)
{
    static const std::string entry = R"(\{"x":\d+,"y":\d+,"w":\d+,"h":\d+,"conf":[01]\.\d{3}\})";
    static const std::regex re("^\\[(" + entry + "(," + entry + ")*)?\\]$");
    return std::regex_match(json, re);
}

std::string show(const gwt::Box &b)
{
    return "{" + std::to_string(b.x) + "," + std::to_string(b.y) + "," + std::to_string(b.w) + "," +
           std::to_string(b.h) + "}";
}

// Where each line of text really is: all lines rendered white (outlines too)
// on black, every lit pixel counted for the line whose band it lies in (the
// scenes keep their lines well apart).
std::vector<Rect> ink_rects(const std::vector<gwt::TextLine> &lines, int w, int h)
{
    std::vector<gwt::TextLine> white = lines;
    for (gwt::TextLine &l : white) {
        l.color = "white";
        l.border_color = "white";
    }
    std::vector<Rect> rects(lines.size(), Rect{w, h, 0, 0});
    std::string png = gwt::temp_dir() + "/ink.png";
    int iw = 0, ih = 0;
    std::vector<unsigned char> rgb;
    if (!gwt::make_text_image(png, w, h, "plain:black", white) || !gwt::load_rgb(png, iw, ih, rgb))
        return rects;
    for (int y = 0; y < ih; y++)
        for (int x = 0; x < iw; x++) {
            const unsigned char *p = &rgb[((size_t)y * iw + x) * 3];
            if (p[0] <= 96 && p[1] <= 96 && p[2] <= 96)
                continue;
            for (size_t i = 0; i < lines.size(); i++) {
                const gwt::TextLine &l = lines[i];
                if (y < l.y - l.size / 2 || y >= l.y + l.size * 3 / 2 || x < l.x - l.size)
                    continue;
                Rect &r = rects[i];
                r.x0 = std::min(r.x0, x);
                r.y0 = std::min(r.y0, y);
                r.x1 = std::max(r.x1, x + 1);
                r.y1 = std::max(r.y1, y + 1);
            }
        }
    return rects;
}

// A w x h black picture with blocks of grey level v, saved as PNG.
struct Block {
    int x, y, w, h;
    unsigned char v;
};

std::string blocks_png(int w, int h, const std::vector<Block> &blocks)
{
    static int serial = 0;
    std::vector<unsigned char> rgb((size_t)w * h * 3, 0);
    for (const Block &b : blocks)
        for (int y = b.y; y < b.y + b.h; y++)
            memset(&rgb[((size_t)y * w + b.x) * 3], b.v, (size_t)b.w * 3);
    std::string png = gwt::temp_dir() + "/img" + std::to_string(serial++) + ".png";
    EXPECT_TRUE(gwt::save_rgb_png(png, w, h, rgb));
    return png;
}

// Engine with the given detection model and a tiny stand-in fill model.
struct Engine : ::testing::Test {
    void init_with(const std::string &det_model)
    {
        std::string dir = gwt::model_dir_with(det_model, gwt::test_model("det_lama_standin.onnx"));
        ASSERT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
    }
    void TearDown() override { glyphwipe_cleanup(); }
};

struct RealDetector : Engine {
    void SetUp() override { init_with(gwt::real_det_model()); }
};

struct Scene {
    const char *name;
    int w, h;
    std::string background;
    std::vector<gwt::TextLine> lines;
};

// Every line gets boxes across most of its width, and every box sits on a
// line: the network marks shrunk text cores, so a box spans a line's width
// but may be lower than its letters.
void check_scene(const Scene &sc)
{
    SCOPED_TRACE(sc.name);
    std::string png = gwt::temp_dir() + "/scene.png";
    ASSERT_TRUE(gwt::make_text_image(png, sc.w, sc.h, sc.background, sc.lines));
    const char *r = glyphwipe_detect(png.c_str());
    ASSERT_NE(r, nullptr) << glyphwipe_last_error();
    EXPECT_STREQ(glyphwipe_last_error(), "no error");
    std::string json = r;
    ASSERT_TRUE(report_well_formed(json)) << json;
    std::vector<gwt::Box> boxes = gwt::parse_boxes(json.c_str());

    std::vector<Rect> ink = ink_rects(sc.lines, sc.w, sc.h);
    for (size_t i = 0; i < ink.size(); i++)
        ASSERT_LT(ink[i].x0, ink[i].x1) << "the line was not rendered: " << sc.lines[i].text;
    for (size_t i = 0; i < sc.lines.size(); i++) {
        const Rect &t = ink[i];
        std::vector<char> covered((size_t)(t.x1 - t.x0), 0);
        int on_line = 0;
        for (const gwt::Box &b : boxes) {
            int cy = b.y + b.h / 2;
            if (cy < t.y0 || cy >= t.y1 || b.x >= t.x1 || b.x + b.w <= t.x0)
                continue;
            on_line++;
            for (int x = std::max(b.x, t.x0); x < std::min(b.x + b.w, t.x1); x++)
                covered[(size_t)(x - t.x0)] = 1;
        }
        double share = (double)std::count(covered.begin(), covered.end(), 1) / (double)covered.size();
        EXPECT_GE(on_line, 1) << "no box on \"" << sc.lines[i].text << "\": " << json;
        EXPECT_GE(share, 0.8) << "\"" << sc.lines[i].text << "\" covered " << share << ": " << json;
    }
    for (const gwt::Box &b : boxes) {
        EXPECT_TRUE(b.x >= 0 && b.y >= 0 && b.x + b.w <= sc.w && b.y + b.h <= sc.h) << show(b);
        EXPECT_TRUE(b.conf >= 0.3 && b.conf <= 1.0) << b.conf;
        bool on_some_line = false;
        for (size_t i = 0; i < ink.size(); i++) {
            int m = sc.lines[i].size / 4;  // slack for the cores' rounding at the ends
            const Rect &t = ink[i];
            if (b.x >= t.x0 - m && b.y >= t.y0 - m && b.x + b.w <= t.x1 + m && b.y + b.h <= t.y1 + m)
                on_some_line = true;
        }
        EXPECT_TRUE(on_some_line) << "box off the text: " << show(b) << " in " << json;
    }
}

}  // namespace

// ---- the real detection model ----------------------------------------------------------------

TEST_F(RealDetector, TextOnPlainBackgrounds)
{
    check_scene({"white and yellow on black", 640, 360, "plain:black",
                 {{"HELLO WORLD 2024", 40, 40, 40, "white"}, {"Subtitles at the bottom", 60, 290, 32, "yellow"}}});
    check_scene({"dark and red on white", 800, 450, "plain:white",
                 {{"small dark caption", 30, 30, 24, "black"}, {"BIG RED", 300, 250, 64, "red"}}});
}

TEST_F(RealDetector, TextOnGradientAndBusyBackgrounds)
{
    check_scene({"outlined on gradient", 640, 360, "gradient",
                 {{"Gradient line here", 100, 150, 36, "white", 2, "black"}}});
    check_scene({"outlined on noise", 640, 360, "noise",
                 {{"Busy background text", 80, 40, 40, "white", 3, "black"},
                  {"second row 42", 200, 280, 30, "yellow", 2, "black"}}});
}

TEST_F(RealDetector, LargeAndPortraitFramesAreScaledDown)
{
    // 1280x720 runs at 960x544 and 720x1280 at 544x960: boxes come back in
    // image pixels.
    check_scene({"720p caption", 1280, 720, "plain:0x336699",
                 {{"A subtitle near the bottom of a frame", 200, 620, 44, "white", 2, "black"},
                  {"Top title", 80, 60, 72, "white"}}});
    check_scene({"portrait", 720, 1280, "gradient",
                 {{"Portrait text", 120, 200, 60, "white", 2, "black"},
                  {"and a caption", 180, 1100, 48, "yellow", 2, "black"}}});
}

TEST_F(RealDetector, ImagesWithoutTextGiveAnEmptyReport)
{
    for (const char *bg : {"plain:gray", "gradient", "noise"}) {
        std::string png = gwt::temp_dir() + "/blank.png";
        ASSERT_TRUE(gwt::make_text_image(png, 640, 360, bg, {}));
        const char *r = glyphwipe_detect(png.c_str());
        ASSERT_NE(r, nullptr) << glyphwipe_last_error();
        EXPECT_STREQ(r, "[]") << bg;
        EXPECT_STREQ(glyphwipe_last_error(), "no error");
    }
}

TEST_F(RealDetector, FileAndSizeFailures)
{
    std::string png = gwt::temp_dir() + "/text.png";
    ASSERT_TRUE(gwt::make_text_image(png, 320, 180, "plain:black", {{"Keep me", 40, 60, 40, "white"}}));
    const char *first = glyphwipe_detect(png.c_str());
    ASSERT_NE(first, nullptr) << glyphwipe_last_error();
    const std::string kept = first;
    EXPECT_NE(kept, "[]");

    std::string missing = gwt::temp_dir() + "/no such file.png";
    EXPECT_EQ(glyphwipe_detect(missing.c_str()), nullptr);
    std::string err = glyphwipe_last_error();
    const std::string tail = "(stbi: can't fopen)";
    EXPECT_TRUE(err.size() > tail.size() && err.compare(err.size() - tail.size(), tail.size(), tail) == 0) << err;
    EXPECT_NE(err.find(missing), std::string::npos) << err;

    std::string small = blocks_png(7, 100, {{0, 0, 7, 100, 255}});
    EXPECT_EQ(glyphwipe_detect(small.c_str()), nullptr);
    EXPECT_STREQ(glyphwipe_last_error(), "image too small: 7x100");

    // The earlier report is still there, unchanged.
    EXPECT_EQ(std::string(first), kept);
}

// ---- stand-in models: exact format, many boxes, failures ----------------------------------------

struct StandInDetector : Engine {};

TEST_F(StandInDetector, ReportFormatIsExact)
{
    // det_range outputs 1.5 x brightness - 0.2, clamped: 1 on white, 0.5 on
    // gray 119, 0 on black. 640x480 is its own network size, so the boxes
    // are the blocks to the pixel.
    init_with(gwt::test_model("det_range.onnx"));
    const char *r = glyphwipe_detect(blocks_png(640, 480, {{100, 50, 160, 30, 255}, {300, 200, 40, 12, 119}}).c_str());
    ASSERT_NE(r, nullptr) << glyphwipe_last_error();
    EXPECT_STREQ(r, "[{\"x\":100,\"y\":50,\"w\":160,\"h\":30,\"conf\":1.000},"
                    "{\"x\":300,\"y\":200,\"w\":40,\"h\":12,\"conf\":0.500}]");
    EXPECT_STREQ(glyphwipe_last_error(), "no error");
}

TEST_F(StandInDetector, SixtyFourBoxesInScanOrder)
{
    init_with(gwt::test_model("det_bright.onnx"));
    std::vector<Block> blocks;
    for (int i = 0; i < 90; i++)
        blocks.push_back({(i % 10) * 60 + 10, (i / 10) * 50 + 10, 30, 8, 255});
    const char *r = glyphwipe_detect(blocks_png(640, 480, blocks).c_str());
    ASSERT_NE(r, nullptr) << glyphwipe_last_error();
    ASSERT_TRUE(report_well_formed(r)) << r;
    std::vector<gwt::Box> boxes = gwt::parse_boxes(r);
    ASSERT_EQ(boxes.size(), 64u);
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(boxes[(size_t)i].x, (i % 10) * 60 + 10) << i;
        EXPECT_EQ(boxes[(size_t)i].y, (i / 10) * 50 + 10) << i;
    }
}

TEST_F(StandInDetector, NaNOutputStillGivesValidReports)
{
    init_with(gwt::test_model("det_nan.onnx"));  // NaN on everything darker than mid-gray
    const char *r = glyphwipe_detect(blocks_png(333, 200, {{40, 40, 200, 30, 255}}).c_str());
    ASSERT_NE(r, nullptr) << glyphwipe_last_error();
    EXPECT_TRUE(report_well_formed(r)) << r;
    EXPECT_EQ(gwt::parse_boxes(r).size(), 1u) << r;
    r = glyphwipe_detect(blocks_png(333, 200, {}).c_str());
    ASSERT_NE(r, nullptr) << glyphwipe_last_error();
    EXPECT_STREQ(r, "[]");
}

TEST_F(StandInDetector, DetectionFailuresAreReportedUnprefixed)
{
    init_with(gwt::test_model("det_3d.onnx"));
    std::string png = blocks_png(64, 64, {{0, 0, 64, 64, 200}});
    EXPECT_EQ(glyphwipe_detect(png.c_str()), nullptr);
    EXPECT_STREQ(glyphwipe_last_error(), "det session: out[0] empty");
    // Image cleaning reports the same failure behind its "detect: " prefix.
    EXPECT_EQ(glyphwipe_process_image(png.c_str(), (gwt::temp_dir() + "/out.png").c_str()), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "detect: det session: out[0] empty");
    glyphwipe_cleanup();

    init_with(gwt::test_model("det_double.onnx"));
    EXPECT_EQ(glyphwipe_detect(png.c_str()), nullptr);
    EXPECT_STREQ(glyphwipe_last_error(), "det: bad output dims 128x128 with 16384 values (the 64x64 map holds 4096)");
}
