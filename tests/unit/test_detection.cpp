// The pure parts of text detection: box extraction from hand-made score maps
// and the merge pass (the network's size and input: test_detection_input.cpp).
#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "detection/detection.h"

namespace {

struct Size {
    int w, h;
};

// A score map being drawn, then handed to gw_det_extract_boxes.
struct Map {
    int w, h;
    std::vector<float> v;
    Map(int w_, int h_, float fill = 0.0f) : w(w_), h(h_), v((size_t)w_ * h_, fill) {}
    void rect(int x, int y, int rw, int rh, float s)
    {
        for (int yy = y; yy < y + rh; yy++)
            for (int xx = x; xx < x + rw; xx++)
                v[(size_t)yy * w + xx] = s;
    }
    void set(int x, int y, float s) { v[(size_t)y * w + x] = s; }
};

struct Extracted {
    int rc = -1;
    bool boxes_allocated = false;
    std::vector<TextBox> boxes;
};

Extracted extract(const Map &m, int img_w, int img_h, float threshold = 0.3f)
{
    DetectionResult r;
    memset(&r, 0, sizeof r);
    r.score_map = (float *)malloc(m.v.size() * sizeof(float));
    memcpy(r.score_map, m.v.data(), m.v.size() * sizeof(float));
    r.map_width = m.w;
    r.map_height = m.h;
    char msg[64] = "";
    Extracted e;
    e.rc = gw_det_extract_boxes(&r, img_w, img_h, threshold, msg, sizeof msg);
    e.boxes_allocated = r.boxes != nullptr;
    if (e.rc == 0)
        e.boxes.assign(r.boxes, r.boxes + r.box_count);
    EXPECT_EQ(r.score_map != nullptr, e.rc == 0) << "the record keeps its map on success";
    EXPECT_EQ(r.map_width, m.w);
    gw_detection_free(&r);
    return e;
}

std::vector<TextBox> merged(std::vector<TextBox> boxes)
{
    int32_t n = (int32_t)boxes.size();
    gw_det_merge_boxes(boxes.data(), &n);
    boxes.resize((size_t)n);
    return boxes;
}

::testing::AssertionResult box_is(const TextBox &b, int x, int y, int w, int h)
{
    if (b.x == x && b.y == y && b.w == w && b.h == h)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "box {" << b.x << "," << b.y << "," << b.w << "," << b.h
                                         << "} expected {" << x << "," << y << "," << w << "," << h << "}";
}

struct Want {
    int x, y, w, h;
};

// Exactly the wanted boxes, in order.
::testing::AssertionResult boxes_are(const std::vector<TextBox> &got, const std::vector<Want> &want)
{
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " boxes, expected " << want.size();
    for (size_t i = 0; i < got.size(); i++)
        if (::testing::AssertionResult r = box_is(got[i], want[i].x, want[i].y, want[i].w, want[i].h); !r)
            return r << " at index " << i;
    return ::testing::AssertionSuccess();
}

}  // namespace

// ---- box extraction -------------------------------------------------------------

TEST(DetExtract, EmptyAndFullMaps)
{
    // All below the threshold; or all at it: one region as large as the
    // image, which the 30 % area filter drops.
    for (float fill : {0.29f, 0.3f}) {
        Extracted e = extract(Map(64, 32, fill), 64, 32);
        EXPECT_EQ(e.rc, 0) << fill;
        EXPECT_TRUE(e.boxes_allocated) << "boxes stays allocated when none were found, " << fill;
        EXPECT_TRUE(e.boxes.empty()) << fill;
    }
}

TEST(DetExtract, ThresholdIsInclusiveAndRegionsAre8Connected)
{
    Map m(100, 100);
    // Two blocks meeting only at a corner form one region...
    m.rect(10, 10, 10, 5, 0.6f);
    m.rect(20, 15, 10, 5, 0.6f);
    // ...two blocks one pixel apart diagonally do not.
    m.rect(50, 10, 10, 5, 0.6f);
    m.rect(61, 16, 10, 5, 0.6f);
    // A block just below the threshold is background.
    m.rect(10, 60, 20, 10, 0.2999f);
    // A block exactly at it is text.
    m.rect(50, 60, 20, 10, 0.3f);
    Extracted e = extract(m, 100, 100);
    ASSERT_TRUE(boxes_are(e.boxes, {{10, 10, 20, 10}, {50, 10, 10, 5}, {61, 16, 10, 5}, {50, 60, 20, 10}}));
    EXPECT_FLOAT_EQ(e.boxes[3].conf, 0.3f);
}

