// Engine state as the options and the lifecycle leave it.
#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>
#include <string>

#include "glyphwipe.h"
#include "core/engine.h"
#include "test_support.h"

TEST(EngineState, InitSetsDefaultsAndCleanupClears)
{
    glyphwipe_set_option("threshold", "0.7");  // before init: replaced by the default
    std::string dir = gwt::small_engine_dir();
    ASSERT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
    EXPECT_FLOAT_EQ(gw_engine.opt.threshold, 0.3f);
    EXPECT_EQ(gw_engine.opt.inpaint_radius, 5);
    EXPECT_STREQ(gw_engine.opt.device, "cpu");
    EXPECT_STREQ(gw_engine.model_dir, dir.c_str());
    EXPECT_EQ(gw_engine.det_loaded, 1);
    EXPECT_EQ(gw_engine.fill_loaded, 1);
    EXPECT_EQ(gw_engine.det.input_count, 1);
    EXPECT_EQ(gw_engine.fill.input_count, 2);

    EXPECT_EQ(glyphwipe_set_option("threshold", "0.25"), 0);
    EXPECT_FLOAT_EQ(gw_engine.opt.threshold, 0.25f);
    EXPECT_EQ(glyphwipe_set_option("threshold", "2"), -1);
    EXPECT_FLOAT_EQ(gw_engine.opt.threshold, 0.25f);  // a rejected value changes nothing
    EXPECT_EQ(glyphwipe_set_option("inpaint_radius", "7"), 0);
    EXPECT_EQ(gw_engine.opt.inpaint_radius, 7);
    EXPECT_EQ(glyphwipe_set_option("inpaint_radius", ""), -1);
    EXPECT_EQ(gw_engine.opt.inpaint_radius, 7);
    EXPECT_EQ(glyphwipe_set_option("device", "cuda"), 0);
    EXPECT_STREQ(gw_engine.opt.device, "cpu");

    glyphwipe_cleanup();
    Engine zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&gw_engine, &zero, offsetof(Engine, error)), 0);  // all but the error text
}

TEST(EngineState, LongModelDirIsCut)
{
    // Longer than the record's 1023 bytes but short enough to join: the copy
    // is cut silently and loading then fails on the missing files.
    std::string dir(1500, 'm');
    EXPECT_EQ(glyphwipe_init(dir.c_str()), -1);
    EXPECT_EQ(gw_engine.det_loaded, 0);
    EXPECT_EQ(gw_engine.fill_loaded, 0);
    EXPECT_EQ(strlen(gw_engine.model_dir), 1023u);
}

TEST(EngineState, FailedFillModelReleasesDetector)
{
    std::string dir = gwt::model_dir_with(gwt::real_det_model(), gwt::test_model("not_a_model.onnx"));
    EXPECT_EQ(glyphwipe_init(dir.c_str()), -1);
    EXPECT_EQ(gw_engine.det_loaded, 0);
    EXPECT_EQ(gw_engine.fill_loaded, 0);
    EXPECT_EQ(gw_engine.det.session, nullptr);
    EXPECT_EQ(gw_engine.det.env, nullptr);
}

TEST(EngineState, CancelAndProgressFields)
{
    EXPECT_EQ(glyphwipe_cancel(), 0);
    EXPECT_EQ(gw_engine.cancel_requested, 1);
    gw_engine.progress = 42;
    EXPECT_EQ(glyphwipe_progress(), 42);
    glyphwipe_cleanup();
    EXPECT_EQ(glyphwipe_progress(), 0);
    EXPECT_EQ(gw_engine.cancel_requested, 0);
}

TEST(EngineState, ErrorTextIsCut)
{
    std::string opt(3000, 'o');
    EXPECT_EQ(glyphwipe_set_option(opt.c_str(), "1"), -1);
    EXPECT_EQ(strlen(glyphwipe_last_error()), (size_t)GW_ERRBUF_SIZE - 1);
    EXPECT_EQ(std::string(glyphwipe_last_error()).rfind("unknown option: ooo", 0), 0u);
}
