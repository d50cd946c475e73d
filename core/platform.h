/* The few steps that differ between Windows and POSIX systems. */
#ifndef GW_PLATFORM_H
#define GW_PLATFORM_H

#include <stdint.h>

/* Separator used to join the model directory and a model file name. */
#if defined(_WIN32)
#  define GW_PATH_SEP "\\"
#else
#  define GW_PATH_SEP "/"
#endif

/* Whole-value 32-bit loads and stores for the two fields shared with another
 * thread during a video run (progress, cancel request). No ordering needed. */
#if defined(_MSC_VER) && !defined(__clang__)
#  include <intrin.h>
static inline int32_t gw_load_relaxed(const int32_t *p) { return (int32_t)__iso_volatile_load32((const volatile int *)p); }
static inline void gw_store_relaxed(int32_t *p, int32_t v) { __iso_volatile_store32((volatile int *)p, (int)v); }
#else
static inline int32_t gw_load_relaxed(const int32_t *p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
static inline void gw_store_relaxed(int32_t *p, int32_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
#endif

#endif /* GW_PLATFORM_H */
