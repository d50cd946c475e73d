// The model pass of one crop and the blend back into the frame: the crop and
// its hole go to 512x512, the fill model repaints them, the result comes back
// to the crop's size and is blended through the softened hole.
#include <stdio.h>
#include <string.h>

#include "inpaint_internal.h"
#include "platform/stage_timers.h"
#include "resample/resample.h"

void feather_mask(uint8_t *plane, uint16_t *h)
{
    /* Separable: exact integer row sums of three (two at the ends), then
     * column sums of those; the same sums and divisors as the 3x3 window. */
    for (int pass = 0; pass < 2; pass++) {
        for (int q = 0; q < N; q++) {
            const uint8_t *in = plane + (size_t)q * N;
            uint16_t *o = h + (size_t)q * N;
            o[0] = (uint16_t)(in[0] + in[1]);
            for (int p = 1; p < N - 1; p++)
                o[p] = (uint16_t)(in[p - 1] + in[p] + in[p + 1]);
            o[N - 1] = (uint16_t)(in[N - 2] + in[N - 1]);
        }
        for (int q = 0; q < N; q++) {
            const int q0 = imax(q - 1, 0), q1 = imin(q + 1, N - 1);
            const unsigned rows = (unsigned)(q1 - q0 + 1);
            uint8_t *o = plane + (size_t)q * N;
            const uint16_t *a = h + (size_t)q0 * N, *c = h + (size_t)q1 * N;
            const uint16_t *b = h + (size_t)q * N;
            if (rows == 3) {
                o[0] = (uint8_t)(((unsigned)a[0] + b[0] + c[0]) / 6u);
                for (int p = 1; p < N - 1; p++)
                    o[p] = (uint8_t)(((unsigned)a[p] + b[p] + c[p]) / 9u);
                o[N - 1] = (uint8_t)(((unsigned)a[N - 1] + b[N - 1] + c[N - 1]) / 6u);
            } else {
                /* first or last row: a or c is b itself, two rows counted */
                const uint16_t *other = q0 == q ? c : a;
                o[0] = (uint8_t)(((unsigned)b[0] + other[0]) / 4u);
                for (int p = 1; p < N - 1; p++)
                    o[p] = (uint8_t)(((unsigned)b[p] + other[p]) / 6u);
                o[N - 1] = (uint8_t)(((unsigned)b[N - 1] + other[N - 1]) / 4u);
            }
        }
    }
}

/* The crop's 0/1 mask at 512x512 as 0/255, a model pixel being hole when any
 * crop pixel under it is: thin letter holes survive the scaling down. */
static void pool_mask_any(const uint8_t *mask, int s, uint8_t *out)
{
    int lo[GW_INPAINT_SIZE], hi[GW_INPAINT_SIZE];  /* crop span of each model row/column */
    for (int p = 0; p < N; p++) {
        lo[p] = (int)((long long)p * s / N);
        hi[p] = imax(lo[p] + 1, (int)(((long long)(p + 1) * s + N - 1) / N));
        hi[p] = imin(hi[p], s);
    }
    for (int q = 0; q < N; q++) {
        uint8_t *o = out + (size_t)q * N;
        for (int p = 0; p < N; p++) {
            uint8_t any = 0;
            for (int r = lo[q]; r < hi[q] && !any; r++) {
                const uint8_t *row = mask + (size_t)r * s;
                for (int c = lo[p]; c < hi[p]; c++)
                    any |= row[c];
            }
            o[p] = any ? 255 : 0;
        }
    }
}

/* The crop's 0/1 mask at 512x512 as 0/255 by bilinear lookup at pixel
 * centres. Near the crop's right and bottom edges the lookup extrapolates
 * and m may leave 0..1; 255*m keeps its low 8 bits, as the model has always
 * been fed. Each value is gw_sample_u8_bilinear's, with its clamped positions
 * and weights worked out once per row and column. */
static void sample_mask(const uint8_t *mask, int s, uint8_t *out)
{
    GwTap taps[GW_INPAINT_SIZE]; /* the same along both axes of the square */
    for (int p = 0; p < N; p++) {
        const float x = ((float)p + 0.5f) * (float)s * 0.001953125f;
        int x0 = (int)x;
        if (x0 < 0)
            x0 = 0;
        if (x0 >= s - 1)
            x0 = s - 2;
        taps[p].i0 = x0;
        taps[p].i1 = x0 + 1;
        taps[p].f = x - (float)x0;
    }
    for (int q = 0; q < N; q++) {
        const GwTap ty = taps[q];
        const uint8_t *r0 = mask + (size_t)ty.i0 * s;
        const uint8_t *r1 = r0 + s;
        uint8_t *o = out + (size_t)q * N;
        for (int p = 0; p < N; p++) {
            const GwTap tx = taps[p];
            const float v = gw_bilerp((float)r0[tx.i0], (float)r0[tx.i1], (float)r1[tx.i0], (float)r1[tx.i1], tx.f, ty.f);
            const int m = (int)(v + 0.5f);
            o[p] = (uint8_t)(255 * m);
        }
    }
}

