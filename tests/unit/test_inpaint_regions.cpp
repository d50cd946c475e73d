// Region planning and the per-region crop and hole mask.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <string.h>
#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "inpaint/inpaint.h"
#include "inpaint_support.h"

namespace {

using gwt::box;
using gwt::Det;

// The options the code under test gets; each test starts from the defaults.
InpaintOptions g_opt;

std::string str(const InpaintRegion &r)
{
    return std::to_string(r.x0) + "," + std::to_string(r.y0) + "," + std::to_string(r.x1) + "," + std::to_string(r.y1);
}

using Regs = std::vector<std::array<int, 4>>;  // x0, y0, x1, y1 each

// The regions planned for these boxes on a w x h frame with the band ys..ye.
Regs plan(std::vector<TextBox> boxes, int ys = 0, int ye = 0, int w = 1000, int h = 1000)
{
    Det d(std::move(boxes));
    InpaintRegion reg[GW_MAX_REGIONS];
    int left_out = 0;
    const int n = plan_regions(w, h, &d, ys, ye, &g_opt, reg, &left_out);
    EXPECT_TRUE(n >= 0 && n <= GW_MAX_REGIONS) << n;
    Regs out;
    for (int i = 0; i < n && i < GW_MAX_REGIONS; i++)
        out.push_back({reg[i].x0, reg[i].y0, reg[i].x1, reg[i].y1});
    return out;
}

struct Options : ::testing::Test {
    void SetUp() override { g_opt = gwt::inpaint_defaults(); }
};

using Plan = Options;
using Mask = Options;

}  // namespace

TEST_F(Plan, NoBoxesNoRegions)
{
    EXPECT_EQ(plan({}), Regs{});
    InpaintRegion reg[GW_MAX_REGIONS];
    Det d;
    d.r.box_count = -3;
    int left_out = -1;
    EXPECT_EQ(plan_regions(1000, 1000, &d, 0, 0, &g_opt, reg, &left_out), 0);
    EXPECT_EQ(left_out, 0);
}

TEST_F(Plan, MarginAndMergeThreshold)
{
    const TextBox a = box(100, 100, 100, 20);
    EXPECT_EQ(plan({a}), (Regs{{76, 76, 224, 144}}));
    // 231: K.x0 = 207 < 224 - 16 = 208, an overlap of 17 pixels: merged.
    EXPECT_EQ(plan({a, box(231, 100, 100, 20)}), (Regs{{76, 76, 355, 144}}));
    // 232: 208 < 208 fails, a region of its own.
    EXPECT_EQ(plan({a, box(232, 100, 100, 20)}), (Regs{{76, 76, 224, 144}, {208, 76, 356, 144}}));
    // The same pair in the other order: now the earlier region is the right one.
    EXPECT_EQ(plan({box(232, 100, 100, 20), a}).size(), 2u);
    EXPECT_EQ(plan({box(231, 100, 100, 20), a}), (Regs{{76, 76, 355, 144}}));

    // The margin is 24 for any radius from 1 on, 8 for radius 0.
    g_opt.radius = 128;
    EXPECT_EQ(plan({a}), (Regs{{76, 76, 224, 144}}));
    g_opt.radius = 0;
    EXPECT_EQ(plan({box(0, 0, 4, 4)}), (Regs{{0, 0, 12, 12}}));
    // Clipped at the far edges as well.
    EXPECT_EQ(plan({box(996, 990, 4, 10)}), (Regs{{988, 982, 1000, 1000}}));
}

TEST_F(Plan, EarliestRegionWinsAndMergedRegionsAreNotCompared)
{
    // The third box overlaps both earlier regions deeply; it joins the first
    // only, and the grown first region is not merged with the second.
    const TextBox a = box(100, 100, 100, 20);
    EXPECT_EQ(plan({a, box(400, 100, 100, 20), box(150, 100, 300, 20)}),
              (Regs{{76, 76, 474, 144}, {376, 76, 524, 144}}));

    // Rows count the same way: 17 rows of overlap merge, 16 do not.
    const TextBox v17 = box(100, 151, 100, 20), v16 = box(100, 152, 100, 20);
    EXPECT_EQ(plan({a, v17}), (Regs{{76, 76, 224, 195}}));
    EXPECT_EQ(plan({a, v16}).size(), 2u);
    EXPECT_EQ(plan({v16, a}).size(), 2u);
    EXPECT_EQ(plan({v17, a}).size(), 1u);
}

