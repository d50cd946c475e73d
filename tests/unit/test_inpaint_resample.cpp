// Pixel-level helpers of the inpainting pass: bilinear resizing and sampling,
// mask dilation and the softening of the 512x512 hole mask.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <random>
#include <vector>

#include "inpaint/inpaint.h"
#include "resample/resample.h"
#include "resample/resample_wide.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &v : b)
        v = (uint8_t)(rng() & 0xFF);
    return b;
}

Bytes resized(const Bytes &src, int w, int h, int ow, int oh)
{
    Bytes out((size_t)ow * oh * 3);
    std::vector<float> scratch(gw_resize_scratch_size(ow) / sizeof(float));
    gw_resize_to_rgb(src.data(), w, h, 3, out.data(), ow, oh, scratch.data());
    return out;
}

void dilate_mask(uint8_t *mask, int side, int radius)
{
    std::vector<int> scratch(gw_dilate_scratch_size(side) / sizeof(int) + 1);
    gw_dilate_mask(mask, side, radius, scratch.data());
}

void feather_mask(uint8_t *plane)
{
    std::vector<uint16_t> scratch((size_t)GW_INPAINT_SIZE * GW_INPAINT_SIZE);
    ::feather_mask(plane, scratch.data());
}

// One row of an RGB24 image, channel c.
std::vector<int> row_channel(const Bytes &img, int w, int row, int c)
{
    std::vector<int> r;
    for (int x = 0; x < w; x++)
        r.push_back(img[((size_t)row * w + x) * 3 + c]);
    return r;
}

}  // namespace

TEST(ResizeRgb, HorizontalRampFromTwoColumns)
{
    // Left column 0, right column 255, in every channel and both rows.
    const Bytes src = {0, 0, 0, 255, 255, 255, 0, 0, 0, 255, 255, 255};
    const Bytes out4 = resized(src, 2, 2, 4, 2), out5 = resized(src, 2, 2, 5, 2);
    for (int row = 0; row < 2; row++)
        for (int c = 0; c < 3; c++) {
            EXPECT_EQ(row_channel(out4, 4, row, c), (std::vector<int>{0, 85, 170, 255}));
            // 127.5 rounds up to 128, 191.25 down to 191.
            EXPECT_EQ(row_channel(out5, 5, row, c), (std::vector<int>{0, 64, 128, 191, 255}));
        }
}

TEST(ResizeRgb, ChannelsStayApart)
{
    // Left pixel (0, 255, 40), right pixel (255, 0, 40).
    const Bytes src = {0, 255, 40, 255, 0, 40, 0, 255, 40, 255, 0, 40};
    const Bytes out = resized(src, 2, 2, 4, 2);
    EXPECT_EQ(row_channel(out, 4, 1, 0), (std::vector<int>{0, 85, 170, 255}));
    EXPECT_EQ(row_channel(out, 4, 1, 1), (std::vector<int>{255, 170, 85, 0}));
    EXPECT_EQ(row_channel(out, 4, 1, 2), (std::vector<int>{40, 40, 40, 40}));
}

TEST(ResizeRgb, SingleSourceRowOrColumnIsRepeated)
{
    const Bytes row = {10, 10, 10, 20, 20, 20, 30, 30, 30};  // 3x1
    const Bytes out = resized(row, 3, 1, 5, 2);
    for (int r = 0; r < 2; r++)
        EXPECT_EQ(row_channel(out, 5, r, 1), (std::vector<int>{10, 15, 20, 25, 30}));

    // The same data as one column (1x3) scaled to 2x5.
    const Bytes col = resized(row, 1, 3, 2, 5);
    const int expect[5] = {10, 15, 20, 25, 30};
    for (int y = 0; y < 5; y++)
        for (int x = 0; x < 2; x++)
            for (int c = 0; c < 3; c++)
                EXPECT_EQ(col[((size_t)y * 2 + x) * 3 + c], expect[y]) << y << "," << x;

    // A single pixel fills the whole destination.
    const Bytes px = {7, 8, 9};
    const Bytes flat = resized(px, 1, 1, 16, 16);
    for (size_t i = 0; i < flat.size(); i++)
        ASSERT_EQ(flat[i], px[i % 3]);
}

