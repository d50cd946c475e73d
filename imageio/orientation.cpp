// EXIF orientation of JPEG files: read from the APP1 segment, applied to the
// decoded picture so that detection and output see it upright.
#include <stdlib.h>
#include <string.h>

#include "image_io.h"

/* Bounds-checked reads of the TIFF structure inside the Exif segment. */
typedef struct Tiff {
    const unsigned char *d;
    size_t n;
    int big_endian;
} Tiff;

static int u16(const Tiff *t, size_t at, unsigned *v)
{
    if (at > t->n || t->n - at < 2)
        return 0;
    *v = t->big_endian ? (unsigned)t->d[at] << 8 | t->d[at + 1] : (unsigned)t->d[at + 1] << 8 | t->d[at];
    return 1;
}

static int u32(const Tiff *t, size_t at, unsigned long *v)
{
    unsigned hi, lo;
    if (!u16(t, at, t->big_endian ? &hi : &lo) || !u16(t, at + 2, t->big_endian ? &lo : &hi))
        return 0;
    *v = (unsigned long)hi << 16 | lo;
    return 1;
}

/* The orientation tag (0x0112, a SHORT) of IFD0 in a TIFF block; 1 when absent. */
static int tiff_orientation(const Tiff *t)
{
    unsigned magic, count, tag, type, value;
    unsigned long ifd;
    if (!u16(t, 2, &magic) || magic != 42 || !u32(t, 4, &ifd) || !u16(t, ifd, &count))
        return 1;
    for (unsigned i = 0; i < count; i++) {
        const size_t e = ifd + 2 + (size_t)i * 12;
        if (!u16(t, e, &tag) || !u16(t, e + 2, &type))
            return 1;
        if (tag == 0x0112)
            return type == 3 && u16(t, e + 8, &value) && value >= 1 && value <= 8 ? (int)value : 1;
    }
    return 1;
}

int gw_jpeg_orientation(const unsigned char *d, size_t n)
{
    size_t p = 2;
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return 1;
    /* Marker segments up to the first scan; the Exif block is an APP1. */
    while (p + 4 <= n && d[p] == 0xFF) {
        const unsigned marker = d[p + 1];
        const size_t len = (size_t)d[p + 2] << 8 | d[p + 3];
        if (marker == 0xDA || marker == 0xD9 || len < 2 || len > n - p - 2)
            break;
        if (marker == 0xE1 && len >= 16 && memcmp(d + p + 4, "Exif\0\0", 6) == 0) {
            Tiff t = {d + p + 10, len - 8, 0};
            if (memcmp(t.d, "MM", 2) == 0)
                t.big_endian = 1;
            else if (memcmp(t.d, "II", 2) != 0)
                return 1;
            return tiff_orientation(&t);
        }
        p += 2 + len;
    }
    return 1;
}

unsigned char *gw_orient(const unsigned char *px, int chans, int w, int h, int orientation, int *out_w, int *out_h)
{
    const int swap = orientation >= 5;
    const int ow = swap ? h : w, oh = swap ? w : h;
    unsigned char *out = (unsigned char *)malloc((size_t)w * h * chans);
    if (!out)
        return NULL;
    for (int y = 0; y < oh; y++)
        for (int x = 0; x < ow; x++) {
            int sx = x, sy = y;  /* the stored pixel shown at (x, y) */
            switch (orientation) {
            case 2: sx = w - 1 - x; break;
            case 3: sx = w - 1 - x; sy = h - 1 - y; break;
            case 4: sy = h - 1 - y; break;
            case 5: sx = y; sy = x; break;
            case 6: sx = y; sy = h - 1 - x; break;
            case 7: sx = w - 1 - y; sy = h - 1 - x; break;
            case 8: sx = w - 1 - y; sy = x; break;
            default: break;
            }
            memcpy(out + ((size_t)y * ow + x) * chans, px + ((size_t)sy * w + sx) * chans, (size_t)chans);
        }
    *out_w = ow;
    *out_h = oh;
    return out;
}
