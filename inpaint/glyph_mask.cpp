// Glyph mask: inside each (grown) text box, mark only the pixels that belong
// to the letters (fill, outline, shadow) and a margin scaled with the box's
// height, so the background between and inside the letters is kept.
//
// The background is modelled from a ring of pixels just outside the box:
// its colours are clustered (k-means, a few clusters), and a pixel inside the
// box is a letter pixel when it lies far from every background cluster. Of
// those, only connected pieces that touch the detector's own text cores are
// kept. Where this cannot tell the letters apart (too few of the core pixels
// are letter pixels, or nearly all of the box is), the whole box is marked.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "inpaint_internal.h"

#define GLYPH_K 5              /* background clusters */
#define GLYPH_ITERS 6          /* k-means rounds */
#define GLYPH_MAX_SAMPLES 4096 /* ring pixels used for the clusters */


typedef struct Cluster {
    float r, g, b;
    float limit2;  /* squared distance beyond which a pixel is not this colour */
    int n;
} Cluster;

typedef struct Rect {
    int x0, y0, x1, y1;  /* x1, y1 exclusive */
} Rect;

static inline int in_rect(const Rect *r, int x, int y) { return x >= r->x0 && x < r->x1 && y >= r->y0 && y < r->y1; }

static inline float dist2(const uint8_t *p, const Cluster *c)
{
    const float dr = (float)p[0] - c->r, dg = (float)p[1] - c->g, db = (float)p[2] - c->b;
    return dr * dr + dg * dg + db * db;
}

/* Collects up to GLYPH_MAX_SAMPLES ring pixels around box (inside the frame,
 * outside every text box); returns how many. */
static int ring_samples(const uint8_t *rgb, int width, int height, const Rect *box, const Rect *boxes, int nboxes,
                        uint8_t *out)
{
    const int h = box->y1 - box->y0;
    const int gap = 1 + h / 16, rw = imax(2, h / 6);
    const Rect outer = {imax(box->x0 - gap - rw, 0), imax(box->y0 - gap - rw, 0), imin(box->x1 + gap + rw, width),
                        imin(box->y1 + gap + rw, height)};
    const Rect inner = {box->x0 - gap, box->y0 - gap, box->x1 + gap, box->y1 + gap};
    const long long total = (long long)(outer.x1 - outer.x0) * (outer.y1 - outer.y0) -
                            (long long)(imin(inner.x1, outer.x1) - imax(inner.x0, outer.x0)) *
                                (imin(inner.y1, outer.y1) - imax(inner.y0, outer.y0));
    const int step = total > GLYPH_MAX_SAMPLES ? (int)((total + GLYPH_MAX_SAMPLES - 1) / GLYPH_MAX_SAMPLES) : 1;
    int n = 0;
    long long k = 0;
    for (int y = outer.y0; y < outer.y1; y++)
        for (int x = outer.x0; x < outer.x1; x++) {
            if (in_rect(&inner, x, y))
                continue;
            if (k++ % step)
                continue;
            int other = 0;
            for (int i = 0; i < nboxes && !other; i++)
                other = in_rect(&boxes[i], x, y);
            if (other || n >= GLYPH_MAX_SAMPLES)
                continue;
            memcpy(out + (size_t)n * 3, rgb + ((size_t)y * width + x) * 3, 3);
            n++;
        }
    return n;
}

static int by_luma(const void *a, const void *b)
{
    const uint8_t *p = (const uint8_t *)a, *q = (const uint8_t *)b;
    const int la = 2 * p[0] + 5 * p[1] + p[2], lb = 2 * q[0] + 5 * q[1] + q[2];
    return (la > lb) - (la < lb);
}

/* k-means over the samples, seeded at luminance quantiles; returns the
 * clusters kept (those holding at least 3 % of the samples). */
