// The library's own work on one picture, stage by stage, without the video
// around it: detection and inpainting at the default options, run several
// times on fresh copies of the picture.
//
//   bench_picture <image> [runs] [model dir]
//
// Prints the median time of every stage (a build with
// -DGLYPHWIPE_STAGE_TIMERS=ON; scripts/bench.sh --picture builds one), the
// peak resident memory, and a hash of the cleaned picture (FNV-1a over the
// RGB24 bytes), so that a change to the library's own work can be checked
// for the same result in seconds before the golden check runs.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "bench_util.h"
#include "core/names.h"
#include "detection/detection.h"
#include "imageio/image_io.h"
#include "inference/ort_helpers.h"
#include "inpaint/inpaint.h"
#include "platform/stage_timers.h"

static uint64_t fnv1a(const uint8_t *p, size_t n)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

static const char *const STAGE_NAMES[GW_ST_COUNT] = {
    "decode",          "conversion to RGB", "detector input",     "detection network",
    "box extraction",  "regions and masks", "inpainting network", "blending",
    "conversion back", "encoding",          "muxing"};

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_picture <image> [runs] [model dir]\n");
        return 2;
    }
    const int runs = argc > 2 ? atoi(argv[2]) : 5;
    const std::string models = argc > 3 ? argv[3] : GW_MODELS_DIR;
    char msg[1024] = "";
    int w = 0, h = 0, rc = 1;
    ModelSession det, fill;
    InpaintArena arena = {NULL, 0};
    memset(&det, 0, sizeof det);
    memset(&fill, 0, sizeof fill);
    uint8_t *orig = gw_load_image(argv[1], &w, &h, msg, sizeof msg);
    std::vector<uint8_t> rgb;
    uint64_t first = 0;

    if (!orig) {
        fprintf(stderr, "%s\n", msg);
        return 1;
    }
    if (ort_session_create((models + "/" GW_DET_MODEL_FILE).c_str(), &det, msg, sizeof msg) != 0 ||
        ort_session_create((models + "/" GW_FILL_MODEL_FILE).c_str(), &fill, msg, sizeof msg) != 0) {
        fprintf(stderr, "models: %s\n", msg);
        goto end;
    }
    {
        const DetectOptions dopt = {GW_THRESHOLD_DEFAULT, 0.0f, 0.0f};
        const InpaintOptions iopt = {GW_THRESHOLD_DEFAULT, GW_RADIUS_DEFAULT, 0.0f, GW_MASK_BOXES};
        std::vector<double> wall;
#ifdef GW_STAGE_TIMERS
        gw_timers_reset();
#endif
        for (int i = 0; i < runs; i++) {
            DetectionResult res;
            rgb.assign(orig, orig + (size_t)w * h * 3);
            const double t0 = now_ms();
            if (gw_detect_run(&det, &dopt, rgb.data(), w, h, &res, msg, sizeof msg) != 0) {
                fprintf(stderr, "detect: %s\n", msg);
                goto end;
            }
            if (res.box_count > 0)
                gw_inpaint_frame(&fill, &iopt, &arena, rgb.data(), w, h, &res, 0, 0);
            gw_detection_free(&res);
            wall.push_back(now_ms() - t0);
#ifdef GW_STAGE_TIMERS
            gw_timer_frame_end();
#endif
            const uint64_t hash = fnv1a(rgb.data(), rgb.size());
            if (i == 0)
                first = hash;
            else if (hash != first)
                fprintf(stderr, "run %d gave another picture\n", i);
        }
        printf("%s: %dx%d, %d runs, result %016llx\n", argv[1], w, h, runs, (unsigned long long)first);
        double own = 0;
        (void)own;
#ifdef GW_STAGE_TIMERS
        for (int s = GW_ST_DET_INPUT; s <= GW_ST_BLEND; s++) {
            size_t n = 0;
            const uint64_t *v = gw_timer_samples((GwStage)s, &n);
            std::vector<double> ms;
            for (size_t k = 0; k < n; k++)
                ms.push_back(v[k] / 1e6);
            printf("  %-22s %8.2f ms\n", STAGE_NAMES[s], median(ms));
            if (s != GW_ST_DET_NET && s != GW_ST_INPAINT_NET)
                own += median(ms);
        }
        printf("  %-22s %8.2f ms\n", "own work (medians)", own);
#endif
        printf("  %-22s %8.2f ms\n", "whole picture", median(wall));
        struct rusage ru;
        getrusage(RUSAGE_SELF, &ru);
        printf("  %-22s %8.1f MB\n", "peak memory", ru.ru_maxrss / 1024.0);
        rc = 0;
    }
end:
    gw_inpaint_arena_free(&arena);
    ort_session_destroy(&fill);
    ort_session_destroy(&det);
    free(orig);
    return rc;
}
