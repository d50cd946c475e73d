// Motion between the pictures of a window: the global motion of every pair
// of neighbours (corners of the known background tracked by pyramidal
// Lucas-Kanade, a similarity fitted by RANSAC), chained from the target to
// a source, and dense flow where the global motion does not fit.
#include <math.h>
#include <string.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "temporal/tp_internal.h"

/* Displacement (pixels) under which a link counts as a whole-pixel shift. */
static const double kSnap = 0.05;
static const int kMinInliers = 12;

void tp_reset_motion(TemporalContext *ctx)
{
    for (MotionLink &l : ctx->links)
        l.index = -1;
    ctx->gray_index[0] = ctx->gray_index[1] = -1;
}

static double motion_scale(const TemporalContext *ctx)
{
    const int side = ctx->cfg.width > ctx->cfg.height ? ctx->cfg.width : ctx->cfg.height;
    return side > TP_MOTION_SIDE ? (double)TP_MOTION_SIDE / side : 1.0;
}

/* Gray picture at motion scale and its known background (255), kept away
 * from holes by a few pixels so that text halos do not count. */
static void motion_input(TemporalContext *ctx, const TemporalPicture *p, cv::Mat &gray, cv::Mat &known)
{
    const int w = ctx->cfg.width, h = ctx->cfg.height;
    const double f = motion_scale(ctx);
    const cv::Mat rgb(h, w, CV_8UC3, (void *)p->rgb);
    const cv::Mat state(h, w, CV_8U, (void *)p->state);
    if (f < 1.0) {
        const cv::Size sz((int)lround(w * f), (int)lround(h * f));
        cv::resize(rgb, ctx->small_rgb, sz, 0, 0, cv::INTER_AREA);
        cv::cvtColor(ctx->small_rgb, gray, cv::COLOR_RGB2GRAY);
        cv::resize(state, ctx->small_state, sz, 0, 0, cv::INTER_NEAREST);
        cv::compare(ctx->small_state, GW_PIXEL_SEEN, known, cv::CMP_EQ);
    } else {
        cv::cvtColor(rgb, gray, cv::COLOR_RGB2GRAY);
        cv::compare(state, GW_PIXEL_SEEN, known, cv::CMP_EQ);
    }
    cv::erode(known, known, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)));
}

/* The slot that holds the motion input of picture `index`, or -1. */
static int cached_slot(const TemporalContext *ctx, int64_t index)
{
    for (int i = 0; i < 2; i++)
        if (index >= 0 && ctx->gray_index[i] == index)
            return i;
    return -1;
}

/* Rounds a link that is a whole-pixel shift within kSnap at every corner of
 * the picture, so that a still camera or a whole-pixel pan copies pixels
 * without resampling them. */
static void snap(double m[9], int w, int h)
{
    const double tx = m[2], ty = m[5];
    const double corners[4][2] = {{0, 0}, {(double)w, 0}, {0, (double)h}, {(double)w, (double)h}};
    for (const auto &c : corners) {
        const double dx = m[0] * c[0] + m[1] * c[1] + tx - (c[0] + tx);
        const double dy = m[3] * c[0] + m[4] * c[1] + ty - (c[1] + ty);
        if (fabs(dx) > kSnap || fabs(dy) > kSnap)
            return;
    }
    if (fabs(tx - round(tx)) > kSnap || fabs(ty - round(ty)) > kSnap)
        return;
    const double r[9] = {1, 0, round(tx), 0, 1, round(ty), 0, 0, 1};
    memcpy(m, r, sizeof r);
}

/* The similarity from coordinates of b to those of a (its predecessor):
 * 1 with m set, 0 when none fits. */
