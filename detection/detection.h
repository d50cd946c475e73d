/* Text detection: network input, score map and text boxes. */
#ifndef GW_DETECTION_H
#define GW_DETECTION_H

#include <stddef.h>
#include <stdint.h>

#define GW_MAX_BOXES 64

typedef struct TextBox {
    int32_t x, y, w, h;   /* image pixels, always inside the image */
    float conf;           /* mean score of the box's region */
} TextBox;

typedef struct DetectionResult {
    float *score_map;     /* map_width x map_height, values in [0,1]; owned */
    int32_t map_width;
    int32_t map_height;
    int32_t box_count;    /* 0..64 */
    TextBox *boxes;       /* room for 64; owned */
} DetectionResult;

/* Runs S.det on an RGB24 image. 0 with *out filled, -1 with a message. */
int gw_detect_run(const uint8_t *rgb, int width, int height, DetectionResult *out, char *msg, size_t msg_size);

/* Frees both arrays and zeroes the record; fine on an all-zero record. */
void gw_detection_free(DetectionResult *r);

#endif /* GW_DETECTION_H */
