// Inpainting: the detected text of a frame is grouped into at most 12 regions;
// each region becomes a square crop with a hole mask, the fill model repaints
// the crop at 512x512 and the result is blended back through a softened mask.
#include "inpaint.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "core/gw_core.h"
#include "core/stage_timers.h"
#include "inference/ort_helpers.h"
#include "region_split.h"

static const int N = GW_INPAINT_SIZE;                        /* side of the model's picture */
static const size_t PLANE = (size_t)GW_INPAINT_SIZE * GW_INPAINT_SIZE;  /* pixels in it */

static inline int imin(int a, int b) { return a < b ? a : b; }
static inline int imax(int a, int b) { return a > b ? a : b; }

/* ---- resampling ----------------------------------------------------------
 * All arithmetic is float32 and evaluated in the written order, so results
 * are bit-for-bit reproducible; a float becomes an int by truncation. */

/* Column taps of a corner-aligned scaling: source columns (times 3 for
 * RGB24, times 1 for a plane) and the two weights, computed once per call
 * exactly as the per-pixel formula computes them. */
typedef struct ColTap {
    int x0, x1;
    float w0, w1;  /* 1 - fx, fx */
} ColTap;

static void column_taps(ColTap *taps, int in_w, int out_w, int step)
{
    const float kx = (float)(in_w - 1), dx = (float)(out_w - 1);
    for (int i = 0; i < out_w; i++) {
        const float sx = (float)i * kx / dx;
        const int x0 = (int)sx;
        const int x1 = x0 + 1 >= in_w ? in_w - 1 : x0 + 1;
        const float fx = sx - (float)x0;
        taps[i].x0 = x0 * step;
        taps[i].x1 = x1 * step;
        taps[i].w0 = 1.0f - fx;
        taps[i].w1 = fx;
    }
}

/* u8 -> float without a conversion per sample; filled once, on first use
 * (a function-local static, so concurrent first calls are safe). */
static const float *u8f(void)
{
    static float table[256];
    static const bool filled = [] {
        for (int i = 0; i < 256; i++)
            table[i] = (float)i;
        return true;
    }();
    (void)filled;
    return table;
}

/* Per-pixel reference formula, used when the work buffers of the fast path
 * cannot be had: a*(1-fx)*(1-fy) + b*fx*(1-fy) + c*(1-fx)*fy + d*fx*fy. */
static void resize_reference(const uint8_t *in, int in_w, int in_h, int chans, uint8_t *out, int out_w, int out_h)
{
    const float ky = (float)(in_h - 1), dy = (float)(out_h - 1);
    const float kx = (float)(in_w - 1), dx = (float)(out_w - 1);
    for (int j = 0; j < out_h; j++) {
        const float sy = (float)j * ky / dy;
        const int y0 = (int)sy;
        const int y1 = y0 + 1 >= in_h ? in_h - 1 : y0 + 1;
        const float fy = sy - (float)y0;
        const uint8_t *r0 = in + (size_t)y0 * in_w * chans;
        const uint8_t *r1 = in + (size_t)y1 * in_w * chans;
        uint8_t *o = out + (size_t)j * out_w * 3;
        for (int i = 0; i < out_w; i++) {
            const float sx = (float)i * kx / dx;
            const int x0 = (int)sx;
            const int x1 = x0 + 1 >= in_w ? in_w - 1 : x0 + 1;
            const float fx = sx - (float)x0;
            for (int c = 0; c < 3; c++) {
                const int k = chans == 3 ? c : 0;
                const float v = (float)r0[x0 * chans + k] * (1.0f - fx) * (1.0f - fy) +
                                (float)r0[x1 * chans + k] * fx * (1.0f - fy) +
                                (float)r1[x0 * chans + k] * (1.0f - fx) * fy + (float)r1[x1 * chans + k] * fx * fy;
                o[i * 3 + c] = (uint8_t)(v + 0.5f);
            }
        }
    }
}

/* Scales an image of `chans` channels (3: RGB24; 1: one plane, each value
 * written three times, which is what scaling an R = G = B picture channel by
 * channel gives) to out_w x out_h RGB24 with corner-aligned bilinear weights.
 * Same expression, in the same order, as resize_reference. Each term is
 * (sample * column weight) * row weight; the first product depends on the
 * source row and column only, so it is worked out once per source row (two
 * rows cached: a row serves neighbouring output rows) and the rows are then
 * combined element-wise. */
