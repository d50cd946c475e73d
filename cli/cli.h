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
    int plain;               /* --plain: the library's own defaults */
    int band_top, band_bottom, has_band;
    int quiet, force;
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
/* Runs `call` while a second thread forwards a signal as a cancel request
 * and, with `show`, draws the progress line. Returns the call's result. */
int run_with_poller(const std::function<int()> &call, bool show, double *secs);

/* ---- commands.cpp ---- */
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

/* ---- demo.cpp ---- */
int cmd_demo(const Cli *c);

#endif /* GW_CLI_H */
