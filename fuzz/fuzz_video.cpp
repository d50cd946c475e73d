// The video pipeline on mutated small clips. A light callback keeps each
// input fast; it still reads and writes every byte of the picture it gets.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/platform.h"
#include "video/video.h"

static char in_path[256], out_path[256];

struct Seen {
    int w, h, frames;
};

static int invert_cb(unsigned char *rgb, int width, int height, int flush, void *user)
{
    Seen *s = (Seen *)user;
    if (flush)
        return GW_FRAME_HELD;
    if (s->frames == 0) {
        s->w = width;
        s->h = height;
    } else if (width != s->w || height != s->h) {
        __builtin_trap();  // the picture size stays the set-up size
    }
    size_t n = (size_t)width * height * 3;
    for (size_t i = 0; i < n; i++)
        rgb[i] = (unsigned char)(255 - rgb[i]);
    s->frames++;
    return s->frames > 60 ? -2 : 0;  // bound the time one input may take
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    snprintf(in_path, sizeof in_path, "/tmp/gw-fuzz-video-%d.in", (int)getpid());
    snprintf(out_path, sizeof out_path, "/tmp/gw-fuzz-video-%d.mp4", (int)getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(in_path, "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    Seen seen = {0, 0, 0};
    int32_t progress = 0, cancel = 0;
    char msg[512] = "";
    VideoHooks hooks = {&progress, &cancel};
    int rc = gw_process_video_pct(in_path, out_path, invert_cb, &seen, &hooks, msg, sizeof msg);
    if (rc != 0 && rc != -1 && rc != -2)
        __builtin_trap();
    if (rc != 0 && msg[0] == '\0')
        __builtin_trap();
    int p = gw_load_relaxed(&progress);
    if (p < 0 || p > 100)
        __builtin_trap();
    unlink(in_path);
    unlink(out_path);
    return 0;
}
