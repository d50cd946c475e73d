/* The frame callbacks of a video run: one picture at a time, or video-aware
 * repainting over a window of pictures (option "temporal"). Core only. */
#ifndef GW_TEMPORAL_VIDEO_H
#define GW_TEMPORAL_VIDEO_H

#include <stdint.h>

/* The band as the host gave it, in percent of the frame height. */
typedef struct VideoBandPct {
    int32_t y_start_pct;
    int32_t y_end_pct;  /* 0 or less: no band */
} VideoBandPct;

/* The band's rows in a picture of this height; (0, 0) without a band. */
void gw_video_band_rows(VideoBandPct band, int height, int *y_start, int *y_end);

/* Pictures before and after the one worked on, for a window of `window`
 * pictures (2..32): at most two after. */
void gw_temporal_window_split(int window, int *past, int *future);

typedef struct TemporalVideo TemporalVideo;

/* State of one run; null without memory. */
TemporalVideo *gw_temporal_video_new(int window, VideoBandPct band);
void gw_temporal_video_free(TemporalVideo *tv);

/* The FrameCallback of video-aware repainting (user: the TemporalVideo).
 * It keeps pictures back and gives them back in order; the engine's
 * detector, fill model, options, work memory and cancel flag are used. */
int gw_temporal_video_cb(unsigned char *rgb, int width, int height, int flush, void *user);

#endif /* GW_TEMPORAL_VIDEO_H */
