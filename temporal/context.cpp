// The temporal context: configuration, buffers kept between calls, errors,
// window checks.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "temporal/tp_internal.h"

/* Bytes per pixel of the buffers over the area around the holes (at most the
 * whole picture): stable holes 1 + 4; fill: hole, ring, need, distance,
 * assigned twice, two fills, map (the seam's four floats), warp, validity,
 * error, count 1+1+1+4+1+1+3+3+16+3+1+4+4; OpenCV's temporaries there
 * (distance transform, labelling) about 6. */
static const size_t kBytesPerPixel = 5 + 43 + 6;
/* Per pixel at motion scale: two gray pictures and masks, the scaled
 * picture and state, and OpenCV's pyramids, derivatives and corner maps. */
static const size_t kMotionBytesPerPixel = 2 + 2 + 4 + 24;
/* Per pixel at flow scale: our four planes and DIS's pyramids and
 * inpainting's work planes. */
static const size_t kFlowBytesPerPixel = 11 + 48;

void gw_temporal_defaults(TemporalConfig *cfg, int32_t width, int32_t height, int32_t max_pictures)
{
    memset(cfg, 0, sizeof *cfg);
    cfg->width = width;
    cfg->height = height;
    cfg->max_pictures = max_pictures;
    cfg->bridge = 1;
    cfg->ring = 6;
    cfg->max_error = 10.0f;
    cfg->feather = 8;
    cfg->local_motion = 2;
}

/* NULL when cfg is usable, else why not. */
static const char *config_problem(const TemporalConfig *cfg, char *buf, size_t size)
{
    if (!cfg)
        return "temporal: NULL configuration";
    if (cfg->width < 16 || cfg->width > 8192 || cfg->height < 16 || cfg->height > 8192)
        snprintf(buf, size, "temporal: picture size %dx%d outside 16..8192", cfg->width, cfg->height);
    else if (cfg->max_pictures < 1 || cfg->max_pictures > GW_TEMPORAL_MAX_PICTURES)
        snprintf(buf, size, "temporal: max_pictures %d outside 1..%d", cfg->max_pictures, GW_TEMPORAL_MAX_PICTURES);
    else if (cfg->bridge < 0 || cfg->bridge > 8)
        snprintf(buf, size, "temporal: bridge %d outside 0..8", cfg->bridge);
    else if (cfg->ring < 2 || cfg->ring > 32)
        snprintf(buf, size, "temporal: ring %d outside 2..32", cfg->ring);
    else if (!(cfg->max_error >= 0.0f && cfg->max_error <= 255.0f))
        snprintf(buf, size, "temporal: max_error %g outside 0..255", (double)cfg->max_error);
    else if (cfg->feather < 0 || cfg->feather > 64)
        snprintf(buf, size, "temporal: feather %d outside 0..64", cfg->feather);
    else if (cfg->local_motion < 0 || cfg->local_motion > 64)
        snprintf(buf, size, "temporal: local_motion %d outside 0..64", cfg->local_motion);
    else
        return NULL;
    return buf;
}

size_t gw_temporal_memory(const TemporalConfig *cfg)
{
    char buf[160];
    if (config_problem(cfg, buf, sizeof buf))
        return 0;
    const size_t w = (size_t)cfg->width, h = (size_t)cfg->height;
    const size_t side = w > h ? w : h;
    const double ms = side > TP_MOTION_SIDE ? (double)TP_MOTION_SIDE / (double)side : 1.0;
    const size_t motion_px = (size_t)((double)w * ms + 1) * (size_t)((double)h * ms + 1);
    const size_t flow_side = side < TP_FLOW_SIDE ? side : TP_FLOW_SIDE;
    return sizeof(TemporalContext) + w * h * kBytesPerPixel + motion_px * kMotionBytesPerPixel +
           flow_side * flow_side * kFlowBytesPerPixel;
}

int gw_temporal_create(const TemporalConfig *cfg, TemporalContext **ctx, char *err, size_t err_size)
{
    char buf[160];
    const char *problem = NULL;
    TemporalContext *c = NULL;
    if (ctx)
        *ctx = NULL;
    if (!ctx)
        problem = "temporal: NULL context pointer";
    else
        problem = config_problem(cfg, buf, sizeof buf);
    if (!problem) {
        try {
            c = new TemporalContext();
            c->cfg = *cfg;
            snprintf(c->error, sizeof c->error, "no error");
            tp_reset_motion(c);
            *ctx = c;
        } catch (const std::bad_alloc &) {
            delete c;
            problem = "temporal: out of memory for the context";
        }
    }
    if (problem && err && err_size)
        snprintf(err, err_size, "%s", problem);
    return problem ? GW_TEMPORAL_FAILED : GW_TEMPORAL_OK;
}

void gw_temporal_free(TemporalContext *ctx)
{
    delete ctx;
}

void gw_temporal_reset(TemporalContext *ctx)
{
    if (ctx)
        tp_reset_motion(ctx);
}

const char *gw_temporal_error(const TemporalContext *ctx)
{
    return ctx ? ctx->error : "temporal: NULL context";
}

int tp_fail(TemporalContext *ctx, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(ctx->error, sizeof ctx->error, fmt, ap);
    va_end(ap);
    return GW_TEMPORAL_FAILED;
}

int tp_cancelled(const TemporalContext *ctx)
{
    return ctx->cfg.cancel && ctx->cfg.cancel(ctx->cfg.cancel_user) != 0;
}

cv::Mat tp_view(Scratch &s, int rows, int cols, int type)
{
    const size_t need = (size_t)rows * (size_t)cols * CV_ELEM_SIZE(type);
    if (s.store.empty() || s.store.total() < need)
        s.store.create(1, (int)(need > 0 ? need : 1), CV_8U);
    return cv::Mat(rows, cols, type, s.store.data);
}

int tp_check_window(TemporalContext *ctx, const TemporalWindow *win, int need_rgb)
{
    if (!win || !win->pictures)
        return tp_fail(ctx, "temporal: NULL window");
    if (win->count < 1 || win->count > ctx->cfg.max_pictures)
        return tp_fail(ctx, "temporal: window of %d pictures outside 1..%d", win->count, ctx->cfg.max_pictures);
    if (win->target < 0 || win->target >= win->count)
        return tp_fail(ctx, "temporal: target %d outside the window's 0..%d", win->target, win->count - 1);
    for (int i = 0; i < win->count; i++) {
        if (!win->pictures[i].state)
            return tp_fail(ctx, "temporal: picture %d of the window has no state plane", i);
        if (need_rgb && !win->pictures[i].rgb)
            return tp_fail(ctx, "temporal: picture %d of the window has no pixels", i);
    }
    return GW_TEMPORAL_OK;
}
