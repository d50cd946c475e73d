// Hostile video inputs and outputs through the public API: empty, random,
// truncated and bit-flipped files, unwritable outputs, the input named as the
// output, and cancellation at random moments of many runs in a row. Every
// call must end in 0, -1 with a message, or -2, and never crash.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "glyphwipe.h"
#include "test_support.h"
#include "test_video_util.h"

namespace {

// A small clip with a line of text and a sine track: an MP4 with its index up
// front (so a cut keeps the header and loses pictures) or an MPEG-TS.
bool small_clip(const std::string &path, int frames, const std::string &extra)
{
    gwt::TextLine line{"Hostile", 8, 30, 20, "white", 2, "black"};
    return gwt::make_text_clip(path, 96, 64, frames / 10.0, 10, {line}, true, extra);
}

class HostileVideo : public ::testing::Test {
protected:
    static std::string dir, mp4, ts;
    std::string out;

    static void SetUpTestSuite()
    {
        dir = gwt::temp_dir();
        mp4 = dir + "/clip.mp4";
        ts = dir + "/clip.ts";
        small_clip(mp4, 10, "-movflags +faststart");
        small_clip(ts, 10, "");
    }
    void SetUp() override
    {
        ASSERT_TRUE(gwt::file_exists(mp4) && gwt::file_exists(ts)) << "could not make the clips";
        ASSERT_EQ(glyphwipe_init(gwt::models_dir().c_str()), 0) << glyphwipe_last_error();
        out = gwt::temp_dir() + "/out.mp4";
    }
    void TearDown() override { glyphwipe_cleanup(); }