static void resize_to_rgb(const uint8_t *in, int in_w, int in_h, int chans, uint8_t *out, int out_w, int out_h)
{
    const size_t n = (size_t)out_w * chans;
    ColTap *taps = (ColTap *)malloc((size_t)out_w * sizeof *taps + 4 * n * sizeof(float));
    if (!taps) {
        resize_reference(in, in_w, in_h, chans, out, out_w, out_h);
        return;
    }
    float *prod = (float *)(taps + out_w);
    const float *U = u8f();
    const float ky = (float)(in_h - 1), dy = (float)(out_h - 1);
    const int step = chans;
    int cached[2] = {-1, -1};

    column_taps(taps, in_w, out_w, step);
    for (int j = 0; j < out_h; j++) {
        const float sy = (float)j * ky / dy;
        const int y0 = (int)sy;
        const int y1 = y0 + 1 >= in_h ? in_h - 1 : y0 + 1;
        const float fy = sy - (float)y0, gy = 1.0f - fy;
        uint8_t *o = out + (size_t)j * out_w * 3;

        /* Products of rows y0 and y1: slot k holds (a*w0, b*w1) for row cached[k]. */
        const float *p[2];
        const int want[2] = {y0, y1};
        for (int w = 0; w < 2; w++) {
            int k = cached[0] == want[w] ? 0 : cached[1] == want[w] ? 1 : -1;
            if (k < 0) {
                /* reuse the slot the other wanted row does not occupy */
                k = (w == 1 && cached[0] == want[0]) ? 1 : (w == 1 && cached[1] == want[0]) ? 0 : w;
                const uint8_t *row = in + (size_t)want[w] * in_w * step;
                float *a = prod + (size_t)k * 2 * n, *b = a + n;
                if (chans == 3) {
                    for (int i = 0; i < out_w; i++) {
                        const ColTap t = taps[i];
                        for (int c = 0; c < 3; c++) {
                            a[i * 3 + c] = U[row[t.x0 + c]] * t.w0;
                            b[i * 3 + c] = U[row[t.x1 + c]] * t.w1;
                        }
                    }
                } else {
                    for (int i = 0; i < out_w; i++) {
                        a[i] = U[row[taps[i].x0]] * taps[i].w0;
                        b[i] = U[row[taps[i].x1]] * taps[i].w1;
                    }
                }
                cached[k] = want[w];
            }
            p[w] = prod + (size_t)k * 2 * n;
        }
        const float *a0 = p[0], *b0 = p[0] + n, *a1 = p[1], *b1 = p[1] + n;
        if (chans == 3) {
            for (size_t k = 0; k < n; k++) {
                const float v = a0[k] * gy + b0[k] * gy + a1[k] * fy + b1[k] * fy;
                o[k] = (uint8_t)(int)(v + 0.5f);
            }
        } else {
            for (size_t k = 0; k < n; k++) {
                const float v = a0[k] * gy + b0[k] * gy + a1[k] * fy + b1[k] * fy;
                o[k * 3] = o[k * 3 + 1] = o[k * 3 + 2] = (uint8_t)(int)(v + 0.5f);
            }
        }
    }
    free(taps);
}

void resize_rgb(const uint8_t *in, int in_w, int in_h, uint8_t *out, int out_w, int out_h)
{
    resize_to_rgb(in, in_w, in_h, 3, out, out_w, out_h);
}

int sample_u8_bilinear(const uint8_t *plane, int w, int h, float x, float y)
{
    int x0 = (int)x, y0 = (int)y;
    if (x0 < 0)
        x0 = 0;
    if (x0 >= w - 1)
        x0 = w - 2;
    if (y0 < 0)
        y0 = 0;
    if (y0 >= h - 1)
        y0 = h - 2;
    /* Unclamped weights: beyond the outer samples the value extrapolates. */
    const float fx = x - (float)x0, fy = y - (float)y0;
    const uint8_t *r0 = plane + (size_t)y0 * w;
    const uint8_t *r1 = r0 + w;
    const float v = (float)r0[x0 + 1] * fx * (1.0f - fy) + (float)r0[x0] * (1.0f - fx) * (1.0f - fy) +
                    (float)r1[x0] * (1.0f - fx) * fy + (float)r1[x0 + 1] * fx * fy;
    return (int)(v + 0.5f);
}

