// Model sessions over the ONNX Runtime C API table (API version 27).
#include "ort_helpers.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include <onnxruntime_c_api.h>

#if defined(_WIN32)
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>
#endif

#define GW_ORT_API_VERSION 27

static const OrtApi *ort_api(void)
{
    const OrtApiBase *base = OrtGetApiBase();
    return base ? base->GetApi(GW_ORT_API_VERSION) : NULL;
}

/* Releases the status of a call whose failure needs no action of its own. */
static void ignore_status(const OrtApi *api, OrtStatus *st)
{
    if (st)
        api->ReleaseStatus(st);
}

/* Least severity of the runtime's own messages (on standard error) for the
 * runs that start from now on. Set between calls, read by the running one. */
static std::atomic<int> run_log_level(ORT_LOGGING_LEVEL_ERROR);

void ort_set_log_quiet(int quiet)
{
    run_log_level.store(quiet ? ORT_LOGGING_LEVEL_FATAL : ORT_LOGGING_LEVEL_ERROR, std::memory_order_relaxed);
}

/* snprintf into an optional message buffer. */
#define MSG(...)                                  \
    do {                                          \
        if (msg && msg_size)                      \
            snprintf(msg, msg_size, __VA_ARGS__); \
    } while (0)

int ort_session_create(const char *model_path, ModelSession *out, char *msg, size_t msg_size)
{
    const OrtApi *api = ort_api();
    OrtEnv *env = NULL;
    OrtSessionOptions *opts = NULL;
    OrtMemoryInfo *mem = NULL;
    OrtAllocator *alloc = NULL;
    OrtStatus *st = NULL;
    size_t n_in = 0, n_out = 0;
    int ret = -1;

    memset(out, 0, sizeof *out);
    if (!api) {
        MSG("ONNX Runtime offers no API version %d", GW_ORT_API_VERSION);
        return -1;
    }
    if ((st = api->CreateEnv(ORT_LOGGING_LEVEL_ERROR, "glyphwipe", &env)) != NULL) {
        MSG("CreateEnv: %s", api->GetErrorMessage(st));
        goto end;
    }
    if ((st = api->CreateSessionOptions(&opts)) != NULL) {
        MSG("%s: %s", "CreateSessionOptions", api->GetErrorMessage(st));
        goto end;
    }
    /* The runtime's threads sleep between the parallel parts of a run
     * instead of spinning: a spinning thread takes a core from the
     * pipeline's own threads and, on a shared machine, from everything else
     * (the networks then ran twice as slow on 2 busy cores). No memory
     * pattern: planning one block per input shape kept about 90 MB more at
     * 1080p and saved no time; the arena still reuses its blocks. Neither
     * changes what the kernels compute. */
    if ((st = api->AddSessionConfigEntry(opts, "session.intra_op.allow_spinning", "0")) != NULL ||
        (st = api->AddSessionConfigEntry(opts, "session.inter_op.allow_spinning", "0")) != NULL ||
        (st = api->DisableMemPattern(opts)) != NULL) {
        MSG("%s: %s", "SessionOptions", api->GetErrorMessage(st));
        goto end;
    }
    {
#if defined(_WIN32)
        /* The runtime takes UTF-16 paths on Windows. */
        wchar_t wpath[1024];
        if (MultiByteToWideChar(CP_UTF8, 0, model_path, -1, wpath, 1024) == 0) {
            MSG("CreateSession: bad path encoding");
            goto end;
        }
        st = api->CreateSession(env, wpath, opts, &out->session);
#else
        st = api->CreateSession(env, model_path, opts, &out->session);
#endif
        if (st) {
            MSG("%s: %s", "CreateSession", api->GetErrorMessage(st));
            goto end;
        }
    }
    if ((st = api->SessionGetInputCount(out->session, &n_in)) != NULL ||
        (st = api->SessionGetOutputCount(out->session, &n_out)) != NULL || n_in > GW_MAX_IO || n_out > GW_MAX_IO)
        goto end;
    out->input_count = (int32_t)n_in;
    out->output_count = (int32_t)n_out;
    if ((st = api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &mem)) != NULL || !mem)
        goto end;
    if ((st = api->CreateAllocator(out->session, mem, &alloc)) != NULL || !alloc)
        goto end;
    for (int io = 0; io < 2; io++) {
        size_t count = io == 0 ? n_in : n_out;
        for (size_t i = 0; i < count; i++) {
            char *name = NULL;
            st = io == 0 ? api->SessionGetInputName(out->session, i, alloc, &name)
                         : api->SessionGetOutputName(out->session, i, alloc, &name);
            if (st || !name)
                goto end;
            strncpy(io == 0 ? out->input_names[i] : out->output_names[i], name, GW_NAME_LEN - 1);
            ignore_status(api, api->AllocatorFree(alloc, name));
        }
    }
    out->env = env;
    env = NULL;
    ret = 0;

