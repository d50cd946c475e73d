// The options that fit the hole to the text ("unclip", "mask",
// "detect_scale") through the public API, with the real detection model on
// rendered text.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"

namespace {

using gwt::Box;

TEST(TextOptions, AcceptAndReject)
{
    const char *UNCLIP = "unclip must be a ratio from 0 to 4", *MASK = "mask must be boxes or glyphs",
               *SCALE = "detect_scale must be from 0 to 1";
    const struct {
        const char *option, *value;
        int result;
        const char *error;
    } cases[] = {
        {"unclip", "0", 0, nullptr},         {"unclip", "1.5", 0, nullptr},     {"unclip", "4", 0, nullptr},
        {"unclip", "4.5", -1, UNCLIP},       {"unclip", "-1", -1, UNCLIP},      {"unclip", "nan", -1, UNCLIP},
        {"unclip", "", -1, UNCLIP},          {"unclip", "2x", -1, UNCLIP},      {"mask", "boxes", 0, nullptr},
        {"mask", "glyphs", 0, nullptr},      {"mask", "Glyphs", -1, MASK},      {"mask", "", -1, MASK},
        {"detect_scale", "0", 0, nullptr},   {"detect_scale", "1", 0, nullptr}, {"detect_scale", "0.5", 0, nullptr},
        {"detect_scale", "1.5", -1, SCALE},  {"detect_scale", "-0.1", -1, SCALE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.option) + "=" + c.value);
        EXPECT_EQ(glyphwipe_set_option(c.option, c.value), c.result);
        if (c.error) {
            EXPECT_STREQ(glyphwipe_last_error(), c.error);
        }
    }
}

struct Pic {
    int w = 0, h = 0;
    std::vector<unsigned char> rgb;
};

Pic load(const std::string &path)
{
    Pic p;
    EXPECT_TRUE(gwt::load_rgb(path, p.w, p.h, p.rgb)) << path;
    return p;
}

struct Rect {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};

class TextOptionsRun : public ::testing::Test {
protected:
    std::string dir, text, plain;
    Pic t, o;
    std::vector<char> ink;  // the text picture differs from the plain one by more than 48
    Rect ink_box;
    void SetUp() override
    {
        dir = gwt::temp_dir();
        text = dir + "/text.png";
        plain = dir + "/plain.png";
        const std::vector<gwt::TextLine> lines = {{"Where are you going?", 60, 150, 36, "white", 3, "black"}};
        const std::string bg = "color=c=black:s=640x240,format=gbrp,geq=r='40+X/4':g='60+Y/2':b='150-X/8'";
        ASSERT_TRUE(gwt::make_text_image(text, 640, 240, bg, lines));
        ASSERT_TRUE(gwt::make_text_image(plain, 640, 240, bg, {}));
        t = load(text);
        o = load(plain);
        ink.assign((size_t)t.w * t.h, 0);
        for (int y = 0; y < t.h; y++)
            for (int x = 0; x < t.w; x++) {
                const size_t i = (size_t)y * t.w + x;
                int d = 0;
                for (int c = 0; c < 3; c++)
                    d = std::max(d, abs((int)t.rgb[i * 3 + c] - (int)o.rgb[i * 3 + c]));
                if (d > 48) {
                    ink[i] = 1;
                    ink_box.x0 = std::min(ink_box.x0, x), ink_box.y0 = std::min(ink_box.y0, y);
                    ink_box.x1 = std::max(ink_box.x1, x + 1), ink_box.y1 = std::max(ink_box.y1, y + 1);
                }
            }
        ASSERT_GT(ink_box.x1, 0);
        std::string models = gwt::model_dir_with(gwt::real_det_model(), gwt::real_lama_model());
        ASSERT_EQ(glyphwipe_init(models.c_str()), 0) << glyphwipe_last_error();
    }
    void TearDown() override { glyphwipe_cleanup(); }

