// The propagation fill on synthetic videos made from a photograph: a still
// camera, a pan, a slow zoom and a moving object, with text burned in at a
// fixed place; the text-free pictures are the truth.
#include <gtest/gtest.h>

#include <string.h>

#include "temporal/temporal.h"
#include "temporal_scenes.h"

using tps::Rect;
using tps::Scene;

namespace {

const int W = 384, H = 216;

struct Context {
    TemporalContext *c = nullptr;
    explicit Context(int max_pictures, int local_motion = 2, int feather = -1)
    {
        TemporalConfig cfg;
        gw_temporal_defaults(&cfg, W, H, max_pictures);
        cfg.local_motion = local_motion;
        if (feather >= 0)
            cfg.feather = feather;
        char err[256] = "";
        EXPECT_EQ(gw_temporal_create(&cfg, &c, err, sizeof err), GW_TEMPORAL_OK) << err;
    }
    ~Context() { gw_temporal_free(c); }
};

struct Output {
    std::vector<uint8_t> rgb, state;
    TemporalStats st{};
};

// Fills picture t of the scene over pictures lo..hi, each given as its
// rendered pixels and raw hole unless `pics` replaces it.
Output fill_one(TemporalContext *c, const Scene &sc, int t, int lo, int hi,
                const std::vector<TemporalPicture> *pics = nullptr)
{
    std::vector<TemporalPicture> p;
    for (int i = lo; i <= hi; i++)
        p.push_back({sc.rgb[i].data(), sc.hole[i].data()});
    if (pics)
        p = *pics;
    const TemporalWindow win = {p.data(), (int32_t)p.size(), t - lo, lo};
    Output o;
    o.rgb.resize((size_t)W * H * 3);
    o.state.resize((size_t)W * H);
    EXPECT_EQ(gw_temporal_fill(c, &win, o.rgb.data(), o.state.data(), &o.st), GW_TEMPORAL_OK)
        << gw_temporal_error(c);
    return o;
}

// The scene cleaned picture after picture as a video pipeline would: past
// pictures are earlier outputs with their states, the target and `future`
// pictures come as rendered with their holes.
std::vector<Output> run_sequence(const Scene &sc, int past, int future, int local_motion = 2)
{
    Context ctx(past + 1 + future, local_motion);
    std::vector<Output> out;
    for (int t = 0; t < sc.n; t++) {
        const int lo = std::max(0, t - past), hi = std::min(sc.n - 1, t + future);
        std::vector<TemporalPicture> p;
        for (int i = lo; i <= hi; i++)
            p.push_back(i < t ? TemporalPicture{out[i].rgb.data(), out[i].state.data()}
                              : TemporalPicture{sc.rgb[i].data(), sc.hole[i].data()});
        out.push_back(fill_one(ctx.c, sc, t, lo, hi, &p));
    }
    return out;
}

tps::FillError error_of(const Scene &sc, int t, const Output &o)
{
    return tps::fill_error(sc.hole[t], o.state, o.rgb, sc.truth[t]);
}

// Pixels that were not a hole are returned as they came.
void expect_known_kept(const Scene &sc, int t, const Output &o)
{
    size_t changed = 0;
    for (size_t i = 0; i < sc.hole[t].size(); i++)
        if (!sc.hole[t][i])
            changed += memcmp(&o.rgb[i * 3], &sc.rgb[t][i * 3], 3) != 0 || o.state[i] != 0;
    EXPECT_EQ(changed, 0u) << "known pixels changed";
}

tps::Camera still() { return [](int, double x, double y, double &px, double &py) { px = x + 40, py = y + 150; }; }
tps::Camera pan8() { return [](int t, double x, double y, double &px, double &py) { px = x + 8 * t, py = y + 150; }; }
// 1.5 % closer and 0.2 degrees further round per picture, about the middle.
tps::Camera zoom()
{
    return [](int t, double x, double y, double &px, double &py) {
        const double s = pow(1.015, t), a = 0.2 * t * M_PI / 180, dx = (x - W / 2) / s, dy = (y - H / 2) / s;
        px = 256 + cos(a) * dx - sin(a) * dy, py = 256 + sin(a) * dx + cos(a) * dy;
    };
}

const Rect kLine = {92, 150, 200, 22};   // one subtitle line near the bottom
const Rect kShort = {150, 150, 110, 22};

bool photo_ok() { return !tps::photo("astronaut").rgb.empty() && !tps::photo("coffee").rgb.empty(); }

}  // namespace

