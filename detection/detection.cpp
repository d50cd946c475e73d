// Text detection: the network input, the score map and the text boxes.
//
// gw_detect_run scales the image straight into the network's planar input,
// runs the detection model, keeps the clamped score map at network resolution and turns its
// 8-connected regions at or above the threshold into scored, merged boxes in
// image pixels. Arithmetic is single precision wherever box coordinates
// depend on it, evaluated in the written order, so that boxes are the same
// to the pixel on every build.
#include "detection.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/stage_timers.h"
#include "resample/resample.h"
#include "resample/simd.h"

#define NET_MAX_SIDE 960

static int round_up_32(int v) { return (v + 31) / 32 * 32; }

/* Long side scaled to max_side: the short side, rounded to nearest, at least 1. */
static int scaled_side(int short_side, int long_side, int max_side)
{
    int s = (int)((float)short_side * (float)max_side / (float)long_side + 0.5f);
    return s < 1 ? 1 : s;
}

int gw_det_max_side(int width, int height, float min_scale)
{
    const int long_side = width > height ? width : height;
    if (!(min_scale > 0.0f))
        return NET_MAX_SIDE;
    const int want = round_up_32((int)ceilf((float)long_side * (min_scale < 1.0f ? min_scale : 1.0f)));
    return want <= NET_MAX_SIDE ? NET_MAX_SIDE : want >= GW_DET_SIDE_LIMIT ? GW_DET_SIDE_LIMIT : want;
}

void gw_det_network_size(int width, int height, int *net_w, int *net_h)
{
    gw_det_network_size_max(width, height, NET_MAX_SIDE, net_w, net_h);
}

void gw_det_network_size_max(int width, int height, int max_side, int *net_w, int *net_h)
{
    if (width >= height && width > max_side) {
        *net_w = max_side;
        *net_h = round_up_32(scaled_side(height, width, max_side));
    } else if (width < height && height > max_side) {
        *net_h = max_side;
        *net_w = round_up_32(scaled_side(width, height, max_side));
    } else {
        *net_w = round_up_32(width);
        *net_h = round_up_32(height);
    }
}

void gw_det_fill_input(const uint8_t *rgb, int width, int height, float *tensor, int net_w, int net_h, void *scratch)
{
    gw_resize_to_signed_planes(rgb, width, height, tensor, net_w, net_h, scratch);
}

void gw_det_resample_map(const float *src, int src_w, int src_h, float *dst, int dst_w, int dst_h)
{
    for (int y = 0; y < dst_h; y++) {
        const GwTap ty = gw_axis_tap(y, src_h, dst_h);
        const float *r0 = src + (size_t)ty.i0 * (size_t)src_w;
        const float *r1 = src + (size_t)ty.i1 * (size_t)src_w;
        float *out = dst + (size_t)y * (size_t)dst_w;
        for (int x = 0; x < dst_w; x++) {
            const GwTap tx = gw_axis_tap(x, src_w, dst_w);
            out[x] = gw_bilerp(r0[tx.i0], r0[tx.i1], r1[tx.i0], r1[tx.i1], tx.f, ty.f);
        }
    }
}

void gw_det_clamp_map(float *map, size_t count)
{
    size_t i = 0;
#if GW_HAVE_SSE2
    /* v >= 0 keeps v (and -0), anything else (NaN too) becomes +0; then
     * min(v, 1): the scalar loop's values, bit for bit. */
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
    for (; i + 4 <= count; i += 4) {
        const __m128 v = _mm_loadu_ps(map + i);
        _mm_storeu_ps(map + i, _mm_min_ps(_mm_and_ps(v, _mm_cmpge_ps(v, zero)), one));
    }
#endif
    for (; i < count; i++) {
        float v = map[i];
        /* Written so that NaN fails the first test: a NaN score would
         * otherwise count as text and poison a box's mean. */
        if (!(v >= 0.0f))
            map[i] = 0.0f;
        else if (v > 1.0f)
            map[i] = 1.0f;
    }
}

void gw_det_merge_boxes(TextBox *boxes, int32_t *count)
{
    int32_t n = *count;
    int merged = 1;

    while (merged && n >= 2) {
        merged = 0;
        for (int32_t i = 0; i < n - 1 && !merged; i++) {
            for (int32_t j = i + 1; j < n; j++) {
                TextBox *a = &boxes[i];
                const TextBox *b = &boxes[j];
                int32_t left = a->x < b->x ? a->x : b->x;
                int32_t top = a->y < b->y ? a->y : b->y;
                int32_t right = a->x + a->w > b->x + b->w ? a->x + a->w : b->x + b->w;
                int32_t bottom = a->y + a->h > b->y + b->h ? a->y + a->h : b->y + b->h;
                int64_t uni = (int64_t)(right - left) * (bottom - top);
                int64_t own = (int64_t)a->w * a->h + (int64_t)b->w * b->h;
                if (own <= uni)
                    continue;
                a->x = left;
                a->y = top;
                a->w = right - left;
                a->h = bottom - top;
                if (b->conf > a->conf)
                    a->conf = b->conf;
                memmove(&boxes[j], &boxes[j + 1], (size_t)(n - j - 1) * sizeof *boxes);
                n--;
                merged = 1;  /* start again from the pair (0, 1) */
                break;
            }
        }
    }
    *count = n;
}

