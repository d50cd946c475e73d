// Outputs and inputs as files: a full disk (a file size limit in a child
// process, which makes writes fail as on a full disk) at every stage of
// writing, URLs of protocols other than files, and inputs that are no
// regular files. A failed call returns -1 with the reason, leaves an
// existing output as it was and no partial or temporary file.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"
#include "test_video_util.h"

namespace {

// Writes past `bytes` fail with EFBIG from here on (SIGXFSZ ignored); only
// the soft limit moves, so that RLIM_INFINITY lifts it again.
void limit_file_size(rlim_t bytes)
{
    struct rlimit rl;
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &rl);
    rl.rlim_cur = bytes < rl.rlim_max ? bytes : rl.rlim_max;
    setrlimit(RLIMIT_FSIZE, &rl);
}

int report(int failed, const std::string &what, const std::string &error)
{
    fprintf(stderr, "failed: %s (error text: %s)\n", what.c_str(), error.c_str());
    return failed + 1;
}

void run_in_child(const std::function<int()> &body)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(120);
            int failed = body();
            glyphwipe_cleanup();
            exit(failed);
        },
        ::testing::ExitedWithCode(0), "");
}

class OutputFiles : public ::testing::Test {
protected:
    std::string dir, models;
    void SetUp() override
    {
        dir = gwt::temp_dir();
        // A brightness detector and a constant fill: quick, and text is found
        // and repainted on the test pictures.
        models = gwt::model_dir_with(gwt::test_model("det_bright.onnx"), gwt::test_model("inp_const.onnx"));
    }
};

const std::string BLOCKS = "color=c=black:s=160x96:r=10,drawbox=x=24:y=36:w=48:h=20:color=white:t=fill,"
                           "drawbox=x=100:y=60:w=40:h=16:color=white:t=fill";

} // namespace

// Every image format, with the disk full from the first byte and from the
// middle of the file: -1 "save failed: OUT (File too large)", the older file
// intact, nothing else in the folder.
TEST_F(OutputFiles, FullDiskWhileSavingAnImage)
{
    const std::string in = dir + "/in.png";
    ASSERT_TRUE(gwt::make_text_image(in, 160, 96, BLOCKS, {}));
    run_in_child([&] {
        int failed = 0;
        if (glyphwipe_init(models.c_str()) != 0)
            return 100;
        const std::vector<std::string> names = {"out.png", "out.bmp", "out.tga", "out.jpg"};
        std::vector<long long> sizes;
        for (const std::string &name : names) {
            glyphwipe_process_image(in.c_str(), (dir + "/full-" + name).c_str());
            sizes.push_back(gwt::file_size(dir + "/full-" + name));
        }
        for (size_t i = 0; i < names.size(); i++) {
            const std::string out = dir + "/" + names[i];
            for (rlim_t limit : {(rlim_t)0, (rlim_t)(sizes[i] / 2), (rlim_t)(sizes[i] - 1)}) {
                gwt::write_file(out, "older result");
                limit_file_size(limit);
                const int r = glyphwipe_process_image(in.c_str(), out.c_str());
                const std::string e = glyphwipe_last_error();
                limit_file_size(RLIM_INFINITY);
                const std::string what = names[i] + " limited to " + std::to_string(limit) + " bytes";
                if (r != -1 || e != "save failed: " + out + " (File too large)")
                    failed = report(failed, what + ": result", e);
                if (gwt::read_file(out) != "older result" || gwt::temp_outputs_in(dir) != 0)
                    failed = report(failed, what + ": files", e);
            }
        }
        return failed;
    });
}

// A video with the disk full at the header, in the middle, and at the very
// last byte (the MP4 index written by the trailer): -1 "cannot write OUT
// (File too large)", the older file intact, no temporary file; progress never
// says 100.
TEST_F(OutputFiles, FullDiskWhileWritingAVideo)
{
    const std::string in = dir + "/in.mp4", probe = dir + "/probe.mp4";
    ASSERT_TRUE(gwv::lavfi_clip(in, BLOCKS, 12, 10, true));
    run_in_child([&] {
        int failed = 0;
        if (glyphwipe_init(models.c_str()) != 0)
            return 100;
        if (glyphwipe_process_video(in.c_str(), probe.c_str()) != 0)
            return report(failed, "the unlimited run", glyphwipe_last_error());
        const long long size = gwt::file_size(probe);
        const std::string out = dir + "/out.mp4";
        for (rlim_t limit : {(rlim_t)16, (rlim_t)(size / 2), (rlim_t)(size - 1)}) {
            gwt::write_file(out, "older result");
            limit_file_size(limit);
            const int r = glyphwipe_process_video(in.c_str(), out.c_str());
            const std::string e = glyphwipe_last_error();
            limit_file_size(RLIM_INFINITY);
            const std::string what = "limited to " + std::to_string(limit) + " of " + std::to_string(size) + " bytes";
            if (r != -1 || e != "cannot write " + out + " (File too large)")
                failed = report(failed, what + ": result", e);
            if (glyphwipe_progress() == 100)
                failed = report(failed, what + ": progress 100", e);
            if (gwt::read_file(out) != "older result" || gwt::temp_outputs_in(dir) != 0)
                failed = report(failed, what + ": files", e);
        }
        return failed;
    });
}

