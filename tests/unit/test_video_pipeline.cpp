// The video pipeline driven directly with test callbacks: output layout,
// audio copy, picture count and order, progress, cancellation, awkward inputs
// and the messages of every way a run can end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"
#include "test_video_util.h"
#include "video/video.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

// Where the pipeline reports progress and reads a cancel request, and its message.
int32_t g_progress, g_cancel;
char g_msg[512];
const VideoHooks g_hooks = {&g_progress, &g_cancel};

// What a test callback saw, and how it should answer.
struct Recorder {
    std::atomic<int> calls{0};
    int width = 0, height = 0;
    bool size_changed = false;
    std::vector<int> progress;   // the progress at the start of each call
    std::vector<double> mean;    // mean sample of each picture
    int answer_at = -1;          // call index (from 0) that gets `answer`
    int answer = 0;
    bool draw = false;           // paint a white 16x16 block top-left
    int sleep_ms = 0;
};

int record_cb(unsigned char *rgb, int w, int h, int flush, void *user)
{
    Recorder *r = static_cast<Recorder *>(user);
    if (flush)
        return GW_FRAME_HELD;
    int k = r->calls.load();
    if (k == 0) {
        r->width = w;
        r->height = h;
    } else if (w != r->width || h != r->height) {
        r->size_changed = true;
    }
    r->progress.push_back(gw_load_relaxed(&g_progress));
    // Reads every byte the callback was given: out-of-bounds shows under ASan.
    unsigned long long sum = 0;
    size_t bytes = (size_t)w * h * 3;
    for (size_t i = 0; i < bytes; i++)
        sum += rgb[i];
    r->mean.push_back((double)sum / (double)bytes);
    if (r->draw) {
        for (int y = 0; y < 16 && y < h; y++)
            memset(rgb + (size_t)y * w * 3, 255, (size_t)(w < 16 ? w : 16) * 3);
    }
    if (r->sleep_ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(r->sleep_ms));
    r->calls.store(k + 1);
    if (k == r->answer_at)
        return r->answer;
    return 0;
}

void set_state(int cancel_requested, int progress)
{
    gw_store_relaxed(&g_cancel, cancel_requested);
    gw_store_relaxed(&g_progress, progress);
    g_msg[0] = 0;
}

// Runs the pipeline the way the entry points do, without the engine.
int run_pipeline(const std::string &in, const std::string &out, Recorder &rec, int progress_start = -1)
{
    set_state(0, progress_start);
    return gw_process_video_pct(in.c_str(), out.c_str(), record_cb, &rec, &g_hooks, g_msg, sizeof g_msg);
}

using Streams = std::vector<std::string>;

using gwv::expect_audio_copied;
using gwv::expect_spacing;

class VideoPipeline : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override { dir = gwt::temp_dir(); }
    void TearDown() override { set_state(0, 0); }
};

