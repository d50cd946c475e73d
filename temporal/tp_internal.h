/* Private to temporal/: the context record and the helpers its sources
 * share. OpenCV types stay behind this header; temporal.h is the API. */
#ifndef GW_TP_INTERNAL_H
#define GW_TP_INTERNAL_H

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include "temporal/temporal.h"

/* The global motion from picture `index` to picture index - 1, once known. */
struct MotionLink {
    int64_t index;   /* -1: slot empty */
    int valid;       /* 0: no similarity fits (a cut, too little known background) */
    double m[9];     /* row-major 3x3: coordinates in `index` -> coordinates in index - 1 */
};

/* Bytes that hand out matrix headers of any shape within their size; they
 * grow to the largest request and are never given back before the context
 * is freed, so OpenCV writes into them without allocating (a destination
 * header of the right size and type is kept as it is). */
struct Scratch {
    cv::Mat store;
};

#define TP_LINKS (2 * GW_TEMPORAL_MAX_PICTURES)
#define TP_MOTION_SIDE 960  /* long side of the pictures global motion is estimated on */
#define TP_FLOW_SIDE 640    /* long side of the area dense flow is computed on */

struct TemporalContext {
    TemporalConfig cfg;
    char error[512];
    MotionLink links[TP_LINKS];
    /* Motion input: two pictures at motion scale, gray, and their known
     * background (255), keyed by picture number (-1: none). */
    int64_t gray_index[2];
    cv::Mat gray[2], known[2];
    cv::Mat small_rgb, small_state;
    std::vector<cv::Point2f> pts_b, pts_a, pts_back, full_b, full_a;
    std::vector<uint8_t> status, status_back, inliers;
    std::vector<float> track_err;
    cv::Ptr<cv::DISOpticalFlow> dis;
    /* Stable holes. */
    Scratch s_union, s_labels;
    /* Fill, all over the area around the target's holes. */
    Scratch s_hole, s_ring, s_need, s_dist, s_a1, s_a2, s_fill1, s_fill2;
    Scratch s_map, s_warp, s_valid, s_err, s_cnt, s_num, s_cnt2, s_judge, s_flag;
    /* Dense flow at flow scale. */
    Scratch s_ft, s_fs, s_fmask, s_fmask2, s_flow, s_src_small, s_state_small;
};

/* Formats ctx->error; returns GW_TEMPORAL_FAILED. */
int tp_fail(TemporalContext *ctx, const char *fmt, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* The caller's cancel hook says stop. */
int tp_cancelled(const TemporalContext *ctx);

/* A header of rows x cols x type over s's bytes (grown when too small). */
cv::Mat tp_view(Scratch &s, int rows, int cols, int type);

/* Checks a window against the context; need_rgb: every picture has pixels.
 * GW_TEMPORAL_OK or GW_TEMPORAL_FAILED with the message set. */
int tp_check_window(TemporalContext *ctx, const TemporalWindow *win, int need_rgb);

/* The global motion from the target's coordinates to those of window
 * picture s (s != target), chained over neighbouring pictures: 1 with a
 * (row-major 3x3) set, 0 when some link between them has no fitting
 * motion, or GW_TEMPORAL_FAILED / GW_TEMPORAL_CANCELLED. */
int tp_chain_motion(TemporalContext *ctx, const TemporalWindow *win, int s, double a[9]);

/* Dense motion from the target to source where the global motion a does
 * not fit, over roi and its surroundings (at flow scale): map (roi size,
 * CV_32FC2) gets the source coordinates of every roi pixel. Flow under
 * either picture's unknown pixels is interpolated from around them, over
 * reach pixels (the holes' depth). GW_TEMPORAL_OK or GW_TEMPORAL_FAILED. */
int tp_local_map(TemporalContext *ctx, const TemporalPicture *target, const TemporalPicture *source,
                 const double a[9], cv::Rect roi, int reach, cv::Mat &map);

/* Planes over the area around the target's holes (roi), 255 = set. */
struct FillArea {
    cv::Rect roi;
    cv::Mat rgb;         /* the target over roi */
    cv::Mat hole;        /* the target's GW_PIXEL_HOLE pixels */
    cv::Mat ring;        /* known target pixels within cfg.ring of the hole: the check */
    cv::Mat need;        /* hole, and the known band within cfg.feather of it (for the seam) */
    cv::Mat dist;        /* float: distance of hole pixels to the nearest known one */
    cv::Mat a1, a2;      /* taken from a picture that saw the spot / from any usable pixel */
    cv::Mat f1, f2;      /* their values */
    int64_t open1;       /* need pixels without a value that was seen */
    int reach;           /* largest distance into the hole */
};

/* A source as seen from the target: its picture, where its aligned pixels
 * are usable (bit 0: all seen, bit 1: none a hole) and its aligned pixels;
 * cand holds the need pixels it may give, area that grown by the largest
 * judging window (both in roi coordinates): work stays within them. */
struct Aligned {
    const TemporalPicture *pic;
    cv::Mat map, valid, warp;
    cv::Rect cand, area;
    float gain[3], offset[3];
};

/* Per-channel gain and offset that bring the aligned source to the target
 * on the ring within al.area; pixels off by more than `reject` after the first fit are
 * left out of the second (a moving object across the ring). */
void tp_fit_gain(const FillArea &fa, Aligned &al, float reject);

/* How well the aligned source agrees with the target around each need
 * pixel: the mean ring error in the nearest windows that hold enough ring
 * pixels. Windows are cfg.ring across and grow along one axis (ring, 2 ring,
 * 4 ring ... up to the hole's depth): the ring just above and below, or
 * left and right, judges a pixel, the worse of the two where both can; a
 * square of the largest size judges what neither reaches. So a mismatch on
 * one side of a hole (a moving object) refuses only the pixels near it.
 * judge (over al.cand): -1 where no window had enough ring pixels. Returns
 * the share of the source's usable ring pixels in al.area that agree with
 * the target by themselves (within twice cfg.max_error). */
double tp_judge_source(TemporalContext *ctx, const FillArea &fa, const Aligned &al, cv::Mat &judge);

/* Forgets every motion link and the cached motion input. */
void tp_reset_motion(TemporalContext *ctx);

#endif /* GW_TP_INTERNAL_H */
