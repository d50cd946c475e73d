// Cutting over-long inpaint regions into pieces that one square crop covers.
#include "region_split.h"

int split_region(const InpaintRegion *region, int width, int height, InpaintRegion pieces[GW_MAX_REGION_PIECES])
{
    const int limit = width < height ? width : height;
    const int ex = region->x1 - region->x0;
    const int ey = region->y1 - region->y0;
    const int along_x = ex >= ey;
    const int len = along_x ? ex : ey;
    int n, piece;

    pieces[0] = *region;
    if (limit < 1 || len <= limit)
        return 1;
    /* Only the long axis can exceed the limit: the other is bounded by the
     * frame side that sets it. Equal pieces, the last one possibly shorter. */
    n = (len + limit - 1) / limit;
    if (n > GW_MAX_REGION_PIECES)
        n = GW_MAX_REGION_PIECES;
    piece = (len + n - 1) / n;
    /* Under the cap the rounded-up pieces may use up the length early
     * (17 in 8 pieces of 3): fewer pieces then, none empty or inverted. */
    n = (len + piece - 1) / piece;
    for (int i = 0; i < n; i++) {
        InpaintRegion p = *region;
        int a = (along_x ? region->x0 : region->y0) + i * piece;
        int b = a + piece;
        int end = along_x ? region->x1 : region->y1;
        if (b > end)
            b = end;
        if (along_x) {
            p.x0 = a;
            p.x1 = b;
        } else {
            p.y0 = a;
            p.y1 = b;
        }
        pieces[i] = p;
    }
    return n;
}