// A 12-picture clip with audio: layout of the output, the audio copy, the
// drawn pixels, and progress written after pictures 5 and 10 only.
TEST_F(VideoPipeline, CleansClipWithAudioAndReportsProgress)
{
    std::string in = dir + "/in.mp4", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 160, 120, 12, 12, true));
    ASSERT_EQ(gwv::count_frames(in), 12);

    Recorder rec;
    rec.draw = true;
    ASSERT_EQ(run_pipeline(in, out, rec), 0) << g_msg;
    EXPECT_EQ(gw_load_relaxed(&g_progress), 100);
    EXPECT_EQ(rec.calls.load(), 12);
    EXPECT_EQ(rec.width, 160);
    EXPECT_EQ(rec.height, 120);
    EXPECT_FALSE(rec.size_changed);

    // Progress: untouched (the sentinel -1) until picture 5 was done, then one
    // value until picture 10 was done, then a larger one.
    ASSERT_EQ(rec.progress.size(), 12u);
    for (int k = 0; k < 5; k++)
        EXPECT_EQ(rec.progress[k], -1) << "call " << k;
    for (int k = 5; k < 10; k++)
        EXPECT_EQ(rec.progress[k], rec.progress[5]) << "call " << k;
    EXPECT_GT(rec.progress[5], 0);
    EXPECT_GT(rec.progress[10], rec.progress[5]);
    EXPECT_EQ(rec.progress[11], rec.progress[10]);
    EXPECT_LT(rec.progress[10], 100);

    EXPECT_EQ(gwv::streams(out), (Streams{"0,h264,video,160,120", "1,aac,audio"}));
    EXPECT_EQ(gwv::major_brand(out), "isom");
    EXPECT_EQ(gwv::count_frames(out), 12);
    expect_audio_copied(in, out, 1000);

    // Output keeps the input's timing.
    std::vector<double> pin = gwv::video_pts(in), pout = gwv::video_pts(out);
    ASSERT_EQ(pin.size(), pout.size());
    for (size_t i = 0; i < pin.size(); i++)
        EXPECT_NEAR(pin[i], pout[i], 0.002) << "picture " << i;

    // What the callback drew is what was encoded.
    std::vector<unsigned char> px;
    ASSERT_TRUE(gwv::frame_rgb(out, 7, 160, 120, px));
    EXPECT_GT(px[(8 * 160 + 8) * 3 + 1], 235);
    ASSERT_TRUE(gwv::frame_rgb(in, 7, 160, 120, px));
    EXPECT_LT(px[(8 * 160 + 8) * 3 + 1], 200);
}

// Streams: subtitle, audio A, video 1, video 2, audio B. The output holds
// video 1 re-encoded at index 0 and audio A copied at index 1, nothing else.
TEST_F(VideoPipeline, TakesFirstVideoAndFirstAudioOfManyStreams)
{
    std::string srt = dir + "/s.srt", in = dir + "/in.mkv", out = dir + "/out.mp4";
    gwt::write_file(srt, "1\n00:00:00,000 --> 00:00:00,800\nhello\n\n");
    std::string args = "-f srt -i " + gwt::sh_quote(srt) +
                       " -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1"
                       " -f lavfi -i testsrc2=s=128x96:r=10:d=1"
                       " -f lavfi -i testsrc=s=96x64:r=10:d=1"
                       " -f lavfi -i sine=frequency=880:sample_rate=22050:duration=1"
                       " -map 0 -map 1 -map 2 -map 3 -map 4 -c:s srt -c:a:0 aac -c:a:1 libmp3lame"
                       " -c:v libx264 -preset ultrafast " + gwt::sh_quote(in);
    ASSERT_TRUE(gwv::ff(args, in));
    std::vector<std::string> st_in = gwv::streams(in);
    ASSERT_EQ(st_in.size(), 5u);
    ASSERT_EQ(st_in[0], "0,subrip,subtitle");

    Recorder rec;
    ASSERT_EQ(run_pipeline(in, out, rec), 0) << g_msg;
    EXPECT_EQ(rec.width, 128);
    EXPECT_EQ(rec.height, 96);
    EXPECT_EQ(rec.calls.load(), 10);

    EXPECT_EQ(gwv::streams(out), (Streams{"0,h264,video,128,96", "1,aac,audio"}));
    EXPECT_EQ(gwv::count_frames(out), 10);
    expect_audio_copied(in, out, 500);
}

TEST_F(VideoPipeline, VideoOnlyInputGivesVideoOnlyOutput)
{
    std::string in = dir + "/in.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 96, 64, 8, 8, false));
    // Any name, any extension or none: the container is MP4.
    for (std::string name : {"out.mkv", "out", "out.avi"}) {
        std::string out = dir + "/" + name;
        Recorder rec;
        ASSERT_EQ(run_pipeline(in, out, rec), 0) << name << ": " << g_msg;
        EXPECT_EQ(gwv::streams(out), Streams{"0,h264,video,96,64"}) << name;
        EXPECT_EQ(gwv::major_brand(out), "isom") << name;
        EXPECT_EQ(gwv::count_frames(out), 8) << name;
    }
}

