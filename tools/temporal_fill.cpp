// Drives temporal/ over a whole video the way the video pipeline would,
// with holes given from outside (for tools/video_quality.py, which gives
// the true text areas): stable holes with a look-ahead of `bridge`
// pictures, then the propagation fill over `past` earlier outputs, the
// target and `future` later pictures.
//
//   temporal_fill W H HOLES Y0 Y1 [past future bridge] < pictures > results
//
// pictures: raw RGB24, W x H each, on standard input. HOLES: a file of one
// (Y1 - Y0) x W plane per picture, nonzero = text, for rows Y0..Y1 (no text
// elsewhere). results: per picture, the filled RGB24 picture and then its
// W x H state plane (GW_PIXEL_*: 1 = left for a spatial fill), in order.
// Figures go to standard error: time per picture, share of the hole pixels
// filled, the context's stated memory and the peak resident memory.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "temporal/temporal.h"

namespace {

// Peak resident memory since exec (MB); getrusage would also count the
// process this one was forked from.
double peak_mb()
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    double mb = -1;
    while (f && fgets(line, sizeof line, f))
        if (!strncmp(line, "VmHWM:", 6))
            mb = atof(line + 6) / 1024.0;
    if (f)
        fclose(f);
    return mb;
}

double now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// One picture in the ring: its pixels (filled in place once it was the
// target), its raw hole and its state (stable hole, then the fill's state).
struct Slot {
    std::vector<uint8_t> rgb, raw, state;
    long long index = -1;
};

struct Driver {
    int w, h, past, future, bridge;
    std::vector<Slot> ring;
    TemporalContext *ctx = nullptr;
    std::vector<TemporalPicture> pics;
    std::vector<double> ms;
    long long hole = 0, seen = 0, second = 0;

    Slot &slot(long long i) { return ring[(size_t)(i % (long long)ring.size())]; }

    // Stable hole of picture j from the raw holes of j - bridge .. j + bridge
    // (fewer at the ends).
    int stabilise(long long j, long long last)
    {
        const long long lo = std::max(0LL, j - bridge), hi = std::min(last, j + bridge);
        pics.clear();
        for (long long i = lo; i <= hi; i++)
            pics.push_back({nullptr, slot(i).raw.data()});
        const TemporalWindow win = {pics.data(), (int32_t)pics.size(), (int32_t)(j - lo), lo};
        return gw_temporal_stable_hole(ctx, &win, slot(j).state.data());
    }