TEST(ResizeRgb, IdentityAndCorners)
{
    for (auto [w, h] : {std::pair<int, int>{37, 23}, {512, 512}, {16, 300}}) {
        const Bytes src = random_bytes((size_t)w * h * 3, (unsigned)(w * 1000 + h));
        EXPECT_EQ(resized(src, w, h, w, h), src) << w << "x" << h;
    }

    const int w = 50, h = 40;
    const Bytes src = random_bytes((size_t)w * h * 3, 7);
    for (auto [ow, oh] : {std::pair<int, int>{17, 91}, {512, 512}, {2, 2}, {300, 13}}) {
        const Bytes out = resized(src, w, h, ow, oh);
        const int corners[4][4] = {{0, 0, 0, 0}, {w - 1, 0, ow - 1, 0}, {0, h - 1, 0, oh - 1}, {w - 1, h - 1, ow - 1, oh - 1}};
        for (auto &k : corners)
            for (int c = 0; c < 3; c++)
                EXPECT_EQ(out[((size_t)k[3] * ow + k[2]) * 3 + c], src[((size_t)k[1] * w + k[0]) * 3 + c])
                    << ow << "x" << oh << " corner " << k[0] << "," << k[1];
    }
}

TEST(ResizeRgb, ScalingRoundTripStaysClose)
{
    // A smooth image survives 200 -> 512 -> 200 within a couple of levels.
    const int s = 200;
    Bytes src((size_t)s * s * 3);
    for (int y = 0; y < s; y++)
        for (int x = 0; x < s; x++)
            for (int c = 0; c < 3; c++)
                src[((size_t)y * s + x) * 3 + c] = (uint8_t)(c == 0 ? x : c == 1 ? y : (x + y) / 2);
    const Bytes back = resized(resized(src, s, s, 512, 512), 512, 512, s, s);
    for (size_t i = 0; i < src.size(); i++)
        ASSERT_LE(abs((int)back[i] - (int)src[i]), 1) << i;
}

// Every output value is the formula's, ((a*w0)*gy + (b*w1)*gy) + (c*w0)*fy +
// (d*w1)*fy rounded half up, whichever path (vector or scalar, edge column or
// not) computed it; a window writes exactly the window's values.
TEST(ResizeRgb, EveryValueIsTheFormulasAndWindowsMatch)
{
    std::mt19937 rng(3);
    const int sizes[][4] = {{1050, 1050, 512, 512}, {512, 512, 1050, 1050}, {5, 3, 37, 2}, {37, 29, 6, 41},
                            {2, 2, 2, 2}, {300, 17, 299, 301}};
    for (const auto &sz : sizes) {
        const int w = sz[0], h = sz[1], ow = sz[2], oh = sz[3];
        for (int chans : {1, 3}) {
            const Bytes src = random_bytes((size_t)w * h * chans, (unsigned)(w + h + chans));
            Bytes full((size_t)ow * oh * chans);
            std::vector<float> scratch(gw_resize_scratch_size(ow) / sizeof(float));
            gw_resize_window(src.data(), w, h, chans, full.data(), ow, oh, 0, ow, 0, oh, scratch.data());
            for (int y = 0; y < oh; y++) {
                const GwTap ty = gw_axis_tap(y, h, oh);
                for (int x = 0; x < ow; x++) {
                    const GwTap tx = gw_axis_tap(x, w, ow);
                    for (int c = 0; c < chans; c++) {
                        auto at = [&](int yy, int xx) { return (float)src[((size_t)yy * w + xx) * chans + c]; };
                        const float w0 = 1.0f - tx.f, w1 = tx.f, gy = 1.0f - ty.f, fy = ty.f;
                        const float v = at(ty.i0, tx.i0) * w0 * gy + at(ty.i0, tx.i1) * w1 * gy +
                                        at(ty.i1, tx.i0) * w0 * fy + at(ty.i1, tx.i1) * w1 * fy;
                        ASSERT_EQ(full[((size_t)y * ow + x) * chans + c], (uint8_t)(int)(v + 0.5f))
                            << w << "x" << h << " -> " << ow << "x" << oh << " at " << x << "," << y << " channel " << c;
                    }
                }
            }
            if (chans == 3) {
                EXPECT_EQ(resized(src, w, h, ow, oh), full);
                // The same scaling as planes of unit values for a network,
                // with the eight-column kernels (where the processor has them)
                // and without.
                std::vector<float> planes((size_t)3 * ow * oh);
                for (int wide : {1, 0}) {
                    const int was = gw_resample_wide_kernels(wide);
                    gw_resize_to_unit_planes(src.data(), w, h, (size_t)w * 3, planes.data(), ow, oh, scratch.data());
                    gw_resample_wide_kernels(was);
                    for (size_t i = 0; i < (size_t)ow * oh; i++)
                        for (int c = 0; c < 3; c++)
                            ASSERT_EQ(planes[(size_t)c * ow * oh + i], (float)full[i * 3 + c] / 255.0f)
                                << w << "x" << h << " -> " << ow << "x" << oh << " pixel " << i << " channel " << c
                                << (wide ? " (wide kernels)" : "");
                }
            }
            for (int k = 0; k < 4; k++) {
                const int c0 = (int)(rng() % ow), c1 = c0 + 1 + (int)(rng() % (ow - c0));
                const int r0 = (int)(rng() % oh), r1 = r0 + 1 + (int)(rng() % (oh - r0));
                Bytes win(full.size(), 77);
                gw_resize_window(src.data(), w, h, chans, win.data(), ow, oh, c0, c1, r0, r1, scratch.data());
                for (int y = 0; y < oh; y++)
                    for (int x = 0; x < ow; x++)
                        for (int c = 0; c < chans; c++) {
                            const size_t i = ((size_t)y * ow + x) * chans + c;
                            const bool inside = x >= c0 && x < c1 && y >= r0 && y < r1;
                            ASSERT_EQ(win[i], inside ? full[i] : 77) << x << "," << y << " window " << c0 << ".." << c1
                                                                     << " x " << r0 << ".." << r1;
                        }
            }
        }
    }
}

