/* SSE2, where the compiler targets it (every x86-64 processor has it): the
 * vector paths compute what their scalar loops compute, operation for
 * operation in float32, so results do not depend on the path taken. */
#ifndef GW_SIMD_H
#define GW_SIMD_H

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#  include <emmintrin.h>
#  define GW_HAVE_SSE2 1
#else
#  define GW_HAVE_SSE2 0
#endif

#endif /* GW_SIMD_H */
