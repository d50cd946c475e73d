/* Splitting a region that is longer than any square crop can be. */
#ifndef GW_REGION_SPLIT_H
#define GW_REGION_SPLIT_H

#include "inpaint.h"

/* Most pieces one region is cut into; a region longer than this many frame
 * short sides keeps its ends unrepainted. */
#define GW_MAX_REGION_PIECES 8

/* A square crop is at most the frame's shorter side, so a line of text
 * longer than that would only be repainted in its middle. Cuts such a region
 * along its long axis into equal pieces that each fit one crop, in reading
 * order; a region that fits is returned as its single piece. Returns the
 * number of pieces written (1 to GW_MAX_REGION_PIECES). */
int split_region(const InpaintRegion *region, int width, int height, InpaintRegion pieces[GW_MAX_REGION_PIECES]);

#endif /* GW_REGION_SPLIT_H */
