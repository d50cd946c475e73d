// Calls that overlap a running one, and cancellation that reaches a model run
// in progress. A fill model that never ends on its own (a loop of 2^62 turns)
// keeps the first picture's repainting busy until glyphwipe_cancel stops it,
// so that every check happens while the call surely runs. Each test runs in a
// child process: a crash (the fault these tests guard against) fails the test
// instead of ending the test program, and an alarm fails it instead of a hang.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"
#include "test_video_util.h"

namespace {

// A detector that scores every pixel by its brightness, and the endless fill.
std::string endless_models() { return gwt::model_dir_with(gwt::test_model("det_bright.onnx"), gwt::test_model("inp_endless.onnx")); }

// Black with one white block: one text box for that detector.
const std::string BLOCK = "color=c=black:s=128x96:r=10,drawbox=x=24:y=36:w=48:h=20:color=white:t=fill";

// Waits until another thread's call holds the engine: setting an option is
// then refused.
void wait_until_busy()
{
    while (glyphwipe_set_option("device", "cpu") == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Starts a call on a thread of its own, again while an option probe beat it
// to the engine (which only the probe itself can cause).
template <typename Call>
std::thread start(std::atomic<int> &result, Call call)
{
    return std::thread([&result, call] {
        int r;
        while ((r = call()) == -1 && gwt::starts_with(glyphwipe_last_error(), "busy: glyphwipe_set_option"))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        result = r;
    });
}

class Checks {
public:
    int failed = 0;
    void expect(bool ok, const std::string &what)
    {
        if (!ok) {
            fprintf(stderr, "failed: %s (error text: %s)\n", what.c_str(), glyphwipe_last_error());
            failed++;
        }
    }
};

void run_in_child(const std::function<int()> &body)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child starts afresh, no threads copied
    EXPECT_EXIT(
        {
            alarm(120);  // a call that cancel cannot stop ends the child with SIGALRM
            int failed = body();
            glyphwipe_cleanup();
            exit(failed);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace

// While a video runs on one thread, every other call from another thread is
// refused at once with "busy: ..." and changes nothing; progress, the region
// count and the error text stay readable; cancel stops the model run in
// progress. The older output survives and no temporary file is left.
TEST(Concurrency, CallsDuringAVideoAreRefused)
{
    const std::string dir = gwt::temp_dir(), models = endless_models();
    const std::string clip = dir + "/block.mp4", out = dir + "/out.mp4", img = dir + "/block.png";
    ASSERT_TRUE(gwv::lavfi_clip(clip, BLOCK, 10, 10, false));
    ASSERT_TRUE(gwt::make_text_image(img, 128, 96, BLOCK, {}));
    gwt::write_file(out, "older result");
    run_in_child([&] {
        Checks c;
        if (glyphwipe_init(models.c_str()) != 0)
            return 100;
        std::atomic<int> video{1000};
        std::thread runner = start(video, [&] { return glyphwipe_process_video(clip.c_str(), out.c_str()); });
        wait_until_busy();
        const std::string BUSY = "busy: glyphwipe_process_video is running";
        c.expect(std::string(glyphwipe_last_error()) == BUSY, "set_option refused");
        glyphwipe_cleanup();
        c.expect(std::string(glyphwipe_last_error()) == BUSY, "cleanup refused");
        c.expect(glyphwipe_init(models.c_str()) == -1 && std::string(glyphwipe_last_error()) == BUSY, "init refused");
        c.expect(glyphwipe_detect(img.c_str()) == nullptr && std::string(glyphwipe_last_error()) == BUSY,
                 "detect refused");
        c.expect(glyphwipe_process_image(img.c_str(), (dir + "/o.png").c_str()) == -1, "process_image refused");
        c.expect(glyphwipe_process_video(clip.c_str(), (dir + "/o.mp4").c_str()) == -1, "a second video refused");
        c.expect(glyphwipe_process_video_region(clip.c_str(), (dir + "/o.mp4").c_str(), 0, 50) == -1 &&
                     std::string(glyphwipe_last_error()) == BUSY,
                 "a second band video refused");
        c.expect(glyphwipe_progress() == 0 && glyphwipe_regions_left_out() == 0, "progress and count readable");
        c.expect(video.load() == 1000, "the video still runs");
        // The first picture's fill model never ends on its own.
        glyphwipe_cancel();
        runner.join();
        c.expect(video.load() == -2, "the video was cancelled");
        c.expect(std::string(glyphwipe_last_error()) == "cancelled by glyphwipe_cancel()", "cancel text");
        c.expect(gwt::read_file(out) == "older result", "the older output kept");
        c.expect(!gwt::file_exists(dir + "/o.png") && !gwt::file_exists(dir + "/o.mp4"), "refused calls wrote nothing");
        c.expect(gwt::temp_outputs_in(dir) == 0, "no temporary file left");
        // The engine was never released: it works on, and cleanup now works.
        c.expect(glyphwipe_set_option("threshold", "0.4") == 0, "options again");
        c.expect(glyphwipe_detect(img.c_str()) != nullptr, "detect after the video");
        glyphwipe_cleanup();
        c.expect(glyphwipe_detect(img.c_str()) == nullptr && gwt::starts_with(glyphwipe_last_error(), "not initialized"),
                 "cleanup after the video");
        return c.failed;
    });
}

// glyphwipe_cancel reaches a model run of an image call too: it returns -2
// and writes nothing.
TEST(Concurrency, CancelStopsAModelRunOfAnImage)
{
    const std::string dir = gwt::temp_dir(), models = endless_models();
    const std::string img = dir + "/block.png", out = dir + "/out.png";
    ASSERT_TRUE(gwt::make_text_image(img, 128, 96, BLOCK, {}));
    run_in_child([&] {
        Checks c;
        if (glyphwipe_init(models.c_str()) != 0)
            return 100;
        std::atomic<int> image{1000};
        std::thread runner = start(image, [&] { return glyphwipe_process_image(img.c_str(), out.c_str()); });
        wait_until_busy();
        c.expect(std::string(glyphwipe_last_error()) == "busy: glyphwipe_process_image is running", "busy text");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // well into the model run
        glyphwipe_cancel();
        runner.join();
        c.expect(image.load() == -2, "the image call was cancelled");
        c.expect(std::string(glyphwipe_last_error()) == "cancelled by glyphwipe_cancel()", "cancel text");
        c.expect(!gwt::file_exists(out) && gwt::temp_outputs_in(dir) == 0, "nothing written");
        // A cancel made while nothing runs does not reach the next call.
        glyphwipe_cancel();
        c.expect(glyphwipe_detect(img.c_str()) != nullptr, "a stale cancel is forgotten");
        return c.failed;
    });
}

// Many threads starting and releasing the engine at once: every call either
// works or is refused as busy; the engine is whole afterwards.
TEST(Concurrency, InitAndCleanupFromManyThreads)
{
    const std::string models = gwt::small_engine_dir(), dir = gwt::temp_dir(), img = dir + "/in.png";
    ASSERT_TRUE(gwt::make_text_image(img, 64, 48, "gradient", {}));
    run_in_child([&] {
        std::atomic<int> inits{0}, worked{0}, refused{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; t++) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 3; i++) {
                    glyphwipe_progress();
                    glyphwipe_cancel();
                    if ((t + i) % 3 == 2) {
                        glyphwipe_cleanup();
                        continue;
                    }
                    inits++;
                    if (glyphwipe_init(models.c_str()) == 0)
                        worked++;
                    else if (gwt::starts_with(glyphwipe_last_error(), "busy: glyphwipe_"))
                        refused++;
                }
            });
        }
        for (std::thread &t : threads)
            t.join();
        Checks c;
        c.expect(worked.load() + refused.load() == inits.load(), "every init worked or was refused as busy");
        c.expect(worked.load() > 0, "some init worked");
        c.expect(glyphwipe_init(models.c_str()) == 0, "init afterwards");
        c.expect(glyphwipe_detect(img.c_str()) != nullptr, "detect afterwards");
        return c.failed;
    });
}
