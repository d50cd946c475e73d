// Video-aware repainting (option "temporal"): every picture's hole is made
// stable over its neighbours, filled from what other pictures of a window saw
// there (temporal/), and only what no picture saw goes to the fill model.
//
// The frame callback keeps pictures back: picture n is detected when it is
// decoded, its hole made stable `bridge` pictures later and filled `future`
// pictures after that, over `past` earlier outputs, itself and `future` later
// pictures. Memory: (past + 1 + future + bridge) slots of a picture, its raw
// hole, its state and its detection.
#include "temporal_video.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "engine.h"
#include "names.h"
#include "temporal/temporal.h"
#include "video/video.h"

namespace {

/* One picture of the window: as decoded, then as output once filled. */
struct Slot {
    std::vector<uint8_t> rgb;
    std::vector<uint8_t> raw;    /* the hole the picture's own repainting would make */
    std::vector<uint8_t> state;  /* its stable hole, then the fill's GW_PIXEL_* state */
    DetectionResult det;
    int y_start, y_end;          /* the band's rows, (0, 0) for none */
};

}  // namespace

struct TemporalVideo {
    int past, future, bridge;
    int width, height;
    VideoBandPct band;
    std::vector<Slot> ring;
    std::vector<TemporalPicture> pics;
    std::vector<uint8_t> left;   /* hole pixels no picture saw, for the fill model */
    TemporalContext *ctx;
    long long decoded, stabilised, done;
};

static int cancel_hook(void *) { return gw_cancel_requested(); }

void gw_temporal_window_split(int window, int *past, int *future)
{
    *future = std::min(2, (window - 1) / 2);
    *past = window - 1 - *future;
}

TemporalVideo *gw_temporal_video_new(int window, VideoBandPct band)
{
    TemporalVideo *tv = new (std::nothrow) TemporalVideo();
    if (!tv)
        return NULL;
    gw_temporal_window_split(window, &tv->past, &tv->future);
    tv->bridge = 1;
    tv->band = band;
    return tv;
}

void gw_temporal_video_free(TemporalVideo *tv)
{
    if (!tv)
        return;
    for (Slot &s : tv->ring)
        gw_detection_free(&s.det);
    gw_temporal_free(tv->ctx);
    delete tv;
}

static Slot &slot(TemporalVideo *tv, long long i) { return tv->ring[(size_t)(i % (long long)tv->ring.size())]; }

/* Context and ring for the first picture's size. 0, or -1 with the error text. */
static int setup(TemporalVideo *tv, int width, int height)
{
    TemporalConfig cfg;
    char err[256] = "";
    gw_temporal_defaults(&cfg, width, height, tv->past + 1 + tv->future);
    cfg.bridge = tv->bridge;
    cfg.cancel = cancel_hook;
    if (gw_temporal_create(&cfg, &tv->ctx, err, sizeof err) != GW_TEMPORAL_OK) {
        gw_set_error("%s", err);
        return -1;
    }
    tv->width = width;
    tv->height = height;
    const size_t px = (size_t)width * height;
    tv->ring.resize((size_t)(tv->past + 1 + tv->future + tv->bridge));
    for (Slot &s : tv->ring) {
        s.rgb.resize(px * 3);
        s.raw.resize(px);
        s.state.resize(px);
        memset(&s.det, 0, sizeof s.det);
    }
    tv->left.resize(px);
    return 0;
}

/* Detection and raw hole of the picture just decoded. 0, -1 or -2. */
static int take_picture(TemporalVideo *tv, const uint8_t *rgb)
{
    Slot &s = slot(tv, tv->decoded);
    char msg[512] = "";
    const size_t px = (size_t)tv->width * tv->height;
    memcpy(s.rgb.data(), rgb, px * 3);
    gw_detection_free(&s.det);
    gw_video_band_rows(tv->band, tv->height, &s.y_start, &s.y_end);
    const DetectOptions dopt = gw_detect_options(&gw_engine);
    if (gw_detect_run_in(&gw_engine.det, &dopt, &gw_engine.det_arena, s.rgb.data(), tv->width, tv->height, &s.det,
                         msg, sizeof msg) != 0) {
        if (gw_cancel_requested())
            return -2;
        gw_set_error("detect: %s", msg);
        return -1;
    }
    const InpaintOptions iopt = gw_inpaint_options(&gw_engine);
    if (gw_inpaint_hole(&iopt, &gw_engine.arena, s.rgb.data(), tv->width, tv->height, &s.det, s.y_start, s.y_end,
                        s.raw.data()) < 0) {
        gw_set_error("inpaint: cannot allocate the work memory for a %dx%d picture", tv->width, tv->height);
        return -1;
    }
    tv->decoded++;
    return 0;
}

/* The stable hole of picture j from the raw holes around it. 0, -1 or -2. */
static int stabilise(TemporalVideo *tv, long long j)
{
    const long long lo = std::max(0LL, j - tv->bridge), hi = std::min(tv->decoded - 1, j + tv->bridge);
    tv->pics.clear();
    for (long long i = lo; i <= hi; i++)
        tv->pics.push_back({NULL, slot(tv, i).raw.data()});
    const TemporalWindow win = {tv->pics.data(), (int32_t)tv->pics.size(), (int32_t)(j - lo), lo};
    const int r = gw_temporal_stable_hole(tv->ctx, &win, slot(tv, j).state.data());
    if (r == GW_TEMPORAL_CANCELLED)
        return -2;
    if (r != GW_TEMPORAL_OK) {
        gw_set_error("%s", gw_temporal_error(tv->ctx));
        return -1;
    }
    tv->stabilised = j + 1;
    return 0;
}

