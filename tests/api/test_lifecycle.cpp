// Lifecycle, options and error text through the exported functions only.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "glyphwipe.h"
#include "test_support.h"

using gwt::NOT_INIT;

// An operation gets past the initialisation test (and fails on its null path).
static bool engine_ready()
{
    return glyphwipe_detect(nullptr) == nullptr && strcmp(glyphwipe_last_error(), "detect: NULL path") == 0;
}

// An operation is refused for want of an engine.
static bool engine_missing()
{
    return glyphwipe_detect("x.png") == nullptr && strcmp(glyphwipe_last_error(), NOT_INIT) == 0;
}

TEST(Lifecycle, FreshLibraryState)
{
    EXPECT_STREQ(glyphwipe_last_error(), "no error");
    EXPECT_EQ(glyphwipe_progress(), 0);
    EXPECT_EQ(glyphwipe_cancel(), 0);
    glyphwipe_cleanup();
    glyphwipe_cleanup();
    EXPECT_STREQ(glyphwipe_last_error(), "no error");
}

TEST(Lifecycle, OperationsNeedInit)
{
    EXPECT_TRUE(engine_missing()) << glyphwipe_last_error();
    EXPECT_EQ(glyphwipe_process_image("a.png", "b.png"), -1);
    EXPECT_STREQ(glyphwipe_last_error(), NOT_INIT);
    EXPECT_EQ(glyphwipe_process_video("a.mp4", "b.mp4"), -1);
    EXPECT_STREQ(glyphwipe_last_error(), NOT_INIT);
    EXPECT_EQ(glyphwipe_process_video_region(nullptr, nullptr, 10, 20), -1);
    EXPECT_STREQ(glyphwipe_last_error(), NOT_INIT);
}

TEST(Lifecycle, InitAndCleanup)
{
    std::string dir = gwt::small_engine_dir();
    ASSERT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
    EXPECT_STREQ(glyphwipe_last_error(), "no error");
    EXPECT_TRUE(engine_ready()) << glyphwipe_last_error();
    EXPECT_EQ(glyphwipe_process_image("a.png", nullptr), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "process_image: NULL path");
    EXPECT_EQ(glyphwipe_process_video(nullptr, "b.mp4"), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "process_video: NULL path");
    glyphwipe_cleanup();
    // The last message survives cleanup; operations fail again.
    EXPECT_STREQ(glyphwipe_last_error(), "process_video: NULL path");
    EXPECT_TRUE(engine_missing()) << glyphwipe_last_error();
}

TEST(Lifecycle, SecondInitKeepsWorking)
{
    std::string dir = gwt::small_engine_dir();
    ASSERT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
    ASSERT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
    EXPECT_TRUE(engine_ready()) << glyphwipe_last_error();
    glyphwipe_cleanup();
}

TEST(Lifecycle, FailedInitsKeepAnEarlierInit)
{
    std::string dir = gwt::small_engine_dir();
    ASSERT_EQ(glyphwipe_init(dir.c_str()), 0);
    EXPECT_EQ(glyphwipe_init(nullptr), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "model_dir is NULL");
    std::string too_long(2021, 'd');
    EXPECT_EQ(glyphwipe_init(too_long.c_str()), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "model_dir path too long");
    EXPECT_TRUE(engine_ready()) << glyphwipe_last_error();
    glyphwipe_cleanup();
}

TEST(Lifecycle, PathLengthBound)
{
    // 2020 bytes passes the length test and fails later, at loading.
    std::string dir(2020, 'd');
    EXPECT_EQ(glyphwipe_init(dir.c_str()), -1);
    EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), "load det model failed: CreateSession: "))
        << glyphwipe_last_error();
}

TEST(Lifecycle, MissingModels)
{
    std::string empty = gwt::temp_dir();
    EXPECT_EQ(glyphwipe_init(empty.c_str()), -1);
    std::string err = glyphwipe_last_error();
    EXPECT_TRUE(gwt::starts_with(err, "load det model failed: CreateSession: ")) << err;
    EXPECT_NE(err.find("ch_PP-OCRv4_det_infer.onnx"), std::string::npos) << err;
    EXPECT_TRUE(engine_missing()) << glyphwipe_last_error();

    std::string only_det = gwt::model_dir_with(gwt::real_det_model(), "");
    EXPECT_EQ(glyphwipe_init(only_det.c_str()), -1);
    EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), "load lama model failed: CreateSession: "))
        << glyphwipe_last_error();
    EXPECT_TRUE(engine_missing()) << glyphwipe_last_error();
}