/* ---- region planning ------------------------------------------------------ */

/* Regions the last plan_regions call on this thread left out. */
static thread_local int planned_left_out;

int plan_regions(int width, int height, const DetectionResult *det, int y_start, int y_end,
                 InpaintRegion regions[GW_MAX_REGIONS])
{
    int n = 0;
    int count = det ? det->box_count : 0;
    planned_left_out = 0;
    if (count <= 0 || !det->boxes)
        return 0;
    if (count > GW_MAX_BOXES)
        count = GW_MAX_BOXES;

    const int ys = imax(y_start, 0), ye = imin(y_end, height);
    const int band = ye > ys;
    const int m0 = S.inpaint_radius >= 1 ? 24 : 8;
    /* Grown boxes enclose whole letters: a crop keeps context around them in
     * proportion to their height. */
    const int grow = S.unclip > 0.0f;

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
    planned_left_out = n - imin(n, GW_MAX_PROCESSED) + (count - i);
    return imin(n, GW_MAX_PROCESSED);
}

/* ---- hole mask ----------------------------------------------------------- */

void free_region_crop(RegionCrop *crop)
{
    free(crop->pixels);
    free(crop->mask);
    free(crop->repainted);
    free(crop->alpha);
    crop->pixels = crop->mask = crop->repainted = crop->alpha = NULL;
}

/* Bytes of dilate_mask's work memory for a side x side mask: one running
 * count per column, then the intermediate plane. */
static size_t dilate_scratch_size(int side) { return (size_t)side * sizeof(int) + (size_t)side * side; }

/* dilate_mask with a caller's dilate_scratch_size(side) bytes, int-aligned
 * (NULL: allocated). */
static void dilate_mask_with(uint8_t *mask, int side, int radius, uint8_t *scratch)
{
    if (side <= 0 || radius <= 0)
        return;
    int *cnt = (int *)(scratch ? scratch : malloc(dilate_scratch_size(side)));
    if (!cnt)
        return;  /* the undilated mask still serves */
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
    if (!scratch)
        free(cnt);
}

void dilate_mask(uint8_t *mask, int side, int radius) { dilate_mask_with(mask, side, radius, NULL); }

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
 * the frame position, reaches the threshold. A NaN score counts as no text. */
static void mark_scores(uint8_t *mask, const RegionCrop *crop, int width, int height, const DetectionResult *det)
{
    const int mw = det->map_width, mh = det->map_height;
    const float kx = (float)(mw - 1), ky = (float)(mh - 1);
    const float thr = S.threshold;
    const int side = crop->side;
    /* Column positions (the same for every row), then (score * column
     * weight) for two cached map rows: slot k holds m[ix]*(1-fx), then
     * m[ix+1]*fx, for map row rows[k]. */
    int *ixs = (int *)malloc((size_t)side * (sizeof(int) + sizeof(float) + 4 * sizeof(float)));
    int rows[2] = {-1, -1};

    if (!ixs) {  /* per-pixel lookup */
        for (int r = 0; r < side; r++) {
            int iy, ix;
            float fy, fx;
            map_tap(crop->y + r, ky, height, mh, &iy, &fy);
            const float *m0 = det->score_map + (size_t)iy * mw, *m1 = m0 + mw;
            for (int c = 0; c < side; c++) {
                map_tap(crop->x + c, kx, width, mw, &ix, &fx);
                const float v = m0[ix] * (1.0f - fx) * (1.0f - fy) + m0[ix + 1] * fx * (1.0f - fy) +
                                m1[ix] * (1.0f - fx) * fy + m1[ix + 1] * fx * fy;
                mask[(size_t)r * side + c] = v >= thr;
            }
        }
        return;
    }
    float *fxs = (float *)(ixs + side);
    float *prod = fxs + side;

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
    free(ixs);
}

/* Buffers a frame reuses from region to region and frame to frame, so that
 * large work planes are not mapped and faulted in again for every region. */
typedef struct Scratch {
    uint8_t *crop;       /* 10 * side * side: pixels, mask, repainted, alpha */
    uint8_t *dilate;     /* dilate_scratch_size(side) */
    uint8_t *work;       /* 3 * PLANE */
    uint8_t *soft;       /* PLANE */
    uint16_t *feather;   /* PLANE */
    const uint8_t *glyphs; /* frame-sized letter mask (mask "glyphs"), else NULL */
} Scratch;

