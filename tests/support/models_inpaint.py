"""Stand-in fill models for the inpainting tests.

All take the two inputs of the fill model (image 1x3x512x512 in 0..1, mask
1x1x512x512) and, unless they are meant to misbehave, produce one
1x3x512x512 output on the 0..255 scale.
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = [helper.make_opsetid("", 13)]
S = 512


def save(nodes, name, inits, path, inputs=("image", "mask")):
    graph = helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info(i, TensorProto.FLOAT, None) for i in inputs],
        [helper.make_tensor_value_info("out", TensorProto.FLOAT, None)],
        inits)
    model = helper.make_model(graph, opset_imports=OPSET, producer_name="glyphwipe-tests")
    model.ir_version = 7
    onnx.save(model, path)


def const(name, values, dtype=np.float32):
    return numpy_helper.from_array(np.asarray(values, dtype=dtype), name)


def zero_sum_nodes():
    """zero = image*0 + mask*0: a 1x3x512x512 tensor of zeros that depends on
    both inputs (so neither is an unused input)."""
    return [
        helper.make_node("Mul", ["image", "k0"], ["img0"]),
        helper.make_node("Mul", ["mask", "k0"], ["msk0"]),
        helper.make_node("Add", ["img0", "msk0"], ["zero"]),
    ], [const("k0", 0.0)]


def broadcast_value(values, path, then=None):
    """out = zero + values (values broadcast to 1x3x512x512), optionally
    followed by a list of nodes that turn "val" into "out"."""
    nodes, inits = zero_sum_nodes()
    inits.append(const("v", values))
    nodes.append(helper.make_node("Add", ["zero", "v"], ["val" if then else "out"]))
    extra_inits = []
    if then:
        more, extra_inits = then()
        nodes += more
    save(nodes, "value", inits + extra_inits, path)


def constant_colour(rgb, path):
    broadcast_value(np.asarray(rgb, np.float32).reshape(1, 3, 1, 1), path)


def column_values(path):
    """Every column block of 64 pixels holds one value, the same in all rows
    and channels: values that exercise the clamping and rounding of the output."""
    vals = [-3.2, 127.5, 254.6, 300.0, np.nan, -np.inf, np.inf, 0.4]
    row = np.repeat(np.asarray(vals, np.float32), S // len(vals)).reshape(1, 1, 1, S)
    broadcast_value(row, path)


def echo_image(path):
    """out = 255 * image: the crop comes back as it went in."""
    nodes, inits = zero_sum_nodes()
    inits.append(const("k255", 255.0))
    nodes += [helper.make_node("Mul", ["image", "k255"], ["scaled"]),
              helper.make_node("Add", ["scaled", "zero"], ["out"])]
    save(nodes, "echo", inits, path)


def mean_fill(path):
    """A crude classical fill: every pixel becomes the mean colour of the
    pixels outside the hole (mask 0)."""
    nodes, inits = zero_sum_nodes()
    inits += [const("one", 1.0), const("k255", 255.0), const("axes", [2, 3], np.int64), const("eps", 1e-6)]
    nodes += [
        helper.make_node("Sub", ["one", "mask"], ["keep"]),
        helper.make_node("Mul", ["image", "keep"], ["kept"]),
        helper.make_node("ReduceSum", ["kept", "axes"], ["sum_rgb"], keepdims=1),
        helper.make_node("ReduceSum", ["keep", "axes"], ["sum_keep"], keepdims=1),
        helper.make_node("Add", ["sum_keep", "eps"], ["den"]),
        helper.make_node("Div", ["sum_rgb", "den"], ["mean"]),
        helper.make_node("Mul", ["mean", "k255"], ["mean255"]),
        helper.make_node("Add", ["zero", "mean255"], ["out"]),
    ]
    save(nodes, "meanfill", inits, path)


def fail_at_run(path):
    """Reshape to a shape that no input matches: every run fails."""
    nodes, inits = zero_sum_nodes()
    inits.append(const("shape", [7, 7, 7, 7], np.int64))
    nodes.append(helper.make_node("Reshape", ["zero", "shape"], ["out"]))
    save(nodes, "failrun", inits, path)


def fail_when_bright(rgb, path):
    """Fails at run time when any image value exceeds 0.5; otherwise a
    constant colour. Lets one region of a frame fail and the next succeed."""
    nodes, inits = zero_sum_nodes()
    inits += [const("v", np.asarray(rgb, np.float32).reshape(1, 3, 1, 1)), const("half", 0.5),
              const("base", [1, 3, S, S], np.int64), const("pad0", [0, 0, 0], np.int64),
              const("ax0", [0], np.int64)]
    nodes += [
        helper.make_node("Add", ["zero", "v"], ["val"]),
        helper.make_node("ReduceMax", ["image"], ["mx"], keepdims=0),
        helper.make_node("Greater", ["mx", "half"], ["bright"]),
        helper.make_node("Cast", ["bright"], ["bright_i"], to=TensorProto.INT64),
        helper.make_node("Unsqueeze", ["bright_i", "ax0"], ["bright_v"]),
        helper.make_node("Concat", ["pad0", "bright_v"], ["pad"], axis=0),
        helper.make_node("Add", ["base", "pad"], ["shape"]),  # 1x3x512x513 when bright
        helper.make_node("Reshape", ["val", "shape"], ["out"]),
    ]
    save(nodes, "failbright", inits, path)


def wrong_shape(kind, path):
    """A constant colour delivered in a shape other than 1x3x512x512."""
    def then():
        if kind == "wider":     # 1x3x512x513: more elements than the pass has room for
            return ([helper.make_node("Concat", ["val", "col"], ["out"], axis=3)],
                    [const("col", np.full((1, 3, S, 1), 7.0, np.float32))])
        if kind == "smaller":   # 1x3x256x256
            return ([helper.make_node("Slice", ["val", "st", "en", "ax"], ["out"])],
                    [const("st", [0, 0], np.int64), const("en", [256, 256], np.int64),
                     const("ax", [2, 3], np.int64)])
        if kind == "hwc":       # 1x512x512x3: the right element count, another layout
            return [helper.make_node("Transpose", ["val"], ["out"], perm=[0, 2, 3, 1])], []
        if kind == "3d":        # 3x512x512
            return [helper.make_node("Squeeze", ["val", "ax"], ["out"])], [const("ax", [0], np.int64)]
        if kind == "1d":        # 786432 values in one dimension
            return ([helper.make_node("Reshape", ["val", "shp"], ["out"])],
                    [const("shp", [3 * S * S], np.int64)])
        raise ValueError(kind)
    broadcast_value(np.asarray([10.0, 20.0, 30.0], np.float32).reshape(1, 3, 1, 1), path, then)


def endless(path):
    """A fill that would run for years: a Loop of 2^62 turns, each adding
    zero to the picture, then the usual 0..255 output. Only a terminated run
    ends it (the runtime looks at the terminate flag before every node, also
    inside the loop's body)."""
    nodes, inits = zero_sum_nodes()
    body = helper.make_graph(
        [helper.make_node("Identity", ["cond_in"], ["cond_out"]),
         helper.make_node("Add", ["v_in", "k0"], ["v_out"])],
        "turn",
        [helper.make_tensor_value_info("i", TensorProto.INT64, []),
         helper.make_tensor_value_info("cond_in", TensorProto.BOOL, []),
         helper.make_tensor_value_info("v_in", TensorProto.FLOAT, None)],
        [helper.make_tensor_value_info("cond_out", TensorProto.BOOL, []),
         helper.make_tensor_value_info("v_out", TensorProto.FLOAT, None)])
    inits += [const("turns", 2 ** 62, np.int64), const("go", True, np.bool_), const("k255", 255.0)]
    nodes += [helper.make_node("Add", ["image", "zero"], ["start"]),
              helper.make_node("Loop", ["turns", "go", "start"], ["looped"], body=body),
              helper.make_node("Mul", ["looped", "k255"], ["out"])]
    save(nodes, "endless", inits, path)


def one_input(path):
    """Only one input: the run is refused before the model is touched."""
    k = const("k", 255.0)
    save([helper.make_node("Mul", ["image", "k"], ["out"])], "oneinput", [k], path, inputs=("image",))


def main(out):
    os.makedirs(out, exist_ok=True)
    p = lambda n: os.path.join(out, n)
    constant_colour([200, 100, 50], p("inp_const.onnx"))
    column_values(p("inp_columns.onnx"))
    echo_image(p("inp_echo.onnx"))
    mean_fill(p("inp_meanfill.onnx"))
    fail_at_run(p("inp_fail.onnx"))
    fail_when_bright([0, 200, 0], p("inp_fail_bright.onnx"))
    for kind in ("wider", "smaller", "hwc", "3d", "1d"):
        wrong_shape(kind, p("inp_shape_%s.onnx" % kind))
    one_input(p("inp_one_input.onnx"))
    endless(p("inp_endless.onnx"))


if __name__ == "__main__":
    main(sys.argv[1])
