/* The eight-column kernels of the planar scaling (resample_wide.cpp), for
 * resample.cpp alone. */
#ifndef GW_RESAMPLE_WIDE_H
#define GW_RESAMPLE_WIDE_H

#include <stdint.h>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#  define GW_HAVE_WIDE_KERNELS 1
#else
#  define GW_HAVE_WIDE_KERNELS 0
#endif

/* Whether the wide kernels are in use: the processor has AVX2, unless
 * gw_resample_wide_kernels turned them off. */
int gw_resample_wide(void);

/* Turns the wide kernels off (0) or back on where the processor has them;
 * returns the previous state. Both give the same floats. */
int gw_resample_wide_kernels(int enable);

#if GW_HAVE_WIDE_KERNELS
/* Each does the leading columns of its narrower loop in resample.cpp and
 * returns how many (a multiple of 8). */
int gw_planar_products_wide(const uint8_t *row, int row_bytes, const int *x0, const int *x1, const float *w0,
                            const float *w1, int out_w, int unit, float *prod);
int gw_combine_unit_wide(const float *a0, const float *b0, const float *a1, const float *b1, float gy, float fy,
                         float *out, int n);
int gw_combine_signed_wide(const float *a0, const float *b0, const float *a1, const float *b1, float gy, float fy,
                           float *out, int n);
#endif

#endif /* GW_RESAMPLE_WIDE_H */
