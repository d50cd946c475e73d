// Where the time goes, against the floor and against a peer, at 1280x720 and
// 1920x1080.
//
//   bench_glyphwipe [seconds] [fps] [model dir] [work dir]
//
// For each size the ffmpeg command makes a clip (moving gradients, two
// subtitle lines, a sine track; lossless H.264 so that decoded pictures
// differ from the text-free original exactly where the text is), the
// text-free original of the same clip (same command without drawtext), and
// the first picture of each as PNG stills. Then, every measured case in a
// child process of its own (peak resident memory from getrusage/wait4):
//   library   glyphwipe_process_video: per-picture stage medians and shares;
//   still     glyphwipe_process_image on the still;
//   floor     the ffmpeg command transcoding the clip with the library's
//             encoder settings (libx264 crf 18, preset medium, profile high,
//             audio copied), plus the two networks' own time in the library
//             run (sum of the detection and inpainting network stages);
//   peer      the ffmpeg command's delogo filter over the subtitle band with
//             the same encoder settings.
// Quality: PSNR against the text-free original over the text areas (pixels
// where the text clip differs from the original), over the whole band, and
// over the pixels without text, from frames decoded to RGB24 by ffmpeg.
//
// Stage figures need a build with -DGLYPHWIPE_STAGE_TIMERS=ON
// (scripts/bench.sh builds one); without it only totals are printed.
#include <math.h>
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

#include "platform/stage_timers.h"
#include "glyphwipe.h"
#include "bench_util.h"

/* ---- measured cases ------------------------------------------------------ */

static const char *const STAGE_NAMES[GW_ST_COUNT] = {
    "decode",           "conversion to RGB",  "detector input",     "detection network",
    "box extraction",   "regions and masks",  "inpainting network", "blending",
    "conversion back",  "encoding",           "muxing"};

/* What a child reports back through a pipe. */
typedef struct CaseResult {
    int ok;
    double wall_s;
    double peak_mb;
    int pictures;
    int has_stages;
    double med_ms[GW_ST_COUNT];
    double total_ms[GW_ST_COUNT];
} CaseResult;

/* Runs the library on a video (video = 1) or a still in this child. */
static void library_case(bool video, const std::string &in, const std::string &out, const std::string &models,
                         CaseResult *r)
{
    memset(r, 0, sizeof *r);
    if (glyphwipe_init(models.c_str()) != 0) {
        fprintf(stderr, "init failed: %s\n", glyphwipe_last_error());
        return;
    }
#ifdef GW_STAGE_TIMERS
    gw_timers_reset();
#endif
    double t0 = now_s();
    int rc = video ? glyphwipe_process_video(in.c_str(), out.c_str())
                   : glyphwipe_process_image(in.c_str(), out.c_str());
    r->wall_s = now_s() - t0;
    if (rc != 0)
        fprintf(stderr, "library run failed: %s\n", glyphwipe_last_error());
    r->ok = rc == 0;
#ifdef GW_STAGE_TIMERS
    if (!video)
        gw_timer_frame_end();  /* a still is one picture */
    r->has_stages = 1;
    for (int s = 0; s < GW_ST_COUNT; s++) {
        size_t n = 0;
        const uint64_t *v = gw_timer_samples((GwStage)s, &n);
        std::vector<double> ms;
        double tot = 0;
        for (size_t i = 0; i < n; i++) {
            ms.push_back(v[i] / 1e6);
            tot += v[i] / 1e6;
        }
        r->med_ms[s] = median(ms);
        r->total_ms[s] = tot;
        r->pictures = (int)n;
    }
#endif
    glyphwipe_cleanup();
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    r->peak_mb = ru.ru_maxrss / 1024.0;
}

