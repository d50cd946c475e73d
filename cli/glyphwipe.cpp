// glyphwipe: command-line front end of the library. Uses only the public C
// API (glyphwipe.h), exactly as any host program would.
//
// Exit codes: 0 success, 1 failure, 2 usage error, 128 + the signal's number
// when a signal ended the run (130 SIGINT, 143 SIGTERM, 129 SIGHUP, ...).
//
// Outputs are written under a temporary name in the destination folder and
// moved onto OUT only once the library succeeded, so a failure or a signal
// never leaves a half-written OUT behind and never destroys an existing one.
// Without --force the move never replaces a file: of two runs writing the
// same OUT, the second fails.
#include "glyphwipe.h"
#include "core/parse.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

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

static const char *const DET_MODEL = "ch_PP-OCRv4_det_infer.onnx";
static const char *const FILL_MODEL = "lama_fp32.onnx";
static const char *const DEMO_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

enum { EXIT_OK = 0, EXIT_FAIL = 1, EXIT_USAGE = 2 };

/* ---- signals -------------------------------------------------------------------
 * The handler only records the signal, kills a running ffmpeg child and, on a
 * second signal, removes the temporary output and leaves at once. Forwarding
 * the cancel request to the library is the poller thread's job. */
/* Lock-free atomics: safe in a signal handler and read by the poller thread,
 * whichever thread the signal lands on. */
static std::atomic<int> g_signal(0);
static std::atomic<int> g_child(0);  /* pid of a running ffmpeg, or 0 */
static char g_tmp_path[PATH_MAX];    /* temporary output being written, or "" */
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

static void on_signal(int sig)
{
    int saved_errno = errno;
    int first = 0;
    if (!g_signal.compare_exchange_strong(first, sig)) {
        if (g_tmp_path[0])
            unlink(g_tmp_path);
        _exit(128 + first);
    }
    int child = g_child.load();
    if (child > 0)
        kill(child, SIGTERM);
    errno = saved_errno;
}

/* Every signal whose default action ends the process and that a user or a
 * pipeline sends, so that none of them leaves the temporary output behind. */
static void install_signal_handlers(void)
{
    static const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM};
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : sigs)
        sigaction(sig, &sa, NULL);
}

/* ---- options ---------------------------------------------------------------- */
/* Library options the tool sets unless --plain is given: the settings that
 * measured best on photographs with burned-in text (docs/quality.md). */
static const char *const TOOL_DEFAULTS[][2] = {
    {"unclip", "1.5"}, {"mask", "glyphs"}, {"inpaint_radius", "1"}, {"detect_scale", "0.5"}};

typedef struct Cli {
    const char *models;      /* --models, null: default */
    const char *threshold;   /* --threshold, null: library default */
    const char *radius;      /* --radius, null: the tool's default */
    const char *unclip;      /* --unclip, null: the tool's default */
    const char *mask;        /* --mask, null: the tool's default */
    const char *detect_scale; /* --detect-scale, null: the tool's default */
    int plain;               /* --plain: the library's own defaults */
    int band_top, band_bottom, has_band;
    int quiet, force;
    std::vector<const char *> args;  /* command and its operands */
} Cli;

static void usage_short(FILE *f)
{
    fprintf(f,
            "usage: glyphwipe [options] detect IMAGE\n"
            "       glyphwipe [options] clean IN OUT\n"
            "       glyphwipe [options] clean-video IN OUT [--band TOP:BOTTOM]\n"
            "       glyphwipe [options] demo [DIR]\n");
}

/* "glyphwipe: <message>" on standard error. */
static void vfail(const char *fmt, va_list ap)
{
    fputs("glyphwipe: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
}

static void fail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfail(fmt, ap);
    va_end(ap);
}

static void usage_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfail(fmt, ap);
    va_end(ap);
    usage_short(stderr);
    fputs("Try 'glyphwipe --help' for more information.\n", stderr);
    exit(EXIT_USAGE);
}

/* ---- files and folders -------------------------------------------------------- */
static bool is_dir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static bool is_readable_file(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), R_OK) == 0;
}

