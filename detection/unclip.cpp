// Box growth ("unclip"): the detector marks the shrunk cores of text lines;
// each box is grown back by D = area * ratio / perimeter on every side, which
// for a long line is about ratio / 2 times its height, then clipped to the
// image and merged again.
#include <math.h>

#include "detection.h"

int gw_det_unclip_distance(const TextBox *b, float ratio)
{
    if (!(ratio > 0.0f) || b->w <= 0 || b->h <= 0)
        return 0;
    const double area = (double)b->w * (double)b->h;
    const double perimeter = 2.0 * ((double)b->w + (double)b->h);
    const double d = area * (double)ratio / perimeter;
    return d >= 4096.0 ? 4096 : (int)ceil(d);
}

void gw_det_unclip_boxes(TextBox *boxes, int32_t *count, int width, int height, float ratio)
{
    if (!boxes || !count || *count <= 0 || !(ratio > 0.0f))
        return;
    for (int32_t i = 0; i < *count; i++) {
        TextBox *b = &boxes[i];
        const int d = gw_det_unclip_distance(b, ratio);
        int x0 = b->x - d, y0 = b->y - d;
        /* In 64 bits: a box near INT_MAX plus d must not wrap. */
        long long x1 = (long long)b->x + b->w + d, y1 = (long long)b->y + b->h + d;
        if (x0 < 0)
            x0 = 0;
        if (y0 < 0)
            y0 = 0;
        if (x1 > width)
            x1 = width;
        if (y1 > height)
            y1 = height;
        b->x = x0;
        b->y = y0;
        b->w = (int32_t)(x1 - x0);
        b->h = (int32_t)(y1 - y0);
    }
    gw_det_merge_boxes(boxes, count);
}
