// Bilinear resampling shared by detection and inpainting.
#include "resample.h"

#include <string.h>

#include "resample_wide.h"
#include "simd.h"

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
struct GwColTap {
    int x0, x1;
    float w0, w1; /* 1 - fx, fx */
};

/* Floats of one cached product row: 3 channels, and room for one 4-float
 * store past the last column. */
static size_t product_row(int out_w) { return (size_t)out_w * 3 + 4; }

size_t gw_resize_scratch_size(int out_w)
{
    /* the taps, then two cached rows of (a*w0, b*w1) products */
    return (size_t)out_w * sizeof(GwColTap) + 4 * product_row(out_w) * sizeof(float);
}

void gw_resize_init(GwResize *z, const uint8_t *in, int in_w, int in_h, int chans, int out_w, int out_h, int c0,
                    int c1, void *scratch)
{
    z->in = in;
    z->in_w = in_w;
    z->in_h = in_h;
    z->chans = chans;
    z->out_w = out_w;
    z->out_h = out_h;
    z->c0 = c0;
    z->c1 = c1;
    z->taps = (GwColTap *)scratch;
    z->prod = (float *)(z->taps + out_w);
    z->cached[0] = z->cached[1] = -1;
    for (int i = c0; i < c1; i++) {
        const GwTap t = gw_axis_tap(i, in_w, out_w);
        z->taps[i].x0 = t.i0 * chans;
        z->taps[i].x1 = t.i1 * chans;
        z->taps[i].w0 = 1.0f - t.f;
        z->taps[i].w1 = t.f;
    }
}

/* (sample * column weight) of one source row for the columns c0..c1-1: a
 * for the first tap of each column, b for the second. */
static void row_products(const GwResize *z, const uint8_t *row, float *a, float *b)
{
    const GwColTap *taps = z->taps;
    const int row_bytes = z->in_w * z->chans;
    int i = z->c0;
    if (z->chans == 3) {
#if GW_HAVE_SSE2
        /* Four bytes from each tap, the pixel's three and one more that the
         * next column overwrites (or that lands in the row's slack); the
         * columns whose taps end the row take the scalar path. */
        const __m128i zero = _mm_setzero_si128();
        for (; i < z->c1 && taps[i].x1 + 4 <= row_bytes; i++) {
            int32_t p0, p1;
            memcpy(&p0, row + taps[i].x0, 4);
            memcpy(&p1, row + taps[i].x1, 4);
            const __m128 v0 = _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(p0), zero), zero));
            const __m128 v1 = _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(p1), zero), zero));
            _mm_storeu_ps(a + (size_t)i * 3, _mm_mul_ps(v0, _mm_set1_ps(taps[i].w0)));
            _mm_storeu_ps(b + (size_t)i * 3, _mm_mul_ps(v1, _mm_set1_ps(taps[i].w1)));
        }
#endif
        for (; i < z->c1; i++) {
            const GwColTap t = taps[i];
            for (int c = 0; c < 3; c++) {
                a[i * 3 + c] = (float)row[t.x0 + c] * t.w0;
                b[i * 3 + c] = (float)row[t.x1 + c] * t.w1;
            }
        }
    } else {
        for (; i < z->c1; i++) {
            a[i] = (float)row[taps[i].x0] * taps[i].w0;
            b[i] = (float)row[taps[i].x1] * taps[i].w1;
        }
    }
}

/* (a0*gy + b0*gy) + a1*fy + b1*fy at index i, in gw_bilerp's order: the one
 * sum that every output of the scaling rounds or maps, four values or one. */
#if GW_HAVE_SSE2
static inline __m128 sum4(const float *a0, const float *b0, const float *a1, const float *b1, __m128 vg, __m128 vf,
                          size_t i)
{
    return _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_loadu_ps(a0 + i), vg), _mm_mul_ps(_mm_loadu_ps(b0 + i), vg)),
                                 _mm_mul_ps(_mm_loadu_ps(a1 + i), vf)),
                      _mm_mul_ps(_mm_loadu_ps(b1 + i), vf));
}
#endif

static inline float sum1(const float *a0, const float *b0, const float *a1, const float *b1, float gy, float fy,
                         size_t i)
{
    return a0[i] * gy + b0[i] * gy + a1[i] * fy + b1[i] * fy;
}

