// Hole masks: the square crop of a region, marked where the text is (score
// pixels and boxes grown by the radius, or the letters' own pixels).
#include <string.h>

#include "inpaint_internal.h"
#include "resample/simd.h"

size_t gw_dilate_scratch_size(int side) { return (size_t)side * sizeof(int) + (size_t)side * side; }

/* Whether any of the n bytes at p is nonzero (eight at a time). */
static int any_set(const uint8_t *p, size_t n)
{
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        memcpy(&v, p + i, 8);
        if (v)
            return 1;
    }
    for (; i < n; i++)
        if (p[i])
            return 1;
    return 0;
}

/* The rows and columns of a side x side plane that hold a nonzero byte;
 * 0 when none. */
static int mask_extent(const uint8_t *mask, int side, int *r0, int *r1, int *c0, int *c1)
{
    *r0 = side, *r1 = -1, *c0 = side, *c1 = -1;
    for (int q = 0; q < side; q++) {
        int a, b;
        row_extent(mask + (size_t)q * side, side, &a, &b);
        if (a > b)
            continue;
        *r0 = imin(*r0, q);
        *r1 = q;
        *c0 = imin(*c0, a);
        *c1 = imax(*c1, b);
    }
    return *r1 >= 0;
}

void gw_dilate_mask(uint8_t *mask, int side, int radius, void *scratch)
{
    int r0, r1, c0, c1;
    if (side <= 0 || radius <= 0 || !mask_extent(mask, side, &r0, &r1, &c0, &c1))
        return;
    int *cnt = (int *)scratch;  /* one running count per column, then the intermediate plane */
    uint8_t *tmp = (uint8_t *)(cnt + side);
    /* Only the set bytes' rows and columns, grown by the radius, can change;
     * tmp holds the horizontal pass for the set rows r0..r1 only. */
    const int x0 = imax(c0 - radius, 0), x1 = imin(c1 + radius, side - 1);
    const int y0 = imax(r0 - radius, 0), y1 = imin(r1 + radius, side - 1);

    /* Both passes keep a running count of the set bytes inside the window,
     * so the cost does not grow with the radius. */
    for (int q = r0; q <= r1; q++) {
        const uint8_t *m = mask + (size_t)q * side;
        uint8_t *t = tmp + (size_t)q * side;
        int n = 0;
        for (int i = imax(x0 - radius, 0); i <= x0 + radius && i < side; i++)
            n += m[i] != 0;
        for (int c = x0; c <= x1; c++) {
            t[c] = n > 0;
            if (c + 1 + radius < side)
                n += m[c + 1 + radius] != 0;
            if (c - radius >= 0)
                n -= m[c - radius] != 0;
        }
    }
    /* Vertical pass in row order: one running count per column. */
    memset(cnt + x0, 0, (size_t)(x1 - x0 + 1) * sizeof *cnt);
    for (int i = imax(y0 - radius, r0); i <= imin(y0 + radius, r1); i++) {
        const uint8_t *__restrict t = tmp + (size_t)i * side;
        int *__restrict k = cnt;
        for (int c = x0; c <= x1; c++)
            k[c] += t[c];
    }
    for (int q = y0; q <= y1; q++) {
        uint8_t *__restrict m = mask + (size_t)q * side;
        int *__restrict k = cnt;
        for (int c = x0; c <= x1; c++)
            m[c] = k[c] > 0;
        const int in = q + 1 + radius, out = q - radius;
        if (in >= r0 && in <= r1) {
            const uint8_t *__restrict t = tmp + (size_t)in * side;
            for (int c = x0; c <= x1; c++)
                k[c] += t[c];
        }
        if (out >= r0 && out <= r1) {
            const uint8_t *__restrict t = tmp + (size_t)out * side;
            for (int c = x0; c <= x1; c++)
                k[c] -= t[c];
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

/* Marks where v = a0*gy + b0*gy + a1*fy + b1*fy (in that order) reaches thr,
 * for c in 0..n-1; NaN does not. */
static void threshold_row(const float *a0, const float *b0, const float *a1, const float *b1, float gy, float fy,
                          float thr, uint8_t *out, int n)
{
    int c = 0;
#if GW_HAVE_SSE2
    const __m128 vg = _mm_set1_ps(gy), vf = _mm_set1_ps(fy), vt = _mm_set1_ps(thr);
    const __m128i one = _mm_set1_epi8(1);
    for (; c + 16 <= n; c += 16) {
        __m128i q[4];
        for (int j = 0; j < 4; j++) {
            const int m = c + 4 * j;
            const __m128 v = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_loadu_ps(a0 + m), vg),
                                                              _mm_mul_ps(_mm_loadu_ps(b0 + m), vg)),
                                                   _mm_mul_ps(_mm_loadu_ps(a1 + m), vf)),
                                        _mm_mul_ps(_mm_loadu_ps(b1 + m), vf));
            q[j] = _mm_castps_si128(_mm_cmpge_ps(v, vt));
        }
        const __m128i w = _mm_packs_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
        _mm_storeu_si128((__m128i *)(out + c), _mm_and_si128(w, one));
    }
