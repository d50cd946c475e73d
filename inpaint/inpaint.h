/* Inpainting: region planning, hole masks, the 512x512 model pass, blending. */
#ifndef GW_INPAINT_H
#define GW_INPAINT_H

#include <stdint.h>
#include "detection/detection.h"

/* Repaints the detected text of an RGB24 frame in place. Rows y_start..y_end
 * limit region planning ((0,0) = whole frame). A region whose model run
 * fails keeps its pixels. Returns the number of regions left out (over
 * GW_MAX_PROCESSED, or never looked at once the planning list was full);
 * -1 when the work memory could not be allocated (nothing repainted); -2
 * when a model run was stopped (glyphwipe_cancel). */
int gw_inpaint_frame(uint8_t *rgb, int width, int height, const DetectionResult *det, int y_start, int y_end);

/* Releases the work memory that gw_inpaint_frame keeps between frames. */
void gw_inpaint_release(void);

/* ---- internal, for tests ------------------------------------------------ */

#define GW_INPAINT_SIZE 512     /* side of the model's square input and output */
#define GW_MAX_REGIONS 48       /* slots of the planning list */
#define GW_MAX_PROCESSED 12     /* regions repainted per frame */

/* A rectangle of frame pixels: x0, y0 inclusive, x1, y1 exclusive. */
typedef struct InpaintRegion {
    int32_t x0, y0, x1, y1;
} InpaintRegion;

/* The square crop of one region and its buffers (all side x side). */
typedef struct RegionCrop {
    int32_t x, y;          /* top-left frame pixel; the crop lies inside the frame */
    int32_t side;          /* 16 or more */
    uint8_t *pixels;       /* RGB24 copy of the frame inside the crop */
    uint8_t *mask;         /* 1 = repaint, 0 = keep */
    uint8_t *repainted;    /* RGB24: the model's output scaled to the crop */
    uint8_t *alpha;        /* RGB24: the softened mask scaled to the crop, R = G = B */
} RegionCrop;

/* Corner-aligned bilinear scaling of RGB24 (float32, rounding half up).
 * out_w, out_h >= 2; in_w, in_h >= 1; out does not overlap in. */
void resize_rgb(const uint8_t *in, int in_w, int in_h, uint8_t *out, int out_w, int out_h);

/* Bilinear value of an 8-bit plane (w, h >= 2) at column x, row y, rounded
 * half up; beyond the outer samples it extrapolates and is not clamped. */
int sample_u8_bilinear(const uint8_t *plane, int w, int h, float x, float y);

/* Grows, clips and merges the boxes of det into regions[0..n); returns how
 * many of them are to be processed (0..12). */
int plan_regions(int width, int height, const DetectionResult *det, int y_start, int y_end,
                 InpaintRegion regions[GW_MAX_REGIONS]);

/* Places the square crop of region, copies its pixels and builds its hole
 * mask. 1: crop filled, its four buffers owned by the caller (free_region_crop);
 * 0: region skipped, nothing allocated. */
int build_region_mask(const uint8_t *rgb, int width, int height, const DetectionResult *det,
                      const InpaintRegion *region, RegionCrop *crop);

/* build_region_mask with a band of rows ys..ye (ys >= ye: none): only the
 * boxes that reach into the band, and the score pixels within them, are
 * marked; other text in the crop keeps its pixels. */
int build_region_mask_in_band(const uint8_t *rgb, int width, int height, const DetectionResult *det,
                              const InpaintRegion *region, int ys, int ye, RegionCrop *crop);

/* Marks in plane (width x height bytes, zeroed by the caller) the letters of
 * every box of det that reaches into rows ys..ye (ys >= ye: every box): the
 * pixels that differ from the colours around the box and touch the text
 * cores of the score map (at or above threshold), grown by a margin of about
 * 5 % of the box height; the whole box where the letters cannot be told
 * apart from their surround. */
void gw_glyph_mask(const uint8_t *rgb, int width, int height, const DetectionResult *det, float threshold, int ys,
                   int ye, uint8_t *plane);

/* Releases the four buffers of a crop and clears the pointers. */
void free_region_crop(RegionCrop *crop);

/* Square OR-dilation of a side x side 0/1 mask by radius (window 2r+1). */
void dilate_mask(uint8_t *mask, int side, int radius);

/* Repaints one crop through S.lama and blends it into rgb (frame width
 * `width`). The three work tensors hold 3*512*512, 512*512 and 3*512*512
 * floats. A failed run leaves the frame untouched and writes one line to
 * standard error. */
void inpaint_crop(RegionCrop *crop, uint8_t *rgb, int width, float *image_tensor, float *mask_tensor,
                  float *output_tensor);

/* Two passes of a 3x3 mean (neighbours inside the plane only, rounded down)
 * over a 512x512 plane, in place. */
void feather_mask(uint8_t *plane);

#endif /* GW_INPAINT_H */
