"""Small stand-in detection models for the detector's tests.

Each takes the {1, 3, H, W} input in [-1, 1] and derives its output from the
brightness b = mean over channels of (in + 1) / 2, so a test that draws bright
shapes on black knows exactly where the "text" is:

  det_bright.onnx       {1, 1, H, W}      b
  det_bright_half.onnx  {1, 1, H/2, W/2}  2x2 average of b (resampled by the detector)
  det_range.onnx        {1, 1, H, W}      1.5 b - 0.2 (from -0.2 to 1.3: clamped)
  det_nan.onnx          {1, 1, H, W}      sqrt(2 b - 1): NaN where b < 0.5
  det_3d.onnx           {1, H, W}         b without the channel axis
  det_double.onnx       {1, 1, 2H, 2W}    b tiled twice each way (more than the map holds)
  det_two_planes.onnx   {1, 2, H, W}      b twice (more than the map holds)
  det_fail_run.onnx     reshapes to a fixed shape that no input fits: the run fails
  det_lama_standin.onnx two inputs, output = first input (stands in for the fill model)
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = [helper.make_opsetid("", 13)]


def save(nodes, name, inputs, outputs, inits, path):
    graph = helper.make_graph(nodes, name, inputs, outputs, inits)
    model = helper.make_model(graph, opset_imports=OPSET, producer_name="glyphwipe-tests")
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, path)


def f32(name, shape):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, shape)


def const(name, value, dtype=np.float32):
    return numpy_helper.from_array(np.asarray(value, dtype=dtype), name)


def brightness_nodes():
    """Nodes computing b ({1, 1, H, W}) from "in"."""
    nodes = [
        helper.make_node("Add", ["in", "one"], ["shifted"]),
        helper.make_node("Mul", ["shifted", "half"], ["unit"]),
        helper.make_node("ReduceMean", ["unit"], ["b"], axes=[1], keepdims=1),
    ]
    inits = [const("one", 1.0), const("half", 0.5)]
    return nodes, inits


def det_model(path, tail, extra_inits, out_shape):
    nodes, inits = brightness_nodes()
    save(nodes + tail, os.path.basename(path), [f32("in", [1, 3, None, None])], [f32("out", out_shape)],
         inits + extra_inits, path)


def main(out):
    os.makedirs(out, exist_ok=True)
    p = lambda n: os.path.join(out, n)
    any4 = [1, None, None, None]

    det_model(p("det_bright.onnx"), [helper.make_node("Identity", ["b"], ["out"])], [], any4)
    det_model(p("det_bright_half.onnx"),
              [helper.make_node("AveragePool", ["b"], ["out"], kernel_shape=[2, 2], strides=[2, 2])], [], any4)
    det_model(p("det_range.onnx"),
              [helper.make_node("Mul", ["b", "k"], ["scaled"]), helper.make_node("Sub", ["scaled", "off"], ["out"])],
              [const("k", 1.5), const("off", 0.2)], any4)
    det_model(p("det_nan.onnx"),
              [helper.make_node("Mul", ["b", "two"], ["b2"]), helper.make_node("Sub", ["b2", "one"], ["d"]),
               helper.make_node("Sqrt", ["d"], ["out"])],
              [const("two", 2.0)], any4)
    det_model(p("det_3d.onnx"), [helper.make_node("Squeeze", ["b", "axes"], ["out"])],
              [const("axes", [1], np.int64)], [1, None, None])
    det_model(p("det_double.onnx"), [helper.make_node("Tile", ["b", "reps"], ["out"])],
              [const("reps", [1, 1, 2, 2], np.int64)], any4)
    det_model(p("det_two_planes.onnx"), [helper.make_node("Concat", ["b", "b"], ["out"], axis=1)], [], any4)

    save([helper.make_node("Reshape", ["in", "shape"], ["out"])], "fail_run", [f32("in", [1, 3, None, None])],
         [f32("out", [7, 7, 7, 7])], [const("shape", [7, 7, 7, 7], np.int64)], p("det_fail_run.onnx"))

    save([helper.make_node("Identity", ["image"], ["out"])], "lama_standin",
         [f32("image", [1, 3, 512, 512]), f32("mask", [1, 1, 512, 512])], [f32("out", [1, 3, 512, 512])], [],
         p("det_lama_standin.onnx"))


if __name__ == "__main__":
    main(sys.argv[1])