end:
    if (st)
        api->ReleaseStatus(st);
    if (alloc)
        api->ReleaseAllocator(alloc);
    if (mem)
        api->ReleaseMemoryInfo(mem);
    if (opts)
        api->ReleaseSessionOptions(opts);
    if (ret != 0) {
        if (out->session)
            api->ReleaseSession(out->session);
        memset(out, 0, sizeof *out);
    }
    if (env)
        api->ReleaseEnv(env);
    return ret;
}

void ort_session_destroy(ModelSession *s)
{
    const OrtApi *api = ort_api();
    if (api) {
        if (s->session)
            api->ReleaseSession(s->session);
        if (s->env)
            api->ReleaseEnv(s->env);
    }
    memset(s, 0, sizeof *s);
}

/* Runs in progress, each with its own run options, so that ort_runs_stop can
 * set their terminate flags. The nodes live on the running threads' stacks. */
typedef struct ActiveRun {
    OrtRunOptions *options;
    struct ActiveRun *next;
} ActiveRun;

static std::mutex runs_mutex;
static ActiveRun *active_runs;  /* guarded by runs_mutex */
static int runs_stopped;        /* guarded by runs_mutex */

void ort_runs_stop(void)
{
    const OrtApi *api = ort_api();
    std::lock_guard<std::mutex> lock(runs_mutex);
    runs_stopped = 1;
    for (ActiveRun *a = active_runs; a && api; a = a->next)
        ignore_status(api, api->RunOptionsSetTerminate(a->options));
}

void ort_runs_allow(void)
{
    std::lock_guard<std::mutex> lock(runs_mutex);
    runs_stopped = 0;
}

/* Enters a run into the list; 0, or -1 when runs are stopped. */
static int run_enter(ActiveRun *me)
{
    std::lock_guard<std::mutex> lock(runs_mutex);
    if (runs_stopped)
        return -1;
    me->next = active_runs;
    active_runs = me;
    return 0;
}

/* Takes a run out of the list; 1 when runs were stopped meanwhile. */
static int run_leave(ActiveRun *me)
{
    std::lock_guard<std::mutex> lock(runs_mutex);
    for (ActiveRun **p = &active_runs; *p; p = &(*p)->next) {
        if (*p == me) {
            *p = me->next;
            break;
        }
    }
    return runs_stopped;
}

static int64_t shape_count(const TensorShape *t)
{
    return t->n * t->c * t->h * t->w;
}