/* o[k] for k in k0..k1-1 from the two rows' products, in gw_bilerp's order,
 * rounded half up; the int keeps its low byte as a plain conversion does. */
static void combine_rows(const float *a0, const float *b0, const float *a1, const float *b1, float gy, float fy,
                         uint8_t *o, size_t k0, size_t k1)
{
    size_t k = k0;
#if GW_HAVE_SSE2
    const __m128 vg = _mm_set1_ps(gy), vf = _mm_set1_ps(fy), half = _mm_set1_ps(0.5f);
    const __m128i low = _mm_set1_epi32(255);
    for (; k + 16 <= k1; k += 16) {
        __m128i q[4];
        for (int j = 0; j < 4; j++) {
            const size_t m = k + 4 * (size_t)j;
            q[j] = _mm_and_si128(_mm_cvttps_epi32(_mm_add_ps(sum4(a0, b0, a1, b1, vg, vf, m), half)), low);
        }
        const __m128i w = _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
        _mm_storeu_si128((__m128i *)(o + k), w);
    }
#endif
    for (; k < k1; k++) {
        o[k] = (uint8_t)(int)(sum1(a0, b0, a1, b1, gy, fy, k) + 0.5f);
    }
}

/* Each term is (sample * column weight) * row weight; the first product
 * depends on the source row and column only, so it is worked out once per
 * source row (two rows cached: a row serves neighbouring output rows) and
 * the rows are then combined element-wise, in gw_bilerp's order. */
void gw_resize_row(GwResize *z, int j, int k0, int k1, uint8_t *out_row)
{
    const int chans = z->chans;
    const size_t slot = product_row(z->out_w);
    const GwTap ty = gw_axis_tap(j, z->in_h, z->out_h);
    const float fy = ty.f, gy = 1.0f - fy;

    /* Products of rows i0 and i1: slot k holds (a*w0, b*w1) for row cached[k]. */
    const float *p[2];
    const int want[2] = {ty.i0, ty.i1};
    for (int w = 0; w < 2; w++) {
        int k = z->cached[0] == want[w] ? 0 : z->cached[1] == want[w] ? 1 : -1;
        if (k < 0) {
            /* reuse the slot the other wanted row does not occupy */
            k = (w == 1 && z->cached[0] == want[0]) ? 1 : (w == 1 && z->cached[1] == want[0]) ? 0 : w;
            float *a = z->prod + (size_t)k * 2 * slot;
            row_products(z, z->in + (size_t)want[w] * z->in_w * chans, a, a + slot);
            z->cached[k] = want[w];
        }
        p[w] = z->prod + (size_t)k * 2 * slot;
    }
    combine_rows(p[0], p[0] + slot, p[1], p[1] + slot, gy, fy, out_row, (size_t)k0 * chans, (size_t)k1 * chans);
}

void gw_resize_window(const uint8_t *in, int in_w, int in_h, int chans, uint8_t *out, int out_w, int out_h, int c0,
                      int c1, int r0, int r1, void *scratch)
{
    GwResize z;
    gw_resize_init(&z, in, in_w, in_h, chans, out_w, out_h, c0, c1, scratch);
    for (int j = r0; j < r1; j++)
        gw_resize_row(&z, j, c0, c1, out + (size_t)j * out_w * chans);
}

void gw_resize_to_rgb(const uint8_t *in, int in_w, int in_h, int chans, uint8_t *out, int out_w, int out_h,
                      void *scratch)
{
    GwResize z;
    gw_resize_init(&z, in, in_w, in_h, chans, out_w, out_h, 0, out_w, scratch);
    for (int j = 0; j < out_h; j++) {
        uint8_t *o = out + (size_t)j * out_w * 3;
        gw_resize_row(&z, j, 0, out_w, o);
        if (chans == 1) /* one value per pixel at the row's start, spread backwards to R = G = B */
            for (int k = out_w - 1; k >= 0; k--)
                o[k * 3] = o[k * 3 + 1] = o[k * 3 + 2] = o[k];
    }
}

#if GW_HAVE_SSE2
/* The first three bytes at p0..p3 (four pixels) as three vectors, one per
 * channel: each pixel's bytes in one 32-bit lane, split by shifts and masks. */
