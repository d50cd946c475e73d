// The command line: options and operands, the help text, messages and usage
// errors, and the default model folder.
#include "cli.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/names.h"
#include "core/parse.h"

#ifndef GW_VERSION
#define GW_VERSION "0.0.0"
#endif
#ifndef GW_BINARY_DIR
#define GW_BINARY_DIR ""
#endif
#ifndef GW_BUILD_MODELS_DIR
#define GW_BUILD_MODELS_DIR "models"
#endif
#ifndef GW_INSTALL_MODELS_REL /* from the installed executable's folder */
#define GW_INSTALL_MODELS_REL "../share/orvantix-glyphwipe/models"
#endif
#ifndef GW_INSTALL_MODELS_DIR
#define GW_INSTALL_MODELS_DIR "/usr/local/share/orvantix-glyphwipe/models"
#endif

static void usage_short(FILE *f)
{
    fprintf(f,
            "Usage: glyphwipe [options] detect IMAGE [--band TOP:BOTTOM]\n"
            "  or:  glyphwipe [options] clean IN OUT\n"
            "  or:  glyphwipe [options] clean-video IN OUT.mp4 [--band TOP:BOTTOM]\n"
            "  or:  glyphwipe [options] batch IN_DIR OUT_DIR [--band TOP:BOTTOM]\n"
            "  or:  glyphwipe [options] preview IN OUT.png [--band TOP:BOTTOM] [--at SECONDS]\n"
            "  or:  glyphwipe [options] demo [DIR]\n");
}

/* "glyphwipe: <message>" on standard error. */
static void vfail(const char *fmt, va_list ap)
{
    fputs("glyphwipe: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
}

void fail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfail(fmt, ap);
    va_end(ap);
}

void usage_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfail(fmt, ap);
    va_end(ap);
    usage_short(stderr);
    fputs("Try 'glyphwipe --help' for more information.\n", stderr);
    exit(EXIT_USAGE);
}

static bool models_complete(const std::string &dir)
{
    return is_readable_file(join(dir, GW_DET_MODEL_FILE)) && is_readable_file(join(dir, GW_FILL_MODEL_FILE));
}

/* Folder of this executable, or "" when unknown. */
static std::string exe_dir(void)
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return "";
    exe[n] = 0;
    return dir_of(exe);
}

/* True when this executable runs from the build tree it was built in. */
static bool running_from_build_tree(void)
{
    char bin[PATH_MAX];
    std::string dir = exe_dir();
    return !dir.empty() && GW_BINARY_DIR[0] && realpath(GW_BINARY_DIR, bin) && dir == bin;
}

/* The source tree's models for a tool run from its build folder; then the
 * model folder of an installation (found relative to the executable, so a
 * moved installation still works), then the configured installation folder.
 * An installed tool never looks into the source tree. The first folder that
 * holds both models wins; when none does, the first is named in the error. */
std::string default_models_dir(void)
{
    std::vector<std::string> dirs;
    std::string exe = exe_dir();
    if (!exe.empty())
        dirs.push_back(exe + "/" GW_INSTALL_MODELS_REL);
    dirs.push_back(GW_INSTALL_MODELS_DIR);
    if (running_from_build_tree())
        dirs.insert(dirs.begin(), GW_BUILD_MODELS_DIR);
    for (const std::string &d : dirs) {
        char real[PATH_MAX];
        if (models_complete(d))
            return realpath(d.c_str(), real) ? real : d;
    }
    return dirs[0];
}

void usage_full(void)
{
    usage_short(stdout);
    printf("\n"
           "Removes burned-in text (subtitles, captions, lettering) from images and videos.\n"
           "\n"
           "Commands:\n"
           "  detect IMAGE          print the text boxes found in IMAGE as a JSON array\n"
           "                        (with --band: only the boxes the band would repaint)\n"
           "  clean IN OUT          clean an image; OUT's extension, in any case, picks the\n"
           "                        format: .png, .jpg or .jpeg, .bmp, .tga\n"
           "  clean-video IN OUT    clean a video into OUT, which must end in .mp4 (H.264,\n"
           "                        first audio track copied)\n"
           "  batch IN_DIR OUT_DIR  clean every image and video in IN_DIR into OUT_DIR with\n"
           "                        one start of the models: images keep their name, videos\n"
           "                        become NAME.mp4; existing outputs are skipped (--force\n"
           "                        replaces them); exit 1 with a summary when a file failed\n"
           "  preview IN OUT        one picture of IN (an image, or a video's picture at\n"
           "                        --at) into the image OUT: the detected boxes outlined\n"
           "                        (red: repainted, grey: outside the band), the band shaded,\n"
           "                        the cleaned picture beside it\n"
           "  demo [DIR]            make a short sample clip with subtitles, clean it and write\n"
           "                        the cleaned clip and a before/after picture into DIR\n"
           "                        (default ./glyphwipe-demo)\n"
           "\n"
           "Options:\n"
           "  --models DIR          folder with %s and %s\n"
           "                        (default %s)\n"
           "  --threshold X         text score threshold, 0 < X < 1 (default %g)\n"
           "  --radius N            hole growth in pixels, 0..%d (default 1, videos 5;\n"
           "                        --plain: %d)\n"
           "  --unclip R            grow each detected box by R * area / perimeter on every\n"
           "                        side, 0..%g (default 1.5; --plain: 0)\n"
           "  --mask boxes|glyphs   repaint whole boxes, or only the letters' own pixels\n"
           "                        (default glyphs, videos boxes; --plain: boxes)\n"
           "  --detect-scale S      let the detector see large pictures at S of their size\n"
           "                        or more, 0..%g (default 0.5; --plain: 0, at most 960 wide)\n"
           "  --temporal N          videos: repaint each picture from what a window of N\n"
           "                        pictures saw, 2..%d (default 9; 0 and --plain: each\n"
           "                        picture alone)\n"
           "  --plain               the library's own defaults for the options above\n"
           "  --band TOP:BOTTOM     videos: repaint only text reaching into this band of rows,\n"
           "                        in percent of the picture height (e.g. 75:100); for\n"
           "                        clean-video, batch (its videos), preview and detect\n"
           "  --at SECONDS          preview: the time of the video's picture (default 0)\n"
           "  --force               replace an existing OUT (OUT may then be IN itself)\n"
           "  -q, --quiet           print nothing on success (detect still prints its report)\n"
           "  -v, --verbose         show FFmpeg's and ONNX Runtime's own log lines\n"
           "  -h, --help            show this text\n"
           "  --version             show the version\n"
           "\n"
           "Exit status: 0 done, 1 failed, 2 usage error, 128+N ended by signal N\n"
           "(130 Ctrl-C, 143 SIGTERM, 129 SIGHUP, 141 SIGPIPE).\n",
           GW_DET_MODEL_FILE, GW_FILL_MODEL_FILE, default_models_dir().c_str(), (double)GW_THRESHOLD_DEFAULT,
           GW_RADIUS_MAX, GW_RADIUS_DEFAULT, (double)GW_UNCLIP_MAX, (double)GW_DETECT_SCALE_MAX, GW_TEMPORAL_MAX);
}

