// Video-aware repainting through the public API (option "temporal"): the
// option's values, a subtitle over a still camera taken from the pictures
// that saw the background, every picture and timestamp kept, the band
// respected, and a cancel while the window fills.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"
#include "test_video_util.h"

namespace {

const int W = 480, H = 272, FPS = 10, PICTURES = 24;

struct TemporalVideo : ::testing::Test {
    std::string dir, still, clean, text;
    void SetUp() override
    {
        dir = gwt::temp_dir();
        still = dir + "/still.png";
        clean = dir + "/clean.mkv";
        text = dir + "/text.mp4";
        // A still, textured picture without anything like text; from 1 s a
        // subtitle low in the picture, and a caption high up from the start
        // (outside the band below).
        ASSERT_EQ(gwt::run(gwv::ffmpeg() + "-f lavfi -i \"gradients=s=" + std::to_string(W) + "x" +
                           std::to_string(H) + ":n=5:seed=3:c0=0x406080:c1=0xc09060:c2=0x70a050:c3=0xe0d0b0:c4=0x503020,format=rgb24,geq=r='r(X\\,Y)':g='g(X\\,Y)+24*sin(X/6)*sin(Y/8)'"
                           ":b='b(X\\,Y)'\" -frames:v 1 " + still),
                  0);
        const std::string loop = "-loop 1 -framerate " + std::to_string(FPS) + " -i " + still;
        const std::string frames = " -frames:v " + std::to_string(PICTURES);
        ASSERT_TRUE(gwv::ff(loop + frames + " -c:v ffv1 " + clean, clean));
        const std::string sub = gwt::drawtext_chain({{"Words that come", 110, 200, 30, "white", 2}});
        const std::string cap = gwt::drawtext_chain({{"CAPTION", 20, 12, 24, "yellow", 2}});
        ASSERT_TRUE(gwv::ff(loop + " -f lavfi -i sine=d=2.4" + frames + " -vf \"" + cap + "," + sub +
                                ":enable='gte(t,1)'\" -c:v libx264 -crf 12 -pix_fmt yuv420p -c:a aac " + text,
                            text));
        ASSERT_EQ(glyphwipe_init(gwt::small_engine_dir().c_str()), 0) << glyphwipe_last_error();
    }
    void TearDown() override { glyphwipe_cleanup(); }
    // Mean |out - truth| over the subtitle's area (rows 195..240, columns
    // 100..370) of picture k.
    double error(const std::string &out, int k)
    {
        std::vector<unsigned char> a, b;
        EXPECT_TRUE(gwv::frame_rgb(out, k, W, H, a));
        EXPECT_TRUE(gwv::frame_rgb(clean, k, W, H, b));
        double sum = 0;
        for (int y = 195; y < 240; y++)
            for (size_t i = ((size_t)y * W + 100) * 3; i < ((size_t)y * W + 370) * 3 && i < a.size(); i++)
                sum += abs((int)a[i] - (int)b[i]);
        return sum / (45.0 * 270 * 3);
    }
};

}  // namespace

TEST(TemporalOption, Values)
{
    ASSERT_EQ(glyphwipe_init(gwt::small_engine_dir().c_str()), 0) << glyphwipe_last_error();
    for (const char *ok : {"0", "2", "9", "32"})
        EXPECT_EQ(glyphwipe_set_option("temporal", ok), 0) << ok;
    for (const char *bad : {"1", "33", "-2", "", "4.5", "x"}) {
        EXPECT_EQ(glyphwipe_set_option("temporal", bad), -1) << bad;
        EXPECT_STREQ(glyphwipe_last_error(), "temporal must be 0 (each picture alone) or a window of 2 to 32 pictures");
    }
    glyphwipe_cleanup();
}