/* The rows of a band (ys >= ye: none). */
typedef struct Band {
    int ys, ye;
} Band;

static inline int reaches_band(const TextBox *b, Band band)
{
    return band.ys >= band.ye || (b->y < band.ye && b->y + b->h > band.ys);
}

/* Clears the score marks of a crop that lie outside every box reaching into
 * the band (each box widened by the radius and one score-map sample), using
 * work (side*side bytes). */
static void keep_band_scores(uint8_t *mask, const RegionCrop *crop, int width, int height, const DetectionResult *det,
                             Band band, int rad, uint8_t *work)
{
    const int side = crop->side;
    const int tx = rad + (det->map_width > 0 ? width / det->map_width : 0) + 2;
    const int ty = rad + (det->map_height > 0 ? height / det->map_height : 0) + 2;
    const int count = det->boxes ? imin(det->box_count, GW_MAX_BOXES) : 0;
    memset(work, 0, (size_t)side * side);
    for (int i = 0; i < count; i++) {
        const TextBox *b = &det->boxes[i];
        if (!reaches_band(b, band))
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

static int crop_into(const uint8_t *rgb, int width, int height, const DetectionResult *det,
                     const InpaintRegion *region, Band band, RegionCrop *crop, const Scratch *sc);

int build_region_mask(const uint8_t *rgb, int width, int height, const DetectionResult *det,
                      const InpaintRegion *region, RegionCrop *crop)
{
    return crop_into(rgb, width, height, det, region, Band{0, 0}, crop, NULL);
}

int build_region_mask_in_band(const uint8_t *rgb, int width, int height, const DetectionResult *det,
                              const InpaintRegion *region, int ys, int ye, RegionCrop *crop)
{
    return crop_into(rgb, width, height, det, region, Band{ys, ye}, crop, NULL);
}

/* build_region_mask; with sc, the crop's buffers point into sc->crop (side
 * is at most min(width, height)) and are not to be freed. */
static int crop_into(const uint8_t *rgb, int width, int height, const DetectionResult *det,
                     const InpaintRegion *region, Band band, RegionCrop *crop, const Scratch *sc)
{
    memset(crop, 0, sizeof *crop);

    const int side = imin(imax(region->x1 - region->x0, region->y1 - region->y0), imin(width, height));
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
    crop->x = x;
    crop->y = y;
    crop->side = side;
    if (sc) {
        crop->pixels = sc->crop;
        crop->mask = sc->crop + area * 3;
        crop->repainted = sc->crop + area * 4;
        crop->alpha = sc->crop + area * 7;
        if (sc->glyphs || !(det->score_map && det->map_width >= 2 && det->map_height >= 2))
            memset(crop->mask, 0, area);  /* otherwise the score lookup writes every byte */
    } else {
        crop->pixels = (uint8_t *)malloc(area * 3);
        crop->mask = (uint8_t *)calloc(area, 1);
        crop->repainted = (uint8_t *)malloc(area * 3);
        crop->alpha = (uint8_t *)malloc(area * 3);
        if (!crop->pixels || !crop->mask || !crop->repainted || !crop->alpha)
            goto skip;
    }

    for (int r = 0; r < side; r++)
        memcpy(crop->pixels + (size_t)r * side * 3, rgb + ((size_t)(y + r) * width + x) * 3, (size_t)side * 3);

    if (sc && sc->glyphs) {
        /* The letters found for the whole frame, where they fall in this crop. */
        for (int r = 0; r < side; r++)
            memcpy(crop->mask + (size_t)r * side, sc->glyphs + (size_t)(y + r) * width + x, (size_t)side);
        if (S.inpaint_radius >= 1)
            dilate_mask_with(crop->mask, side, S.inpaint_radius, sc->dilate);
        goto check;
    }
    if (det->score_map && det->map_width >= 2 && det->map_height >= 2) {
        mark_scores(crop->mask, crop, width, height, det);
        if (band.ys < band.ye)
            keep_band_scores(crop->mask, crop, width, height, det, band, imax(S.inpaint_radius, 0), crop->repainted);
    }

    {
        /* Every box of the frame is marked where it falls inside this crop,
         * grown by the radius (and again by the dilation below). */
        const int rad = imax(S.inpaint_radius, 0);
        const int count = det->boxes ? imin(det->box_count, GW_MAX_BOXES) : 0;
        for (int i = 0; i < count; i++) {
            const TextBox *b = &det->boxes[i];
            if (!reaches_band(b, band))
                continue;  /* text wholly outside the band keeps its pixels */
            const int c0 = imax(b->x - rad - x, 0), c1 = imin(b->x + b->w + rad - x, side);
            const int r0 = imax(b->y - rad - y, 0), r1 = imin(b->y + b->h + rad - y, side);
            for (int r = r0; r < r1; r++)
                if (c1 > c0)
                    memset(crop->mask + (size_t)r * side + c0, 1, (size_t)(c1 - c0));
        }
        if (rad >= 1)
            dilate_mask_with(crop->mask, side, rad, sc ? sc->dilate : NULL);
    }

check:
    for (size_t i = 0; i < area; i++)
        if (crop->mask[i])
            return 1;

skip:
    if (sc)
        memset(crop, 0, sizeof *crop);
    else
        free_region_crop(crop);
    return 0;
}

/* ---- model pass and blending ---------------------------------------------- */

static void feather_mask_with(uint8_t *plane, uint16_t *scratch);

void feather_mask(uint8_t *plane) { feather_mask_with(plane, NULL); }

/* feather_mask with a caller's PLANE-sized scratch (NULL: allocated). */
static void feather_mask_with(uint8_t *plane, uint16_t *scratch)
{
    /* Separable: exact integer row sums of three (two at the ends), then
     * column sums of those; the same sums and divisors as the 3x3 window. */
    uint16_t *h = scratch ? scratch : (uint16_t *)malloc(PLANE * sizeof *h);
    if (!h)
        return;  /* the blend then uses the hard mask */

    for (int pass = 0; pass < 2; pass++) {
        for (int q = 0; q < N; q++) {
            const uint8_t *in = plane + (size_t)q * N;
            uint16_t *o = h + (size_t)q * N;
            o[0] = (uint16_t)(in[0] + in[1]);
            for (int p = 1; p < N - 1; p++)
                o[p] = (uint16_t)(in[p - 1] + in[p] + in[p + 1]);
            o[N - 1] = (uint16_t)(in[N - 2] + in[N - 1]);
        }
        for (int q = 0; q < N; q++) {
            const int q0 = imax(q - 1, 0), q1 = imin(q + 1, N - 1);
            const unsigned rows = (unsigned)(q1 - q0 + 1);
            uint8_t *o = plane + (size_t)q * N;
            const uint16_t *a = h + (size_t)q0 * N, *c = h + (size_t)q1 * N;
            const uint16_t *b = h + (size_t)q * N;
            if (rows == 3) {
                o[0] = (uint8_t)(((unsigned)a[0] + b[0] + c[0]) / 6u);
                for (int p = 1; p < N - 1; p++)
                    o[p] = (uint8_t)(((unsigned)a[p] + b[p] + c[p]) / 9u);
                o[N - 1] = (uint8_t)(((unsigned)a[N - 1] + b[N - 1] + c[N - 1]) / 6u);
            } else {
                /* first or last row: a or c is b itself, two rows counted */
                const uint16_t *other = q0 == q ? c : a;
                o[0] = (uint8_t)(((unsigned)b[0] + other[0]) / 4u);
                for (int p = 1; p < N - 1; p++)
                    o[p] = (uint8_t)(((unsigned)b[p] + other[p]) / 6u);
                o[N - 1] = (uint8_t)(((unsigned)b[N - 1] + other[N - 1]) / 4u);
            }
        }
    }
    if (!scratch)
        free(h);
}

typedef struct MaskTap {
    int i0;
    float f, g;  /* fx, 1 - fx */
} MaskTap;

static void blend_crop(const RegionCrop *crop, uint8_t *rgb, int width, const float unit[256]);

/* The crop's 0/1 mask at 512x512 as 0/255, a model pixel being hole when any
 * crop pixel under it is: thin letter holes survive the scaling down. */
static void pool_mask_any(const uint8_t *mask, int s, uint8_t *out)
{
    int lo[GW_INPAINT_SIZE], hi[GW_INPAINT_SIZE];  /* crop span of each model row/column */
    for (int p = 0; p < N; p++) {
        lo[p] = (int)((long long)p * s / N);
        hi[p] = imax(lo[p] + 1, (int)(((long long)(p + 1) * s + N - 1) / N));
        hi[p] = imin(hi[p], s);
    }
    for (int q = 0; q < N; q++) {
        uint8_t *o = out + (size_t)q * N;
        for (int p = 0; p < N; p++) {
            uint8_t any = 0;
            for (int r = lo[q]; r < hi[q] && !any; r++) {
                const uint8_t *row = mask + (size_t)r * s;
                for (int c = lo[p]; c < hi[p]; c++)
                    any |= row[c];
            }
            o[p] = any ? 255 : 0;
        }
    }
}

/* A model output value as a byte: clamped to 0..255, rounded half up; NaN is 0. */
static inline uint8_t output_byte(float v)
{
    if (!(v >= 0.0f))
        return 0;
    return (uint8_t)((v < 255.0f ? v : 255.0f) + 0.5f);
}

static int crop_pass(RegionCrop *crop, uint8_t *rgb, int width, float *image_tensor, float *mask_tensor,
                     float *output_tensor, const Scratch *sc);

void inpaint_crop(RegionCrop *crop, uint8_t *rgb, int width, float *image_tensor, float *mask_tensor,
                  float *output_tensor)
{
    crop_pass(crop, rgb, width, image_tensor, mask_tensor, output_tensor, NULL);
}

/* inpaint_crop; with sc, the work planes come from it. -2 when the model run
 * was stopped, else 0. */
static int crop_pass(RegionCrop *crop, uint8_t *rgb, int width, float *image_tensor, float *mask_tensor,
                     float *output_tensor, const Scratch *sc)
{
    const int s = crop->side;
    /* work: 512x512 RGB24, in turn the scaled crop, the repainted image and
     * the alpha image. soft: the 512x512 hole mask, softened after the run. */
    uint8_t *work = NULL, *soft = NULL;
    char msg[512];
    float *inputs[2] = {image_tensor, mask_tensor};
    float *outputs[1] = {output_tensor};
    const TensorShape in_shapes[2] = {{1, 3, N, N}, {1, 1, N, N}};
    /* Preset to a shape the model must not produce: ort_session_run leaves the
     * caller's shape in place for outputs of 2 or 3 dimensions, and a run only
     * counts when the produced shape is 1x3x512x512 exactly. */
    TensorShape out_shape = {1, 1, 1, (int64_t)(3 * PLANE)};
    const size_t out_cap = 3 * PLANE;

    /* byte / 255 as the tensors and the blend use it */
    float unit[256];
    /* Mask lookup positions: the same along both axes of the square. */
    MaskTap taps[N];
    GW_TIMER_START(t_in);
    int ran = 0, stopped = 0;

    work = sc ? sc->work : (uint8_t *)malloc(PLANE * 3);
    soft = sc ? sc->soft : (uint8_t *)malloc(PLANE);
    if (!work || !soft)
        goto end;

    for (int i = 0; i < 256; i++)
        unit[i] = (float)i / 255.0f;

    resize_rgb(crop->pixels, s, s, work, N, N);
    for (int c = 0; c < 3; c++) {
        float *t = image_tensor + c * PLANE;
        const uint8_t *w = work + c;
        for (size_t i = 0; i < PLANE; i++)
            t[i] = unit[w[i * 3]];
    }

    /* Near the crop's right and bottom edges the lookup extrapolates and m
     * may leave 0..1; 255*m keeps its low 8 bits, as the model has always
     * been fed. Each value is sample_u8_bilinear's, with its clamped
     * positions and weights worked out once per row and column. */
    for (int p = 0; p < N; p++) {
        const float x = ((float)p + 0.5f) * (float)s * 0.001953125f;
        int x0 = (int)x;
        if (x0 < 0)
            x0 = 0;
        if (x0 >= s - 1)
            x0 = s - 2;
        taps[p].i0 = x0;
        taps[p].f = x - (float)x0;
        taps[p].g = 1.0f - taps[p].f;
    }
    for (int q = 0; q < N; q++) {
        const MaskTap ty = taps[q];
        const uint8_t *r0 = crop->mask + (size_t)ty.i0 * s;
        const uint8_t *r1 = r0 + s;
        uint8_t *o = soft + (size_t)q * N;
        for (int p = 0; p < N; p++) {
            const MaskTap tx = taps[p];
            const int x0 = tx.i0;
            const float v = (float)r0[x0 + 1] * tx.f * ty.g + (float)r0[x0] * tx.g * ty.g +
                            (float)r1[x0] * tx.g * ty.f + (float)r1[x0 + 1] * tx.f * ty.f;
            const int m = (int)(v + 0.5f);
            o[p] = (uint8_t)(255 * m);
        }
    }
    if (sc && sc->glyphs)
        pool_mask_any(crop->mask, s, soft);
    for (size_t i = 0; i < PLANE; i++)
        mask_tensor[i] = unit[soft[i]];
    GW_TIMER_STOP(t_in, GW_ST_BLEND);

    {
        memset(msg, 0, sizeof msg);
        GW_TIMER_START(t_net);
        const int rc = ort_session_run(&S.lama, inputs, in_shapes, 2, outputs, &out_shape, &out_cap, 1, msg, sizeof msg);
        GW_TIMER_STOP(t_net, GW_ST_INPAINT_NET);
        ran = rc == 0;
        stopped = rc == -2;
    }
    if (stopped)
        goto end;
    if (!ran) {
        fprintf(stderr, "[inpaint] LAMA FAIL: %s\n", msg);
        goto end;
    }
    if (out_shape.n != 1 || out_shape.c != 3 || out_shape.h != N || out_shape.w != N) {
        if (out_shape.n == 1 && out_shape.c == 1 && out_shape.h == 1 && out_shape.w == (int64_t)(3 * PLANE))
            snprintf(msg, sizeof msg, "output is not a 1x3x%dx%d tensor", N, N);
        else
            snprintf(msg, sizeof msg, "output shape %lldx%lldx%lldx%lld, expected 1x3x%dx%d",
                     (long long)out_shape.n, (long long)out_shape.c, (long long)out_shape.h,
                     (long long)out_shape.w, N, N);
        fprintf(stderr, "[inpaint] LAMA FAIL: %s\n", msg);
        goto end;
    }

    {
        GW_TIMER_START(t_out);
        for (int c = 0; c < 3; c++) {
            const float *t = output_tensor + c * PLANE;
            uint8_t *w = work + c;
            for (size_t i = 0; i < PLANE; i++)
                w[i * 3] = output_byte(t[i]);
        }
        resize_rgb(work, N, N, crop->repainted, s, s);

        feather_mask_with(soft, sc ? sc->feather : NULL);
        /* The softened mask scaled as one plane; crop->alpha gets it as R = G = B. */
        resize_to_rgb(soft, N, N, 1, crop->alpha, s, s);
        if (sc && sc->glyphs) {
            /* Every letter pixel is repainted fully; the softening only
             * widens the blend outwards. */
            for (size_t i = 0; i < (size_t)s * s; i++)
                if (crop->mask[i])
                    crop->alpha[i * 3] = 255;
        }

        blend_crop(crop, rgb, width, unit);
        GW_TIMER_STOP(t_out, GW_ST_BLEND);
    }

end:
    if (!sc) {
        free(work);
        free(soft);
    }
    return stopped ? -2 : 0;
}

/* Blends crop->repainted into the frame through crop->alpha. */
static void blend_crop(const RegionCrop *crop, uint8_t *rgb, int width, const float unit[256])
{
    const int s = crop->side;
    for (int r = 0; r < s; r++) {
        uint8_t *f = rgb + ((size_t)(crop->y + r) * width + crop->x) * 3;
        const uint8_t *rep = crop->repainted + (size_t)r * s * 3;
        const uint8_t *al = crop->alpha + (size_t)r * s * 3;
        for (int c = 0; c < s; c++) {
            const float a = unit[al[c * 3]];
            if (a < 0.02f)
                continue;  /* alpha bytes 0..5 keep the frame pixel */
            for (int ch = 0; ch < 3; ch++) {
                const int k = c * 3 + ch;
                f[k] = (uint8_t)((float)rep[k] * a + (float)f[k] * (1.0f - a) + 0.5f);
            }
        }
    }
}

/* One arena kept from frame to frame, bounded by the largest frame seen and
 * released by gw_inpaint_release (glyphwipe_cleanup). A frame that finds it
 * in use by another thread allocates its own. */
static uint8_t *arena;
static size_t arena_cap;
static std::atomic_flag arena_busy = ATOMIC_FLAG_INIT;

void gw_inpaint_release(void)
{
    if (arena_busy.test_and_set(std::memory_order_acquire))
        return;  /* in use: the frame that holds it keeps it */
    free(arena);
    arena = NULL;
    arena_cap = 0;
    arena_busy.clear(std::memory_order_release);
}

static size_t round64(size_t n) { return (n + 63) & ~(size_t)63; }

int gw_inpaint_frame(uint8_t *rgb, int width, int height, const DetectionResult *det, int y_start, int y_end)
{
    InpaintRegion regions[GW_MAX_REGIONS];
    float *image_tensor, *mask_tensor, *output_tensor;
    uint8_t *mem = NULL;
    int owns_arena = 0;
    Scratch sc;

    GW_TIMER_START(t_plan);
    const int k = plan_regions(width, height, det, y_start, y_end, regions);
    /* The band as planning reads it: (0, 0) and empty ranges mean none. */
    const Band band = {imax(y_start, 0), imin(y_end, height)};
    int result = planned_left_out;
    if (k == 0) {
        GW_TIMER_STOP(t_plan, GW_ST_PLAN_MASK);
        return result;
    }

    /* Layout: three tensors, the 512x512 work planes, then the crop planes
     * for the largest possible side. */
    const size_t max_area = (size_t)imin(width, height) * (size_t)imin(width, height);
    const size_t o_mask = round64(3 * PLANE * sizeof(float));
    const size_t o_out = o_mask + round64(PLANE * sizeof(float));
    const size_t o_work = o_out + round64(3 * PLANE * sizeof(float));
    const size_t o_soft = o_work + round64(3 * PLANE);
    const size_t o_feather = o_soft + round64(PLANE);
    const size_t o_dilate = o_feather + round64(PLANE * sizeof(uint16_t));
    const size_t o_crop = o_dilate + round64(dilate_scratch_size(imin(width, height)));
    const int glyphs = S.mask_mode == GW_MASK_GLYPHS;
    const size_t o_glyphs = o_crop + round64(10 * max_area);
    const size_t need = o_glyphs + (glyphs ? (size_t)width * height : 0);

    if (!arena_busy.test_and_set(std::memory_order_acquire)) {
        owns_arena = 1;
        if (arena_cap < need) {
            free(arena);
            arena = (uint8_t *)malloc(need);
            arena_cap = arena ? need : 0;
        }
        mem = arena;
    } else {
        mem = (uint8_t *)malloc(need);
    }
    GW_TIMER_STOP(t_plan, GW_ST_PLAN_MASK);

    if (mem) {
        image_tensor = (float *)mem;
        mask_tensor = (float *)(mem + o_mask);
        output_tensor = (float *)(mem + o_out);
        sc.work = mem + o_work;
        sc.soft = mem + o_soft;
        sc.feather = (uint16_t *)(mem + o_feather);
        sc.dilate = mem + o_dilate;
        sc.crop = mem + o_crop;
        sc.glyphs = NULL;
        if (glyphs) {
            uint8_t *plane = mem + o_glyphs;
            memset(plane, 0, (size_t)width * height);
            gw_glyph_mask(rgb, width, height, det, S.threshold, band.ys, band.ye, plane);
            sc.glyphs = plane;
        }
        /* Each crop is copied from the frame as the earlier regions left it.
         * A region longer than any crop is repainted piece by piece. */
        for (int i = 0; i < k && result >= 0; i++) {
            InpaintRegion pieces[GW_MAX_REGION_PIECES];
            const int n = split_region(&regions[i], width, height, pieces);
            for (int j = 0; j < n && result >= 0; j++) {
                RegionCrop crop;
                GW_TIMER_START(t_mask);
                const int filled = crop_into(rgb, width, height, det, &pieces[j], band, &crop, &sc);
                GW_TIMER_STOP(t_mask, GW_ST_PLAN_MASK);
                if (filled && crop_pass(&crop, rgb, width, image_tensor, mask_tensor, output_tensor, &sc) == -2)
                    result = -2;
            }
        }
    } else {
        result = -1;
    }
    if (owns_arena)
        arena_busy.clear(std::memory_order_release);
    else
        free(mem);
    return result;
}
