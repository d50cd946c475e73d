// glyphwipe_process_image through the public API: the real detection model
// on rendered text, with a small stand-in fill model and with the project's
// own fill model when it is present.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"
#include "test_video_util.h"

namespace {

using Pixels = std::vector<unsigned char>;

struct Image {
    int w = 0, h = 0;
    Pixels rgb;
    const unsigned char *at(int x, int y) const { return &rgb[((size_t)y * w + x) * 3]; }
};

Image load(const std::string &path)
{
    Image im;
    EXPECT_TRUE(gwt::load_rgb(path, im.w, im.h, im.rgb)) << path;
    return im;
}

struct Rect {
    int x0, y0, x1, y1;  // x0, y0 inclusive; x1, y1 exclusive
};

// The pixels that the text changed, found by comparing with the same
// background rendered without text.
struct Ink {
    std::vector<char> on;
    Rect box{1 << 30, 1 << 30, -1, -1};
    size_t count = 0;
};

Ink find_ink(const Image &with_text, const Image &plain)
{
    Ink ink;
    ink.on.assign((size_t)with_text.w * with_text.h, 0);
    for (int y = 0; y < with_text.h; y++)
        for (int x = 0; x < with_text.w; x++) {
            const unsigned char *a = with_text.at(x, y), *b = plain.at(x, y);
            int d = std::max({abs(a[0] - b[0]), abs(a[1] - b[1]), abs(a[2] - b[2])});
            if (d > 48) {
                ink.on[(size_t)y * with_text.w + x] = 1;
                ink.count++;
                ink.box.x0 = std::min(ink.box.x0, x);
                ink.box.y0 = std::min(ink.box.y0, y);
                ink.box.x1 = std::max(ink.box.x1, x + 1);
                ink.box.y1 = std::max(ink.box.y1, y + 1);
            }
        }
    return ink;
}

// A fixture that initialises the engine with the real detector and the
// given fill model, and cleans up after each test.
struct Engine : ::testing::Test {
    std::string dir;  // a fresh folder per test for the files it writes
    void init_with(const std::string &lama)
    {
        dir = gwt::temp_dir();
        std::string models = gwt::model_dir_with(gwt::real_det_model(), lama);
        ASSERT_EQ(glyphwipe_init(models.c_str()), 0) << glyphwipe_last_error();
    }
    void TearDown() override { glyphwipe_cleanup(); }

    // Renders the scene with and without its text, cleans the text version and
    // checks that the text is gone while pixels well away from it are identical.
    // Returns the share of ink pixels that now match the plain background
    // within `tol` in every channel.
    double clean_and_compare(const std::string &background, int w, int h, const std::vector<gwt::TextLine> &lines,
                             int tol)
    {
        const int far = 64;  // pixels this far from the ink box must stay as they were
        const std::string text_png = dir + "/text.png", plain_png = dir + "/plain.png", out_png = dir + "/out.png";
        EXPECT_TRUE(gwt::make_text_image(text_png, w, h, background, lines));
        EXPECT_TRUE(gwt::make_text_image(plain_png, w, h, background, {}));
        EXPECT_EQ(glyphwipe_process_image(text_png.c_str(), out_png.c_str()), 0) << glyphwipe_last_error();
        EXPECT_STREQ(glyphwipe_last_error(), "no error");

        Image text = load(text_png), plain = load(plain_png), out = load(out_png);
        if (text.rgb.empty() || plain.rgb.empty() || out.rgb.empty() || out.w != w || out.h != h) {
            ADD_FAILURE() << "images missing or of the wrong size";
            return 0.0;
        }
        Ink ink = find_ink(text, plain);
        EXPECT_GT(ink.count, 200u) << "the text was not rendered";

        size_t cleaned = 0, changed = 0, far_checked = 0;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const unsigned char *o = out.at(x, y), *p = plain.at(x, y), *t = text.at(x, y);
                if (ink.on[(size_t)y * w + x]) {
                    bool near_plain = true;
                    for (int c = 0; c < 3; c++)
                        near_plain = near_plain && abs(o[c] - p[c]) <= tol;
                    cleaned += near_plain;
                    changed += memcmp(o, t, 3) != 0;
                }
                const bool is_far = x < ink.box.x0 - far || x >= ink.box.x1 + far || y < ink.box.y0 - far ||
                                    y >= ink.box.y1 + far;
                if (is_far) {
                    far_checked++;
                    if (memcmp(o, t, 3) != 0) {
                        ADD_FAILURE() << "pixel " << x << "," << y << " far from the text was changed";
                        return 0.0;
                    }
                }
            }
        EXPECT_GT(far_checked, 0u);
        EXPECT_GT((double)changed / (double)ink.count, 0.95) << "the text area was hardly touched";
        return (double)cleaned / (double)ink.count;
    }