#endif
    for (; c < n; c++) {
        const float v = a0[c] * gy + b0[c] * gy + a1[c] * fy + b1[c] * fy;
        out[c] = v >= thr;
    }
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
    /* Column positions and weights (the same for every row), then (score *
     * column weight) for two cached map rows: slot k holds m[ix]*(1-fx),
     * then m[ix+1]*fx, for map row rows[k]. */
    int *ixs = (int *)scratch;
    float *fxs = (float *)(ixs + side);
    float *gxs = fxs + side;
    float *prod = gxs + side;
    int rows[2] = {-1, -1}, ready[2] = {0, 0};
    float peak[2] = {0.0f, 0.0f}; /* the largest score the slot's row offers the crop */

    /* A value is a sum of scores times weights; the weights of each axis
     * add up to 1, or to fx where the lookup extrapolates past the last
     * sample (fx > 1). So a value stays below peak * gain(x) * gain(y) (and
     * a little rounding), and rows whose scores all lie well under the
     * threshold are marked nothing without working out a value. */
    float gain_x = 1.0f;
    for (int c = 0; c < side; c++) {
        map_tap(crop->x + c, kx, width, mw, &ixs[c], &fxs[c]);
        gxs[c] = 1.0f - fxs[c];
        gain_x = fxs[c] > gain_x ? fxs[c] : gain_x;
    }
    const int m0 = ixs[0], m1 = ixs[side - 1] + 1; /* map columns the crop reads */
    for (int r = 0; r < side; r++) {
        int iy;
        float fy;
        map_tap(crop->y + r, ky, height, mh, &iy, &fy);
        const float gy = 1.0f - fy;
        int slot[2];
        for (int w = 0; w < 2; w++) {
            const int want = iy + w;
            int k = rows[0] == want ? 0 : rows[1] == want ? 1 : -1;
            if (k < 0) {
                k = (w == 1 && rows[0] == iy) ? 1 : (w == 1 && rows[1] == iy) ? 0 : w;
                const float *m = det->score_map + (size_t)want * mw;
                float top = 0.0f;
                for (int c = m0; c <= m1; c++)
                    top = m[c] > top ? m[c] : top; /* NaN marks nothing and is passed over */
                rows[k] = want;
                ready[k] = 0;
                peak[k] = top;
            }
            slot[w] = k;
        }
        uint8_t *out = mask + (size_t)r * side;
        const float top = peak[0] > peak[1] ? peak[0] : peak[1];
        if (top * gain_x * (fy > 1.0f ? fy : 1.0f) * 1.001f < thr) {
            memset(out, 0, (size_t)side);
            continue;
        }
        for (int w = 0; w < 2; w++) {
            const int k = slot[w];
            if (ready[k])
                continue;
            const float *m = det->score_map + (size_t)rows[k] * mw;
            float *a = prod + (size_t)k * 2 * side, *b = a + side;
            for (int c = 0; c < side; c++) {
                a[c] = m[ixs[c]] * gxs[c];
                b[c] = m[ixs[c] + 1] * fxs[c];
            }
            ready[k] = 1;
        }
        const float *p0 = prod + (size_t)slot[0] * 2 * side, *p1 = prod + (size_t)slot[1] * 2 * side;
        threshold_row(p0, p0 + side, p1, p1 + side, gy, fy, thr, out, side);
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
    crop->pixels = rgb + ((size_t)y * width + x) * 3;
    crop->stride = width * 3;
    crop->mask = work->crop;
    crop->repainted = work->crop + area;
    crop->alpha = work->crop + area * 4;

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

    if (any_set(crop->mask, area))
        return 1;
    memset(crop, 0, sizeof *crop);
    return 0;
}