// Pictures reordered by B-frames, brightness rising with each picture: the
// callback sees every picture once, in display order, including the ones
// still inside the decoder when the file ends.
TEST_F(VideoPipeline, ReorderedPicturesArriveInDisplayOrder)
{
    std::string in = dir + "/bf.mp4", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::ff("-f lavfi -i " +
                            gwt::sh_quote("color=c=black:s=64x48:r=30,format=yuv420p,"
                                          "geq=lum='16+N*6':cb=128:cr=128") +
                            " -frames:v 30 -c:v libx264 -preset medium -bf 3 -crf 5 " + gwt::sh_quote(in),
                        in));
    std::string types = gwt::capture("ffprobe -v error -show_entries frame=pict_type -of csv=p=0 " +
                                     gwt::sh_quote(in));
    ASSERT_NE(types.find('B'), std::string::npos) << "no B-frames in the test clip";

    Recorder rec;
    ASSERT_EQ(run_pipeline(in, out, rec), 0) << g_msg;
    ASSERT_EQ(rec.calls.load(), 30);
    for (int k = 1; k < 30; k++)
        EXPECT_GT(rec.mean[k], rec.mean[k - 1] + 2.0) << "picture " << k;
    EXPECT_EQ(gwv::count_frames(out), 30);
    std::vector<double> pts = gwv::video_pts(out);
    ASSERT_EQ(pts.size(), 30u);
    expect_spacing(pts, 1.0 / 30);
}

// A raw H.264 stream carries no timestamps, and this one changes size and
// pixel format twice (160x120 4:2:0, 224x160 4:4:4, 96x64 4:2:0). Every
// picture reaches the callback at the set-up size and the output, at the
// stream's frame rate.
TEST_F(VideoPipeline, RawStreamWithoutTimestampsThatChangesSize)
{
    std::string a = dir + "/a.h264", b = dir + "/b.h264", c = dir + "/c.h264";
    std::string in = dir + "/abc.h264", out = dir + "/out.mp4";
    std::string enc = " -c:v libx264 -preset ultrafast -f h264 ";
    ASSERT_TRUE(gwv::ff("-f lavfi -i testsrc2=s=160x120:r=12 -frames:v 6 -pix_fmt yuv420p" + enc + a, a));
    ASSERT_TRUE(gwv::ff("-f lavfi -i testsrc2=s=224x160:r=12 -frames:v 6 -pix_fmt yuv444p" + enc + b, b));
    ASSERT_TRUE(gwv::ff("-f lavfi -i testsrc2=s=96x64:r=12 -frames:v 6 -pix_fmt yuv420p" + enc + c, c));
    ASSERT_EQ(gwt::run("cat " + a + " " + b + " " + c + " > " + in), 0);
    std::string sizes = gwt::capture("ffprobe -v error -show_entries frame=width,height,pix_fmt,pts "
                                     "-of csv=p=0 " + in);
    ASSERT_NE(sizes.find("160,120,yuv420p"), std::string::npos) << sizes;
    ASSERT_NE(sizes.find("224,160,yuv444p"), std::string::npos) << sizes;
    ASSERT_NE(sizes.find("96,64,yuv420p"), std::string::npos) << sizes;

    Recorder rec;
    ASSERT_EQ(run_pipeline(in, out, rec), 0) << g_msg;
    EXPECT_EQ(rec.calls.load(), 18);
    EXPECT_FALSE(rec.size_changed);
    // Without a duration, progress moves only at the end.
    for (int p : rec.progress)
        EXPECT_EQ(p, -1);
    EXPECT_EQ(gw_load_relaxed(&g_progress), 100);

    std::string video = "0,h264,video," + std::to_string(rec.width) + "," + std::to_string(rec.height);
    EXPECT_EQ(gwv::streams(out), Streams{video});
    EXPECT_EQ(gwv::count_frames(out), 18);
    std::vector<double> pts = gwv::video_pts(out);
    ASSERT_EQ(pts.size(), 18u);
    expect_spacing(pts, 1.0 / 12);
}

