// Stable holes over a window of raw detection holes, and the temporal
// context's contract: configuration, errors, cancellation, memory.
#include <gtest/gtest.h>

#include <malloc.h>
#include <string.h>

#include <string>
#include <vector>

#include "temporal/temporal.h"
#include "temporal_scenes.h"

namespace {

const int W = 96, H = 64;

using Plane = std::vector<uint8_t>;

struct Box {
    int x, y, w, h;
};

Plane plane(std::initializer_list<Box> boxes)
{
    Plane p((size_t)W * H, 0);
    for (const Box &b : boxes)
        for (int y = b.y; y < b.y + b.h; y++)
            for (int x = b.x; x < b.x + b.w; x++)
                p[(size_t)y * W + x] = 1;
    return p;
}

long long count(const Plane &p)
{
    long long n = 0;
    for (uint8_t v : p)
        n += v != 0;
    return n;
}

struct Holes {
    TemporalContext *c = nullptr;
    explicit Holes(int bridge)
    {
        TemporalConfig cfg;
        gw_temporal_defaults(&cfg, W, H, 9);
        cfg.bridge = bridge;
        EXPECT_EQ(gw_temporal_create(&cfg, &c, nullptr, 0), GW_TEMPORAL_OK);
    }
    ~Holes() { gw_temporal_free(c); }

    // The stable hole of raw[target].
    Plane stable(const std::vector<Plane> &raw, int target)
    {
        std::vector<TemporalPicture> p;
        for (const Plane &r : raw)
            p.push_back({nullptr, r.data()});
        const TemporalWindow win = {p.data(), (int32_t)p.size(), target, -1};
        Plane out((size_t)W * H, 7);
        EXPECT_EQ(gw_temporal_stable_hole(c, &win, out.data()), GW_TEMPORAL_OK) << gw_temporal_error(c);
        return out;
    }
};

const Box kLine = {10, 44, 70, 12};
const Box kLineJitter = {12, 45, 66, 10};  // the same line, boxed a little tighter
const Box kTop = {10, 4, 70, 12};

}  // namespace

TEST(StableHole, OnePictureMissIsBridged)
{
    Holes h(1);
    const Plane none = plane({});
    EXPECT_EQ(h.stable({plane({kLine}), none, plane({kLine})}, 1), plane({kLine}));
    // Boxes that jitter: the bridged hole covers both neighbours' boxes.
    EXPECT_EQ(h.stable({plane({kLineJitter}), none, plane({kLine})}, 1), plane({kLine}));
    // The target's own hole is always kept, 0/1 whatever the raw values.
    Plane raw = plane({kTop});
    for (uint8_t &v : raw)
        v *= 255;
    EXPECT_EQ(h.stable({none, raw, none}, 1), plane({kTop}));
}

TEST(StableHole, HolesDoNotGrowWhereNoTextIs)
{
    Holes h(1);
    const Plane none = plane({}), line = plane({kLine});
    EXPECT_EQ(h.stable({line, none, none}, 1), none) << "text that ended";
    EXPECT_EQ(h.stable({none, none, line}, 1), none) << "text that starts after the target";
    EXPECT_EQ(h.stable({none, line, line}, 1), line) << "text that starts at the target";
    EXPECT_EQ(h.stable({plane({kTop}), none, line}, 1), none) << "a line at another place";
    EXPECT_EQ(h.stable({line, plane({kTop}), none}, 1), plane({kTop}));
}

TEST(StableHole, LongerMissesNeedALargerBridge)
{
    const Plane none = plane({}), line = plane({kLine});
    const std::vector<Plane> two_missed = {line, none, none, line};
    Holes one(1), two(2);
    EXPECT_EQ(count(one.stable(two_missed, 1)), 0);
    EXPECT_EQ(two.stable(two_missed, 1), line);
    EXPECT_EQ(two.stable(two_missed, 2), line);
    // Only pictures within the bridge are read: holes further away do not count.
    EXPECT_EQ(count(two.stable({line, none, none, none, line}, 2)), 0);
}

TEST(StableHole, ChangingSubtitleKeepsAHoleOverBothLines)
{
    // One line gives way to a longer one at the same place; the picture in
    // between was missed: its hole covers both.
    Holes h(1);
    const Box longer = {6, 42, 84, 16};
    EXPECT_EQ(h.stable({plane({kLine}), plane({}), plane({longer})}, 1), plane({longer}));
}