TEST_F(Plan, BandLimitsRows)
{
    const TextBox b = box(50, 550, 200, 30);
    EXPECT_EQ(plan({b}, 500, 600), (Regs{{26, 526, 274, 600}}));

    // Seven rows inside the band are too few, eight are enough.
    EXPECT_EQ(plan({box(50, 450, 200, 33)}, 500, 600), Regs{});  // y + h + 24 = 507
    EXPECT_EQ(plan({box(50, 450, 200, 34)}, 500, 600), (Regs{{26, 500, 274, 508}}));
    // A box wholly outside the band is dropped.
    EXPECT_EQ(plan({box(50, 100, 200, 30)}, 500, 600), Regs{});

    // No band: y_end <= y_start, or y_end <= 0, or y_start >= height.
    for (auto [ys, ye] : {std::pair<int, int>{600, 500}, {0, 0}, {300, -5}, {1000, 1200}, {500, 500}})
        EXPECT_EQ(plan({b}, ys, ye), (Regs{{26, 526, 274, 604}})) << ys << "," << ye;
    // A negative start counts as 0, an end past the frame as its height.
    EXPECT_EQ(plan({box(50, 10, 200, 30), box(50, 400, 200, 30)}, -100, 300), (Regs{{26, 0, 274, 64}}));
    EXPECT_EQ(plan({box(50, 950, 200, 40), box(50, 100, 200, 30)}, 500, 5000), (Regs{{26, 926, 274, 1000}}));
}

TEST_F(Plan, CandidateInsideButNearTheTopEdgeStaysApart)
{
    // With the band 500..600 the first region spans all its rows; the second
    // candidate lies inside it (rows 500..514) but ends within 16 rows of its top.
    EXPECT_EQ(plan({box(100, 500, 100, 80), box(120, 470, 50, 20)}, 500, 600),
              (Regs{{76, 500, 224, 600}, {96, 500, 194, 514}}));
}

TEST_F(Plan, FullListAndProcessingCap)
{
    // Sixty boxes 200 pixels apart; box 50 (index 49) would merge with box 0,
    // but the list of 48 regions is full by then. Twelve are processed.
    InpaintRegion reg[GW_MAX_REGIONS];
    std::vector<TextBox> b;
    for (int i = 0; i < 60; i++)
        b.push_back(box(10 + (i % 10) * 200, 10 + (i / 10) * 200, 20, 20));
    b[49] = box(10, 10, 300, 20);
    Det d(b);
    int left_out = 0;
    ASSERT_EQ(plan_regions(2000, 2000, &d, 0, 0, &g_opt, reg, &left_out), 12);
    // 36 listed but not processed, and the 12 boxes never looked at.
    EXPECT_EQ(left_out, 48);
    for (int i = 0; i < GW_MAX_REGIONS; i++) {
        const int x = 10 + (i % 10) * 200, y = 10 + (i / 10) * 200;
        EXPECT_EQ(str(reg[i]), str({std::max(x - 24, 0), std::max(y - 24, 0), x + 44, y + 44})) << i;
    }

    // Thirteen separate boxes: only twelve are processed.
    EXPECT_EQ(plan(std::vector<TextBox>(b.begin(), b.begin() + 13), 0, 0, 2000, 2000).size(), 12u);
    // A region may be larger than the frame's smaller side.
    EXPECT_EQ(plan({box(0, 100, 1000, 20)}, 0, 0, 1000, 300), (Regs{{0, 76, 1000, 144}}));
}

// ---- build_region_mask ----------------------------------------------------------

namespace {

using gwt::Crop;

std::vector<uint8_t> frame(int w, int h, unsigned seed = 1)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> f((size_t)w * h * 3);
    for (auto &v : f)
        v = (uint8_t)rng();
    return f;
}

int ones(const RegionCrop &c)
{
    int n = 0;
    for (int i = 0; i < c.side * c.side; i++)
        n += c.mask[i];
    return n;
}

}  // namespace

