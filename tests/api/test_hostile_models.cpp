// Model folders that are broken or hold the wrong networks, through the
// public API: missing, empty, truncated and non-model files fail glyphwipe_init
// with a message naming the model; networks of the wrong kind load but every
// operation then fails cleanly (detection) or leaves the picture untouched
// with the one diagnostic line (inpainting).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"

namespace {

const char *DET = "ch_PP-OCRv4_det_infer.onnx";
const char *LAMA = "lama_fp32.onnx";

class HostileModels : public ::testing::Test {
protected:
    static std::string dir, img;
    static void SetUpTestSuite()
    {
        dir = gwt::temp_dir();
        img = dir + "/text.png";
        gwt::make_text_image(img, 320, 120, "gradient", {{"Wrong model", 16, 36, 44, "white", 2, "black"}});
    }
    void SetUp() override { ASSERT_TRUE(gwt::file_exists(img)); }
    void TearDown() override { glyphwipe_cleanup(); }

    // With no engine, every operation says so and writes nothing.
    void expect_not_initialized(const std::string &what)
    {
        std::string out = gwt::temp_dir() + "/o.png";
        EXPECT_EQ(glyphwipe_detect(img.c_str()), nullptr) << what;
        EXPECT_STREQ(glyphwipe_last_error(), gwt::NOT_INIT) << what;
        EXPECT_EQ(glyphwipe_process_image(img.c_str(), out.c_str()), -1) << what;
        EXPECT_STREQ(glyphwipe_last_error(), gwt::NOT_INIT) << what;
        EXPECT_EQ(glyphwipe_process_video(img.c_str(), (gwt::temp_dir() + "/o.mp4").c_str()), -1) << what;
        EXPECT_FALSE(gwt::file_exists(out)) << what;
    }
};
std::string HostileModels::dir, HostileModels::img;

// Folders that cannot give an engine: init fails naming the model that did
// not load, and the library stays uninitialised.
TEST_F(HostileModels, BrokenFoldersFailInit)
{
    struct Case {
        std::string what, folder, prefix;
    };
    std::string det = gwt::real_det_model(), lama = gwt::real_lama_model();
    std::vector<Case> cases = {
        {"no such folder", dir + "/nowhere", "load det model failed: "},
        {"empty folder", gwt::temp_dir(), "load det model failed: "},
        {"fill model missing", gwt::model_dir_with(det, ""), "load lama model failed: "},
        {"detector missing", gwt::model_dir_with("", lama), "load det model failed: "},
        {"folder is a file", img, "load det model failed: "},
    };
    for (const char *bad : {"empty.onnx", "truncated.onnx", "not_a_model.onnx"}) {
        cases.push_back({std::string("det ") + bad, gwt::model_dir_with(gwt::test_model(bad), lama),
                         "load det model failed: "});
        cases.push_back({std::string("fill ") + bad, gwt::model_dir_with(det, gwt::test_model(bad)),
                         "load lama model failed: "});
    }
    // A folder where the detector file should be; a link to nothing.
    std::string d1 = gwt::model_dir_with("", lama);
    ASSERT_EQ(mkdir((d1 + "/" + DET).c_str(), 0755), 0);
    cases.push_back({"detector is a folder", d1, "load det model failed: "});
    std::string d2 = gwt::model_dir_with(det, "");
    ASSERT_EQ(symlink((d2 + "/gone.onnx").c_str(), (d2 + "/" + LAMA).c_str()), 0);
    cases.push_back({"fill model is a dangling link", d2, "load lama model failed: "});
    // The real model cut in half.
    std::string d3 = gwt::temp_dir();
    std::string det_bytes = gwt::read_file(det);
    gwt::write_file(d3 + "/" + DET, det_bytes.substr(0, det_bytes.size() / 2));
    ASSERT_EQ(symlink(lama.c_str(), (d3 + "/" + LAMA).c_str()), 0);
    cases.push_back({"detector cut in half", d3, "load det model failed: "});

    for (const Case &c : cases) {
        EXPECT_EQ(glyphwipe_init(c.folder.c_str()), -1) << c.what;
        std::string err = glyphwipe_last_error();
        EXPECT_TRUE(gwt::starts_with(err, c.prefix)) << c.what << ": " << err;
        EXPECT_GT(err.size(), c.prefix.size()) << c.what << ": no reason given";
        expect_not_initialized(c.what);
    }
    // A failing init over a working engine leaves none behind.
    ASSERT_EQ(glyphwipe_init(gwt::models_dir().c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(glyphwipe_init(cases[0].folder.c_str()), -1);
    expect_not_initialized("failed re-init");
    printf("broken model folders tried: %zu\n", cases.size() + 1);
}

// Detectors of the wrong kind: init may accept them, but every operation
// fails with a detection message and writes nothing.
TEST_F(HostileModels, WrongDetectorFailsEveryOperation)
{
    std::string lama = gwt::real_lama_model();
    const std::vector<std::string> wrong = {gwt::test_model("two_inputs.onnx"), gwt::test_model("no_inputs.onnx"),
                                            gwt::test_model("out_int64.onnx"), gwt::test_model("five_outputs.onnx"),
                                            gwt::test_model("det_fail_run.onnx"), lama};
    for (const std::string &m : wrong) {
        std::string models = gwt::model_dir_with(m, lama);
        if (glyphwipe_init(models.c_str()) != 0) {
            EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), "load det model failed: ")) << m;
            expect_not_initialized(m);
            continue;
        }
        std::string out = gwt::temp_dir() + "/o.png";
        EXPECT_EQ(glyphwipe_detect(img.c_str()), nullptr) << m;
        std::string err = glyphwipe_last_error();
        EXPECT_NE(err, "no error") << m;
        EXPECT_EQ(glyphwipe_process_image(img.c_str(), out.c_str()), -1) << m;
        EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), "detect: ")) << m << ": " << glyphwipe_last_error();
        EXPECT_FALSE(gwt::file_exists(out)) << m;
        glyphwipe_cleanup();
    }
    printf("wrong detectors tried: %zu\n", wrong.size());
}

