// The commands detect, clean and clean-video, and what they share: the
// engine's start with the tool's options, and the library's errors in a
// user's words.
#include "cli.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/names.h"
#include "glyphwipe.h"

/* ---- the engine with the tool's options ---- */
/* Library options the tool sets unless --plain is given: the settings that
 * measured best on photographs with burned-in text (docs/quality.md). */
static const char *const TOOL_DEFAULTS[][2] = {
    {"unclip", "1.5"}, {"mask", "glyphs"}, {"inpaint_radius", "1"}, {"detect_scale", "0.5"}};
/* Videos are repainted from what other pictures saw (docs/quality.md): a
 * hole that covers the letters' outlines generously costs nothing there. */
static const char *const VIDEO_DEFAULTS[][2] = {{"mask", "boxes"}, {"inpaint_radius", "5"}, {"temporal", "9"}};

static bool check_models(const std::string &dir)
{
    if (!is_dir(dir)) {
        fail("model folder %s not found (run scripts/setup.sh, or pass --models DIR)", dir.c_str());
        return false;
    }
    const char *names[2] = {GW_DET_MODEL_FILE, GW_FILL_MODEL_FILE};
    for (const char *name : names) {
        if (!is_readable_file(join(dir, name))) {
            fail("model folder %s lacks %s (run scripts/setup.sh)", dir.c_str(), name);
            return false;
        }
    }
    return true;
}

/* ---- library errors in a user's words ------------------------------------------------ */
static bool starts_with(const std::string &s, const char *p)
{
    return s.compare(0, strlen(p), p) == 0;
}

static void replace_all(std::string &s, const std::string &from, const std::string &to)
{
    if (from.empty())
        return;
    for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
        s.replace(pos, from.size(), to);
}

/* Prints the library's last error, naming the file concerned. The temporary
 * output name is shown as OUT, which is the name the user knows. */
void report_library_error(const char *in, const char *out, const char *tmp)
{
    std::string e = glyphwipe_last_error();
    if (tmp && out)
        replace_all(e, tmp, out);
    while (!e.empty() && (e.back() == '\n' || e.back() == ' ')) /* a runtime's text may end in a newline */
        e.pop_back();
    const char *file = in ? in : out;

    if (starts_with(e, "stbi_load failed: ")) {
        size_t p = e.rfind("(stbi: ");
        std::string why = p == std::string::npos ? e : e.substr(p + 7, e.size() - p - 8);
        fail("cannot read %s as an image: %s", in, why.c_str());
    } else if (starts_with(e, "unsupported image format: ")) {
        fail("cannot read %s as an image: unsupported format (PNG, JPEG, BMP and TGA are read)", in);
    } else if (starts_with(e, "cannot write ")) {
        fail("%s", e.c_str());
    } else if (starts_with(e, "save failed: ")) {
        fail("cannot write %s (%s)", out, e.c_str());
    } else if (starts_with(e, "cannot open input: ")) {
        fail("cannot open %s as a video (%s)", in, e.c_str());
    } else if (starts_with(e, "no video stream in ")) {
        fail("%s has no video stream", in);
    } else if (starts_with(e, "audio codec ") && e.find(" cannot be carried in MP4") != std::string::npos) {
        const std::string codec = e.substr(12, e.find(' ', 12) - 12);
        fail("%s: its audio (%s) cannot be carried in MP4; convert the audio first, e.g.\n"
             "  ffmpeg -i %s -c:v copy -c:a aac converted.mkv",
             in, codec.c_str(), in);
    } else if (starts_with(e, "cannot open output file: ") || starts_with(e, "cannot alloc output context")) {
        fail("cannot write %s (%s)", out, e.c_str());
    } else if (file) {
        fail("%s: %s", file, e.c_str());
    } else {
        fail("%s", e.c_str());
    }
}

/* ---- engine -------------------------------------------------------------------------- */
bool engine_start(const Cli *c, std::string *models_out)
{
    std::string models = c->models ? c->models : default_models_dir();
    if (models_out)
        *models_out = models;
    if (!check_models(models))
        return false;
    if (glyphwipe_init(models.c_str()) != 0) {
        std::string e = glyphwipe_last_error();
        fail("cannot load the models from %s: %s", models.c_str(), e.c_str());
        return false;
    }
    /* The runtime's own messages only with -v; the library's texts say what failed. */
    glyphwipe_set_option("log", c->verbose ? "errors" : "none");
    apply_options(c, false);
    return true;
}

void apply_options(const Cli *c, bool video)
{
    for (size_t i = 0; !c->plain && i < sizeof TOOL_DEFAULTS / sizeof TOOL_DEFAULTS[0]; i++)
        glyphwipe_set_option(TOOL_DEFAULTS[i][0], TOOL_DEFAULTS[i][1]);
    for (size_t i = 0; !c->plain && video && i < sizeof VIDEO_DEFAULTS / sizeof VIDEO_DEFAULTS[0]; i++)
        glyphwipe_set_option(VIDEO_DEFAULTS[i][0], VIDEO_DEFAULTS[i][1]);
    /* The user's values go last and win; the library judges them (the first
     * time, in engine_start). */
    const struct {
        const char *flag, *option, *value;
    } given[] = {{"--threshold", "threshold", c->threshold},
                 {"--radius", "inpaint_radius", c->radius},
                 {"--unclip", "unclip", c->unclip},
                 {"--mask", "mask", c->mask},
                 {"--detect-scale", "detect_scale", c->detect_scale},
                 {"--temporal", "temporal", c->temporal}};
    for (const auto &g : given) {
        if (g.value && glyphwipe_set_option(g.option, g.value) != 0) {
            fail("%s %s: %s", g.flag, g.value, glyphwipe_last_error());
            glyphwipe_cleanup();
            exit(EXIT_USAGE);
        }
    }
}

