// Inpainting of one frame: the detected text is grouped into at most 12
// regions; each region becomes a square crop with a hole mask, the fill
// model repaints the crop at 512x512 and the result is blended back through
// a softened mask. The work memory lives in the caller's arena.
#include <stdlib.h>
#include <string.h>

#include "inpaint_internal.h"
#include "platform/stage_timers.h"
#include "region_split.h"
#include "resample/resample.h"

void gw_inpaint_arena_free(InpaintArena *a)
{
    free(a->mem);
    a->mem = NULL;
    a->cap = 0;
}

static size_t round64(size_t n) { return (n + 63) & ~(size_t)63; }

int gw_inpaint_work_bind(InpaintArena *a, int width, int height, int with_glyphs, InpaintWork *w)
{
    /* Layout: three tensors, the 512x512 work planes, then the crop planes
     * for the largest possible side. */
    const int side = imin(width, height);
    const size_t max_area = (size_t)side * (size_t)side;
    const size_t o_mask = round64(3 * PLANE * sizeof(float));
    const size_t o_out = o_mask + round64(PLANE * sizeof(float));
    const size_t o_work = o_out + round64(3 * PLANE * sizeof(float));
    const size_t o_soft = o_work + round64(3 * PLANE);
    const size_t o_feather = o_soft + round64(PLANE);
    const size_t o_dilate = o_feather + round64(PLANE * sizeof(uint16_t));
    const size_t o_resize = o_dilate + round64(gw_dilate_scratch_size(side));
    const size_t o_crop = o_resize + round64(gw_resize_scratch_size(imax(side, N)));
    const size_t o_glyphs = o_crop + round64(5 * max_area);
    const size_t need = o_glyphs + (with_glyphs ? (size_t)width * height : 0);

    if (a->cap < need) {
        free(a->mem);
        a->mem = (uint8_t *)malloc(need);
        a->cap = a->mem ? need : 0;
        if (!a->mem)
            return -1;
    }
    uint8_t *mem = a->mem;
    w->max_side = side;
    w->image_tensor = (float *)mem;
    w->mask_tensor = (float *)(mem + o_mask);
    w->output_tensor = (float *)(mem + o_out);
    w->work = mem + o_work;
    w->soft = mem + o_soft;
    w->feather = (uint16_t *)(mem + o_feather);
    w->dilate = mem + o_dilate;
    w->resize = mem + o_resize;
    w->crop = mem + o_crop;
    w->glyphs = with_glyphs ? mem + o_glyphs : NULL;
    return 0;
}

/* The regions of a frame and its work, with the letter plane (mask
 * "glyphs") or the caller's hole (hole non-null) in work->glyphs. k regions,
 * 0 when there is nothing to do, -1 without memory. */
static int prepare(const InpaintOptions *opt, InpaintArena *arena, const uint8_t *rgb, int width, int height,
                   const DetectionResult *det, int ys, int ye, const uint8_t *hole, InpaintRegion *regions,
                   int *left_out, InpaintWork *work)
{
    GW_TIMER_START(t_plan);
    const int k = plan_regions(width, height, det, ys, ye, opt, regions, left_out);
    const int plane = hole || opt->mask_mode == GW_MASK_GLYPHS;
    const int bound = k > 0 ? gw_inpaint_work_bind(arena, width, height, plane, work) : 0;
    GW_TIMER_STOP(t_plan, GW_ST_PLAN_MASK);
    if (k == 0)
        return 0;
    if (bound != 0)
        return -1;
    if (hole) {
        memcpy(work->glyphs, hole, (size_t)width * height);
    } else if (plane) {
        memset(work->glyphs, 0, (size_t)width * height);
        gw_glyph_mask(rgb, width, height, det, opt->threshold, imax(ys, 0), imin(ye, height), work->glyphs);
    }
    return k;
}

/* gw_inpaint_frame, or with hole the caller's frame hole taken as it is. */
static int inpaint_frame(ModelSession *model, const InpaintOptions *opt, InpaintArena *arena, uint8_t *rgb,
                         int width, int height, const DetectionResult *det, int y_start, int y_end,
                         const uint8_t *hole)
{
    InpaintRegion regions[GW_MAX_REGIONS];
    InpaintWork work;
    int left_out = 0;
    /* The band as planning reads it: (0, 0) and empty ranges mean none. */
    const int ys = imax(y_start, 0), ye = imin(y_end, height);
    const int k = prepare(opt, arena, rgb, width, height, det, y_start, y_end, hole, regions, &left_out, &work);
    if (k <= 0)
        return k < 0 ? -1 : left_out;
    /* A given hole is final: it is not grown again. */
    InpaintOptions mask_opt = *opt;
    if (hole)
        mask_opt.radius = 0;

    /* Each crop reads the frame as the earlier regions left it. A
     * region longer than any crop is repainted piece by piece. */
    int result = left_out;
    for (int i = 0; i < k && result >= 0; i++) {
        InpaintRegion pieces[GW_MAX_REGION_PIECES];
        const int n = split_region(&regions[i], width, height, pieces);
        for (int j = 0; j < n && result >= 0; j++) {
            RegionCrop crop;
            GW_TIMER_START(t_mask);
            const int filled = build_region_mask(rgb, width, height, det, &mask_opt, &pieces[j], ys, ye, &work, &crop);
            GW_TIMER_STOP(t_mask, GW_ST_PLAN_MASK);
            if (filled && inpaint_crop(model, &crop, rgb, width, &work) == -2)
                result = -2;
        }
    }
    return result;
}

int gw_inpaint_frame(ModelSession *model, const InpaintOptions *opt, InpaintArena *arena, uint8_t *rgb, int width,
                     int height, const DetectionResult *det, int y_start, int y_end)
{
    return inpaint_frame(model, opt, arena, rgb, width, height, det, y_start, y_end, NULL);
}

int gw_inpaint_frame_hole(ModelSession *model, const InpaintOptions *opt, InpaintArena *arena, uint8_t *rgb,
                          int width, int height, const DetectionResult *det, int y_start, int y_end,
                          const uint8_t *hole)
{
    return inpaint_frame(model, opt, arena, rgb, width, height, det, y_start, y_end, hole);
}

int gw_inpaint_hole(const InpaintOptions *opt, InpaintArena *arena, const uint8_t *rgb, int width, int height,
                    const DetectionResult *det, int y_start, int y_end, uint8_t *plane)
{
    InpaintRegion regions[GW_MAX_REGIONS];
    InpaintWork work;
    int left_out = 0;
    const int ys = imax(y_start, 0), ye = imin(y_end, height);
    memset(plane, 0, (size_t)width * height);
    const int k = prepare(opt, arena, rgb, width, height, det, y_start, y_end, NULL, regions, &left_out, &work);
    for (int i = 0; i < k; i++) {
        InpaintRegion pieces[GW_MAX_REGION_PIECES];
        const int n = split_region(&regions[i], width, height, pieces);
        for (int j = 0; j < n; j++) {
            RegionCrop crop;
            if (!build_region_mask(rgb, width, height, det, opt, &pieces[j], ys, ye, &work, &crop))
                continue;
            for (int r = 0; r < crop.side; r++) {
                uint8_t *row = plane + (size_t)(crop.y + r) * width + crop.x;
                const uint8_t *m = crop.mask + (size_t)r * crop.side;
                for (int c = 0; c < crop.side; c++)
                    row[c] |= m[c];
            }
        }
    }
    return k < 0 ? -1 : left_out;
}
