// Hole masks: the square crop of a region, marked where the text is (score
// pixels and boxes grown by the radius, or the letters' own pixels).
#include <string.h>

#include "inpaint_internal.h"

size_t gw_dilate_scratch_size(int side) { return (size_t)side * sizeof(int) + (size_t)side * side; }

void gw_dilate_mask(uint8_t *mask, int side, int radius, void *scratch)
{
    if (side <= 0 || radius <= 0)
        return;
    int *cnt = (int *)scratch;  /* one running count per column, then the intermediate plane */
    uint8_t *tmp = (uint8_t *)(cnt + side);

    /* Both passes keep a running count of the set bytes inside the window,
     * so the cost does not grow with the radius. */
    for (int q = 0; q < side; q++) {
        const uint8_t *m = mask + (size_t)q * side;
        uint8_t *t = tmp + (size_t)q * side;
        int n = 0;
        for (int i = 0; i <= radius && i < side; i++)
            n += m[i] != 0;
        for (int c = 0; c < side; c++) {
            t[c] = n > 0;
            if (c + 1 + radius < side)
                n += m[c + 1 + radius] != 0;
            if (c - radius >= 0)
                n -= m[c - radius] != 0;
        }
    }
    /* Vertical pass in row order: one running count per column. */
    memset(cnt, 0, (size_t)side * sizeof *cnt);
    for (int i = 0; i <= radius && i < side; i++) {
        const uint8_t *t = tmp + (size_t)i * side;
        for (int c = 0; c < side; c++)
            cnt[c] += t[c] != 0;
    }
    for (int q = 0; q < side; q++) {
        uint8_t *m = mask + (size_t)q * side;
        for (int c = 0; c < side; c++)
            m[c] = cnt[c] > 0;
        if (q + 1 + radius < side) {
            const uint8_t *t = tmp + (size_t)(q + 1 + radius) * side;
            for (int c = 0; c < side; c++)
                cnt[c] += t[c] != 0;
        }
        if (q - radius >= 0) {
            const uint8_t *t = tmp + (size_t)(q - radius) * side;
            for (int c = 0; c < side; c++)
                cnt[c] -= t[c] != 0;
        }
    }
}

/* Score-map position of frame column (or row) pos: the sample index, kept
 * where a right neighbour exists, and the unclamped weight of that neighbour. */
static inline void map_tap(int pos, float k, int extent, int n, int *i, float *f)
{
    float sp = ((float)pos + 0.5f) * k;
    if (extent > 1)
        sp = sp / (float)(extent - 1);
    int ip = (int)sp;
    if (ip < 0)
        ip = 0;
    if (ip >= n - 1)
        ip = n - 2;
    *i = ip;
    *f = sp - (float)ip;
}

/* Marks crop pixels whose score, looked up bilinearly in the score map at
 * the frame position, reaches the threshold. A NaN score counts as no text.
 * scratch: gw_resize_scratch_size(side) bytes or more. */
static void mark_scores(uint8_t *mask, const RegionCrop *crop, int width, int height, const DetectionResult *det,
                        float thr, void *scratch)
{
    const int mw = det->map_width, mh = det->map_height;
    const float kx = (float)(mw - 1), ky = (float)(mh - 1);
    const int side = crop->side;
    /* Column positions (the same for every row), then (score * column
     * weight) for two cached map rows: slot k holds m[ix]*(1-fx), then
     * m[ix+1]*fx, for map row rows[k]. */
    int *ixs = (int *)scratch;
    float *fxs = (float *)(ixs + side);
    float *prod = fxs + side;
    int rows[2] = {-1, -1};

    for (int c = 0; c < side; c++)
        map_tap(crop->x + c, kx, width, mw, &ixs[c], &fxs[c]);
    for (int r = 0; r < side; r++) {
        int iy;
        float fy;
        map_tap(crop->y + r, ky, height, mh, &iy, &fy);
        const float gy = 1.0f - fy;
        const float *p[2];
        for (int w = 0; w < 2; w++) {
            const int want = iy + w;
            int k = rows[0] == want ? 0 : rows[1] == want ? 1 : -1;
            if (k < 0) {
                k = (w == 1 && rows[0] == iy) ? 1 : (w == 1 && rows[1] == iy) ? 0 : w;
                const float *m = det->score_map + (size_t)want * mw;
                float *a = prod + (size_t)k * 2 * side, *b = a + side;
                for (int c = 0; c < side; c++) {
                    a[c] = m[ixs[c]] * (1.0f - fxs[c]);
                    b[c] = m[ixs[c] + 1] * fxs[c];
                }
                rows[k] = want;
            }
            p[w] = prod + (size_t)k * 2 * side;
        }
        const float *a0 = p[0], *b0 = p[0] + side, *a1 = p[1], *b1 = p[1] + side;
        uint8_t *out = mask + (size_t)r * side;
        for (int c = 0; c < side; c++) {
            const float v = a0[c] * gy + b0[c] * gy + a1[c] * fy + b1[c] * fy;
            out[c] = v >= thr;
        }
    }
}

