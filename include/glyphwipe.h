/* orvantix-glyphwipe: removes burned-in text from images and videos.
 *
 * Call order: glyphwipe_init, any glyphwipe_set_option, any number of
 * operations, glyphwipe_cleanup. Every call runs on the caller's thread.
 *
 * One call at a time: glyphwipe_init, glyphwipe_cleanup,
 * glyphwipe_set_option, glyphwipe_detect, glyphwipe_process_image and the two
 * video functions each hold the engine while they run. Any of them called
 * while another one runs (from another thread) does nothing and fails at
 * once: -1 (null for glyphwipe_detect, nothing for glyphwipe_cleanup) with
 * the error text "busy: <name of the running function> is running".
 * glyphwipe_last_error, glyphwipe_progress, glyphwipe_cancel and
 * glyphwipe_regions_left_out may be called from any thread at any time.
 *
 * Results: 0 success, -1 failure (see glyphwipe_last_error), -2 cancelled.
 * Strings returned by the library belong to it and must not be freed.
 *
 * Files: inputs must be regular files (not folders, FIFOs or devices).
 * Outputs are written to a temporary file in the folder of the output and
 * renamed onto it only once complete; a failed or cancelled call leaves an
 * existing output as it was and no partial file. Video paths are file
 * names: "file:" in front is taken away, other protocol URLs are refused. */
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
/* Releases both models; safe in any state. The last error text survives.
 * While another call runs it releases nothing (see above). */
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
 *   "log"             "errors" (default): ONNX Runtime prints its own error
 *                     lines when a model run fails; "none": it prints none
 *                     (the library's error text is the same either way)
 * Returns 0 when accepted; glyphwipe_init resets all options. Numbers are
 * read the same way in every locale and must be the whole value: digits, an
 * optional leading '-', for fractional options an optional '.' and digits
 * ("0.5"); no blanks, no '+', no exponent. */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_set_option(const char *option, const char *value);
/* The last error text, or "no error". The text stays valid and unchanged
 * until this thread calls glyphwipe_last_error again. Any thread. */
GLYPHWIPE_API const char *GLYPHWIPE_CALL glyphwipe_last_error(void);
/* Percent done of the current or last video run. Any thread. */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_progress(void);
/* Asks the running operation (detect, image or video) to stop; it then
 * returns -2 (glyphwipe_detect: null), with the error text "cancelled by
 * glyphwipe_cancel()". It takes effect at the next picture and also within
 * a model run in progress. A request made while no operation runs is
 * forgotten when the next one starts. Any thread. */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_cancel(void);
/* Text regions that the current or last operation found but did not
 * repaint, summed over all pictures of a video: at most 12 regions are
 * repainted per picture, the others keep their text. Any thread. */
GLYPHWIPE_API int GLYPHWIPE_CALL glyphwipe_regions_left_out(void);

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