TEST(DetExtract, SizeFiltersAtTheirBounds)
{
    // Same-size map and image: a region of 5 columns is dropped, 6 x 4 kept,
    // 6 x 3 dropped.
    Map m(100, 100);
    m.rect(10, 10, 5, 10, 0.9f);
    m.rect(30, 10, 6, 4, 0.9f);
    m.rect(50, 10, 6, 3, 0.9f);
    EXPECT_TRUE(boxes_are(extract(m, 100, 100).boxes, {{30, 10, 6, 4}}));

    // Scaled: image 200 x 50 from a 100 x 100 map (2 across, 0.5 down).
    Map s(100, 100);
    s.rect(10, 10, 3, 8, 0.9f);   // 6 x 4 image pixels: kept
    s.rect(30, 10, 2, 20, 0.9f);  // 4 across: dropped
    s.rect(50, 10, 5, 7, 0.9f);   // 3.5 down: right/bottom edges truncate, dropped
    EXPECT_TRUE(boxes_are(extract(s, 200, 50).boxes, {{20, 5, 6, 4}}));
}

TEST(DetExtract, ThirtyPercentAreaFilter)
{
    Map m(100, 100);
    m.rect(0, 0, 50, 60, 0.8f);  // 3000 = 30 % of 10000: kept
    EXPECT_TRUE(boxes_are(extract(m, 100, 100).boxes, {{0, 0, 50, 60}}));
    m.rect(0, 60, 50, 1, 0.8f);  // 3050: dropped
    EXPECT_TRUE(extract(m, 100, 100).boxes.empty());

    // An 8x8 image can never hold a box (24 > 19.2); a 10x8 one can (24 = 24).
    Map n(32, 32);
    n.rect(0, 0, 20, 16, 0.8f);
    EXPECT_TRUE(boxes_are(extract(n, 10, 8).boxes, {{0, 0, 6, 4}}));
    EXPECT_TRUE(extract(n, 8, 8).boxes.empty());
    EXPECT_TRUE(extract(Map(32, 32, 1.0f), 8, 8).boxes.empty());
}

TEST(DetExtract, BoxesStayInsideTheImage)
{
    // 100x100 image on a 128x128 map: a region reaching the last map row and
    // column ends exactly at the image's edges.
    Map m(128, 128);
    m.rect(100, 110, 28, 18, 1.0f);
    EXPECT_TRUE(boxes_are(extract(m, 100, 100).boxes, {{78, 85, 100 - 78, 100 - 85}}));
}

TEST(DetExtract, ConfidenceIsTheMeanOfTheRegionsOwnPixels)
{
    Map m(200, 200);
    // A ring of alternating 0.4 / 0.8 around a small separate block of 1.0
    // that lies inside its bounding box but is too small to be a box.
    for (int y = 20; y < 60; y++)
        for (int x = 20; x < 100; x++)
            if (y < 24 || y >= 56 || x < 24 || x >= 96)
                m.set(x, y, ((x + y) & 1) ? 0.8f : 0.4f);
    m.rect(50, 35, 4, 4, 1.0f);
    Extracted e = extract(m, 200, 200);
    ASSERT_TRUE(boxes_are(e.boxes, {{20, 20, 80, 40}}));
    EXPECT_FLOAT_EQ(e.boxes[0].conf, 0.6f);

    // Summed in double: a large region of 0.7 keeps a mean of exactly 0.7f
    // (a float running sum drifts visibly over 250000 pixels).
    Map big(960, 960);
    big.rect(100, 100, 500, 500, 0.7f);
    e = extract(big, 960, 960);
    ASSERT_EQ(e.boxes.size(), 1u);
    EXPECT_EQ(e.boxes[0].conf, 0.7f);
}

