// Stable holes: a text hole that detection misses for a picture or two is
// bridged from the pictures on both sides, so that the text never comes
// back for a picture; text that starts or ends keeps its own holes.
#include <stdio.h>
#include <string.h>

#include <new>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "temporal/tp_internal.h"

/* Share of the smaller of two holes that they must have in common to count
 * as the same text: a subtitle stays put, its boxes jitter by a few pixels. */
static const int kOverlapPercent = 30;

/* Adds to acc every connected part of the union of holes s and u in which
 * the two overlap enough to be the same text seen on both sides of the
 * target. */
static void bridge_pair(TemporalContext *ctx, const uint8_t *hs, const uint8_t *hu, cv::Mat &acc)
{
    const int w = ctx->cfg.width, h = ctx->cfg.height;
    const cv::Mat ms(h, w, CV_8U, (void *)hs), mu(h, w, CV_8U, (void *)hu);
    cv::Mat both = tp_view(ctx->s_need, h, w, CV_8U);
    cv::Mat tmp = tp_view(ctx->s_ring, h, w, CV_8U);
    cv::compare(ms, 0, both, cv::CMP_NE);
    cv::compare(mu, 0, tmp, cv::CMP_NE);
    cv::bitwise_or(both, tmp, both);
    const cv::Rect box = cv::boundingRect(both);
    if (box.area() == 0)
        return;
    cv::Mat labels = tp_view(ctx->s_labels, box.height, box.width, CV_32S);
    const int n = cv::connectedComponents(both(box), labels, 8, CV_32S);
    std::vector<int64_t> cs(n, 0), cu(n, 0), co(n, 0);
    for (int y = 0; y < box.height; y++) {
        const int *l = labels.ptr<int>(y);
        const uint8_t *a = ms.ptr<uint8_t>(box.y + y) + box.x, *b = mu.ptr<uint8_t>(box.y + y) + box.x;
        for (int x = 0; x < box.width; x++) {
            cs[l[x]] += a[x] != 0;
            cu[l[x]] += b[x] != 0;
            co[l[x]] += a[x] != 0 && b[x] != 0;
        }
    }
    std::vector<uint8_t> keep(n, 0);
    int any = 0;
    for (int i = 1; i < n; i++) {
        const int64_t smaller = cs[i] < cu[i] ? cs[i] : cu[i];
        keep[i] = smaller > 0 && co[i] * 100 >= smaller * kOverlapPercent;
        any |= keep[i];
    }
    if (!any)
        return;
    for (int y = 0; y < box.height; y++) {
        const int *l = labels.ptr<int>(y);
        uint8_t *o = acc.ptr<uint8_t>(box.y + y) + box.x;
        for (int x = 0; x < box.width; x++)
            if (keep[l[x]])
                o[x] = 1;
    }
}

static int stable_hole(TemporalContext *ctx, const TemporalWindow *win, uint8_t *hole)
{
    const int w = ctx->cfg.width, h = ctx->cfg.height, t = win->target, b = ctx->cfg.bridge;
    const cv::Mat raw(h, w, CV_8U, (void *)win->pictures[t].state);
    cv::Mat acc = tp_view(ctx->s_union, h, w, CV_8U);
    cv::compare(raw, 0, acc, cv::CMP_NE);
    cv::threshold(acc, acc, 0, 1, cv::THRESH_BINARY);
    /* s before and u after the target, at most b pictures from s to u
     * exclusive: a miss of up to b pictures in a row is bridged. */
    for (int d1 = 1; d1 <= b; d1++)
        for (int d2 = 1; d1 + d2 - 1 <= b; d2++) {
            const int s = t - d1, u = t + d2;
            if (s < 0 || u >= win->count)
                continue;
            if (tp_cancelled(ctx))
                return GW_TEMPORAL_CANCELLED;
            bridge_pair(ctx, win->pictures[s].state, win->pictures[u].state, acc);
        }
    memcpy(hole, acc.data, (size_t)w * h);
    return GW_TEMPORAL_OK;
}

int gw_temporal_stable_hole(TemporalContext *ctx, const TemporalWindow *win, uint8_t *hole)
{
    if (!ctx)
        return GW_TEMPORAL_FAILED;
    if (!hole)
        return tp_fail(ctx, "temporal: NULL output plane for the stable hole");
    if (tp_check_window(ctx, win, 0) != GW_TEMPORAL_OK)
        return GW_TEMPORAL_FAILED;
    int r;
    try {
        r = stable_hole(ctx, win, hole);
    } catch (const cv::Exception &e) {
        r = tp_fail(ctx, "temporal: stable hole: OpenCV: %s", e.what());
    } catch (const std::bad_alloc &) {
        r = tp_fail(ctx, "temporal: stable hole: out of memory");
    } catch (...) {
        r = tp_fail(ctx, "temporal: stable hole: unexpected failure");
    }
    if (r == GW_TEMPORAL_OK)
        snprintf(ctx->error, sizeof ctx->error, "no error");
    else if (r == GW_TEMPORAL_CANCELLED)
        snprintf(ctx->error, sizeof ctx->error, "temporal: cancelled");
    return r;
}
