// The project's default inpainting model (models/lama_fp32.onnx, made by
// tools/make_fill_model.py) against the contract the inpainting pass relies
// on: image then mask in, one 1x3x512x512 output on the 0..255 scale, known
// pixels returned as 255 * input, holes filled from their surroundings.
#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "glyphwipe.h"
#include "inference/ort_helpers.h"
#include "test_support.h"

namespace {

const int N = 512;
const size_t PLANE = (size_t)N * N;

struct FillModel : ::testing::Test {
    ModelSession s;
    char msg[512];
    std::vector<float> img = std::vector<float>(3 * PLANE), mask = std::vector<float>(PLANE),
                       out = std::vector<float>(3 * PLANE);
    TensorShape out_shape = {0, 0, 0, 0};

    void SetUp() override
    {
        memset(&s, 0, sizeof s);
        memset(msg, 0, sizeof msg);
        if (!gwt::file_exists(gwt::real_lama_model()))
            GTEST_SKIP() << "no " << gwt::real_lama_model() << " (scripts/setup.sh makes it)";
        ASSERT_EQ(ort_session_create(gwt::real_lama_model().c_str(), &s, msg, sizeof msg), 0) << msg;
    }
    void TearDown() override { ort_session_destroy(&s); }

    // One run with the shapes and buffer size the inpainting pass uses.
    int run()
    {
        std::fill(out.begin(), out.end(), -12345.0f);
        float *ins[2] = {img.data(), mask.data()};
        TensorShape in_shapes[2] = {{1, 3, N, N}, {1, 1, N, N}};
        float *outs[1] = {out.data()};
        out_shape = {1, 3, N, N};
        size_t caps[1] = {out.size()};
        return ort_session_run(&s, ins, in_shapes, 2, outs, &out_shape, caps, 1, msg, sizeof msg);
    }
    float &px(std::vector<float> &v, int c, int y, int x) { return v[c * PLANE + (size_t)y * N + x]; }
    // Largest |output - 255 * input| over the pixels where keep(y, x) holds.
    template <class F> float known_error(F keep)
    {
        float e = 0;
        for (int c = 0; c < 3; c++)
            for (int y = 0; y < N; y++)
                for (int x = 0; x < N; x++)
                    if (keep(y, x))
                        e = std::max(e, fabsf(px(out, c, y, x) - 255.0f * px(img, c, y, x)));
        return e;
    }
};

// Text-line-shaped holes over a busy picture: the contract in one run.
TEST_F(FillModel, KeepsKnownPixelsAndFillsHolesWithinRange)
{
    EXPECT_EQ(s.input_count, 2);
    EXPECT_EQ(s.output_count, 1);
    srand(3);
    for (size_t i = 0; i < img.size(); i++)
        img[i] = (float)(rand() % 256) / 255.0f;
    auto in_hole = [](int y, int x) { return (y >= 200 && y < 260 && x >= 40 && x < 480) || (x >= 500 && y < 30); };
    for (int y = 0; y < N; y++)
        for (int x = 0; x < N; x++)
            mask[(size_t)y * N + x] = in_hole(y, x) ? 1.0f : 0.0f;

    ASSERT_EQ(run(), 0) << msg;
    EXPECT_EQ(out_shape.n, 1);
    EXPECT_EQ(out_shape.c, 3);
    EXPECT_EQ(out_shape.h, N);
    EXPECT_EQ(out_shape.w, N);
    EXPECT_LE(known_error([&](int y, int x) { return !in_hole(y, x); }), 0.5f);
    float lo = 1e9f, hi = -1e9f;
    double hole_sum = 0;
    long hole_n = 0;
    for (int c = 0; c < 3; c++)
        for (int y = 0; y < N; y++)
            for (int x = 0; x < N; x++) {
                float v = px(out, c, y, x);
                ASSERT_TRUE(std::isfinite(v)) << c << "," << y << "," << x;
                lo = std::min(lo, v);
                hi = std::max(hi, v);
                if (in_hole(y, x)) {
                    hole_sum += v;
                    hole_n++;
                }
            }
    EXPECT_GE(lo, 0.0f);
    EXPECT_LE(hi, 255.0f);
    // Uniform noise around the holes: the fill is near its mean, not black or white.
    EXPECT_NEAR(hole_sum / hole_n, 127.5, 12.0);
}

// A hole surrounded by one colour comes back in that colour, also where it
// touches the picture's border.
TEST_F(FillModel, HoleInOneColourTakesThatColour)
{
    const float rgb[3] = {30 / 255.0f, 160 / 255.0f, 220 / 255.0f};
    for (int c = 0; c < 3; c++)
        for (size_t i = 0; i < PLANE; i++)
            img[c * PLANE + i] = rgb[c];
    // Paint "text" of another colour into the hole: it must not leak out.
    auto in_hole = [](int y, int x) { return (y >= 100 && y < 180 && x >= 60 && x < 450) || (y >= 470 && x < 120); };
    for (int y = 0; y < N; y++)
        for (int x = 0; x < N; x++) {
            bool h = in_hole(y, x);
            mask[(size_t)y * N + x] = h ? 1.0f : 0.0f;
            if (h && ((x / 7 + y / 5) % 2))
                for (int c = 0; c < 3; c++)
                    px(img, c, y, x) = 1.0f;
        }
    ASSERT_EQ(run(), 0) << msg;
    for (int c = 0; c < 3; c++)
        for (int y = 0; y < N; y++)
            for (int x = 0; x < N; x++)
                ASSERT_NEAR(px(out, c, y, x), 255.0f * rgb[c], 0.5f) << c << "," << y << "," << x;
}

// A smooth gradient is continued across a thick hole rather than flattened.
TEST_F(FillModel, GradientContinuesAcrossHole)
{
    auto ramp = [](int c, int y, int x) {
        return c == 0 ? 0.1f + 0.8f * x / (N - 1) : c == 1 ? 0.2f + 0.6f * y / (N - 1) : 0.5f;
    };
    for (int y = 0; y < N; y++)
        for (int x = 0; x < N; x++) {
            for (int c = 0; c < 3; c++)
                px(img, c, y, x) = ramp(c, y, x);
            bool h = y >= 220 && y < 300 && x >= 100 && x < 420;
            mask[(size_t)y * N + x] = h ? 1.0f : 0.0f;
            if (h && (x % 9) < 4)
                for (int c = 0; c < 3; c++)
                    px(img, c, y, x) = 0.0f;  // dark strokes inside the hole
        }
    ASSERT_EQ(run(), 0) << msg;
    float worst = 0;
    for (int y = 220; y < 300; y++)
        for (int x = 100; x < 420; x++)
            for (int c = 0; c < 3; c++)
                worst = std::max(worst, fabsf(px(out, c, y, x) - 255.0f * ramp(c, y, x)));
    EXPECT_LT(worst, 6.0f);  // a flat fill would be off by up to ~100
}

// The mask as the inpainting pass builds it: near the far edges of small
// crops it holds 254/255 for a hole and 1/255 for a kept pixel.
TEST_F(FillModel, MaskValuesNearZeroAndOne)
{
    for (int c = 0; c < 3; c++)
        for (int y = 0; y < N; y++)
            for (int x = 0; x < N; x++)
                px(img, c, y, x) = (x >= 500 && y >= 100 && y < 140) ? 1.0f : 0.25f;  // white "text" at the right edge
    for (int y = 0; y < N; y++)
        for (int x = 0; x < N; x++) {
            float m = 0.0f;
            if (x >= 500 && y >= 100 && y < 140)
                m = (x >= 510) ? 254.0f / 255.0f : 1.0f;
            else if (x >= 508 || y >= 508)
                m = 1.0f / 255.0f;
            mask[(size_t)y * N + x] = m;
        }
    ASSERT_EQ(run(), 0) << msg;
    EXPECT_LE(known_error([&](int y, int x) { return mask[(size_t)y * N + x] < 0.5f; }), 0.5f);
    for (int c = 0; c < 3; c++)
        for (int y = 100; y < 140; y++)
            for (int x = 500; x < N; x++)
                ASSERT_NEAR(px(out, c, y, x), 0.25f * 255.0f, 0.5f) << c << "," << y << "," << x;
}

// Nothing known at all: still a finite picture in range (mid grey).
TEST_F(FillModel, AllHole)
{
    for (size_t i = 0; i < img.size(); i++)
        img[i] = (i % 3) ? 1.0f : 0.0f;
    std::fill(mask.begin(), mask.end(), 1.0f);
    ASSERT_EQ(run(), 0) << msg;
    for (float v : out) {
        ASSERT_TRUE(std::isfinite(v));
        ASSERT_NEAR(v, 127.5f, 1.0f);
    }
}

// The library accepts the model as its inpainting network.
TEST(FillModelLibrary, InitAcceptsTheModelFolder)
{
    if (!gwt::file_exists(gwt::real_lama_model()))
        GTEST_SKIP() << "no " << gwt::real_lama_model();
    ASSERT_EQ(glyphwipe_init(gwt::models_dir().c_str()), 0) << glyphwipe_last_error();
    EXPECT_STREQ(glyphwipe_last_error(), "no error");
    glyphwipe_cleanup();
}

} // namespace