TEST(SampleU8Bilinear, InsideTheGrid)
{
    const int w = 7, h = 5;
    const Bytes plane = random_bytes((size_t)w * h, 3);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            EXPECT_EQ(gw_sample_u8_bilinear(plane.data(), w, h, (float)x, (float)y), plane[(size_t)y * w + x])
                << x << "," << y;

    // Halfway between 0 and 1 rounds up.
    const Bytes two = {0, 1, 0, 1};
    EXPECT_EQ(gw_sample_u8_bilinear(two.data(), 2, 2, 0.5f, 0.0f), 1);
    EXPECT_EQ(gw_sample_u8_bilinear(two.data(), 2, 2, 0.25f, 1.0f), 0);
    // Both axes at once: the mean of 10, 20, 30, 41 is 25.25.
    const Bytes quad = {10, 20, 30, 41};
    EXPECT_EQ(gw_sample_u8_bilinear(quad.data(), 2, 2, 0.5f, 0.5f), 25);
}

TEST(SampleU8Bilinear, ExtrapolatesBeyondTheOuterSamples)
{
    // Rows of 0 ... 0 1: at x = w - 0.5 the weight is 1.5 and the value 2.
    const int w = 6, h = 3;
    Bytes rise((size_t)w * h, 0), fall((size_t)w * h, 0);
    for (int y = 0; y < h; y++) {
        rise[(size_t)y * w + w - 1] = 1;
        fall[(size_t)y * w + w - 2] = 1;
    }
    EXPECT_EQ(gw_sample_u8_bilinear(rise.data(), w, h, w - 0.5f, 1.0f), 2);
    EXPECT_EQ(gw_sample_u8_bilinear(fall.data(), w, h, w - 0.5f, 1.0f), 0);  // -0.5 + 0.5
    // Exactly on the last column: x0 = w - 2, fx = 1.
    EXPECT_EQ(gw_sample_u8_bilinear(rise.data(), w, h, (float)(w - 1), 1.0f), 1);
    EXPECT_EQ(gw_sample_u8_bilinear(fall.data(), w, h, (float)(w - 1), 1.0f), 0);

    // Last two columns 2, 0 and fx = 1.8 give -1.6, returned as -1 (truncated
    // toward zero after adding 0.5, not clamped).
    const Bytes down = {9, 9, 2, 0, 9, 9, 2, 0};  // 4x2
    EXPECT_EQ(gw_sample_u8_bilinear(down.data(), 4, 2, 3.8f, 0.0f), -1);

    // Below zero it extrapolates from the first two samples: 0, 10 at x = -0.5
    // gives -5, and -4.5 truncates to -4.
    const Bytes up = {0, 10, 0, 10};
    EXPECT_EQ(gw_sample_u8_bilinear(up.data(), 2, 2, -0.5f, 0.0f), -4);
    EXPECT_EQ(gw_sample_u8_bilinear(up.data(), 2, 2, 2.0f, 0.0f), 20);

    // The same along the rows.
    const Bytes col = {0, 0, 1, 1};  // 2x2, second row set
    EXPECT_EQ(gw_sample_u8_bilinear(col.data(), 2, 2, 0.0f, 1.5f), 2);

    // A constant plane reads that constant everywhere, also far outside.
    const Bytes ones(16 * 16, 1);
    for (float x : {-3.0f, 0.0f, 7.5f, 15.0f, 15.99f, 20.0f})
        EXPECT_EQ(gw_sample_u8_bilinear(ones.data(), 16, 16, x, x), 1) << x;
}

// ---- dilate_mask -------------------------------------------------------------