TEST(DetExtract, ScanOrderTopRowThenLeftmost)
{
    Map m(200, 100);
    m.rect(120, 30, 10, 5, 0.5f);  // third: top row 30, further right
    m.rect(150, 10, 10, 5, 0.5f);  // second: top row 10, right
    m.rect(10, 10, 10, 5, 0.5f);   // first: top row 10, left
    m.rect(40, 30, 10, 5, 0.5f);   // also top row 30, left of the first of that row
    m.rect(5, 50, 10, 5, 0.5f);    // last
    EXPECT_TRUE(boxes_are(extract(m, 200, 100).boxes,
                          {{10, 10, 10, 5}, {150, 10, 10, 5}, {40, 30, 10, 5}, {120, 30, 10, 5}, {5, 50, 10, 5}}));
}

TEST(DetExtract, AtMost64BoxesInScanOrder)
{
    // 10 x 10 grid of separate blocks: the first 64 in scan order are kept.
    Map m(200, 200);
    for (int r = 0; r < 10; r++)
        for (int c = 0; c < 10; c++)
            m.rect(c * 20, r * 20, 8, 5, 0.5f + 0.001f * (r * 10 + c));
    Extracted e = extract(m, 200, 200);
    ASSERT_EQ(e.boxes.size(), 64u);
    for (int i = 0; i < 64; i++) {
        ASSERT_TRUE(box_is(e.boxes[(size_t)i], (i % 10) * 20, (i / 10) * 20, 8, 5)) << "index " << i;
        ASSERT_FLOAT_EQ(e.boxes[(size_t)i].conf, 0.5f + 0.001f * i);
    }

    // The cap comes before merging: a nested pair among the first 64 merges,
    // leaving 63, and the regions after the 64th never come in.
    Map n(200, 200);
    n.rect(0, 0, 20, 2, 0.5f);   // a "C": top bar,
    n.rect(0, 0, 2, 10, 0.5f);   // left bar,
    n.rect(0, 8, 20, 2, 0.5f);   // bottom bar
    n.rect(4, 3, 12, 4, 0.9f);   // and a block inside it (region 2)
    for (int i = 0; i < 70; i++)
        n.rect((i % 8) * 24, 20 + (i / 8) * 20, 8, 5, 0.5f);
    e = extract(n, 200, 200);
    ASSERT_EQ(e.boxes.size(), 63u);
    EXPECT_TRUE(box_is(e.boxes[0], 0, 0, 20, 10));
    EXPECT_FLOAT_EQ(e.boxes[0].conf, 0.9f);
    for (int i = 0; i < 62; i++)
        ASSERT_TRUE(box_is(e.boxes[(size_t)i + 1], (i % 8) * 24, 20 + (i / 8) * 20, 8, 5)) << "block " << i;
}

TEST(DetExtract, RandomMapsGiveBoxesWithinTheRules)
{
    std::mt19937 rng(12345);
    const Size shapes[] = {{64, 32}, {128, 96}, {224, 128}, {32, 960}};
    const Size images[] = {{60, 30}, {500, 400}, {201, 113}, {8, 20000}};
    for (int round = 0; round < 12; round++) {
        Size ms = shapes[round % 4], is = images[round % 4];
        Map m(ms.w, ms.h);
        std::uniform_int_distribution<int> rx(0, ms.w - 1), ry(0, ms.h - 1), rs(1, 12);
        std::uniform_real_distribution<float> rv(0.0f, 1.0f);
        for (int k = 0; k < 150; k++) {
            int x = rx(rng), y = ry(rng), w = rs(rng), h = rs(rng) / 2 + 1;
            w = std::min(w, ms.w - x);
            h = std::min(h, ms.h - y);
            m.rect(x, y, w, h, rv(rng));
        }
        const float thr = 0.2f + 0.1f * (round % 5);
        Extracted e = extract(m, is.w, is.h, thr);
        ASSERT_EQ(e.rc, 0);
        ASSERT_LE(e.boxes.size(), 64u);
        for (const TextBox &b : e.boxes) {
            EXPECT_TRUE(b.x >= 0 && b.y >= 0 && b.x + b.w <= is.w && b.y + b.h <= is.h);
            EXPECT_TRUE(b.w >= 6 && b.h >= 4);
            EXPECT_TRUE(b.conf >= thr && b.conf <= 1.0f) << b.conf;
        }
        // Nothing left that would merge.
        EXPECT_EQ(merged(e.boxes).size(), e.boxes.size());
    }
}

// ---- merge pass ------------------------------------------------------------------

