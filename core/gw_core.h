/* Engine state and error text shared by every subsystem of the library. */
#ifndef GW_CORE_H
#define GW_CORE_H

#include <stdint.h>
#include "inference/ort_helpers.h"

typedef struct EngineState {
    char model_dir[1024];
    ModelSession det;          /* text detection */
    ModelSession lama;         /* inpainting */
    int32_t det_loaded;
    int32_t lama_loaded;
    float threshold;           /* text-score threshold, (0,1) */
    int32_t inpaint_radius;    /* 0..128 */
    char device[16];
    float unclip;              /* box growth ratio, 0 = boxes as detected */
    int32_t mask_mode;         /* GW_MASK_BOXES or GW_MASK_GLYPHS */
    float detect_min_scale;    /* 0: detector input at most 960 wide; else at least this scale */
    int32_t progress;          /* shared with other threads: gw_load_relaxed/gw_store_relaxed */
    int32_t cancel_requested;  /* shared with other threads: gw_load_relaxed/gw_store_relaxed */
    int32_t video_running;
} EngineState;

/* What the hole of a crop is made of. */
#define GW_MASK_BOXES 0   /* score pixels and whole boxes, grown by the radius */
#define GW_MASK_GLYPHS 1  /* the letters' own pixels inside each box */

#define GW_ERRBUF_SIZE 2048

extern EngineState S;
extern char errbuf[GW_ERRBUF_SIZE];

#define GW_NOT_INITIALIZED "not initialized \xE2\x80\x94 call glyphwipe_init first"

#if defined(__GNUC__) || defined(__clang__)
#  define GW_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#  define GW_PRINTF(a, b)
#endif

/* Formats the library's error text (cut to 2047 bytes). */
void gw_set_error(const char *fmt, ...) GW_PRINTF(1, 2);
/* Empties the error text ("no error"). */
void gw_clear_error(void);
/* Both sessions live. */
int gw_initialized(void);

/* Finds text in an RGB24 frame and repaints it in place; rows y_start..y_end
 * limit which text is taken up ((0,0) = whole frame). 0, or -1 when
 * detection failed (error text "detect: ..."). */
int gw_process_frame_rgb(unsigned char *rgb, int width, int height, int y_start, int y_end);

#endif /* GW_CORE_H */
