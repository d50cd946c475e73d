// The demo command: a sample clip with subtitles made with the ffmpeg
// command, cleaned, and a before/after picture of one of its frames.
#include "cli.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "glyphwipe.h"

static const char *const DEMO_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

/* Escapes a path for use inside an ffmpeg filter option value. */
static std::string filter_escape(const std::string &s)
{
    std::string r;
    for (char ch : s) {
        if (ch == '\\' || ch == ':' || ch == '\'' || ch == ',' || ch == ';' || ch == '[' || ch == ']')
            r += '\\';
        r += ch;
    }
    return r;
}

/* One subtitle line, centred, `lift` pixels above the bottom, shown while
 * the expression `when` holds. Sizes follow the frame height (38 px text
 * at 540 rows). */
static std::string subtitle(const char *text, int height, int lift, const std::string &when)
{
    char geo[160];
    snprintf(geo, sizeof geo, ":fontsize=%d:fontcolor=white:borderw=%d:bordercolor=black:x=(w-text_w)/2:y=h-%d",
             height * 38 / 540, height >= 360 ? 3 : 2, lift * height / 540);
    return "drawtext=fontfile=" + filter_escape(DEMO_FONT) + ":text=" + text + geo + ":enable=" + when;
}

int cmd_demo(const Cli *c)
{
    if (c->args.size() > 2)
        usage_error("demo takes at most one DIR");
    std::string dir = c->args.size() == 2 ? c->args[1] : "glyphwipe-demo";
    /* GLYPHWIPE_DEMO_QUICK=1 makes a smaller, shorter clip (for the tests). */
    const bool quick = getenv("GLYPHWIPE_DEMO_QUICK") && strcmp(getenv("GLYPHWIPE_DEMO_QUICK"), "0") != 0;
    const int W = quick ? 480 : 960, H = quick ? 270 : 540, SECONDS = quick ? 2 : 4;
    const double at = SECONDS / 4.0; /* time of the before/after frame: first subtitle */
    bool chatty = !c->quiet;

    if (!find_in_path("ffmpeg")) {
        fail("the demo needs the ffmpeg command (install the ffmpeg package)");
        return EXIT_FAIL;
    }
    if (!is_readable_file(DEMO_FONT)) {
        fail("the demo needs the font %s (install fonts-dejavu-core)", DEMO_FONT);
        return EXIT_FAIL;
    }
    std::string models;
    if (!engine_start(c, &models))
        return EXIT_FAIL;
    if (!make_dirs(dir)) {
        glyphwipe_cleanup();
        return EXIT_FAIL;
    }
    if (access(dir.c_str(), W_OK) != 0) {
        fail("cannot write into %s: %s", dir.c_str(), strerror(errno));
        glyphwipe_cleanup();
        return EXIT_FAIL;
    }

    std::string sample = join(dir, "sample.mp4"), cleaned = join(dir, "cleaned.mp4"),
                picture = join(dir, "before_after.png");
    std::string before = join(dir, ".before.png"), after = join(dir, ".after.png");
    int status = EXIT_FAIL;
    double secs = 0;
    size_t nboxes = 0;

    /* 1. A clip with moving content, two-line subtitles that change halfway
     *    and a sine tone. */
    if (chatty)
        fprintf(stderr, "glyphwipe demo: making a %d s sample clip with subtitles\n", SECONDS);
    {
        char src[128], tone[128], len[16];
        snprintf(src, sizeof src, "mandelbrot=s=%dx%d:r=25", W, H);
        snprintf(len, sizeof len, "%d", SECONDS);
        snprintf(tone, sizeof tone, "sine=frequency=440:sample_rate=44100:duration=%d", SECONDS);
        /* The subtitle changes halfway through. */
        char first[32], second[32];
        snprintf(first, sizeof first, "'lt(t,%g)'", SECONDS / 2.0);
        snprintf(second, sizeof second, "'gte(t,%g)'", SECONDS / 2.0);
        std::string vf = subtitle("Burned-in subtitles like these", H, 120, first) + "," +
                         subtitle("are found and painted over", H, 70, first) + "," +
                         subtitle("The second subtitle arrives", H, 120, second) + "," +
                         subtitle("and goes away just the same", H, 70, second);
        if (!run_ffmpeg({"-y", "-f", "lavfi", "-i", src, "-f", "lavfi", "-i", tone, "-vf", vf, "-c:v", "libx264",
                         "-preset", "veryfast", "-crf", "20", "-pix_fmt", "yuv420p", "-c:a", "aac", "-t", len,
                         sample}, c->verbose)) {
            unlink(sample.c_str()); /* a half clip is no sample */
            if (!g_signal)
                fail("ffmpeg could not make the sample clip %s", sample.c_str());
            goto end;
        }
    }
    if (g_signal)
        goto end;

    /* 2. Clean it. */
    if (chatty)
        fprintf(stderr, "glyphwipe demo: cleaning it (models from %s)\n", models.c_str());
    if (write_output(sample.c_str(), cleaned.c_str(), c, true, run_video_call, &secs) != EXIT_OK)
        goto end;

    /* 3. One frame before and after, the detected boxes outlined on "before". */
    if (chatty)
        fprintf(stderr, "glyphwipe demo: making the before/after picture\n");
    {
        char ts[32];
        snprintf(ts, sizeof ts, "%.2f", at);
        if (!run_ffmpeg({"-y", "-ss", ts, "-i", sample, "-frames:v", "1", before}, c->verbose) ||
            !run_ffmpeg({"-y", "-ss", ts, "-i", cleaned, "-frames:v", "1", after}, c->verbose)) {
            if (!g_signal)
                fail("ffmpeg could not extract a frame at %s s", ts);
            goto end;
        }
        const char *json = glyphwipe_detect(before.c_str());
        if (!json) {
            report_library_error(before.c_str(), NULL, NULL);
            goto end;
        }
        std::vector<Box> boxes = parse_boxes(json);
        nboxes = boxes.size();
        std::string left = "[0:v]null";
        for (const Box &b : boxes) {
            char db[160];
            snprintf(db, sizeof db, ",drawbox=x=%d:y=%d:w=%d:h=%d:color=red@0.9:t=2", b.x, b.y, b.w, b.h);
            left += db;
        }
        std::string font = filter_escape(DEMO_FONT);
        char label[128];
        snprintf(label, sizeof label, ":fontsize=%d:fontcolor=yellow:borderw=2:bordercolor=black:x=16:y=12",
                 H * 30 / 540);
        std::string graph = left + ",drawtext=fontfile=" + font + ":text=before" + label + "[b];" +
                            "[1:v]drawtext=fontfile=" + font + ":text=after" + label + "[a];" +
                            "[b][a]hstack=inputs=2";
        if (!run_ffmpeg({"-y", "-i", before, "-i", after, "-filter_complex", graph, "-frames:v", "1", picture}, c->verbose)) {
            unlink(picture.c_str());
            if (!g_signal)
                fail("ffmpeg could not make %s", picture.c_str());
            goto end;
        }
    }
    status = EXIT_OK;

end:
    remove_temp();
    unlink(before.c_str());
    unlink(after.c_str());
    if (g_signal)
        return interrupted_exit();
    glyphwipe_cleanup();
    if (status == EXIT_OK) {
        char abs[PATH_MAX];
        printf("glyphwipe demo: done, files in %s\n", realpath(dir.c_str(), abs) ? abs : dir.c_str());
        printf("  %-17s input: %d s of %dx%d video with burned-in subtitles, sine tone\n", "sample.mp4", SECONDS,
               W, H);
        printf("  %-17s the same clip cleaned by glyphwipe (%.1f s)\n", "cleaned.mp4", secs);
        printf("  %-17s frame at %.2g s: before (%zu text box%s outlined) | after\n", "before_after.png", at, nboxes,
               nboxes == 1 ? "" : "es");
        fflush(stdout);
    }
    return status;
}