    // A picture without text is written again in the output's format (PNG)
    // with the same pixels.
    void expect_rewritten_unchanged(const std::string &name)
    {
        const std::string in = dir + "/" + name, out = dir + "/plain_out.png";
        ASSERT_TRUE(gwt::make_text_image(in, 320, 240, "plain:0x336699", {}));
        ASSERT_EQ(glyphwipe_process_image(in.c_str(), out.c_str()), 0) << glyphwipe_last_error();
        EXPECT_STREQ(glyphwipe_last_error(), "no error");
        ASSERT_TRUE(gwt::file_exists(out));
        EXPECT_EQ(gwt::read_file(out).substr(1, 3), "PNG");
        Image a = load(in), b = load(out);
        EXPECT_EQ(a.w, b.w);
        EXPECT_EQ(a.h, b.h);
        EXPECT_TRUE(a.rgb == b.rgb);
    }
};

const gwt::TextLine SUBTITLE{"Burned in subtitle", 120, 260, 36, "white"};
const char *SHARE = "share of text pixels that now show the background";

// Stand-in fill: every hole pixel becomes the mean colour around the hole.
struct StandIn : Engine {
    void SetUp() override { init_with(gwt::test_model("inp_meanfill.onnx")); }
};

// The project's fill model, when it has been generated.
struct RealFill : Engine {
    void SetUp() override
    {
        if (!gwt::file_exists(gwt::real_lama_model()))
            GTEST_SKIP() << "no fill model at " << gwt::real_lama_model();
        init_with(gwt::real_lama_model());
    }
};

}  // namespace

TEST_F(StandIn, RenderedTextIsRemoved)
{
    EXPECT_GT(clean_and_compare("plain:0x204060", 640, 360, {SUBTITLE}, 8), 0.99) << SHARE;
}

TEST_F(StandIn, TwoLinesOnLightBackground)
{
    const std::vector<gwt::TextLine> lines = {{"TOP CAPTION", 60, 30, 40, "black"},
                                              {"and a second line below", 200, 380, 30, "0x802020"}};
    EXPECT_GT(clean_and_compare("plain:0xe8e0d0", 800, 450, lines, 8), 0.99) << SHARE;
}

TEST_F(StandIn, ImageWithoutTextIsRewrittenUnchanged)
{
    // A BMP in, a PNG out: re-encoded by the output's extension, same pixels.
    expect_rewritten_unchanged("plain.bmp");
}

