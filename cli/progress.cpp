// The progress line and the poller thread that draws it and forwards a
// signal to the library as a cancel request.
#include "cli.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "glyphwipe.h"

double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void fmt_duration(char *buf, size_t n, double s)
{
    long t = (long)(s + 0.5);
    if (t >= 3600)
        snprintf(buf, n, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
    else
        snprintf(buf, n, "%ld:%02ld", t / 60, t % 60);
}

/* One progress line, drawn over itself: percent, a bar, elapsed and the
 * remaining time extrapolated from the rate so far. */
static void draw_progress(const char *label, int pct, double elapsed)
{
    char bar[21], el[48], left[48];
    int fill = pct / 5;
    for (int i = 0; i < 20; i++)
        bar[i] = i < fill ? '#' : '.';
    bar[20] = 0;
    fmt_duration(el, sizeof el, elapsed);
    if (pct > 0 && pct < 100)
        fmt_duration(left, sizeof left, elapsed * (100 - pct) / pct);
    else
        snprintf(left, sizeof left, pct >= 100 ? "0:00" : "--:--");
    fprintf(stderr, "\r\033[K%s %3d%% [%s] %s elapsed, %s left", label, pct, bar, el, left);
    fflush(stderr);
}

/* Runs a library call on this thread while a second thread forwards an
 * interruption as a cancel request (repeatedly, since a call forgets earlier
 * requests as it starts) and, with a label, polls the progress and draws the
 * progress line. The line is cleared at the end, for the caller's final line
 * in its place. Returns the call's result. */
int run_with_poller(const std::function<int()> &call, const char *label, double *secs)
{
    const bool show = label != NULL;
    std::atomic<int> done(0);
    double t0 = now_s();

    std::thread poller([&]() {
        double last_draw = -1;
        while (!done.load(std::memory_order_acquire)) {
            if (g_signal)
                glyphwipe_cancel();
            double t = now_s();
            if (show && !g_signal && t - last_draw >= 0.25) {
                draw_progress(label, glyphwipe_progress(), t - t0);
                last_draw = t;
            }
            struct timespec nap = {0, 50 * 1000 * 1000};
            nanosleep(&nap, NULL);
        }
    });

    int r = call();
    done.store(1, std::memory_order_release);
    poller.join();
    if (secs)
        *secs = now_s() - t0;
    if (show) {
        if (r == 0 && !g_signal)
            draw_progress(label, 100, now_s() - t0);
        fputs("\r\033[K", stderr);
        fflush(stderr);
    }
    return r;
}
