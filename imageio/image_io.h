/* Image files: any format stb_image reads in, PNG/BMP/TGA/JPEG out. */
#ifndef GW_IMAGE_IO_H
#define GW_IMAGE_IO_H

#include <stddef.h>

/* Loads path as RGB24 (alpha dropped, grey expanded). The caller frees the
 * buffer. Null on failure with "stbi_load failed: <path> (stbi: <reason>)". */
unsigned char *gw_load_image(const char *path, int *width, int *height, char *msg, size_t msg_size);

/* Saves RGB24 by the extension of path: ".png", ".bmp", ".tga", else JPEG
 * quality 95. -1 with "save failed: <path>" on failure. */
int gw_save_image(const char *path, const unsigned char *rgb, int width, int height, char *msg, size_t msg_size);

#endif /* GW_IMAGE_IO_H */
