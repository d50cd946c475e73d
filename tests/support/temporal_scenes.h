// Synthetic video scenes for the temporal tests: views of a photograph
// through a moving camera, with lettering burned in at a fixed place of the
// screen, and the text-free truth of every picture.
#ifndef GW_TEMPORAL_SCENES_H
#define GW_TEMPORAL_SCENES_H

#include <math.h>
#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace tps {

struct Image {
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
};

// A photograph that scikit-image ships, as RGB24 (astronaut 512x512,
// coffee 600x400), made once per test run with the system's Python.
inline const Image &photo(const std::string &name)
{
    static Image astronaut, coffee;
    Image &im = name == "astronaut" ? astronaut : coffee;
    if (im.rgb.empty()) {
        im.w = name == "astronaut" ? 512 : 600;
        im.h = name == "astronaut" ? 512 : 400;
        const std::string cmd = std::string(GW_PYTHON) + " -c \"import sys, skimage.data as d; "
                                "sys.stdout.buffer.write(d." + name + "()[:, :, :3].tobytes())\"";
        if (!gwt::capture_rgb(cmd, im.w, im.h, im.rgb))
            im.rgb.clear();
    }
    return im;
}

// Bilinear value of im at (x, y), clamped to its edges.
inline void sample(const Image &im, double x, double y, uint8_t out[3])
{
    x = x < 0 ? 0 : x > im.w - 1.001 ? im.w - 1.001 : x;
    y = y < 0 ? 0 : y > im.h - 1.001 ? im.h - 1.001 : y;
    const int x0 = (int)x, y0 = (int)y;
    const double fx = x - x0, fy = y - y0;
    for (int c = 0; c < 3; c++) {
        auto at = [&](int xx, int yy) { return (double)im.rgb[((size_t)yy * im.w + xx) * 3 + c]; };
        const double v = (1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x0 + 1, y0)) +
                         fy * ((1 - fx) * at(x0, y0 + 1) + fx * at(x0 + 1, y0 + 1));
        out[c] = (uint8_t)lround(v);
    }
}

struct Rect {
    int x, y, w, h;
};

// Square dilation of a 0/1 plane by r.
inline std::vector<uint8_t> dilate(const std::vector<uint8_t> &m, int w, int h, int r)
{
    std::vector<uint8_t> out(m.size(), 0);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            if (m[(size_t)y * w + x])
                for (int dy = -r; dy <= r; dy++)
                    for (int dx = -r; dx <= r; dx++) {
                        const int xx = x + dx, yy = y + dy;
                        if (xx >= 0 && yy >= 0 && xx < w && yy < h)
                            out[(size_t)yy * w + xx] = 1;
                    }
    return out;
}

// Letter-like strokes (bars and crossbars, 3 px wide) filling box: the
// glyph pixels of one line of text, 0/1.
inline std::vector<uint8_t> glyphs(int w, int h, Rect box, unsigned seed)
{
    std::vector<uint8_t> g((size_t)w * h, 0);
    unsigned s = seed;
    auto rnd = [&]() { return (s = s * 1103515245u + 12345u) >> 16; };
    auto bar = [&](int x0, int y0, int x1, int y1) {
        for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++)
                if (x >= 0 && y >= 0 && x < w && y < h)
                    g[(size_t)y * w + x] = 1;
    };
    for (int x = box.x; x + 10 <= box.x + box.w; x += 14) {
        const int kind = (int)(rnd() % 4);
        bar(x, box.y, x + 3, box.y + box.h);                        // stem
        if (kind != 1)
            bar(x, box.y, x + 10, box.y + 3);                       // top
        if (kind >= 2)
            bar(x, box.y + box.h / 2 - 1, x + 10, box.y + box.h / 2 + 2);  // middle
        if (kind == 3 || kind == 1)
            bar(x + 7, box.y, x + 10, box.y + box.h);               // second stem
    }
    return g;
}

// The camera: photograph coordinates of picture t's pixel (x, y).
using Camera = std::function<void(int t, double x, double y, double &px, double &py)>;

