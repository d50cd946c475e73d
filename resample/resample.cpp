// Bilinear resampling shared by detection and inpainting.
#include "resample.h"

/* Filled once, on first use (function-local statics: concurrent first calls
 * are safe). */
const float *gw_byte_value(void)
{
    static float table[256];
    static const bool filled = [] {
        for (int i = 0; i < 256; i++)
            table[i] = (float)i;
        return true;
    }();
    (void)filled;
    return table;
}

const float *gw_byte_unit(void)
{
    static float table[256];
    static const bool filled = [] {
        for (int i = 0; i < 256; i++)
            table[i] = (float)i / 255.0f;
        return true;
    }();
    (void)filled;
    return table;
}

/* Column taps of a scaling, in source bytes (times the channel count). */
typedef struct ColTap {
    int x0, x1;
    float w0, w1; /* 1 - fx, fx */
} ColTap;

size_t gw_resize_scratch_size(int out_w)
{
    /* the taps, then two cached rows of (a*w0, b*w1) products, 3 channels */
    return (size_t)out_w * sizeof(ColTap) + 4 * (size_t)out_w * 3 * sizeof(float);
}

/* Each term is (sample * column weight) * row weight; the first product
 * depends on the source row and column only, so it is worked out once per
 * source row (two rows cached: a row serves neighbouring output rows) and
 * the rows are then combined element-wise, in gw_bilerp's order. */
void gw_resize_to_rgb(const uint8_t *in, int in_w, int in_h, int chans, uint8_t *out, int out_w, int out_h,
                      void *scratch)
{
    const size_t n = (size_t)out_w * chans;
    ColTap *taps = (ColTap *)scratch;
    float *prod = (float *)(taps + out_w);
    const float *U = gw_byte_value();
    int cached[2] = {-1, -1};

    for (int i = 0; i < out_w; i++) {
        const GwTap t = gw_axis_tap(i, in_w, out_w);
        taps[i].x0 = t.i0 * chans;
        taps[i].x1 = t.i1 * chans;
        taps[i].w0 = 1.0f - t.f;
        taps[i].w1 = t.f;
    }
    for (int j = 0; j < out_h; j++) {
        const GwTap ty = gw_axis_tap(j, in_h, out_h);
        const float fy = ty.f, gy = 1.0f - fy;
        uint8_t *o = out + (size_t)j * out_w * 3;

        /* Products of rows i0 and i1: slot k holds (a*w0, b*w1) for row cached[k]. */
        const float *p[2];
        const int want[2] = {ty.i0, ty.i1};
        for (int w = 0; w < 2; w++) {
            int k = cached[0] == want[w] ? 0 : cached[1] == want[w] ? 1 : -1;
            if (k < 0) {
                /* reuse the slot the other wanted row does not occupy */
                k = (w == 1 && cached[0] == want[0]) ? 1 : (w == 1 && cached[1] == want[0]) ? 0 : w;
                const uint8_t *row = in + (size_t)want[w] * in_w * chans;
                float *a = prod + (size_t)k * 2 * n, *b = a + n;
                if (chans == 3) {
                    for (int i = 0; i < out_w; i++) {
                        const ColTap t = taps[i];
                        for (int c = 0; c < 3; c++) {
                            a[i * 3 + c] = U[row[t.x0 + c]] * t.w0;
                            b[i * 3 + c] = U[row[t.x1 + c]] * t.w1;
                        }
                    }
                } else {
                    for (int i = 0; i < out_w; i++) {
                        a[i] = U[row[taps[i].x0]] * taps[i].w0;
                        b[i] = U[row[taps[i].x1]] * taps[i].w1;
                    }
                }
                cached[k] = want[w];
            }
            p[w] = prod + (size_t)k * 2 * n;
        }
        const float *a0 = p[0], *b0 = p[0] + n, *a1 = p[1], *b1 = p[1] + n;
        if (chans == 3) {
            for (size_t k = 0; k < n; k++) {
                const float v = a0[k] * gy + b0[k] * gy + a1[k] * fy + b1[k] * fy;
                o[k] = (uint8_t)(int)(v + 0.5f);
            }
        } else {
            for (size_t k = 0; k < n; k++) {
                const float v = a0[k] * gy + b0[k] * gy + a1[k] * fy + b1[k] * fy;
                o[k * 3] = o[k * 3 + 1] = o[k * 3 + 2] = (uint8_t)(int)(v + 0.5f);
            }
        }
    }
}

int gw_sample_u8_bilinear(const uint8_t *plane, int w, int h, float x, float y)
{
    int x0 = (int)x, y0 = (int)y;
    if (x0 < 0)
        x0 = 0;
    if (x0 >= w - 1)
        x0 = w - 2;
    if (y0 < 0)
        y0 = 0;
    if (y0 >= h - 1)
        y0 = h - 2;
    /* Unclamped weights: beyond the outer samples the value extrapolates. */
    const uint8_t *r0 = plane + (size_t)y0 * w;
    const uint8_t *r1 = r0 + w;
    const float v = gw_bilerp((float)r0[x0], (float)r0[x0 + 1], (float)r1[x0], (float)r1[x0 + 1], x - (float)x0,
                              y - (float)y0);
    return (int)(v + 0.5f);
}