static int background_clusters(uint8_t *s, int n, Cluster *cl)
{
    qsort(s, (size_t)n, 3, by_luma);
    for (int k = 0; k < GLYPH_K; k++) {
        const uint8_t *p = s + (size_t)((2 * k + 1) * n / (2 * GLYPH_K)) * 3;
        cl[k].r = p[0], cl[k].g = p[1], cl[k].b = p[2];
    }
    double sum[GLYPH_K][4];
    for (int it = 0; it <= GLYPH_ITERS; it++) {
        memset(sum, 0, sizeof sum);
        for (int i = 0; i < n; i++) {
            const uint8_t *p = s + (size_t)i * 3;
            int best = 0;
            float bd = dist2(p, &cl[0]);
            for (int k = 1; k < GLYPH_K; k++) {
                const float d = dist2(p, &cl[k]);
                if (d < bd)
                    bd = d, best = k;
            }
            sum[best][0] += p[0], sum[best][1] += p[1], sum[best][2] += p[2];
            sum[best][3] += it == GLYPH_ITERS ? bd : 1.0;  /* last round: spread */
            if (it == GLYPH_ITERS)
                cl[best].n++;
        }
        if (it == GLYPH_ITERS)
            break;
        for (int k = 0; k < GLYPH_K; k++) {
            cl[k].n = 0;
            if (sum[k][3] > 0) {
                cl[k].r = (float)(sum[k][0] / sum[k][3]);
                cl[k].g = (float)(sum[k][1] / sum[k][3]);
                cl[k].b = (float)(sum[k][2] / sum[k][3]);
            }
        }
    }
    int kept = 0;
    for (int k = 0; k < GLYPH_K; k++) {
        if (cl[k].n * 100 < n * 3)
            continue;
        const float rms = sqrtf((float)(sum[k][3] / cl[k].n));
        const float lim = fmaxf(30.0f, 2.5f * rms);
        cl[kept] = cl[k];
        cl[kept].limit2 = lim * lim;
        kept++;
    }
    return kept;
}

/* Square OR-dilation of a w x h plane by r, through tmp (w*h bytes). */
static void dilate_plane(uint8_t *m, uint8_t *tmp, int w, int h, int r)
{
    for (int y = 0; y < h; y++) {
        const uint8_t *row = m + (size_t)y * w;
        uint8_t *t = tmp + (size_t)y * w;
        int last = -1000000;  /* last set column seen, scanning right */
        for (int x = 0; x < w; x++) {
            if (row[x])
                last = x;
            t[x] = x - last <= r;
        }
        last = 1000000;
        for (int x = w - 1; x >= 0; x--) {
            if (row[x])
                last = x;
            t[x] |= last - x <= r;
        }
    }
    for (int x = 0; x < w; x++) {
        int last = -1000000;
        for (int y = 0; y < h; y++) {
            if (tmp[(size_t)y * w + x])
                last = y;
            m[(size_t)y * w + x] = y - last <= r;
        }
        last = 1000000;
        for (int y = h - 1; y >= 0; y--) {
            if (tmp[(size_t)y * w + x])
                last = y;
            m[(size_t)y * w + x] |= last - y <= r;
        }
    }
}

/* Score at a frame pixel, nearest map sample. */
static inline float score_at(const DetectionResult *det, int width, int height, int x, int y)
{
    const int mx = imin((int)((long long)x * det->map_width / width), det->map_width - 1);
    const int my = imin((int)((long long)y * det->map_height / height), det->map_height - 1);
    return det->score_map[(size_t)my * det->map_width + mx];
}

static void mark_rect(uint8_t *plane, int width, const Rect *r)
{
    for (int y = r->y0; y < r->y1; y++)
        memset(plane + (size_t)y * width + r->x0, 1, (size_t)(r->x1 - r->x0));
}

/* Keeps the 8-connected pieces of cand (w x h; bit 1 letter pixel, bit 2
 * core pixel) that hold a core pixel; cand becomes 0/1. list holds w*h
 * ints. Returns the pixels kept. */
static long keep_touching_pieces(uint8_t *cand, int w, int h, int *list)
{
    enum { LETTER = 1, CORE = 2, SEEN = 4, KEEP = 8 };
    long kept = 0;
    for (int start = 0; start < w * h; start++) {
        if ((cand[start] & (LETTER | SEEN)) != LETTER)
            continue;
        /* Breadth-first: list[0..n) holds the piece, list[next..n) the front. */
        int n = 0, next = 0, touches = 0;
        list[n++] = start;
        cand[start] |= SEEN;
        while (next < n) {
            const int p = list[next++];
            touches |= cand[p] & CORE;
            const int px = p % w, py = p / w;
            for (int qy = imax(py - 1, 0); qy <= imin(py + 1, h - 1); qy++)
                for (int qx = imax(px - 1, 0); qx <= imin(px + 1, w - 1); qx++) {
                    const int q = qy * w + qx;
                    if ((cand[q] & (LETTER | SEEN)) == LETTER) {
                        cand[q] |= SEEN;
                        list[n++] = q;
                    }
                }
        }
        if (touches) {
            for (int i = 0; i < n; i++)
                cand[list[i]] |= KEEP;
            kept += n;
        }
    }
    for (int i = 0; i < w * h; i++)
        cand[i] = (cand[i] & KEEP) ? 1 : 0;
    return kept;
}

