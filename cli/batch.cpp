// The batch command: every image and video of a folder cleaned into another
// folder with one start of the models, one line per file, and a summary.
#include "cli.h"
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "glyphwipe.h"

typedef struct BatchFile {
    std::string name;  /* as in IN_DIR */
    std::string in, out;
    bool video;
} BatchFile;

/* The images and videos of IN_DIR by name, subfolders and hidden files left
 * out, each with its output: images keep their name (and format), videos
 * become NAME.mp4. */
static bool list_media(const std::string &in_dir, const std::string &out_dir, std::vector<BatchFile> *files)
{
    DIR *d = opendir(in_dir.c_str());
    if (!d) {
        fail("cannot read %s: %s", in_dir.c_str(), strerror(errno));
        return false;
    }
    for (struct dirent *e; (e = readdir(d)) != NULL;) {
        BatchFile f;
        f.name = e->d_name;
        MediaKind kind = media_kind(f.name);
        if (f.name[0] == '.' || kind == MEDIA_OTHER)
            continue;
        f.in = join(in_dir, f.name);
        if (is_dir(f.in))
            continue;
        f.video = kind == MEDIA_VIDEO;
        f.out = join(out_dir, f.video ? f.name.substr(0, f.name.rfind('.')) + ".mp4" : f.name);
        files->push_back(f);
    }
    closedir(d);
    std::sort(files->begin(), files->end(), [](const BatchFile &a, const BatchFile &b) { return a.name < b.name; });
    return true;
}

static bool same_folder(const std::string &a, const std::string &b) { return gw_same_file(a.c_str(), b.c_str()) != 0; }

int cmd_batch(const Cli *c)
{
    if (c->args.size() != 3)
        usage_error("batch takes IN_DIR and OUT_DIR");
    const std::string in_dir = c->args[1], out_dir = c->args[2];
    if (!is_dir(in_dir)) {
        struct stat st;
        fail("cannot read %s: %s", in_dir.c_str(), strerror(stat(in_dir.c_str(), &st) == 0 ? ENOTDIR : errno));
        return EXIT_FAIL;
    }
    if (same_folder(in_dir, out_dir))
        usage_error("OUT_DIR %s is IN_DIR: give another folder for the cleaned files", out_dir.c_str());
    std::vector<BatchFile> files;
    if (!list_media(in_dir, out_dir, &files))
        return EXIT_FAIL;
    if (files.empty()) {
        fail("no images or videos in %s", in_dir.c_str());
        return EXIT_FAIL;
    }
    if (!make_dirs(out_dir))
        return EXIT_FAIL;

    const double t0 = now_s();
    bool started = false;
    int cleaned = 0, skipped = 0;
    std::vector<std::string> failed;
    std::set<std::string> outputs;
    for (size_t i = 0; i < files.size(); i++) {
        const BatchFile &f = files[i];
        const char *in = f.in.c_str(), *out = f.out.c_str();
        char prefix[48];
        snprintf(prefix, sizeof prefix, "[%zu/%zu] ", i + 1, files.size());
        if (!outputs.insert(f.out).second) { /* a.mov after a.mkv: both would be a.mp4 */
            fail("%s%s: not cleaned: %s is the output of another file", prefix, f.name.c_str(), out);
            failed.push_back(f.name);
            continue;
        }
        struct stat st;
        if (!c->force && stat(out, &st) == 0) {
            skipped++;
            if (!c->quiet)
                fprintf(stderr, "glyphwipe: %sskipped %s: %s exists (--force replaces it)\n", prefix, in, out);
            continue;
        }
        if (!check_input(in) || !check_output(in, out, c->force)) {
            failed.push_back(f.name);
            continue;
        }
        if (!started && !engine_start(c, NULL))
            return EXIT_FAIL;
        started = true;
        if (g_signal)
            return interrupted_exit();

        Cli file_cli = *c;
        std::string label = prefix + f.name;
        file_cli.label = label.c_str();
        double secs = 0;
        int status = write_output(in, out, &file_cli, c->force, f.video ? run_video_call : run_image_call, &secs);
        if (status == INTERRUPTED)
            return interrupted_exit();
        if (status != EXIT_OK) {
            failed.push_back(f.name);
            continue;
        }
        cleaned++;
        report_written(c, prefix, out, f.video, secs);
    }
    if (started)
        glyphwipe_cleanup();

    if (failed.empty()) {
        if (!c->quiet)
            fprintf(stderr, "glyphwipe: batch done: %d cleaned, %d skipped, in %.1f s\n", cleaned, skipped,
                    now_s() - t0);
        return EXIT_OK;
    }
    std::string names;
    for (const std::string &n : failed)
        names += (names.empty() ? "" : ", ") + n;
    fail("batch: %zu of %zu files failed (%s); %d cleaned, %d skipped", failed.size(), files.size(), names.c_str(),
         cleaned, skipped);
    return EXIT_FAIL;
}
