/* Bilinear resampling shared by detection and inpainting.
 *
 * All arithmetic is float32 and evaluated in the written order (no fused
 * multiply-add), so results are bit-for-bit reproducible; a float becomes an
 * int by truncation. */
#ifndef GW_RESAMPLE_H
#define GW_RESAMPLE_H

#include <stddef.h>
#include <stdint.h>

/* One axis of a corner-aligned mapping of dst_n samples onto src_n: the
 * source pair and the weight of the second, f = s - i0 for s = d*(src-1)/(dst-1). */
typedef struct GwTap {
    int i0, i1;
    float f;
} GwTap;

static inline GwTap gw_axis_tap(int d, int src_n, int dst_n)
{
    GwTap t;
    const float s = (float)d * (float)(src_n - 1) / (float)(dst_n - 1);
    t.i0 = (int)s;
    if (t.i0 > src_n - 1) /* only reachable through rounding on huge sides */
        t.i0 = src_n - 1;
    t.i1 = t.i0 + 1 >= src_n ? src_n - 1 : t.i0 + 1;
    t.f = s - (float)t.i0;
    return t;
}

/* The one bilinear formula: a*(1-fx)*(1-fy) + b*fx*(1-fy) + c*(1-fx)*fy +
 * d*fx*fy for the corners a (top left), b (top right), c, d. */
static inline float gw_bilerp(float a, float b, float c, float d, float fx, float fy)
{
    return a * (1.0f - fx) * (1.0f - fy) + b * fx * (1.0f - fy) + c * (1.0f - fx) * fy + d * fx * fy;
}

/* A byte as a float (i -> i) and as a unit value (i -> i / 255.0f), looked
 * up instead of converted per sample. */
const float *gw_byte_value(void);
const float *gw_byte_unit(void);

/* Bytes of the work memory a scaling to out_w columns needs. */
size_t gw_resize_scratch_size(int out_w);

/* Corner-aligned bilinear scaling of an image of `chans` channels (3: RGB24;
 * 1: one plane, each value written three times) to out_w x out_h RGB24,
 * rounding half up. out_w, out_h >= 2; in_w, in_h >= 1; out does not overlap
 * in; scratch holds gw_resize_scratch_size(out_w) bytes, float-aligned. */
void gw_resize_to_rgb(const uint8_t *in, int in_w, int in_h, int chans, uint8_t *out, int out_w, int out_h,
                      void *scratch);

/* The same scaling with `chans` channels out as in (1 or 3), written only in
 * the window of columns c0..c1-1 and rows r0..r1-1 of out (out_w x out_h);
 * every value is the one the whole scaling gives there. */
void gw_resize_window(const uint8_t *in, int in_w, int in_h, int chans, uint8_t *out, int out_w, int out_h, int c0,
                      int c1, int r0, int r1, void *scratch);

/* The scaling row by row, for parts of rows that differ from row to row:
 * gw_resize_init prepares the columns c0..c1-1 (the scratch holds the
 * prepared taps and the products of the last two source rows); then
 * gw_resize_row writes columns k0..k1-1 (inside c0..c1) of output row j,
 * `chans` channels per pixel, out_row pointing at the row's first pixel. */
struct GwColTap;
typedef struct GwResize {
    const uint8_t *in;
    int in_w, in_h, chans, out_w, out_h, c0, c1;
    struct GwColTap *taps;
    float *prod;
    int cached[2];
} GwResize;
void gw_resize_init(GwResize *z, const uint8_t *in, int in_w, int in_h, int chans, int out_w, int out_h, int c0,
                    int c1, void *scratch);
void gw_resize_row(GwResize *z, int j, int k0, int k1, uint8_t *out_row);

/* The bytes gw_resize_to_rgb(in, in_w, in_h, 3, ..., out_w, out_h) gives,
 * as three planes of out_w x out_h unit values (byte / 255.0f, planar R, G,
 * B): a network's input straight from the scaling. in_stride: bytes from one
 * row of in to the next; scratch as for the scaling
 * (gw_resize_scratch_size(out_w)). */
void gw_resize_to_unit_planes(const uint8_t *in, int in_w, int in_h, size_t in_stride, float *out, int out_w,
                              int out_h, void *scratch);

/* Three planes of 2 * (v - 0.5), v the bilinear value (gw_bilerp, not
 * rounded) of the unit values around each corner-aligned position: the
 * detection network's input. scratch as above. */
void gw_resize_to_signed_planes(const uint8_t *in, int in_w, int in_h, float *out, int out_w, int out_h,
                                void *scratch);

/* Bilinear value of an 8-bit plane (w, h >= 2) at column x, row y, rounded
 * half up; beyond the outer samples it extrapolates and is not clamped. */
int gw_sample_u8_bilinear(const uint8_t *plane, int w, int h, float x, float y);

#endif /* GW_RESAMPLE_H */