TEST(Lifecycle, BrokenModelFiles)
{
    const std::string two_inputs = gwt::test_model("two_inputs.onnx");
    for (const char *bad : {"empty.onnx", "truncated.onnx", "not_a_model.onnx"}) {
        SCOPED_TRACE(bad);
        std::string dir = gwt::model_dir_with(gwt::test_model(bad), two_inputs);
        EXPECT_EQ(glyphwipe_init(dir.c_str()), -1);
        EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), "load det model failed: CreateSession: "))
            << glyphwipe_last_error();
        dir = gwt::model_dir_with(gwt::real_det_model(), gwt::test_model(bad));
        EXPECT_EQ(glyphwipe_init(dir.c_str()), -1);
        EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), "load lama model failed: CreateSession: "))
            << glyphwipe_last_error();
    }
    // A model with five outputs cannot be held: no message from the session layer.
    std::string dir = gwt::model_dir_with(gwt::real_det_model(), gwt::test_model("five_outputs.onnx"));
    EXPECT_EQ(glyphwipe_init(dir.c_str()), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "load lama model failed: ");
}

TEST(Lifecycle, TrailingSeparatorStillLoads)
{
    std::string dir = gwt::small_engine_dir() + "/";
    EXPECT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
    glyphwipe_cleanup();
}

TEST(Lifecycle, InitCleanupCycles)
{
    std::string dir = gwt::small_engine_dir();
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
        glyphwipe_cleanup();
    }
}

TEST(Options, AcceptAndReject)
{
    const char *THRESHOLD = "threshold must be in (0,1)", *RADIUS = "inpaint_radius must be 0..128";
    const struct {
        const char *option, *value;
        int result;
        const char *error;  // expected error text after a rejection
    } cases[] = {
        // One rule for every number: the whole text, digits with an optional
        // '-' and (for the threshold) '.' and digits; nothing around it.
        {"threshold", "0.5", 0, nullptr},
        {"threshold", "0.0001", 0, nullptr},
        {"threshold", "00.25", 0, nullptr},
        {"threshold", " 0.5", -1, THRESHOLD},
        {"threshold", "0.5 ", -1, THRESHOLD},
        {"threshold", "+0.5", -1, THRESHOLD},
        {"threshold", ".5", -1, THRESHOLD},
        {"threshold", "0.", -1, THRESHOLD},
        {"threshold", "0,5", -1, THRESHOLD},
        {"threshold", "5e-1", -1, THRESHOLD},
        {"threshold", "0x0.8p0", -1, THRESHOLD},
        {"threshold", "0", -1, THRESHOLD},
        {"threshold", "1", -1, THRESHOLD},
        {"threshold", "", -1, THRESHOLD},
        {"threshold", "abc", -1, THRESHOLD},
        {"threshold", "nan", -1, THRESHOLD},
        {"threshold", "inf", -1, THRESHOLD},
        {"inpaint_radius", "0", 0, nullptr},
        {"inpaint_radius", "128", 0, nullptr},
        {"inpaint_radius", "007", 0, nullptr},
        {"inpaint_radius", "-0", 0, nullptr},
        {"inpaint_radius", "+7", -1, RADIUS},
        {"inpaint_radius", " 5", -1, RADIUS},
        {"inpaint_radius", "5 ", -1, RADIUS},
        {"inpaint_radius", "5\n", -1, RADIUS},
        {"inpaint_radius", "", -1, RADIUS},
        {"inpaint_radius", "129", -1, RADIUS},
        {"inpaint_radius", "-1", -1, RADIUS},
        {"inpaint_radius", "5.0", -1, RADIUS},
        {"inpaint_radius", "0x10", -1, RADIUS},
        {"inpaint_radius", "99999999999", -1, RADIUS},
        {"inpaint_radius", "-99999999999999999999", -1, RADIUS},
        {"device", "cpu", 0, nullptr},
        {"device", "cuda", 0, nullptr},
        {"device", "CPU", -1, "device must be cpu or cuda"},
        {"device", "gpu", -1, "device must be cpu or cuda"},
        {"Threshold", "0.5", -1, "unknown option: Threshold"},
        {"", "1", -1, "unknown option: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.option) + "=" + c.value);
        glyphwipe_set_option("device", "cpu");  // leaves the error text alone
        EXPECT_EQ(glyphwipe_set_option(c.option, c.value), c.result);
        if (c.error) {
            EXPECT_STREQ(glyphwipe_last_error(), c.error);
        }
    }
    EXPECT_EQ(glyphwipe_set_option(nullptr, "1"), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "set_option: NULL arg");
    EXPECT_EQ(glyphwipe_set_option("threshold", nullptr), -1);
    EXPECT_STREQ(glyphwipe_last_error(), "set_option: NULL arg");
}

TEST(Options, AcceptedOptionLeavesErrorText)
{
    glyphwipe_set_option("bogus", "1");
    EXPECT_EQ(glyphwipe_set_option("threshold", "0.4"), 0);
    EXPECT_STREQ(glyphwipe_last_error(), "unknown option: bogus");
}
