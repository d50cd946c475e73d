// The two video functions through the public API: argument checks, the
// pipeline's messages as the host sees them, progress and cancellation from
// another thread, and whole runs with the real detector on clips with
// rendered text (text gone everywhere, or only where it reaches the band).
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"
#include "test_video_util.h"

namespace {

using gwt::Box;
using gwt::NOT_INIT;

const char *REGION = "region: need 0 <= y_start_pct < y_end_pct <= 100";

// Boxes found in picture k of a video, through glyphwipe_detect on a PNG.
std::vector<Box> boxes_in_frame(const std::string &video, int k)
{
    std::string png = gwt::temp_dir() + "/frame.png";
    gwt::run(gwv::ffmpeg() + "-i " + gwt::sh_quote(video) + " -vf " +
             gwt::sh_quote("select=eq(n\\," + std::to_string(k) + ")") + " -frames:v 1 " + gwt::sh_quote(png));
    const char *json = glyphwipe_detect(png.c_str());
    EXPECT_NE(json, nullptr) << glyphwipe_last_error();
    return gwt::parse_boxes(json);
}

int boxes_between_rows(const std::vector<Box> &boxes, int y0, int y1)
{
    int n = 0;
    for (const Box &b : boxes)
        if (b.y < y1 && b.y + b.h > y0)
            n++;
    return n;
}

// A clip over a moving gradient with a line of text near the top (rows about
// 6%..18%) and one near the bottom (about 78%..90%), and a sine track.
bool text_clip(const std::string &path, int w, int h, int frames, int fps, bool audio = true,
               const std::string &bottom_text = "Bottom words")
{
    int size = h / 8;
    std::string dt = gwt::drawtext_chain({{"TOP LINE", w / 8, h * 6 / 100, size, "white", 2, "black"},
                                          {bottom_text, w / 8, h * 78 / 100, size, "white", 2, "black"}});
    return gwv::lavfi_clip(path,
                           "gradients=s=" + std::to_string(w) + "x" + std::to_string(h) + ":r=" + std::to_string(fps) +
                               ":c0=0x203060:c1=0xa0c0e0:speed=0.05:seed=11," + dt,
                           frames, fps, audio);
}

std::string fill_model()
{
    std::string real = gwt::real_lama_model();
    return gwt::file_exists(real) ? real : gwt::test_model("video_fill_gray.onnx");
}

class VideoApi : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        dir = gwt::temp_dir();
        std::string models = gwt::model_dir_with(gwt::real_det_model(), fill_model());
        ASSERT_EQ(glyphwipe_init(models.c_str()), 0) << glyphwipe_last_error();
    }
    void TearDown() override { glyphwipe_cleanup(); }
};

TEST(VideoApiArgs, BandAndStateChecksComeFirst)
{
    glyphwipe_cleanup();
    // A bad band is refused before the initialisation and path tests.
    const int bad[][2] = {{-1, 50}, {50, 50}, {60, 40}, {0, 101}, {100, 100}};
    for (const auto &b : bad) {
        EXPECT_EQ(glyphwipe_process_video_region("a.mp4", "b.mp4", b[0], b[1]), -1);
        EXPECT_STREQ(glyphwipe_last_error(), REGION) << b[0] << "," << b[1];
        EXPECT_EQ(glyphwipe_process_video_region(nullptr, nullptr, b[0], b[1]), -1);
        EXPECT_STREQ(glyphwipe_last_error(), REGION);
    }
    EXPECT_EQ(glyphwipe_process_video(nullptr, nullptr), -1);
    EXPECT_STREQ(glyphwipe_last_error(), NOT_INIT);
    for (const char *in : {(const char *)nullptr, "a.mp4"}) {
        EXPECT_EQ(glyphwipe_process_video_region(in, "b.mp4", 0, 100), -1);
        EXPECT_STREQ(glyphwipe_last_error(), NOT_INIT);
    }
}

