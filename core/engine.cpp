// The engine: lifecycle, options, the one-call-at-a-time claim and the error text.
#include "engine.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "glyphwipe.h"
#include "names.h"
#include "parse.h"
#include "platform/platform.h"

Engine gw_engine;

/* gw_engine.error is written and copied out under error_mutex only. */
static std::mutex error_mutex;

/* state_mutex guards running_call, and every whole-record change of the engine
 * against the functions that may run beside a call (progress, cancel, the
 * region count). */
static std::mutex state_mutex;
static const char *running_call;  /* name of the call that holds the engine, or null */

void gw_set_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    {
        std::lock_guard<std::mutex> lock(error_mutex);
        vsnprintf(gw_engine.error, sizeof gw_engine.error, fmt, ap);
    }
    va_end(ap);
}

void gw_clear_error(void)
{
    std::lock_guard<std::mutex> lock(error_mutex);
    gw_engine.error[0] = '\0';
}

int gw_initialized(void) { return gw_engine.det_loaded && gw_engine.fill_loaded; }

int gw_op_begin(const char *name)
{
    const char *busy;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        busy = running_call;
        if (!busy)
            running_call = name;
    }
    if (busy) {
        gw_set_error("busy: %s is running", busy);
        return -1;
    }
    return 0;
}

void gw_op_end(void)
{
    std::lock_guard<std::mutex> lock(state_mutex);
    running_call = NULL;
    ort_runs_allow();  /* a cancel during the call stopped them */
}

void gw_op_start_work(void)
{
    std::lock_guard<std::mutex> lock(state_mutex);
    gw_store_relaxed(&gw_engine.cancel_requested, 0);
    gw_store_relaxed(&gw_engine.regions_left_out, 0);
    ort_runs_allow();
}

int gw_cancel_requested(void) { return gw_load_relaxed(&gw_engine.cancel_requested) != 0; }

void gw_count_regions_left_out(int n)
{
    if (n > 0) /* only the running call writes it */
        gw_store_relaxed(&gw_engine.regions_left_out, gw_load_relaxed(&gw_engine.regions_left_out) + n);
}

/* Sets every byte of the engine before its error text to zero, under the
 * lock that progress and cancel take. */
static void clear_state(void)
{
    std::lock_guard<std::mutex> lock(state_mutex);
    memset(&gw_engine, 0, offsetof(Engine, error));
}

DetectOptions gw_detect_options(const Engine *e)
{
    DetectOptions o;
    o.threshold = e->opt.threshold;
    o.unclip = e->opt.unclip;
    o.min_scale = e->opt.detect_min_scale;
    return o;
}

InpaintOptions gw_inpaint_options(const Engine *e)
{
    InpaintOptions o;
    o.threshold = e->opt.threshold;
    o.radius = e->opt.inpaint_radius;
    o.unclip = e->opt.unclip;
    o.mask_mode = e->opt.mask_mode;
    return o;
}

/* Releases whatever session is live; the record itself is left to the caller. */
static void release_sessions(void)
{
    if (gw_engine.det_loaded)
        ort_session_destroy(&gw_engine.det);
    if (gw_engine.fill_loaded)
        ort_session_destroy(&gw_engine.fill);
    gw_engine.det_loaded = 0;
    gw_engine.fill_loaded = 0;
}

/* Joins dir and file with the platform's separator; 0, or -1 when it needs
 * 2048 bytes or more. */
static int join_model_path(char *out, size_t size, const char *dir, const char *file)
{
    int n = snprintf(out, size, "%s" GW_PATH_SEP "%s", dir, file);
    return (n < 0 || (size_t)n >= size) ? -1 : 0;
}

static int init_engine(const char *model_dir);

extern "C" GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_init(const char *model_dir)
{
    if (gw_op_begin("glyphwipe_init") != 0)
        return -1;
    int r = init_engine(model_dir);
    gw_op_end();
    return r;
}

static int init_engine(const char *model_dir)
{
    char msg[1024];
    char det_path[2048];
    char lama_path[2048];

    if (!model_dir) {
        gw_set_error("model_dir is NULL");
        return -1;
    }
    memset(msg, 0, sizeof msg);
    if (join_model_path(det_path, sizeof det_path, model_dir, GW_DET_MODEL_FILE) != 0 ||
        join_model_path(lama_path, sizeof lama_path, model_dir, GW_FILL_MODEL_FILE) != 0) {
        gw_set_error("model_dir path too long");
        return -1;
    }

    /* A second init without cleanup must not lose the live sessions or the
     * work memory. */
    release_sessions();
    gw_inpaint_arena_free(&gw_engine.arena);
    gw_detect_arena_free(&gw_engine.det_arena);
    clear_state();
    snprintf(gw_engine.model_dir, sizeof gw_engine.model_dir, "%s", model_dir);
    gw_engine.opt.threshold = GW_THRESHOLD_DEFAULT;
    gw_engine.opt.inpaint_radius = GW_RADIUS_DEFAULT;
    ort_set_log_quiet(0);
    snprintf(gw_engine.opt.device, sizeof gw_engine.opt.device, "%s", "cpu");

    if (ort_session_create(det_path, &gw_engine.det, msg, sizeof msg) != 0) {
        gw_set_error("load det model failed: %s", msg);
        return -1;
    }
    gw_engine.det_loaded = 1;
    if (ort_session_create(lama_path, &gw_engine.fill, msg, sizeof msg) != 0) {
        gw_set_error("load lama model failed: %s", msg);
        ort_session_destroy(&gw_engine.det);
        gw_engine.det_loaded = 0;
        return -1;
    }
    gw_engine.fill_loaded = 1;
    gw_clear_error();
    return 0;
}