TEST(TemporalFill, StillCameraTakesTheBackgroundSeenBeforeTheText)
{
    ASSERT_TRUE(photo_ok()) << "scikit-image photographs not available";
    for (bool rect : {true, false}) {
        const Scene sc = tps::render(W, H, 9, still(), kLine, rect, [](int t) { return t >= 3; });
        Context ctx(9);
        const Output o = fill_one(ctx.c, sc, 6, 0, 8);
        const tps::FillError e = error_of(sc, 6, o);
        printf("still camera, %s hole: %s\n", rect ? "rectangle" : "text-shaped", tps::describe(e).c_str());
        EXPECT_EQ(e.filled, e.hole) << "the background was in plain view before the text";
        EXPECT_LE(e.mean_abs, 0.5);
        EXPECT_LE(e.worst, 3);
        EXPECT_EQ(o.st.seen, e.hole);
        expect_known_kept(sc, 6, o);
    }
}

TEST(TemporalFill, PanFillsFromBothSidesAndCarriesThroughASequence)
{
    ASSERT_TRUE(photo_ok());
    const Scene sc = tps::render(W, H, 16, pan8(), kShort, true, [](int) { return true; });
    {
        // One window of 4 + 4: the scene slides 8 px a picture under the
        // hole, so 32 px at each end were seen, the middle was not.
        Context ctx(9);
        const Output o = fill_one(ctx.c, sc, 8, 4, 12);
        const tps::FillError e = error_of(sc, 8, o);
        printf("pan, one window: %s\n", tps::describe(e).c_str());
        const long long rows = kShort.h + 8, cols = kShort.w + 8;
        EXPECT_NEAR((double)e.filled, (double)(2 * 32 * rows), 4.0 * rows);
        EXPECT_LE(e.mean_abs, 1.0);
        for (int y = 0; y < H; y++)  // the middle column of the hole is left to the spatial fill
            if (sc.hole[8][(size_t)y * W + kShort.x + kShort.w / 2]) {
                EXPECT_EQ(o.state[(size_t)y * W + kShort.x + kShort.w / 2], GW_PIXEL_HOLE) << "row " << y;
            }
        (void)cols;
        expect_known_kept(sc, 8, o);
    }
    // Picture after picture with 4 past outputs and 2 pictures ahead: what
    // entered the hole once is carried along until it leaves it again.
    const std::vector<Output> out = run_sequence(sc, 4, 2);
    for (int t = 13; t < 16; t++) {
        const tps::FillError e = error_of(sc, t, out[t]);
        printf("pan, sequence, picture %d: %s\n", t, tps::describe(e).c_str());
        EXPECT_EQ(e.filled, e.hole);
        EXPECT_LE(e.mean_abs, 1.5);
    }
}

TEST(TemporalFill, SlowZoomWithRotation)
{
    ASSERT_TRUE(photo_ok());
    // The subtitle comes at picture 4; the zoom shows the background under it
    // at another scale and angle in every earlier picture.
    const Scene sc = tps::render(W, H, 14, zoom(), kLine, true, [](int t) { return t >= 4; });
    Context ctx(9);
    const Output o = fill_one(ctx.c, sc, 6, 0, 8);
    const tps::FillError e = error_of(sc, 6, o);
    printf("zoom, one window: %s\n", tps::describe(e).c_str());
    EXPECT_EQ(e.filled, e.hole);
    EXPECT_LE(e.mean_abs, 4.0);
    EXPECT_GE(e.psnr, 30.0);
    expect_known_kept(sc, 6, o);

    const std::vector<Output> out = run_sequence(sc, 4, 2);
    for (int t : {9, 13}) {
        const tps::FillError s = error_of(sc, t, out[t]);
        printf("zoom, sequence, picture %d: %s\n", t, tps::describe(s).c_str());
        EXPECT_EQ(s.filled, s.hole);
        EXPECT_LE(s.mean_abs, 6.0);
    }
}