static CaseResult run_library(bool video, const std::string &in, const std::string &out, const std::string &models)
{
    CaseResult r;
    memset(&r, 0, sizeof r);
    int fd[2];
    if (pipe(fd) != 0)
        return r;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        CaseResult c;
        library_case(video, in, out, models, &c);
        ssize_t w = write(fd[1], &c, sizeof c);
        _exit(w == (ssize_t)sizeof c ? 0 : 1);
    }
    close(fd[1]);
    ssize_t got = pid > 0 ? read(fd[0], &r, sizeof r) : -1;
    close(fd[0]);
    int status = 0;
    if (pid > 0)
        waitpid(pid, &status, 0);
    if (got != (ssize_t)sizeof r)
        memset(&r, 0, sizeof r);
    return r;
}

/* Runs a shell command in a child; wall time and the child's peak memory. */
static CaseResult run_command(const std::string &cmd)
{
    CaseResult r;
    memset(&r, 0, sizeof r);
    fflush(stdout);
    fflush(stderr);
    double t0 = now_s();
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), (char *)NULL);
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    memset(&ru, 0, sizeof ru);
    if (pid > 0)
        wait4(pid, &status, 0, &ru);
    r.wall_s = now_s() - t0;
    r.peak_mb = ru.ru_maxrss / 1024.0;
    r.ok = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!r.ok)
        fprintf(stderr, "command failed: %s\n", cmd.c_str());
    return r;
}

/* ---- quality ------------------------------------------------------------- */

typedef struct Sse {
    double sum;
    double count;  /* samples (pixels times 3) */
} Sse;

static double psnr(const Sse &e)
{
    if (e.count <= 0)
        return NAN;
    double mse = e.sum / e.count;
    return mse <= 0 ? INFINITY : 10.0 * log10(255.0 * 255.0 / mse);
}

typedef struct Quality {
    Sse text, band, clean;  /* text areas, subtitle band, pixels without text */
    double text_share;      /* of the band's pixels */
} Quality;

static FILE *open_rgb(const std::string &file)
{
    std::string cmd = "ffmpeg -nostdin -loglevel error -i '" + file + "' -f rawvideo -pix_fmt rgb24 -";
    return popen(cmd.c_str(), "r");
}

/* Compares each output against the original, decoded picture by picture. */
static void measure_quality(const std::string &orig, const std::string &text, const std::vector<std::string> &outs,
                            int w, int h, int band_y0, int band_y1, std::vector<Quality> &q)
{
    const size_t fsz = (size_t)w * h * 3;
    std::vector<unsigned char> o(fsz), t(fsz), x(fsz);
    std::vector<unsigned char> textmask((size_t)w * h);
    std::vector<FILE *> f;
    FILE *fo = open_rgb(orig), *ft = open_rgb(text);
    for (const std::string &s : outs)
        f.push_back(open_rgb(s));
    q.assign(outs.size(), Quality());
    size_t text_px = 0, band_px = 0;
    while (fo && ft && fread(o.data(), 1, fsz, fo) == fsz && fread(t.data(), 1, fsz, ft) == fsz) {
        for (size_t i = 0; i < (size_t)w * h; i++) {
            textmask[i] = o[i * 3] != t[i * 3] || o[i * 3 + 1] != t[i * 3 + 1] || o[i * 3 + 2] != t[i * 3 + 2];
            int y = (int)(i / w);
            if (y >= band_y0 && y < band_y1) {
                band_px++;
                text_px += textmask[i];
            }
        }
        for (size_t k = 0; k < f.size(); k++) {
            if (!f[k] || fread(x.data(), 1, fsz, f[k]) != fsz)
                continue;
            for (size_t i = 0; i < (size_t)w * h; i++) {
                double e = 0;
                for (int c = 0; c < 3; c++) {
                    double d = (double)x[i * 3 + c] - (double)o[i * 3 + c];
                    e += d * d;
                }
                int y = (int)(i / w);
                Sse *dst = textmask[i] ? &q[k].text : &q[k].clean;
                dst->sum += e;
                dst->count += 3;
                if (y >= band_y0 && y < band_y1) {
                    q[k].band.sum += e;
                    q[k].band.count += 3;
                }
            }
        }
    }
    for (Quality &qq : q)
        qq.text_share = band_px ? (double)text_px / band_px : 0;
    if (fo)
        pclose(fo);
    if (ft)
        pclose(ft);
    for (FILE *p : f)
        if (p)
            pclose(p);
}

