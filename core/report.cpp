// glyphwipe_detect: text boxes of an image file as a one-line JSON array.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "detection/detection.h"
#include "glyphwipe.h"
#include "engine.h"
#include "imageio/image_io.h"

#define JSONBUF_SIZE 1048576
/* No entry (at most 79 bytes) nor the closing bracket is ever cut short. */
#define JSONBUF_RESERVE 128

static char jsonbuf[JSONBUF_SIZE];

static const char *detect(const char *image_path);

extern "C" GLYPHWIPE_API const char *GLYPHWIPE_CALL glyphwipe_detect(const char *image_path)
{
    if (gw_op_begin("glyphwipe_detect") != 0)
        return NULL;
    const char *r = detect(image_path);
    gw_op_end();
    return r;
}

static const char *detect(const char *image_path)
{
    char msg[GW_ERRBUF_SIZE] = "";
    DetectionResult result;
    unsigned char *rgb;
    int width = 0, height = 0;
    size_t pos;

    if (!gw_initialized()) {
        gw_set_error(GW_NOT_INITIALIZED);
        return NULL;
    }
    if (!image_path) {
        gw_set_error("detect: NULL path");
        return NULL;
    }
    gw_op_start_work();
    rgb = gw_load_image(image_path, &width, &height, msg, sizeof msg);
    if (!rgb) {
        gw_set_error("%s", msg);
        return NULL;
    }
    memset(&result, 0, sizeof result);
    const DetectOptions opt = gw_detect_options(&gw_engine);
    int rc = gw_detect_run_in(&gw_engine.det, &opt, &gw_engine.det_arena, rgb, width, height, &result, msg, sizeof msg);
    free(rgb);
    if (rc != 0 || gw_cancel_requested()) {
        gw_detection_free(&result);
        if (gw_cancel_requested())
            gw_set_error("cancelled by glyphwipe_cancel()");
        else
            gw_set_error("%s", msg);
        return NULL;
    }

    jsonbuf[0] = '[';
    jsonbuf[1] = '\0';
    pos = 1;
    for (int i = 0; i < result.box_count; i++) {
        const TextBox *b = &result.boxes[i];
        if (pos >= JSONBUF_SIZE - JSONBUF_RESERVE)
            break;
        int n = snprintf(jsonbuf + pos, JSONBUF_SIZE - pos, "%s{\"x\":%d,\"y\":%d,\"w\":%d,\"h\":%d,\"conf\":%.3f}",
                         i == 0 ? "" : ",", b->x, b->y, b->w, b->h, (double)b->conf);
        if (n > 0)
            pos += (size_t)n;
    }
    snprintf(jsonbuf + pos, JSONBUF_SIZE - pos, "]");

    gw_detection_free(&result);
    gw_clear_error();
    return jsonbuf;
}
