/* Image files: PNG, JPEG, BMP and TGA in; PNG, BMP, TGA and JPEG out. */
#ifndef GW_IMAGE_IO_H
#define GW_IMAGE_IO_H

#include <stddef.h>

/* Pictures of more pixels are refused from their header, before decoding. */
#define GW_IMAGE_MAX_PIXELS 100000000

/* Loads a regular file in one of the four formats as RGB24 (grey expanded,
 * 16-bit samples cut to 8, a JPEG turned upright by its EXIF orientation);
 * with alpha non-null, the alpha channel of a picture that has one goes to
 * *alpha as a width x height plane (else *alpha is null). The caller frees
 * both. Null on failure, with
 *   "not a regular file: <path>"
 *   "unsupported image format: <path> (PNG, JPEG, BMP and TGA are read)"
 *   "picture too large: <w>x<h> (limit 100 megapixels)"
 *   "stbi_load failed: <path> (stbi: <reason>)" */
unsigned char *gw_load_picture(const char *path, int *width, int *height, unsigned char **alpha, char *msg,
                               size_t msg_size);

/* gw_load_picture without the alpha channel. */
unsigned char *gw_load_image(const char *path, int *width, int *height, char *msg, size_t msg_size);

/* Width and height from the header of a regular file in one of the four
 * formats, checked as gw_load_image checks it (height positive, at most 100
 * megapixels); 0, or -1. Decodes no pixels. */
int gw_image_info(const char *path, int *width, int *height);

/* Saves RGB24 by the extension of path, in any case: ".png", ".bmp", ".tga",
 * else JPEG quality 95, through a temporary file beside path that replaces it
 * only once complete. A PNG or TGA carries the alpha plane when there is one
 * (BMP and JPEG have none). -1 with "save failed: <path> (<reason>)" on
 * failure, path then untouched. */
int gw_save_picture(const char *path, const unsigned char *rgb, const unsigned char *alpha, int width, int height,
                    char *msg, size_t msg_size);

/* gw_save_picture without alpha. */
int gw_save_image(const char *path, const unsigned char *rgb, int width, int height, char *msg, size_t msg_size);

/* EXIF orientation (1..8) of a JPEG file's bytes; 1 when it has none or it
 * cannot be read. */
int gw_jpeg_orientation(const unsigned char *data, size_t size);

/* A new picture of chans bytes per pixel: px (w x h) as shown for an EXIF
 * orientation, *out_w x *out_h (sides swapped for 5..8). Null without memory. */
unsigned char *gw_orient(const unsigned char *px, int chans, int w, int h, int orientation, int *out_w, int *out_h);

#endif /* GW_IMAGE_IO_H */