    // One run on a hostile input: 0 with an output file, or -1 with a message.
    void expect_sane(const std::string &in, const std::string &what)
    {
        unlink(out.c_str());
        int ret = glyphwipe_process_video(in.c_str(), out.c_str());
        std::string err = glyphwipe_last_error();
        ASSERT_TRUE(ret == 0 || ret == -1) << what << ": returned " << ret;
        if (ret == 0) {
            EXPECT_EQ(err, "no error") << what;
            EXPECT_TRUE(gwt::file_exists(out)) << what;
        } else {
            EXPECT_NE(err, "no error") << what;
            EXPECT_FALSE(err.empty()) << what;
        }
        EXPECT_GE(glyphwipe_progress(), 0) << what;
        EXPECT_LE(glyphwipe_progress(), 100) << what;
    }
};
std::string HostileVideo::dir, HostileVideo::mp4, HostileVideo::ts;

// Zero-length, random bytes, and random bytes behind a real container header.
TEST_F(HostileVideo, EmptyAndRandomFiles)
{
    std::mt19937 rng(20261209);
    std::string f = dir + "/rand.mp4";
    gwt::write_file(f, "");
    expect_sane(f, "zero-length");
    EXPECT_EQ(std::string(glyphwipe_last_error()), "cannot open input: " + f);
    for (size_t n : {1, 7, 188, 4096, 65536}) {
        gwt::write_file(f, gwt::random_bytes(rng, n));
        expect_sane(f, "random " + std::to_string(n));
    }
    // Not a clip at all: a folder, a still picture.
    expect_sane(dir, "a folder");
    std::string png = dir + "/still.png";
    ASSERT_TRUE(gwt::make_text_image(png, 64, 48, "gradient", {{"Still", 4, 10, 16, "white", 0, "black"}}));
    expect_sane(png, "a still picture");
    // A real header followed by noise.
    for (const std::string &src : {mp4, ts}) {
        std::string head = gwt::read_file(src).substr(0, 1024);
        gwt::write_file(f, head + gwt::random_bytes(rng, 20000));
        expect_sane(f, "header+noise of " + src);
    }
}

// The clips cut at many points: before the header ends, mid-picture, one
// byte short.
TEST_F(HostileVideo, TruncatedClips)
{
    for (const std::string &src : {mp4, ts}) {
        std::string bytes = gwt::read_file(src);
        ASSERT_GT(bytes.size(), 2000u);
        std::string f = dir + "/cut" + src.substr(src.rfind('.'));
        for (double frac : {0.0005, 0.01, 0.05, 0.2, 0.4, 0.6, 0.8, 0.95}) {
            gwt::write_file(f, bytes.substr(0, (size_t)(bytes.size() * frac)));
            expect_sane(f, src + " cut at " + std::to_string(frac));
        }
        gwt::write_file(f, bytes.substr(0, bytes.size() - 1));
        expect_sane(f, src + " one byte short");
    }
}

// Seeded corruption: bytes overwritten at many places, header included.
TEST_F(HostileVideo, FlippedBytes)
{
    std::mt19937 rng(777);
    for (const std::string &src : {mp4, ts}) {
        std::string bytes = gwt::read_file(src);
        std::string f = dir + "/flip" + src.substr(src.rfind('.'));
        for (int variant = 0; variant < 6; variant++) {
            std::string b = bytes;
            int flips = 4 << variant;  // 4 .. 128 places
            for (int i = 0; i < flips; i++)
                b[rng() % b.size()] ^= (char)(1 + rng() % 255);
            gwt::write_file(f, b);
            expect_sane(f, src + " with " + std::to_string(flips) + " bytes changed");
        }
    }
    // The next clean run still works.
    unlink(out.c_str());
    EXPECT_EQ(glyphwipe_process_video(mp4.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(gwv::streams(out).size(), 2u);
}

// Clips at the extremes of shape: thinner than the detector takes (a clear
// error or a pass-through, never a crash) and long thin ones it takes.
TEST_F(HostileVideo, ExtremeGeometry)
{
    const int sizes[][2] = {{2, 2}, {6, 400}, {400, 6}, {8, 8}, {8, 1080}, {1920, 8}, {10, 10}};
    for (const auto &sz : sizes) {
        std::string f = dir + "/geo.mp4";
        std::string what = std::to_string(sz[0]) + "x" + std::to_string(sz[1]);
        ASSERT_TRUE(gwv::plain_clip(f, sz[0], sz[1], 3, 10, false)) << what;
        expect_sane(f, what);
        if (sz[0] >= 8 && sz[1] >= 8) {
            EXPECT_STREQ(glyphwipe_last_error(), "no error") << what;
        }
    }
}

// Pictures over 8192 on a side are refused from the stream's header, before
// a picture is decoded; the message names the size.
TEST_F(HostileVideo, PicturesTooLarge)
{
    for (const char *size : {"8200x16", "16x8194"}) {
        std::string f = dir + "/large.mkv";
        ASSERT_TRUE(gwv::ff(std::string("-f lavfi -i color=c=gray:s=") + size + ":r=5 -frames:v 2 -c:v ffv1 " + f, f));
        unlink(out.c_str());
        EXPECT_EQ(glyphwipe_process_video(f.c_str(), out.c_str()), -1) << size;
        EXPECT_EQ(std::string(glyphwipe_last_error()), std::string("picture too large: ") + size + " (limit 8192x8192)");
        EXPECT_FALSE(gwt::file_exists(out));
    }
}

// A video stream whose pictures all fail to decode (here: an MP4 whose media
// data is zeroed) gives no output: "no picture could be decoded", never an
// empty MP4 with progress 100. An older output stays.
TEST_F(HostileVideo, NoPictureDecodes)
{
    std::string bytes = gwt::read_file(mp4);  // index up front, media data last
    size_t mdat = bytes.find("mdat");
    ASSERT_NE(mdat, std::string::npos);
    for (size_t i = mdat + 4; i < bytes.size(); i++)
        bytes[i] = 0;
    std::string f = dir + "/zeroed.mp4";
    gwt::write_file(f, bytes);
    gwt::write_file(out, "older result");
    EXPECT_EQ(glyphwipe_process_video(f.c_str(), out.c_str()), -1);
    EXPECT_EQ(std::string(glyphwipe_last_error()), "no picture could be decoded from " + f);
    EXPECT_LT(glyphwipe_progress(), 100);
    EXPECT_EQ(gwt::read_file(out), "older result");
    EXPECT_EQ(gwt::temp_outputs_in(out.substr(0, out.rfind('/'))), 0);
}

// Outputs that cannot be written: a path whose parent is a regular file, a
// missing folder, a folder itself, and /proc (tests run as root, so a read-only mode bit would
// not stop the write). The input is left as it was.
TEST_F(HostileVideo, UnwritableOutputs)
{
    std::string before = gwt::read_file(mp4);
    const std::pair<std::string, std::string> cases[] = {
        {mp4 + "/out.mp4", "Not a directory"},
        {dir + "/missing/out.mp4", "No such file or directory"},
        {"/proc/gw_out.mp4", "No such file or directory"},
        {dir, "Is a directory"},
        {"/dev/null", "not a regular file"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(glyphwipe_process_video(mp4.c_str(), c.first.c_str()), -1) << c.first;
        EXPECT_EQ(std::string(glyphwipe_last_error()), "cannot open output file: " + c.first + " (" + c.second + ")");
    }
    EXPECT_TRUE(gwt::read_file(mp4) == before);
}

// Writing over the file being read would truncate it before a picture is
// read: the call is refused and the input survives, whatever the spelling
// (same text, "./" in the path, a symbolic link, a hard link).
TEST_F(HostileVideo, OutputSameAsInputIsRefused)
{
    std::string d = gwt::temp_dir();
    std::string in = d + "/in.mp4";
    gwt::write_file(in, gwt::read_file(mp4));
    std::string before = gwt::read_file(in);
    ASSERT_EQ(symlink(in.c_str(), (d + "/sym.mp4").c_str()), 0);
    ASSERT_EQ(link(in.c_str(), (d + "/hard.mp4").c_str()), 0);
    for (const std::string &o : {in, d + "/./in.mp4", d + "/sym.mp4", d + "/hard.mp4"}) {
        EXPECT_EQ(glyphwipe_process_video(in.c_str(), o.c_str()), -1) << o;
        EXPECT_EQ(std::string(glyphwipe_last_error()), "output is the same file as the input: " + o);
        EXPECT_EQ(glyphwipe_process_video_region(in.c_str(), o.c_str(), 50, 100), -1) << o;
        EXPECT_TRUE(gwt::read_file(in) == before) << "input damaged through " << o;
    }
    // A different file of the same name elsewhere is fine.
    std::string other = gwt::temp_dir() + "/in.mp4";
    EXPECT_EQ(glyphwipe_process_video(in.c_str(), other.c_str()), 0) << glyphwipe_last_error();
    EXPECT_TRUE(gwt::read_file(in) == before);
}

// Many runs in a row, each cancelled from another thread after a seeded
// random delay, while a third thread polls the progress: every run ends in 0
// or -2 with the matching text, progress stays within 0..100 and never goes
// back within a run, and an uncancelled run after each batch works.
TEST_F(HostileVideo, CancelAtRandomMoments)
{
    std::string in = dir + "/long.mp4";
    ASSERT_TRUE(small_clip(in, 20, ""));
    std::string missing = dir + "/no-such-input.mp4";

    // How long one whole run takes, to spread the cancel requests over it.
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(glyphwipe_process_video(in.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    int run_ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                     .count();
    int max_delay = run_ms + run_ms / 4 + 1;  // some requests land after the end

    std::mt19937 rng(4242);
    int cancelled = 0, finished = 0;
    const int RUNS = 20;
    for (int i = 0; i < RUNS; i++) {
        // A failing call starts the progress afresh at 0.
        ASSERT_EQ(glyphwipe_process_video(missing.c_str(), out.c_str()), -1);
        ASSERT_EQ(glyphwipe_progress(), 0);

        int delay = (int)(rng() % (unsigned)max_delay);
        std::atomic<bool> done{false};
        std::atomic<int> bad_progress{-1}, went_back{0};
        std::thread poller([&] {
            int last = 0;
            while (!done.load()) {
                int p = glyphwipe_progress();
                if (p < 0 || p > 100)
                    bad_progress.store(p);
                if (p < last)
                    went_back.store(1);
                last = p;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            glyphwipe_cancel();
        });
        int ret = glyphwipe_process_video(in.c_str(), out.c_str());
        std::string err = glyphwipe_last_error();
        canceller.join();
        done.store(true);
        poller.join();

        ASSERT_TRUE(ret == 0 || ret == -2) << "run " << i << " delay " << delay << ": " << ret << " " << err;
        if (ret == -2) {
            EXPECT_EQ(err, "cancelled by glyphwipe_cancel()");
            EXPECT_LT(glyphwipe_progress(), 100);
            cancelled++;
        } else {
            EXPECT_EQ(err, "no error");
            EXPECT_EQ(glyphwipe_progress(), 100);
            finished++;
        }
        EXPECT_EQ(bad_progress.load(), -1) << "run " << i;
        EXPECT_EQ(went_back.load(), 0) << "run " << i;

        if (i % 5 == 4) {
            std::string clean = gwt::temp_dir() + "/clean.mp4";
            ASSERT_EQ(glyphwipe_process_video(in.c_str(), clean.c_str()), 0) << glyphwipe_last_error();
            EXPECT_EQ(glyphwipe_progress(), 100);
            EXPECT_EQ(gwv::streams(clean).size(), 2u);
        }
    }
    // Both outcomes were exercised.
    EXPECT_GT(cancelled, 0);
    RecordProperty("cancelled", cancelled);
    RecordProperty("finished", finished);
    printf("cancellation runs: %d (cancelled %d, finished %d), run %d ms\n", RUNS, cancelled, finished, run_ms);
}

} // namespace
