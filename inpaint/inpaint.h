/* Inpainting: region planning, hole masks, the 512x512 model pass, blending. */
#ifndef GW_INPAINT_H
#define GW_INPAINT_H

#include <stdint.h>
#include "detection/detection.h"

/* Repaints the detected text of an RGB24 frame in place. Rows y_start..y_end
 * limit region planning ((0,0) = whole frame). Never fails: a region that
 * cannot be repainted keeps its pixels. */
void gw_inpaint_frame(uint8_t *rgb, int width, int height, const DetectionResult *det, int y_start, int y_end);

#endif /* GW_INPAINT_H */
