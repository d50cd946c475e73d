// A frame callback that keeps pictures back (as a repainting that needs later
// pictures does): every picture still comes out once, in order, with its own
// timestamp; one that never gives some back fails the run clearly.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"
#include "test_video_util.h"
#include "video/video.h"

namespace {

// Paints picture k a flat grey of 10 + 20 k, keeps `delay` pictures back
// and gives the oldest back for each new one and on every flush call.
// `lose` > 0: the flush calls give back that many fewer pictures than held.
struct Delay {
    int delay = 3;
    int lose = 0;
    int given = 0, flush_calls = 0;
    std::deque<std::vector<unsigned char>> held;
};

int delay_cb(unsigned char *rgb, int w, int h, int flush, void *user)
{
    Delay *d = static_cast<Delay *>(user);
    const size_t n = (size_t)w * h * 3;
    if (flush) {
        d->flush_calls++;
        if ((int)d->held.size() <= d->lose)
            return GW_FRAME_HELD;
    } else {
        std::vector<unsigned char> p(n, (unsigned char)(10 + 20 * d->given++));
        d->held.push_back(p);
        if ((int)d->held.size() <= d->delay)
            return GW_FRAME_HELD;
    }
    memcpy(rgb, d->held.front().data(), n);
    d->held.pop_front();
    return GW_FRAME_READY;
}

struct HeldPictures : ::testing::Test {
    std::string dir, in, out;
    int32_t progress = 0, cancel = 0;
    char msg[512] = "";
    void SetUp() override
    {
        dir = gwt::temp_dir();
        in = dir + "/in.mp4";
        out = dir + "/out.mp4";
        ASSERT_TRUE(gwv::plain_clip(in, 96, 64, 10, 10, true));
    }
    int run(Delay &d)
    {
        const VideoHooks hooks = {&progress, &cancel};
        msg[0] = 0;
        return gw_process_video_pct(in.c_str(), out.c_str(), delay_cb, &d, &hooks, msg, sizeof msg);
    }
};

}  // namespace

TEST_F(HeldPictures, ComeOutInOrderWithTheirTimestamps)
{
    for (int delay : {1, 3, 25}) {  // 25: longer than the clip, all given back on flush
        SCOPED_TRACE(delay);
        Delay d;
        d.delay = delay;
        ASSERT_EQ(run(d), 0) << msg;
        EXPECT_EQ(gw_load_relaxed(&progress), 100);
        EXPECT_EQ(d.given, 10);
        EXPECT_EQ(d.flush_calls, std::min(delay, 10));  // once for each picture held at the end
        EXPECT_EQ(gwv::count_frames(out), 10);
        EXPECT_EQ(gwv::video_pts(out), gwv::video_pts(in));
        EXPECT_EQ(gwv::audio_payload(out), gwv::audio_payload(in));
        for (int k : {0, 4, 9}) {
            std::vector<unsigned char> rgb;
            ASSERT_TRUE(gwv::frame_rgb(out, k, 96, 64, rgb));
            EXPECT_NEAR(rgb[(32 * 96 + 48) * 3], 10 + 20 * k, 3) << "picture " << k;
        }
    }
}

TEST_F(HeldPictures, PicturesNeverGivenBackFailTheRun)
{
    Delay d;
    d.lose = 2;
    EXPECT_EQ(run(d), -1);
    EXPECT_STREQ(msg, "frame processing kept 2 pictures back");
    EXPECT_FALSE(gwt::file_exists(out));
}

TEST_F(HeldPictures, CancelWhileHolding)
{
    Delay d;
    d.delay = 25;  // nothing encoded before the flush
    cancel = 1;
    EXPECT_EQ(run(d), -2);
    EXPECT_STREQ(msg, "cancelled");
    EXPECT_FALSE(gwt::file_exists(out));
}
