// Stage timer storage; compiled to nothing unless GW_STAGE_TIMERS is set.
#include "stage_timers.h"

#ifdef GW_STAGE_TIMERS
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

/* Enough for a benchmark clip; later pictures fold into the last sample. */
#define GW_TIMER_MAX_SAMPLES 20000

/* Added to by every thread of a run (decoding and encoding beside the
 * caller); a picture's sample holds what all of them added since the last. */
static std::atomic<uint64_t> current[GW_ST_COUNT];
static uint64_t samples[GW_ST_COUNT][GW_TIMER_MAX_SAMPLES];
static size_t n_samples;

/* GW_STAGE_CLOCK=cpu: the calling thread's processor time instead of the
 * wall clock, for comparing the single-threaded stages on a busy machine. */
static clockid_t timer_clock(void)
{
    static const clockid_t id = [] {
        const char *v = getenv("GW_STAGE_CLOCK");
        return v && strcmp(v, "cpu") == 0 ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC;
    }();
    return id;
}

uint64_t gw_timer_now_ns(void)
{
    struct timespec ts;
    clock_gettime(timer_clock(), &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

void gw_timer_add(GwStage stage, uint64_t ns) { current[stage].fetch_add(ns, std::memory_order_relaxed); }

void gw_timer_frame_end(void)
{
    size_t i = n_samples < GW_TIMER_MAX_SAMPLES ? n_samples++ : GW_TIMER_MAX_SAMPLES - 1;
    for (int s = 0; s < GW_ST_COUNT; s++)
        samples[s][i] = current[s].exchange(0, std::memory_order_relaxed);
}

void gw_timers_reset(void)
{
    for (int s = 0; s < GW_ST_COUNT; s++)
        current[s].store(0, std::memory_order_relaxed);
    n_samples = 0;
}

const uint64_t *gw_timer_samples(GwStage stage, size_t *count)
{
    *count = n_samples;
    return samples[stage];
}
#endif
