// The session layer against small generated models and the real detector.
#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

#include "inference/ort_helpers.h"
#include "test_support.h"

static bool all_zero(const void *p, size_t n)
{
    const unsigned char *b = (const unsigned char *)p;
    for (size_t i = 0; i < n; i++)
        if (b[i])
            return false;
    return true;
}

static std::vector<int64_t> dims(const TensorShape &t) { return {t.n, t.c, t.h, t.w}; }

struct Session : ::testing::Test {
    ModelSession s;
    char msg[512];
    void SetUp() override
    {
        memset(&s, 0xAB, sizeof s);  // creation must clear whatever was there
        memset(msg, 0, sizeof msg);
    }
    void TearDown() override { ort_session_destroy(&s); }
    int open(const char *name) { return ort_session_create(gwt::test_model(name).c_str(), &s, msg, sizeof msg); }

    // A model that cannot be loaded: -1, a message starting with `prefix`
    // (none at all for a null prefix), and the record left all zero.
    void expect_refused(const char *name, const char *prefix)
    {
        SCOPED_TRACE(name);
        memset(msg, 0, sizeof msg);
        EXPECT_EQ(open(name), -1);
        if (prefix) {
            EXPECT_TRUE(gwt::starts_with(msg, prefix)) << msg;
        } else {
            EXPECT_STREQ(msg, "");
        }
        EXPECT_TRUE(all_zero(&s, sizeof s));
    }
};

TEST_F(Session, RealDetectorLoads)
{
    ASSERT_EQ(ort_session_create(gwt::real_det_model().c_str(), &s, msg, sizeof msg), 0) << msg;
    EXPECT_NE(s.session, nullptr);
    EXPECT_NE(s.env, nullptr);
    EXPECT_EQ(s.input_count, 1);
    EXPECT_EQ(s.output_count, 1);
    EXPECT_STRNE(s.input_names[0], "");
    EXPECT_STRNE(s.output_names[0], "");
    EXPECT_TRUE(all_zero(s.input_names[1], sizeof s.input_names[1] * 3));
}

TEST_F(Session, MissingFile)
{
    expect_refused("does_not_exist.onnx", "CreateSession: ");
}

TEST_F(Session, BrokenFiles)
{
    for (const char *bad : {"empty.onnx", "truncated.onnx", "not_a_model.onnx"})
        expect_refused(bad, "CreateSession: ");
}

TEST_F(Session, TooManyInputsOrOutputsRefusedSilently)
{
    expect_refused("five_inputs.onnx", nullptr);
    expect_refused("five_outputs.onnx", nullptr);
}

TEST_F(Session, NoInputsAccepted)
{
    ASSERT_EQ(open("no_inputs.onnx"), 0) << msg;
    EXPECT_EQ(s.input_count, 0);
    EXPECT_EQ(s.output_count, 1);
    EXPECT_TRUE(all_zero(s.input_names, sizeof s.input_names));
}

TEST_F(Session, LongNamesCut)
{
    ASSERT_EQ(open("long_names.onnx"), 0) << msg;
    EXPECT_EQ(strlen(s.input_names[0]), 255u);
    EXPECT_EQ(strlen(s.output_names[0]), 255u);
    EXPECT_EQ(std::string(s.input_names[0]), std::string(255, 'i'));
}

TEST_F(Session, NullMessageBuffer)
{
    EXPECT_EQ(ort_session_create(gwt::test_model("missing.onnx").c_str(), &s, nullptr, 0), -1);
    EXPECT_EQ(ort_session_create(gwt::test_model("missing.onnx").c_str(), &s, msg, 0), -1);
    EXPECT_STREQ(msg, "");
}

TEST_F(Session, DestroyIsIdempotent)
{
    ModelSession z;
    memset(&z, 0, sizeof z);
    ort_session_destroy(&z);
    ort_session_destroy(&z);
    EXPECT_TRUE(all_zero(&z, sizeof z));
    ASSERT_EQ(open("scale2.onnx"), 0);
    ort_session_destroy(&s);
    ort_session_destroy(&s);
    EXPECT_TRUE(all_zero(&s, sizeof s));
}

// --- runs -----------------------------------------------------------------

struct Run : Session {
    std::vector<float> in, out;
    TensorShape in_shape{1, 1, 2, 3}, out_shape{1, 1, 0, 0};
    size_t cap = 0;
    // Opens the model with a zero 1x1x2x3 input and an output buffer of out_n zeros.
    int open_with(const char *name, size_t out_n)
    {
        in.assign(6, 0);
        out.assign(out_n, 0);
        return open(name);
    }
    int run(float *const *inputs, const TensorShape *shapes, int n_inputs)
    {
        float *op = out.data();
        cap = out.size();
        return ort_session_run(&s, inputs, shapes, n_inputs, &op, &out_shape, &cap, 1, msg, sizeof msg);
    }
    int run1()
    {
        float *ip = in.data();
        return run(&ip, &in_shape, 1);
    }
};

TEST_F(Run, FourDimensionalOutputShapeComesBack)
{
    ASSERT_EQ(open_with("scale2.onnx", 6), 0);
    in = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(run1(), 0) << msg;
    EXPECT_EQ(dims(out_shape), (std::vector<int64_t>{1, 1, 2, 3}));
    EXPECT_EQ(out, (std::vector<float>{2, 4, 6, 8, 10, 12}));
}

