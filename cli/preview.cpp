// The preview command: one picture of an image or a video, with the detected
// boxes outlined and the band shaded on the left and the cleaned picture on
// the right, so that the settings can be judged before a long run. The
// pictures are taken and put together with the ffmpeg command.
#include "cli.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "glyphwipe.h"

/* The files a preview makes in its own folder (removed at the end). */
typedef struct PreviewFiles {
    std::string source;   /* link to IN: ffmpeg never reads IN's name as a pattern or a protocol */
    std::string clip;     /* one picture of IN as a lossless H.264 clip */
    std::string cleaned;  /* the clip cleaned by the library */
    std::string before;   /* the picture as PNG */
    std::string after;    /* the cleaned picture as PNG */
} PreviewFiles;

typedef struct PreviewResult {
    size_t boxes, in_band;
} PreviewResult;

/* The picture on the left: the band shaded, the boxes it repaints outlined
 * in red, the others in grey. */
static std::string left_filter(const std::vector<Box> &boxes, const Cli *c, int width, int height,
                               PreviewResult *res)
{
    int y0 = 0, y1 = height, line = height >= 540 ? height / 270 : 2;
    char f[200];
    std::string graph = "[0:v]format=rgb24";
    if (c->has_band) {
        band_rows(height, c->band_top, c->band_bottom, &y0, &y1);
        snprintf(f, sizeof f, ",drawbox=x=0:y=%d:w=%d:h=%d:color=yellow@0.3:t=fill", y0, width, y1 - y0);
        graph += f;
    }
    for (const Box &b : boxes) {
        bool taken = box_in_band(b, y0, y1);
        res->in_band += taken;
        snprintf(f, sizeof f, ",drawbox=x=%d:y=%d:w=%d:h=%d:color=%s:t=%d", b.x, b.y, b.w, b.h,
                 taken ? "red@0.9" : "gray@0.9", line);
        graph += f;
    }
    res->boxes = boxes.size();
    snprintf(f, sizeof f, "[b];[1:v]format=rgb24,scale=%d:%d[a];[b][a]hstack=inputs=2", width, height);
    return graph + f;
}

/* Takes the picture, detects, cleans and writes the side-by-side picture to
 * the temporary file beside OUT. EXIT_OK, EXIT_FAIL or INTERRUPTED. */
static int make_preview(const Cli *c, const char *in, bool video, const PreviewFiles &p, PreviewResult *res)
{
    const bool v = c->verbose;
    const std::string at = c->at ? c->at : "0";
    /* The library sees the picture as a video run would: a one-picture clip,
     * cut from the video without loss, or made from the image (needed for a
     * band, which only the video calls take). */
    const bool through_video = video || c->has_band;
    if (video) {
        if (!run_ffmpeg({"-y", "-ss", at, "-i", p.source, "-map", "0:v:0", "-frames:v", "1", "-c:v", "libx264",
                         "-qp", "0", "-preset", "ultrafast", p.clip}, v) ||
            picture_count(p.clip.c_str()) < 1 ||
            !run_ffmpeg({"-y", "-i", p.clip, "-frames:v", "1", "-update", "1", p.before}, v)) {
            if (g_signal)
                return INTERRUPTED;
            fail("cannot take a picture at %s s from %s%s", at.c_str(), in, v ? "" : " (-v shows why)");
            return EXIT_FAIL;
        }
    } else if (through_video && !run_ffmpeg({"-y", "-i", p.source, "-frames:v", "1", "-c:v", "libx264", "-qp", "0",
                                             "-preset", "ultrafast", p.clip}, v)) {
        if (g_signal)
            return INTERRUPTED;
        fail("ffmpeg could not read %s%s", in, v ? "" : " (-v shows why)");
        return EXIT_FAIL;
    }
    /* What the library reads (IN itself for an image, so that its messages
     * name IN) and what ffmpeg reads. */
    const std::string picture = video ? p.before : std::string(in);
    const std::string &shown = video ? p.before : p.source;
    int width, height;
    if (!picture_size(shown.c_str(), &width, &height)) {
        fail("cannot read the picture size of %s", in);
        return EXIT_FAIL;
    }

    const char *json = NULL;
    int r = run_with_poller([&]() { return (json = glyphwipe_detect(picture.c_str())) ? 0 : -1; }, NULL, NULL);
    if (g_signal)
        return INTERRUPTED;
    if (!json) {
        report_library_error(in, NULL, NULL);
        return EXIT_FAIL;
    }
    std::vector<Box> boxes = parse_boxes(json);

    if (through_video) {
        r = run_with_poller(
            [&]() {
                return c->has_band ? glyphwipe_process_video_region(p.clip.c_str(), p.cleaned.c_str(), c->band_top,
                                                                    c->band_bottom)
                                   : glyphwipe_process_video(p.clip.c_str(), p.cleaned.c_str());
            },
            NULL, NULL);
    } else {
        r = run_with_poller([&]() { return glyphwipe_process_image(picture.c_str(), p.after.c_str()); }, NULL, NULL);
    }
    if (g_signal || r == -2)
        return INTERRUPTED;
    if (r != 0) {
        report_library_error(in, NULL, NULL);
        return EXIT_FAIL;
    }
    if (through_video && !run_ffmpeg({"-y", "-i", p.cleaned, "-frames:v", "1", "-update", "1", p.after}, v)) {
        if (g_signal)
            return INTERRUPTED;
        fail("ffmpeg could not read the cleaned picture back");
        return EXIT_FAIL;
    }

    std::string graph = left_filter(boxes, c, width, height, res);
    if (!run_ffmpeg({"-y", "-i", shown, "-i", p.after, "-filter_complex", graph, "-frames:v", "1", "-update", "1",
                     g_tmp_path}, v)) {
        if (g_signal)
            return INTERRUPTED;
        fail("ffmpeg could not make the preview picture%s", v ? "" : " (-v shows why)");
        return EXIT_FAIL;
    }
    return EXIT_OK;
}

