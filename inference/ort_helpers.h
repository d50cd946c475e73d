/* Thin layer over the ONNX Runtime C API: one model file per ModelSession,
 * run on float32 tensors that live in the caller's memory. */
#ifndef GW_ORT_HELPERS_H
#define GW_ORT_HELPERS_H

#include <stddef.h>
#include <stdint.h>

struct OrtSession;
struct OrtEnv;

#define GW_MAX_IO 4
#define GW_NAME_LEN 256

typedef struct ModelSession {
    struct OrtSession *session;           /* null in an empty record */
    int32_t input_count;                  /* 0..4 */
    int32_t output_count;                 /* 0..4 */
    char input_names[GW_MAX_IO][GW_NAME_LEN];
    char output_names[GW_MAX_IO][GW_NAME_LEN];
    struct OrtEnv *env;                   /* owned; released after the session */
} ModelSession;

/* Dense float32 tensor dimensions, laid out as the runtime's shape array. */
typedef struct TensorShape {
    int64_t n, c, h, w;
} TensorShape;

/* Loads model_path (UTF-8) into *out. 0 on success; -1 on failure with *out
 * left empty and, for most failures, a message in msg. */
int ort_session_create(const char *model_path, ModelSession *out, char *msg, size_t msg_size);

/* Releases session then environment; leaves the record all zero. */
void ort_session_destroy(ModelSession *s);

/* Runs s once. inputs[i] is bound to the model's i-th input, outputs[i]
 * receives its i-th output and holds output_caps[i] floats; an output with
 * more elements is refused rather than copied past the buffer.
 * output_shapes[i] is updated to the produced shape (4 or 1 dimensions).
 * 0, -1 on failure, -2 when ort_runs_stop stopped it. */
int ort_session_run(ModelSession *s,
                    float *const *inputs, const TensorShape *input_shapes, int n_inputs,
                    float *const *outputs, TensorShape *output_shapes, const size_t *output_caps,
                    int n_outputs, char *msg, size_t msg_size);

/* The runtime's own messages on standard error during model runs: errors
 * (0, the default) or none but fatal ones (1). For the whole process. */
void ort_set_log_quiet(int quiet);

/* Stopping model runs from another thread. After ort_runs_stop, every run in
 * progress ends as soon as the runtime looks at its terminate flag (before
 * each operator of the graph, also inside loops), and every run that starts
 * later is refused, until ort_runs_allow. Any thread. */
void ort_runs_stop(void);
void ort_runs_allow(void);

#endif /* GW_ORT_HELPERS_H */
