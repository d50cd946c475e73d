// Placeholder until text detection lands.
#include "detection.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int gw_detect_run(const uint8_t *rgb, int width, int height, DetectionResult *out, char *msg, size_t msg_size)
{
    (void)rgb;
    (void)width;
    (void)height;
    (void)out;
    snprintf(msg, msg_size, "detection not available");
    return -1;
}

void gw_detection_free(DetectionResult *r)
{
    free(r->score_map);
    free(r->boxes);
    memset(r, 0, sizeof *r);
}
