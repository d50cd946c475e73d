// Cleaning one picture: detection, then inpainting of what was found.
#include <stdlib.h>
#include <string.h>

#include "detection/detection.h"
#include "glyphwipe.h"
#include "engine.h"
#include "imageio/image_io.h"
#include "inpaint/inpaint.h"

int gw_process_frame_rgb(unsigned char *rgb, int width, int height, int y_start, int y_end)
{
    char msg[512];
    DetectionResult result;
    int ret = 0;

    memset(msg, 0, sizeof msg);
    memset(&result, 0, sizeof result);
    const DetectOptions dopt = gw_detect_options(&gw_engine);
    if (gw_detect_run_in(&gw_engine.det, &dopt, &gw_engine.det_arena, rgb, width, height, &result, msg,
                         sizeof msg) != 0) {
        /* A detection run stopped by glyphwipe_cancel is no failure. */
        if (gw_cancel_requested()) {
            ret = -2;
        } else {
            gw_set_error("detect: %s", msg);
            ret = -1;
        }
    } else if (result.box_count > 0) {
        const InpaintOptions iopt = gw_inpaint_options(&gw_engine);
        const int r = gw_inpaint_frame(&gw_engine.fill, &iopt, &gw_engine.arena, rgb, width, height, &result, y_start,
                                       y_end);
        if (r == -1) {
            gw_set_error("inpaint: cannot allocate the work memory for a %dx%d picture", width, height);
            ret = -1;
        } else if (r == -2) {
            ret = -2;
        } else {
            gw_count_regions_left_out(r);
        }
    }
    gw_detection_free(&result);
    return ret;
}

static int process_image(const char *in_path, const char *out_path);

extern "C" GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_process_image(const char *in_path, const char *out_path)
{
    if (gw_op_begin("glyphwipe_process_image") != 0)
        return -1;
    int r = process_image(in_path, out_path);
    gw_op_end();
    return r;
}

static int process_image(const char *in_path, const char *out_path)
{
    char msg[GW_ERRBUF_SIZE] = "";
    unsigned char *rgb = NULL, *alpha = NULL;
    int width = 0, height = 0, r = 0;

    if (!gw_initialized()) {
        gw_set_error(GW_NOT_INITIALIZED);
        return -1;
    }
    if (!in_path || !out_path) {
        gw_set_error("process_image: NULL path");
        return -1;
    }
    gw_op_start_work();
    /* The input is read whole and closed before anything is written, so
     * out_path may name the input itself. Only the colours are repainted;
     * an alpha channel goes back unchanged where the output carries one. */
    rgb = gw_load_picture(in_path, &width, &height, &alpha, msg, sizeof msg);
    if (!rgb) {
        gw_set_error("%s", msg);
        return -1;
    }
    r = gw_process_frame_rgb(rgb, width, height, 0, 0);
    if (r == 0 && gw_cancel_requested())
        r = -2;
    if (r == -2)
        gw_set_error("cancelled by glyphwipe_cancel()");
    if (r == 0 && gw_save_picture(out_path, rgb, alpha, width, height, msg, sizeof msg) != 0) {
        gw_set_error("%s", msg);
        r = -1;
    }
    free(rgb);
    free(alpha);
    if (r == 0)
        gw_clear_error();
    return r;
}
