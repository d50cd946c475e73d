// Region planning: the detected boxes, grown by a margin, clipped to the
// frame (and the band) and merged into at most 12 regions per frame.
#include "inpaint_internal.h"

int plan_regions(int width, int height, const DetectionResult *det, int y_start, int y_end,
                 const InpaintOptions *opt, InpaintRegion regions[GW_MAX_REGIONS], int *left_out)
{
    int n = 0;
    int count = det ? det->box_count : 0;
    *left_out = 0;
    if (count <= 0 || !det->boxes)
        return 0;
    if (count > GW_MAX_BOXES)
        count = GW_MAX_BOXES;

    const int ys = imax(y_start, 0), ye = imin(y_end, height);
    const int band = ye > ys;
    const int m0 = opt->radius >= 1 ? 24 : 8;
    /* Grown boxes enclose whole letters: a crop keeps context around them in
     * proportion to their height. */
    const int grow = opt->unclip > 0.0f;

    /* Once the list is full, the remaining boxes are ignored altogether. */
    int i = 0;
    for (; i < count && n < GW_MAX_REGIONS; i++) {
        const TextBox *b = &det->boxes[i];
        const int m = grow ? imax(m0, b->h / 2) : m0;
        InpaintRegion k;
        k.x0 = imax(b->x - m, 0);
        k.y0 = imax(b->y - m, 0);
        k.x1 = imin(b->x + b->w + m, width);
        k.y1 = imin(b->y + b->h + m, height);
        if (band) {
            k.y0 = imax(k.y0, ys);
            k.y1 = imin(k.y1, ye);
        }
        if (k.x1 - k.x0 <= 7 || k.y1 - k.y0 <= 7)
            continue;

        /* Merge into the earliest region that K overlaps by more than 16
         * pixels on both axes; merged regions are not compared again. */
        int j = 0;
        for (; j < n; j++) {
            InpaintRegion *r = &regions[j];
            if (r->x0 < k.x1 - 16 && k.x0 < r->x1 - 16 && r->y0 < k.y1 - 16 && k.y0 < r->y1 - 16) {
                r->x0 = imin(r->x0, k.x0);
                r->y0 = imin(r->y0, k.y0);
                r->x1 = imax(r->x1, k.x1);
                r->y1 = imax(r->y1, k.y1);
                break;
            }
        }
        if (j == n)
            regions[n++] = k;
    }
    *left_out = n - imin(n, GW_MAX_PROCESSED) + (count - i);
    return imin(n, GW_MAX_PROCESSED);
}