typedef struct PixelPos {
    int32_t x, y;
} PixelPos;

int gw_det_extract_boxes(DetectionResult *r, int width, int height, float threshold, char *msg, size_t msg_size)
{
    const int mw = r->map_width, mh = r->map_height;
    const size_t npix = (size_t)mw * (size_t)mh;
    const float *map = r->score_map;
    uint8_t *seen = (uint8_t *)calloc(npix, 1); /* pixels already in a region */
    PixelPos *stack = (PixelPos *)malloc(npix * sizeof *stack);
    TextBox *boxes = (TextBox *)malloc(GW_MAX_BOXES * sizeof *boxes);

    if (!seen || !stack || !boxes) {
        free(seen);
        free(stack);
        free(boxes);
        free(r->score_map);
        memset(r, 0, sizeof *r);
        snprintf(msg, msg_size, "oom");
        return -1;
    }
    r->boxes = boxes;
    r->box_count = 0;

    /* Map pixels to image pixels; a box may cover up to 30 % of the image. */
    const float sx = (float)width / (float)mw;
    const float sy = (float)height / (float)mh;
    const double max_area = (double)((int64_t)width * height) * 0.3 * 100 / 100;

    for (int y = 0; y < mh && r->box_count < GW_MAX_BOXES; y++) {
        for (int x = 0; x < mw && r->box_count < GW_MAX_BOXES; x++) {
            size_t seed = (size_t)y * mw + x;
#if GW_HAVE_SSE2
            /* Four pixels at a time over the run below the threshold. */
            if (x + 4 <= mw &&
                _mm_movemask_ps(_mm_cmpgt_ps(_mm_set1_ps(threshold), _mm_loadu_ps(map + seed))) == 0xF) {
                x += 3;
                continue;
            }
#endif
            if (seen[seed] || threshold > map[seed])
                continue;

            /* Grow the 8-connected region; a pixel is labelled when pushed,
             * so it enters the stack once and the stack never overflows. */
            int minx = x, maxx = x, miny = y, maxy = y;
            double sum = 0.0;
            size_t n = 0, sp = 0;
            seen[seed] = 1;
            stack[sp].x = x;
            stack[sp].y = y;
            sp++;
            while (sp > 0) {
                const PixelPos p = stack[--sp];
                minx = p.x < minx ? p.x : minx;
                maxx = p.x > maxx ? p.x : maxx;
                miny = p.y < miny ? p.y : miny;
                maxy = p.y > maxy ? p.y : maxy;
                sum += map[(size_t)p.y * mw + p.x];
                n++;
                for (int ny = p.y - 1; ny <= p.y + 1; ny++) {
                    if (ny < 0 || ny >= mh)
                        continue;
                    for (int nx = p.x - 1; nx <= p.x + 1; nx++) {
                        if (nx < 0 || nx >= mw)
                            continue;
                        size_t q = (size_t)ny * mw + nx;
                        if (seen[q] || threshold > map[q])
                            continue;
                        seen[q] = 1;
                        stack[sp].x = nx;
                        stack[sp].y = ny;
                        sp++;
                    }
                }
            }

            int bx = (int)((float)minx * sx);
            int by = (int)((float)miny * sy);
            int right = (int)((float)(maxx + 1) * sx + 1e-6f);
            int bottom = (int)((float)(maxy + 1) * sy + 1e-6f);
            if (right > width)
                right = width;
            if (bottom > height)
                bottom = height;
            int bw = right - bx, bh = bottom - by;
            if (bw <= 5 || bh <= 3 || (double)((int64_t)bw * bh) > max_area)
                continue;

            TextBox *b = &boxes[r->box_count++];
            b->x = bx;
            b->y = by;
            b->w = bw;
            b->h = bh;
            b->conf = (float)(sum / (double)n);
        }
    }
    free(seen);
    free(stack);

    gw_det_merge_boxes(boxes, &r->box_count);
    return 0;
}

void gw_detect_arena_free(DetectArena *a)
{
    free(a->input);
    a->input = NULL;
    a->cap = 0;
}

/* One run with the input tensor given (3 x net_w x net_h floats) and the
 * scaling's work memory. */
