// Clock and median shared by the benchmark programs and tools/bench_fill.
#ifndef GW_BENCH_UTIL_H
#define GW_BENCH_UTIL_H

#include <time.h>

#include <algorithm>
#include <vector>

static inline double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static inline double now_ms(void) { return now_s() * 1e3; }

/* Middle value (mean of the two middle ones for an even count); 0 when empty. */
static inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

#endif
