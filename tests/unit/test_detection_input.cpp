// The detector's side of the picture: the network's size, the input tensor
// made from the picture, and the score map's resampling and clamping.
#include <gtest/gtest.h>

#include <math.h>

#include <random>
#include <vector>

#include "detection/detection.h"
#include "resample/resample.h"
#include "resample/resample_wide.h"

namespace {

struct Size {
    int w, h;
};

Size net_size(int w, int h)
{
    Size s{-1, -1};
    gw_det_network_size(w, h, &s.w, &s.h);
    return s;
}

}  // namespace

// ---- network size -------------------------------------------------------------

TEST(DetNetworkSize, Examples)
{
    struct {
        int w, h, nw, nh;
    } cases[] = {
        {1920, 1080, 960, 544}, {1440, 1080, 960, 736}, {720, 1280, 544, 960}, {640, 480, 640, 480},
        {100, 50, 128, 64},     {8, 8, 32, 32},         {961, 961, 960, 960}, {8, 20000, 32, 960},
        {20000, 8, 960, 32},    {1000, 1000, 960, 960}, {960, 960, 960, 960}, {959, 961, 960, 960},
        {32, 32, 32, 32},       {33, 31, 64, 32},       {3840, 2160, 960, 544}, {1080, 1920, 544, 960},
        {960, 1000, 928, 960},  {1000, 960, 960, 928},  {961, 8, 960, 32},    {1281, 719, 960, 544},
    };
    for (const auto &c : cases) {
        Size s = net_size(c.w, c.h);
        EXPECT_EQ(s.w, c.nw) << c.w << "x" << c.h;
        EXPECT_EQ(s.h, c.nh) << c.w << "x" << c.h;
    }
}

TEST(DetNetworkSize, AlwaysMultiplesOf32WithinBoundsAndAspectKept)
{
    const int sides[] = {8, 9, 31, 32, 33, 63, 64, 65, 479, 480, 481, 959, 960, 961, 1279, 1920, 4097, 30000};
    for (int w : sides) {
        for (int h : sides) {
            Size s = net_size(w, h);
            ASSERT_TRUE(s.w % 32 == 0 && s.h % 32 == 0) << w << "x" << h;
            ASSERT_TRUE(s.w >= 32 && s.w <= 960 && s.h >= 32 && s.h <= 960) << w << "x" << h;
            if (w <= 960 && h <= 960) {
                // Never shrunk, stretched by less than 32 pixels.
                EXPECT_TRUE(s.w >= w && s.w < w + 32 && s.h >= h && s.h < h + 32) << w << "x" << h;
            } else {
                // The long side becomes 960; the short side keeps the aspect
                // to within the rounding up to 32.
                int lng = w >= h ? s.w : s.h, shrt = w >= h ? s.h : s.w;
                double want = (double)(w >= h ? h : w) * 960.0 / (w >= h ? w : h);
                EXPECT_EQ(lng, 960) << w << "x" << h;
                EXPECT_GE(shrt + 0.5, want) << w << "x" << h;
                EXPECT_LT(shrt, want + 32.5) << w << "x" << h;
            }
        }
    }
}

// ---- input tensor -------------------------------------------------------------

static float norm(int byte) { return ((float)byte / 255.0f - 0.5f) * 2.0f; }

// A w x h RGB24 picture whose pixel (x, y) px(x, y, p) fills.
template <class F>
static std::vector<uint8_t> picture(int w, int h, F px)
{
    std::vector<uint8_t> rgb((size_t)w * h * 3);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            px(x, y, &rgb[((size_t)y * w + x) * 3]);
    return rgb;
}

// Work memory for gw_det_fill_input, as floats (float-aligned).
static std::vector<float> det_scratch(int nw)
{
    return std::vector<float>(gw_resize_scratch_size(nw) / sizeof(float) + 1);
}

TEST(DetInput, PlanesInChannelOrderAndCornersAligned)
{
    const int w = 10, h = 8, nw = 32, nh = 32;
    const std::vector<uint8_t> rgb = picture(w, h, [](int x, int y, uint8_t *p) {
        p[0] = (uint8_t)(x * 20 + y);
        p[1] = (uint8_t)(200 - x * 10);
        p[2] = (uint8_t)(y * 30);
    });
    std::vector<float> t((size_t)3 * nw * nh, -9.0f);
    gw_det_fill_input(rgb.data(), w, h, t.data(), nw, nh, det_scratch(nw).data());
    auto at = [&](int k, int x, int y) { return t[(size_t)k * nw * nh + (size_t)y * nw + x]; };
    auto px = [&](int k, int x, int y) { return (int)rgb[((size_t)y * w + x) * 3 + k]; };
    for (int k = 0; k < 3; k++) {
        EXPECT_EQ(at(k, 0, 0), norm(px(k, 0, 0)));
        EXPECT_EQ(at(k, nw - 1, 0), norm(px(k, w - 1, 0)));
        EXPECT_EQ(at(k, 0, nh - 1), norm(px(k, 0, h - 1)));
        EXPECT_EQ(at(k, nw - 1, nh - 1), norm(px(k, w - 1, h - 1)));
    }
    for (float v : t)
        ASSERT_TRUE(v >= -1.0f && v <= 1.0f) << v;
}

