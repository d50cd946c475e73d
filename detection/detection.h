/* Text detection: network input, score map and text boxes. A leaf: the
 * caller passes the model and the options. */
#ifndef GW_DETECTION_H
#define GW_DETECTION_H

#include <stddef.h>
#include <stdint.h>

#include "inference/ort_helpers.h"

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

typedef struct DetectOptions {
    float threshold;  /* text-score threshold, (0,1) */
    float unclip;     /* box growth ratio, 0 = boxes as detected */
    float min_scale;  /* 0: network input at most 960 wide; else at least this scale of the picture */
} DetectOptions;

/* Work memory a caller keeps between runs (the network's input tensor, 6 to
 * 9 MB, and the scaling's), so that every picture does not fault fresh
 * pages in. All zero is empty; it grows as needed and gw_detect_arena_free
 * releases it. */
typedef struct DetectArena {
    float *input;
    size_t cap;  /* floats */
} DetectArena;

void gw_detect_arena_free(DetectArena *a);

/* Runs the detection model on an RGB24 image. 0 with *out filled, -1 with a
 * message (also when ort_runs_stop stopped the run). gw_detect_run_in takes
 * its work memory from arena; gw_detect_run allocates it for the one call. */
int gw_detect_run(ModelSession *model, const DetectOptions *opt, const uint8_t *rgb, int width, int height,
                  DetectionResult *out, char *msg, size_t msg_size);
int gw_detect_run_in(ModelSession *model, const DetectOptions *opt, DetectArena *arena, const uint8_t *rgb, int width,
                     int height, DetectionResult *out, char *msg, size_t msg_size);

/* Frees both arrays and zeroes the record; fine on an all-zero record. */
void gw_detection_free(DetectionResult *r);

/* ---- internal, for tests and the benchmark -------------------------------
 * The pieces of gw_detect_run, in the order it calls them. */

/* Network input size for a width x height image: both sides multiples of 32
 * from 32 to 960, the long side at most 960, the aspect kept. */
void gw_det_network_size(int width, int height, int *net_w, int *net_h);

/* The same with another limit for the long side (a multiple of 32, at most
 * GW_DET_SIDE_LIMIT). */
#define GW_DET_SIDE_LIMIT 3840
void gw_det_network_size_max(int width, int height, int max_side, int *net_w, int *net_h);

/* Long-side limit that shows the network the picture at min_scale of its
 * size or more: 960 when min_scale is 0 (or the picture is small enough),
 * at most GW_DET_SIDE_LIMIT. */
int gw_det_max_side(int width, int height, float min_scale);

/* Fills the planar {1, 3, net_h, net_w} input tensor, values in [-1, 1], by
 * corner-aligned bilinear sampling straight from the RGB24 image; scratch
 * holds gw_resize_scratch_size(net_w) bytes, float-aligned. */
void gw_det_fill_input(const uint8_t *rgb, int width, int height, float *tensor, int net_w, int net_h, void *scratch);

/* Corner-aligned bilinear resampling of a src_w x src_h map to dst_w x dst_h
 * (dst sides at least 2; a source side of 1 is stretched). */
void gw_det_resample_map(const float *src, int src_w, int src_h, float *dst, int dst_w, int dst_h);

/* Clamps every value to [0, 1]; NaN becomes 0. */
void gw_det_clamp_map(float *map, size_t count);

/* Box extraction from r->score_map (r->map_width x r->map_height, owned by r)
 * for an image of width x height: 8-connected regions at or above threshold,
 * size and area filters, mean-score confidence, at most 64 boxes, then the
 * merge pass. 0 with r->boxes filled; -1 with "oom", the map freed and *r
 * zeroed. */
int gw_det_extract_boxes(DetectionResult *r, int width, int height, float threshold, char *msg, size_t msg_size);

/* Merges pairs whose union box is smaller than their two areas together,
 * restarting from the first pair after each merge; *count shrinks. */
void gw_det_merge_boxes(TextBox *boxes, int32_t *count);

/* Growth distance of a box for an unclip ratio: ceil(area * ratio /
 * perimeter) pixels on every side; 0 for a ratio of 0 or less. */
int gw_det_unclip_distance(const TextBox *b, float ratio);

/* Grows every box by its unclip distance, clips it to the width x height
 * image and runs the merge pass again; ratio 0 (or less) leaves the boxes as
 * they are. */
void gw_det_unclip_boxes(TextBox *boxes, int32_t *count, int width, int height, float ratio);

#endif /* GW_DETECTION_H */