TEST(DetMerge, WorkedExamples)
{
    const TextBox a = {100, 50, 80, 20, 0.71f};
    std::vector<TextBox> r = merged({a, {150, 52, 60, 20, 0.84f}});
    ASSERT_TRUE(boxes_are(r, {{100, 50, 110, 22}}));
    EXPECT_EQ(r[0].conf, 0.84f);

    EXPECT_EQ(merged({a, {200, 50, 60, 20, 0.84f}}).size(), 2u) << "a gap of 20 pixels";
    EXPECT_EQ(merged({a, {180, 50, 60, 20, 0.84f}}).size(), 2u) << "just touching: sum equals the union";
    r = merged({a, {179, 50, 60, 20, 0.5f}});
    ASSERT_TRUE(boxes_are(r, {{100, 50, 139, 20}})) << "one column of overlap";
    EXPECT_EQ(r[0].conf, 0.71f);
    EXPECT_EQ(merged({{0, 0, 10, 10, 0.5f}, {5, 5, 10, 10, 0.5f}}).size(), 2u) << "corner overlap, U 225 > 200";
    EXPECT_EQ(merged({{0, 0, 10, 10, 0.5f}, {0, 10, 10, 10, 0.5f}}).size(), 2u) << "touching vertically";
}

TEST(DetMerge, ConfidenceTakesTheLarger)
{
    for (auto pair : {std::make_pair(0.5f, 0.9f), std::make_pair(0.9f, 0.5f), std::make_pair(0.7f, 0.7f)}) {
        std::vector<TextBox> r = merged({{0, 0, 20, 10, pair.first}, {10, 0, 20, 10, pair.second}});
        ASSERT_TRUE(boxes_are(r, {{0, 0, 30, 10}}));
        EXPECT_EQ(r[0].conf, std::max(pair.first, pair.second));
    }
}

TEST(DetMerge, NestedBoxMergesIntoItsOuterBox)
{
    const TextBox outer = {10, 10, 100, 40, 0.6f}, inner = {30, 20, 20, 10, 0.95f};
    for (auto in : {std::vector<TextBox>{outer, inner}, std::vector<TextBox>{inner, outer}}) {
        std::vector<TextBox> r = merged(in);
        ASSERT_TRUE(boxes_are(r, {{10, 10, 100, 40}}));
        EXPECT_EQ(r[0].conf, 0.95f);
    }
}

TEST(DetMerge, MergedBoxKeepsTheEarlierIndexAndOthersMoveUp)
{
    std::vector<TextBox> r = merged({{0, 0, 20, 10, 0.5f},
                                     {100, 0, 10, 10, 0.6f},
                                     {10, 0, 20, 10, 0.7f},
                                     {200, 0, 10, 10, 0.8f},
                                     {300, 0, 10, 10, 0.9f}});
    ASSERT_TRUE(boxes_are(r, {{0, 0, 30, 10}, {100, 0, 10, 10}, {200, 0, 10, 10}, {300, 0, 10, 10}}));
    EXPECT_EQ(r[0].conf, 0.7f);
    EXPECT_EQ(r[3].conf, 0.9f);
}

TEST(DetMerge, RestartsFromTheFirstPairAfterEachMerge)
{
    // (0,2) merges first; the grown box 0 must then be tried against box 1
    // before box 3. Carrying on with (0,3) instead would swallow box 3 and
    // end with a single box.
    std::vector<TextBox> r = merged({{5, 10, 15, 15, 0.5f},
                                     {10, 15, 25, 15, 0.5f},
                                     {5, 10, 20, 15, 0.5f},
                                     {0, 15, 10, 10, 0.5f}});
    EXPECT_TRUE(boxes_are(r, {{5, 10, 30, 20}, {0, 15, 10, 10}}));

    // A chain: each merge makes box 0 reach the next one.
    r = merged({{0, 0, 10, 10, 0.5f}, {15, 0, 10, 10, 0.5f}, {5, 0, 15, 10, 0.5f}});
    EXPECT_TRUE(boxes_are(r, {{0, 0, 25, 10}}));
}

TEST(DetMerge, FewerThanTwoBoxesUntouched)
{
    int32_t n = 0;
    gw_det_merge_boxes(nullptr, &n);
    EXPECT_EQ(n, 0);
    TextBox one = {1, 2, 3, 4, 0.5f};
    n = 1;
    gw_det_merge_boxes(&one, &n);
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(box_is(one, 1, 2, 3, 4));
}
