// Propagation fill: every hole pixel of the target takes the background that
// another picture of the window saw at the same spot of the scene, nearest
// pictures first, each source checked against the target's own ring of
// known pixels around the hole and matched to it in gain and offset.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>

#include <opencv2/imgproc.hpp>

#include "temporal/tp_internal.h"

/* Share of a source's ring that must agree with the target pixel by pixel
 * before any of it is used: chance agreement of small patches does not let
 * a wrong picture in. */
static const double kLeastAgreement = 0.5;

/* Source coordinates of every roi pixel under the similarity a. */
static void affine_map(const double a[9], cv::Rect roi, cv::Mat &map)
{
    for (int y = 0; y < map.rows; y++) {
        cv::Vec2f *row = map.ptr<cv::Vec2f>(y);
        const double py = y + roi.y;
        for (int x = 0; x < map.cols; x++) {
            const double px = x + roi.x;
            row[x][0] = (float)(a[0] * px + a[1] * py + a[2]);
            row[x][1] = (float)(a[3] * px + a[4] * py + a[5]);
        }
    }
}

/* Bits of the source pixels that bilinear remapping reads for each roi
 * pixel, as cv::remap reads them (coordinates in 1/32 pixel): bit 0 when all
 * were seen, bit 1 when none is a hole; 0 when any lies outside. Sets
 * al.cand and al.area; 0 when the source has nothing to give. */
static int source_validity(const TemporalContext *ctx, const uint8_t *state, Aligned &al, const FillArea &fa)
{
    const int w = ctx->cfg.width, h = ctx->cfg.height;
    int x0c = al.map.cols, y0c = al.map.rows, x1c = -1, y1c = -1;
    for (int y = 0; y < al.map.rows; y++) {
        const cv::Vec2f *m = al.map.ptr<cv::Vec2f>(y);
        const uint8_t *need = fa.need.ptr<uint8_t>(y), *a1 = fa.a1.ptr<uint8_t>(y), *a2 = fa.a2.ptr<uint8_t>(y);
        uint8_t *v = al.valid.ptr<uint8_t>(y);
        for (int x = 0; x < al.map.cols; x++) {
            v[x] = 0;
            const float fx = m[x][0] * 32.0f, fy = m[x][1] * 32.0f;
            if (!(fx > -64.0f && fy > -64.0f && fx < 32.0f * w && fy < 32.0f * h))
                continue;
            const int X = (int)lrintf(fx), Y = (int)lrintf(fy);
            const int x0 = X >> 5, y0 = Y >> 5, x1 = x0 + ((X & 31) != 0), y1 = y0 + ((Y & 31) != 0);
            if (x0 < 0 || y0 < 0 || x1 >= w || y1 >= h)
                continue;
            const uint8_t s00 = state[(size_t)y0 * w + x0], s01 = state[(size_t)y0 * w + x1];
            const uint8_t s10 = state[(size_t)y1 * w + x0], s11 = state[(size_t)y1 * w + x1];
            const int seen = s00 == GW_PIXEL_SEEN && s01 == GW_PIXEL_SEEN && s10 == GW_PIXEL_SEEN &&
                             s11 == GW_PIXEL_SEEN;
            const int usable = (s00 == GW_PIXEL_SEEN || s00 == GW_PIXEL_FILLED) &&
                               (s01 == GW_PIXEL_SEEN || s01 == GW_PIXEL_FILLED) &&
                               (s10 == GW_PIXEL_SEEN || s10 == GW_PIXEL_FILLED) &&
                               (s11 == GW_PIXEL_SEEN || s11 == GW_PIXEL_FILLED);
            v[x] = (uint8_t)(seen | usable << 1);
            if (need[x] && ((seen && !a1[x]) || (usable && !a2[x]))) {
                x0c = std::min(x0c, x), x1c = std::max(x1c, x);
                y0c = std::min(y0c, y), y1c = std::max(y1c, y);
            }
        }
    }
    if (x1c < 0)
        return 0;
    al.cand = cv::Rect(x0c, y0c, x1c - x0c + 1, y1c - y0c + 1);
    const int g = fa.reach + ctx->cfg.ring;
    al.area = cv::Rect(x0c - g, y0c - g, al.cand.width + 2 * g, al.cand.height + 2 * g) &
              cv::Rect(0, 0, al.map.cols, al.map.rows);
    return 1;
}