/* A model output value as a byte: clamped to 0..255, rounded half up; NaN is 0. */
static inline uint8_t output_byte(float v)
{
    if (!(v >= 0.0f))
        return 0;
    return (uint8_t)((v < 255.0f ? v : 255.0f) + 0.5f);
}

/* Blends crop->repainted into the frame through crop->alpha. */
static void blend_crop(const RegionCrop *crop, uint8_t *rgb, int width)
{
    const float *unit = gw_byte_unit();
    const int s = crop->side;
    for (int r = 0; r < s; r++) {
        uint8_t *f = rgb + ((size_t)(crop->y + r) * width + crop->x) * 3;
        const uint8_t *rep = crop->repainted + (size_t)r * s * 3;
        const uint8_t *al = crop->alpha + (size_t)r * s * 3;
        for (int c = 0; c < s; c++) {
            const float a = unit[al[c * 3]];
            if (a < 0.02f)
                continue;  /* alpha bytes 0..5 keep the frame pixel */
            for (int ch = 0; ch < 3; ch++) {
                const int k = c * 3 + ch;
                f[k] = (uint8_t)((float)rep[k] * a + (float)f[k] * (1.0f - a) + 0.5f);
            }
        }
    }
}

/* Checks the shape a model run produced; 0, or -1 with msg. */
static int check_output_shape(const TensorShape *o, char *msg, size_t size)
{
    if (o->n == 1 && o->c == 3 && o->h == N && o->w == N)
        return 0;
    if (o->n == 1 && o->c == 1 && o->h == 1 && o->w == (int64_t)(3 * PLANE))
        snprintf(msg, size, "output is not a 1x3x%dx%d tensor", N, N);
    else
        snprintf(msg, size, "output shape %lldx%lldx%lldx%lld, expected 1x3x%dx%d", (long long)o->n,
                 (long long)o->c, (long long)o->h, (long long)o->w, N, N);
    return -1;
}

int inpaint_crop(ModelSession *model, RegionCrop *crop, uint8_t *rgb, int width, const InpaintWork *w)
{
    const int s = crop->side;
    const float *unit = gw_byte_unit();
    /* work: 512x512 RGB24, in turn the scaled crop and the repainted image.
     * soft: the 512x512 hole mask, softened after the run. */
    uint8_t *work = w->work, *soft = w->soft;
    char msg[512];
    float *inputs[2] = {w->image_tensor, w->mask_tensor};
    float *outputs[1] = {w->output_tensor};
    const TensorShape in_shapes[2] = {{1, 3, N, N}, {1, 1, N, N}};
    /* Preset to a shape the model must not produce: ort_session_run leaves the
     * caller's shape in place for outputs of 2 or 3 dimensions, and a run only
     * counts when the produced shape is 1x3x512x512 exactly. */
    TensorShape out_shape = {1, 1, 1, (int64_t)(3 * PLANE)};
    const size_t out_cap = 3 * PLANE;

    GW_TIMER_START(t_in);
    gw_resize_to_rgb(crop->pixels, s, s, 3, work, N, N, w->resize);
    for (int c = 0; c < 3; c++) {
        float *t = w->image_tensor + c * PLANE;
        const uint8_t *p = work + c;
        for (size_t i = 0; i < PLANE; i++)
            t[i] = unit[p[i * 3]];
    }
    if (w->glyphs)
        pool_mask_any(crop->mask, s, soft);
    else
        sample_mask(crop->mask, s, soft);
    for (size_t i = 0; i < PLANE; i++)
        w->mask_tensor[i] = unit[soft[i]];
    GW_TIMER_STOP(t_in, GW_ST_BLEND);

    memset(msg, 0, sizeof msg);
    GW_TIMER_START(t_net);
    const int rc = ort_session_run(model, inputs, in_shapes, 2, outputs, &out_shape, &out_cap, 1, msg, sizeof msg);
    GW_TIMER_STOP(t_net, GW_ST_INPAINT_NET);
    if (rc == -2)
        return -2;
    if (rc != 0 || check_output_shape(&out_shape, msg, sizeof msg) != 0) {
        fprintf(stderr, "[inpaint] LAMA FAIL: %s\n", msg);
        return 0;
    }

    GW_TIMER_START(t_out);
    for (int c = 0; c < 3; c++) {
        const float *t = w->output_tensor + c * PLANE;
        uint8_t *p = work + c;
        for (size_t i = 0; i < PLANE; i++)
            p[i * 3] = output_byte(t[i]);
    }
    gw_resize_to_rgb(work, N, N, 3, crop->repainted, s, s, w->resize);

    feather_mask(soft, w->feather);
    /* The softened mask scaled as one plane; crop->alpha gets it as R = G = B. */
    gw_resize_to_rgb(soft, N, N, 1, crop->alpha, s, s, w->resize);
    if (w->glyphs) {
        /* Every letter pixel is repainted fully; the softening only widens
         * the blend outwards. */
        for (size_t i = 0; i < (size_t)s * s; i++)
            if (crop->mask[i])
                crop->alpha[i * 3] = 255;
    }
    blend_crop(crop, rgb, width);
    GW_TIMER_STOP(t_out, GW_ST_BLEND);
    return 0;
}