static int estimate_link(TemporalContext *ctx, const TemporalPicture *a, int64_t ia, const TemporalPicture *b,
                         int64_t ib, double m[9])
{
    /* Pictures come in order, so one of the two is usually kept already. */
    int sa = cached_slot(ctx, ia), sb = cached_slot(ctx, ib);
    if (sb < 0) {
        sb = sa == 0 ? 1 : 0;
        motion_input(ctx, b, ctx->gray[sb], ctx->known[sb]);
        ctx->gray_index[sb] = ib;
    }
    if (sa < 0) {
        sa = sb == 0 ? 1 : 0;
        motion_input(ctx, a, ctx->gray[sa], ctx->known[sa]);
        ctx->gray_index[sa] = ia;
    }
    const cv::Mat &gb = ctx->gray[sb], &ga = ctx->gray[sa], &ka = ctx->known[sa];
    const double f = motion_scale(ctx);

    cv::goodFeaturesToTrack(gb, ctx->pts_b, 600, 0.01, 7.0, ctx->known[sb], 7);
    if ((int)ctx->pts_b.size() < kMinInliers)
        return 0;
    const cv::Size win(21, 21);
    const cv::TermCriteria crit(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.01);
    cv::calcOpticalFlowPyrLK(gb, ga, ctx->pts_b, ctx->pts_a, ctx->status, ctx->track_err, win, 3, crit);
    cv::calcOpticalFlowPyrLK(ga, gb, ctx->pts_a, ctx->pts_back, ctx->status_back, ctx->track_err, win, 3, crit);
    ctx->full_a.clear();
    ctx->full_b.clear();
    for (size_t i = 0; i < ctx->pts_b.size(); i++) {
        const cv::Point2f pa = ctx->pts_a[i], pb = ctx->pts_b[i], back = ctx->pts_back[i];
        if (!ctx->status[i] || !ctx->status_back[i])
            continue;
        const float fx = back.x - pb.x, fy = back.y - pb.y;
        if (fx * fx + fy * fy > 0.25f)  /* forward-backward disagree by over half a pixel */
            continue;
        const int x = (int)lround(pa.x), y = (int)lround(pa.y);
        if (x < 0 || y < 0 || x >= ka.cols || y >= ka.rows || !ka.at<uint8_t>(y, x))
            continue;  /* lands on a's text */
        /* Pixel centres of the scaled picture back to full-size coordinates. */
        ctx->full_b.emplace_back((float)((pb.x + 0.5) / f - 0.5), (float)((pb.y + 0.5) / f - 0.5));
        ctx->full_a.emplace_back((float)((pa.x + 0.5) / f - 0.5), (float)((pa.y + 0.5) / f - 0.5));
    }
    if ((int)ctx->full_b.size() < kMinInliers)
        return 0;
    cv::Mat s = cv::estimateAffinePartial2D(ctx->full_b, ctx->full_a, ctx->inliers, cv::RANSAC, f < 1 ? 1.5 : 1.0,
                                            2000, 0.995, 10);
    if (s.empty())
        return 0;
    int n_in = 0;
    for (uint8_t v : ctx->inliers)
        n_in += v != 0;
    if (n_in < kMinInliers || n_in * 4 < (int)ctx->full_b.size())
        return 0;
    const double r[9] = {s.at<double>(0, 0), s.at<double>(0, 1), s.at<double>(0, 2),
                         s.at<double>(1, 0), s.at<double>(1, 1), s.at<double>(1, 2), 0, 0, 1};
    memcpy(m, r, sizeof r);
    /* A similarity that shrinks or grows by more than a quarter between
     * neighbours is a cut or a failure, not camera motion. */
    const double scale = sqrt(fabs(m[0] * m[4] - m[1] * m[3]));
    if (!(scale > 0.8 && scale < 1.25))
        return 0;
    snap(m, ctx->cfg.width, ctx->cfg.height);
    return 1;
}

/* The link from window picture j to j - 1: 1 with m, 0 none fits, or a
 * failure code. Kept in ctx->links when the window has picture numbers. */