/* The boxes picture t is repainted by: its own, and those of its neighbours
 * that lie over hole pixels its own repainting would not make (where its
 * hole was bridged). */
static int gather_boxes(TemporalVideo *tv, long long t, TextBox boxes[GW_MAX_BOXES])
{
    const Slot &s = slot(tv, t);
    int n = std::min((int)s.det.box_count, GW_MAX_BOXES);
    if (n > 0)
        memcpy(boxes, s.det.boxes, (size_t)n * sizeof *boxes);
    const long long lo = std::max(0LL, t - tv->bridge), hi = std::min(tv->decoded - 1, t + tv->bridge);
    for (long long i = lo; i <= hi && n < GW_MAX_BOXES; i++) {
        const DetectionResult &d = slot(tv, i).det;
        for (int b = 0; i != t && b < std::min((int)d.box_count, GW_MAX_BOXES) && n < GW_MAX_BOXES; b++) {
            const TextBox &x = d.boxes[b];
            bool bridged = false;
            for (int y = x.y; y < x.y + x.h && !bridged; y++)
                for (int c = x.x; c < x.x + x.w && !bridged; c++) {
                    const size_t k = (size_t)y * tv->width + c;
                    bridged = s.state[k] == GW_PIXEL_HOLE && !s.raw[k];
                }
            if (bridged)
                boxes[n++] = x;
        }
    }
    return n;
}

/* Fills picture t from the window, repaints what is left and puts the
 * result into out. 0, -1 or -2. */
static int finish(TemporalVideo *tv, long long t, uint8_t *out)
{
    Slot &s = slot(tv, t);
    const long long lo = std::max(0LL, t - tv->past), hi = std::min(tv->decoded - 1, t + tv->future);
    tv->pics.clear();
    for (long long i = lo; i <= hi; i++)
        tv->pics.push_back({slot(tv, i).rgb.data(), slot(tv, i).state.data()});
    const TemporalWindow win = {tv->pics.data(), (int32_t)tv->pics.size(), (int32_t)(t - lo), lo};
    const int r = gw_temporal_fill(tv->ctx, &win, s.rgb.data(), s.state.data(), NULL);
    if (r == GW_TEMPORAL_CANCELLED)
        return -2;
    if (r != GW_TEMPORAL_OK) {
        gw_set_error("%s", gw_temporal_error(tv->ctx));
        return -1;
    }

    const size_t px = (size_t)tv->width * tv->height;
    bool any = false;
    for (size_t i = 0; i < px; i++) {
        tv->left[i] = s.state[i] == GW_PIXEL_HOLE;
        any = any || tv->left[i];
    }
    if (any) {
        TextBox boxes[GW_MAX_BOXES];
        DetectionResult d = s.det;
        d.boxes = boxes;
        d.box_count = gather_boxes(tv, t, boxes);
        const InpaintOptions iopt = gw_inpaint_options(&gw_engine);
        const int k = gw_inpaint_frame_hole(&gw_engine.fill, &iopt, &gw_engine.arena, s.rgb.data(), tv->width,
                                            tv->height, &d, s.y_start, s.y_end, tv->left.data());
        if (k == -2)
            return -2;
        if (k == -1) {
            gw_set_error("inpaint: cannot allocate the work memory for a %dx%d picture", tv->width, tv->height);
            return -1;
        }
        gw_count_regions_left_out(k);
    }
    memcpy(out, s.rgb.data(), px * 3);
    tv->done = t + 1;
    return 0;
}

int gw_temporal_video_cb(unsigned char *rgb, int width, int height, int flush, void *user)
{
    TemporalVideo *tv = (TemporalVideo *)user;
    if (gw_cancel_requested())
        return -2;
    if (!flush) {
        if (!tv->ctx && setup(tv, width, height) != 0)
            return -1;
        int r = take_picture(tv, rgb);
        const long long j = tv->decoded - 1 - tv->bridge, t = j - tv->future;
        if (r == 0 && j >= 0)
            r = stabilise(tv, j);
        if (r == 0 && t >= 0)
            r = finish(tv, t, rgb) == 0 ? 0 : -3;
        if (r == -3)  /* finish set the error text, or was cancelled */
            return gw_cancel_requested() ? -2 : -1;
        return r == 0 ? (t >= 0 ? GW_FRAME_READY : GW_FRAME_HELD) : r;
    }
    /* The end: the last holes with what is left of their look-ahead, then
     * one held picture per call. */
    for (long long j = tv->stabilised; j < tv->decoded; j++) {
        const int r = stabilise(tv, j);
        if (r != 0)
            return r;
    }
    if (tv->done >= tv->decoded)
        return GW_FRAME_HELD;
    const int r = finish(tv, tv->done, rgb);
    return r == 0 ? GW_FRAME_READY : r;
}