TEST_F(StandIn, PngToJpegAndAlphaDropped)
{
    // An RGBA PNG without text, saved as JPEG: three channels, close content.
    const std::string in = dir + "/a.png", out = dir + "/a.jpg";
    ASSERT_EQ(gwt::run("ffmpeg -nostdin -y -loglevel error -f lavfi -i color=c=0x808040:s=200x120 -frames:v 1 "
                       "-pix_fmt rgba " + gwt::sh_quote(in)),
              0);
    ASSERT_EQ(glyphwipe_process_image(in.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    std::string jpg = gwt::read_file(out);
    ASSERT_GE(jpg.size(), 3u);
    EXPECT_EQ((unsigned char)jpg[0], 0xFF);
    EXPECT_EQ((unsigned char)jpg[1], 0xD8);
    auto pix_fmt = [](const std::string &path) {
        return gwt::capture("ffprobe -v error -show_entries stream=pix_fmt -of csv=p=0 " + gwt::sh_quote(path));
    };
    EXPECT_EQ(pix_fmt(out).find("gray"), std::string::npos) << pix_fmt(out);
    Image a = load(in), b = load(out);
    ASSERT_EQ(a.rgb.size(), b.rgb.size());
    for (size_t i = 0; i < a.rgb.size(); i++)
        ASSERT_LE(abs(a.rgb[i] - b.rgb[i]), 6) << i;

    // PNG written from the RGBA input: the alpha channel comes back.
    const std::string png = dir + "/a_out.png";
    ASSERT_EQ(glyphwipe_process_image(in.c_str(), png.c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(pix_fmt(png).substr(0, 4), "rgba") << pix_fmt(png);
}

TEST_F(StandIn, CleaningAFileOntoItself)
{
    const std::string path = dir + "/self.png";
    // Capitals only, and a line short enough for one square crop to cover it.
    ASSERT_TRUE(gwt::make_text_image(path, 480, 360, "plain:0x102030", {{"REPLACE ME", 110, 150, 36, "white"}}));
    const std::string before = gwt::read_file(path);
    Image was = load(path);
    ASSERT_EQ(glyphwipe_process_image(path.c_str(), path.c_str()), 0) << glyphwipe_last_error();
    EXPECT_NE(gwt::read_file(path), before);
    Image now = load(path);
    ASSERT_EQ(now.w, 480);
    ASSERT_EQ(now.h, 360);
    // The bright letters are gone from the replaced file.
    size_t bright_before = 0, bright_after = 0;
    for (size_t i = 0; i < was.rgb.size(); i += 3) {
        bright_before += was.rgb[i] > 200;
        bright_after += now.rgb[i] > 200;
    }
    EXPECT_GT(bright_before, 300u);
    EXPECT_EQ(bright_after, 0u);
}

TEST_F(StandIn, FailuresWriteNothing)
{
    const std::string in = dir + "/in.png";
    ASSERT_TRUE(gwt::make_text_image(in, 160, 120, "plain:gray", {{"Hi", 40, 40, 30, "white"}}));
    const std::string original = gwt::read_file(in);

    // A null path is refused before anything is read.
    const std::string x = dir + "/x.png", missing = dir + "/missing.png";
    const char *null_cases[][2] = {{in.c_str(), nullptr}, {nullptr, x.c_str()}, {missing.c_str(), nullptr}};
    for (const auto &paths : null_cases) {
        EXPECT_EQ(glyphwipe_process_image(paths[0], paths[1]), -1);
        EXPECT_STREQ(glyphwipe_last_error(), "process_image: NULL path");
    }
    EXPECT_FALSE(gwt::file_exists(x));

    // A missing input: the loader's message, and no output.
    const std::string out1 = dir + "/out1.png";
    EXPECT_EQ(glyphwipe_process_image(missing.c_str(), out1.c_str()), -1);
    EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), "stbi_load failed: " + missing)) << glyphwipe_last_error();
    EXPECT_FALSE(gwt::file_exists(out1));

    // An image too small for the detector: "detect: ...", and no output.
    const std::string tiny = dir + "/tiny.png", out2 = dir + "/out2.png";
    ASSERT_TRUE(gwt::make_text_image(tiny, 7, 7, "plain:white", {}));
    EXPECT_EQ(glyphwipe_process_image(tiny.c_str(), out2.c_str()), -1);
    EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), "detect: ")) << glyphwipe_last_error();
    EXPECT_GT(strlen(glyphwipe_last_error()), strlen("detect: "));
    EXPECT_FALSE(gwt::file_exists(out2));

    // An output folder that does not exist: "save failed: <path> (<reason>)";
    // the input stays as it was.
    const std::string out3 = dir + "/no/such/folder/out.png";
    EXPECT_EQ(glyphwipe_process_image(in.c_str(), out3.c_str()), -1);
    EXPECT_EQ(std::string(glyphwipe_last_error()), "save failed: " + out3 + " (No such file or directory)");
    EXPECT_FALSE(gwt::file_exists(out3));
    EXPECT_EQ(gwt::read_file(in), original);

    // The engine keeps working after the failures, and success clears the text.
    const std::string out4 = dir + "/out4.png";
    EXPECT_EQ(glyphwipe_process_image(in.c_str(), out4.c_str()), 0) << glyphwipe_last_error();
    EXPECT_STREQ(glyphwipe_last_error(), "no error");
    EXPECT_TRUE(gwt::file_exists(out4));
}

TEST_F(RealFill, RenderedTextIsRemoved)
{
    EXPECT_GT(clean_and_compare("plain:0x204060", 640, 360, {SUBTITLE}, 12), 0.98) << SHARE;
}