static int link(TemporalContext *ctx, const TemporalWindow *win, int j, double m[9])
{
    const int64_t index = win->first_index >= 0 ? win->first_index + j : -1;
    MotionLink *slot = index >= 0 ? &ctx->links[index % TP_LINKS] : NULL;
    if (slot && slot->index == index) {
        memcpy(m, slot->m, sizeof slot->m);
        return slot->valid;
    }
    if (tp_cancelled(ctx))
        return GW_TEMPORAL_CANCELLED;
    const int64_t ia = index >= 0 ? index - 1 : -1;
    const int ok = estimate_link(ctx, &win->pictures[j - 1], ia, &win->pictures[j], index, m);
    if (slot) {
        slot->index = index;
        slot->valid = ok;
        memcpy(slot->m, m, sizeof slot->m);
    }
    return ok;
}

static void mul3(const double a[9], const double b[9], double out[9])
{
    double r[9];
    for (int i = 0; i < 3; i++)
        for (int k = 0; k < 3; k++)
            r[i * 3 + k] = a[i * 3] * b[k] + a[i * 3 + 1] * b[3 + k] + a[i * 3 + 2] * b[6 + k];
    memcpy(out, r, sizeof r);
}

/* Inverse of a similarity (last row 0 0 1); 0 when singular. */
static int inv_similarity(const double m[9], double out[9])
{
    const double det = m[0] * m[4] - m[1] * m[3];
    if (fabs(det) < 1e-12)
        return 0;
    const double r[9] = {m[4] / det, -m[1] / det, (m[1] * m[5] - m[4] * m[2]) / det,
                         -m[3] / det, m[0] / det, (m[3] * m[2] - m[0] * m[5]) / det, 0, 0, 1};
    memcpy(out, r, sizeof r);
    return 1;
}