int ort_session_run(ModelSession *s,
                    float *const *inputs, const TensorShape *input_shapes, int n_inputs,
                    float *const *outputs, TensorShape *output_shapes, const size_t *output_caps,
                    int n_outputs, char *msg, size_t msg_size)
{
    const OrtApi *api = ort_api();
    OrtValue *in_vals[GW_MAX_IO] = {NULL, NULL, NULL, NULL};
    OrtValue *out_vals[GW_MAX_IO] = {NULL, NULL, NULL, NULL};
    const char *in_names[GW_MAX_IO];
    const char *out_names[GW_MAX_IO];
    OrtMemoryInfo *mem = NULL;
    OrtRunOptions *run_opts = NULL;
    OrtStatus *st = NULL;
    ActiveRun me = {NULL, NULL};
    int ret = -1;

    if (!api || n_inputs < 0 || n_outputs < 0 || n_inputs > GW_MAX_IO || n_outputs > GW_MAX_IO ||
        s->input_count < n_inputs || s->output_count < n_outputs || !s->session)
        return -1;
    if ((st = api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &mem)) != NULL)
        goto end;
    if ((st = api->CreateRunOptions(&run_opts)) != NULL)
        goto end;
    if ((st = api->RunOptionsSetRunLogSeverityLevel(run_opts, run_log_level.load(std::memory_order_relaxed))) != NULL)
        goto end;

    for (int i = 0; i < n_inputs; i++) {
        const int64_t *dims = &input_shapes[i].n;
        st = api->CreateTensorWithDataAsOrtValue(mem, inputs[i], (size_t)shape_count(&input_shapes[i]) * sizeof(float),
                                                 dims, 4, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &in_vals[i]);
        if (st) {
            MSG("CreateTensor in[%d]: %s", i, api->GetErrorMessage(st));
            goto end;
        }
        in_names[i] = s->input_names[i];
    }
    for (int i = 0; i < n_outputs; i++)
        out_names[i] = s->output_names[i];

    me.options = run_opts;
    if (run_enter(&me) != 0) {
        MSG("stopped");
        ret = -2;
        goto end;
    }
    st = api->Run(s->session, run_opts, in_names, (const OrtValue *const *)in_vals, (size_t)n_inputs, out_names,
                  (size_t)n_outputs, out_vals);
    if (run_leave(&me) && st) {
        MSG("stopped");
        ret = -2;
        goto end;
    }
    if (st) {
        MSG("SessionRun: %s", api->GetErrorMessage(st));
        goto end;
    }

    for (int i = 0; i < n_outputs; i++) {
        float *data = NULL;
        OrtTensorTypeAndShapeInfo *info = NULL;
        ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
        size_t ndim = 0, produced = 0;
        int64_t count;

        if ((st = api->GetTensorMutableData(out_vals[i], (void **)&data)) != NULL) {
            MSG("GetTensorMutableData out[%d] failed", i);
            goto end;
        }
        if ((st = api->GetTensorTypeAndShape(out_vals[i], &info)) != NULL) {
            MSG("GetTensorTypeAndShape out[%d] failed", i);
            goto end;
        }
        ignore_status(api, api->GetDimensionsCount(info, &ndim));
        if (ndim >= 4) {
            int64_t d[4] = {0, 0, 0, 0};
            ignore_status(api, api->GetDimensions(info, d, 4));
            output_shapes[i].n = d[0];
            output_shapes[i].c = d[1];
            output_shapes[i].h = d[2];
            output_shapes[i].w = d[3];
        } else if (ndim == 1) {
            int64_t d = 0;
            ignore_status(api, api->GetDimensions(info, &d, 1));
            output_shapes[i].n = 1;
            output_shapes[i].c = 1;
            output_shapes[i].h = 1;
            output_shapes[i].w = d;
        }
        ignore_status(api, api->GetTensorElementType(info, &type));
        ignore_status(api, api->GetTensorShapeElementCount(info, &produced));
        api->ReleaseTensorTypeAndShapeInfo(info);

        count = shape_count(&output_shapes[i]);
        if (count == 0) {
            MSG("out[%d] empty", i);
            goto end;
        }
        /* The runtime gives no data pointer for an empty tensor, so this
         * test comes after the empty-shape test. */
        if (!data) {
            MSG("GetTensorMutableData out[%d] failed", i);
            goto end;
        }
        /* Copy only float data that the runtime really produced, and only
         * as much as the caller's buffer holds. */
        if (type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
            MSG("out[%d] is not float32 (element type %d)", i, (int)type);
            goto end;
        }
        if (count < 0 || (uint64_t)count > (uint64_t)produced) {
            MSG("out[%d] shape %lldx%lldx%lldx%lld does not match the %zu elements produced", i,
                (long long)output_shapes[i].n, (long long)output_shapes[i].c, (long long)output_shapes[i].h,
                (long long)output_shapes[i].w, produced);
            goto end;
        }
        if ((uint64_t)count > (uint64_t)output_caps[i]) {
            MSG("out[%d] too large: %lld elements, room for %zu", i, (long long)count, output_caps[i]);
            goto end;
        }
        memcpy(outputs[i], data, (size_t)count * sizeof(float));
    }
    ret = 0;

end:
    for (int i = 0; i < n_outputs; i++)
        if (out_vals[i])
            api->ReleaseValue(out_vals[i]);
    for (int i = 0; i < n_inputs; i++)
        if (in_vals[i])
            api->ReleaseValue(in_vals[i]);
    if (mem)
        api->ReleaseMemoryInfo(mem);
    if (run_opts)
        api->ReleaseRunOptions(run_opts);
    if (st)
        api->ReleaseStatus(st);
    return ret;
}