    // Fills picture t over t - past .. t + future and writes it out.
    int fill(long long t, long long last)
    {
        const long long lo = std::max(0LL, t - past), hi = std::min(last, t + future);
        pics.clear();
        for (long long i = lo; i <= hi; i++)
            pics.push_back({slot(i).rgb.data(), slot(i).state.data()});
        const TemporalWindow win = {pics.data(), (int32_t)pics.size(), (int32_t)(t - lo), lo};
        TemporalStats st;
        const double t0 = now_ms();
        Slot &s = slot(t);
        const int r = gw_temporal_fill(ctx, &win, s.rgb.data(), s.state.data(), &st);
        ms.back() += now_ms() - t0;
        if (r != GW_TEMPORAL_OK)
            return r;
        hole += st.hole, seen += st.seen, second += st.second_hand;
        if (fwrite(s.rgb.data(), 1, s.rgb.size(), stdout) != s.rgb.size() ||
            fwrite(s.state.data(), 1, s.state.size(), stdout) != s.state.size())
            return GW_TEMPORAL_FAILED;
        return GW_TEMPORAL_OK;
    }
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: temporal_fill W H HOLES Y0 Y1 [past future bridge] < pictures > results\n");
        return 2;
    }
    Driver d;
    d.w = atoi(argv[1]);
    d.h = atoi(argv[2]);
    const int y0 = atoi(argv[4]), y1 = atoi(argv[5]);
    d.past = argc > 6 ? atoi(argv[6]) : 6;
    d.future = argc > 7 ? atoi(argv[7]) : 2;
    d.bridge = argc > 8 ? atoi(argv[8]) : 1;
    FILE *holes = fopen(argv[3], "rb");
    if (!holes || y0 < 0 || y1 > d.h || y0 >= y1 || d.past < 0 || d.future < 0 || d.bridge < 0) {
        fprintf(stderr, "temporal_fill: bad arguments or cannot open %s\n", argv[3]);
        return 2;
    }
    TemporalConfig cfg;
    gw_temporal_defaults(&cfg, d.w, d.h, d.past + 1 + d.future);
    cfg.bridge = d.bridge;
    char err[256];
    if (gw_temporal_create(&cfg, &d.ctx, err, sizeof err) != GW_TEMPORAL_OK) {
        fprintf(stderr, "temporal_fill: %s\n", err);
        return 1;
    }
    /* A picture is read, stabilised `bridge` pictures later and filled
     * `future` pictures after that; past outputs stay for later windows. */
    d.ring.resize((size_t)(d.past + 1 + d.future + d.bridge));
    const size_t px = (size_t)d.w * d.h, band = (size_t)(y1 - y0) * d.w;
    for (Slot &s : d.ring) {
        s.rgb.resize(px * 3);
        s.raw.assign(px, 0);
        s.state.resize(px);
    }
    int rc = 0;
    long long n = 0;
    for (;; n++) {
        Slot &s = d.slot(n);
        if (fread(s.rgb.data(), 1, px * 3, stdin) != px * 3)
            break;
        if (fread(s.raw.data() + (size_t)y0 * d.w, 1, band, holes) != band) {
            fprintf(stderr, "temporal_fill: %s ends before picture %lld\n", argv[3], n);
            rc = 1;
            break;
        }
        s.index = n;
        d.ms.push_back(0);
        const double t0 = now_ms();
        const long long j = n - d.bridge, t = j - d.future;
        if (j >= 0 && d.stabilise(j, n) != GW_TEMPORAL_OK)
            rc = 1;
        d.ms.back() += now_ms() - t0;
        if (!rc && t >= 0 && d.fill(t, n) != GW_TEMPORAL_OK)
            rc = 1;
        if (rc)
            break;
    }
    /* The end: the last pictures with what is left of their look-ahead. */
    for (long long j = std::max(0LL, n - d.bridge); !rc && j < n; j++) {
        d.ms.push_back(0);
        rc = d.stabilise(j, n - 1) != GW_TEMPORAL_OK;
    }
    for (long long t = std::max(0LL, n - d.bridge - d.future); !rc && t < n; t++) {
        d.ms.push_back(0);
        rc = d.fill(t, n - 1) != GW_TEMPORAL_OK;
    }
    if (rc)
        fprintf(stderr, "temporal_fill: %s\n", gw_temporal_error(d.ctx));
    double sum = 0, worst = 0;
    for (double v : d.ms)
        sum += v, worst = std::max(worst, v);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    fprintf(stderr,
            "temporal_fill: %lld pictures %dx%d, window %d + 1 + %d, bridge %d: %.1f ms a picture (worst "
            "%.1f), processor %.1f ms a picture; of %lld hole pixels %.1f %% filled from pictures that saw them, %.1f %% second-hand; "
            "context at most %.1f MB, pictures in the ring %.1f MB, peak resident %.1f MB\n",
            n, d.w, d.h, d.past, d.future, d.bridge, n ? sum / n : 0, worst,
            n ? (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6) * 1e3 / n
              : 0,
            d.hole,
            d.hole ? 100.0 * d.seen / d.hole : 0, d.hole ? 100.0 * d.second / d.hole : 0,
            gw_temporal_memory(&cfg) / 1e6, d.ring.size() * px * 5 / 1e6, peak_mb());
    gw_temporal_free(d.ctx);
    fclose(holes);
    return rc;
}