/* ---- one size ------------------------------------------------------------- */

static const char *FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
static const char *ENC = "-c:v libx264 -crf 18 -preset medium -profile:v high -pix_fmt yuv420p";

static int bench_size(int w, int h, double seconds, int fps, const std::string &models, const std::string &dir)
{
    char tag[32], buf[4096];
    snprintf(tag, sizeof tag, "%dx%d", w, h);
    const std::string base = dir + "/" + tag;
    const std::string text = base + "-text.mkv", orig = base + "-orig.mkv";
    const int frames = (int)(seconds * fps + 0.5);
    const int fs = h * 52 / 1080;  /* font size */
    /* Two lines near the bottom; the band covers them with some margin. */
    const int line1 = h - h * 150 / 1080, line2 = h - h * 80 / 1080;
    const int band_y0 = line1 - h * 20 / 1080, band_y1 = std::min(h - 1, line2 + fs + h * 20 / 1080);

    /* A deterministic moving picture without text of its own. */
    const char *src = "-f lavfi -i color=c=black:s=%dx%d:r=%d,format=rgb24,"
                      "geq=r='128+100*sin(X/97+T)':g='128+90*sin(Y/61-0.7*T)':b='128+80*sin((X+Y)/140+1.3*T)' "
                      "-f lavfi -i sine=frequency=440:sample_rate=48000 ";
    char srcbuf[512];
    snprintf(srcbuf, sizeof srcbuf, src, w, h, fps);
    /* Lossless 4:2:0 H.264: the original and the text clip decode to the same
     * pixels away from the text. */
    char tail[512];
    snprintf(tail, sizeof tail, "-frames:v %d -t %.3f -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p -c:a aac",
             frames, seconds);
    snprintf(buf, sizeof buf,
             "ffmpeg -nostdin -y -loglevel error %s -vf \""
             "drawtext=fontfile=%s:text='The quick brown fox jumps over the lazy dog':"
             "x=(w-text_w)/2:y=%d:fontsize=%d:fontcolor=white:borderw=3:bordercolor=black,"
             "drawtext=fontfile=%s:text='Subtitles burned into every picture':"
             "x=(w-text_w)/2:y=%d:fontsize=%d:fontcolor=yellow:borderw=3:bordercolor=black\" %s '%s'",
             srcbuf, FONT, line1, fs, FONT, line2, fs, tail, text.c_str());
    if (system(buf) != 0) {
        fprintf(stderr, "making %s failed\n", text.c_str());
        return 1;
    }
    snprintf(buf, sizeof buf, "ffmpeg -nostdin -y -loglevel error %s %s '%s'", srcbuf, tail, orig.c_str());
    if (system(buf) != 0) {
        fprintf(stderr, "making %s failed\n", orig.c_str());
        return 1;
    }
    for (const std::string &clip : {text, orig}) {
        snprintf(buf, sizeof buf, "ffmpeg -nostdin -y -loglevel error -i '%s' -frames:v 1 '%s.png'", clip.c_str(),
                 clip.c_str());
        if (system(buf) != 0)
            return 1;
    }

    printf("== %s: %d pictures at %d fps, two subtitle lines (rows %d..%d of the band), audio ==\n", tag, frames,
           fps, band_y0, band_y1);

    const std::string lib_out = base + "-library.mp4", floor_out = base + "-transcode.mp4",
                      peer_out = base + "-delogo.mp4", still_out = base + "-still-library.png",
                      still_peer = base + "-still-delogo.png";
    CaseResult lib = run_library(true, text, lib_out, models);
    CaseResult still = run_library(false, text + ".png", still_out, models);
    snprintf(buf, sizeof buf, "ffmpeg -nostdin -y -loglevel error -i '%s' -map 0:v -map 0:a %s -c:a copy '%s'",
             text.c_str(), ENC, floor_out.c_str());
    CaseResult flr = run_command(buf);
    snprintf(buf, sizeof buf,
             "ffmpeg -nostdin -y -loglevel error -i '%s' -map 0:v -map 0:a -vf delogo=x=1:y=%d:w=%d:h=%d %s "
             "-c:a copy '%s'",
             text.c_str(), band_y0, w - 2, band_y1 - band_y0, ENC, peer_out.c_str());
    CaseResult peer = run_command(buf);
    snprintf(buf, sizeof buf, "ffmpeg -nostdin -y -loglevel error -i '%s.png' -vf delogo=x=1:y=%d:w=%d:h=%d '%s'",
             text.c_str(), band_y0, w - 2, band_y1 - band_y0, still_peer.c_str());
    CaseResult still_d = run_command(buf);

    /* Stage table. */
    const int pics = lib.pictures ? lib.pictures : frames;
    if (lib.has_stages) {
        double total = 0, own_med = 0, med_sum = 0;
        for (int s = 0; s < GW_ST_COUNT; s++) {
            total += lib.total_ms[s];
            med_sum += lib.med_ms[s];
        }
        printf("\n  per picture (library video run)   median ms   share\n");
        for (int s = 0; s < GW_ST_COUNT; s++) {
            printf("    %-30s %9.2f  %5.1f %%\n", STAGE_NAMES[s], lib.med_ms[s],
                   total > 0 ? 100.0 * lib.total_ms[s] / total : 0.0);
            if (s != GW_ST_DECODE && s != GW_ST_DET_NET && s != GW_ST_INPAINT_NET && s != GW_ST_ENCODE)
                own_med += lib.med_ms[s];
        }
        double own_tot = 0;
        for (int s : {GW_ST_TO_RGB, GW_ST_DET_INPUT, GW_ST_BOXES, GW_ST_PLAN_MASK, GW_ST_BLEND, GW_ST_TO_YUV, GW_ST_MUX})
            own_tot += lib.total_ms[s];
        printf("    %-30s %9.2f  %5.1f %%   (all but decode, networks, encode)\n", "library's own work", own_med,
               total > 0 ? 100.0 * own_tot / total : 0.0);
        printf("    %-30s %9.2f  (stages add up to %.0f ms; whole run %.0f ms)\n", "sum of stage medians", med_sum,
               total, lib.wall_s * 1e3);
        /* Decoding and encoding (with their conversions and the muxer) run on
         * threads of their own; the calling thread's share is what stays on
         * the path of every picture. */
        double caller_med = 0, caller_tot = 0, side_tot = 0;
        for (int s : {GW_ST_DET_INPUT, GW_ST_BOXES, GW_ST_PLAN_MASK, GW_ST_BLEND}) {
            caller_med += lib.med_ms[s];
            caller_tot += lib.total_ms[s];
        }
        for (int s : {GW_ST_DECODE, GW_ST_TO_RGB, GW_ST_TO_YUV, GW_ST_ENCODE, GW_ST_MUX})
            side_tot += lib.total_ms[s];
        const double per_pic = pics > 0 ? lib.wall_s * 1e3 / pics : 0.0;
        printf("    %-30s %9.2f  (whole run / pictures)\n", "a picture's time", per_pic);
        printf("    %-30s %9.2f  %5.1f %% of a picture's time\n", "own work, calling thread", caller_med,
               per_pic > 0 ? 100.0 * caller_tot / pics / per_pic : 0.0);
        printf("    %-30s %9.2f  ms per picture on the decoding and encoding threads\n", "beside the calling thread",
               pics > 0 ? side_tot / pics : 0.0);
    } else {
        printf("  (per-stage figures need a build with -DGLYPHWIPE_STAGE_TIMERS=ON)\n");
    }

    printf("\n  whole runs                          time s   pictures/s   peak MB\n");
    printf("    %-32s %7.2f  %10.2f  %8.1f%s\n", "library (video)", lib.wall_s, pics / lib.wall_s, lib.peak_mb,
           lib.ok ? "" : "  FAILED");
    printf("    %-32s %7.2f  %10.2f  %8.1f%s\n", "library (still image)", still.wall_s, 1 / still.wall_s,
           still.peak_mb, still.ok ? "" : "  FAILED");
    printf("    %-32s %7.2f  %10.2f  %8.1f%s\n", "transcode (ffmpeg, same encoder)", flr.wall_s, frames / flr.wall_s,
           flr.peak_mb, flr.ok ? "" : "  FAILED");
    printf("    %-32s %7.2f  %10.2f  %8.1f%s\n", "peer: delogo (ffmpeg)", peer.wall_s, frames / peer.wall_s,
           peer.peak_mb, peer.ok ? "" : "  FAILED");
    printf("    %-32s %7.2f  %10.2f  %8.1f%s\n", "peer: delogo (still image)", still_d.wall_s, 1 / still_d.wall_s,
           still_d.peak_mb, still_d.ok ? "" : "  FAILED");
    if (lib.has_stages) {
        double nets = (lib.total_ms[GW_ST_DET_NET] + lib.total_ms[GW_ST_INPAINT_NET]) / 1e3;
        double fl = flr.wall_s + nets;
        printf("\n  floor = transcode %.2f s + networks %.2f s (detection %.2f, inpainting %.2f) = %.2f s\n",
               flr.wall_s, nets, lib.total_ms[GW_ST_DET_NET] / 1e3, lib.total_ms[GW_ST_INPAINT_NET] / 1e3, fl);
        printf("  library / floor = %.3f\n", lib.wall_s / fl);
    }

    /* Quality against the text-free original. */
    std::vector<Quality> q, qs;
    measure_quality(orig, text, {text, floor_out, peer_out, lib_out}, w, h, band_y0, band_y1, q);
    measure_quality(orig + ".png", text + ".png", {text + ".png", still_peer, still_out}, w, h, band_y0, band_y1, qs);
    printf("\n  PSNR dB against the text-free original   text areas   whole band   no-text pixels\n");
    const char *names[] = {"text clip (untouched input)", "transcode (encoder loss only)", "peer: delogo", "library"};
    for (size_t k = 0; k < q.size(); k++)
        printf("    %-38s %10.2f %12.2f %15.2f\n", names[k], psnr(q[k].text), psnr(q[k].band), psnr(q[k].clean));
    const char *snames[] = {"still: text picture", "still: delogo", "still: library"};
    for (size_t k = 0; k < qs.size(); k++)
        printf("    %-38s %10.2f %12.2f %15.2f\n", snames[k], psnr(qs[k].text), psnr(qs[k].band), psnr(qs[k].clean));
    if (!q.empty())
        printf("    (text areas are %.1f %% of the band's pixels)\n", 100.0 * q[0].text_share);
    printf("\n");
    fflush(stdout);
    return lib.ok && still.ok && flr.ok && peer.ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    int fps = argc > 2 ? atoi(argv[2]) : 25;
    std::string models = argc > 3 ? argv[3] : GW_MODELS_DIR;
    if (seconds <= 0 || fps <= 0) {
        fprintf(stderr, "usage: bench_glyphwipe [seconds] [fps] [model dir] [work dir]\n");
        return 2;
    }
    std::string dir;
    bool own_dir = argc <= 4;
    if (own_dir) {
        char tmpl[] = "/tmp/gw-bench-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("mkdtemp");
            return 1;
        }
        dir = tmpl;
    } else {
        dir = argv[4];
    }

    double t0 = now_s();
    int failures = 0;
    failures += bench_size(1280, 720, seconds, fps, models, dir);
    failures += bench_size(1920, 1080, seconds, fps, models, dir);
    printf("whole benchmark: %.0f s\n", now_s() - t0);

    if (own_dir) {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
    return failures ? 1 : 0;
}
