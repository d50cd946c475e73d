// Video pipeline timing and memory on a 1080p clip with rendered subtitles.
//
//   bench_video [seconds] [fps] [trivial|full|both] [model dir]
//
// Makes the clip with the ffmpeg command (moving background, two subtitle
// lines, a sine track), then runs, each in a child process of its own so
// that the peak resident memory (getrusage ru_maxrss) belongs to one run:
//   trivial  gw_process_video_pct with a callback that only reads the picture;
//   full     glyphwipe_process_video: detection and inpainting of every picture.
// Prints per-picture medians and totals for each stage. The stage split needs
// a build with -DGLYPHWIPE_STAGE_TIMERS=ON; otherwise only totals are shown.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/stage_timers.h"
#include "glyphwipe.h"
#include "gw_core.h"
#include "video/video.h"
#include "bench_util.h"

static double peak_rss_mb(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024.0;  // kilobytes on Linux
}

/* The callback's own time, for the trivial run (the full run's callback is
 * split into the detection and inpainting stages by the library's timers). */
static double cb_seconds;
static std::vector<double> cb_samples;
static unsigned long long cb_checksum;

static int reading_cb(unsigned char *rgb, int width, int height, void *user)
{
    (void)user;
    double t0 = now_s();
    size_t n = (size_t)width * height * 3;
    unsigned long long sum = 0;
    for (size_t i = 0; i < n; i += 64)
        sum += rgb[i];
    cb_checksum += sum;
    double dt = now_s() - t0;
    cb_seconds += dt;
    cb_samples.push_back(dt * 1e3);
    return 0;
}

static double sum_ms(const std::vector<double> &v)
{
    double t = 0;
    for (double x : v)
        t += x;
    return t;
}

static void print_row(const char *name, const std::vector<double> &ms)
{
    printf("  %-26s median %8.2f ms   total %9.1f ms\n", name, median(ms), sum_ms(ms));
}

#ifdef GW_STAGE_TIMERS
static std::vector<double> stage_ms(GwStage s)
{
    size_t n = 0;
    const uint64_t *v = gw_timer_samples(s, &n);
    std::vector<double> out;
    for (size_t i = 0; i < n; i++)
        out.push_back(v[i] / 1e6);
    return out;
}
#endif

static void print_stages(bool full, double wall_s)
{
#ifdef GW_STAGE_TIMERS
    double pipeline = 0;
    for (GwStage st : {GW_ST_DECODE, GW_ST_TO_RGB, GW_ST_TO_YUV, GW_ST_ENCODE, GW_ST_MUX})
        pipeline += sum_ms(stage_ms(st));
    print_row("decode (demux+decoder)", stage_ms(GW_ST_DECODE));
    print_row("to RGB24", stage_ms(GW_ST_TO_RGB));
    if (full) {
        print_row("detector input", stage_ms(GW_ST_DET_INPUT));
        print_row("detection network", stage_ms(GW_ST_DET_NET));
        print_row("boxes", stage_ms(GW_ST_BOXES));
        print_row("regions and masks", stage_ms(GW_ST_PLAN_MASK));
        print_row("inpainting network", stage_ms(GW_ST_INPAINT_NET));
        print_row("blending", stage_ms(GW_ST_BLEND));
        printf("  %-26s %37.1f ms\n", "callback (wall less video)", wall_s * 1e3 - pipeline);
    } else {
        print_row("callback", cb_samples);
    }
    print_row("to YUV420P", stage_ms(GW_ST_TO_YUV));
    print_row("encode", stage_ms(GW_ST_ENCODE));
    print_row("mux", stage_ms(GW_ST_MUX));
#else
    (void)wall_s;
    if (!full)
        print_row("callback", cb_samples);
    printf("  (per-stage figures need a build with -DGLYPHWIPE_STAGE_TIMERS=ON)\n");
#endif
}

static int run_mode(const std::string &mode, const std::string &in, const std::string &out,
                    const std::string &models, int frames)
{
    double rss0 = peak_rss_mb();
    int ret;
    double t0, t1;
    bool full = mode == "full";
#ifdef GW_STAGE_TIMERS
    gw_timers_reset();
#endif
    if (full) {
        if (glyphwipe_init(models.c_str()) != 0) {
            fprintf(stderr, "init failed: %s\n", glyphwipe_last_error());
            return 1;
        }
        t0 = now_s();
        ret = glyphwipe_process_video(in.c_str(), out.c_str());
        t1 = now_s();
    } else {
        t0 = now_s();
        ret = gw_process_video_pct(in.c_str(), out.c_str(), reading_cb, NULL);
        t1 = now_s();
    }
    printf("%s run: result %d%s%s, %d pictures in %.2f s (%.2f pictures/s)\n", mode.c_str(), ret,
           ret ? ", " : "", ret ? glyphwipe_last_error() : "", frames, t1 - t0, frames / (t1 - t0));
    print_stages(full, t1 - t0);
    printf("  peak resident memory       %.1f MB (%.1f MB before the run)\n\n", peak_rss_mb(), rss0);
    if (full)
        glyphwipe_cleanup();
    return ret == 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    int fps = argc > 2 ? atoi(argv[2]) : 25;
    std::string which = argc > 3 ? argv[3] : "both";
    std::string models = argc > 4 ? argv[4] : GW_MODELS_DIR;
    if (seconds <= 0 || fps <= 0) {
        fprintf(stderr, "usage: bench_video [seconds] [fps] [trivial|full|both] [model dir]\n");
        return 2;
    }

    char tmpl[] = "/tmp/gw-bench-video-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl, in = dir + "/in.mp4";
    int frames = (int)(seconds * fps + 0.5);
    const char *font = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
    char cmd[2048];
    snprintf(cmd, sizeof cmd,
             "ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc2=s=1920x1080:r=%d "
             "-f lavfi -i sine=frequency=440:sample_rate=48000 -vf \""
             "drawtext=fontfile=%s:text='The quick brown fox jumps over the lazy dog':"
             "x=(w-text_w)/2:y=h-150:fontsize=56:fontcolor=white:borderw=3:bordercolor=black,"
             "drawtext=fontfile=%s:text='Subtitles burned into every picture':"
             "x=(w-text_w)/2:y=h-80:fontsize=56:fontcolor=yellow:borderw=3:bordercolor=black\" "
             "-frames:v %d -t %.3f -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac %s",
             fps, font, font, frames, seconds, in.c_str());
    printf("making a 1920x1080 clip: %d pictures at %d fps with two subtitle lines and audio\n", frames, fps);
    if (system(cmd) != 0) {
        fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    printf("baseline peak resident memory of this process: %.1f MB\n\n", peak_rss_mb());

    int failures = 0;
    for (const char *mode : {"trivial", "full"}) {
        if (which != "both" && which != mode)
            continue;
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            int rc = run_mode(mode, in, dir + "/out-" + mode + ".mp4", models, frames);
            fflush(stdout);
            _exit(rc);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            failures++;
    }
    snprintf(cmd, sizeof cmd, "rm -rf '%s'", dir.c_str());
    if (system(cmd) != 0)
        fprintf(stderr, "could not remove %s\n", dir.c_str());
    return failures ? 1 : 0;
}
