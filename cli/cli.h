// Private header of the glyphwipe tool: the parsed command line, the state
// shared with the signal handler, and the functions its files share. The tool
// uses only the library's public C API (glyphwipe.h), exactly as any host
// program would.
//
// Exit codes: 0 success, 1 failure, 2 usage error, 128 + the signal's number
// when a signal ended the run (130 SIGINT, 143 SIGTERM, 129 SIGHUP, ...).
#ifndef GW_CLI_H
#define GW_CLI_H

#include <limits.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

enum { EXIT_OK = 0, EXIT_FAIL = 1, EXIT_USAGE = 2 };

/* Result of write_output when a signal or a cancel ended the run. */
enum { INTERRUPTED = -1 };

typedef struct Cli {
    const char *models;      /* --models, null: default */
    const char *threshold;   /* --threshold, null: library default */
    const char *radius;      /* --radius, null: the tool's default */
    const char *unclip;      /* --unclip, null: the tool's default */
    const char *mask;        /* --mask, null: the tool's default */
    const char *detect_scale; /* --detect-scale, null: the tool's default */
    const char *temporal;     /* --temporal, null: the tool's default */
    int plain;               /* --plain: the library's own defaults */
    int band_top, band_bottom, has_band;
    const char *at;          /* --at (preview), null: the first picture */
    const char *label;       /* of the progress line, null: "cleaning" */
    int quiet, verbose, force;
    std::vector<const char *> args;  /* command and its operands */
} Cli;

#if defined(__GNUC__)
#define GW_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define GW_PRINTF(f, a)
#endif

/* ---- options.cpp: the command line, help and messages ---- */
void parse_args(int argc, char **argv, Cli *c);
void usage_full(void);
/* "glyphwipe: <message>" on standard error. */
void fail(const char *fmt, ...) GW_PRINTF(1, 2);
/* The message, the short usage, and exit status 2. */
[[noreturn]] void usage_error(const char *fmt, ...) GW_PRINTF(1, 2);
/* The model folder used without --models. */
std::string default_models_dir(void);

/* ---- safe_output.cpp: files, the temporary output beside OUT, signals ---- */
/* Set by the signal handler (the first signal's number); read everywhere. */
extern std::atomic<int> g_signal;
/* pid of a running ffmpeg, or 0: the handler passes the signal on to it. */
extern std::atomic<int> g_child;
/* The temporary output being written, or "": the handler removes it. */
extern char g_tmp_path[PATH_MAX];

void install_signal_handlers(void);
bool is_dir(const std::string &p);
bool is_readable_file(const std::string &p);
std::string dir_of(const std::string &p);
std::string base_of(const std::string &p);
std::string join(const std::string &dir, const std::string &name);
/* mkdir -p; false with a message on failure. */
bool make_dirs(const std::string &dir);
/* IN is a readable regular file; OUT may be written (see safe_output.cpp). */
bool check_input(const char *in);
bool check_output(const char *in, const char *out, int force);
/* Creates the temporary output beside OUT and records it in g_tmp_path. */
bool make_temp_beside(const char *out);
void remove_temp(void);
/* Moves the temporary output onto OUT; replaces a file there only with `replace`. */
bool commit_temp(const char *out, bool replace);
/* After a signal: the temporary output removed, the engine released, 128 + N. */
int interrupted_exit(void);

/* ---- progress.cpp ---- */
/* Seconds on the monotonic clock. */
double now_s(void);
/* Runs `call` while a second thread forwards a signal as a cancel request
 * and, with a label, draws the progress line. Returns the call's result. */
int run_with_poller(const std::function<int()> &call, const char *label, double *secs);

/* ---- commands.cpp ---- */
/* Sets the tool's defaults for an image or a video call (unless --plain),
 * then the user's values; a refused value is a usage error (exit 2). */
void apply_options(const Cli *c, bool video);
/* Checks the model folder, starts the engine and sets the options. */
bool engine_start(const Cli *c, std::string *models_out);
/* The library's last error in a user's words, naming the file concerned. */
void report_library_error(const char *in, const char *out, const char *tmp);
typedef int (*OutputCall)(const char *in, const char *out_tmp, const Cli *c, double *secs);
int run_video_call(const char *in, const char *out_tmp, const Cli *c, double *secs);
/* IN cleaned by `call` into OUT through a temporary file: EXIT_OK, EXIT_FAIL or INTERRUPTED. */
int write_output(const char *in, const char *out, const Cli *c, bool replace, OutputCall call, double *secs);
int cmd_detect(const Cli *c);
int cmd_clean(const Cli *c, bool video);

/* The final line of a written output: its name, pictures and time. */
void report_written(const Cli *c, const char *prefix, const char *out, bool video, double secs);
int run_image_call(const char *in, const char *out_tmp, const Cli *c, double *secs);

/* ---- media.cpp: formats, sizes, the ffmpeg command, detection reports ---- */
enum MediaKind { MEDIA_OTHER, MEDIA_IMAGE, MEDIA_VIDEO };
/* The image formats written, for messages. */
extern const char *const IMAGE_FORMATS_TEXT;
/* The extension of the file name, lower case, with its dot; "" when none. */
std::string lower_extension(const std::string &path);
/* An image or a video by the extension (any case). */
MediaKind media_kind(const std::string &path);
/* A usage error unless OUT's name gives a format the library writes (an
 * existing folder or device is left to check_output). */
void require_output_name(const char *out, bool video);
/* FFmpeg's own log lines (in the library too): shown only when verbose. */
void set_ffmpeg_log(bool verbose);
/* EXIF orientation of a JPEG file (1..8; 1 for anything else). */
int picture_orientation(const char *path);
/* The first picture's size as stored in the file; false when unknown. */
bool picture_size(const char *path, int *width, int *height);
/* The pictures of a file's video stream, -1 when the file does not say. */
long picture_count(const char *path);
bool find_in_path(const char *prog);
/* Runs the ffmpeg command with stdin from /dev/null, its log shown only when
 * verbose; a signal is passed on to it. True on exit status 0. */
bool run_ffmpeg(const std::vector<std::string> &args, bool verbose);
typedef struct Box {
    int x, y, w, h;
    double conf;
} Box;
/* The entries of the library's detection report. */
std::vector<Box> parse_boxes(const char *json);
/* The rows y0..y1 (exclusive) of a band in percent of the height, as the library takes them. */
void band_rows(int height, int top_pct, int bottom_pct, int *y0, int *y1);
/* True when the box reaches into the rows y0..y1: the band repaints it. */
bool box_in_band(const Box &b, int y0, int y1);
/* The report with only the entries that reach into the rows, entries as the library wrote them. */
std::string report_in_band(const char *json, int y0, int y1);

/* ---- demo.cpp, batch.cpp, preview.cpp ---- */
int cmd_demo(const Cli *c);
int cmd_batch(const Cli *c);
int cmd_preview(const Cli *c);

#endif /* GW_CLI_H */
