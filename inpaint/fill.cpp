// The model pass of one crop and the blend back into the frame: the crop and
// its hole go to 512x512, the fill model repaints them, the result comes back
// to the crop's size and is blended through the softened hole.
#include <stdio.h>
#include <string.h>

#include "inpaint_internal.h"
#include "platform/stage_timers.h"
#include "resample/resample.h"

/* The rows and columns of a side x side plane that hold a nonzero byte:
 * rows r0..r1, columns c0..c1 (inclusive); r0 > r1 when all are zero. */
typedef struct Extent {
    int r0, r1, c0, c1;
} Extent;

static Extent plane_extent(const uint8_t *plane, int side)
{
    Extent e = {side, -1, side, -1};
    for (int q = 0; q < side; q++) {
        int a, b;
        row_extent(plane + (size_t)q * side, side, &a, &b);
        if (a > b)
            continue;
        e.r0 = imin(e.r0, q);
        e.r1 = q;
        e.c0 = imin(e.c0, a);
        e.c1 = imax(e.c1, b);
    }
    return e;
}

void feather_mask(uint8_t *plane, uint16_t *h)
{
    /* Separable: exact integer row sums of three (two at the ends), then
     * column sums of those; the same sums and divisors as the 3x3 window.
     * Rows away from the nonzero ones are zero and stay zero: each pass
     * works on the nonzero rows and one more on each side. */
    int lo = N, hi = -1;
    for (int q = 0; q < N; q++) {
        int a, b;
        row_extent(plane + (size_t)q * N, N, &a, &b);
        if (a <= b) {
            lo = imin(lo, q);
            hi = q;
        }
    }
    if (lo > hi)
        return;
    for (int pass = 0; pass < 2; pass++) {
        const int olo = imax(lo - 1, 0), ohi = imin(hi + 1, N - 1);
        for (int q = imax(olo - 1, 0); q <= imin(ohi + 1, N - 1); q++) {
            const uint8_t *__restrict in = plane + (size_t)q * N;
            uint16_t *__restrict o = h + (size_t)q * N;
            o[0] = (uint16_t)(in[0] + in[1]);
            for (int p = 1; p < N - 1; p++)
                o[p] = (uint16_t)(in[p - 1] + in[p] + in[p + 1]);
            o[N - 1] = (uint16_t)(in[N - 2] + in[N - 1]);
        }
        for (int q = olo; q <= ohi; q++) {
            const int q0 = imax(q - 1, 0), q1 = imin(q + 1, N - 1);
            const unsigned rows = (unsigned)(q1 - q0 + 1);
            uint8_t *__restrict o = plane + (size_t)q * N;
            const uint16_t *__restrict a = h + (size_t)q0 * N, *__restrict c = h + (size_t)q1 * N;
            const uint16_t *__restrict b = h + (size_t)q * N;
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
        lo = olo;
        hi = ohi;
    }
}

/* The crop's 0/1 mask at 512x512 as 0/255, a model pixel being hole when any
 * crop pixel under it is: thin letter holes survive the scaling down. Model
 * rows over crop rows without hole (outside rows m.r0..m.r1) are zero. */
static void pool_mask_any(const uint8_t *mask, int s, const Extent *m, uint8_t *out)
{
    int lo[GW_INPAINT_SIZE], hi[GW_INPAINT_SIZE];  /* crop span of each model row/column */
    for (int p = 0; p < N; p++) {
        lo[p] = (int)((long long)p * s / N);
        hi[p] = imax(lo[p] + 1, (int)(((long long)(p + 1) * s + N - 1) / N));
        hi[p] = imin(hi[p], s);
    }
    for (int q = 0; q < N; q++) {
        uint8_t *o = out + (size_t)q * N;
        if (hi[q] <= m->r0 || lo[q] > m->r1) {
            memset(o, 0, (size_t)N);
            continue;
        }
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
 * and weights worked out once per row and column; a model row whose two crop
 * rows hold no hole (outside m.r0..m.r1) is zero whatever the weights. */
static void sample_mask(const uint8_t *mask, int s, const Extent *m, uint8_t *out)
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
        uint8_t *o = out + (size_t)q * N;
        if (ty.i1 < m->r0 || ty.i0 > m->r1) {
            memset(o, 0, (size_t)N);
            continue;
        }
        const uint8_t *r0 = mask + (size_t)ty.i0 * s;
        const uint8_t *r1 = r0 + s;
        for (int p = 0; p < N; p++) {
            const GwTap tx = taps[p];
            const float v = gw_bilerp((float)r0[tx.i0], (float)r0[tx.i1], (float)r1[tx.i0], (float)r1[tx.i1], tx.f, ty.f);
            const int mv = (int)(v + 0.5f);
            o[p] = (uint8_t)(255 * mv);
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

/* Output indices 0..s-1 of a 512 -> s scaling whose two taps reach source
 * indices lo..hi: [*a, *b). The taps rise with the index. */
static void reaching(int lo, int hi, int s, int *a, int *b)
{
    int j = 0, e = s;
    while (j < s && gw_axis_tap(j, N, s).i1 < lo)
        j++;
    while (e > j && gw_axis_tap(e - 1, N, s).i0 > hi)
        e--;
    *a = j;
    *b = e;
}

/* Blends columns c0..c1-1 of one crop row into the frame row f: alpha bytes
 * 0..5 keep the frame pixel, 255 takes the repainted one (rep*1 + f*0 + 0.5
 * truncates to rep), the rest mix in float32. */
static void blend_row(uint8_t *f, const uint8_t *rep, const uint8_t *al, int c0, int c1)
{
    const float *unit = gw_byte_unit();
    int c = c0;
    while (c < c1) {
        if (al[c] == 255) {
            int e = c + 1;
            while (e < c1 && al[e] == 255)
                e++;
            memcpy(f + (size_t)c * 3, rep + (size_t)c * 3, (size_t)(e - c) * 3);
            c = e;
            continue;
        }
        const float a = unit[al[c]];
        if (a >= 0.02f) {
            for (int ch = 0; ch < 3; ch++) {
                const size_t k = (size_t)c * 3 + ch;
                f[k] = (uint8_t)((float)rep[k] * a + (float)f[k] * (1.0f - a) + 0.5f);
            }
        }
        c++;
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

/* The crop's model input: the scaled crop as three planes of unit values
 * (the bytes of the scaling / 255) and the hole plane (0/255 in soft, 0/1
 * in the mask tensor). */
static void fill_inputs(RegionCrop *crop, const Extent *hole, const InpaintWork *w)
{
    const int s = crop->side;
    const float *unit = gw_byte_unit();
    gw_resize_to_unit_planes(crop->pixels, s, s, (size_t)crop->stride, w->image_tensor, N, N, w->resize);
    if (w->glyphs)
        pool_mask_any(crop->mask, s, hole, w->soft);
    else
        sample_mask(crop->mask, s, hole, w->soft);
    for (int q = 0; q < N; q++) {
        const uint8_t *m = w->soft + (size_t)q * N;
        float *t = w->mask_tensor + (size_t)q * N;
        int a, b;
        row_extent(m, N, &a, &b);
        if (a > b) {
            memset(t, 0, (size_t)N * sizeof *t); /* all bits zero: 0.0f */
            continue;
        }
        for (int p = 0; p < N; p++)
            t[p] = unit[m[p]];
    }
}

/* The model's output back into the frame. Only crop pixels whose alpha can
 * be nonzero are worked on: the rows and columns whose scaling taps reach the
 * softened hole (and, with letter holes, the letters themselves); there the
 * output becomes bytes, the alpha is scaled, and row by row the repainted
 * pixels are scaled and blended where the alpha is 6 or more. */
static void blend_back(RegionCrop *crop, const Extent *hole, uint8_t *rgb, int width, const InpaintWork *w)
{
    const int s = crop->side;
    uint8_t *work = w->work, *soft = w->soft;
    feather_mask(soft, w->feather);
    const Extent e = plane_extent(soft, N);
    int j0 = 0, j1 = 0, c0 = 0, c1 = 0;
    if (e.r0 <= e.r1) {
        reaching(e.r0, e.r1, s, &j0, &j1);
        reaching(e.c0, e.c1, s, &c0, &c1);
    }
    if (w->glyphs && hole->r0 <= hole->r1) {
        if (j0 >= j1) { /* no soft pixel: the letters alone */
            j0 = hole->r0, j1 = hole->r1 + 1, c0 = hole->c0, c1 = hole->c1 + 1;
        } else {
            j0 = imin(j0, hole->r0), j1 = imax(j1, hole->r1 + 1);
            c0 = imin(c0, hole->c0), c1 = imax(c1, hole->c1 + 1);
        }
    }
    if (j0 >= j1 || c0 >= c1) {
        memset(crop->alpha, 0, (size_t)s * s);
        return;
    }

    /* The output as bytes where the window's taps read it. */
    const int q0 = gw_axis_tap(j0, N, s).i0, q1 = gw_axis_tap(j1 - 1, N, s).i1;
    const int p0 = gw_axis_tap(c0, N, s).i0, p1 = gw_axis_tap(c1 - 1, N, s).i1;
    for (int c = 0; c < 3; c++)
        for (int q = q0; q <= q1; q++) {
            const float *t = w->output_tensor + c * PLANE + (size_t)q * N;
            uint8_t *o = work + (size_t)q * N * 3 + c;
            for (int p = p0; p <= p1; p++)
                o[p * 3] = output_byte(t[p]);
        }

    /* The alpha: the softened hole scaled as one plane, zero outside the
     * window; every letter pixel is repainted fully (the softening only
     * widens the blend outwards). */
    for (int j = 0; j < s; j++) {
        uint8_t *al = crop->alpha + (size_t)j * s;
        if (j < j0 || j >= j1) {
            memset(al, 0, (size_t)s);
            continue;
        }
        memset(al, 0, (size_t)c0);
        memset(al + c1, 0, (size_t)(s - c1));
    }
    gw_resize_window(soft, N, N, 1, crop->alpha, s, s, c0, c1, j0, j1, w->resize);
    if (w->glyphs) {
        for (int j = hole->r0; j <= hole->r1; j++) {
            const uint8_t *m = crop->mask + (size_t)j * s;
            uint8_t *al = crop->alpha + (size_t)j * s;
            for (int c = hole->c0; c <= hole->c1; c++)
                if (m[c])
                    al[c] = 255;
        }
    }

    GwResize rep;
    gw_resize_init(&rep, work, N, N, 3, s, s, c0, c1, w->resize);
    for (int j = j0; j < j1; j++) {
        const uint8_t *al = crop->alpha + (size_t)j * s;
        int a0 = c0, a1 = c1;
        while (a0 < a1 && al[a0] <= 5)
            a0++;
        while (a1 > a0 && al[a1 - 1] <= 5)
            a1--;
        if (a0 == a1)
            continue;
        uint8_t *r = crop->repainted + (size_t)j * s * 3;
        gw_resize_row(&rep, j, a0, a1, r);
        blend_row(rgb + ((size_t)(crop->y + j) * width + crop->x) * 3, r, al, a0, a1);
    }
}

int inpaint_crop(ModelSession *model, RegionCrop *crop, uint8_t *rgb, int width, const InpaintWork *w)
{
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
    const Extent hole = plane_extent(crop->mask, crop->side);
    fill_inputs(crop, &hole, w);
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
    blend_back(crop, &hole, rgb, width, w);
    GW_TIMER_STOP(t_out, GW_ST_BLEND);
    return 0;
}