static std::string dir_of(const std::string &p)
{
    size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

static std::string base_of(const std::string &p)
{
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

static std::string join(const std::string &dir, const std::string &name)
{
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

static bool models_complete(const std::string &dir)
{
    return is_readable_file(join(dir, DET_MODEL)) && is_readable_file(join(dir, FILL_MODEL));
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
static std::string default_models_dir(void)
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

static void usage_full(void)
{
    usage_short(stdout);
    printf("\n"
           "Removes burned-in text (subtitles, captions, lettering) from images and videos.\n"
           "\n"
           "commands:\n"
           "  detect IMAGE          print the text boxes found in IMAGE as a JSON array\n"
           "  clean IN OUT          clean an image; OUT's extension picks the format\n"
           "                        (.png, .bmp, .tga, anything else JPEG)\n"
           "  clean-video IN OUT    clean a video into an MP4 (H.264, first audio track copied)\n"
           "  demo [DIR]            make a short sample clip with subtitles, clean it and write\n"
           "                        the cleaned clip and a before/after picture into DIR\n"
           "                        (default ./glyphwipe-demo)\n"
           "\n"
           "options:\n"
           "  --models DIR          folder with %s and %s\n"
           "                        (default %s)\n"
           "  --threshold X         text score threshold, 0 < X < 1 (default 0.3)\n"
           "  --radius N            hole growth in pixels, 0..128 (default 1; --plain: 5)\n"
           "  --unclip R            grow each detected box by R * area / perimeter on every\n"
           "                        side, 0..4 (default 1.5; --plain: 0)\n"
           "  --mask boxes|glyphs   repaint whole boxes, or only the letters' own pixels\n"
           "                        (default glyphs; --plain: boxes)\n"
           "  --detect-scale S      let the detector see large pictures at S of their size\n"
           "                        or more, 0..1 (default 0.5; --plain: 0, at most 960 wide)\n"
           "  --plain               the library's own defaults for the four options above\n"
           "  --band TOP:BOTTOM     clean-video: repaint only text reaching into this band of\n"
           "                        rows, in percent of the frame height (e.g. 75:100)\n"
           "  --force               replace an existing OUT (OUT may then be IN itself)\n"
           "  -q, --quiet           no progress line\n"
           "  -h, --help            show this text\n"
           "  --version             show the version\n"
           "\n"
           "Exit status: 0 done, 1 failed, 2 usage error, 128+N ended by signal N\n"
           "(130 Ctrl-C, 143 SIGTERM, 129 SIGHUP, 141 SIGPIPE).\n",
           DET_MODEL, FILL_MODEL, default_models_dir().c_str());
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
    return gw_parse_int(s, &v) == 0 && v >= 0 && v <= 128;
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

static void parse_args(int argc, char **argv, Cli *c)
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
                usage_error("--radius must be a whole number from 0 to 128, not '%s'", c->radius);
        } else if (is_option(a, "--unclip")) {
            c->unclip = option_value(argc, argv, &i, "--unclip");
        } else if (is_option(a, "--mask")) {
            c->mask = option_value(argc, argv, &i, "--mask");
        } else if (is_option(a, "--detect-scale")) {
            c->detect_scale = option_value(argc, argv, &i, "--detect-scale");
        } else if (!strcmp(a, "--plain")) {
            c->plain = 1;
        } else if (is_option(a, "--band")) {
            const char *v = option_value(argc, argv, &i, "--band");
            if (!parse_band(v, &c->band_top, &c->band_bottom))
                usage_error("--band must be TOP:BOTTOM with 0 <= TOP < BOTTOM <= 100, not '%s'", v);
            c->has_band = 1;
        } else {
            usage_error("unknown option '%s'", a);
        }
    }
}

/* ---- checks before the library is called ------------------------------------------- */
/* IN must be a readable regular file; it is looked at before it is opened,
 * and opened without blocking, so that a FIFO cannot hold the tool. */
static bool check_input(const char *in)
{
    struct stat st;
    if (stat(in, &st) != 0) {
        fail("cannot read %s: %s", in, strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        fail("cannot read %s: %s", in, strerror(EISDIR));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        fail("cannot read %s: not a regular file", in);
        return false;
    }
    int fd = open(in, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        fail("cannot read %s: %s", in, strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

/* OUT must not exist (unless --force), must not be a folder, and its folder
 * must exist. */
static bool check_output(const char *in, const char *out, int force)
{
    struct stat so, si;
    std::string dir = dir_of(out);
    if (stat(out, &so) == 0) {
        if (S_ISDIR(so.st_mode)) {
            fail("%s is a folder; give a file name for the output", out);
            return false;
        }
        if (!S_ISREG(so.st_mode)) {
            fail("%s is not a regular file; give a file name for the output", out);
            return false;
        }
        bool same = in && stat(in, &si) == 0 && si.st_dev == so.st_dev && si.st_ino == so.st_ino;
        if (!force) {
            if (same)
                fail("%s is the input file (use --force to replace it)", out);
            else
                fail("%s exists (use --force to replace it)", out);
            return false;
        }
    }
    if (!is_dir(dir)) {
        fail("cannot write %s: folder %s does not exist", out, dir.c_str());
        return false;
    }
    if (access(dir.c_str(), W_OK) != 0) {
        fail("cannot write %s: %s", out, strerror(errno));
        return false;
    }
    return true;
}

static bool check_models(const std::string &dir)
{
    if (!is_dir(dir)) {
        fail("model folder %s not found (run scripts/setup.sh, or pass --models DIR)", dir.c_str());
        return false;
    }
    const char *names[2] = {DET_MODEL, FILL_MODEL};
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
static void report_library_error(const char *in, const char *out, const char *tmp)
{
    std::string e = glyphwipe_last_error();
    if (tmp && out)
        replace_all(e, tmp, out);
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
    } else if (starts_with(e, "cannot open output file: ") || starts_with(e, "cannot alloc output context")) {
        fail("cannot write %s (%s)", out, e.c_str());
    } else if (file) {
        fail("%s: %s", file, e.c_str());
    } else {
        fail("%s", e.c_str());
    }
}

/* ---- engine -------------------------------------------------------------------------- */
static bool engine_start(const Cli *c, std::string *models_out)
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
    for (size_t i = 0; !c->plain && i < sizeof TOOL_DEFAULTS / sizeof TOOL_DEFAULTS[0]; i++)
        glyphwipe_set_option(TOOL_DEFAULTS[i][0], TOOL_DEFAULTS[i][1]);
    /* The user's values go last and win; the library judges them. */
    const struct {
        const char *flag, *option, *value;
    } given[] = {{"--threshold", "threshold", c->threshold},
                 {"--radius", "inpaint_radius", c->radius},
                 {"--unclip", "unclip", c->unclip},
                 {"--mask", "mask", c->mask},
                 {"--detect-scale", "detect_scale", c->detect_scale}};
    for (const auto &g : given) {
        if (g.value && glyphwipe_set_option(g.option, g.value) != 0) {
            fail("%s %s: %s", g.flag, g.value, glyphwipe_last_error());
            glyphwipe_cleanup();
            exit(EXIT_USAGE);
        }
    }
    return true;
}

/* Leaves after an interruption: no output, the usual shell status. */
static int interrupted_exit(void)
{
    if (g_tmp_path[0]) {
        unlink(g_tmp_path);
        g_tmp_path[0] = 0;
    }
    glyphwipe_cleanup();
    return 128 + g_signal;
}

/* ---- temporary output beside OUT ------------------------------------------------------- */
/* Creates an empty temporary file in OUT's folder whose extension equals OUT's
 * (the image writer picks the format by extension) and records it for the
 * signal handler. Its mode becomes that of the file it will replace, or the
 * default for a new file. */
static bool make_temp_beside(const char *out)
{
    std::string dir = dir_of(out), base = base_of(out), ext;
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0)
        ext = base.substr(dot);
    std::string name = join(dir, "." + base.substr(0, dot == std::string::npos || dot == 0 ? base.size() : dot) +
                                     ".glyphwipe-XXXXXX" + ext);
    if (name.size() >= sizeof g_tmp_path) {
        fail("cannot write %s: path too long", out);
        return false;
    }
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back(0);
    int fd = mkstemps(buf.data(), (int)ext.size());
    if (fd < 0) {
        fail("cannot write %s: %s", out, strerror(errno));
        return false;
    }
    struct stat st;
    mode_t mode;
    if (stat(out, &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd, mode) != 0) { /* keep the restrictive mode; not worth failing */
    }
    close(fd);
    memcpy(g_tmp_path, buf.data(), buf.size());
    return true;
}

static void remove_temp(void)
{
    if (g_tmp_path[0]) {
        unlink(g_tmp_path);
        g_tmp_path[0] = 0;
    }
}

/* Moves the temporary file onto OUT without ever replacing a file there:
 * renameat2's RENAME_NOREPLACE, else a hard link (which fails on an existing
 * name) and the removal of the temporary name. 0, or an errno value. */
static int move_no_replace(const char *tmp, const char *out)
{
#if defined(RENAME_NOREPLACE)
    if (renameat2(AT_FDCWD, tmp, AT_FDCWD, out, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
#endif
    if (link(tmp, out) != 0)
        return errno;
    unlink(tmp);
    return 0;
}

/* Moves the temporary file onto OUT: replacing a file there only with
 * `replace` (--force); a file that appeared at OUT since the start (another
 * run writing the same OUT) otherwise makes this run fail. */
static bool commit_temp(const char *out, bool replace)
{
    int err = replace ? (rename(g_tmp_path, out) == 0 ? 0 : errno) : move_no_replace(g_tmp_path, out);
    if (err != 0) {
        if (err == EEXIST)
            fail("%s exists (use --force to replace it)", out);
        else
            fail("cannot write %s: %s", out, strerror(err));
        remove_temp();
        return false;
    }
    g_tmp_path[0] = 0;
    return true;
}

/* ---- video with progress and cancellation ------------------------------------------------ */
static double now_s(void)
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
 * requests as it starts) and, with `show`, polls the progress and draws the
 * progress line. Returns the call's result. */
template <typename Call>
static int run_with_poller(Call call, bool show, double *secs)
{
    const char *label = "cleaning";
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
        fputs(r == 0 && !g_signal ? "\n" : "\r\033[K", stderr);
        fflush(stderr);
    }
    return r;
}

static int run_video_call(const char *in, const char *out_tmp, const Cli *c, double *secs)
{
    return run_with_poller(
        [&]() {
            return c->has_band ? glyphwipe_process_video_region(in, out_tmp, c->band_top, c->band_bottom)
                               : glyphwipe_process_video(in, out_tmp);
        },
        !c->quiet && isatty(STDERR_FILENO), secs);
}

/* ---- commands ------------------------------------------------------------------------------ */
static int cmd_detect(const Cli *c)
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
    run_with_poller([&]() { return (json = glyphwipe_detect(in)) ? 0 : -1; }, false, NULL);
    if (g_signal)
        return interrupted_exit();
    if (!json) {
        report_library_error(in, NULL, NULL);
        glyphwipe_cleanup();
        return EXIT_FAIL;
    }
    printf("%s\n", json);
    int flushed = fflush(stdout);
    if (g_signal) /* SIGPIPE: the reader went away */
        return interrupted_exit();
    glyphwipe_cleanup();
    return flushed == 0 ? EXIT_OK : EXIT_FAIL;
}

static int run_image_call(const char *in, const char *out_tmp, const Cli *c, double *secs)
{
    (void)c;
    return run_with_poller([&]() { return glyphwipe_process_image(in, out_tmp); }, false, secs);
}

/* Result of write_output when a signal or a cancel ended the run. */
enum { INTERRUPTED = -1 };

/* Has `call` write the cleaned IN into a temporary file beside OUT and
 * renames that onto OUT once the library succeeded; on failure the library's
 * error is reported. EXIT_OK, EXIT_FAIL or INTERRUPTED (the temporary file is
 * then left to interrupted_exit). The engine stays started. */
static int write_output(const char *in, const char *out, const Cli *c, bool replace,
                        int (*call)(const char *, const char *, const Cli *, double *), double *secs)
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
    if (left_out > 0)
        fprintf(stderr, "glyphwipe: %d text region%s kept %s text in %s: at most 12 regions are repainted per picture\n",
                left_out, left_out == 1 ? "" : "s", left_out == 1 ? "its" : "their", out);
    return EXIT_OK;
}

/* clean and clean-video: IN and OUT checked, engine started, output written. */
static int cmd_clean(const Cli *c, bool video)
{
    if (c->args.size() != 3)
        usage_error(video ? "clean-video takes IN and OUT" : "clean takes IN and OUT");
    const char *in = c->args[1], *out = c->args[2];
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
    if (status == EXIT_OK && video && !c->quiet && isatty(STDERR_FILENO))
        fprintf(stderr, "glyphwipe: wrote %s in %.1f s\n", out, secs);
    return status;
}

/* ---- demo ---------------------------------------------------------------------------------- */
static bool find_in_path(const char *prog)
{
    const char *path = getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos)
            end = p.size();
        std::string dir = p.substr(start, end - start);
        if (dir.empty())
            dir = ".";
        if (access(join(dir, prog).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

/* Runs ffmpeg with the given arguments (quiet unless it fails), standard
 * input from /dev/null. Returns true on exit status 0. */
static bool run_ffmpeg(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    static char prog[] = "ffmpeg", q1[] = "-hide_banner", q2[] = "-nostdin", q3[] = "-loglevel", q4[] = "error";
    argv.push_back(prog);
    argv.push_back(q1);
    argv.push_back(q2);
    argv.push_back(q3);
    argv.push_back(q4);
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(NULL);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, "ffmpeg", &fa, NULL, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        fail("cannot run ffmpeg: %s", strerror(rc));
        return false;
    }
    g_child = pid;
    if (g_signal) /* a signal that came before g_child was set */
        kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    g_child = 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

typedef struct Box {
    int x, y, w, h;
    double conf;
} Box;

/* Reads the library's detection report: [{"x":..,"y":..,"w":..,"h":..,"conf":..},...] */
static std::vector<Box> parse_boxes(const char *json)
{
    std::vector<Box> boxes;
    const char *p = json;
    while ((p = strchr(p, '{')) != NULL) {
        Box b;
        if (sscanf(p, "{\"x\":%d,\"y\":%d,\"w\":%d,\"h\":%d,\"conf\":%lf}", &b.x, &b.y, &b.w, &b.h, &b.conf) == 5)
            boxes.push_back(b);
        p++;
    }
    return boxes;
}

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

static int cmd_demo(const Cli *c)
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
    if (!is_dir(dir)) {
        /* mkdir -p */
        std::string path;
        size_t pos = 0;
        while (pos != std::string::npos) {
            pos = dir.find('/', pos + 1);
            path = dir.substr(0, pos);
            if (!path.empty() && !is_dir(path) && mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
                fail("cannot make folder %s: %s", path.c_str(), strerror(errno));
                glyphwipe_cleanup();
                return EXIT_FAIL;
            }
        }
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
                         sample})) {
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
        if (!run_ffmpeg({"-y", "-ss", ts, "-i", sample, "-frames:v", "1", before}) ||
            !run_ffmpeg({"-y", "-ss", ts, "-i", cleaned, "-frames:v", "1", after})) {
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
        if (!run_ffmpeg({"-y", "-i", before, "-i", after, "-filter_complex", graph, "-frames:v", "1", picture})) {
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

int main(int argc, char **argv)
{
    Cli c;
    c.models = c.threshold = c.radius = c.unclip = c.mask = c.detect_scale = NULL;
    c.plain = 0;
    c.band_top = c.band_bottom = c.has_band = 0;
    c.quiet = c.force = 0;
    parse_args(argc, argv, &c);
    if (c.args.empty())
        usage_error("no command given");

    std::string cmd = c.args[0];
    if (c.has_band && cmd != "clean-video")
        usage_error("--band applies to clean-video only");
    install_signal_handlers();
    if (cmd == "detect")
        return cmd_detect(&c);
    if (cmd == "clean" || cmd == "clean-video")
        return cmd_clean(&c, cmd == "clean-video");
    if (cmd == "demo")
        return cmd_demo(&c);
    if (cmd == "help") {
        usage_full();
        return EXIT_OK;
    }
    usage_error("unknown command '%s'", cmd.c_str());
    return EXIT_USAGE;
}