TEST(TemporalFill, MovingObjectIsNotReplacedByTheBackgroundBehindIt)
{
    ASSERT_TRUE(photo_ok());
    // A 64 px square of another photograph falls 6 px a picture through the
    // subtitle, which comes at picture 3 over a still background.
    tps::Mover m;
    m.size = 64;
    m.at = [](int t, double &x, double &y) { x = 170, y = 100 + 6 * t; };
    const Scene sc = tps::render(W, H, 12, still(), kLine, true, [](int t) { return t >= 3; }, &m);
    const int t = 8;  // the square covers rows 148..211: across the hole
    std::vector<uint8_t> object((size_t)W * H, 0), background((size_t)W * H, 0);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            const bool in = x >= 170 && x < 234 && y >= 148 && y < 212;
            (in ? object : background)[(size_t)y * W + x] = sc.hole[t][(size_t)y * W + x];
        }
    long long object_filled[2] = {0, 0};
    for (int local : {0, 4}) {
        Context ctx(11, local);
        const Output o = fill_one(ctx.c, sc, t, 0, 10);
        const tps::FillError eo = tps::fill_error(object, o.state, o.rgb, sc.truth[t]);
        const tps::FillError eb = tps::fill_error(background, o.state, o.rgb, sc.truth[t]);
        printf("moving object, local motion %d: over the object %s; elsewhere %s; %d flows\n", local,
               tps::describe(eo).c_str(), tps::describe(eb).c_str(), o.st.local_flows);
        // The hole's background beside the square was in view before the
        // text came (128 pixels just above the square never were); the
        // ring next to the square refuses a few pixels more on each side.
        EXPECT_GE(eb.share(), 0.85);
        EXPECT_LE(eb.mean_abs, 1.0);
        // Where the square is, the still background of the first pictures
        // would be wrong (|error| 40 and more): those pixels are refused, or
        // taken from the square where the dense flow follows it.
        EXPECT_LE(eo.mean_abs, 12.0) << "background pasted over the moving object";
        object_filled[local != 0] = eo.filled;
        expect_known_kept(sc, t, o);
    }
    EXPECT_EQ(object_filled[0], 0) << "global motion alone cannot follow the square";
    EXPECT_GT(object_filled[1], 0) << "the dense flow follows the square into the hole";
}

TEST(TemporalFill, SourcesThatDoNotMatchAreRefused)
{
    ASSERT_TRUE(photo_ok());
    Scene sc = tps::render(W, H, 7, still(), kLine, true, [](int t) { return t == 3; });
    // Pictures 0..2 come from another shot (a cut before picture 3).
    const tps::Image &other = tps::photo("coffee");
    for (int i = 0; i < 3; i++)
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++)
                tps::sample(other, x + 100 + 3 * i, y + 50, &sc.rgb[i][((size_t)y * W + x) * 3]);
    Context ctx(7);
    {
        const Output o = fill_one(ctx.c, sc, 3, 0, 6);
        const tps::FillError e = error_of(sc, 3, o);
        printf("cut before the target: %s\n", tps::describe(e).c_str());
        EXPECT_EQ(e.filled, e.hole);
        EXPECT_LE(e.mean_abs, 0.5) << "taken from the other shot";
    }
    {
        const Output o = fill_one(ctx.c, sc, 3, 0, 3);  // only the other shot
        EXPECT_EQ(error_of(sc, 3, o).filled, 0) << "pixels pasted from another shot";
    }
    // Picture 4 has a patch of the other photograph over the hole and its
    // surroundings (an occluder), the rest of it matches: its ring disagrees.
    for (int y = 130; y < 190; y++)
        for (int x = 60; x < 330; x++)
            tps::sample(other, x, y, &sc.rgb[4][((size_t)y * W + x) * 3]);
    {
        const Output o = fill_one(ctx.c, sc, 3, 3, 6);
        const tps::FillError e = error_of(sc, 3, o);
        printf("occluded nearest source: %s\n", tps::describe(e).c_str());
        EXPECT_EQ(e.filled, e.hole);
        EXPECT_LE(e.mean_abs, 0.5) << "the occluder was pasted";
    }
    {
        const Output o = fill_one(ctx.c, sc, 3, 3, 4);
        EXPECT_EQ(error_of(sc, 3, o).filled, 0) << "the occluder was pasted";
        EXPECT_EQ(o.st.sources_refused, 1);
    }
}

TEST(TemporalFill, GainAndOffsetOfASourceAreMatchedToTheTarget)
{
    ASSERT_TRUE(photo_ok());
    Scene sc = tps::render(W, H, 4, still(), kLine, false, [](int t) { return t == 3; });
    for (int i = 0; i < 3; i++)  // a fade: the earlier pictures are darker
        for (uint8_t &v : sc.rgb[i])
            v = (uint8_t)(v * (0.8 + 0.05 * i) + 6);
    Context ctx(4);
    const Output o = fill_one(ctx.c, sc, 3, 0, 3);
    const tps::FillError e = error_of(sc, 3, o);
    printf("fade: %s\n", tps::describe(e).c_str());
    EXPECT_EQ(e.filled, e.hole);
    EXPECT_LE(e.mean_abs, 2.0);
}

