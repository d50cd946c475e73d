// Media files as the tool sees them: formats by file name, FFmpeg's log
// level, a picture's size and a video's picture count (libavformat), the
// ffmpeg command, and the library's detection report read back.
#include "cli.h"

#include <utility>
#include <vector>

#include "imageio/image_io.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

extern char **environ;

/* What the library writes, by OUT's extension (any case). */
static const char *const IMAGE_EXTS[] = {".png", ".jpg", ".jpeg", ".bmp", ".tga"};
/* Containers a folder's videos come in; the library reads what FFmpeg reads. */
static const char *const VIDEO_EXTS[] = {".mp4", ".m4v", ".mov", ".mkv", ".webm", ".avi", ".ts", ".mts",
                                         ".m2ts", ".mpg", ".mpeg", ".flv", ".wmv", ".3gp", ".ogv"};

const char *const IMAGE_FORMATS_TEXT = ".png (PNG), .jpg or .jpeg (JPEG), .bmp (BMP), .tga (TGA)";

std::string lower_extension(const std::string &path)
{
    std::string base = base_of(path);
    size_t dot = base.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return "";
    std::string ext = base.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return (char)tolower(ch); });
    return ext;
}

MediaKind media_kind(const std::string &path)
{
    std::string ext = lower_extension(path);
    for (const char *e : IMAGE_EXTS)
        if (ext == e)
            return MEDIA_IMAGE;
    for (const char *e : VIDEO_EXTS)
        if (ext == e)
            return MEDIA_VIDEO;
    return MEDIA_OTHER;
}

void require_output_name(const char *out, bool video)
{
    struct stat st;
    if (stat(out, &st) == 0 && !S_ISREG(st.st_mode))
        return; /* a folder or a device: check_output says so */
    std::string ext = lower_extension(out);
    if (video) {
        if (ext != ".mp4")
            usage_error("%s: videos are written as MP4 (H.264); give OUT the extension .mp4", out);
    } else if (media_kind(out) != MEDIA_IMAGE) {
        if (ext.empty())
            usage_error("%s has no extension; images are written as %s", out, IMAGE_FORMATS_TEXT);
        usage_error("%s: unknown image format '%s'; images are written as %s", out, ext.c_str(), IMAGE_FORMATS_TEXT);
    }
}

void set_ffmpeg_log(bool verbose)
{
    av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET);
}

/* Opens a file for reading its streams; "file:" keeps a name with a colon a
 * file name. Null on failure. */
static AVFormatContext *open_media(const char *path)
{
    AVFormatContext *fmt = NULL;
    std::string url = std::string("file:") + path;
    if (avformat_open_input(&fmt, url.c_str(), NULL, NULL) != 0)
        return NULL;
    return fmt;
}

int picture_orientation(const char *path)
{
    /* The Exif block comes before the picture data, in the first 64 KB. */
    std::vector<unsigned char> head(65536);
    FILE *f = fopen(path, "rb");
    const size_t n = f ? fread(head.data(), 1, head.size(), f) : 0;
    if (f)
        fclose(f);
    return gw_jpeg_orientation(head.data(), n);
}

bool picture_size(const char *path, int *width, int *height)
{
    AVFormatContext *fmt = open_media(path);
    bool ok = false;
    if (fmt && avformat_find_stream_info(fmt, NULL) >= 0) {
        int i = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, NULL, 0);
        if (i >= 0 && fmt->streams[i]->codecpar->width > 0 && fmt->streams[i]->codecpar->height > 0) {
            *width = fmt->streams[i]->codecpar->width;
            *height = fmt->streams[i]->codecpar->height;
            ok = true;
            /* A JPEG shown a quarter turned: the library and the ffmpeg
             * command read it turned, the stream's header gives it as stored. */
            if (picture_orientation(path) >= 5)
                std::swap(*width, *height);
        }
    }
    avformat_close_input(&fmt);
    return ok;
}

long picture_count(const char *path)
{
    AVFormatContext *fmt = open_media(path);
    long n = -1;
    for (unsigned i = 0; fmt && i < fmt->nb_streams && n < 0; i++) {
        const AVStream *st = fmt->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            n = st->nb_frames > 0 ? (long)st->nb_frames : -1;
    }
    avformat_close_input(&fmt);
    return n;
}

bool find_in_path(const char *prog)
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

bool run_ffmpeg(const std::vector<std::string> &args, bool verbose)
{
    std::vector<char *> argv;
    static char prog[] = "ffmpeg", q1[] = "-hide_banner", q2[] = "-nostdin", q3[] = "-loglevel", error[] = "error",
                quiet[] = "quiet";
    argv.push_back(prog);
    argv.push_back(q1);
    argv.push_back(q2);
    argv.push_back(q3);
    argv.push_back(verbose ? error : quiet);
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

/* One entry of the report at p ('{'): true with *b set when it has the
 * library's form {"x":..,"y":..,"w":..,"h":..,"conf":..}. */
static bool read_box(const char *p, Box *b)
{
    return sscanf(p, "{\"x\":%d,\"y\":%d,\"w\":%d,\"h\":%d,\"conf\":%lf}", &b->x, &b->y, &b->w, &b->h, &b->conf) == 5;
}

std::vector<Box> parse_boxes(const char *json)
{
    std::vector<Box> boxes;
    const char *p = json;
    while ((p = strchr(p, '{')) != NULL) {
        Box b;
        if (read_box(p, &b))
            boxes.push_back(b);
        p++;
    }
    return boxes;
}

void band_rows(int height, int top_pct, int bottom_pct, int *y0, int *y1)
{
    /* As the library turns the band into rows, in 64 bits. */
    *y0 = (int)((long long)top_pct * height / 100);
    *y1 = (int)((long long)bottom_pct * height / 100);
}

bool box_in_band(const Box &b, int y0, int y1)
{
    return b.y < y1 && b.y + b.h > y0;
}

std::string report_in_band(const char *json, int y0, int y1)
{
    std::string kept = "[";
    const char *p = json;
    while ((p = strchr(p, '{')) != NULL) {
        const char *end = strchr(p, '}');
        Box b;
        if (!end)
            break;
        if (read_box(p, &b) && box_in_band(b, y0, y1)) {
            if (kept.size() > 1)
                kept += ',';
            kept.append(p, (size_t)(end - p + 1));
        }
        p = end + 1;
    }
    return kept + "]";
}