TEST_F(TemporalVideo, BackgroundComesFromThePicturesThatSawIt)
{
    const std::string alone = dir + "/alone.mp4", window = dir + "/window.mp4";
    ASSERT_EQ(glyphwipe_process_video(text.c_str(), alone.c_str()), 0) << glyphwipe_last_error();
    ASSERT_EQ(glyphwipe_set_option("temporal", "5"), 0);
    ASSERT_EQ(glyphwipe_process_video(text.c_str(), window.c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(glyphwipe_progress(), 100);
    EXPECT_EQ(gwv::count_frames(window), PICTURES);
    EXPECT_EQ(gwv::video_pts(window), gwv::video_pts(text));
    EXPECT_EQ(gwv::audio_payload(window), gwv::audio_payload(text));
    // The subtitle's rows, in pictures that show it: the stand-in fill model
    // paints the hole flat, the window takes the background seen before 1 s.
    for (int k : {10, 12, 18, 23}) {
        const double a = error(alone, k), w = error(window, k);
        EXPECT_LT(w, 10.0) << "picture " << k;  // about 4 (the encoders lose about 2.5 here)
        EXPECT_LT(w * 4, a) << "picture " << k;
    }
}

TEST_F(TemporalVideo, BandKeepsTextOutsideIt)
{
    const std::string out = dir + "/band.mp4";
    ASSERT_EQ(glyphwipe_set_option("temporal", "5"), 0);
    ASSERT_EQ(glyphwipe_process_video_region(text.c_str(), out.c_str(), 60, 100), 0) << glyphwipe_last_error();
    std::vector<unsigned char> a, b;
    ASSERT_TRUE(gwv::frame_rgb(out, 15, W, H, a));
    ASSERT_TRUE(gwv::frame_rgb(text, 15, W, H, b));
    double sum = 0;  // the caption's rows, well above the band
    for (size_t i = 0; i < (size_t)45 * W * 3; i++)
        sum += abs((int)a[i] - (int)b[i]);
    EXPECT_LT(sum / (45.0 * W * 3), 3.0);  // the encoder's loss; repainted it would be about 26
    EXPECT_LT(error(out, 15), 12.0);  // the subtitle, inside the band, is gone
}

TEST_F(TemporalVideo, CancelWhileTheWindowFills)
{
    const std::string out = dir + "/cancelled.mp4";
    ASSERT_EQ(glyphwipe_set_option("temporal", "32"), 0);  // no picture is encoded before the cancel
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        glyphwipe_cancel();
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(glyphwipe_process_video(text.c_str(), out.c_str()), -2);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    canceller.join();
    EXPECT_STREQ(glyphwipe_last_error(), "cancelled by glyphwipe_cancel()");
    EXPECT_LT(s, 10.0);
    EXPECT_FALSE(gwt::file_exists(out));
    EXPECT_EQ(gwt::temp_outputs_in(dir), 0);
}

// A cancel may land in any step of the window (detection, the stable hole,
// the propagation, the fill model): the call reports it as a cancel, never
// as a failure, and leaves no output.
TEST_F(TemporalVideo, CancelAnywhereIsACancel)
{
    const std::string out = dir + "/anywhere.mp4";
    ASSERT_EQ(glyphwipe_set_option("temporal", "5"), 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(glyphwipe_process_video(text.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    const int run_ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(remove(out.c_str()), 0);
    const int RUNS = 6;
    for (int i = 0; i < RUNS; i++) {
        const int delay = run_ms * (2 * i + 1) / (2 * RUNS + 2);
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            glyphwipe_cancel();
        });
        const int ret = glyphwipe_process_video(text.c_str(), out.c_str());
        canceller.join();
        if (ret == 0) {  // finished before the request
            ASSERT_EQ(remove(out.c_str()), 0);
            continue;
        }
        EXPECT_EQ(ret, -2) << "after " << delay << " ms: " << glyphwipe_last_error();
        EXPECT_STREQ(glyphwipe_last_error(), "cancelled by glyphwipe_cancel()");
        EXPECT_FALSE(gwt::file_exists(out));
    }
    EXPECT_EQ(gwt::temp_outputs_in(dir), 0);
}