extern "C" GLYPHWIPE_API void GLYPHWIPE_CALL glyphwipe_cleanup(void)
{
    /* Refused while another call runs: its sessions stay until a later cleanup. */
    if (gw_op_begin("glyphwipe_cleanup") != 0)
        return;
    release_sessions();
    gw_inpaint_arena_free(&gw_engine.arena);
    gw_detect_arena_free(&gw_engine.det_arena);
    clear_state();
    gw_op_end();
}

static int apply_option(const char *option, const char *value);

/* A number from 0 to max into *out; otherwise the error text, -1. */
static int set_ratio(const char *value, float max, float *out, const char *error)
{
    float v = 0.0f;
    if (gw_parse_float(value, &v) != 0 || !(v >= 0.0f && v <= max)) {
        gw_set_error("%s", error);
        return -1;
    }
    *out = v;
    return 0;
}

extern "C" GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_set_option(const char *option, const char *value)
{
    if (gw_op_begin("glyphwipe_set_option") != 0)
        return -1;
    int r = apply_option(option, value);
    gw_op_end();
    return r;
}

/* Numbers follow one rule in every locale (core/parse.h). */
static int apply_option(const char *option, const char *value)
{
    if (!option || !value) {
        gw_set_error("set_option: NULL arg");
        return -1;
    }
    if (strcmp(option, "device") == 0) {
        if (strcmp(value, "cpu") != 0 && strcmp(value, "cuda") != 0) {
            gw_set_error("device must be cpu or cuda");
            return -1;
        }
        snprintf(gw_engine.opt.device, sizeof gw_engine.opt.device, "%s", "cpu"); /* both run on the CPU */
        return 0;
    }
    if (strcmp(option, "threshold") == 0) {
        float v = 0.0f;
        if (gw_parse_float(value, &v) != 0 || !(v > 0.0f && v < 1.0f)) {
            gw_set_error("threshold must be in (0,1)");
            return -1;
        }
        gw_engine.opt.threshold = v;
        return 0;
    }
    if (strcmp(option, "inpaint_radius") == 0) {
        long v = 0;
        if (gw_parse_int(value, &v) != 0 || v < 0 || v > GW_RADIUS_MAX) {
            gw_set_error("inpaint_radius must be 0..128");
            return -1;
        }
        gw_engine.opt.inpaint_radius = (int32_t)v;
        return 0;
    }
    if (strcmp(option, "unclip") == 0)
        return set_ratio(value, GW_UNCLIP_MAX, &gw_engine.opt.unclip, "unclip must be a ratio from 0 to 4");
    if (strcmp(option, "detect_scale") == 0)
        return set_ratio(value, GW_DETECT_SCALE_MAX, &gw_engine.opt.detect_min_scale, "detect_scale must be from 0 to 1");
    if (strcmp(option, "temporal") == 0) {
        long v = 0;
        if (gw_parse_int(value, &v) != 0 || v < 0 || v == 1 || v > GW_TEMPORAL_MAX) {
            gw_set_error("temporal must be 0 (each picture alone) or a window of 2 to %d pictures", GW_TEMPORAL_MAX);
            return -1;
        }
        gw_engine.opt.temporal = (int32_t)v;
        return 0;
    }
    if (strcmp(option, "mask") == 0) {
        if (strcmp(value, "boxes") == 0)
            gw_engine.opt.mask_mode = GW_MASK_BOXES;
        else if (strcmp(value, "glyphs") == 0)
            gw_engine.opt.mask_mode = GW_MASK_GLYPHS;
        else {
            gw_set_error("mask must be boxes or glyphs");
            return -1;
        }
        return 0;
    }
    if (strcmp(option, "log") == 0) {
        /* The runtime's own messages; the library's error text is unaffected. */
        if (strcmp(value, "errors") != 0 && strcmp(value, "none") != 0) {
            gw_set_error("log must be errors or none");
            return -1;
        }
        ort_set_log_quiet(strcmp(value, "none") == 0);
        return 0;
    }
    gw_set_error("unknown option: %s", option);
    return -1;
}

/* A copy per thread: the text stays as it was for its reader while another
 * thread's call sets a new one. */
extern "C" GLYPHWIPE_API const char *GLYPHWIPE_CALL glyphwipe_last_error(void)
{
    static thread_local char copy[GW_ERRBUF_SIZE];
    std::lock_guard<std::mutex> lock(error_mutex);
    if (!gw_engine.error[0])
        return "no error";
    memcpy(copy, gw_engine.error, sizeof copy);
    return copy;
}

extern "C" GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_progress(void)
{
    std::lock_guard<std::mutex> lock(state_mutex);
    return gw_load_relaxed(&gw_engine.progress);
}

/* Also stops a model run in progress, so that a call waits for no network to
 * finish (inference/ort_helpers.h). */
extern "C" GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_cancel(void)
{
    std::lock_guard<std::mutex> lock(state_mutex);
    gw_store_relaxed(&gw_engine.cancel_requested, 1);
    if (running_call)
        ort_runs_stop();
    return 0;
}

extern "C" GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_regions_left_out(void)
{
    std::lock_guard<std::mutex> lock(state_mutex);
    return gw_load_relaxed(&gw_engine.regions_left_out);
}