TEST_F(VideoApi, PathsAndSetupFailures)
{
    EXPECT_EQ(glyphwipe_process_video("a.mp4", nullptr), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "process_video: NULL path");
    EXPECT_EQ(glyphwipe_process_video_region(nullptr, "b.mp4", 10, 20), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "process_video: NULL path");

    std::string missing = dir + "/missing.mkv";
    EXPECT_EQ(glyphwipe_process_video(missing.c_str(), (dir + "/o.mp4").c_str()), -1);
    EXPECT_EQ(std::string(glyphwipe_last_error()), "cannot open input: " + missing);

    std::string tone = dir + "/tone.wav", out = dir + "/o2.mp4";
    ASSERT_TRUE(gwv::ff("-f lavfi -i sine=duration=0.3 " + tone, tone));
    EXPECT_EQ(glyphwipe_process_video_region(tone.c_str(), out.c_str(), 0, 100), -1);
    EXPECT_EQ(std::string(glyphwipe_last_error()), "no video stream in " + tone);
    EXPECT_FALSE(gwt::file_exists(out));

    std::string clip = dir + "/c.mp4", nowhere = dir + "/missing-dir/o.mp4";
    ASSERT_TRUE(gwv::plain_clip(clip, 64, 48, 3, 10, false));
    EXPECT_EQ(glyphwipe_process_video(clip.c_str(), nowhere.c_str()), -1);
    EXPECT_EQ(std::string(glyphwipe_last_error()), "cannot open output file: " + nowhere + " (No such file or directory)");
    EXPECT_EQ(glyphwipe_progress(), 0);
}

