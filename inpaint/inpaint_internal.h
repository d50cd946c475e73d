/* Shared by the files of inpaint/ only. */
#ifndef GW_INPAINT_INTERNAL_H
#define GW_INPAINT_INTERNAL_H

#include <string.h>

#include "inpaint.h"

static inline int imin(int a, int b) { return a < b ? a : b; }
static inline int imax(int a, int b) { return a > b ? a : b; }

static const int N = GW_INPAINT_SIZE;                                  /* side of the model's picture */
static const size_t PLANE = (size_t)GW_INPAINT_SIZE * GW_INPAINT_SIZE;  /* pixels in it */

/* Text that reaches into rows ys..ye (ys >= ye: every box). */
static inline int reaches_band(const TextBox *b, int ys, int ye)
{
    return ys >= ye || (b->y < ye && b->y + b->h > ys);
}

/* First and last nonzero byte of row[0..n): *first > *last when none. */
static inline void row_extent(const uint8_t *row, int n, int *first, int *last)
{
    int a = 0, b = n - 1;
    while (a + 8 <= n) { /* eight bytes at a time over the zero run */
        uint64_t v;
        memcpy(&v, row + a, 8);
        if (v)
            break;
        a += 8;
    }
    while (a < n && !row[a])
        a++;
    if (a == n) {
        *first = n;
        *last = -1;
        return;
    }
    while (!row[b])
        b--;
    *first = a;
    *last = b;
}

#endif /* GW_INPAINT_INTERNAL_H */
