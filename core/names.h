/* Model file names and option ranges, shared by the library and its tool so
 * that both check a value by the same rule. Plain C, no dependencies. */
#ifndef GW_NAMES_H
#define GW_NAMES_H

#define GW_DET_MODEL_FILE "ch_PP-OCRv4_det_infer.onnx"  /* text detection */
#define GW_FILL_MODEL_FILE "lama_fp32.onnx"             /* inpainting */

#define GW_THRESHOLD_DEFAULT 0.3f   /* open interval (0, 1) */
#define GW_RADIUS_DEFAULT 5
#define GW_RADIUS_MAX 128           /* 0..GW_RADIUS_MAX pixels */
#define GW_UNCLIP_MAX 4.0f          /* 0..GW_UNCLIP_MAX */
#define GW_DETECT_SCALE_MAX 1.0f    /* 0..GW_DETECT_SCALE_MAX */
#define GW_TEMPORAL_MAX 32          /* 0, or a window of 2..GW_TEMPORAL_MAX pictures */

#endif /* GW_NAMES_H */