TEST_F(RealFill, TextOnAGradient)
{
    // On a gradient the fill cannot be exact, but the letters must go and the
    // rest of the picture must stay as it was.
    const std::string gradient = "gradients=s=640x360:c0=0x203060:c1=0xa0c0e0:seed=7:d=1:r=1";
    EXPECT_GT(clean_and_compare(gradient, 640, 360, {{"GRADIENT 42", 160, 200, 36, "yellow"}}, 40), 0.9) << SHARE;
}

TEST_F(RealFill, ImageWithoutTextIsRewrittenUnchanged)
{
    expect_rewritten_unchanged("plain.png");
}

TEST_F(RealFill, LineWiderThanTheFrameIsHigh)
{
    // A caption of about 560 pixels on a 640x360 picture: longer than any
    // square crop (360), so it is repainted in pieces, ends included.
    const gwt::TextLine wide{"WIDE CAPTION ACROSS THE FRAME", 30, 280, 30, "white"};
    EXPECT_GT(clean_and_compare("plain:0x204060", 640, 360, {wide}, 12), 0.97) << SHARE;
}

// At most 12 regions are repainted per picture: of 20 separate text blocks, 8
// keep their text, and glyphwipe_regions_left_out says so (for a video,
// summed over its pictures). Detection repaints nothing and counts nothing.
TEST(RegionCap, LeftOutRegionsAreCounted)
{
    const std::string dir = gwt::temp_dir();
    const std::string models = gwt::model_dir_with(gwt::test_model("det_bright.onnx"), gwt::test_model("inp_const.onnx"));
    auto blocks = [](int n) {
        std::string src = "color=c=black:s=1200x900:r=5";
        for (int i = 0; i < n; i++)
            src += ",drawbox=x=" + std::to_string(60 + (i % 5) * 240) + ":y=" + std::to_string(60 + (i / 5) * 220) +
                   ":w=60:h=24:color=white:t=fill";
        return src;
    };
    const std::string twenty = dir + "/twenty.png", ten = dir + "/ten.png", clip = dir + "/twenty.mp4";
    ASSERT_TRUE(gwt::make_text_image(twenty, 1200, 900, blocks(20), {}));
    ASSERT_TRUE(gwt::make_text_image(ten, 1200, 900, blocks(10), {}));
    ASSERT_TRUE(gwv::lavfi_clip(clip, blocks(20), 3, 5, false));
    ASSERT_EQ(glyphwipe_init(models.c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(glyphwipe_regions_left_out(), 0);

    const char *json = glyphwipe_detect(twenty.c_str());
    ASSERT_NE(json, nullptr) << glyphwipe_last_error();
    EXPECT_EQ(gwt::parse_boxes(json).size(), 20u);
    EXPECT_EQ(glyphwipe_regions_left_out(), 0);

    ASSERT_EQ(glyphwipe_process_image(twenty.c_str(), (dir + "/out.png").c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(glyphwipe_regions_left_out(), 8);
    // Twelve blocks took the fill's colour, eight are still white.
    int w = 0, h = 0, white = 0;
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(gwt::load_rgb(dir + "/out.png", w, h, rgb));
    for (int i = 0; i < 20; i++) {
        const size_t at = ((size_t)(60 + (i / 5) * 220 + 12) * w + 60 + (i % 5) * 240 + 30) * 3;
        white += rgb[at] == 255 && rgb[at + 1] == 255 && rgb[at + 2] == 255;
    }
    EXPECT_EQ(white, 8);

    ASSERT_EQ(glyphwipe_process_image(ten.c_str(), (dir + "/out10.png").c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(glyphwipe_regions_left_out(), 0);
    ASSERT_EQ(glyphwipe_process_video(clip.c_str(), (dir + "/out.mp4").c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(glyphwipe_regions_left_out(), 3 * 8);
    // A call that fails before any picture keeps the count of the last run.
    EXPECT_EQ(glyphwipe_process_image(nullptr, nullptr), -1);
    EXPECT_EQ(glyphwipe_regions_left_out(), 3 * 8);
    glyphwipe_cleanup();
    EXPECT_EQ(glyphwipe_regions_left_out(), 0);
}
