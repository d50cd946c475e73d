/* Inpainting: region planning, hole masks, the 512x512 model pass, blending.
 * A leaf: the caller passes the fill model, the options and the work memory. */
#ifndef GW_INPAINT_H
#define GW_INPAINT_H

#include <stddef.h>
#include <stdint.h>

#include "detection/detection.h"
#include "inference/ort_helpers.h"

/* What the hole of a crop is made of. */
#define GW_MASK_BOXES 0   /* score pixels and whole boxes, grown by the radius */
#define GW_MASK_GLYPHS 1  /* the letters' own pixels inside each box */

typedef struct InpaintOptions {
    float threshold;    /* text-score threshold of the hole, (0,1) */
    int32_t radius;     /* hole growth in pixels, 0..128 */
    float unclip;       /* > 0: the boxes were grown; crops keep context in proportion */
    int32_t mask_mode;  /* GW_MASK_BOXES or GW_MASK_GLYPHS */
} InpaintOptions;

/* Work memory kept from frame to frame, grown to the largest frame seen.
 * All-zero is an empty arena; one user at a time. */
typedef struct InpaintArena {
    uint8_t *mem;
    size_t cap;
} InpaintArena;

void gw_inpaint_arena_free(InpaintArena *a);

/* Repaints the detected text of an RGB24 frame in place through the fill
 * model. Rows y_start..y_end limit region planning ((0,0) = whole frame). A
 * region whose model run fails keeps its pixels. Returns the number of
 * regions left out (over GW_MAX_PROCESSED, or never looked at once the
 * planning list was full); -1 when the work memory could not be had (nothing
 * repainted); -2 when a model run was stopped (ort_runs_stop). */
int gw_inpaint_frame(ModelSession *model, const InpaintOptions *opt, InpaintArena *arena, uint8_t *rgb, int width,
                     int height, const DetectionResult *det, int y_start, int y_end);

/* The hole gw_inpaint_frame would repaint, as a width x height plane (1 =
 * repaint, written whole): every planned crop's hole where it falls. Returns
 * the regions left out as gw_inpaint_frame does, or -1 without memory. */
int gw_inpaint_hole(const InpaintOptions *opt, InpaintArena *arena, const uint8_t *rgb, int width, int height,
                    const DetectionResult *det, int y_start, int y_end, uint8_t *plane);

/* gw_inpaint_frame with the caller's hole (width x height, 1 = repaint, a
 * part of what gw_inpaint_hole gave for the same frame and options): the
 * regions are planned from det as usual, each crop repaints what the hole
 * marks in it, not grown again. */
int gw_inpaint_frame_hole(ModelSession *model, const InpaintOptions *opt, InpaintArena *arena, uint8_t *rgb,
                          int width, int height, const DetectionResult *det, int y_start, int y_end,
                          const uint8_t *hole);

/* ---- internal, for tests ------------------------------------------------ */

#define GW_INPAINT_SIZE 512     /* side of the model's square input and output */
#define GW_MAX_REGIONS 48       /* slots of the planning list */
#define GW_MAX_PROCESSED 12     /* regions repainted per frame */

/* A rectangle of frame pixels: x0, y0 inclusive, x1, y1 exclusive. */
typedef struct InpaintRegion {
    int32_t x0, y0, x1, y1;
} InpaintRegion;

/* The square crop of one region; its buffers lie in an InpaintWork. */
typedef struct RegionCrop {
    int32_t x, y;          /* top-left frame pixel; the crop lies inside the frame */
    int32_t side;          /* 16 or more */
    const uint8_t *pixels; /* RGB24: the crop's top-left pixel in the frame, read in place */
    int32_t stride;        /* bytes from one row of pixels to the next */
    uint8_t *mask;         /* 1 = repaint, 0 = keep */
    uint8_t *repainted;    /* RGB24: the model's output scaled to the crop, set only where alpha >= 6 */
    uint8_t *alpha;        /* side x side: the softened mask scaled to the crop */
} RegionCrop;

/* The work buffers of one frame, for crops of side up to max_side. */
typedef struct InpaintWork {
    int32_t max_side;
    float *image_tensor;   /* 3 * 512 * 512 */
    float *mask_tensor;    /* 512 * 512 */
    float *output_tensor;  /* 3 * 512 * 512 */
    uint8_t *crop;         /* 5 * max_side^2: mask, repainted, alpha */
    uint8_t *dilate;       /* gw_dilate_scratch_size(max_side), int-aligned */
    void *resize;          /* gw_resize_scratch_size(max(max_side, 512)), float-aligned */
    uint8_t *work;         /* 3 * 512 * 512 */
    uint8_t *soft;         /* 512 * 512 */
    uint16_t *feather;     /* 512 * 512 */
    uint8_t *glyphs;       /* width x height letter plane (mask "glyphs"), else NULL */
} InpaintWork;

/* Lays out the work of a width x height frame in the arena (growing it);
 * with_glyphs adds the letter plane. 0, or -1 when the memory cannot be had. */
int gw_inpaint_work_bind(InpaintArena *a, int width, int height, int with_glyphs, InpaintWork *w);

/* Grows, clips and merges the boxes of det into regions[0..n); returns how
 * many of them are to be processed (0..12) and stores in *left_out how many
 * regions are not (over 12, or never looked at once the list was full). */
int plan_regions(int width, int height, const DetectionResult *det, int y_start, int y_end,
                 const InpaintOptions *opt, InpaintRegion regions[GW_MAX_REGIONS], int *left_out);

/* Places the square crop of region over the frame and in the work buffers
 * and builds its hole mask: the letter plane of work where it has one, else the
 * score pixels and boxes grown by the radius. With a band of rows ys..ye
 * (ys >= ye: none) only the boxes that reach into the band, and the score
 * pixels within them, are marked; other text in the crop keeps its pixels.
 * 1: crop filled; 0: region skipped (too small, or nothing to repaint). */
int build_region_mask(const uint8_t *rgb, int width, int height, const DetectionResult *det,
                      const InpaintOptions *opt, const InpaintRegion *region, int ys, int ye,
                      const InpaintWork *work, RegionCrop *crop);

/* Marks in plane (width x height bytes, zeroed by the caller) the letters of
 * every box of det that reaches into rows ys..ye (ys >= ye: every box): the
 * pixels that differ from the colours around the box and touch the text
 * cores of the score map (at or above threshold), grown by a margin of about
 * 5 % of the box height; the whole box where the letters cannot be told
 * apart from their surround. */
void gw_glyph_mask(const uint8_t *rgb, int width, int height, const DetectionResult *det, float threshold, int ys,
                   int ye, uint8_t *plane);

/* Bytes of gw_dilate_mask's work memory for a side x side mask. */
size_t gw_dilate_scratch_size(int side);

/* Square OR-dilation of a side x side 0/1 mask by radius (window 2r+1);
 * scratch: gw_dilate_scratch_size(side) bytes, int-aligned. */
void gw_dilate_mask(uint8_t *mask, int side, int radius, void *scratch);

/* Repaints one crop through the model and blends it into rgb (frame width
 * `width`), using the work's tensors and planes. A failed run leaves the
 * frame untouched and writes one line to standard error. 0, or -2 when the
 * run was stopped. */
int inpaint_crop(ModelSession *model, RegionCrop *crop, uint8_t *rgb, int width, const InpaintWork *work);

/* Two passes of a 3x3 mean (neighbours inside the plane only, rounded down)
 * over a 512x512 plane, in place; scratch: 512 * 512 values. */
void feather_mask(uint8_t *plane, uint16_t *scratch);

#endif /* GW_INPAINT_H */
