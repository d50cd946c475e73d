// Text detection timing: the network against the library's own work around
// it (input tensor, resampling, clamping, region growth and merging).
//
//   bench_detect [detection model] [runs]
//
// Prints medians in milliseconds for 1920x1080 and 1280x720 frames. The
// frames are synthetic: eight lines of blocky capitals on a gradient.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "detection/detection.h"
#include "gw_core.h"
#include "bench_util.h"

/* A 5x7 pixel font for a few capitals and digits: enough to draw lines of
 * text that the network takes for text. */
static const char *glyph(char c)
{
    static const struct {
        char c;
        const char *rows;
    } font[] = {
        {'A', ".###.#...##...#######...##...##...#"}, {'B', "####.#...##...#####.#...##...#####."},
        {'C', ".#####....#....#....#....#.....####"}, {'D', "####.#...##...##...##...##...#####."},
        {'E', "######....#....####.#....#....#####"}, {'H', "#...##...##...#######...##...##...#"},
        {'I', "#####..#....#....#....#....#..#####"}, {'L', "#....#....#....#....#....#....#####"},
        {'N', "#...###..##.#.##..###...##...##...#"}, {'O', ".###.#...##...##...##...##...#.###."},
        {'R', "####.#...##...#####.#.#..#..#.#...#"}, {'S', ".#####....#.....###.....#....#####."},
        {'T', "#####..#....#....#....#....#....#.."}, {'U', "#...##...##...##...##...##...#.###."},
        {'W', "#...##...##...##.#.##.#.##.#.#.#.#."}, {'0', ".###.#...##..###.#.###..##...#.###."},
        {'1', "..#...##....#....#....#....#...###."}, {'2', ".###.#...#....#...#...#...#...#####"},
        {'G', ".#####....#....#.####...##...#.###."}, {'M', "#...###.###.#.##...##...##...##...#"},
        {'F', "######....#....####.#....#....#...."}, {'X', "#...#.#.#...#....#....#...#.#.#...#"},
    };
    for (const auto &g : font)
        if (g.c == c && strlen(g.rows) == 35)
            return g.rows;
    return NULL;
}

static void draw_text(std::vector<uint8_t> &rgb, int w, int h, int x, int y, int scale, const char *text)
{
    for (; *text; text++, x += 6 * scale) {
        const char *g = glyph(*text);
        if (!g)
            continue;
        for (int gy = 0; gy < 7; gy++)
            for (int gx = 0; gx < 5; gx++) {
                if (g[gy * 5 + gx] != '#')
                    continue;
                for (int yy = y + gy * scale; yy < y + (gy + 1) * scale && yy < h; yy++)
                    for (int xx = x + gx * scale; xx < x + (gx + 1) * scale && xx < w; xx++)
                        memset(&rgb[((size_t)yy * w + xx) * 3], 245, 3);
            }
    }
}

static std::vector<uint8_t> make_frame(int w, int h)
{
    std::vector<uint8_t> rgb((size_t)w * h * 3);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint8_t *p = &rgb[((size_t)y * w + x) * 3];
            p[0] = (uint8_t)(30 + 60 * x / w);
            p[1] = (uint8_t)(40 + 50 * y / h);
            p[2] = (uint8_t)(90);
        }
    // Eight lines of text in three sizes.
    const char *lines[] = {"HELLO WORLD 2012", "THE SUBTITLE LINE", "ONE TWO", "RED BLUE", "SHORT",
                           "A LONGER LINE OF TEXT", "NUL DIRT", "WORDS 1021"};
    int scale = h / 150, y = h / 16;
    for (int i = 0; i < 8; i++) {
        int s = scale + (i % 3) * scale / 2;
        draw_text(rgb, w, h, w / 10 + (i % 4) * w / 20, y, s, lines[i]);
        y += 7 * s + h / 20;
    }
    return rgb;
}