    std::vector<Box> detect(const std::string &path)
    {
        const char *json = glyphwipe_detect(path.c_str());
        EXPECT_NE(json, nullptr) << glyphwipe_last_error();
        return gwt::parse_boxes(json);
    }
    // Ink pixels inside some box.
    double covered(const std::vector<Box> &boxes)
    {
        size_t in = 0, all = 0;
        for (int y = 0; y < t.h; y++)
            for (int x = 0; x < t.w; x++) {
                if (!ink[(size_t)y * t.w + x])
                    continue;
                all++;
                for (const Box &b : boxes)
                    if (x >= b.x && x < b.x + b.w && y >= b.y && y < b.y + b.h) {
                        in++;
                        break;
                    }
            }
        return all ? (double)in / (double)all : 0.0;
    }
};

TEST_F(TextOptionsRun, UnclipGrowsBoxesOverTheLettersAndInitResetsIt)
{
    const std::string before = glyphwipe_detect(text.c_str());
    EXPECT_LT(covered(detect(text)), 0.9) << "the detector's boxes are the lines' cores";
    ASSERT_EQ(glyphwipe_set_option("unclip", "1.5"), 0);
    std::vector<Box> grown = detect(text);
    ASSERT_EQ(grown.size(), 1u);
    EXPECT_GE(covered(grown), 0.99);
    // Within a pixel or two of the outline's outermost pixels.
    EXPECT_LE(grown[0].x, ink_box.x0 + 2);
    EXPECT_GE(grown[0].x + grown[0].w, ink_box.x1 - 2);
    EXPECT_LE(grown[0].y, ink_box.y0 + 2);
    EXPECT_GE(grown[0].y + grown[0].h, ink_box.y1 - 2);
    std::string models = gwt::model_dir_with(gwt::real_det_model(), gwt::real_lama_model());
    ASSERT_EQ(glyphwipe_init(models.c_str()), 0);
    EXPECT_EQ(std::string(glyphwipe_detect(text.c_str())), before) << "init resets the options";
}

TEST_F(TextOptionsRun, GlyphMaskRemovesTheTextAndKeepsTheGaps)
{
    // Background pixels inside the line's box, away from the letters: the
    // box hole repaints them, the glyph hole leaves most of them alone.
    auto untouched_background = [&](const std::string &out) {
        Pic r = load(out);
        size_t same = 0, all = 0;
        for (int y = ink_box.y0; y < ink_box.y1; y++)
            for (int x = ink_box.x0; x < ink_box.x1; x++) {
                bool near = false;
                for (int dy = -6; dy <= 6 && !near; dy++)
                    for (int dx = -6; dx <= 6 && !near; dx++) {
                        const int yy = y + dy, xx = x + dx;
                        near = yy >= 0 && yy < t.h && xx >= 0 && xx < t.w && ink[(size_t)yy * t.w + xx];
                    }
                if (near)
                    continue;
                all++;
                const size_t i = ((size_t)y * t.w + x) * 3;
                same += r.rgb[i] == t.rgb[i] && r.rgb[i + 1] == t.rgb[i + 1] && r.rgb[i + 2] == t.rgb[i + 2];
            }
        return all ? (double)same / (double)all : 1.0;
    };
    const std::string boxes_out = dir + "/boxes.png", glyphs_out = dir + "/glyphs.png";
    ASSERT_EQ(glyphwipe_set_option("unclip", "1.5"), 0);
    ASSERT_EQ(glyphwipe_process_image(text.c_str(), boxes_out.c_str()), 0) << glyphwipe_last_error();
    ASSERT_EQ(glyphwipe_set_option("mask", "glyphs"), 0);
    ASSERT_EQ(glyphwipe_set_option("inpaint_radius", "1"), 0);
    ASSERT_EQ(glyphwipe_process_image(text.c_str(), glyphs_out.c_str()), 0) << glyphwipe_last_error();
    EXPECT_LT(untouched_background(boxes_out), 0.2);
    EXPECT_GT(untouched_background(glyphs_out), 0.8);
    EXPECT_TRUE(detect(glyphs_out).empty()) << "no text found after cleaning";
}

} // namespace