static inline void pixels4_planes(const uint8_t *p0, const uint8_t *p1, const uint8_t *p2, const uint8_t *p3,
                                  __m128 *r, __m128 *g, __m128 *b)
{
    int32_t v0, v1, v2, v3;
    memcpy(&v0, p0, 4);
    memcpy(&v1, p1, 4);
    memcpy(&v2, p2, 4);
    memcpy(&v3, p3, 4);
    const __m128i v = _mm_set_epi32(v3, v2, v1, v0), low = _mm_set1_epi32(0xff);
    *r = _mm_cvtepi32_ps(_mm_and_si128(v, low));
    *g = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(v, 8), low));
    *b = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(v, 16), low));
}
#endif

/* Planar products of one RGB24 source row: plane c of tap t at
 * prod + (t * 3 + c) * out_w, for every output column; of the bytes, or
 * with unit set of their unit values (byte / 255.0f). */
static void planar_products(const uint8_t *row, int row_bytes, const int *x0, const int *x1, const float *w0,
                            const float *w1, int out_w, int unit, int wide, float *prod)
{
    float *a[3] = {prod, prod + out_w, prod + 2 * (size_t)out_w};
    float *b[3] = {prod + 3 * (size_t)out_w, prod + 4 * (size_t)out_w, prod + 5 * (size_t)out_w};
    int i = 0;
#if GW_HAVE_WIDE_KERNELS
    if (wide)
        i = gw_planar_products_wide(row, row_bytes, x0, x1, w0, w1, out_w, unit, prod);
#endif
#if GW_HAVE_SSE2
    /* Four columns at a time; each load takes a pixel's bytes and one more,
     * so the columns whose second tap ends the row take the scalar path. */
    for (; i + 4 <= out_w && x1[i + 3] + 4 <= row_bytes; i += 4) {
        __m128 pr, pg, pb, qr, qg, qb;
        pixels4_planes(row + x0[i], row + x0[i + 1], row + x0[i + 2], row + x0[i + 3], &pr, &pg, &pb);
        pixels4_planes(row + x1[i], row + x1[i + 1], row + x1[i + 2], row + x1[i + 3], &qr, &qg, &qb);
        if (unit) { /* byte / 255.0f, correctly rounded like the scalar division */
            const __m128 d = _mm_set1_ps(255.0f);
            pr = _mm_div_ps(pr, d), pg = _mm_div_ps(pg, d), pb = _mm_div_ps(pb, d);
            qr = _mm_div_ps(qr, d), qg = _mm_div_ps(qg, d), qb = _mm_div_ps(qb, d);
        }
        const __m128 v0 = _mm_loadu_ps(w0 + i), v1 = _mm_loadu_ps(w1 + i);
        _mm_storeu_ps(a[0] + i, _mm_mul_ps(pr, v0));
        _mm_storeu_ps(a[1] + i, _mm_mul_ps(pg, v0));
        _mm_storeu_ps(a[2] + i, _mm_mul_ps(pb, v0));
        _mm_storeu_ps(b[0] + i, _mm_mul_ps(qr, v1));
        _mm_storeu_ps(b[1] + i, _mm_mul_ps(qg, v1));
        _mm_storeu_ps(b[2] + i, _mm_mul_ps(qb, v1));
    }
#endif
    for (; i < out_w; i++)
        for (int c = 0; c < 3; c++) {
            const float p = (float)row[x0[i] + c], q = (float)row[x1[i] + c];
            a[c][i] = (unit ? p / 255.0f : p) * w0[i];
            b[c][i] = (unit ? q / 255.0f : q) * w1[i];
        }
}

/* out[i] = unit value of the rounded byte of the sum. */
static void combine_unit(const float *a0, const float *b0, const float *a1, const float *b1, float gy, float fy,
                         float *out, int n, int wide)
{
    int i = 0;
#if GW_HAVE_WIDE_KERNELS
    if (wide)
        i = gw_combine_unit_wide(a0, b0, a1, b1, gy, fy, out, n);
#endif
#if GW_HAVE_SSE2
    const __m128 vg = _mm_set1_ps(gy), vf = _mm_set1_ps(fy), half = _mm_set1_ps(0.5f), d = _mm_set1_ps(255.0f);
    const __m128i low = _mm_set1_epi32(255);
    for (; i + 4 <= n; i += 4) {
        const __m128i q = _mm_and_si128(_mm_cvttps_epi32(_mm_add_ps(sum4(a0, b0, a1, b1, vg, vf, i), half)), low);
        _mm_storeu_ps(out + i, _mm_div_ps(_mm_cvtepi32_ps(q), d));
    }
#endif
    for (; i < n; i++)
        out[i] = (float)(uint8_t)(int)(sum1(a0, b0, a1, b1, gy, fy, i) + 0.5f) / 255.0f;
}

