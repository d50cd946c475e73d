// The two video entry points and the per-picture callback with its band.
#include "glyphwipe.h"
#include "engine.h"
#include "platform/platform.h"
#include "temporal_video.h"
#include "video/video.h"

void gw_video_band_rows(VideoBandPct band, int height, int *y_start, int *y_end)
{
    *y_start = *y_end = 0;
    if (band.y_end_pct > 0) {
        /* In 64 bits: percent times a tall picture's height can pass INT_MAX. */
        *y_start = (int)((int64_t)band.y_start_pct * height / 100);
        *y_end = (int)((int64_t)band.y_end_pct * height / 100);
    }
}

/* Turns the band into rows of this picture and cleans it; every picture is
 * given back at once. */
static int frame_cb(unsigned char *rgb, int width, int height, int flush, void *user)
{
    const VideoBandPct *band = (const VideoBandPct *)user;
    int y_start = 0, y_end = 0;
    if (flush)
        return GW_FRAME_HELD;  /* none kept back */
    gw_video_band_rows(*band, height, &y_start, &y_end);
    return gw_process_frame_rgb(rgb, width, height, y_start, y_end);
}

static int video_call(const char *in_path, const char *out_path, int y_start_pct, int y_end_pct);

static int run_video(const char *name, const char *in_path, const char *out_path, int y_start_pct, int y_end_pct)
{
    if (gw_op_begin(name) != 0)
        return -1;
    int r = video_call(in_path, out_path, y_start_pct, y_end_pct);
    gw_op_end();
    return r;
}

static int video_call(const char *in_path, const char *out_path, int y_start_pct, int y_end_pct)
{
    VideoBandPct band;
    VideoHooks hooks;
    TemporalVideo *tv = NULL;
    char msg[512] = "";
    int status;

    if (!gw_initialized()) {
        gw_set_error(GW_NOT_INITIALIZED);
        return -1;
    }
    if (!in_path || !out_path) {
        gw_set_error("process_video: NULL path");
        return -1;
    }
    band.y_start_pct = y_start_pct;
    band.y_end_pct = y_end_pct;

    gw_op_start_work();
    gw_store_relaxed(&gw_engine.progress, 0);
    hooks.progress = &gw_engine.progress;
    hooks.cancel = &gw_engine.cancel_requested;
    if (gw_engine.opt.temporal > 0) {
        tv = gw_temporal_video_new(gw_engine.opt.temporal, band);
        if (!tv) {
            gw_set_error("temporal: out of memory");
            return -1;
        }
        status = gw_process_video_pct(in_path, out_path, gw_temporal_video_cb, tv, &hooks, msg, sizeof msg);
        gw_temporal_video_free(tv);
    } else {
        status = gw_process_video_pct(in_path, out_path, frame_cb, &band, &hooks, msg, sizeof msg);
    }

    if (status == -2) {
        gw_set_error("cancelled by glyphwipe_cancel()");
        return -2;
    }
    if (status != 0) {
        gw_set_error("%s", msg);
        return -1;
    }
    gw_clear_error();
    return 0;
}

extern "C" GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_process_video(const char *in_path, const char *out_path)
{
    return run_video("glyphwipe_process_video", in_path, out_path, 0, 0);
}

extern "C" GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_process_video_region(const char *in_path, const char *out_path,
                                                                          int y_start_pct, int y_end_pct)
{
    if (y_start_pct < 0 || y_start_pct >= y_end_pct || y_end_pct > 100) {
        gw_set_error("region: need 0 <= y_start_pct < y_end_pct <= 100");
        return -1;
    }
    return run_video("glyphwipe_process_video_region", in_path, out_path, y_start_pct, y_end_pct);
}
