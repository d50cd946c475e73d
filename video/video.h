/* Video pipeline: decode, per-picture callback, H.264/MP4 encode, audio copy.
 * A leaf: the caller passes the callback, where progress goes and where a
 * cancel request is read. */
#ifndef GW_VIDEO_H
#define GW_VIDEO_H

#include <stddef.h>
#include <stdint.h>

/* What a FrameCallback did. */
#define GW_FRAME_READY 0   /* rgb holds the next picture to encode */
#define GW_FRAME_HELD 1    /* nothing to encode now (the callback keeps pictures back) */

/* Called once per decoded picture (flush = 0) with a packed RGB24 buffer it
 * may change, always on the thread that called gw_process_video_pct; the
 * buffer (one of a few the run passes between its threads) is the
 * callback's until it returns, and may be another one next time. A callback that needs later pictures before it can finish one
 * keeps copies and answers GW_FRAME_HELD; once the input ends it is called
 * with flush = 1 once for every picture it still holds, and must answer
 * GW_FRAME_READY with that picture in rgb. Pictures come back in the order
 * they were given, each with its own timestamp. -2 cancels the run, any
 * other value fails it. */
typedef int (*FrameCallback)(unsigned char *rgb, int width, int height, int flush, void *user);

/* Where a run reports and what it watches; both read and written with
 * gw_load_relaxed / gw_store_relaxed, either may be null. */
typedef struct VideoHooks {
    int32_t *progress;      /* 0..100, rising */
    const int32_t *cancel;  /* nonzero: stop at the next picture or packet */
} VideoHooks;

/* Cleans in_path into the MP4 out_path (written beside it, renamed on
 * success). 0 done (progress 100), -1 failed, -2 cancelled; on -1/-2 msg
 * holds the reason. */
int gw_process_video_pct(const char *in_path, const char *out_path, FrameCallback cb, void *user,
                         const VideoHooks *hooks, char *msg, size_t msg_size);

/* ---- internal, for tests -------------------------------------------------- */

/* Bytes of the RGB24 work buffer for a width x height picture: the packed
 * picture and slack past its end for the conversions' vector code. */
size_t gw_video_rgb_buffer_size(int width, int height);

#endif /* GW_VIDEO_H */