int tp_chain_motion(TemporalContext *ctx, const TemporalWindow *win, int s, double a[9])
{
    if (win->first_index < 0)
        ctx->gray_index[0] = ctx->gray_index[1] = -1;  /* no picture numbers: nothing carries over */
    const double id[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    memcpy(a, id, sizeof id);
    const int t = win->target;
    double m[9];
    if (s < t) {
        for (int j = t; j > s; j--) {  /* a: target -> j; then j -> j - 1 */
            const int r = link(ctx, win, j, m);
            if (r != 1)
                return r;
            mul3(m, a, a);
        }
    } else {
        for (int j = t + 1; j <= s; j++) {  /* j - 1 -> j is the inverse of j's link */
            const int r = link(ctx, win, j, m);
            if (r != 1)
                return r;
            if (!inv_similarity(m, m))
                return 0;
            mul3(m, a, a);
        }
    }
    return 1;
}

/* Replaces the pixels of plane (float, any channels) where mask is set by
 * the mean of the unmasked ones within reach; fallback where there are none. */
static void fill_from_around(cv::Mat &plane, const cv::Mat &mask, int reach, const cv::Scalar &fallback)
{
    cv::Mat known, sum, cnt;
    cv::compare(mask, 0, known, cv::CMP_EQ);
    known.convertTo(cnt, CV_32F, 1.0 / 255.0);
    std::vector<cv::Mat> ch;
    cv::split(plane, ch);
    for (cv::Mat &c : ch)
        c = c.mul(cnt);
    cv::merge(ch, sum);
    const cv::Size k(2 * reach + 1, 2 * reach + 1);
    cv::boxFilter(sum, sum, -1, k, cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    cv::boxFilter(cnt, cnt, -1, k, cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    const int n = plane.channels();
    for (int y = 0; y < plane.rows; y++) {
        float *p = plane.ptr<float>(y);
        const float *s = sum.ptr<float>(y), *c = cnt.ptr<float>(y);
        const uint8_t *m = mask.ptr<uint8_t>(y);
        for (int x = 0; x < plane.cols; x++)
            if (m[x])
                for (int i = 0; i < n; i++)
                    p[x * n + i] = c[x] > 0.5f ? s[x * n + i] / c[x] : (float)fallback[i];
    }
}

/* Bilinear value of a CV_32FC2 plane at (x, y), clamped to its edges. */
static cv::Vec2f sample2(const cv::Mat &f, float x, float y)
{
    x = std::min(std::max(x, 0.0f), f.cols - 1.001f);
    y = std::min(std::max(y, 0.0f), f.rows - 1.001f);
    const int x0 = (int)x, y0 = (int)y;
    const float fx = x - x0, fy = y - y0;
    const cv::Vec2f *r0 = f.ptr<cv::Vec2f>(y0), *r1 = f.ptr<cv::Vec2f>(y0 + 1);
    return (1 - fy) * ((1 - fx) * r0[x0] + fx * r0[x0 + 1]) + fy * ((1 - fx) * r1[x0] + fx * r1[x0 + 1]);
}

int tp_local_map(TemporalContext *ctx, const TemporalPicture *target, const TemporalPicture *source,
                 const double a[9], cv::Rect roi, int reach, cv::Mat &map)
{
    const int w = ctx->cfg.width, h = ctx->cfg.height;
    /* The flow sees the holes' surroundings generously: motion is read there. */
    const int m = std::max(32, roi.height / 2);
    const cv::Rect rf = cv::Rect(roi.x - m, roi.y - m, roi.width + 2 * m, roi.height + 2 * m) & cv::Rect(0, 0, w, h);
    const int side = std::max(rf.width, rf.height);
    const double g = side > TP_FLOW_SIDE ? (double)TP_FLOW_SIDE / side : 1.0;
    const cv::Size sz(std::max(8, (int)lround(rf.width * g)), std::max(8, (int)lround(rf.height * g)));
    const double gx = (double)sz.width / rf.width, gy = (double)sz.height / rf.height;
    const cv::Mat trgb(h, w, CV_8UC3, (void *)target->rgb), tstate(h, w, CV_8U, (void *)target->state);
    const cv::Mat srgb(h, w, CV_8UC3, (void *)source->rgb), sstate(h, w, CV_8U, (void *)source->state);
    cv::Mat ft = tp_view(ctx->s_ft, sz.height, sz.width, CV_8U), fs = tp_view(ctx->s_fs, sz.height, sz.width, CV_8U);
    cv::Mat ut = tp_view(ctx->s_fmask, sz.height, sz.width, CV_8U);
    cv::Mat us = tp_view(ctx->s_fmask2, sz.height, sz.width, CV_8U);
    cv::Mat work;

    cv::resize(trgb(rf), work, sz, 0, 0, cv::INTER_AREA);
    cv::cvtColor(work, ft, cv::COLOR_RGB2GRAY);
    cv::resize(tstate(rf), ut, sz, 0, 0, cv::INTER_NEAREST);
    cv::compare(ut, GW_PIXEL_SEEN, ut, cv::CMP_NE);

    /* The source aligned by a at flow scale, from the part of the source
     * that rf maps to, scaled by g: flow pixel q -> full-size target p ->
     * source a p -> scaled part. */
    double sx0 = 1e30, sy0 = 1e30, sx1 = -1e30, sy1 = -1e30;
    for (int i = 0; i < 4; i++) {
        const double px = rf.x + (i & 1) * rf.width, py = rf.y + (i >> 1) * rf.height;
        const double qx = a[0] * px + a[1] * py + a[2], qy = a[3] * px + a[4] * py + a[5];
        sx0 = std::min(sx0, qx), sx1 = std::max(sx1, qx), sy0 = std::min(sy0, qy), sy1 = std::max(sy1, qy);
    }
    const cv::Rect sr = cv::Rect((int)floor(sx0) - 4, (int)floor(sy0) - 4, (int)(ceil(sx1) - floor(sx0)) + 8,
                                 (int)(ceil(sy1) - floor(sy0)) + 8) & cv::Rect(0, 0, w, h);
    if (sr.width < 2 || sr.height < 2) {  /* the source does not see the place: global motion only */
        for (int y = 0; y < map.rows; y++)
            for (int x = 0; x < map.cols; x++) {
                const double px = x + roi.x, py = y + roi.y;
                map.at<cv::Vec2f>(y, x) = cv::Vec2f((float)(a[0] * px + a[1] * py + a[2]),
                                                    (float)(a[3] * px + a[4] * py + a[5]));
            }
        return GW_TEMPORAL_OK;
    }
    const cv::Size ssz(std::max(1, (int)lround(sr.width * g)), std::max(1, (int)lround(sr.height * g)));
    const double sx = (double)ssz.width / sr.width, sy = (double)ssz.height / sr.height;
    cv::Mat small = tp_view(ctx->s_src_small, ssz.height, ssz.width, CV_8UC3);
    cv::Mat small_state = tp_view(ctx->s_state_small, ssz.height, ssz.width, CV_8U);
    cv::resize(srgb(sr), small, ssz, 0, 0, cv::INTER_AREA);
    cv::resize(sstate(sr), small_state, ssz, 0, 0, cv::INTER_NEAREST);
    cv::compare(small_state, GW_PIXEL_SEEN, small_state, cv::CMP_NE);
    const double cx = rf.x - 0.5 + 0.5 / gx, cy = rf.y - 0.5 + 0.5 / gy;
    const double r0[3] = {a[0] / gx, a[1] / gy, a[0] * cx + a[1] * cy + a[2]};
    const double r1[3] = {a[3] / gx, a[4] / gy, a[3] * cx + a[4] * cy + a[5]};
    double mm[6] = {r0[0] * sx, r0[1] * sx, (r0[2] - sr.x + 0.5) * sx - 0.5,
                    r1[0] * sy, r1[1] * sy, (r1[2] - sr.y + 0.5) * sy - 0.5};
    const cv::Mat M(2, 3, CV_64F, mm);
    cv::warpAffine(small, work, M, sz, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    cv::cvtColor(work, fs, cv::COLOR_RGB2GRAY);
    cv::warpAffine(small_state, us, M, sz, cv::INTER_NEAREST | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT,
                   cv::Scalar(255));

    /* Text and holes are replaced from around before the flow and the flow
     * there is replaced from around after it: neither may pull the motion. */
    const int r = std::max(2, (int)lround(reach * g) + 2);
    cv::Mat f32;
    ft.convertTo(f32, CV_32F);
    fill_from_around(f32, ut, r, cv::mean(ft, ut == 0));
    f32.convertTo(ft, CV_8U);
    fs.convertTo(f32, CV_32F);
    fill_from_around(f32, us, r, cv::mean(fs, us == 0));
    f32.convertTo(fs, CV_8U);

    if (ctx->dis.empty())
        ctx->dis = cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_FAST);
    cv::Mat flow = tp_view(ctx->s_flow, sz.height, sz.width, CV_32FC2);
    flow.setTo(0);  /* DIS starts from a flow of the right shape that it is given */
    ctx->dis->calc(ft, fs, flow);  /* ft(q) ~ fs(q + flow(q)) */
    cv::bitwise_or(ut, us, ut);
    cv::dilate(ut, ut, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
    fill_from_around(flow, ut, r + 2, cv::Scalar(0, 0));

    for (int y = 0; y < map.rows; y++) {
        cv::Vec2f *row = map.ptr<cv::Vec2f>(y);
        const double py = y + roi.y;
        const float qy = (float)((py - rf.y + 0.5) * gy - 0.5);
        for (int x = 0; x < map.cols; x++) {
            const double px = x + roi.x;
            const cv::Vec2f f = sample2(flow, (float)((px - rf.x + 0.5) * gx - 0.5), qy);
            const double ex = px + f[0] / gx, ey = py + f[1] / gy;
            row[x][0] = (float)(a[0] * ex + a[1] * ey + a[2]);
            row[x][1] = (float)(a[3] * ex + a[4] * ey + a[5]);
        }
    }
    return GW_TEMPORAL_OK;
}