/* Takes from one aligned source every need pixel that it covers, that has
 * no value of its rank yet, and whose ring agrees with the target. Sets
 * *misfit when the source covered pixels whose ring disagreed. Returns the
 * pixels taken. */
static int64_t take_source(TemporalContext *ctx, FillArea &fa, Aligned &al, int *misfit)
{
    const TemporalConfig &cfg = ctx->cfg;
    const cv::Mat src(cfg.height, cfg.width, CV_8UC3, (void *)al.pic->rgb);
    cv::Mat warp = al.warp(al.area);
    cv::remap(src, warp, al.map(al.area), cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    tp_fit_gain(fa, al, cfg.max_error);
    cv::Mat judge = tp_view(ctx->s_judge, fa.roi.height, fa.roi.width, CV_32F);
    if (tp_judge_source(ctx, fa, al, judge) < kLeastAgreement) {
        *misfit = 1;  /* another place, a cut, an occluder: none of it */
        return 0;
    }

    int64_t taken = 0;
    const cv::Rect &c = al.cand;
    for (int y = c.y; y < c.y + c.height; y++) {
        const uint8_t *need = fa.need.ptr<uint8_t>(y), *v = al.valid.ptr<uint8_t>(y);
        const float *j = judge.ptr<float>(y);
        const uint8_t *s = al.warp.ptr<uint8_t>(y);
        uint8_t *a1 = fa.a1.ptr<uint8_t>(y), *a2 = fa.a2.ptr<uint8_t>(y);
        uint8_t *f1 = fa.f1.ptr<uint8_t>(y), *f2 = fa.f2.ptr<uint8_t>(y);
        for (int x = c.x; x < c.x + c.width; x++) {
            if (!need[x] || !v[x] || j[x] < 0)
                continue;
            if (j[x] > cfg.max_error) {
                *misfit = 1;
                continue;
            }
            uint8_t px[3];
            for (int c = 0; c < 3; c++)
                px[c] = cv::saturate_cast<uint8_t>(al.gain[c] * s[3 * x + c] + al.offset[c]);
            if ((v[x] & 1) && !a1[x]) {
                a1[x] = 255;
                memcpy(f1 + 3 * x, px, 3);
                fa.open1--;
                taken++;
            }
            if ((v[x] & 2) && !a2[x]) {
                a2[x] = 255;
                memcpy(f2 + 3 * x, px, 3);
                taken++;
            }
        }
    }
    return taken;
}

/* The planes of the area around the target's holes; 0 when it has none. */
static int prepare_area(TemporalContext *ctx, const TemporalPicture *tp, FillArea &fa)
{
    const TemporalConfig &cfg = ctx->cfg;
    const int w = cfg.width, h = cfg.height;
    const cv::Mat state(h, w, CV_8U, (void *)tp->state);
    cv::Mat full = tp_view(ctx->s_hole, h, w, CV_8U);
    cv::compare(state, GW_PIXEL_HOLE, full, cv::CMP_EQ);
    const cv::Rect box = cv::boundingRect(full);
    if (box.area() == 0)
        return 0;
    const int margin = cfg.ring + cfg.feather + 2;
    fa.roi = cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
             cv::Rect(0, 0, w, h);
    const cv::Rect &roi = fa.roi;
    const int rw = roi.width, rh = roi.height;
    fa.rgb = cv::Mat(h, w, CV_8UC3, (void *)tp->rgb)(roi);
    fa.hole = full(roi);
    fa.ring = tp_view(ctx->s_ring, rh, rw, CV_8U);
    fa.need = tp_view(ctx->s_need, rh, rw, CV_8U);
    fa.dist = tp_view(ctx->s_dist, rh, rw, CV_32F);
    fa.a1 = tp_view(ctx->s_a1, rh, rw, CV_8U);
    fa.a2 = tp_view(ctx->s_a2, rh, rw, CV_8U);
    fa.f1 = tp_view(ctx->s_fill1, rh, rw, CV_8UC3);
    fa.f2 = tp_view(ctx->s_fill2, rh, rw, CV_8UC3);
    fa.a1.setTo(0);
    fa.a2.setTo(0);

    /* ring = known within cfg.ring of the hole; band the same within feather */
    cv::Mat known = fa.need;  /* borrowed until the band is made */
    cv::compare(state(roi), GW_PIXEL_SEEN, known, cv::CMP_EQ);
    cv::dilate(fa.hole, fa.ring, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * cfg.ring + 1, 2 * cfg.ring + 1)));
    cv::bitwise_and(fa.ring, known, fa.ring);
    if (cfg.feather > 0) {
        cv::Mat band = tp_view(ctx->s_valid, rh, rw, CV_8U);
        const int f = std::min(cfg.feather, cfg.ring);
        cv::dilate(fa.hole, band, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * f + 1, 2 * f + 1)));
        cv::bitwise_and(band, known, band);
        cv::bitwise_or(band, fa.hole, fa.need);
    } else {
        fa.hole.copyTo(fa.need);
    }
    fa.open1 = cv::countNonZero(fa.need);

    cv::distanceTransform(fa.hole, fa.dist, cv::DIST_L2, 3);
    double dmax = 0;
    cv::minMaxLoc(fa.dist, NULL, &dmax);
    fa.reach = (int)ceil(dmax);
    return 1;
}

