// Holes that fit the text: box growth (unclip), the detector's input size for
// large pictures, the band's protection of text outside it, and the glyph
// mask that follows the letters.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "detection/detection.h"
#include "inpaint/inpaint.h"
#include "inpaint_support.h"

namespace {

using gwt::box;

std::vector<TextBox> grown(std::vector<TextBox> b, float ratio, int w = 1000, int h = 1000)
{
    b.reserve(GW_MAX_BOXES);
    int32_t n = (int32_t)b.size();
    gw_det_unclip_boxes(b.data(), &n, w, h, ratio);
    b.resize((size_t)n);
    return b;
}

bool same(const TextBox &a, int x, int y, int w, int h) { return a.x == x && a.y == y && a.w == w && a.h == h; }

TEST(Unclip, GrowsByAreaTimesRatioOverPerimeter)
{
    // 100x20: 2000 * 1.5 / 240 = 12.5, rounded up to 13 on every side.
    TextBox b = box(0, 0, 100, 20);
    EXPECT_EQ(gw_det_unclip_distance(&b, 1.5f), 13);
    EXPECT_EQ(gw_det_unclip_distance(&b, 0.0f), 0);
    EXPECT_EQ(gw_det_unclip_distance(&b, -1.0f), 0);
    std::vector<TextBox> g = grown({box(200, 300, 100, 20)}, 1.5f);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_TRUE(same(g[0], 187, 287, 126, 46));
    // A long line grows by about 0.75 of its height at ratio 1.5.
    g = grown({box(100, 500, 800, 20)}, 1.5f);
    EXPECT_TRUE(same(g[0], 85, 485, 830, 50));
}

TEST(Unclip, ClipsToThePictureAndMergesAgain)
{
    std::vector<TextBox> g = grown({box(2, 3, 100, 20)}, 2.0f, 110, 30);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_TRUE(same(g[0], 0, 0, 110, 30));
    // Two lines 10 pixels apart (each grown by ceil(6000 * 1.5 / 640) = 15)
    // overlap once grown and become one box.
    g = grown({box(100, 100, 300, 20), box(100, 130, 300, 20)}, 1.5f);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_TRUE(same(g[0], 85, 85, 330, 80));
    // Ratio 0 leaves boxes and their order alone.
    g = grown({box(100, 100, 300, 20), box(100, 130, 300, 20)}, 0.0f);
    ASSERT_EQ(g.size(), 2u);
    EXPECT_TRUE(same(g[1], 100, 130, 300, 20));
}

TEST(DetectorSize, LargePicturesAtAScaleFloor)
{
    EXPECT_EQ(gw_det_max_side(3840, 2160, 0.0f), 960);
    EXPECT_EQ(gw_det_max_side(3840, 2160, 0.5f), 1920);
    EXPECT_EQ(gw_det_max_side(1920, 1080, 0.5f), 960);
    EXPECT_EQ(gw_det_max_side(100000, 50, 1.0f), GW_DET_SIDE_LIMIT);
    int w = 0, h = 0;
    gw_det_network_size_max(3840, 2160, 1920, &w, &h);
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 1088);
    // The usual limit gives what gw_det_network_size gives.
    int w2 = 0, h2 = 0;
    gw_det_network_size_max(1234, 777, 960, &w, &h);
    gw_det_network_size(1234, 777, &w2, &h2);
    EXPECT_EQ(w, w2);
    EXPECT_EQ(h, h2);
}

// The score maps below have the frame's own size, so frame pixels and map
// samples coincide.
using gwt::Crop;
using gwt::Det;

struct Options : ::testing::Test {
    InpaintOptions opt = gwt::inpaint_defaults();
};

using BandMask = Options;

TEST_F(BandMask, TextOutsideTheBandIsNotMarked)
{
    // As before the band protected it: a region 576,926,1324,1024 whose crop
    // (side 748, y 332) reaches far above the band 864..1080.
    const int W = 1920, H = 1080;
    Det d({box(600, 950, 700, 50), box(700, 400, 100, 30), box(300, 850, 100, 30)}, W, H);
    d.core(705, 405, 795, 425);  // score pixels of the caption above the band
    d.core(605, 960, 1295, 990);
    std::vector<uint8_t> f((size_t)W * H * 3, 100);
    const InpaintRegion reg = {576, 926, 1324, 1024};
    Crop c;
    ASSERT_EQ(c.build(f.data(), W, H, &d.r, opt, reg, 864, 1080), 1);
    ASSERT_EQ(c.c.side, 748);
    ASSERT_EQ(c.c.y, 332);
    auto at = [&](int x, int y) { return c.c.mask[(size_t)(y - c.c.y) * 748 + (x - c.c.x)]; };
    EXPECT_EQ(at(750, 415), 0) << "caption above the band";
    EXPECT_EQ(at(700, 950), 1) << "line in the band";
    // The third box reaches into the band from above: marked whole, its top too.
    EXPECT_EQ(at(350, 852), 0) << "outside the crop's columns";
    size_t ones = 0;
    for (size_t i = 0; i < (size_t)748 * 748; i++)
        ones += c.c.mask[i];
    EXPECT_EQ(ones, (size_t)(700 + 20) * (50 + 20));
    // Without a band the caption is marked, as before.
    Crop all;
    ASSERT_EQ(all.build(f.data(), W, H, &d.r, opt, reg), 1);
    EXPECT_EQ(all.c.mask[(size_t)(415 - 332) * 748 + (750 - 576)], 1);
}

