// Times the inpainting model against the detection network through the
// library's own session layer, and applies the inpainting model to one
// 512x512 picture (used by tools/quality_check.py to compare fills on the
// very same hole).
//
//   bench_fill time <lama.onnx> [det.onnx] [runs]
//       ms per 512x512 run of the inpainting model (text-like hole), and, when
//       det.onnx is given, ms per 1x3x544x960 run of the detection network.
//   bench_fill apply <lama.onnx> <image> <mask> <out.png>
//       image: any picture the library reads, 512x512; mask: same size, a
//       pixel whose red byte is >= 128 is a hole. Writes the model's output.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "imageio/image_io.h"
#include "inference/ort_helpers.h"
#include "../bench/bench_util.h"

static const int N = 512;

// One run of the inpainting model with the library's shapes.
static int run_fill(ModelSession *s, std::vector<float> &img, std::vector<float> &mask, std::vector<float> &out,
                    char *msg, size_t msg_size)
{
    float *ins[2] = {img.data(), mask.data()};
    TensorShape in_shapes[2] = {{1, 3, N, N}, {1, 1, N, N}};
    float *outs[1] = {out.data()};
    TensorShape out_shapes[1] = {{1, 3, N, N}};
    size_t caps[1] = {out.size()};
    return ort_session_run(s, ins, in_shapes, 2, outs, out_shapes, caps, 1, msg, msg_size);
}

static int cmd_time(const char *lama_path, const char *det_path, int runs)
{
    ModelSession lama, det;
    char msg[1024] = "";
    int rc = 1;
    memset(&lama, 0, sizeof lama);
    memset(&det, 0, sizeof det);
    std::vector<float> img(3 * N * N), mask(N * N), out(3 * N * N);
    std::vector<double> t;

    // A busy picture with two text-line-shaped holes.
    srand(7);
    for (int i = 0; i < 3 * N * N; i++)
        img[i] = (float)(rand() % 256) / 255.0f;
    for (int y = 0; y < N; y++)
        for (int x = 0; x < N; x++)
            mask[y * N + x] = ((y > 300 && y < 360) || (y > 100 && y < 130 && x > 50 && x < 460)) ? 1.0f : 0.0f;

    if (ort_session_create(lama_path, &lama, msg, sizeof msg) != 0) {
        fprintf(stderr, "load %s: %s\n", lama_path, msg);
        goto end;
    }
    for (int i = 0; i < runs + 2; i++) {
        double t0 = now_ms();
        if (run_fill(&lama, img, mask, out, msg, sizeof msg) != 0) {
            fprintf(stderr, "fill run: %s\n", msg);
            goto end;
        }
        if (i >= 2)  // the first runs warm the runtime up
            t.push_back(now_ms() - t0);
    }
    printf("fill model 512x512: median %.1f ms, min %.1f ms (%d runs)\n", median(t),
           *std::min_element(t.begin(), t.end()), runs);

    if (det_path) {
        std::vector<float> dimg(3 * 544 * 960, 0.1f), dout(544 * 960);
        float *ins[1] = {dimg.data()};
        TensorShape in_shapes[1] = {{1, 3, 544, 960}};
        float *outs[1] = {dout.data()};
        TensorShape out_shapes[1] = {{1, 1, 544, 960}};
        size_t caps[1] = {dout.size()};
        if (ort_session_create(det_path, &det, msg, sizeof msg) != 0) {
            fprintf(stderr, "load %s: %s\n", det_path, msg);
            goto end;
        }
        t.clear();
        for (int i = 0; i < runs + 2; i++) {
            double t0 = now_ms();
            if (ort_session_run(&det, ins, in_shapes, 1, outs, out_shapes, caps, 1, msg, sizeof msg) != 0) {
                fprintf(stderr, "detection run: %s\n", msg);
                goto end;
            }
            if (i >= 2)
                t.push_back(now_ms() - t0);
        }
        printf("detection 960x544:  median %.1f ms, min %.1f ms (%d runs)\n", median(t),
               *std::min_element(t.begin(), t.end()), runs);
    }
    rc = 0;
end:
    ort_session_destroy(&det);
    ort_session_destroy(&lama);
    return rc;
}

static int cmd_apply(const char *lama_path, const char *img_path, const char *mask_path, const char *out_path)
{
    ModelSession lama;
    char msg[1024] = "";
    int w = 0, h = 0, mw = 0, mh = 0, rc = 1;
    unsigned char *rgb = NULL, *mrgb = NULL;
    std::vector<float> img(3 * N * N), mask(N * N), out(3 * N * N);
    std::vector<unsigned char> res(3 * N * N);
    memset(&lama, 0, sizeof lama);

    rgb = gw_load_image(img_path, &w, &h, msg, sizeof msg);
    if (!rgb) {
        fprintf(stderr, "%s\n", msg);
        goto end;
    }
    mrgb = gw_load_image(mask_path, &mw, &mh, msg, sizeof msg);
    if (!mrgb) {
        fprintf(stderr, "%s\n", msg);
        goto end;
    }
    if (w != N || h != N || mw != N || mh != N) {
        fprintf(stderr, "image and mask must be %dx%d\n", N, N);
        goto end;
    }
    for (int i = 0; i < N * N; i++) {
        for (int c = 0; c < 3; c++)
            img[c * N * N + i] = rgb[i * 3 + c] / 255.0f;
        mask[i] = mrgb[i * 3] >= 128 ? 1.0f : 0.0f;
    }
    if (ort_session_create(lama_path, &lama, msg, sizeof msg) != 0) {
        fprintf(stderr, "load %s: %s\n", lama_path, msg);
        goto end;
    }
    if (run_fill(&lama, img, mask, out, msg, sizeof msg) != 0) {
        fprintf(stderr, "fill run: %s\n", msg);
        goto end;
    }
    // Bytes as the library's inpainting pass makes them: clamp, round half up.
    for (int i = 0; i < N * N; i++)
        for (int c = 0; c < 3; c++) {
            float v = out[c * N * N + i];
            res[i * 3 + c] = v > 0.0f ? (unsigned char)(std::min(v, 255.0f) + 0.5f) : 0;
        }
    if (gw_save_image(out_path, res.data(), N, N, msg, sizeof msg) != 0) {
        fprintf(stderr, "%s\n", msg);
        goto end;
    }
    rc = 0;
end:
    ort_session_destroy(&lama);
    free(mrgb);
    free(rgb);
    return rc;
}

int main(int argc, char **argv)
{
    if (argc >= 3 && !strcmp(argv[1], "time"))
        return cmd_time(argv[2], argc > 3 && argv[3][0] ? argv[3] : NULL, argc > 4 ? std::max(1, atoi(argv[4])) : 10);
    if (argc == 6 && !strcmp(argv[1], "apply"))
        return cmd_apply(argv[2], argv[3], argv[4], argv[5]);
    fprintf(stderr,
            "usage: %s time <lama.onnx> [det.onnx] [runs]\n"
            "       %s apply <lama.onnx> <image> <mask> <out.png>\n",
            argv[0], argv[0]);
    return 2;
}
