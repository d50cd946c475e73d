/* orvantix-glyphwipe: removes burned-in text from images and videos.
 *
 * Call order: glyphwipe_init, any glyphwipe_set_option, any number of
 * operations one at a time, glyphwipe_cleanup. Every call runs on the
 * caller's thread. While a video call runs, another thread may call
 * glyphwipe_progress and glyphwipe_cancel; nothing else may overlap.
 *
 * Results: 0 success, -1 failure (see glyphwipe_last_error), -2 cancelled.
 * Strings returned by the library belong to it and must not be freed. */
#ifndef GLYPHWIPE_H
#define GLYPHWIPE_H

#if defined(_WIN32)
#  if defined(GLYPHWIPE_STATIC)
#    define GLYPHWIPE_API
#  elif defined(GLYPHWIPE_BUILD)
#    define GLYPHWIPE_API __declspec(dllexport)
#  else
#    define GLYPHWIPE_API __declspec(dllimport)
#  endif
#  define GLYPHWIPE_CALL __stdcall
#else
#  if defined(__GNUC__) || defined(__clang__)
#    define GLYPHWIPE_API __attribute__((visibility("default")))
#  else
#    define GLYPHWIPE_API
#  endif
#  define GLYPHWIPE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Loads "ch_PP-OCRv4_det_infer.onnx" and "lama_fp32.onnx" from model_dir and
 * resets the options to their defaults (threshold 0.3, inpaint_radius 5). */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_init(const char *model_dir);
/* Releases both models; safe in any state. The last error text survives. */
GLYPHWIPE_API void GLYPHWIPE_CALL glyphwipe_cleanup(void);
/* Options, each taking effect from the next operation on:
 *   "device"          "cpu" | "cuda" (both run on the CPU)
 *   "threshold"       text score threshold, 0 < x < 1 (default 0.3)
 *   "inpaint_radius"  hole growth in pixels, 0..128 (default 5)
 *   "unclip"          box growth ratio 0..4 (default 0: boxes as detected);
 *                     every box grows by area * ratio / perimeter on each
 *                     side, in the detection report and in the hole
 *   "mask"            "boxes" (default): score pixels and whole boxes;
 *                     "glyphs": only the letters' own pixels (fill, outline,
 *                     shadow, a margin scaled with their height) inside each
 *                     box, the whole box where they cannot be told apart
 *   "detect_scale"    0..1 (default 0: the detector sees the picture with
 *                     its long side at most 960); else the detector sees
 *                     it at this scale or larger (up to 3840 on the long
 *                     side), so small text in large pictures is found
 * Returns 0 when accepted. glyphwipe_init resets all options. */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_set_option(const char *option, const char *value);
/* The last error text, or "no error". */
GLYPHWIPE_API const char *GLYPHWIPE_CALL glyphwipe_last_error(void);
/* Percent done of the current or last video run. Any thread. */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_progress(void);
/* Asks a running video call to stop; it then returns -2. Any thread. */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_cancel(void);

/* JSON array of text boxes found in an image file, e.g.
 * [{"x":12,"y":340,"w":200,"h":36,"conf":0.912}]; null on failure.
 * Valid until the next successful glyphwipe_detect. */
GLYPHWIPE_API const char *GLYPHWIPE_CALL glyphwipe_detect(const char *image_path);
/* Cleans an image file; the output format follows out_path's extension
 * (.png, .bmp, .tga, anything else JPEG). */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_process_image(const char *in_path, const char *out_path);
/* Cleans a video into an MP4 (H.264, first audio stream copied). */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_process_video(const char *in_path, const char *out_path);
/* As glyphwipe_process_video, but only text reaching into the band of rows
 * from y_start_pct to y_end_pct percent of the frame height is repainted
 * (whole, also where it reaches beyond the band); text lying wholly outside
 * the band keeps its pixels. */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_process_video_region(const char *in_path, const char *out_path,
                                                                int y_start_pct, int y_end_pct);

#ifdef __cplusplus
}
#endif

#endif /* GLYPHWIPE_H */
