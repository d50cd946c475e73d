/* Image files: PNG, JPEG, BMP and TGA in; PNG, BMP, TGA and JPEG out. */
#ifndef GW_IMAGE_IO_H
#define GW_IMAGE_IO_H

#include <stddef.h>

/* Pictures of more pixels are refused from their header, before decoding. */
#define GW_IMAGE_MAX_PIXELS 100000000

/* Loads a regular file in one of the four formats as RGB24 (alpha dropped,
 * grey expanded). The caller frees the buffer. Null on failure, with
 *   "not a regular file: <path>"
 *   "unsupported image format: <path> (PNG, JPEG, BMP and TGA are read)"
 *   "picture too large: <w>x<h> (limit 100 megapixels)"
 *   "stbi_load failed: <path> (stbi: <reason>)" */
unsigned char *gw_load_image(const char *path, int *width, int *height, char *msg, size_t msg_size);

/* Width and height from the header of a regular file in one of the four
 * formats, checked as gw_load_image checks it (height positive, at most 100
 * megapixels); 0, or -1. Decodes no pixels. */
int gw_image_info(const char *path, int *width, int *height);

/* Saves RGB24 by the extension of path: ".png", ".bmp", ".tga", else JPEG
 * quality 95, through a temporary file beside path that replaces it only
 * once complete. -1 with "save failed: <path> (<reason>)" on failure, path
 * then untouched. */
int gw_save_image(const char *path, const unsigned char *rgb, int width, int height, char *msg, size_t msg_size);

#endif /* GW_IMAGE_IO_H */
