// Image files through stb_image (PNG, JPEG, BMP, TGA in) and stb_image_write
// (PNG, BMP, TGA, JPEG out), both compiled with the library's settings in
// imageio/stb_impl.cpp.
#include "image_io.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "stb_image.h"
#include "stb_image_write.h"

/* The formats read, by their first bytes; TGA has no signature. */
enum { FMT_OTHER, FMT_PNG, FMT_JPEG, FMT_BMP };

static int sniff(const unsigned char *b, size_t n)
{
    if (n >= 8 && memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0)
        return FMT_PNG;
    size_t i = 0;
    while (i < n && b[i] == 0xFF)  /* stb takes fill bytes before the start marker */
        i++;
    if (i > 0 && i < n && b[i] == 0xD8)
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

/* ---- JPEG Huffman tables ------------------------------------------------------
 * The stb_image of this build trusts the code counts of a Huffman table
 * (DHT): more than 256 codes in one table write past the decoder's tables.
 * Every table the decoder would read is checked first, walking the file as
 * its parser does: marker segments by their lengths, then, after each scan
 * header, the entropy-coded data up to the next marker (a 0xFF followed by
 * fill bytes and anything but 0x00; restart markers belong to the data). The
 * walk may look at more than the decoder would (it goes on where the decoder
 * gives up), never at less. */

typedef struct Bytes {
    const unsigned char *d;
    size_t n;
} Bytes;

static unsigned at(const Bytes *b, size_t i) { return i < b->n ? b->d[i] : 0; }  /* 0 past the end, as stb reads */
static unsigned be16(const Bytes *b, size_t i) { return at(b, i) << 8 | at(b, i + 1); }

/* The marker at *p when one starts there (0xFF, fill bytes, the code), *p
 * then past it; 0 when none does. */
static unsigned marker_here(const Bytes *b, size_t *p)
{
    size_t i = *p;
    if (at(b, i) != 0xFF)
        return 0;
    while (i < b->n && at(b, i) == 0xFF)
        i++;
    *p = i + 1;
    return at(b, i);
}

/* The first marker of the entropy-coded data from *p on, *p past it; 0 at the end. */
static unsigned marker_after_scan(const Bytes *b, size_t *p)
{
    for (size_t i = *p; i < b->n; i++) {
        if (b->d[i] != 0xFF)
            continue;
        size_t j = i;
        unsigned m = marker_here(b, &j);
        if (m == 0x00 || (m >= 0xD0 && m <= 0xD7)) {
            i = j - 1;  /* a stuffed 0xFF or a restart marker: still data */
            continue;
        }
        *p = j;
        return m;
    }
    *p = b->n;
    return 0;
}

/* A DHT segment at p (its length first); 0 when a table holds more than 256
 * codes, 1 otherwise (also when the decoder would refuse the segment). */
static int huffman_segment_ok(const Bytes *b, size_t p)
{
    long left = (long)be16(b, p) - 2;
    for (p += 2; left > 0 && p < b->n;) {
        const unsigned q = at(b, p);
        if ((q >> 4) > 1 || (q & 15) > 3)
            return 1;  /* refused by the decoder before any table is built */
        unsigned codes = 0;
        for (int i = 1; i <= 16; i++)
            codes += at(b, p + (size_t)i);
        if (codes > 256)
            return 0;
        p += 17 + codes;
        left -= 17 + (long)codes;
    }
    return 1;
}

static int jpeg_tables_ok(const unsigned char *data, size_t size)
{
    const Bytes b = {data, size};
    size_t p = 0;
    int in_frame = 0;
    if (marker_here(&b, &p) != 0xD8)
        return 1;  /* no start marker: the decoder does not take it as a JPEG */
    unsigned m = marker_here(&b, &p);
    while (p < size) {
        if (m == 0) {
            if (in_frame)
                return 1;  /* the decoder stops at a missing marker */
            m = marker_here(&b, &p);  /* before the frame it scans on */
            if (m == 0)
                p++;
            continue;
        }
        if (m == 0xD9)  /* end of image */
            return 1;
        const size_t len = be16(&b, p);
        if (m == 0xC4) {
            if (!huffman_segment_ok(&b, p))
                return 0;
        } else if (m == 0xC0 || m == 0xC1 || m == 0xC2) {
            in_frame = 1;
        } else if (m == 0xDA) {
            if (!in_frame)
                return 1;
            p += len;
            m = marker_after_scan(&b, &p);
            continue;
        } else if (!(m == 0xDB || m == 0xDD || m == 0xDC || m == 0xFE || (m >= 0xE0 && m <= 0xEF))) {
            return 1;  /* a marker the decoder refuses: it stops there */
        }
        if (len < 2)
            return 1;
        p += len;
        m = marker_here(&b, &p);
    }
    return 1;
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

/* Opens path and reads its header: *iw x *rows pixels, within the limit.
 * For a JPEG the whole file is read here (its tables are checked before stb
 * looks at them, and the header reader builds them too) and left in *data;
 * other formats are read from the FILE, which is returned open in *fp for
 * reading whole (a file of another kind, or one that claims too many pixels,
 * is then refused after its first bytes). 0, or -1 with msg set and nothing
 * left open. */
static int read_header(const char *path, FILE **fp, int *iw, long long *rows, int *channels, unsigned char **data,
                       long *size, char *msg, size_t msg_size)
{
    unsigned char head[32];
    int ih = 0, ic = 0, not_regular = 0, info_ok = 0;
    FILE *f = gw_open_regular(path, &not_regular);
    *data = NULL;
    *size = -1;
    if (!f) {
        if (not_regular)
            snprintf(msg, msg_size, "not a regular file: %s", path);
        else
            snprintf(msg, msg_size, "stbi_load failed: %s (stbi: can't fopen)", path);
        return -1;
    }
    const size_t got = fread(head, 1, sizeof head, f);
    const int fmt = sniff(head, got);
    /* Whatever starts with 0xFF may be a JPEG to stb (any number of fill
     * bytes may come before its start marker). */
    if (got > 0 && head[0] == 0xFF) {
        if (fseek(f, 0, SEEK_SET) == 0)
            *data = read_whole_file(f, size);
        if (*data && !jpeg_tables_ok(*data, (size_t)*size)) {
            free(*data);
            fclose(f);
            snprintf(msg, msg_size, "stbi_load failed: %s (stbi: bad DHT header)", path);
            return -1;
        }
        info_ok = *data && stbi_info_from_memory(*data, (int)*size, iw, &ih, &ic);
    } else {
        info_ok = fseek(f, 0, SEEK_SET) == 0 && stbi_info_from_file(f, iw, &ih, &ic);
    }
    if (!info_ok) {
        free(*data);
        fclose(f);
        /* stb refuses a PNG header whose picture needs over 1 GB; the size
         * is in the first chunk, which is always the header chunk. */
        const long long pw = png_header_side(head, got, 16), ph = png_header_side(head, got, 20);
        if (fmt == FMT_PNG && pw > 0 && ph > 0 && (pw > GW_IMAGE_MAX_PIXELS || ph > GW_IMAGE_MAX_PIXELS / pw))
            snprintf(msg, msg_size, "picture too large: %lldx%lld (limit %d megapixels)", pw, ph,
                     GW_IMAGE_MAX_PIXELS / 1000000);
        else if (fmt == FMT_OTHER)
            snprintf(msg, msg_size, "unsupported image format: %s (PNG, JPEG, BMP and TGA are read)", path);
        else
            snprintf(msg, msg_size, "stbi_load failed: %s (stbi: corrupt %s header)", path, format_name(fmt));
        return -1;
    }
    /* A top-down BMP gives its height as a negative number. */
    *rows = ih < 0 ? -(long long)ih : ih;
    if (*iw < 0 || (long long)*iw * *rows > GW_IMAGE_MAX_PIXELS) {
        free(*data);
        fclose(f);
        snprintf(msg, msg_size, "picture too large: %dx%lld (limit %d megapixels)", *iw, *rows,
                 GW_IMAGE_MAX_PIXELS / 1000000);
        return -1;
    }
    *channels = ic;
    *fp = f;
    return 0;
}

int gw_image_info(const char *path, int *width, int *height)
{
    char msg[64];
    FILE *f = NULL;
    unsigned char *data = NULL;
    long size = -1;
    long long rows = 0;
    int channels = 0;
    if (read_header(path, &f, width, &rows, &channels, &data, &size, msg, sizeof msg) != 0)
        return -1;
    free(data);
    fclose(f);
    *height = (int)rows;
    return 0;
}

/* Splits RGBA into the RGB24 picture (in place, in the front of the block)
 * and a new alpha plane; null without memory. */
static unsigned char *split_alpha(unsigned char *rgba, size_t pixels)
{
    unsigned char *alpha = (unsigned char *)malloc(pixels ? pixels : 1);
    if (!alpha)
        return NULL;
    for (size_t i = 0; i < pixels; i++) {
        alpha[i] = rgba[i * 4 + 3];
        memmove(rgba + i * 3, rgba + i * 4, 3);
    }
    return alpha;
}

/* Turns the picture (and its alpha plane) upright for a JPEG's EXIF
 * orientation. 0, or -1 without memory (*rgb and *alpha then freed). */
static int upright(unsigned char **rgb, unsigned char **alpha, int *w, int *h, int orientation)
{
    int ow = 0, oh = 0;
    if (orientation <= 1)
        return 0;
    unsigned char *r = gw_orient(*rgb, 3, *w, *h, orientation, &ow, &oh);
    unsigned char *a = *alpha ? gw_orient(*alpha, 1, *w, *h, orientation, &ow, &oh) : NULL;
    const int failed = !r || (*alpha && !a);
    free(*rgb);
    free(*alpha);
    if (failed) {
        free(r);
        free(a);
        r = a = NULL;
    }
    *rgb = r;
    *alpha = a;
    *w = ow;
    *h = oh;
    return failed ? -1 : 0;
}

unsigned char *gw_load_picture(const char *path, int *width, int *height, unsigned char **alpha_out, char *msg,
                               size_t msg_size)
{
    int iw = 0, w = 0, h = 0, channels = 0, stored = 0;
    long long rows = 0;
    long size = -1;
    unsigned char *data = NULL, *rgb = NULL, *alpha = NULL;
    FILE *f = NULL;

    if (alpha_out)
        *alpha_out = NULL;
    if (read_header(path, &f, &iw, &rows, &stored, &data, &size, msg, msg_size) != 0)
        return NULL;
    /* Decoded from memory: a header that claims far more rows than the file
     * holds makes the decoder read on past the end once per row, which from
     * memory costs nothing and from a FILE took a minute for a 118-byte BMP
     * claiming 16777216 rows. */
    if (!data)
        data = read_whole_file(f, &size);
    fclose(f);
    if (!data) {
        snprintf(msg, msg_size, "stbi_load failed: %s (stbi: %s)", path,
                 size < 0 ? "file too large or unreadable" : "out of memory");
        return NULL;
    }
    const int keep_alpha = alpha_out && (stored == 2 || stored == 4);
    const int orientation = gw_jpeg_orientation(data, (size_t)size);
    rgb = stbi_load_from_memory(data, (int)size, &w, &h, &channels, keep_alpha ? 4 : 3);
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
    if ((keep_alpha && !(alpha = split_alpha(rgb, (size_t)w * h))) || upright(&rgb, &alpha, &w, &h, orientation)) {
        free(rgb);
        snprintf(msg, msg_size, "stbi_load failed: %s (stbi: out of memory)", path);
        return NULL;
    }
    *width = w;
    *height = h;
    if (alpha_out)
        *alpha_out = alpha;
    return rgb;
}

unsigned char *gw_load_image(const char *path, int *width, int *height, char *msg, size_t msg_size)
{
    return gw_load_picture(path, width, height, NULL, msg, msg_size);
}

/* stb_image_write's output goes through this: every byte checked. */
static void write_out(void *context, void *data, int size)
{
    if (size > 0)
        (void)gw_out_write((GwOutFile *)context, data, (size_t)size);
}

/* The extension of path (from its last '.') when it is ext, in any case. */
static int has_extension(const char *path, const char *ext)
{
    const char *dot = strrchr(path, '.');
    if (!dot || strlen(dot) != strlen(ext))
        return 0;
    for (size_t i = 0; dot[i]; i++)
        if (tolower((unsigned char)dot[i]) != ext[i])
            return 0;
    return 1;
}

/* RGB24 and an alpha plane as one RGBA block; null without memory. */
static unsigned char *join_alpha(const unsigned char *rgb, const unsigned char *alpha, size_t pixels)
{
    unsigned char *rgba = (unsigned char *)malloc(pixels > 0 ? pixels * 4 : 1);
    for (size_t i = 0; rgba && i < pixels; i++) {
        memcpy(rgba + i * 4, rgb + i * 3, 3);
        rgba[i * 4 + 3] = alpha[i];
    }
    return rgba;
}

int gw_save_picture(const char *path, const unsigned char *rgb, const unsigned char *alpha, int width, int height,
                    char *msg, size_t msg_size)
{
    const int png = has_extension(path, ".png"), tga = has_extension(path, ".tga");
    unsigned char *rgba = NULL;
    GwOutFile out;
    int ok;

    if (alpha && (png || tga) && !(rgba = join_alpha(rgb, alpha, (size_t)width * height))) {
        snprintf(msg, msg_size, "save failed: %s (out of memory)", path);
        return -1;
    }
    if (gw_out_open(&out, path) != 0) {
        free(rgba);
        snprintf(msg, msg_size, "save failed: %s (%s)", path, gw_out_strerror(out.error));
        return -1;
    }
    const int comp = rgba ? 4 : 3;
    const unsigned char *px = rgba ? rgba : rgb;
    if (png)
        ok = stbi_write_png_to_func(write_out, &out, width, height, comp, px, width * comp);
    else if (has_extension(path, ".bmp"))
        ok = stbi_write_bmp_to_func(write_out, &out, width, height, 3, rgb);
    else if (tga)
        ok = stbi_write_tga_to_func(write_out, &out, width, height, comp, px);
    else
        ok = stbi_write_jpg_to_func(write_out, &out, width, height, 3, rgb, 95);
    free(rgba);
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

int gw_save_image(const char *path, const unsigned char *rgb, int width, int height, char *msg, size_t msg_size)
{
    return gw_save_picture(path, rgb, NULL, width, height, msg, msg_size);
}