TEST_F(BandMask, LineReachingIntoTheBandIsMarkedAboveItToo)
{
    const int W = 640, H = 360;
    Det d({box(100, 260, 300, 40)}, W, H);  // rows 260..299, band from 280
    std::vector<uint8_t> f((size_t)W * H * 3, 100);
    const InpaintRegion reg = {76, 280, 424, 324};
    Crop c;
    ASSERT_EQ(c.build(f.data(), W, H, &d.r, opt, reg, 280, 360), 1);
    const int side = c.c.side;
    ASSERT_LE(c.c.y, 250);
    EXPECT_EQ(c.c.mask[(size_t)(262 - c.c.y) * side + (200 - c.c.x)], 1);
}

// A frame with a grey-blue gradient and six "letters": white bars with a
// 2-pixel black outline, 16 pixels apart, inside a grown box with the score
// core along their middle rows.
struct Letters {
    static const int W = 320, H = 120;
    std::vector<uint8_t> f = std::vector<uint8_t>((size_t)W * H * 3);
    std::vector<uint8_t> ink = std::vector<uint8_t>((size_t)W * H, 0);
    Letters(uint8_t fill = 255)
    {
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                uint8_t *p = &f[((size_t)y * W + x) * 3];
                p[0] = (uint8_t)(60 + x / 8), p[1] = (uint8_t)(80 + y / 4), p[2] = 140;
            }
        for (int k = 0; k < 6; k++) {
            const int x0 = 60 + k * 32, x1 = x0 + 16;
            for (int y = 36; y < 84; y++)
                for (int x = x0; x < x1; x++) {
                    const bool edge = y < 38 || y >= 82 || x < x0 + 2 || x >= x1 - 2;
                    uint8_t *p = &f[((size_t)y * W + x) * 3];
                    p[0] = p[1] = p[2] = edge ? 0 : fill;
                    ink[(size_t)y * W + x] = 1;
                }
        }
    }
};

TEST(GlyphMask, FollowsTheLettersAndKeepsTheGaps)
{
    Letters L;
    Det d({box(40, 20, 240, 80)}, Letters::W, Letters::H);
    d.core(60, 50, 236, 70);
    std::vector<uint8_t> plane((size_t)Letters::W * Letters::H, 0);
    gw_glyph_mask(L.f.data(), Letters::W, Letters::H, &d.r, 0.3f, 0, 0, plane.data());
    size_t missed = 0;
    for (size_t i = 0; i < plane.size(); i++)
        missed += L.ink[i] && !plane[i];
    EXPECT_EQ(missed, 0u) << "every letter pixel is in the hole";
    // The margin is about 5 % of the box height (80), 5 pixels: the middle
    // of a 16-pixel gap, the rows above the letters and the background
    // beside them keep their pixels.
    EXPECT_EQ(plane[(size_t)60 * Letters::W + 84], 0) << "between two letters";
    EXPECT_EQ(plane[(size_t)25 * Letters::W + 100], 0) << "background above the letters";
    EXPECT_EQ(plane[(size_t)60 * Letters::W + 50], 0) << "background left of the first letter";
    EXPECT_EQ(plane[(size_t)60 * Letters::W + 30], 0) << "outside the box";
    EXPECT_EQ(plane[(size_t)60 * Letters::W + 70], 1);
}

TEST(GlyphMask, UnsureLettersTakeTheWholeBox)
{
    // Letters of the background's own colour: nothing tells them apart.
    Letters L;
    for (size_t i = 0; i < L.ink.size(); i++)
        if (L.ink[i])
            memcpy(&L.f[i * 3], &L.f[(size_t)(10 * Letters::W + 10) * 3], 3);
    Det d({box(40, 20, 240, 80)}, Letters::W, Letters::H);
    d.core(60, 50, 236, 70);
    std::vector<uint8_t> plane((size_t)Letters::W * Letters::H, 0);
    gw_glyph_mask(L.f.data(), Letters::W, Letters::H, &d.r, 0.3f, 0, 0, plane.data());
    for (int y = 0; y < Letters::H; y++)
        for (int x = 0; x < Letters::W; x++)
            ASSERT_EQ(plane[(size_t)y * Letters::W + x], x >= 40 && x < 280 && y >= 20 && y < 100) << x << "," << y;
}

TEST(GlyphMask, OnlyBoxesReachingIntoTheBand)
{
    Letters L;
    Det d({box(40, 20, 240, 80)}, Letters::W, Letters::H);
    d.core(60, 50, 236, 70);
    std::vector<uint8_t> plane((size_t)Letters::W * Letters::H, 0);
    gw_glyph_mask(L.f.data(), Letters::W, Letters::H, &d.r, 0.3f, 100, 120, plane.data());
    for (uint8_t v : plane)
        ASSERT_EQ(v, 0);
    gw_glyph_mask(L.f.data(), Letters::W, Letters::H, &d.r, 0.3f, 99, 120, plane.data());
    EXPECT_EQ(plane[(size_t)60 * Letters::W + 70], 1);
}

}  // namespace
