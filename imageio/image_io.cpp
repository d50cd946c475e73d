// Image files through stb_image (PNG, JPEG, BMP, TGA in) and stb_image_write
// (PNG, BMP, TGA, JPEG out), both compiled with the library's settings in
// imageio/stb_impl.cpp.
#include "image_io.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/platform.h"
#include "stb_image.h"
#include "stb_image_write.h"

/* The formats read, by their first bytes; TGA has no signature. */
enum { FMT_OTHER, FMT_PNG, FMT_JPEG, FMT_BMP };

static int sniff(const unsigned char *b, size_t n)
{
    if (n >= 8 && memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0)
        return FMT_PNG;
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xD8)
        return FMT_JPEG;
    if (n >= 2 && b[0] == 'B' && b[1] == 'M')
        return FMT_BMP;
    return FMT_OTHER;
}

/* Width (at 16) or height (at 20) in the header chunk of a PNG; 0 when the
 * first chunk is not the header chunk. */
static long long png_header_side(const unsigned char *b, size_t n, size_t at)
{
    if (n < 24 || memcmp(b + 12, "IHDR", 4) != 0)
        return 0;
    return (long long)b[at] << 24 | (long long)b[at + 1] << 16 | (long long)b[at + 2] << 8 | (long long)b[at + 3];
}

static const char *format_name(int fmt)
{
    return fmt == FMT_PNG ? "PNG" : fmt == FMT_JPEG ? "JPEG" : "BMP";
}

/* The whole file in one heap block; null when it cannot be read whole or is
 * too large for the decoder's int length. */
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

int gw_image_info(const char *path, int *width, int *height)
{
    int not_regular = 0, c = 0;
    FILE *f = gw_open_regular(path, &not_regular);
    if (!f)
        return -1;
    int ok = stbi_info_from_file(f, width, height, &c);
    fclose(f);
    return ok ? 0 : -1;
}

unsigned char *gw_load_image(const char *path, int *width, int *height, char *msg, size_t msg_size)
{
    unsigned char head[32];
    int iw = 0, ih = 0, ic = 0, w = 0, h = 0, channels = 0, not_regular = 0;
    long size = -1;
    unsigned char *data = NULL, *rgb = NULL;

    FILE *f = gw_open_regular(path, &not_regular);
    if (!f) {
        if (not_regular)
            snprintf(msg, msg_size, "not a regular file: %s", path);
        else
            snprintf(msg, msg_size, "stbi_load failed: %s (stbi: can't fopen)", path);
        return NULL;
    }
    const size_t got = fread(head, 1, sizeof head, f);
    const int fmt = sniff(head, got);
    /* The header is read first, so that a file of another kind, or one that
     * claims too many pixels, is refused after its first bytes. */
    if (fseek(f, 0, SEEK_SET) != 0 || !stbi_info_from_file(f, &iw, &ih, &ic)) {
        fclose(f);
        /* stb refuses a PNG header whose picture needs over 1 GB; the size
         * is in the first chunk, which is always the header chunk. */
        const long long pw = png_header_side(head, got, 16), ph = png_header_side(head, got, 20);
        if (fmt == FMT_PNG && pw * ph > GW_IMAGE_MAX_PIXELS)
            snprintf(msg, msg_size, "picture too large: %lldx%lld (limit %d megapixels)", pw, ph,
                     GW_IMAGE_MAX_PIXELS / 1000000);
        else if (fmt == FMT_OTHER)
            snprintf(msg, msg_size, "unsupported image format: %s (PNG, JPEG, BMP and TGA are read)", path);
        else
            snprintf(msg, msg_size, "stbi_load failed: %s (stbi: corrupt %s header)", path, format_name(fmt));
        return NULL;
    }
    /* A top-down BMP gives its height as a negative number. */
    const long long rows = ih < 0 ? -(long long)ih : ih;
    if (iw < 0 || (long long)iw * rows > GW_IMAGE_MAX_PIXELS) {
        fclose(f);
        snprintf(msg, msg_size, "picture too large: %dx%lld (limit %d megapixels)", iw, rows,
                 GW_IMAGE_MAX_PIXELS / 1000000);
        return NULL;
    }
    /* Decoded from memory: a header that claims far more rows than the file
     * holds makes the decoder read on past the end once per row, which from
     * memory costs nothing and from a FILE took a minute for a 118-byte BMP
     * claiming 16777216 rows. */
    data = read_whole_file(f, &size);
    fclose(f);
    if (!data) {
        snprintf(msg, msg_size, "stbi_load failed: %s (stbi: %s)", path,
                 size < 0 ? "file too large or unreadable" : "out of memory");
        return NULL;
    }
    rgb = stbi_load_from_memory(data, (int)size, &w, &h, &channels, 3);
    free(data);
    if (!rgb) {
        const char *why = stbi_failure_reason();
        snprintf(msg, msg_size, "stbi_load failed: %s (stbi: %s)", path, why ? why : "unknown");
        return NULL;
    }
    if (w != iw || h != rows) {
        stbi_image_free(rgb);
        snprintf(msg, msg_size, "stbi_load failed: %s (stbi: decoded %dx%d, header says %dx%lld)", path, w, h, iw,
                 rows);
        return NULL;
    }
    *width = w;
    *height = h;
    return rgb;
}

/* stb_image_write's output goes through this: every byte checked. */
static void write_out(void *context, void *data, int size)
{
    if (size > 0)
        (void)gw_out_write((GwOutFile *)context, data, (size_t)size);
}

int gw_save_image(const char *path, const unsigned char *rgb, int width, int height, char *msg, size_t msg_size)
{
    /* The extension is the text from the last '.' of the whole path, matched
     * exactly; everything else is written as JPEG. */
    const char *dot = strrchr(path, '.');
    GwOutFile out;
    int ok;

    if (gw_out_open(&out, path) != 0) {
        snprintf(msg, msg_size, "save failed: %s (%s)", path, gw_out_strerror(out.error));
        return -1;
    }
    if (dot && strcmp(dot, ".png") == 0)
        ok = stbi_write_png_to_func(write_out, &out, width, height, 3, rgb, width * 3);
    else if (dot && strcmp(dot, ".bmp") == 0)
        ok = stbi_write_bmp_to_func(write_out, &out, width, height, 3, rgb);
    else if (dot && strcmp(dot, ".tga") == 0)
        ok = stbi_write_tga_to_func(write_out, &out, width, height, 3, rgb);
    else
        ok = stbi_write_jpg_to_func(write_out, &out, width, height, 3, rgb, 95);
    if (!ok) {
        gw_out_discard(&out);
        snprintf(msg, msg_size, "save failed: %s (the encoder failed)", path);
        return -1;
    }
    if (gw_out_commit(&out) != 0) {
        snprintf(msg, msg_size, "save failed: %s (%s)", path, gw_out_strerror(out.error));
        return -1;
    }
    return 0;
}