/* The letters of one box into plane; the whole box where they cannot be
 * told apart or memory is short. */
static void glyphs_of_box(const uint8_t *rgb, int width, int height, const DetectionResult *det, float threshold,
                          const Rect *box, const Rect *boxes, int nboxes, uint8_t *plane)
{
    const int w = box->x1 - box->x0, h = box->y1 - box->y0;
    const size_t area = (size_t)w * h;
    const int margin = imin(1 + (int)lroundf(0.05f * (float)h), 16);
    const int pw = w + 2 * margin, ph = h + 2 * margin;  /* box with room for the margin */
    uint8_t *samples = (uint8_t *)malloc((size_t)GLYPH_MAX_SAMPLES * 3);
    uint8_t *cand = (uint8_t *)calloc((size_t)pw * ph, 1);
    uint8_t *tmp = (uint8_t *)malloc((size_t)pw * ph);
    int *stack = (int *)malloc((size_t)pw * ph * sizeof(int));
    Cluster cl[GLYPH_K];
    int whole = 1;

    if (!samples || !cand || !tmp || !stack || !det->score_map || det->map_width < 1 || det->map_height < 1)
        goto done;
    {
        const int n = ring_samples(rgb, width, height, box, boxes, nboxes, samples);
        memset(cl, 0, sizeof cl);
        const int k = n >= 24 ? background_clusters(samples, n, cl) : 0;
        if (k == 0)
            goto done;

        long core = 0, core_hit = 0, hits = 0;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const int fx = box->x0 + x, fy = box->y0 + y;
                const uint8_t *p = rgb + ((size_t)fy * width + fx) * 3;
                int far = 1;
                for (int i = 0; i < k && far; i++)
                    far = dist2(p, &cl[i]) > cl[i].limit2;
                const int is_core = score_at(det, width, height, fx, fy) >= threshold;
                cand[(size_t)(y + margin) * pw + x + margin] = (uint8_t)(far | (is_core ? 2 : 0));
                core += is_core;
                hits += far;
                core_hit += far && is_core;
            }
        /* Unsure: the letters hardly differ from the surround, or the box
         * differs from it almost everywhere. */
        if (core == 0 || core_hit * 25 < core || (double)hits > 0.85 * (double)area)
            goto done;
        /* Dots, accents and punctuation lie near the cores rather than on
         * them: the cores are widened by a fifth of the box height. */
        for (size_t i = 0; i < (size_t)pw * ph; i++)
            tmp[i] = (cand[i] & 2) != 0;
        dilate_plane(tmp, (uint8_t *)stack, pw, ph, imax(2, h / 5));
        for (size_t i = 0; i < (size_t)pw * ph; i++)
            cand[i] = (uint8_t)((cand[i] & 1) | (tmp[i] ? 2 : 0));
        if (keep_touching_pieces(cand, pw, ph, stack) == 0)
            goto done;
        dilate_plane(cand, tmp, pw, ph, margin);
        for (int y = 0; y < ph; y++) {
            const int fy = box->y0 - margin + y;
            if (fy < 0 || fy >= height)
                continue;
            for (int x = 0; x < pw; x++) {
                const int fx = box->x0 - margin + x;
                if (fx >= 0 && fx < width && cand[(size_t)y * pw + x])
                    plane[(size_t)fy * width + fx] = 1;
            }
        }
        whole = 0;
    }
done:
    if (whole)
        mark_rect(plane, width, box);
    free(samples);
    free(cand);
    free(tmp);
    free(stack);
}

void gw_glyph_mask(const uint8_t *rgb, int width, int height, const DetectionResult *det, float threshold, int ys,
                   int ye, uint8_t *plane)
{
    Rect boxes[GW_MAX_BOXES];
    const int count = det && det->boxes ? imin(det->box_count, GW_MAX_BOXES) : 0;
    int n = 0;
    for (int i = 0; i < count; i++) {
        const TextBox *b = &det->boxes[i];
        const Rect r = {imax(b->x, 0), imax(b->y, 0), imin(b->x + b->w, width), imin(b->y + b->h, height)};
        if (r.x1 > r.x0 && r.y1 > r.y0)
            boxes[n++] = r;
    }
    for (int i = 0; i < n; i++) {
        if (ys < ye && !(boxes[i].y0 < ye && boxes[i].y1 > ys))
            continue;  /* wholly outside the band */
        glyphs_of_box(rgb, width, height, det, threshold, &boxes[i], boxes, n, plane);
    }
}