static int detect_with(ModelSession *model, const DetectOptions *opt, float *input, void *scratch, int net_w,
                       int net_h, const uint8_t *rgb, int width, int height, DetectionResult *out, char *msg,
                       size_t msg_size)
{
    char run_msg[512];
    const size_t npix = (size_t)net_w * (size_t)net_h;
    float *output = (float *)malloc(npix * sizeof *output);
    float *map;
    GW_TIMER_START(t_in);
    if (!output) {
        snprintf(msg, msg_size, "oom");
        return -1;
    }
    gw_det_fill_input(rgb, width, height, input, net_w, net_h, scratch);
    GW_TIMER_STOP(t_in, GW_ST_DET_INPUT);

    /* {1, 1, 0, 0}: an output of 2 or 3 dimensions then counts as empty. */
    TensorShape in_shape = {1, 3, net_h, net_w};
    TensorShape out_shape = {1, 1, 0, 0};
    const size_t out_cap = npix;
    memset(run_msg, 0, sizeof run_msg);
    GW_TIMER_START(t_net);
    int rc = ort_session_run(model, &input, &in_shape, 1, &output, &out_shape, &out_cap, 1, run_msg, sizeof run_msg);
    GW_TIMER_STOP(t_net, GW_ST_DET_NET);
    GW_TIMER_START(t_boxes);
    if (rc != 0) {
        /* The session reports the produced shape even when it refuses to
         * copy more values than the score map holds. */
        int64_t produced = out_shape.n * out_shape.c * out_shape.h * out_shape.w;
        if (out_shape.n > 0 && out_shape.c > 0 && out_shape.h > 0 && out_shape.w > 0 && produced > (int64_t)npix)
            snprintf(msg, msg_size, "det: bad output dims %lldx%lld with %lld values (the %dx%d map holds %zu)",
                     (long long)out_shape.w, (long long)out_shape.h, (long long)produced, net_w, net_h, npix);
        else
            snprintf(msg, msg_size, "det session: %s", run_msg);
        free(output);
        return -1;
    }

    const int32_t out_w = (int32_t)out_shape.w, out_h = (int32_t)out_shape.h;
    if (out_w < 1 || out_h < 1) {
        free(output);
        snprintf(msg, msg_size, "det: bad output dims %dx%d", out_w, out_h);
        return -1;
    }
    if (out_w == net_w && out_h == net_h) {
        map = output;
    } else {
        map = (float *)malloc(npix * sizeof *map);
        if (!map) {
            free(output);
            snprintf(msg, msg_size, "oom");
            return -1;
        }
        gw_det_resample_map(output, out_w, out_h, map, net_w, net_h);
        free(output);
    }
    gw_det_clamp_map(map, npix);

    out->score_map = map;
    out->map_width = net_w;
    out->map_height = net_h;
    rc = gw_det_extract_boxes(out, width, height, opt->threshold, msg, msg_size);
    if (rc == 0)
        gw_det_unclip_boxes(out->boxes, &out->box_count, width, height, opt->unclip);
    GW_TIMER_STOP(t_boxes, GW_ST_BOXES);
    return rc;
}

int gw_detect_run_in(ModelSession *model, const DetectOptions *opt, DetectArena *arena, const uint8_t *rgb, int width,
                     int height, DetectionResult *out, char *msg, size_t msg_size)
{
    DetectArena own = {NULL, 0};
    DetectArena *a = arena ? arena : &own;
    int net_w, net_h, rc = -1;

    if (width < 8 || height < 8) {
        snprintf(msg, msg_size, "image too small: %dx%d", width, height);
        return -1;
    }
    memset(out, 0, sizeof *out);
    gw_det_network_size_max(width, height, gw_det_max_side(width, height, opt->min_scale), &net_w, &net_h);
    const size_t planes = 3 * (size_t)net_w * (size_t)net_h;
    const size_t need = planes + (gw_resize_scratch_size(net_w) + sizeof(float) - 1) / sizeof(float);
    if (a->cap < need) {
        gw_detect_arena_free(a);
        a->input = (float *)malloc(need * sizeof *a->input);
        a->cap = a->input ? need : 0;
    }
    if (!a->input)
        snprintf(msg, msg_size, "oom");
    else
        rc = detect_with(model, opt, a->input, a->input + planes, net_w, net_h, rgb, width, height, out, msg,
                         msg_size);
    gw_detect_arena_free(&own);
    return rc;
}

int gw_detect_run(ModelSession *model, const DetectOptions *opt, const uint8_t *rgb, int width, int height,
                  DetectionResult *out, char *msg, size_t msg_size)
{
    return gw_detect_run_in(model, opt, NULL, rgb, width, height, out, msg, msg_size);
}

void gw_detection_free(DetectionResult *r)
{
    free(r->score_map);
    free(r->boxes);
    memset(r, 0, sizeof *r);
}