// A cancel request made before the call is discarded; after the run the
// progress stays at 100 until the next run starts; success clears the text.
TEST_F(VideoApi, ProgressAndStaleCancel)
{
    std::string in = dir + "/in.mp4", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 96, 64, 6, 12, true));
    glyphwipe_cancel();
    EXPECT_EQ(glyphwipe_process_video(nullptr, out.c_str()), -1);  // sets an error text
    EXPECT_EQ(glyphwipe_process_video(in.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    EXPECT_STREQ(glyphwipe_last_error(), "no error");
    EXPECT_EQ(glyphwipe_progress(), 100);
    // A failing region call leaves it; the next run starts again from 0.
    EXPECT_EQ(glyphwipe_process_video_region(in.c_str(), out.c_str(), 5, 5), -1);
    EXPECT_EQ(glyphwipe_progress(), 100);
    EXPECT_EQ(glyphwipe_process_video((dir + "/none.mp4").c_str(), out.c_str()), -1);
    EXPECT_EQ(glyphwipe_progress(), 0);
}

// glyphwipe_cancel from another thread once progress has moved.
TEST_F(VideoApi, CancelFromAnotherThread)
{
    std::string in = dir + "/in.mp4", out = dir + "/out.mp4";
    ASSERT_TRUE(text_clip(in, 160, 120, 60, 20));
    std::atomic<bool> done{false};
    std::atomic<int> seen{0};
    std::thread watcher([&] {
        while (!done.load()) {
            int p = glyphwipe_progress();
            if (p > 0) {
                seen.store(p);
                glyphwipe_cancel();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int ret = glyphwipe_process_video(in.c_str(), out.c_str());
    done.store(true);
    watcher.join();
    ASSERT_GT(seen.load(), 0) << "the run ended before progress moved";
    EXPECT_EQ(ret, -2);
    EXPECT_STREQ(glyphwipe_last_error(), "cancelled by glyphwipe_cancel()");
    int p = glyphwipe_progress();
    EXPECT_GE(p, seen.load());
    EXPECT_LT(p, 100);
}

// The whole pipeline with the real detector: text gone from the cleaned
// pictures, the audio copied byte for byte, every picture kept.
TEST_F(VideoApi, CleansRenderedText)
{
    std::string in = dir + "/in.mp4", out = dir + "/out.mkv";
    ASSERT_TRUE(text_clip(in, 320, 240, 8, 8));
    std::vector<Box> before = boxes_in_frame(in, 3);
    ASSERT_GE(boxes_between_rows(before, 10, 48), 1);
    ASSERT_GE(boxes_between_rows(before, 180, 222), 1);

    ASSERT_EQ(glyphwipe_process_video(in.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(glyphwipe_progress(), 100);
    EXPECT_EQ(gwv::major_brand(out), "isom");
    EXPECT_EQ(gwv::streams(out), (std::vector<std::string>{"0,h264,video,320,240", "1,aac,audio"}));
    EXPECT_TRUE(gwv::audio_payload(in) == gwv::audio_payload(out));
    EXPECT_EQ(gwv::count_frames(out), 8);

    for (int k : {0, 3, 7}) {
        std::vector<Box> after = boxes_in_frame(out, k);
        EXPECT_EQ(boxes_between_rows(after, 0, 240), 0) << "picture " << k;
    }
}

// The band (80, 100) in percent follows each video's height: only the lower
// line, which reaches into the bottom fifth, is removed, on a 240-row and a
// 120-row clip alike. The lower line is short, so that the square crop
// around it stays clear of the upper line.
TEST_F(VideoApi, BandFollowsTheFrameHeight)
{
    for (int h : {240, 120}) {
        int w = h * 16 / 9 / 2 * 2;
        std::string in = dir + "/in" + std::to_string(h) + ".mp4", out = dir + "/out" + std::to_string(h) + ".mp4";
        ASSERT_TRUE(text_clip(in, w, h, 4, 8, false, "OK 42"));
        int top0 = h * 4 / 100, top1 = h * 20 / 100, bot0 = h * 75 / 100, bot1 = h * 93 / 100;
        std::vector<Box> before = boxes_in_frame(in, 1);
        ASSERT_GE(boxes_between_rows(before, top0, top1), 1) << h;
        ASSERT_GE(boxes_between_rows(before, bot0, bot1), 1) << h;

        ASSERT_EQ(glyphwipe_process_video_region(in.c_str(), out.c_str(), 80, 100), 0) << glyphwipe_last_error();
        std::vector<Box> after = boxes_in_frame(out, 1);
        EXPECT_GE(boxes_between_rows(after, top0, top1), 1) << "top line kept at height " << h;
        EXPECT_EQ(boxes_between_rows(after, bot0, bot1), 0) << "bottom line removed at height " << h;
    }
}

// Text wholly outside the band keeps its pixels even where the square crop
// of a band line covers it: a long bottom line makes a crop as tall as the
// picture, which reaches the caption at the top. With the glyph hole too.
TEST_F(VideoApi, BandKeepsTextOutsideItInsideTheCrop)
{
    const int w = 320, h = 180;
    std::string in = dir + "/in.mp4";
    std::string dt = gwt::drawtext_chain({{"LIVE 24", 12, 10, 22, "yellow", 0, "black"},
                                          {"A long subtitle line here", 20, 140, 24, "white", 2, "black"}});
    ASSERT_TRUE(gwv::lavfi_clip(in, "gradients=s=320x180:r=8:c0=0x203060:c1=0xa0c0e0:speed=0.05:seed=11," + dt, 4, 8, false));
    std::vector<unsigned char> ref;
    ASSERT_TRUE(gwt::capture_rgb(gwv::ffmpeg() + "-i " + gwt::sh_quote(in) + " -frames:v 1 -f rawvideo -pix_fmt rgb24 -",
                                 w, h, ref));
    // Mean difference from the input over the caption's rows.
    auto caption_change = [&](const std::string &out) {
        std::vector<unsigned char> got;
        EXPECT_TRUE(gwt::capture_rgb(gwv::ffmpeg() + "-i " + gwt::sh_quote(out) +
                                         " -frames:v 1 -f rawvideo -pix_fmt rgb24 -", w, h, got));
        double sum = 0;
        for (int y = 4; y < 40; y++)
            for (int x = 0; x < 120; x++)
                for (int c = 0; c < 3; c++)
                    sum += fabs((double)got[((size_t)y * w + x) * 3 + c] - ref[((size_t)y * w + x) * 3 + c]);
        return sum / (36.0 * 120 * 3);
    };
    const std::string whole = dir + "/whole.mp4";
    ASSERT_EQ(glyphwipe_process_video(in.c_str(), whole.c_str()), 0) << glyphwipe_last_error();
    const double erased = caption_change(whole);
    for (const char *mask : {"boxes", "glyphs"}) {
        std::string out = dir + "/out_" + mask + ".mp4";
        ASSERT_EQ(glyphwipe_set_option("mask", mask), 0);
        ASSERT_EQ(glyphwipe_set_option("unclip", strcmp(mask, "glyphs") == 0 ? "1.5" : "0"), 0);
        ASSERT_EQ(glyphwipe_process_video_region(in.c_str(), out.c_str(), 70, 100), 0) << glyphwipe_last_error();
        // The encoder's loss only, far below what repainting the caption costs.
        const double kept = caption_change(out);
        EXPECT_LT(kept, 5.0) << mask;
        EXPECT_LT(kept * 3, erased) << mask;
        std::vector<Box> after = boxes_in_frame(out, 1);
        EXPECT_GE(boxes_between_rows(after, 4, 40), 1) << "caption kept, " << mask;
        EXPECT_EQ(boxes_between_rows(after, 130, 175), 0) << "subtitle removed, " << mask;
    }
}

} // namespace
