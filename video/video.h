/* Video pipeline: decode, per-picture callback, H.264/MP4 encode, audio copy. */
#ifndef GW_VIDEO_H
#define GW_VIDEO_H

#include <stddef.h>

/* Called once per decoded picture with a packed RGB24 buffer it may change.
 * Returns 0 to go on, -2 to cancel, anything else to fail the run. */
typedef int (*FrameCallback)(unsigned char *rgb, int width, int height, void *user);

/* 0 done (progress 100), -1 failed, -2 cancelled; on -1/-2 the error text is set. */
int gw_process_video_pct(const char *in_path, const char *out_path, FrameCallback cb, void *user);

/* ---- internal, for tests -------------------------------------------------- */

/* Bytes of the RGB24 work buffer for a width x height picture: the packed
 * picture and slack past its end for the conversions' vector code. */
size_t gw_video_rgb_buffer_size(int width, int height);

#endif /* GW_VIDEO_H */
