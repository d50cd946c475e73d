// Eight-column kernels of the planar scaling, for processors with AVX2. They
// are compiled for that instruction set function by function and chosen at
// run time; each computes what the four-column and scalar loops compute,
// operation for operation in float32 (no fused multiply-add), and returns how
// many columns it did, so the narrower loops finish the row.
#include "resample_wide.h"

#include <atomic>
#include <string.h>

#if GW_HAVE_WIDE_KERNELS
#  include <immintrin.h>
#  define GW_WIDE __attribute__((target("avx2")))

static int cpu_has_avx2(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? 1 : 0;
}

/* -1 until first asked: then whether the processor has AVX2, or what
 * gw_resample_wide_kernels set. */
static std::atomic<int> g_wide{-1};

int gw_resample_wide(void)
{
    int on = g_wide.load(std::memory_order_relaxed);
    if (on < 0) {
        on = cpu_has_avx2();
        g_wide.store(on, std::memory_order_relaxed);
    }
    return on;
}

int gw_resample_wide_kernels(int enable)
{
    const int was = gw_resample_wide();
    g_wide.store(enable && cpu_has_avx2(), std::memory_order_relaxed);
    return was;
}

/* The four bytes at row + x[0] .. row + x[7] in eight lanes (loaded one by
 * one: faster than a gather on the processors measured). */
GW_WIDE static inline __m256i pixels8(const uint8_t *row, const int *x)
{
    int32_t v[8];
    for (int k = 0; k < 8; k++)
        memcpy(&v[k], row + x[k], 4);
    return _mm256_setr_epi32(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
}

/* The pixels at row + x[0] .. row + x[7] (in p) and the pixels after them
 * (in q), a pixel's bytes and one more in each 32-bit lane, from one 8-byte
 * load per column. */
GW_WIDE static inline void pixel_pairs8(const uint8_t *row, const int *x, __m256i *p, __m256i *q)
{
    long long v[8];
    for (int k = 0; k < 8; k++)
        memcpy(&v[k], row + x[k], 8);
    const __m256i lo = _mm256_setr_epi64x(v[0], v[1], v[2], v[3]), hi = _mm256_setr_epi64x(v[4], v[5], v[6], v[7]);
    /* the low 32 bits of every 64-bit lane to the front of each half */
    const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    *p = _mm256_permute2x128_si256(_mm256_permutevar8x32_epi32(lo, even), _mm256_permutevar8x32_epi32(hi, even),
                                   0x20);
    *q = _mm256_permute2x128_si256(_mm256_permutevar8x32_epi32(_mm256_srli_epi64(lo, 24), even),
                                   _mm256_permutevar8x32_epi32(_mm256_srli_epi64(hi, 24), even), 0x20);
}

/* Stores the three channels of the pixels in v, times the weights w, at
 * plane[0..2] + i; UNIT divides the bytes by 255 first. */
template <int UNIT>
GW_WIDE static inline void store_channels(__m256i v, __m256 w, float *const plane[3], int i)
{
    const __m256i low = _mm256_set1_epi32(0xff);
    __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(v, low));
    __m256 g = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(v, 8), low));
    __m256 b = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(v, 16), low));
    if (UNIT) {
        const __m256 d = _mm256_set1_ps(255.0f);
        r = _mm256_div_ps(r, d), g = _mm256_div_ps(g, d), b = _mm256_div_ps(b, d);
    }
    _mm256_storeu_ps(plane[0] + i, _mm256_mul_ps(r, w));
    _mm256_storeu_ps(plane[1] + i, _mm256_mul_ps(g, w));
    _mm256_storeu_ps(plane[2] + i, _mm256_mul_ps(b, w));
}

template <int UNIT>
GW_WIDE static int products8(const uint8_t *row, int row_bytes, const int *x0, const int *x1, const float *w0,
                             const float *w1, int out_w, float *prod)
{
    float *const a[3] = {prod, prod + out_w, prod + 2 * (size_t)out_w};
    float *const b[3] = {prod + 3 * (size_t)out_w, prod + 4 * (size_t)out_w, prod + 5 * (size_t)out_w};
    int i = 0;
    /* Away from the row's end the second tap is the next pixel: one 8-byte
     * load holds both. */
    for (; i + 8 <= out_w && x0[i + 7] + 8 <= row_bytes; i += 8) {
        __m256i p, q;
        pixel_pairs8(row, x0 + i, &p, &q);
        store_channels<UNIT>(p, _mm256_loadu_ps(w0 + i), a, i);
        store_channels<UNIT>(q, _mm256_loadu_ps(w1 + i), b, i);
    }
    /* Each lane reads a pixel's bytes and one more (see the caller). */
    for (; i + 8 <= out_w && x1[i + 7] + 4 <= row_bytes; i += 8) {
        store_channels<UNIT>(pixels8(row, x0 + i), _mm256_loadu_ps(w0 + i), a, i);
        store_channels<UNIT>(pixels8(row, x1 + i), _mm256_loadu_ps(w1 + i), b, i);
    }
    return i;
}

GW_WIDE int gw_planar_products_wide(const uint8_t *row, int row_bytes, const int *x0, const int *x1, const float *w0,
                                    const float *w1, int out_w, int unit, float *prod)
{
    return unit ? products8<1>(row, row_bytes, x0, x1, w0, w1, out_w, prod)
                : products8<0>(row, row_bytes, x0, x1, w0, w1, out_w, prod);
}

/* (a0*gy + b0*gy) + a1*fy + b1*fy, in that order, eight columns. */
GW_WIDE static inline __m256 sum8(const float *a0, const float *b0, const float *a1, const float *b1, __m256 vg,
                                  __m256 vf, int i)
{
    return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(a0 + i), vg),
                                                     _mm256_mul_ps(_mm256_loadu_ps(b0 + i), vg)),
                                       _mm256_mul_ps(_mm256_loadu_ps(a1 + i), vf)),
                         _mm256_mul_ps(_mm256_loadu_ps(b1 + i), vf));
}

GW_WIDE int gw_combine_unit_wide(const float *a0, const float *b0, const float *a1, const float *b1, float gy,
                                 float fy, float *out, int n)
{
    const __m256 vg = _mm256_set1_ps(gy), vf = _mm256_set1_ps(fy), half = _mm256_set1_ps(0.5f),
                 d = _mm256_set1_ps(255.0f);
    const __m256i low = _mm256_set1_epi32(255);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = sum8(a0, b0, a1, b1, vg, vf, i);
        const __m256i q = _mm256_and_si256(_mm256_cvttps_epi32(_mm256_add_ps(v, half)), low);
        _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_cvtepi32_ps(q), d));
    }
    return i;
}

GW_WIDE int gw_combine_signed_wide(const float *a0, const float *b0, const float *a1, const float *b1, float gy,
                                   float fy, float *out, int n)
{
    const __m256 vg = _mm256_set1_ps(gy), vf = _mm256_set1_ps(fy), half = _mm256_set1_ps(0.5f),
                 two = _mm256_set1_ps(2.0f);
    int i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_sub_ps(sum8(a0, b0, a1, b1, vg, vf, i), half), two));
    return i;
}

#else /* no wide kernels for this compiler or processor family */

int gw_resample_wide(void)
{
    return 0;
}

int gw_resample_wide_kernels(int enable)
{
    (void)enable;
    return 0;
}

#endif