/* The known band's mismatch with the value each of its pixels took fades
 * into the hole over cfg.feather pixels, so that no seam shows. */
static void feather_edge(TemporalContext *ctx, FillArea &fa)
{
    const int f = std::min(ctx->cfg.feather, ctx->cfg.ring);
    if (f <= 0)
        return;
    cv::Mat d = tp_view(ctx->s_map, fa.roi.height, fa.roi.width, CV_32FC4);
    for (int y = 0; y < d.rows; y++) {
        const uint8_t *need = fa.need.ptr<uint8_t>(y), *hole = fa.hole.ptr<uint8_t>(y);
        const uint8_t *a1 = fa.a1.ptr<uint8_t>(y), *a2 = fa.a2.ptr<uint8_t>(y), *t = fa.rgb.ptr<uint8_t>(y);
        const uint8_t *f1 = fa.f1.ptr<uint8_t>(y), *f2 = fa.f2.ptr<uint8_t>(y);
        cv::Vec4f *o = d.ptr<cv::Vec4f>(y);
        for (int x = 0; x < d.cols; x++) {
            o[x] = cv::Vec4f(0, 0, 0, 0);
            if (!need[x] || hole[x] || !(a1[x] || a2[x]))
                continue;
            const uint8_t *v = a1[x] ? f1 + 3 * x : f2 + 3 * x;
            o[x] = cv::Vec4f((float)t[3 * x] - v[0], (float)t[3 * x + 1] - v[1], (float)t[3 * x + 2] - v[2], 1.0f);
        }
    }
    cv::boxFilter(d, d, -1, cv::Size(2 * f + 1, 2 * f + 1), cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    for (int y = 0; y < d.rows; y++) {
        const uint8_t *hole = fa.hole.ptr<uint8_t>(y), *a1 = fa.a1.ptr<uint8_t>(y), *a2 = fa.a2.ptr<uint8_t>(y);
        const float *dist = fa.dist.ptr<float>(y);
        const cv::Vec4f *o = d.ptr<cv::Vec4f>(y);
        uint8_t *f1 = fa.f1.ptr<uint8_t>(y), *f2 = fa.f2.ptr<uint8_t>(y);
        for (int x = 0; x < d.cols; x++) {
            if (!hole[x] || !(a1[x] || a2[x]) || o[x][3] < 0.5f || dist[x] - 1.0f >= f)
                continue;
            const float wgt = (1.0f - (dist[x] - 1.0f) / f) / o[x][3];
            uint8_t *v = a1[x] ? f1 + 3 * x : f2 + 3 * x;
            for (int c = 0; c < 3; c++)
                v[c] = cv::saturate_cast<uint8_t>(v[c] + wgt * o[x][c]);
        }
    }
}

/* Writes the target with its filled pixels and their states. */
static void write_out(TemporalContext *ctx, const FillArea &fa, uint8_t *rgb, uint8_t *state, TemporalStats *st)
{
    const int w = ctx->cfg.width;
    for (int y = 0; y < fa.roi.height; y++) {
        const uint8_t *hole = fa.hole.ptr<uint8_t>(y), *a1 = fa.a1.ptr<uint8_t>(y), *a2 = fa.a2.ptr<uint8_t>(y);
        const uint8_t *f1 = fa.f1.ptr<uint8_t>(y), *f2 = fa.f2.ptr<uint8_t>(y);
        const size_t row = (size_t)(y + fa.roi.y) * w + fa.roi.x;
        for (int x = 0; x < fa.roi.width; x++) {
            if (!hole[x])
                continue;
            st->hole++;
            const uint8_t *v = a1[x] ? f1 + 3 * x : a2[x] ? f2 + 3 * x : NULL;
            if (!v) {
                state[row + x] = GW_PIXEL_HOLE;
                continue;
            }
            memcpy(rgb + 3 * (row + x), v, 3);
            state[row + x] = GW_PIXEL_FILLED;
            if (a1[x])
                st->seen++;
            else
                st->second_hand++;
        }
    }
}

static int fill(TemporalContext *ctx, const TemporalWindow *win, uint8_t *rgb, uint8_t *state, TemporalStats *st)
{
    const TemporalConfig &cfg = ctx->cfg;
    const TemporalPicture *tp = &win->pictures[win->target];
    const size_t px = (size_t)cfg.width * cfg.height;
    FillArea fa;
    const int any = prepare_area(ctx, tp, fa);
    if (rgb != tp->rgb)
        memcpy(rgb, tp->rgb, px * 3);
    if (state != tp->state)
        memcpy(state, tp->state, px);
    if (!any)
        return GW_TEMPORAL_OK;

    const int t = win->target;
    int dead[2] = {0, 0};  /* motion broke towards the past / the future */
    for (int d = 1; d < win->count && fa.open1 > 0; d++)
        for (int side = 0; side < 2 && fa.open1 > 0; side++) {
            const int s = side == 0 ? t - d : t + d;
            if (s < 0 || s >= win->count || dead[side])
                continue;
            if (tp_cancelled(ctx))
                return GW_TEMPORAL_CANCELLED;
            double a[9];
            const int r = tp_chain_motion(ctx, win, s, a);
            if (r < 0)
                return r;
            if (r == 0) {
                dead[side] = 1;
                continue;
            }
            Aligned al;
            al.pic = &win->pictures[s];
            al.map = tp_view(ctx->s_map, fa.roi.height, fa.roi.width, CV_32FC2);
            al.valid = tp_view(ctx->s_valid, fa.roi.height, fa.roi.width, CV_8U);
            al.warp = tp_view(ctx->s_warp, fa.roi.height, fa.roi.width, CV_8UC3);
            affine_map(a, fa.roi, al.map);
            if (!source_validity(ctx, al.pic->state, al, fa))
                continue;
            int misfit = 0;
            int64_t taken = take_source(ctx, fa, al, &misfit);
            if (misfit && d <= cfg.local_motion && fa.open1 > 0) {
                if (tp_cancelled(ctx))
                    return GW_TEMPORAL_CANCELLED;
                if (tp_local_map(ctx, &win->pictures[t], al.pic, a, fa.roi, fa.reach, al.map) != 0)
                    return GW_TEMPORAL_FAILED;
                st->local_flows++;
                if (source_validity(ctx, al.pic->state, al, fa)) {
                    int again = 0;
                    taken += take_source(ctx, fa, al, &again);
                }
            }
            if (taken)
                st->sources_used++;
            else if (misfit)
                st->sources_refused++;
        }
    feather_edge(ctx, fa);
    write_out(ctx, fa, rgb, state, st);
    return GW_TEMPORAL_OK;
}

int gw_temporal_fill(TemporalContext *ctx, const TemporalWindow *win, uint8_t *rgb, uint8_t *state,
                     TemporalStats *stats)
{
    if (!ctx)
        return GW_TEMPORAL_FAILED;
    if (!rgb || !state)
        return tp_fail(ctx, "temporal: NULL output picture or state plane for the fill");
    if (tp_check_window(ctx, win, 1) != GW_TEMPORAL_OK)
        return GW_TEMPORAL_FAILED;
    TemporalStats st;
    memset(&st, 0, sizeof st);
    int r;
    try {
        r = fill(ctx, win, rgb, state, &st);
    } catch (const cv::Exception &e) {
        r = tp_fail(ctx, "temporal: fill: OpenCV: %s", e.what());
    } catch (const std::bad_alloc &) {
        r = tp_fail(ctx, "temporal: fill: out of memory");
    } catch (...) {
        r = tp_fail(ctx, "temporal: fill: unexpected failure");
    }
    if (r == GW_TEMPORAL_OK)
        snprintf(ctx->error, sizeof ctx->error, "no error");
    else if (r == GW_TEMPORAL_CANCELLED)
        snprintf(ctx->error, sizeof ctx->error, "temporal: cancelled");
    if (stats)
        *stats = st;
    return r;
}