// Bytes flipped in the middle of the file: refused packets are skipped, the
// run ends normally with a playable file.
TEST_F(VideoPipeline, CorruptPacketsAreSkipped)
{
    std::string in = dir + "/in.ts", bad = dir + "/bad.ts", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 160, 120, 24, 12, true));
    std::string bytes = gwt::read_file(in);
    ASSERT_GT(bytes.size(), 20000u);
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 3000; i++)
        bytes[i] = (char)(bytes[i] ^ 0x5a);
    gwt::write_file(bad, bytes);

    Recorder rec;
    ASSERT_EQ(run_pipeline(bad, out, rec), 0) << g_msg;
    EXPECT_GT(rec.calls.load(), 12);
    EXPECT_EQ(gwv::count_frames(out), rec.calls.load());
    EXPECT_EQ(gw_load_relaxed(&g_progress), 100);
}

// A file cut off in the middle ends at the cut, finished normally.
TEST_F(VideoPipeline, TruncatedInputEndsAtTheCut)
{
    std::string in = dir + "/in.mkv", cut = dir + "/cut.mkv", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 160, 120, 24, 12, true));
    std::string bytes = gwt::read_file(in);
    gwt::write_file(cut, bytes.substr(0, bytes.size() / 2));

    Recorder rec;
    ASSERT_EQ(run_pipeline(cut, out, rec), 0) << g_msg;
    EXPECT_GT(rec.calls.load(), 3);
    EXPECT_LT(rec.calls.load(), 24);
    EXPECT_EQ(gwv::count_frames(out), rec.calls.load());
    EXPECT_EQ(gwv::streams(out).size(), 2u);
}

// Timestamps past the stated duration (an MPEG-TS clip starts at 1.4 s):
// progress is clamped to 100.
TEST_F(VideoPipeline, ProgressStaysWithinRange)
{
    std::string in = dir + "/in.ts", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 96, 64, 12, 12, false));
    Recorder rec;
    ASSERT_EQ(run_pipeline(in, out, rec), 0) << g_msg;
    ASSERT_EQ(rec.progress.size(), 12u);
    EXPECT_EQ(rec.progress[4], -1);
    EXPECT_EQ(rec.progress[5], 100);
}

TEST_F(VideoPipeline, CallbackAnswers)
{
    std::string in = dir + "/in.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 96, 64, 12, 12, true));

    {   // 7 on the fourth picture: failure naming frame 3.
        Recorder rec;
        rec.answer_at = 3;
        rec.answer = 7;
        EXPECT_EQ(run_pipeline(in, dir + "/o1.mp4", rec), -1);
        EXPECT_STREQ(g_msg, "frame processing failed at frame 3");
        EXPECT_EQ(rec.calls.load(), 4);
    }
    {   // -1 on the first picture: failure naming frame 0.
        Recorder rec;
        rec.answer_at = 0;
        rec.answer = -1;
        EXPECT_EQ(run_pipeline(in, dir + "/o2.mp4", rec), -1);
        EXPECT_STREQ(g_msg, "frame processing failed at frame 0");
    }
    {   // -2 on the first picture: cancelled, and no output at all (nor a
        // temporary file); an older file of that name stays as it was.
        Recorder rec;
        rec.answer_at = 0;
        rec.answer = -2;
        std::string out = dir + "/o3.mp4";
        gwt::write_file(out, "older result");
        EXPECT_EQ(run_pipeline(in, out, rec, 0), -2);
        EXPECT_STREQ(g_msg, "cancelled");
        EXPECT_EQ(rec.calls.load(), 1);
        EXPECT_EQ(gw_load_relaxed(&g_progress), 0);
        EXPECT_EQ(gwt::read_file(out), "older result");
    }
    // No temporary file of any of these runs is left.
    EXPECT_EQ(gwt::capture("ls -A " + gwt::sh_quote(dir) + " | grep -c glyphwipe-"), "0\n");
}

