// The "log" option through the public API: the runtime's own messages on
// standard error during a model run that fails, shown by default ("errors")
// and hidden with "none", while the library's error text stays the same.
#include <gtest/gtest.h>

#include <string>

#include "glyphwipe.h"
#include "test_support.h"

namespace {

// Standard error (the file descriptor, where the runtime writes) during one
// detection whose model fails inside the run; *error gets the library's text.
std::string stderr_of_failing_detect(const std::string &image, std::string *error)
{
    testing::internal::CaptureStderr();
    const char *json = glyphwipe_detect(image.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(json, nullptr);
    *error = glyphwipe_last_error();
    return err;
}

TEST(LogOption, AcceptAndReject)
{
    for (const char *bad : {"", "warnings", "None", "errors ", "0"}) {
        EXPECT_EQ(glyphwipe_set_option("log", bad), -1) << bad;
        EXPECT_STREQ(glyphwipe_last_error(), "log must be errors or none") << bad;
    }
    EXPECT_EQ(glyphwipe_set_option("log", "none"), 0);
    EXPECT_EQ(glyphwipe_set_option("log", "errors"), 0);
}

TEST(LogOption, HidesTheRuntimesMessagesOnly)
{
    const std::string dir = gwt::temp_dir();
    const std::string image = dir + "/white_block.png";
    ASSERT_EQ(gwt::run("ffmpeg -nostdin -y -loglevel error -f lavfi -i "
                       "'color=c=black:s=160x96,drawbox=x=40:y=30:w=60:h=24:color=white:t=fill' "
                       "-frames:v 1 " + gwt::sh_quote(image)), 0);
    const std::string models = gwt::model_dir_with(gwt::test_model("det_fail_run.onnx"), gwt::real_lama_model());
    ASSERT_EQ(glyphwipe_init(models.c_str()), 0) << glyphwipe_last_error();

    std::string shown_error, hidden_error;
    const std::string shown = stderr_of_failing_detect(image, &shown_error);  // the default
    EXPECT_NE(shown.find("onnxruntime"), std::string::npos) << shown;

    ASSERT_EQ(glyphwipe_set_option("log", "none"), 0);
    const std::string hidden = stderr_of_failing_detect(image, &hidden_error);
    EXPECT_EQ(hidden, "");
    EXPECT_EQ(hidden_error, shown_error);
    EXPECT_NE(hidden_error.find("SessionRun"), std::string::npos) << hidden_error;

    // glyphwipe_init resets it with the other options.
    ASSERT_EQ(glyphwipe_init(models.c_str()), 0) << glyphwipe_last_error();
    const std::string again = stderr_of_failing_detect(image, &shown_error);
    EXPECT_NE(again.find("onnxruntime"), std::string::npos) << again;
    glyphwipe_cleanup();
}

} // namespace