/* Numbers follow the library's own rule (core/parse.h), in every locale. */
static bool parse_band(const char *s, int *top, int *bottom)
{
    const char *colon = strchr(s, ':');
    long a, b;
    if (!colon)
        return false;
    std::string first(s, (size_t)(colon - s));
    if (gw_parse_int(first.c_str(), &a) != 0 || gw_parse_int(colon + 1, &b) != 0)
        return false;
    if (a < 0 || a >= b || b > 100)
        return false;
    *top = (int)a;
    *bottom = (int)b;
    return true;
}

static bool valid_threshold(const char *s)
{
    float v;
    return gw_parse_float(s, &v) == 0 && v > 0.0f && v < 1.0f;
}

static bool valid_radius(const char *s)
{
    long v;
    return gw_parse_int(s, &v) == 0 && v >= 0 && v <= GW_RADIUS_MAX;
}

/* Takes the value of an option given as "--opt VALUE" or "--opt=VALUE". */
static const char *option_value(int argc, char **argv, int *i, const char *name)
{
    size_t n = strlen(name);
    const char *a = argv[*i];
    if (a[n] == '=')
        return a + n + 1;
    if (*i + 1 >= argc)
        usage_error("%s needs a value", name);
    return argv[++*i];
}

static bool is_option(const char *a, const char *name)
{
    size_t n = strlen(name);
    return strncmp(a, name, n) == 0 && (a[n] == 0 || a[n] == '=');
}

void parse_args(int argc, char **argv, Cli *c)
{
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (options_done || a[0] != '-' || a[1] == 0) {
            c->args.push_back(a);
        } else if (!strcmp(a, "--")) {
            options_done = true;
        } else if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
            usage_full();
            exit(EXIT_OK);
        } else if (!strcmp(a, "--version")) {
            printf("glyphwipe %s\n", GW_VERSION);
            exit(EXIT_OK);
        } else if (!strcmp(a, "-q") || !strcmp(a, "--quiet")) {
            c->quiet = 1;
        } else if (!strcmp(a, "-v") || !strcmp(a, "--verbose")) {
            c->verbose = 1;
        } else if (!strcmp(a, "--force") || !strcmp(a, "-f")) {
            c->force = 1;
        } else if (is_option(a, "--models")) {
            c->models = option_value(argc, argv, &i, "--models");
            if (!c->models[0])
                usage_error("--models needs a folder");
        } else if (is_option(a, "--threshold")) {
            c->threshold = option_value(argc, argv, &i, "--threshold");
            if (!valid_threshold(c->threshold))
                usage_error("--threshold must be a number between 0 and 1 (exclusive), not '%s'", c->threshold);
        } else if (is_option(a, "--radius")) {
            c->radius = option_value(argc, argv, &i, "--radius");
            if (!valid_radius(c->radius))
                usage_error("--radius must be a whole number from 0 to %d, not '%s'", GW_RADIUS_MAX, c->radius);
        } else if (is_option(a, "--unclip")) {
            c->unclip = option_value(argc, argv, &i, "--unclip");
        } else if (is_option(a, "--mask")) {
            c->mask = option_value(argc, argv, &i, "--mask");
        } else if (is_option(a, "--detect-scale")) {
            c->detect_scale = option_value(argc, argv, &i, "--detect-scale");
        } else if (is_option(a, "--temporal")) {
            c->temporal = option_value(argc, argv, &i, "--temporal");
        } else if (!strcmp(a, "--plain")) {
            c->plain = 1;
        } else if (is_option(a, "--band")) {
            const char *v = option_value(argc, argv, &i, "--band");
            if (!parse_band(v, &c->band_top, &c->band_bottom))
                usage_error("--band must be TOP:BOTTOM with 0 <= TOP < BOTTOM <= 100, not '%s'", v);
            c->has_band = 1;
        } else if (is_option(a, "--at")) {
            c->at = option_value(argc, argv, &i, "--at");
            float v;
            if (gw_parse_float(c->at, &v) != 0 || !(v >= 0.0f))
                usage_error("--at must be a time in seconds, 0 or more, not '%s'", c->at);
        } else {
            usage_error("unknown option '%s'", a);
        }
    }
}
