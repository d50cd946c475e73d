/* Per-stage timers for the benchmark. Built in only with GW_STAGE_TIMERS
 * (CMake option GLYPHWIPE_STAGE_TIMERS); otherwise every macro is empty and
 * costs nothing. Times add up per picture; the video pipeline closes each
 * picture with GW_TIMER_FRAME_END, and still images are one picture. */
#ifndef GW_STAGE_TIMERS_H
#define GW_STAGE_TIMERS_H

#include <stddef.h>
#include <stdint.h>

typedef enum GwStage {
    GW_ST_DECODE,       /* demux + decoder send/receive */
    GW_ST_TO_RGB,       /* decoded picture to RGB24 */
    GW_ST_DET_INPUT,    /* detector input tensor */
    GW_ST_DET_NET,      /* detection network */
    GW_ST_BOXES,        /* resampling, clamping, regions, merging */
    GW_ST_PLAN_MASK,    /* region planning, crops and hole masks */
    GW_ST_INPAINT_NET,  /* inpainting network */
    GW_ST_BLEND,        /* tensors in and out, feathering, blending */
    GW_ST_TO_YUV,       /* RGB24 back to the encoder's format */
    GW_ST_ENCODE,       /* encoder send/receive */
    GW_ST_MUX,          /* writing packets */
    GW_ST_COUNT
} GwStage;

#ifdef GW_STAGE_TIMERS
uint64_t gw_timer_now_ns(void);
void gw_timer_add(GwStage stage, uint64_t ns);
/* Closes the current picture: its per-stage sums become one sample each. */
void gw_timer_frame_end(void);
/* Forgets all samples. */
void gw_timers_reset(void);
/* Samples of one stage (nanoseconds per picture), in picture order. */
const uint64_t *gw_timer_samples(GwStage stage, size_t *count);
#  define GW_TIMER_START(var) uint64_t var = gw_timer_now_ns()
#  define GW_TIMER_STOP(var, stage) gw_timer_add((stage), gw_timer_now_ns() - (var))
#  define GW_TIMER_FRAME_END() gw_timer_frame_end()
#else
#  define GW_TIMER_START(var) ((void)0)
#  define GW_TIMER_STOP(var, stage) ((void)0)
#  define GW_TIMER_FRAME_END() ((void)0)
#endif

#endif /* GW_STAGE_TIMERS_H */
