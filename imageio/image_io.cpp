// Image files through stb_image (any format in) and stb_image_write (out).
#include "image_io.h"

#include <stdio.h>
#include <string.h>

#include "stb_image.h"
#include "stb_image_write.h"

unsigned char *gw_load_image(const char *path, int *width, int *height, char *msg, size_t msg_size)
{
    int w = 0, h = 0, channels = 0;
    unsigned char *rgb = stbi_load(path, &w, &h, &channels, 3);
    if (!rgb) {
        const char *why = stbi_failure_reason();
        snprintf(msg, msg_size, "stbi_load failed: %s (stbi: %s)", path, why ? why : "unknown");
        return NULL;
    }
    *width = w;
    *height = h;
    return rgb;
}

int gw_save_image(const char *path, const unsigned char *rgb, int width, int height, char *msg, size_t msg_size)
{
    /* The extension is the text from the last '.' of the whole path, matched
     * exactly; everything else is written as JPEG. */
    const char *dot = strrchr(path, '.');
    int ok;
    if (dot && strcmp(dot, ".png") == 0)
        ok = stbi_write_png(path, width, height, 3, rgb, width * 3);
    else if (dot && strcmp(dot, ".bmp") == 0)
        ok = stbi_write_bmp(path, width, height, 3, rgb);
    else if (dot && strcmp(dot, ".tga") == 0)
        ok = stbi_write_tga(path, width, height, 3, rgb);
    else
        ok = stbi_write_jpg(path, width, height, 3, rgb, 95);
    if (!ok) {
        snprintf(msg, msg_size, "save failed: %s", path);
        return -1;
    }
    return 0;
}