TEST(DetInput, LinearImageStaysLinearAndUniformStaysUniform)
{
    // Bilinear sampling reproduces a linear ramp exactly (up to rounding).
    const int w = 9, h = 12, nw = 64, nh = 32;
    const std::vector<uint8_t> rgb = picture(w, h, [](int x, int y, uint8_t *p) {
        p[0] = (uint8_t)(25 * x);  // across
        p[1] = (uint8_t)(20 * y);  // down
        p[2] = 77;                 // uniform
    });
    std::vector<float> t((size_t)3 * nw * nh);
    gw_det_fill_input(rgb.data(), w, h, t.data(), nw, nh, det_scratch(nw).data());
    for (int y = 0; y < nh; y++)
        for (int x = 0; x < nw; x++) {
            double sx = (double)x * (w - 1) / (nw - 1), sy = (double)y * (h - 1) / (nh - 1);
            size_t i = (size_t)y * nw + x;
            ASSERT_NEAR(t[i], (25.0 * sx / 255.0 - 0.5) * 2.0, 2e-5) << x << "," << y;
            ASSERT_NEAR(t[(size_t)nw * nh + i], (20.0 * sy / 255.0 - 0.5) * 2.0, 2e-5) << x << "," << y;
            ASSERT_NEAR(t[(size_t)2 * nw * nh + i], norm(77), 1e-6);
        }
}

TEST(DetInput, EverySampleIsTheBilinearFormulasFloat)
{
    // Every value is the one bilinear formula's float, bit for bit, at any
    // width and with the eight-column kernels or without: a faster scaling
    // must keep the detection reports.
    std::mt19937 rng(7);
    const int widths[] = {4, 37, 61, 200};
    for (int run = 0; run < 8; run++) {
        const int nw = widths[run / 2], wide = run % 2 == 0;
        const int w = 53, h = 29, nh = nw == 200 ? 64 : 19;  // down and up
        std::vector<uint8_t> rgb((size_t)w * h * 3);
        for (uint8_t &b : rgb)
            b = (uint8_t)(rng() & 255);
        std::vector<float> t((size_t)3 * nw * nh);
        const int was = gw_resample_wide_kernels(wide);
        gw_det_fill_input(rgb.data(), w, h, t.data(), nw, nh, det_scratch(nw).data());
        gw_resample_wide_kernels(was);
        const float *unit = gw_byte_unit();
        for (int y = 0; y < nh; y++) {
            const GwTap ty = gw_axis_tap(y, h, nh);
            for (int x = 0; x < nw; x++) {
                const GwTap tx = gw_axis_tap(x, w, nw);
                for (int k = 0; k < 3; k++) {
                    auto at = [&](int yy, int xx) { return unit[rgb[((size_t)yy * w + xx) * 3 + k]]; };
                    const float v = gw_bilerp(at(ty.i0, tx.i0), at(ty.i0, tx.i1), at(ty.i1, tx.i0), at(ty.i1, tx.i1),
                                              tx.f, ty.f);
                    ASSERT_EQ(t[(size_t)k * nw * nh + (size_t)y * nw + x], (v - 0.5f) * 2.0f)
                        << nw << " wide, " << x << "," << y << " channel " << k << (wide ? " (wide kernels)" : "");
                }
            }
        }
    }
}

// ---- resampling and clamping ------------------------------------------------------

TEST(DetResample, CornersAlignedAndBilinear)
{
    // 2x2 source: the result is the bilinear surface through the four corners.
    const float src[4] = {0.0f, 1.0f, 0.5f, 0.25f};
    const int w = 33, h = 17;
    std::vector<float> dst((size_t)w * h);
    gw_det_resample_map(src, 2, 2, dst.data(), w, h);
    EXPECT_EQ(dst[0], 0.0f);
    EXPECT_EQ(dst[w - 1], 1.0f);
    EXPECT_EQ(dst[(size_t)(h - 1) * w], 0.5f);
    EXPECT_EQ(dst[(size_t)h * w - 1], 0.25f);
    EXPECT_NEAR(dst[(size_t)8 * w + 16], (0.0 + 1.0 + 0.5 + 0.25) / 4, 1e-6);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            double fx = (double)x / (w - 1), fy = (double)y / (h - 1);
            double want = 0.0 * (1 - fx) * (1 - fy) + 1.0 * fx * (1 - fy) + 0.5 * (1 - fx) * fy + 0.25 * fx * fy;
            ASSERT_NEAR(dst[(size_t)y * w + x], want, 1e-6);
        }
}

TEST(DetResample, SingleRowOrColumnIsStretched)
{
    const float row[5] = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f};
    std::vector<float> dst(5 * 32);
    gw_det_resample_map(row, 5, 1, dst.data(), 5, 32);
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 5; x++)
            ASSERT_EQ(dst[(size_t)y * 5 + x], row[x]);
    gw_det_resample_map(row, 1, 5, dst.data(), 32, 5);
    for (int y = 0; y < 5; y++)
        for (int x = 0; x < 32; x++)
            ASSERT_EQ(dst[(size_t)y * 32 + x], row[y]);
}

TEST(DetClamp, OutOfRangeAndNaN)
{
    std::vector<float> v = {-0.2f, 1.3f, 0.0f, 1.0f, 0.5f, -0.0f, NAN, -NAN, INFINITY, -INFINITY, 1e-30f};
    gw_det_clamp_map(v.data(), v.size());
    const float want[] = {0.0f, 1.0f, 0.0f, 1.0f, 0.5f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 1e-30f};
    for (size_t i = 0; i < v.size(); i++)
        EXPECT_EQ(v[i], want[i]) << "index " << i;
}
