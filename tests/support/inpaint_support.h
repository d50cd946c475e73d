// Records for driving the inpainting code directly: a detection record over
// vectors, the work buffers of a frame (each its own exactly sized vector, so
// a write past one shows under AddressSanitizer) and a crop built in them.
#ifndef GW_INPAINT_SUPPORT_H
#define GW_INPAINT_SUPPORT_H

#include <algorithm>
#include <memory>
#include <vector>

#include "detection/detection.h"
#include "inpaint/inpaint.h"
#include "resample/resample.h"

namespace gwt {

inline TextBox box(int x, int y, int w, int h) { return TextBox{x, y, w, h, 0.9f}; }

// Options as the library's defaults set them.
inline InpaintOptions inpaint_defaults() { return InpaintOptions{0.3f, 5, 0.0f, GW_MASK_BOXES}; }

// A detection record over vectors owned by the test; the score map is mw x mh
// zeros (core() raises a rectangle of it to 0.9).
struct Det {
    std::vector<TextBox> boxes;
    std::vector<float> map;
    DetectionResult r{};

    Det(std::vector<TextBox> b = {}, int mw = 32, int mh = 32) : boxes(std::move(b)), map((size_t)mw * mh, 0.0f)
    {
        boxes.reserve(GW_MAX_BOXES);
        r.score_map = map.data();
        r.map_width = mw;
        r.map_height = mh;
        r.box_count = (int32_t)boxes.size();
        r.boxes = boxes.data();
    }
    Det(const Det &) = delete;  // r points into this object's own vectors
    Det &operator=(const Det &) = delete;
    const DetectionResult *operator&() const { return &r; }
    void core(int x0, int y0, int x1, int y1)
    {
        for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++)
                map[(size_t)y * r.map_width + x] = 0.9f;
    }
};

// The work of a width x height frame, one vector per buffer.
struct Work {
    std::vector<float> image, mask, out, resize;
    std::vector<int> dilate;
    std::vector<uint8_t> crop, work, soft, glyphs;
    std::vector<uint16_t> feather;
    InpaintWork w{};

    Work(int width, int height, bool with_glyphs = false)
    {
        const size_t P = (size_t)GW_INPAINT_SIZE * GW_INPAINT_SIZE;
        const int side = std::min(width, height);
        image.assign(3 * P, -1.0f);
        mask.assign(P, -1.0f);
        out.assign(3 * P, -1.0f);
        resize.resize(gw_resize_scratch_size(std::max(side, GW_INPAINT_SIZE)) / sizeof(float) + 1);
        dilate.resize(gw_dilate_scratch_size(side) / sizeof(int) + 1);
        crop.resize(10 * (size_t)side * side);
        work.resize(3 * P);
        soft.resize(P);
        feather.resize(P);
        if (with_glyphs)
            glyphs.assign((size_t)width * height, 0);
        w.max_side = side;
        w.image_tensor = image.data();
        w.mask_tensor = mask.data();
        w.output_tensor = out.data();
        w.crop = crop.data();
        w.dilate = (uint8_t *)dilate.data();
        w.resize = resize.data();
        w.work = work.data();
        w.soft = soft.data();
        w.feather = feather.data();
        w.glyphs = with_glyphs ? glyphs.data() : nullptr;
    }
    Work(const Work &) = delete;  // w points into this object's own vectors
};

// A crop built by build_region_mask in work of its own.
struct Crop {
    std::unique_ptr<Work> work;
    RegionCrop c{};
    int build(const uint8_t *rgb, int w, int h, const DetectionResult *d, const InpaintOptions &o,
              const InpaintRegion &reg, int ys = 0, int ye = 0)
    {
        work.reset(new Work(w, h));
        return build_region_mask(rgb, w, h, d, &o, &reg, ys, ye, &work->w, &c);
    }
};

}  // namespace gwt

#endif