TEST(TemporalContext, RefusesBadConfigurationsWithTheReason)
{
    TemporalConfig cfg;
    TemporalContext *c = reinterpret_cast<TemporalContext *>(1);
    char err[200];
    struct Case {
        void (*change)(TemporalConfig &);
        const char *message;
    } cases[] = {
        {[](TemporalConfig &k) { k.width = 8; }, "temporal: picture size 8x64 outside 16..8192"},
        {[](TemporalConfig &k) { k.height = 9000; }, "temporal: picture size 96x9000 outside 16..8192"},
        {[](TemporalConfig &k) { k.max_pictures = 0; }, "temporal: max_pictures 0 outside 1..64"},
        {[](TemporalConfig &k) { k.max_pictures = 65; }, "temporal: max_pictures 65 outside 1..64"},
        {[](TemporalConfig &k) { k.bridge = 9; }, "temporal: bridge 9 outside 0..8"},
        {[](TemporalConfig &k) { k.ring = 1; }, "temporal: ring 1 outside 2..32"},
        {[](TemporalConfig &k) { k.max_error = -1; }, "temporal: max_error -1 outside 0..255"},
        {[](TemporalConfig &k) { k.feather = 65; }, "temporal: feather 65 outside 0..64"},
        {[](TemporalConfig &k) { k.local_motion = -1; }, "temporal: local_motion -1 outside 0..64"},
    };
    for (const Case &k : cases) {
        gw_temporal_defaults(&cfg, W, H, 9);
        k.change(cfg);
        EXPECT_EQ(gw_temporal_create(&cfg, &c, err, sizeof err), GW_TEMPORAL_FAILED);
        EXPECT_STREQ(err, k.message);
        EXPECT_EQ(c, nullptr);
        EXPECT_EQ(gw_temporal_memory(&cfg), 0u);
    }
    EXPECT_EQ(gw_temporal_create(nullptr, &c, err, sizeof err), GW_TEMPORAL_FAILED);
    EXPECT_STREQ(err, "temporal: NULL configuration");
    gw_temporal_free(nullptr);
    EXPECT_STREQ(gw_temporal_error(nullptr), "temporal: NULL context");
}

TEST(TemporalContext, RefusesBadWindowsWithTheReason)
{
    Holes h(1);
    const Plane p = plane({kLine});
    uint8_t rgb[W * H * 3] = {0}, out[W * H * 3], state[W * H];
    TemporalPicture pics[3] = {{rgb, p.data()}, {rgb, p.data()}, {nullptr, p.data()}};
    TemporalWindow win = {pics, 3, 1, 0};
    EXPECT_EQ(gw_temporal_fill(h.c, &win, out, state, nullptr), GW_TEMPORAL_FAILED);
    EXPECT_STREQ(gw_temporal_error(h.c), "temporal: picture 2 of the window has no pixels");
    win.count = 10;
    EXPECT_EQ(gw_temporal_stable_hole(h.c, &win, state), GW_TEMPORAL_FAILED);
    EXPECT_STREQ(gw_temporal_error(h.c), "temporal: window of 10 pictures outside 1..9");
    win.count = 2;
    win.target = 2;
    EXPECT_EQ(gw_temporal_stable_hole(h.c, &win, state), GW_TEMPORAL_FAILED);
    EXPECT_STREQ(gw_temporal_error(h.c), "temporal: target 2 outside the window's 0..1");
    win.target = 0;
    pics[1].state = nullptr;
    EXPECT_EQ(gw_temporal_stable_hole(h.c, &win, state), GW_TEMPORAL_FAILED);
    EXPECT_STREQ(gw_temporal_error(h.c), "temporal: picture 1 of the window has no state plane");
    EXPECT_EQ(gw_temporal_stable_hole(h.c, nullptr, state), GW_TEMPORAL_FAILED);
    EXPECT_STREQ(gw_temporal_error(h.c), "temporal: NULL window");
    EXPECT_EQ(gw_temporal_fill(h.c, &win, nullptr, state, nullptr), GW_TEMPORAL_FAILED);
    EXPECT_STREQ(gw_temporal_error(h.c), "temporal: NULL output picture or state plane for the fill");
    // A good call clears the error.
    pics[1].state = p.data();
    EXPECT_EQ(gw_temporal_fill(h.c, &win, out, state, nullptr), GW_TEMPORAL_OK);
    EXPECT_STREQ(gw_temporal_error(h.c), "no error");
}

