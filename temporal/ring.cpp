// The ring check: how an aligned source is matched to the target in gain
// and offset, and judged pixel by pixel against the target's own known
// pixels around the hole.
#include <math.h>

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "temporal/tp_internal.h"

void tp_fit_gain(const FillArea &fa, Aligned &al, float reject)
{
    for (int pass = 0; pass < 2; pass++) {
        double st[3] = {0, 0, 0}, ss[3] = {0, 0, 0}, stt[3] = {0, 0, 0}, sss[3] = {0, 0, 0};
        int64_t n = 0;
        for (int y = al.area.y; y < al.area.y + al.area.height; y++) {
            const uint8_t *r = fa.ring.ptr<uint8_t>(y), *v = al.valid.ptr<uint8_t>(y);
            const uint8_t *t = fa.rgb.ptr<uint8_t>(y), *s = al.warp.ptr<uint8_t>(y);
            for (int x = al.area.x; x < al.area.x + al.area.width; x++) {
                if (!r[x] || !(v[x] & 2))
                    continue;
                if (pass) {
                    float e = 0;
                    for (int c = 0; c < 3; c++)
                        e += fabsf(t[3 * x + c] - (al.gain[c] * s[3 * x + c] + al.offset[c]));
                    if (e > 3.0f * reject)
                        continue;
                }
                for (int c = 0; c < 3; c++) {
                    const double tv = t[3 * x + c], sv = s[3 * x + c];
                    st[c] += tv, ss[c] += sv, stt[c] += tv * tv, sss[c] += sv * sv;
                }
                n++;
            }
        }
        if (n < 16) {
            if (pass == 0)
                for (int c = 0; c < 3; c++)
                    al.gain[c] = 1.0f, al.offset[c] = 0.0f;
            return;
        }
        for (int c = 0; c < 3; c++) {
            const double mt = st[c] / n, ms = ss[c] / n;
            const double vt = std::max(0.0, stt[c] / n - mt * mt), vs = std::max(0.0, sss[c] / n - ms * ms);
            double g = vs > 9.0 && vt > 9.0 ? sqrt(vt / vs) : 1.0;
            g = std::min(1.25, std::max(0.8, g));
            al.gain[c] = (float)g;
            al.offset[c] = (float)std::min(48.0, std::max(-48.0, mt - g * ms));
        }
    }
}

/* Box sums of e and k over windows of (2 rx + 1) x (2 ry + 1). */
static void window_sums(const cv::Mat &e, const cv::Mat &k, int rx, int ry, cv::Mat &num, cv::Mat &cnt)
{
    const cv::Size win(2 * rx + 1, 2 * ry + 1);
    cv::boxFilter(e, num, -1, win, cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    cv::boxFilter(k, cnt, -1, win, cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
}

double tp_judge_source(TemporalContext *ctx, const FillArea &fa, const Aligned &al, cv::Mat &judge)
{
    const int ring = ctx->cfg.ring, rw = fa.roi.width, rh = fa.roi.height;
    const float agree = 2.0f * ctx->cfg.max_error;
    const cv::Rect in = al.area, out = al.cand;
    cv::Mat e = tp_view(ctx->s_err, rh, rw, CV_32F), k = tp_view(ctx->s_cnt, rh, rw, CV_32F);
    cv::Mat num = tp_view(ctx->s_num, rh, rw, CV_32F), cnt = tp_view(ctx->s_cnt2, rh, rw, CV_32F);
    cv::Mat flag = tp_view(ctx->s_flag, rh, rw, CV_8U);  /* 0 open, 1 judged at this size, 2 judged */
    int64_t usable = 0, agreeing = 0;
    for (int y = in.y; y < in.y + in.height; y++) {
        const uint8_t *r = fa.ring.ptr<uint8_t>(y), *v = al.valid.ptr<uint8_t>(y);
        const uint8_t *t = fa.rgb.ptr<uint8_t>(y), *s = al.warp.ptr<uint8_t>(y);
        float *ep = e.ptr<float>(y), *kp = k.ptr<float>(y);
        for (int x = in.x; x < in.x + in.width; x++) {
            ep[x] = kp[x] = 0.0f;
            if (!r[x] || !(v[x] & 2))
                continue;
            float d = 0;
            for (int c = 0; c < 3; c++)
                d += fabsf(t[3 * x + c] - (al.gain[c] * s[3 * x + c] + al.offset[c]));
            ep[x] = d / 3.0f;
            kp[x] = 1.0f;
            usable++;
            agreeing += ep[x] <= agree;
        }
    }
    judge(out).setTo(-1.0f);
    flag(out).setTo(0);
    /* Box sums are wanted over `out` only; they read e and k around it,
     * which `in` holds (out grown by the largest window). */
    const cv::Mat eo = e(out), ko = k(out);
    cv::Mat no = num(out), co = cnt(out);
    const int last = fa.reach + ring;
    for (int r = ring;; r = std::min(2 * r, last)) {
        const float least = std::max(8.0f, ring * (2 * r + 1) / 8.0f);
        for (int axis = 0; axis < 2; axis++) {
            window_sums(eo, ko, axis ? r : ring, axis ? ring : r, no, co);
            for (int y = out.y; y < out.y + out.height; y++) {
                const uint8_t *need = fa.need.ptr<uint8_t>(y);
                const float *np = num.ptr<float>(y), *cp = cnt.ptr<float>(y);
                float *jp = judge.ptr<float>(y);
                uint8_t *fp = flag.ptr<uint8_t>(y);
                for (int x = out.x; x < out.x + out.width; x++) {
                    if (!need[x] || fp[x] == 2 || cp[x] < least)
                        continue;
                    const float m = np[x] / cp[x];
                    jp[x] = fp[x] ? std::max(jp[x], m) : m;
                    fp[x] = 1;
                }
            }
        }
        for (int y = out.y; y < out.y + out.height; y++) {
            uint8_t *fp = flag.ptr<uint8_t>(y);
            for (int x = out.x; x < out.x + out.width; x++)
                fp[x] = fp[x] ? 2 : 0;
        }
        if (r >= last)
            break;
    }
    window_sums(eo, ko, last, last, no, co);
    const float least = std::max(8.0f, ring * (2 * last + 1) / 4.0f);
    for (int y = out.y; y < out.y + out.height; y++) {
        const uint8_t *need = fa.need.ptr<uint8_t>(y), *fp = flag.ptr<uint8_t>(y);
        const float *np = num.ptr<float>(y), *cp = cnt.ptr<float>(y);
        float *jp = judge.ptr<float>(y);
        for (int x = out.x; x < out.x + out.width; x++)
            if (need[x] && !fp[x] && cp[x] >= least)
                jp[x] = np[x] / cp[x];
    }
    return usable ? (double)agreeing / usable : 0.0;
}
