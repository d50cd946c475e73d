// Image files through stb_image (any format in) and stb_image_write (out).
#include "image_io.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "stb_image.h"
#include "stb_image_write.h"

/* The whole file in one heap block; null when it cannot be read whole or is
 * too large for the decoder's int length (*size is then -1). */
static unsigned char *read_whole_file(FILE *f, long *size)
{
    unsigned char *data = NULL;
    *size = -1;
    if (fseek(f, 0, SEEK_END) != 0 || (*size = ftell(f)) < 0 || *size > INT_MAX || fseek(f, 0, SEEK_SET) != 0) {
        *size = -1;
        return NULL;
    }
    data = (unsigned char *)malloc(*size > 0 ? (size_t)*size : 1);
    if (data && fread(data, 1, (size_t)*size, f) != (size_t)*size) {
        free(data);
        data = NULL;
    }
    return data;
}

unsigned char *gw_load_image(const char *path, int *width, int *height, char *msg, size_t msg_size)
{
    int w = 0, h = 0, channels = 0;
    unsigned char *rgb = NULL, *data = NULL;
    long size = -1;
    FILE *f = fopen(path, "rb");

    /* Decoded from memory: a header that claims far more rows than the file
     * holds makes the decoder read on past the end once per row, which from
     * memory costs nothing and from a FILE took a minute for a 118-byte BMP
     * claiming 16777216 rows. A file that cannot be read whole falls back to
     * the decoder's own reading. */
    if (f) {
        /* Only a file whose header reads as an image is taken in whole, so a
         * large file of another kind is refused after its first bytes. */
        int iw = 0, ih = 0, ic = 0;
        if (stbi_info_from_file(f, &iw, &ih, &ic))
            data = read_whole_file(f, &size);
        fclose(f);
    }
    if (data)
        rgb = stbi_load_from_memory(data, (int)size, &w, &h, &channels, 3);
    else
        rgb = stbi_load(path, &w, &h, &channels, 3);
    free(data);
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
