// Placeholder until the video pipeline lands.
#include "video.h"

#include "core/gw_core.h"

int gw_process_video_pct(const char *in_path, const char *out_path, FrameCallback cb, void *user)
{
    (void)in_path;
    (void)out_path;
    (void)cb;
    (void)user;
    gw_set_error("video not available");
    return -1;
}