/* out[i] = 2 * (sum - 0.5): gw_bilerp's sum of the unit values' products,
 * in its order, mapped to -1..1. */
static void combine_signed(const float *a0, const float *b0, const float *a1, const float *b1, float gy, float fy,
                           float *out, int n, int wide)
{
    int i = 0;
#if GW_HAVE_WIDE_KERNELS
    if (wide)
        i = gw_combine_signed_wide(a0, b0, a1, b1, gy, fy, out, n);
#endif
#if GW_HAVE_SSE2
    const __m128 vg = _mm_set1_ps(gy), vf = _mm_set1_ps(fy), half = _mm_set1_ps(0.5f), two = _mm_set1_ps(2.0f);
    for (; i + 4 <= n; i += 4)
        _mm_storeu_ps(out + i, _mm_mul_ps(_mm_sub_ps(sum4(a0, b0, a1, b1, vg, vf, i), half), two));
#endif
    for (; i < n; i++)
        out[i] = (sum1(a0, b0, a1, b1, gy, fy, i) - 0.5f) * 2.0f;
}

/* The two kinds of planes below share the scaling: signed = 0 gives the
 * rounded bytes' unit values, signed = 1 the exact bilinear value of the
 * unit values mapped to -1..1. */
static void resize_to_planes(const uint8_t *in, int in_w, int in_h, size_t in_stride, float *out, int out_w,
                             int out_h, int sign, void *scratch)
{
    int *x0 = (int *)scratch, *x1 = x0 + out_w;
    float *w0 = (float *)(x1 + out_w), *w1 = w0 + out_w;
    float *prod = w1 + out_w; /* two slots of six planes of out_w products */
    const size_t slot = 6 * (size_t)out_w, plane = (size_t)out_w * out_h;
    int cached[2] = {-1, -1};
    const int wide = gw_resample_wide();

    for (int i = 0; i < out_w; i++) {
        const GwTap t = gw_axis_tap(i, in_w, out_w);
        x0[i] = t.i0 * 3;
        x1[i] = t.i1 * 3;
        w0[i] = 1.0f - t.f;
        w1[i] = t.f;
    }
    for (int j = 0; j < out_h; j++) {
        const GwTap ty = gw_axis_tap(j, in_h, out_h);
        const float fy = ty.f, gy = 1.0f - fy;
        const float *p[2];
        const int want[2] = {ty.i0, ty.i1};
        for (int w = 0; w < 2; w++) {
            int k = cached[0] == want[w] ? 0 : cached[1] == want[w] ? 1 : -1;
            if (k < 0) {
                k = (w == 1 && cached[0] == want[0]) ? 1 : (w == 1 && cached[1] == want[0]) ? 0 : w;
                planar_products(in + (size_t)want[w] * in_stride, in_w * 3, x0, x1, w0, w1, out_w, sign, wide,
                                prod + (size_t)k * slot);
                cached[k] = want[w];
            }
            p[w] = prod + (size_t)k * slot;
        }
        for (int c = 0; c < 3; c++)
            (sign ? combine_signed : combine_unit)(p[0] + (size_t)c * out_w, p[0] + (size_t)(3 + c) * out_w,
                                                   p[1] + (size_t)c * out_w, p[1] + (size_t)(3 + c) * out_w, gy, fy,
                                                   out + (size_t)c * plane + (size_t)j * out_w, out_w, wide);
    }
}

void gw_resize_to_unit_planes(const uint8_t *in, int in_w, int in_h, size_t in_stride, float *out, int out_w,
                              int out_h, void *scratch)
{
    resize_to_planes(in, in_w, in_h, in_stride, out, out_w, out_h, 0, scratch);
}

void gw_resize_to_signed_planes(const uint8_t *in, int in_w, int in_h, float *out, int out_w, int out_h,
                                void *scratch)
{
    resize_to_planes(in, in_w, in_h, (size_t)in_w * 3, out, out_w, out_h, 1, scratch);
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
