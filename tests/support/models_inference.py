"""Small ONNX models for the session layer's tests (wrong counts, odd shapes)."""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = [helper.make_opsetid("", 13)]


def save(graph, path):
    model = helper.make_model(graph, opset_imports=OPSET, producer_name="glyphwipe-tests")
    model.ir_version = 7
    onnx.save(model, path)


def f32(name, shape):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, shape)


def identity_n(n_in, n_out, path):
    """n_in inputs, n_out outputs; output j = input 0 (or a constant when no input)."""
    inputs = [f32("in%d" % i, None) for i in range(n_in)]
    outputs = [f32("out%d" % j, None) for j in range(n_out)]
    nodes = []
    inits = []
    for j in range(n_out):
        if n_in:
            nodes.append(helper.make_node("Identity", ["in0"], ["out%d" % j]))
        else:
            inits.append(numpy_helper.from_array(np.ones(3, np.float32), "c%d" % j))
            nodes.append(helper.make_node("Identity", ["c%d" % j], ["out%d" % j]))
    save(helper.make_graph(nodes, "io", inputs, outputs, inits), path)


def const_output(values, path, dtype=np.float32):
    """One float input that is ignored; the output is a fixed tensor."""
    arr = np.asarray(values, dtype=dtype)
    c = numpy_helper.from_array(arr, "c")
    out_type = c.data_type
    g = helper.make_graph(
        [helper.make_node("Identity", ["c"], ["out"])], "const",
        [f32("in", None)], [helper.make_tensor_value_info("out", out_type, list(arr.shape))], [c])
    save(g, path)


def scale2(path):
    """out = 2 * in, any shape."""
    two = numpy_helper.from_array(np.array(2.0, np.float32), "two")
    g = helper.make_graph([helper.make_node("Mul", ["in", "two"], ["out"])], "scale2",
                          [f32("in", None)], [f32("out", None)], [two])
    save(g, path)


def add2(path):
    """out = a + b, two inputs."""
    g = helper.make_graph([helper.make_node("Add", ["a", "b"], ["out"])], "add2",
                          [f32("a", None), f32("b", None)], [f32("out", None)])
    save(g, path)


def long_names(path):
    """An input and an output whose names are 300 bytes long."""
    iname, oname = "i" * 300, "o" * 300
    g = helper.make_graph([helper.make_node("Identity", [iname], [oname])], "names",
                          [f32(iname, None)], [f32(oname, None)])
    save(g, path)


def fail_at_run(path):
    """Reshape to a fixed shape that no real input matches: the run fails."""
    shape = numpy_helper.from_array(np.array([7, 7, 7, 7], np.int64), "shape")
    g = helper.make_graph([helper.make_node("Reshape", ["in", "shape"], ["out"])], "failrun",
                          [f32("in", None)], [f32("out", None)], [shape])
    save(g, path)


def main(out):
    os.makedirs(out, exist_ok=True)
    p = lambda n: os.path.join(out, n)
    identity_n(5, 1, p("five_inputs.onnx"))
    identity_n(1, 5, p("five_outputs.onnx"))
    identity_n(0, 1, p("no_inputs.onnx"))
    identity_n(2, 1, p("two_inputs.onnx"))
    scale2(p("scale2.onnx"))
    add2(p("add2.onnx"))
    long_names(p("long_names.onnx"))
    fail_at_run(p("fail_run.onnx"))
    const_output(np.arange(7, dtype=np.float32), p("out_1d7.onnx"))
    const_output(np.ones((2, 3, 4), np.float32), p("out_3d.onnx"))
    const_output(np.ones((1, 1, 4, 5), np.float32), p("out_4d.onnx"))
    const_output(np.ones((1, 1, 0, 5), np.float32), p("out_zero.onnx"))
    const_output(np.ones((1, 1, 2, 3, 4), np.float32), p("out_5d.onnx"))
    const_output(np.ones((1, 1, 4, 5), np.int64), p("out_int64.onnx"), dtype=np.int64)
    const_output(np.ones((1, 1, 4, 5), np.uint8), p("out_uint8.onnx"), dtype=np.uint8)
    with open(p("not_a_model.onnx"), "wb") as f:
        f.write(b"this is not an onnx model\n")
    with open(p("empty.onnx"), "wb") as f:
        pass
    data = open(p("scale2.onnx"), "rb").read()
    with open(p("truncated.onnx"), "wb") as f:
        f.write(data[: len(data) // 2])


if __name__ == "__main__":
    main(sys.argv[1])