TEST(TemporalFill, EdgeMismatchFadesIntoTheHole)
{
    ASSERT_TRUE(photo_ok());
    // The earlier pictures are lit unevenly (10 % brighter from left to
    // right): one gain and offset cannot match them everywhere, so the
    // mismatch that is left at the hole's edge is faded into the hole.
    Scene sc = tps::render(W, H, 4, still(), kLine, true, [](int t) { return t == 3; });
    for (int i = 0; i < 3; i++)
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++)
                for (int c = 0; c < 3; c++) {
                    uint8_t &v = sc.rgb[i][((size_t)y * W + x) * 3 + c];
                    v = (uint8_t)std::min(255.0, v * (0.95 + 0.1 * x / W));
                }
    // The hole's pixels within 2 of its edge.
    std::vector<uint8_t> known((size_t)W * H), edge((size_t)W * H);
    for (size_t i = 0; i < known.size(); i++)
        known[i] = !sc.hole[3][i];
    const std::vector<uint8_t> near = tps::dilate(known, W, H, 2);
    for (size_t i = 0; i < edge.size(); i++)
        edge[i] = sc.hole[3][i] && near[i];
    double err[2];
    for (int feather : {0, 8}) {
        Context ctx(4, 2, feather);
        const Output o = fill_one(ctx.c, sc, 3, 0, 3);
        const tps::FillError e = tps::fill_error(edge, o.state, o.rgb, sc.truth[3]);
        printf("uneven light, feather %d: at the edge %s; whole hole %s\n", feather, tps::describe(e).c_str(),
               tps::describe(error_of(sc, 3, o)).c_str());
        EXPECT_EQ(e.filled, e.hole);
        err[feather != 0] = e.mean_abs;
    }
    EXPECT_LE(err[1], 0.7 * err[0]) << "the seam stays";
}

TEST(TemporalFill, SeenPixelsComeBeforeSecondHandOnes)
{
    ASSERT_TRUE(photo_ok());
    const Scene sc = tps::render(W, H, 4, still(), kShort, true, [](int t) { return t == 3; });
    // Picture 2 as an earlier output whose hole was filled with grey.
    std::vector<uint8_t> grey = sc.truth[2], filled((size_t)W * H, 0);
    for (size_t i = 0; i < filled.size(); i++)
        if (sc.hole[3][i]) {
            filled[i] = GW_PIXEL_FILLED;
            memset(&grey[i * 3], 128, 3);
        }
    std::vector<TemporalPicture> p = {{sc.rgb[1].data(), sc.hole[1].data()},
                                      {grey.data(), filled.data()},
                                      {sc.rgb[3].data(), sc.hole[3].data()}};
    Context ctx(4);
    Output o = fill_one(ctx.c, sc, 3, 1, 3, &p);
    EXPECT_LE(error_of(sc, 3, o).mean_abs, 0.5) << "picture 1 saw the spot: it comes first";
    EXPECT_EQ(o.st.second_hand, 0);

    p.erase(p.begin());
    o = fill_one(ctx.c, sc, 3, 2, 3, &p);
    const tps::FillError e = error_of(sc, 3, o);
    EXPECT_EQ(e.filled, e.hole) << "second-hand pixels serve when nothing else saw the spot";
    EXPECT_EQ(o.st.second_hand, e.hole);
}

TEST(TemporalFill, InPlaceGivesTheSameResult)
{
    ASSERT_TRUE(photo_ok());
    const Scene sc = tps::render(W, H, 9, pan8(), kShort, false, [](int t) { return t >= 2; });
    Context a(9), b(9);
    const Output o = fill_one(a.c, sc, 5, 1, 8);
    std::vector<uint8_t> rgb = sc.rgb[5], state = sc.hole[5];
    std::vector<TemporalPicture> p;
    for (int i = 1; i <= 8; i++)
        p.push_back(i == 5 ? TemporalPicture{rgb.data(), state.data()}
                           : TemporalPicture{sc.rgb[i].data(), sc.hole[i].data()});
    const TemporalWindow win = {p.data(), 8, 4, 1};
    ASSERT_EQ(gw_temporal_fill(b.c, &win, rgb.data(), state.data(), nullptr), GW_TEMPORAL_OK);
    EXPECT_TRUE(rgb == o.rgb);
    EXPECT_TRUE(state == o.state);
}