TEST_F(VideoPipeline, CancelRequestedBeforeTheFirstRead)
{
    std::string in = dir + "/in.mp4", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 96, 64, 6, 12, false));
    Recorder rec;
    set_state(1, 0);
    EXPECT_EQ(gw_process_video_pct(in.c_str(), out.c_str(), record_cb, &rec, &g_hooks, g_msg, sizeof g_msg), -2);
    EXPECT_STREQ(g_msg, "cancelled");
    EXPECT_EQ(rec.calls.load(), 0);
    EXPECT_EQ(gw_load_relaxed(&g_progress), 0);
    EXPECT_FALSE(gwt::file_exists(out));
}

// A cancel request from another thread stops the run within a picture, while
// a third thread polls the progress. (Also run under ThreadSanitizer.)
TEST_F(VideoPipeline, CancelFromAnotherThread)
{
    std::string in = dir + "/in.mp4", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 96, 64, 40, 20, true));
    Recorder rec;
    rec.sleep_ms = 10;
    set_state(0, 0);

    std::atomic<bool> done{false};
    std::vector<int> polled;
    std::thread poller([&] {
        while (!done.load()) {
            polled.push_back(gw_load_relaxed(&g_progress));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::thread canceller([&] {
        while (rec.calls.load() < 12 && !done.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        gw_store_relaxed(&g_cancel, 1);
    });
    int ret = gw_process_video_pct(in.c_str(), out.c_str(), record_cb, &rec, &g_hooks, g_msg, sizeof g_msg);
    done.store(true);
    canceller.join();
    poller.join();

    EXPECT_EQ(ret, -2);
    EXPECT_STREQ(g_msg, "cancelled");
    EXPECT_GE(rec.calls.load(), 12);
    EXPECT_LE(rec.calls.load(), 13);
    int last = 0;
    for (int p : polled) {
        EXPECT_GE(p, last);
        EXPECT_LE(p, 100);
        last = p;
    }
    EXPECT_GT(gw_load_relaxed(&g_progress), 0);
    EXPECT_LT(gw_load_relaxed(&g_progress), 100);
}

TEST_F(VideoPipeline, SetupFailures)
{
    std::string clip = dir + "/in.mp4";
    ASSERT_TRUE(gwv::plain_clip(clip, 96, 64, 4, 12, false));
    std::string missing = dir + "/nothing-here.mp4", junk = dir + "/junk.mp4", audio = dir + "/tone.m4a";
    gwt::write_file(junk, std::string(4096, 'x'));
    ASSERT_TRUE(gwv::ff("-f lavfi -i sine=duration=0.5 -c:a aac " + audio, audio));
    std::string out = dir + "/o.mp4", no_dir = dir + "/no/such/dir/out.mp4";
    const struct {
        std::string in, out, error;
    } cases[] = {
        {missing, out, "cannot open input: " + missing},
        {junk, out, "cannot open input: " + junk},
        {audio, out, "no video stream in " + audio},
        {clip, no_dir, "cannot open output file: " + no_dir + " (No such file or directory)"},
    };
    Recorder rec;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in + " -> " + c.out);
        EXPECT_EQ(run_pipeline(c.in, c.out, rec), -1);
        EXPECT_EQ(std::string(g_msg), c.error);
        EXPECT_FALSE(gwt::file_exists(c.out));
    }
    EXPECT_EQ(rec.calls.load(), 0);
    EXPECT_EQ(gw_load_relaxed(&g_progress), -1);  // never written on a setup failure
}

// The conversion into the work buffer, as the pipeline sets it up, never
// writes past the buffer's size: swscale's vector code writes whole blocks of
// pixels, beyond the last packed row when the width is not a multiple of 16.
TEST(VideoWorkBuffer, ConversionStaysInside)
{
    struct Case {
        const char *fmt;
        int sw, sh, dw, dh;
    } cases[] = {
        {"yuv420p", 426, 240, 426, 240}, {"yuv420p", 2, 2, 2, 2},       {"yuv420p", 1918, 1080, 1918, 1080},
        {"yuv444p", 97, 65, 97, 65},     {"nv12", 34, 18, 34, 18},      {"yuv420p10le", 130, 72, 130, 72},
        {"yuv420p", 160, 120, 426, 240}, {"yuv444p", 600, 400, 98, 66}, {"gray", 33, 17, 33, 17},
    };
    for (const Case &c : cases) {
        AVPixelFormat fmt = av_get_pix_fmt(c.fmt);
        ASSERT_NE(fmt, AV_PIX_FMT_NONE) << c.fmt;
        AVFrame *f = av_frame_alloc();
        f->format = fmt;
        f->width = c.sw;
        f->height = c.sh;
        ASSERT_EQ(av_frame_get_buffer(f, 32), 0);
        for (int p = 0; p < AV_NUM_DATA_POINTERS && f->buf[p]; p++)
            memset(f->buf[p]->data, 100, f->buf[p]->size);

        size_t size = gw_video_rgb_buffer_size(c.dw, c.dh);
        ASSERT_GE(size, (size_t)c.dw * c.dh * 3);
        std::vector<unsigned char> buf(size + 1024, 0xA5);
        SwsContext *sws = sws_getContext(c.sw, c.sh, fmt, c.dw, c.dh, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr,
                                         nullptr, nullptr);
        ASSERT_NE(sws, nullptr);
        uint8_t *dst[4] = {buf.data(), nullptr, nullptr, nullptr};
        int stride[4] = {c.dw * 3, 0, 0, 0};
        EXPECT_GT(sws_scale(sws, f->data, f->linesize, 0, c.sh, dst, stride), 0);
        size_t touched = 0;
        for (size_t i = size; i < buf.size(); i++)
            if (buf[i] != 0xA5)
                touched = i + 1 - size;
        EXPECT_EQ(touched, 0u) << c.fmt << " " << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
        sws_freeContext(sws);
        av_frame_free(&f);
    }
}

// An odd picture size: the callback gets every pixel, the 4:2:0 H.264 output
// leaves out the odd last column and row.
TEST_F(VideoPipeline, OddPictureSize)
{
    std::string in = dir + "/odd.mkv", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::ff("-f lavfi -i " + gwt::sh_quote("testsrc2=s=98x66:r=10,crop=97:65:0:0,format=yuv444p") +
                            " -frames:v 5 -c:v ffv1 " + in,
                        in));
    Recorder rec;
    rec.draw = true;
    ASSERT_EQ(run_pipeline(in, out, rec), 0) << g_msg;
    EXPECT_EQ(rec.width, 97);
    EXPECT_EQ(rec.height, 65);
    EXPECT_EQ(rec.calls.load(), 5);
    EXPECT_EQ(gwv::streams(out), Streams{"0,h264,video,96,64"});
    EXPECT_EQ(gwv::count_frames(out), 5);
    std::vector<unsigned char> px;
    ASSERT_TRUE(gwv::frame_rgb(out, 2, 96, 64, px));
    EXPECT_GT(px[(8 * 96 + 8) * 3 + 1], 235);  // the drawn block
}

// A width that is not a multiple of 16, through the whole pipeline.
TEST_F(VideoPipeline, WidthNotAMultipleOf16)
{
    std::string in = dir + "/in.mp4", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::plain_clip(in, 426, 240, 6, 12, false));
    Recorder rec;
    rec.draw = true;
    ASSERT_EQ(run_pipeline(in, out, rec), 0) << g_msg;
    EXPECT_EQ(gwv::streams(out), Streams{"0,h264,video,426,240"});
    EXPECT_EQ(gwv::count_frames(out), 6);
}

} // namespace