TEST_F(Run, OneDimensionalOutput)
{
    ASSERT_EQ(open_with("out_1d7.onnx", 7), 0);
    out.assign(7, -1);
    ASSERT_EQ(run1(), 0) << msg;
    EXPECT_EQ(dims(out_shape), (std::vector<int64_t>{1, 1, 1, 7}));
    EXPECT_EQ(out, (std::vector<float>{0, 1, 2, 3, 4, 5, 6}));
}

TEST_F(Run, ThreeDimensionalOutputKeepsCallerShape)
{
    ASSERT_EQ(open_with("out_3d.onnx", 24), 0);
    // The caller's shape has a zero dimension: empty.
    EXPECT_EQ(run1(), -1);
    EXPECT_STREQ(msg, "out[0] empty");
    // With a complete caller shape the produced data is copied.
    out_shape = {1, 2, 3, 4};
    memset(msg, 0, sizeof msg);
    EXPECT_EQ(run1(), 0) << msg;
    EXPECT_EQ(out[23], 1.0f);
    // A caller shape larger than what was produced is refused, never over-read.
    out_shape = {1, 2, 3, 8};
    out.assign(48, 0);
    EXPECT_EQ(run1(), -1);
    EXPECT_NE(std::string(msg).find("does not match"), std::string::npos) << msg;
}

TEST_F(Run, EmptyOutput)
{
    ASSERT_EQ(open_with("out_zero.onnx", 20), 0);
    EXPECT_EQ(run1(), -1);
    EXPECT_STREQ(msg, "out[0] empty");
}

TEST_F(Run, FiveDimensionalOutputUsesFirstFour)
{
    ASSERT_EQ(open_with("out_5d.onnx", 24), 0);
    ASSERT_EQ(run1(), 0) << msg;
    EXPECT_EQ(out_shape.h, 2);
    EXPECT_EQ(out_shape.w, 3);
}

TEST_F(Run, OutputLargerThanBufferRefused)
{
    ASSERT_EQ(open("scale2.onnx"), 0);
    in.assign(6, 1);
    std::vector<float> guard(16, 42.0f);  // out is the first 5 floats of guard
    float *ip = in.data(), *op = guard.data();
    size_t small = 5;
    EXPECT_EQ(ort_session_run(&s, &ip, &in_shape, 1, &op, &out_shape, &small, 1, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "out[0] too large: 6 elements, room for 5");
    for (float g : guard)
        EXPECT_EQ(g, 42.0f);
}

TEST_F(Run, NonFloatOutputsRefused)
{
    for (const char *m : {"out_int64.onnx", "out_uint8.onnx"}) {
        SCOPED_TRACE(m);
        ASSERT_EQ(open_with(m, 20), 0);
        memset(msg, 0, sizeof msg);
        EXPECT_EQ(run1(), -1);
        EXPECT_NE(std::string(msg).find("not float32"), std::string::npos) << msg;
        ort_session_destroy(&s);
    }
}

TEST_F(Run, MoreInputsThanTheModelHas)
{
    ASSERT_EQ(open_with("add2.onnx", 6), 0);
    std::vector<float> a(6, 1);
    float *ins[3] = {a.data(), a.data(), a.data()};
    TensorShape shapes[3] = {in_shape, in_shape, in_shape};
    EXPECT_EQ(run(ins, shapes, 3), -1);
    EXPECT_STREQ(msg, "");
    // Two inputs bound by position.
    std::vector<float> b = {1, 2, 3, 4, 5, 6};
    ins[1] = b.data();
    ASSERT_EQ(run(ins, shapes, 2), 0) << msg;
    EXPECT_EQ(out, (std::vector<float>{2, 3, 4, 5, 6, 7}));
}

TEST_F(Run, FailingRunReportsRuntimeText)
{
    ASSERT_EQ(open_with("fail_run.onnx", 6), 0);
    EXPECT_EQ(run1(), -1);
    EXPECT_TRUE(gwt::starts_with(msg, "SessionRun: ")) << msg;
    EXPECT_GT(strlen(msg), strlen("SessionRun: "));
    // No message buffer: still fails.
    float *ip = in.data(), *op = out.data();
    size_t c = 6;
    EXPECT_EQ(ort_session_run(&s, &ip, &in_shape, 1, &op, &out_shape, &c, 1, nullptr, 0), -1);
}

TEST_F(Run, BadInputTensor)
{
    ASSERT_EQ(open_with("add2.onnx", 6), 0);
    std::vector<float> a(6, 1);
    float *ins[2] = {a.data(), a.data()};
    TensorShape shapes[2] = {in_shape, {1, 1, -1, 3}};  // a negative dimension for input 1
    EXPECT_EQ(run(ins, shapes, 2), -1);
    EXPECT_TRUE(gwt::starts_with(msg, "CreateTensor in[1]: ")) << msg;
}

TEST_F(Run, EmptySessionRefused)
{
    memset(&s, 0, sizeof s);
    in.assign(6, 0);
    out.assign(6, 0);
    EXPECT_EQ(run1(), -1);
}