int run_video_call(const char *in, const char *out_tmp, const Cli *c, double *secs)
{
    apply_options(c, true);
    return run_with_poller(
        [&]() {
            return c->has_band ? glyphwipe_process_video_region(in, out_tmp, c->band_top, c->band_bottom)
                               : glyphwipe_process_video(in, out_tmp);
        },
        !c->quiet && isatty(STDERR_FILENO) ? (c->label ? c->label : "cleaning") : NULL, secs);
}

int run_image_call(const char *in, const char *out_tmp, const Cli *c, double *secs)
{
    apply_options(c, false);
    return run_with_poller([&]() { return glyphwipe_process_image(in, out_tmp); }, NULL, secs);
}

void report_written(const Cli *c, const char *prefix, const char *out, bool video, double secs)
{
    if (c->quiet)
        return;
    long n = video ? picture_count(out) : 1;
    char pictures[64] = "";
    if (n >= 0)
        snprintf(pictures, sizeof pictures, ": %ld picture%s", n, n == 1 ? "" : "s");
    fprintf(stderr, "glyphwipe: %swrote %s%s in %.1f s\n", prefix ? prefix : "", out, pictures, secs);
}

/* ---- commands ------------------------------------------------------------------------------ */
int cmd_detect(const Cli *c)
{
    if (c->args.size() != 2)
        usage_error("detect takes one IMAGE");
    const char *in = c->args[1];
    if (!check_input(in))
        return EXIT_FAIL;
    if (!engine_start(c, NULL))
        return EXIT_FAIL;
    if (g_signal)
        return interrupted_exit();
    const char *json = NULL;
    run_with_poller([&]() { return (json = glyphwipe_detect(in)) ? 0 : -1; }, NULL, NULL);
    if (g_signal)
        return interrupted_exit();
    if (!json) {
        report_library_error(in, NULL, NULL);
        glyphwipe_cleanup();
        return EXIT_FAIL;
    }
    std::string report = json;
    if (c->has_band) { /* the band's rows in this picture, as a video run takes them */
        int w, h, y0, y1;
        if (!picture_size(in, &w, &h)) {
            fail("cannot read the picture size of %s for --band", in);
            glyphwipe_cleanup();
            return EXIT_FAIL;
        }
        band_rows(h, c->band_top, c->band_bottom, &y0, &y1);
        report = report_in_band(json, y0, y1);
    }
    printf("%s\n", report.c_str());
    int flushed = fflush(stdout);
    if (g_signal) /* SIGPIPE: the reader went away */
        return interrupted_exit();
    glyphwipe_cleanup();
    return flushed == 0 ? EXIT_OK : EXIT_FAIL;
}

/* Has `call` write the cleaned IN into a temporary file beside OUT and
 * renames that onto OUT once the library succeeded; on failure the library's
 * error is reported. EXIT_OK, EXIT_FAIL or INTERRUPTED (the temporary file is
 * then left to interrupted_exit). The engine stays started. */
int write_output(const char *in, const char *out, const Cli *c, bool replace, OutputCall call, double *secs)
{
    if (!make_temp_beside(out))
        return EXIT_FAIL;
    std::string tmp = g_tmp_path;
    int r = call(in, tmp.c_str(), c, secs);
    if (g_signal || r == -2)
        return INTERRUPTED;
    if (r != 0) {
        remove_temp();
        report_library_error(in, out, tmp.c_str());
        return EXIT_FAIL;
    }
    if (!commit_temp(out, replace))
        return EXIT_FAIL;
    int left_out = glyphwipe_regions_left_out();
    if (left_out > 0 && !c->quiet)
        fprintf(stderr, "glyphwipe: %d text region%s kept %s text in %s: at most 12 regions are repainted per picture\n",
                left_out, left_out == 1 ? "" : "s", left_out == 1 ? "its" : "their", out);
    return EXIT_OK;
}

/* clean and clean-video: IN and OUT checked, engine started, output written. */
int cmd_clean(const Cli *c, bool video)
{
    if (c->args.size() != 3)
        usage_error(video ? "clean-video takes IN and OUT" : "clean takes IN and OUT");
    const char *in = c->args[1], *out = c->args[2];
    require_output_name(out, video);
    if (!check_input(in) || !check_output(in, out, c->force))
        return EXIT_FAIL;
    if (!engine_start(c, NULL))
        return EXIT_FAIL;
    if (g_signal)
        return interrupted_exit();
    double secs = 0;
    int status = write_output(in, out, c, c->force, video ? run_video_call : run_image_call, &secs);
    if (status == INTERRUPTED)
        return interrupted_exit();
    glyphwipe_cleanup();
    if (status == EXIT_OK)
        report_written(c, NULL, out, video, secs);
    return status;
}
