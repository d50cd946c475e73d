// Image loading, detection and the JSON report on arbitrary file contents.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "glyphwipe.h"
#include "imageio/image_io.h"

static char path[256];

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    snprintf(path, sizeof path, "/tmp/gw-fuzz-detect-%d.img", (int)getpid());
    if (glyphwipe_init(GW_MODELS_DIR) != 0) {
        fprintf(stderr, "fuzz_detect: %s\n", glyphwipe_last_error());
        exit(1);
    }
    return 0;
}

/* The report must be one valid JSON array of box objects. */
static void check_report(const char *r)
{
    size_t n = strlen(r);
    if (n < 2 || r[0] != '[' || r[n - 1] != ']' || strchr(r, ' ') || strstr(r, "nan") || strstr(r, ",]"))
        __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    /* A few hundred bytes can declare a picture of up to 100 megapixels (the
     * library's limit); decoding one is correct but slow, so the fuzzer
     * spends its time on inputs of at most 16 megapixels. */
    int w = 0, h = 0;
    if (gw_image_info(path, &w, &h) == 0 && (long long)w * h > 16LL * 1024 * 1024) {
        unlink(path);
        return 0;
    }
    const char *r = glyphwipe_detect(path);
    if (r)
        check_report(r);
    else if (glyphwipe_last_error()[0] == '\0' || strcmp(glyphwipe_last_error(), "no error") == 0)
        __builtin_trap();  // a failure always says why
    unlink(path);
    return 0;
}