static Bytes dilate_reference(const Bytes &m, int side, int r)
{
    Bytes out(m.size(), 0);
    for (int y = 0; y < side; y++)
        for (int x = 0; x < side; x++)
            for (int dy = -r; dy <= r && !out[(size_t)y * side + x]; dy++)
                for (int dx = -r; dx <= r; dx++) {
                    int yy = y + dy, xx = x + dx;
                    if (yy >= 0 && yy < side && xx >= 0 && xx < side && m[(size_t)yy * side + xx]) {
                        out[(size_t)y * side + x] = 1;
                        break;
                    }
                }
    return out;
}

TEST(DilateMask, LonePixelBecomesASquare)
{
    const int side = 40;
    Bytes m((size_t)side * side, 0);
    m[20 * side + 20] = 1;
    dilate_mask(m.data(), side, 5);
    for (int y = 0; y < side; y++)
        for (int x = 0; x < side; x++)
            ASSERT_EQ(m[(size_t)y * side + x], (abs(x - 20) <= 5 && abs(y - 20) <= 5) ? 1 : 0) << x << "," << y;

    // Clipped at the border: a corner pixel grows into a 6x6 square.
    Bytes c((size_t)side * side, 0);
    c[0] = 1;
    dilate_mask(c.data(), side, 5);
    int count = 0;
    for (uint8_t v : c)
        count += v;
    EXPECT_EQ(count, 36);
    EXPECT_EQ(c[5 * side + 5], 1);
    EXPECT_EQ(c[6 * side + 5], 0);
}

TEST(DilateMask, MatchesTheSquareWindowForAnyRadius)
{
    const int side = 37;
    std::mt19937 rng(11);
    for (int r : {0, 1, 2, 5, 18, 36, 128}) {
        Bytes m((size_t)side * side, 0);
        for (auto &v : m)
            v = (rng() % 97) == 0 ? (uint8_t)(1 + rng() % 200) : 0;  // any nonzero byte counts as set
        Bytes expect = r == 0 ? m : dilate_reference(m, side, r);
        dilate_mask(m.data(), side, r);
        EXPECT_EQ(m, expect) << "radius " << r;
    }
    // A radius as large as the crop fills it from a single pixel.
    Bytes one((size_t)side * side, 0);
    one[side * side - 1] = 1;
    dilate_mask(one.data(), side, side);
    for (uint8_t v : one)
        ASSERT_EQ(v, 1);
}

// ---- feather_mask --------------------------------------------------------------

TEST(FeatherMask, StraightEdgeSingleHoleAndFullPlane)
{
    const int n = GW_INPAINT_SIZE;
    Bytes edge((size_t)n * n, 0);
    for (int y = 0; y < n; y++)
        for (int x = 256; x < n; x++)
            edge[(size_t)y * n + x] = 255;
    feather_mask(edge.data());
    const std::vector<int> across = {0, 28, 85, 170, 226, 255};
    for (int y : {0, 1, 200, n - 1}) {
        std::vector<int> got;
        for (int x = 253; x <= 258; x++)
            got.push_back(edge[(size_t)y * n + x]);
        EXPECT_EQ(got, across) << "row " << y;
        EXPECT_EQ(edge[(size_t)y * n + 0], 0);
        EXPECT_EQ(edge[(size_t)y * n + n - 1], 255);  // the border keeps the full value
    }

    // A single hole pixel: 28 in its centre, then 18, 9 along the axes and
    // 12, 6, 3 on the diagonals; nothing beyond two pixels.
    Bytes dot((size_t)n * n, 0);
    dot[(size_t)100 * n + 100] = 255;
    feather_mask(dot.data());
    const int around[][3] = {{0, 0, 28}, {0, 1, 18}, {-1, 0, 18}, {0, 2, 9}, {1, 1, 12},
                             {1, 2, 6},  {-2, -2, 3}, {0, 3, 0},  {3, 3, 0}};  // dy, dx, value
    for (const auto &k : around)
        EXPECT_EQ((int)dot[(size_t)(100 + k[0]) * n + 100 + k[1]], k[2]) << "at " << k[0] << "," << k[1];

    // All 255 stays 255, corners included (edge pixels divide by their own count).
    Bytes full((size_t)n * n, 255);
    feather_mask(full.data());
    for (uint8_t v : full)
        ASSERT_EQ(v, 255);

    // A hole pixel in a corner: the first pass gives 63 (of 4 neighbours),
    // 42 beside it (of 6) and 28 diagonally (of 9); the second (63+42+42+28)/4.
    Bytes corner((size_t)n * n, 0);
    corner[0] = 255;
    feather_mask(corner.data());
    EXPECT_EQ(corner[0], 43);
}
