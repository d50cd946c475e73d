/* The engine: the one context of the library, owned by core. The C API is
 * built on its single instance; the subsystems never see it and get what
 * they need (a model, options, work memory, hooks) as parameters. */
#ifndef GW_ENGINE_H
#define GW_ENGINE_H

#include <stdint.h>

#include "detection/detection.h"
#include "inference/ort_helpers.h"
#include "inpaint/inpaint.h"

#define GW_ERRBUF_SIZE 2048

/* Options as glyphwipe_set_option leaves them. */
typedef struct EngineOptions {
    float threshold;           /* text-score threshold, (0,1) */
    int32_t inpaint_radius;    /* 0..128 */
    char device[16];
    float unclip;              /* box growth ratio, 0 = boxes as detected */
    int32_t mask_mode;         /* GW_MASK_BOXES or GW_MASK_GLYPHS */
    float detect_min_scale;    /* 0: detector input at most 960 wide; else at least this scale */
    int32_t temporal;          /* video: 0 = each picture alone; else a window of this many pictures */
} EngineOptions;

typedef struct Engine {
    char model_dir[1024];
    ModelSession det;          /* text detection */
    ModelSession fill;         /* inpainting */
    int32_t det_loaded;
    int32_t fill_loaded;
    EngineOptions opt;
    InpaintArena arena;        /* work memory kept between pictures; released by cleanup */
    DetectArena det_arena;     /* the same for detection */
    int32_t progress;          /* shared with other threads: gw_load_relaxed/gw_store_relaxed */
    int32_t cancel_requested;  /* as progress */
    int32_t regions_left_out;  /* of the current or last operation; as progress */
    /* Last in the record: a reset of the engine keeps it. Guarded by the
     * error lock (gw_set_error, glyphwipe_last_error). */
    char error[GW_ERRBUF_SIZE];
} Engine;

/* The instance behind the C API. Only core/ includes this header. */
extern Engine gw_engine;

/* The options of each subsystem, from the engine's. */
DetectOptions gw_detect_options(const Engine *e);
InpaintOptions gw_inpaint_options(const Engine *e);




#define GW_NOT_INITIALIZED "not initialized \xE2\x80\x94 call glyphwipe_init first"

#if defined(__GNUC__) || defined(__clang__)
#  define GW_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#  define GW_PRINTF(a, b)
#endif

/* Formats the library's error text (cut to 2047 bytes). Any thread. */
void gw_set_error(const char *fmt, ...) GW_PRINTF(1, 2);
/* Empties the error text ("no error"). */
void gw_clear_error(void);
/* Both sessions live. */
int gw_initialized(void);

/* One call at a time: every exported function that reads or changes the
 * engine claims it first. 0, or -1 with "busy: <name of the running call> is
 * running" when another call holds it; gw_op_end gives it back. Only
 * glyphwipe_last_error, glyphwipe_progress, glyphwipe_cancel and
 * glyphwipe_regions_left_out run beside a claimed engine. */
int gw_op_begin(const char *name);
void gw_op_end(void);
/* Start of an operation's work: earlier cancel requests are forgotten, model
 * runs may start, no region has been left out yet. */
void gw_op_start_work(void);
/* glyphwipe_cancel was called since gw_op_start_work. */
int gw_cancel_requested(void);
/* Adds regions that a picture left unrepainted to the operation's count. */
void gw_count_regions_left_out(int n);

/* Finds text in an RGB24 frame and repaints it in place; rows y_start..y_end
 * limit which text is taken up ((0,0) = whole frame). 0; -1 when detection
 * failed (error text "detect: ...") or the repainting's work memory could not
 * be had ("inpaint: ..."); -2 when glyphwipe_cancel stopped a model run. */
int gw_process_frame_rgb(unsigned char *rgb, int width, int height, int y_start, int y_end);

#endif /* GW_ENGINE_H */
