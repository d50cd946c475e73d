// Cleaning one picture: detection, then inpainting of what was found.
#include <stdlib.h>
#include <string.h>

#include "detection/detection.h"
#include "glyphwipe.h"
#include "gw_core.h"
#include "imageio/image_io.h"
#include "inpaint/inpaint.h"

int gw_process_frame_rgb(unsigned char *rgb, int width, int height, int y_start, int y_end)
{
    char msg[512];
    DetectionResult result;
    int ret = 0;

    memset(msg, 0, sizeof msg);
    memset(&result, 0, sizeof result);
    if (gw_detect_run(rgb, width, height, &result, msg, sizeof msg) != 0) {
        gw_set_error("detect: %s", msg);
        ret = -1;
    } else if (result.box_count > 0) {
        gw_inpaint_frame(rgb, width, height, &result, y_start, y_end);
    }
    gw_detection_free(&result);
    return ret;
}

extern "C" GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_process_image(const char *in_path, const char *out_path)
{
    unsigned char *rgb;
    int width = 0, height = 0;

    if (!gw_initialized()) {
        gw_set_error(GW_NOT_INITIALIZED);
        return -1;
    }
    if (!in_path || !out_path) {
        gw_set_error("process_image: NULL path");
        return -1;
    }
    /* The input is read whole and closed before anything is written, so
     * out_path may name the input itself. */
    rgb = gw_load_image(in_path, &width, &height, errbuf, sizeof errbuf);
    if (!rgb)
        return -1;
    if (gw_process_frame_rgb(rgb, width, height, 0, 0) != 0) {
        free(rgb);
        return -1;
    }
    if (gw_save_image(out_path, rgb, width, height, errbuf, sizeof errbuf) != 0) {
        free(rgb);
        return -1;
    }
    free(rgb);
    gw_clear_error();
    return 0;
}
