/* Shared by the files of inpaint/ only. */
#ifndef GW_INPAINT_INTERNAL_H
#define GW_INPAINT_INTERNAL_H

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

#endif /* GW_INPAINT_INTERNAL_H */
