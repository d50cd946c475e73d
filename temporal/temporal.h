/* Video-aware repainting over a window of pictures: stable holes (a text
 * hole that does not flicker from picture to picture) and the propagation
 * fill (each hole pixel takes the background that another picture of the
 * window saw there, aligned by the motion between the pictures).
 *
 * A leaf: plain records and functions, nothing of the engine. Pictures are
 * packed RGB24 (width * 3 bytes a row), all of one width x height; every
 * picture has a state plane of width x height bytes. No exception leaves
 * these functions: they return GW_TEMPORAL_OK, GW_TEMPORAL_FAILED (with a
 * message in gw_temporal_error) or GW_TEMPORAL_CANCELLED.
 *
 * Driving it from a video pipeline (one context per video):
 *   - per decoded picture i: detect text, make its raw hole (1 = text);
 *   - once the raw holes of i - B .. i + B are known (B = cfg.bridge),
 *     gw_temporal_stable_hole gives picture i its stable hole: a look-ahead
 *     of B pictures;
 *   - picture t is filled by gw_temporal_fill over a window of P past
 *     pictures (their filled outputs with the states that gw_temporal_fill
 *     returned for them), t itself (its stable hole) and F future pictures
 *     (as decoded, with their stable holes): a look-ahead of F + B pictures
 *     in all. What stays GW_PIXEL_HOLE in the returned state goes to the
 *     spatial fill; the output then becomes a past picture of later windows.
 *     Pixels filled from other pictures are GW_PIXEL_FILLED there and serve
 *     later pictures after every picture that saw the spot itself, so a
 *     background seen once carries through a long subtitle.
 *   - the window's pictures must be consecutive pictures of one video and
 *     TemporalWindow.first_index their picture number: motion between
 *     neighbours is estimated once and kept (gw_temporal_reset for a new
 *     video or after a seek).
 * Memory: the caller's window holds count * width * height * 4 bytes
 * (pictures and states); the context's own buffers are gw_temporal_memory. */
#ifndef GW_TEMPORAL_H
#define GW_TEMPORAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GW_TEMPORAL_OK 0
#define GW_TEMPORAL_FAILED (-1)
#define GW_TEMPORAL_CANCELLED (-2)

/* Values of a state plane. */
#define GW_PIXEL_SEEN 0    /* the picture's own background */
#define GW_PIXEL_HOLE 1    /* text: the background is unknown */
#define GW_PIXEL_FILLED 2  /* background taken from other pictures */

#define GW_TEMPORAL_MAX_PICTURES 64

/* Polled between pictures (and between the steps of one picture's work,
 * each a few milliseconds at 1080p); nonzero stops the call. */
typedef int (*TemporalCancel)(void *user);

typedef struct TemporalConfig {
    int32_t width, height;   /* of every picture, 16..8192 */
    int32_t max_pictures;    /* most pictures in one window, 1..64 */
    int32_t bridge;          /* stable holes: missed detections in a row that are bridged, 0..8 (1) */
    int32_t ring;            /* width of the known ring around a hole that checks each source, 2..32 (6) */
    float max_error;         /* a source is refused where its mean |difference| on the ring, 0..255
                                per channel after gain and offset, exceeds this (10) */
    int32_t feather;         /* the edge mismatch fades into the hole over this many pixels, 0..64 (8) */
    int32_t local_motion;    /* dense flow where the global motion does not fit, for the nearest
                                N sources on each side, 0..64 (2; 0 = global motion only) */
    TemporalCancel cancel;   /* may be NULL */
    void *cancel_user;
} TemporalConfig;

typedef struct TemporalPicture {
    const uint8_t *rgb;      /* packed RGB24; may be NULL for gw_temporal_stable_hole */
    const uint8_t *state;    /* GW_PIXEL_* per pixel; for stable holes: the raw hole, nonzero = text */
} TemporalPicture;

typedef struct TemporalWindow {
    const TemporalPicture *pictures;  /* in display order, consecutive pictures of one video */
    int32_t count;                    /* 1..cfg.max_pictures */
    int32_t target;                   /* the picture worked on, 0..count-1 */
    int64_t first_index;              /* picture number of pictures[0]; negative: estimate motion
                                         afresh for this call and keep none */
} TemporalWindow;

typedef struct TemporalStats {
    int64_t hole;            /* GW_PIXEL_HOLE pixels of the target */
    int64_t seen;            /* of them, filled from pictures that saw the spot */
    int64_t second_hand;     /* of them, filled from GW_PIXEL_FILLED pixels only */
    int32_t sources_used;    /* pictures that gave pixels */
    int32_t sources_refused; /* pictures whose motion or ring did not fit anywhere */
    int32_t local_flows;     /* dense flows computed */
} TemporalStats;

typedef struct TemporalContext TemporalContext;

/* The defaults for pictures of width x height and windows of up to
 * max_pictures pictures. */
void gw_temporal_defaults(TemporalConfig *cfg, int32_t width, int32_t height, int32_t max_pictures);

/* Bytes the context allocates at most for cfg (its buffers grow with the
 * area around the holes up to this; OpenCV's own temporaries included as an
 * estimate). 0 for a configuration that gw_temporal_create refuses. */
size_t gw_temporal_memory(const TemporalConfig *cfg);

/* GW_TEMPORAL_OK with *ctx set, or GW_TEMPORAL_FAILED with *ctx NULL and a
 * message in err (err_size bytes, may be 0). */
int gw_temporal_create(const TemporalConfig *cfg, TemporalContext **ctx, char *err, size_t err_size);

/* Releases everything; NULL is fine. */
void gw_temporal_free(TemporalContext *ctx);

/* Forgets the motion kept between calls (a new video, a seek). */
void gw_temporal_reset(TemporalContext *ctx);

/* The last failure's text, "no error" when the last call succeeded. */
const char *gw_temporal_error(const TemporalContext *ctx);

/* The stable hole of the target picture into hole (width x height bytes,
 * 0/1; may be the target's own state plane). It is the target's raw hole
 * together with every hole of a picture before it that overlaps a hole of
 * a picture after it with at most cfg.bridge pictures between the two (the
 * target among them): text that detection missed for up
 * to cfg.bridge pictures keeps its hole, text that ends or starts keeps its
 * own pictures' holes only. Only pictures within that reach are read. */
int gw_temporal_stable_hole(TemporalContext *ctx, const TemporalWindow *win, uint8_t *hole);

/* Fills the target's GW_PIXEL_HOLE pixels from the other pictures of the
 * window: rgb (width x height x 3, may be the target's own picture) gets
 * the target with the filled pixels, state (may be the target's own plane)
 * GW_PIXEL_FILLED where a pixel was filled, GW_PIXEL_HOLE where no picture
 * saw it, the target's state elsewhere. Every source is aligned by the
 * global motion (similarity: pan, zoom, rotation) estimated on the known
 * parts of both pictures, and by dense flow where that does not fit; it is
 * used only where its aligned ring around the hole agrees with the
 * target's own, nearest pictures first, pictures that saw the spot before
 * GW_PIXEL_FILLED ones. stats may be NULL. On failure or cancellation rgb
 * and state hold the target as it came. */
int gw_temporal_fill(TemporalContext *ctx, const TemporalWindow *win, uint8_t *rgb, uint8_t *state,
                     TemporalStats *stats);

#ifdef __cplusplus
}
#endif

#endif /* GW_TEMPORAL_H */