int cmd_preview(const Cli *c)
{
    if (c->args.size() != 3)
        usage_error("preview takes IN and OUT");
    const char *in = c->args[1], *out = c->args[2];
    require_output_name(out, false);
    const bool video = media_kind(in) != MEDIA_IMAGE;
    if (c->at && !video)
        usage_error("--at applies to videos; %s is an image", in);
    if (!check_input(in) || !check_output(in, out, c->force))
        return EXIT_FAIL;
    if (!find_in_path("ffmpeg")) {
        fail("preview needs the ffmpeg command (install the ffmpeg package)");
        return EXIT_FAIL;
    }
    if (!engine_start(c, NULL)) /* before the work folder: a refused option ends the tool */
        return EXIT_FAIL;

    const char *tmp = getenv("TMPDIR");
    std::string work = join(tmp && tmp[0] ? tmp : "/tmp", "glyphwipe-preview-XXXXXX");
    std::vector<char> work_buf(work.begin(), work.end());
    work_buf.push_back(0);
    if (!mkdtemp(work_buf.data())) {
        fail("cannot make a work folder %s: %s", work.c_str(), strerror(errno));
        glyphwipe_cleanup();
        return EXIT_FAIL;
    }
    work = work_buf.data();
    PreviewFiles p;
    p.source = join(work, "source" + lower_extension(in));
    p.clip = join(work, "picture.mp4");
    p.cleaned = join(work, "cleaned.mp4");
    p.before = join(work, "before.png");
    p.after = join(work, "after.png");
    PreviewResult res = {0, 0};
    int status = EXIT_FAIL;
    char real_in[PATH_MAX];

    if (!realpath(in, real_in) || symlink(real_in, p.source.c_str()) != 0)
        fail("cannot read %s: %s", in, strerror(errno));
    else if (make_temp_beside(out))
        status = make_preview(c, in, video, p, &res);
    if (status == EXIT_OK && !commit_temp(out, c->force))
        status = EXIT_FAIL;

    for (const std::string *f : {&p.source, &p.clip, &p.cleaned, &p.before, &p.after})
        unlink(f->c_str());
    rmdir(work.c_str());
    if (g_signal)
        return interrupted_exit();
    remove_temp();
    glyphwipe_cleanup();
    if (status == EXIT_OK && !c->quiet) {
        char band[64] = "";
        if (c->has_band)
            snprintf(band, sizeof band, ", %zu reaching into the band", res.in_band);
        fprintf(stderr, "glyphwipe: wrote %s: %zu text box%s%s", out, res.boxes, res.boxes == 1 ? "" : "es", band);
        if (video)
            fprintf(stderr, ", picture at %s s", c->at ? c->at : "0");
        fputc('\n', stderr);
    }
    return status;
}