TEST_F(Mask, CropPlacement)
{
    struct Case {
        int w, h;
        InpaintRegion reg;
        int side, x, y;
    } cases[] = {
        {1920, 1080, {100, 1000, 400, 1040}, 300, 100, 780},   // pushed up to the last row
        {1920, 1080, {0, 900, 1920, 1000}, 1080, 420, 0},      // capped by the frame height
        {1000, 1000, {76, 76, 224, 144}, 148, 76, 36},
        {100, 100, {10, 10, 27, 20}, 17, 10, 7},               // half = 8
        {300, 200, {280, 0, 300, 60}, 60, 240, 0},             // pushed left to the last column
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(str(k.reg));
        std::vector<uint8_t> f = frame(k.w, k.h);
        // A box in the middle of the region keeps the mask from being empty.
        Det d({box((k.reg.x0 + k.reg.x1) / 2, (k.reg.y0 + k.reg.y1) / 2, 2, 2)});
        Crop c;
        ASSERT_EQ(c.build(f.data(), k.w, k.h, &d, g_opt, k.reg), 1);
        EXPECT_EQ(c.c.side, k.side);
        EXPECT_EQ(c.c.x, k.x);
        EXPECT_EQ(c.c.y, k.y);
        ASSERT_NE(c.c.repainted, nullptr);
        ASSERT_NE(c.c.alpha, nullptr);
        // The crop's pixels are the frame's, read in place.
        EXPECT_EQ(c.c.pixels, &f[((size_t)k.y * k.w + k.x) * 3]);
        EXPECT_EQ(c.c.stride, k.w * 3);
    }
}

