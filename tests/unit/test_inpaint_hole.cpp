// The frame's hole as a plane of its own, and repainting a hole the caller
// gives (what video-aware repainting leaves to the fill model): the same
// picture as the usual pass for the whole hole, and nothing repainted far
// from a part of it.
#include <gtest/gtest.h>

#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include "inpaint/inpaint.h"
#include "inpaint_support.h"
#include "test_support.h"

namespace {

using gwt::box;
using Bytes = std::vector<uint8_t>;

struct GivenHole : ::testing::Test {
    ModelSession model{};
    InpaintArena arena{};
    InpaintOptions opt = gwt::inpaint_defaults();
    void SetUp() override
    {
        char msg[1024] = "";
        ASSERT_EQ(ort_session_create(gwt::test_model("inp_const.onnx").c_str(), &model, msg, sizeof msg), 0) << msg;
    }
    void TearDown() override
    {
        ort_session_destroy(&model);
        gw_inpaint_arena_free(&arena);
    }
    static Bytes frame(int w, int h)
    {
        std::mt19937 rng(3);
        Bytes f((size_t)w * h * 3);
        for (auto &v : f)
            v = (uint8_t)(rng() & 0x3F);  // dark noise
        return f;
    }
};

// Light letters on the dark noise inside the box, so the glyph hole finds them.
void letters(Bytes &f, int w, int x0, int y0, int x1, int y1)
{
    for (int y = y0; y < y1; y++)
        for (int x = x0; x < x1; x++)
            if ((x / 4) % 2 == 0)
                for (int c = 0; c < 3; c++)
                    f[((size_t)y * w + x) * 3 + c] = 240;
}

}  // namespace

TEST_F(GivenHole, WholeHoleRepaintsAsTheUsualPass)
{
    const int W = 320, H = 200;
    for (int mode : {GW_MASK_BOXES, GW_MASK_GLYPHS}) {
        SCOPED_TRACE(mode);
        opt.mask_mode = mode;
        opt.radius = mode == GW_MASK_GLYPHS ? 1 : 5;
        gwt::Det d({box(100, 90, 120, 24)}, W, H);
        d.core(104, 96, 216, 108);
        Bytes f = frame(W, H);
        letters(f, W, 100, 90, 220, 114);
        Bytes hole((size_t)W * H, 9);
        ASSERT_EQ(gw_inpaint_hole(&opt, &arena, f.data(), W, H, &d.r, 0, 0, hole.data()), 0);
        size_t n = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                ASSERT_LE(hole[(size_t)y * W + x], 1);
                n += hole[(size_t)y * W + x];
                if (hole[(size_t)y * W + x]) {  // within the box grown by the radius (twice: box and dilation)
                    ASSERT_TRUE(x >= 100 - 2 * opt.radius - 1 && x < 220 + 2 * opt.radius + 1 &&
                                y >= 90 - 2 * opt.radius - 1 && y < 114 + 2 * opt.radius + 1)
                        << x << "," << y;
                }
            }
        EXPECT_GT(n, 500u);

        Bytes usual = f, given = f;
        EXPECT_EQ(gw_inpaint_frame(&model, &opt, &arena, usual.data(), W, H, &d.r, 0, 0), 0);
        EXPECT_EQ(gw_inpaint_frame_hole(&model, &opt, &arena, given.data(), W, H, &d.r, 0, 0, hole.data()), 0);
        if (mode == GW_MASK_GLYPHS) {
            EXPECT_TRUE(given == usual);  // one crop: the very same hole and blend
        }
        for (size_t i = 0; i < hole.size(); i++) {
            if (hole[i]) {
                ASSERT_EQ(given[i * 3], 200) << i;  // the stand-in model's colour
            }
        }
    }
}

TEST_F(GivenHole, PartOfTheHoleRepaintsOnlyThere)
{
    const int W = 320, H = 200;
    gwt::Det d({box(60, 90, 200, 24)}, W, H);
    d.core(64, 96, 256, 108);
    Bytes f = frame(W, H);
    Bytes hole((size_t)W * H);
    ASSERT_EQ(gw_inpaint_hole(&opt, &arena, f.data(), W, H, &d.r, 0, 0, hole.data()), 0);
    for (int y = 0; y < H; y++)  // the left half was filled from other pictures
        for (int x = 0; x < 160; x++)
            hole[(size_t)y * W + x] = 0;
    Bytes out = f;
    EXPECT_EQ(gw_inpaint_frame_hole(&model, &opt, &arena, out.data(), W, H, &d.r, 0, 0, hole.data()), 0);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < 150; x++)  // beyond the blend's softened edge
            ASSERT_EQ(out[((size_t)y * W + x) * 3], f[((size_t)y * W + x) * 3]) << x << "," << y;
    EXPECT_EQ(out[((size_t)100 * W + 200) * 3], 200);
    // No hole at all: nothing repainted.
    Bytes none((size_t)W * H, 0), same = f;
    EXPECT_EQ(gw_inpaint_frame_hole(&model, &opt, &arena, same.data(), W, H, &d.r, 0, 0, none.data()), 0);
    EXPECT_TRUE(same == f);
}
