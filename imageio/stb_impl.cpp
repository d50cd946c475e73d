// The stb decoders and encoders, compiled here with the library's own
// settings rather than taken prebuilt.
//
// Only the four formats whose decoders this library stands behind are
// compiled in (image_io.cpp refuses every other file as an unsupported
// format). Every allocation of the decoder starts zero-filled, and this file
// is compiled with automatic variables zero-initialised (CMakeLists.txt), so
// a decoder that leaves part of a picture unwritten (a truncated file, a
// palette index past the palette) yields zeros there, never earlier contents
// of memory. Signed arithmetic wraps (-fwrapv): corrupt files overflow the
// decoders' sums, which must not let the compiler assume otherwise. Under
// UndefinedBehaviorSanitizer this file is exempt from the shift checks only:
// the JPEG writer shifts signed bit buffers past the sign bit, and a corrupt
// JPEG makes the decoder shift by more than 31; every other check stays (it
// found the Huffman table overflow that image_io.cpp now refuses first).
#include <stdlib.h>

#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#define STBI_ONLY_TGA
#define STBI_NO_LINEAR
#define STBI_MAX_DIMENSIONS (1 << 24)
#define STBI_MALLOC(size) calloc(1, size)
#define STBI_REALLOC(p, size) realloc(p, size)
#define STBI_FREE(p) free(p)
#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"