TEST_F(Mask, TooSmallOrEmptyIsSkipped)
{
    const struct {
        const char *what;
        int w, h, radius;
        TextBox b;
        InpaintRegion reg;
    } cases[] = {
        {"a frame less than 16 pixels on one side", 15, 100, 5, box(2, 10, 10, 60), {0, 0, 15, 100}},
        {"no box and no score in the crop", 200, 200, 0, box(180, 180, 10, 10), {0, 0, 60, 60}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        g_opt.radius = k.radius;
        std::vector<uint8_t> f = frame(k.w, k.h);
        Det d({k.b});
        Crop c;
        memset(&c.c, 0x5A, sizeof c.c);
        EXPECT_EQ(c.build(f.data(), k.w, k.h, &d, g_opt, k.reg), 0);
        // The record is left empty.
        EXPECT_EQ(c.c.side, 0);
        EXPECT_EQ(c.c.pixels, nullptr);
        EXPECT_EQ(c.c.mask, nullptr);
    }
}

TEST_F(Mask, BoxesGrowByTwiceTheRadius)
{
    std::vector<uint8_t> f = frame(64, 64);
    InpaintRegion reg = {0, 0, 64, 64};
    Det d({box(20, 25, 6, 4)});
    for (int rad : {0, 1, 5}) {
        g_opt.radius = rad;
        Crop c;
        ASSERT_EQ(c.build(f.data(), 64, 64, &d, g_opt, reg), 1);
        ASSERT_EQ(c.c.side, 64);
        const int g = 2 * rad;
        for (int y = 0; y < 64; y++)
            for (int x = 0; x < 64; x++) {
                const int in = x >= 20 - g && x < 26 + g && y >= 25 - g && y < 29 + g;
                ASSERT_EQ(c.c.mask[y * 64 + x], in) << "radius " << rad << " at " << x << "," << y;
            }
    }
    // Near the crop's border the growth is clipped.
    Det edge({box(2, 60, 3, 4)});
    g_opt.radius = 5;
    Crop c;
    ASSERT_EQ(c.build(f.data(), 64, 64, &edge, g_opt, reg), 1);
    EXPECT_EQ(ones(c.c), (5 + 10) * (64 - 50));
}

TEST_F(Mask, ScoreThresholdAndLoneScorePixel)
{
    // Frame 33x33 over a 65x65 map: frame pixel (X, Y) falls exactly on map
    // sample (2X+1, 2Y+1), so the lookup returns that sample unblended.
    const int w = 33;
    std::vector<uint8_t> f = frame(w, w);
    InpaintRegion reg = {0, 0, w, w};
    g_opt.radius = 0;
    g_opt.threshold = 0.3f;

    auto put = [](Det &d, int fx, int fy, float v) { d.map[(size_t)(2 * fy + 1) * 65 + 2 * fx + 1] = v; };

    // Exactly the threshold is text; just below it, or NaN, is not.
    for (auto [v, want] : {std::pair<float, int>{0.3f, 1}, {nextafterf(0.3f, 0.0f), 0}, {NAN, 0}}) {
        Det d({}, 65, 65);
        put(d, 9, 12, v);
        Crop c;
        ASSERT_EQ(c.build(f.data(), w, w, &d, g_opt, reg), want) << v;
        if (want) {
            EXPECT_EQ(ones(c.c), 1);
            EXPECT_EQ(c.c.mask[12 * w + 9], 1);
        }
    }

    // Radius 5 turns the lone score pixel into an 11x11 square ...
    g_opt.radius = 5;
    Det at({}, 65, 65);
    put(at, 9, 12, 0.3f);
    Crop c;
    ASSERT_EQ(c.build(f.data(), w, w, &at, g_opt, reg), 1);
    for (int y = 0; y < w; y++)
        for (int x = 0; x < w; x++)
            ASSERT_EQ(c.c.mask[y * w + x], abs(x - 9) <= 5 && abs(y - 12) <= 5) << x << "," << y;
    // ... clipped at the crop's border.
    Det corner({}, 65, 65);
    put(corner, 30, 1, 0.9f);
    Crop c2;
    ASSERT_EQ(c2.build(f.data(), w, w, &corner, g_opt, reg), 1);
    EXPECT_EQ(ones(c2.c), 8 * 7);
}

TEST_F(Mask, ScoreMapIsScaledToTheFrame)
{
    // A 32x32 map for a 320x320 frame: a text blob in map columns 8..11 and
    // rows 20..21 shows up around frame columns 80..119, rows 200..219.
    Det d({}, 32, 32);
    for (int y = 20; y <= 21; y++)
        for (int x = 8; x <= 11; x++)
            d.map[(size_t)y * 32 + x] = 1.0f;
    std::vector<uint8_t> f = frame(320, 320);
    InpaintRegion reg = {0, 0, 320, 320};
    g_opt.radius = 0;
    Crop c;
    ASSERT_EQ(c.build(f.data(), 320, 320, &d, g_opt, reg), 1);
    int x0 = 1000, x1 = -1, y0 = 1000, y1 = -1;
    for (int y = 0; y < 320; y++)
        for (int x = 0; x < 320; x++)
            if (c.c.mask[y * 320 + x]) {
                x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
            }
    // Map column c sits at frame column (c * 319 / 31) - 0.5; the blended
    // score reaches 0.3 at 0.7 map samples before column 8 and after column 11.
    EXPECT_NEAR(x0, 75, 1);
    EXPECT_NEAR(x1, 119, 1);
    EXPECT_NEAR(y0, 199, 1);
    EXPECT_NEAR(y1, 222, 1);
}

TEST_F(Mask, BandRegionRepaintsAllTextInsideItsCrop)
{
    // The band 864..1080 makes a region 576,926,1324,1024 whose square crop
    // (side 748) reaches far above the band. build_region_mask itself knows
    // no band and marks a box there too; with the band, see BandMask.
    const std::vector<TextBox> boxes = {box(600, 950, 700, 50), box(700, 400, 100, 30)};
    ASSERT_EQ(plan(boxes, 864, 1080, 1920, 1080), (Regs{{576, 926, 1324, 1024}}));
    const InpaintRegion reg = {576, 926, 1324, 1024};
    Det d(boxes);
    std::vector<uint8_t> f = frame(1920, 1080);
    Crop c;
    ASSERT_EQ(c.build(f.data(), 1920, 1080, &d, g_opt, reg), 1);
    EXPECT_EQ(c.c.side, 748);
    EXPECT_EQ(c.c.x, 576);
    EXPECT_EQ(c.c.y, 332);
    // Rows 400..429 of the frame, columns 700..799: crop rows 68.., columns 124..
    EXPECT_EQ(c.c.mask[(size_t)(415 - 332) * 748 + (750 - 576)], 1);
    EXPECT_EQ(c.c.mask[(size_t)(300 - 332 + 748 / 2) * 748 + 10], 0);
    EXPECT_EQ(ones(c.c), (100 + 20) * (30 + 20) + (700 + 20) * (50 + 20));
}