// Fill models of the wrong kind: the text is found, the fill fails with one
// "[inpaint] LAMA FAIL: " line per region, the call succeeds and every pixel
// is left as it was.
TEST_F(HostileModels, WrongFillModelLeavesPictureUntouched)
{
    int w0, h0;
    std::vector<unsigned char> before;
    ASSERT_TRUE(gwt::load_rgb(img, w0, h0, before));
    const std::vector<std::string> wrong = {
        gwt::test_model("inp_one_input.onnx"),   gwt::test_model("inp_shape_wider.onnx"),
        gwt::test_model("inp_shape_smaller.onnx"), gwt::test_model("inp_shape_hwc.onnx"),
        gwt::test_model("inp_shape_3d.onnx"),    gwt::test_model("inp_shape_1d.onnx"),
        gwt::test_model("inp_fail.onnx"),        gwt::test_model("five_inputs.onnx"),
        gwt::test_model("out_int64.onnx"),       gwt::test_model("out_zero.onnx"),
        gwt::real_det_model(),
    };
    for (const std::string &m : wrong) {
        std::string models = gwt::model_dir_with(gwt::real_det_model(), m);
        if (glyphwipe_init(models.c_str()) != 0) {
            EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), "load lama model failed: ")) << m;
            continue;
        }
        const char *json = glyphwipe_detect(img.c_str());
        ASSERT_NE(json, nullptr) << m << ": " << glyphwipe_last_error();
        ASSERT_NE(std::string(json), "[]") << "no text found, the fill would not run";

        std::string out = gwt::temp_dir() + "/o.png";
        testing::internal::CaptureStderr();
        int ret = glyphwipe_process_image(img.c_str(), out.c_str());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ret, 0) << m << ": " << glyphwipe_last_error();
        EXPECT_STREQ(glyphwipe_last_error(), "no error") << m;
        // The runtime may log its own line first.
        EXPECT_NE(log.find("[inpaint] LAMA FAIL: "), std::string::npos) << m << ": " << log;
        int w, h;
        std::vector<unsigned char> after;
        ASSERT_TRUE(gwt::load_rgb(out, w, h, after)) << m;
        EXPECT_TRUE(w == w0 && h == h0 && after == before) << m << ": pixels changed";
        glyphwipe_cleanup();
    }
    printf("wrong fill models tried: %zu\n", wrong.size());
}

// A fill model that fails through a whole video: every picture passes
// through, the run succeeds.
TEST_F(HostileModels, WrongFillModelThroughVideo)
{
    std::string models = gwt::model_dir_with(gwt::real_det_model(), gwt::test_model("inp_shape_wider.onnx"));
    ASSERT_EQ(glyphwipe_init(models.c_str()), 0) << glyphwipe_last_error();
    std::string d = gwt::temp_dir(), in = d + "/in.mp4", out = d + "/out.mp4";
    ASSERT_TRUE(gwt::make_text_clip(in, 128, 72, 0.5, 10, {{"Fill fails", 8, 20, 24, "white", 2, "black"}}, false));
    testing::internal::CaptureStderr();
    int ret = glyphwipe_process_video(in.c_str(), out.c_str());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ret, 0) << glyphwipe_last_error();
    EXPECT_NE(log.find("[inpaint] LAMA FAIL: "), std::string::npos);
    EXPECT_TRUE(gwt::file_exists(out));
    EXPECT_EQ(glyphwipe_progress(), 100);
}

} // namespace