namespace {
struct CancelAfter {
    int polls = 0, after = 0;
    static int hook(void *user)
    {
        CancelAfter *c = static_cast<CancelAfter *>(user);
        return ++c->polls > c->after;
    }
};
}  // namespace

TEST(TemporalContext, CancelStopsAFillBetweenPictures)
{
    const int w = 384, h = 216;
    const tps::Scene sc = tps::render(
        w, h, 9, [](int t, double x, double y, double &px, double &py) { px = x + 8 * t, py = y + 150; },
        {92, 150, 200, 22}, true, [](int) { return true; });
    ASSERT_FALSE(tps::photo("astronaut").rgb.empty());
    std::vector<TemporalPicture> p;
    for (int i = 0; i < 9; i++)
        p.push_back({sc.rgb[i].data(), sc.hole[i].data()});
    const TemporalWindow win = {p.data(), 9, 4, 0};
    std::vector<uint8_t> out((size_t)w * h * 3), state((size_t)w * h);
    for (int after : {0, 1, 3}) {
        CancelAfter stop;
        stop.after = after;
        TemporalConfig cfg;
        gw_temporal_defaults(&cfg, w, h, 9);
        cfg.cancel = CancelAfter::hook;
        cfg.cancel_user = &stop;
        TemporalContext *c = nullptr;
        ASSERT_EQ(gw_temporal_create(&cfg, &c, nullptr, 0), GW_TEMPORAL_OK);
        EXPECT_EQ(gw_temporal_fill(c, &win, out.data(), state.data(), nullptr), GW_TEMPORAL_CANCELLED);
        EXPECT_STREQ(gw_temporal_error(c), "temporal: cancelled");
        EXPECT_EQ(stop.polls, after + 1) << "stops at the first poll that says so";
        gw_temporal_free(c);
    }
}

TEST(TemporalContext, MemoryIsStatedAndBuffersAreReused)
{
    TemporalConfig cfg;
    gw_temporal_defaults(&cfg, 1920, 1080, 9);
    const size_t hd = gw_temporal_memory(&cfg);
    printf("context at 1920x1080: %.1f MB (the window's 9 pictures and states: %.1f MB more)\n", hd / 1e6,
           9 * 1920.0 * 1080 * 4 / 1e6);
    EXPECT_GT(hd, (size_t)1920 * 1080 * 40);
    EXPECT_LT(hd, (size_t)300 << 20);

    // After a first fill, more fills of the same kind take no more memory.
    const int w = 384, h = 216;
    const tps::Scene sc = tps::render(
        w, h, 9, [](int, double x, double y, double &px, double &py) { px = x + 40, py = y + 150; },
        {92, 150, 200, 22}, false, [](int t) { return t >= 3; });
    ASSERT_FALSE(tps::photo("astronaut").rgb.empty());
    gw_temporal_defaults(&cfg, w, h, 9);
    TemporalContext *c = nullptr;
    ASSERT_EQ(gw_temporal_create(&cfg, &c, nullptr, 0), GW_TEMPORAL_OK);
    std::vector<TemporalPicture> p;
    for (int i = 0; i < 9; i++)
        p.push_back({sc.rgb[i].data(), sc.hole[i].data()});
    std::vector<uint8_t> out((size_t)w * h * 3), state((size_t)w * h);
    size_t used[2] = {0, 0};
    for (int round = 0; round < 6; round++) {
        const TemporalWindow win = {p.data(), 9, 6, -1};  // no picture numbers: motion estimated every time
        ASSERT_EQ(gw_temporal_fill(c, &win, out.data(), state.data(), nullptr), GW_TEMPORAL_OK);
        ASSERT_EQ(gw_temporal_stable_hole(c, &win, state.data()), GW_TEMPORAL_OK);
        if (round == 0 || round == 5) {
            const struct mallinfo2 mi = mallinfo2();
            used[round == 5] = mi.uordblks + mi.hblkhd;  /* heap and mapped blocks */
        }
    }
    EXPECT_LE(used[1], used[0] + 64 * 1024) << "grew from " << used[0] << " to " << used[1];
    gw_temporal_free(c);
}