int main(int argc, char **argv)
{
    const char *model = argc > 1 ? argv[1] : GW_MODELS_DIR "/ch_PP-OCRv4_det_infer.onnx";
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    char msg[1024] = "";
    if (runs < 1)
        runs = 1;
    if (ort_session_create(model, &S.det, msg, sizeof msg) != 0) {
        fprintf(stderr, "cannot load %s: %s\n", model, msg);
        return 1;
    }
    S.threshold = 0.3f;

    const int sizes[][2] = {{1920, 1080}, {1280, 720}};
    printf("detection, median of %d runs (ms)\n", runs);
    printf("%-10s %-8s %8s %8s %8s %8s %8s %8s %8s %7s\n", "frame", "network", "net", "input", "resamp*",
           "clamp", "boxes", "own", "total", "own%");
    for (const auto &sz : sizes) {
        const int w = sz[0], h = sz[1];
        std::vector<uint8_t> rgb = make_frame(w, h);
        int nw, nh;
        gw_det_network_size(w, h, &nw, &nh);
        const size_t npix = (size_t)nw * nh;
        std::vector<double> t_net, t_in, t_rs, t_cl, t_box, t_total;
        int boxes = 0;

        for (int r = -1; r < runs; r++) {  // run -1 warms the session up
            // The steps of gw_detect_run, one by one.
            double t0 = now_ms();
            float *input = (float *)malloc(3 * npix * sizeof(float));
            float *output = (float *)malloc(npix * sizeof(float));
            gw_det_fill_input(rgb.data(), w, h, input, nw, nh);
            double t1 = now_ms();
            TensorShape in_shape = {1, 3, nh, nw}, out_shape = {1, 1, 0, 0};
            size_t cap = npix;
            char run_msg[512] = "";
            if (ort_session_run(&S.det, &input, &in_shape, 1, &output, &out_shape, &cap, 1, run_msg,
                                sizeof run_msg) != 0) {
                fprintf(stderr, "run failed: %s\n", run_msg);
                return 1;
            }
            free(input);
            double t2 = now_ms();
            // What an output of half the size would cost to bring up to the map.
            std::vector<float> half((size_t)(nw / 2) * (nh / 2), 0.5f);
            float *map = (float *)malloc(npix * sizeof(float));
            double t3 = now_ms();
            gw_det_resample_map(half.data(), nw / 2, nh / 2, map, nw, nh);
            double t4 = now_ms();
            free(map);
            gw_det_clamp_map(output, npix);
            double t5 = now_ms();
            DetectionResult res;
            memset(&res, 0, sizeof res);
            res.score_map = output;
            res.map_width = nw;
            res.map_height = nh;
            gw_det_extract_boxes(&res, w, h, S.threshold, msg, sizeof msg);
            double t6 = now_ms();
            boxes = res.box_count;
            gw_detection_free(&res);

            // The whole call.
            double t7 = now_ms();
            if (gw_detect_run(rgb.data(), w, h, &res, msg, sizeof msg) != 0) {
                fprintf(stderr, "detect failed: %s\n", msg);
                return 1;
            }
            double t8 = now_ms();
            gw_detection_free(&res);
            if (r < 0)
                continue;
            t_in.push_back(t1 - t0);
            t_net.push_back(t2 - t1);
            t_rs.push_back(t4 - t3);
            t_cl.push_back(t5 - t4);
            t_box.push_back(t6 - t5);
            t_total.push_back(t8 - t7);
        }
        double net = median(t_net), in = median(t_in), cl = median(t_cl), bx = median(t_box);
        double own = in + cl + bx;
        char fr[32], nn[32];
        snprintf(fr, sizeof fr, "%dx%d", w, h);
        snprintf(nn, sizeof nn, "%dx%d", nw, nh);
        printf("%-10s %-8s %8.1f %8.2f %8.2f %8.2f %8.2f %8.2f %8.1f %6.2f%%\n", fr, nn, net, in, median(t_rs), cl,
               bx, own, median(t_total), 100.0 * own / net);
        printf("%-10s boxes found: %d; total - net = %.2f ms\n", "", boxes, median(t_total) - net);
    }
    printf("own = input + clamp + boxes (allocation, region growth, merging); "
           "resamp* = resampling a half-size output, paid only by models that give one\n");
    ort_session_destroy(&S.det);
    return 0;
}