/* Clears the score marks of a crop that lie outside every box reaching into
 * the band (each box widened by the radius and one score-map sample), using
 * work (side*side bytes). */
static void keep_band_scores(uint8_t *mask, const RegionCrop *crop, int width, int height, const DetectionResult *det,
                             int ys, int ye, int rad, uint8_t *work)
{
    const int side = crop->side;
    const int tx = rad + (det->map_width > 0 ? width / det->map_width : 0) + 2;
    const int ty = rad + (det->map_height > 0 ? height / det->map_height : 0) + 2;
    const int count = det->boxes ? imin(det->box_count, GW_MAX_BOXES) : 0;
    memset(work, 0, (size_t)side * side);
    for (int i = 0; i < count; i++) {
        const TextBox *b = &det->boxes[i];
        if (!reaches_band(b, ys, ye))
            continue;
        const int c0 = imax(b->x - tx - crop->x, 0), c1 = imin(b->x + b->w + tx - crop->x, side);
        const int r0 = imax(b->y - ty - crop->y, 0), r1 = imin(b->y + b->h + ty - crop->y, side);
        for (int r = r0; r < r1; r++)
            if (c1 > c0)
                memset(work + (size_t)r * side + c0, 1, (size_t)(c1 - c0));
    }
    for (size_t i = 0; i < (size_t)side * side; i++)
        mask[i] &= work[i];
}

/* Marks every box of the frame that reaches into the band where it falls
 * inside the crop, grown by rad. */
static void mark_boxes(uint8_t *mask, const RegionCrop *crop, const DetectionResult *det, int ys, int ye, int rad)
{
    const int side = crop->side;
    const int count = det->boxes ? imin(det->box_count, GW_MAX_BOXES) : 0;
    for (int i = 0; i < count; i++) {
        const TextBox *b = &det->boxes[i];
        if (!reaches_band(b, ys, ye))
            continue;  /* text wholly outside the band keeps its pixels */
        const int c0 = imax(b->x - rad - crop->x, 0), c1 = imin(b->x + b->w + rad - crop->x, side);
        const int r0 = imax(b->y - rad - crop->y, 0), r1 = imin(b->y + b->h + rad - crop->y, side);
        for (int r = r0; r < r1; r++)
            if (c1 > c0)
                memset(mask + (size_t)r * side + c0, 1, (size_t)(c1 - c0));
    }
}

int build_region_mask(const uint8_t *rgb, int width, int height, const DetectionResult *det,
                      const InpaintOptions *opt, const InpaintRegion *region, int ys, int ye,
                      const InpaintWork *work, RegionCrop *crop)
{
    memset(crop, 0, sizeof *crop);

    const int side = imin(imin(imax(region->x1 - region->x0, region->y1 - region->y0), imin(width, height)),
                          work->max_side);
    if (side <= 15)
        return 0;

    /* Centred on the region, pushed back inside the frame. */
    const int half = side / 2;
    int x = imax((region->x0 + region->x1) / 2 - half, 0);
    int y = imax((region->y0 + region->y1) / 2 - half, 0);
    if (x + side > width)
        x = width - side;
    if (y + side > height)
        y = height - side;

    const size_t area = (size_t)side * side;
    const int rad = imax(opt->radius, 0);
    const int has_map = det->score_map && det->map_width >= 2 && det->map_height >= 2;
    crop->x = x;
    crop->y = y;
    crop->side = side;
    crop->pixels = work->crop;
    crop->mask = work->crop + area * 3;
    crop->repainted = work->crop + area * 4;
    crop->alpha = work->crop + area * 7;

    for (int r = 0; r < side; r++)
        memcpy(crop->pixels + (size_t)r * side * 3, rgb + ((size_t)(y + r) * width + x) * 3, (size_t)side * 3);

    if (work->glyphs) {
        /* The letters found for the whole frame, where they fall in this crop. */
        for (int r = 0; r < side; r++)
            memcpy(crop->mask + (size_t)r * side, work->glyphs + (size_t)(y + r) * width + x, (size_t)side);
    } else {
        if (has_map) {
            mark_scores(crop->mask, crop, width, height, det, opt->threshold, work->resize);
            if (ys < ye)
                keep_band_scores(crop->mask, crop, width, height, det, ys, ye, rad, crop->repainted);
        } else {
            memset(crop->mask, 0, area);
        }
        mark_boxes(crop->mask, crop, det, ys, ye, rad);
    }
    gw_dilate_mask(crop->mask, side, rad, work->dilate);

    for (size_t i = 0; i < area; i++)
        if (crop->mask[i])
            return 1;
    memset(crop, 0, sizeof *crop);
    return 0;
}