// FFmpeg opens any protocol's URL: only files are taken. "file:" is taken
// away before the input and the output are compared, so the input cannot be
// named as its own output that way.
TEST_F(OutputFiles, ProtocolUrlsAreRefused)
{
    const std::string in = dir + "/in.mp4";
    ASSERT_TRUE(gwv::lavfi_clip(in, BLOCKS, 3, 10, false));
    ASSERT_EQ(glyphwipe_init(models.c_str()), 0) << glyphwipe_last_error();
    const std::string before = gwt::read_file(in);

    EXPECT_EQ(glyphwipe_process_video(in.c_str(), ("file:" + in).c_str()), -1);
    EXPECT_EQ(std::string(glyphwipe_last_error()), "output is the same file as the input: file:" + in);
    EXPECT_EQ(glyphwipe_process_video(("file:" + in).c_str(), in.c_str()), -1);
    EXPECT_EQ(std::string(glyphwipe_last_error()), "output is the same file as the input: " + in);
    EXPECT_TRUE(gwt::read_file(in) == before);

    for (const std::string &url : {std::string("pipe:1"), std::string("http://127.0.0.1:9/x.mp4"),
                                   "concat:" + in + "|" + in, "subfile,,start,0,end,0,,:" + in, "async:file:" + in,
                                   std::string("tcp://127.0.0.1:9"), std::string("FILE:") + in,
                                   std::string("relative:name.mp4")}) {
        EXPECT_EQ(glyphwipe_process_video(url.c_str(), (dir + "/o.mp4").c_str()), -1) << url;
        EXPECT_EQ(std::string(glyphwipe_last_error()), "protocol URLs are not accepted: " + url);
        EXPECT_EQ(glyphwipe_process_video_region(in.c_str(), url.c_str(), 0, 50), -1) << url;
        EXPECT_EQ(std::string(glyphwipe_last_error()), "protocol URLs are not accepted: " + url);
    }
    EXPECT_FALSE(gwt::file_exists(dir + "/o.mp4"));
    EXPECT_FALSE(gwt::file_exists("pipe:1"));

    // A plain "file:" URL is the file; a name with a colon is a file when it
    // does not read as a protocol ("./a:b").
    ASSERT_EQ(glyphwipe_process_video(("file:" + in).c_str(), ("file:" + dir + "/o.mp4").c_str()), 0)
        << glyphwipe_last_error();
    EXPECT_EQ(gwv::count_frames(dir + "/o.mp4"), 3);
    ASSERT_EQ(symlink(in.c_str(), (dir + "/a:b.mp4").c_str()), 0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_EQ(glyphwipe_process_video("./a:b.mp4", "./c:d.mp4"), 0) << glyphwipe_last_error();
    EXPECT_TRUE(gwt::file_exists(dir + "/c:d.mp4"));
    EXPECT_EQ(chdir(cwd), 0);
    glyphwipe_cleanup();
}

// A FIFO as the input would block the call for ever (no writer comes); a
// folder or a device is no input either. Refused at once, in a child with an
// alarm in case it blocks.
TEST_F(OutputFiles, InputsThatAreNoRegularFiles)
{
    const std::string fifo = dir + "/in.mp4", img_fifo = dir + "/in.png";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(img_fifo.c_str(), 0600), 0);
    run_in_child([&] {
        int failed = 0;
        if (glyphwipe_init(models.c_str()) != 0)
            return 100;
        for (const std::string &in : {fifo, dir, std::string("/dev/zero"), "file:" + fifo}) {
            const int r = glyphwipe_process_video(in.c_str(), (dir + "/o.mp4").c_str());
            const std::string e = glyphwipe_last_error();
            if (r != -1 || e != "not a regular file: " + in)
                failed = report(failed, "video from " + in, e);
        }
        const char *json = glyphwipe_detect(img_fifo.c_str());
        if (json || std::string(glyphwipe_last_error()) != "not a regular file: " + img_fifo)
            failed = report(failed, "detect from a FIFO", glyphwipe_last_error());
        if (glyphwipe_process_image(img_fifo.c_str(), (dir + "/o.png").c_str()) != -1)
            failed = report(failed, "image from a FIFO", glyphwipe_last_error());
        if (gwt::file_exists(dir + "/o.mp4") || gwt::file_exists(dir + "/o.png"))
            failed = report(failed, "an output was written", "");
        return failed;
    });
}