// A moving square cut from a second photograph: its top-left at picture t.
struct Mover {
    int size = 0;
    std::function<void(int t, double &x, double &y)> at;
};

struct Scene {
    int w, h, n;
    std::vector<std::vector<uint8_t>> truth, rgb, hole;  // hole: 1 = text
};

// Renders n pictures of w x h; text (white glyphs with a black 2-px
// outline) on the pictures where on(t), its hole = the glyphs grown by 4
// (text-shaped) or the box grown by 4 (rectangle).
inline Scene render(int w, int h, int n, const Camera &cam, Rect text, bool rect_hole,
                    const std::function<bool(int)> &on, const Mover *mover = nullptr)
{
    Scene sc{w, h, n, {}, {}, {}};
    const Image &bg = photo("astronaut"), &fg = photo("coffee");
    const std::vector<uint8_t> g = glyphs(w, h, text, 7), outline = dilate(g, w, h, 2);
    std::vector<uint8_t> shape;
    if (rect_hole) {
        shape.assign((size_t)w * h, 0);
        for (int y = std::max(0, text.y - 4); y < std::min(h, text.y + text.h + 4); y++)
            for (int x = std::max(0, text.x - 4); x < std::min(w, text.x + text.w + 4); x++)
                shape[(size_t)y * w + x] = 1;
    } else {
        shape = dilate(g, w, h, 4);
    }
    for (int t = 0; t < n; t++) {
        std::vector<uint8_t> img((size_t)w * h * 3);
        double mx = 0, my = 0;
        if (mover)
            mover->at(t, mx, my);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                uint8_t *p = &img[((size_t)y * w + x) * 3];
                if (mover && x >= mx && y >= my && x < mx + mover->size && y < my + mover->size) {
                    sample(fg, 200 + (x - mx), 120 + (y - my), p);
                    continue;
                }
                double px, py;
                cam(t, x, y, px, py);
                sample(bg, px, py, p);
            }
        sc.truth.push_back(img);
        const bool shown = on(t);
        for (size_t i = 0; shown && i < g.size(); i++)
            if (outline[i])
                for (int c = 0; c < 3; c++)
                    img[i * 3 + c] = g[i] ? 255 : 0;
        sc.rgb.push_back(img);
        sc.hole.push_back(shown ? shape : std::vector<uint8_t>((size_t)w * h, 0));
    }
    return sc;
}

// Fill error over the pixels of `hole` that the fill marked filled.
struct FillError {
    long long hole = 0, filled = 0;
    double mean_abs = 0, psnr = 0;
    int worst = 0;
    double share() const { return hole ? (double)filled / hole : 0; }
};

inline FillError fill_error(const std::vector<uint8_t> &hole, const std::vector<uint8_t> &state,
                            const std::vector<uint8_t> &out, const std::vector<uint8_t> &truth)
{
    FillError e;
    double sad = 0, sse = 0;
    for (size_t i = 0; i < hole.size(); i++) {
        if (!hole[i])
            continue;
        e.hole++;
        if (state[i] != 2)
            continue;
        e.filled++;
        for (int c = 0; c < 3; c++) {
            const int d = std::abs((int)out[i * 3 + c] - (int)truth[i * 3 + c]);
            sad += d;
            sse += (double)d * d;
            e.worst = std::max(e.worst, d);
        }
    }
    if (e.filled) {
        e.mean_abs = sad / (3.0 * e.filled);
        const double mse = sse / (3.0 * e.filled);
        e.psnr = mse > 0 ? 10 * log10(255.0 * 255.0 / mse) : 99.0;
    }
    return e;
}

inline std::string describe(const FillError &e)
{
    char b[160];
    snprintf(b, sizeof b, "filled %lld of %lld hole pixels (%.1f %%), mean |error| %.2f, PSNR %.2f dB, worst %d",
             e.filled, e.hole, 100.0 * e.share(), e.mean_abs, e.psnr, e.worst);
    return b;
}

}  // namespace tps

#endif
