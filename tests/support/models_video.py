"""Stand-in fill model for the video tests when the project's own is missing."""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def fill_gray(path):
    """Two inputs (image 1x3x512x512, mask 1x1x512x512); the output is a flat
    mid-grey 1x3x512x512 on the 0..255 scale, so repainted text vanishes."""
    zero = numpy_helper.from_array(np.array(0.0, np.float32), "zero")
    grey = numpy_helper.from_array(np.array(128.0, np.float32), "grey")
    nodes = [
        helper.make_node("Mul", ["image", "zero"], ["i0"]),
        helper.make_node("Mul", ["mask", "zero"], ["m0"]),
        helper.make_node("Add", ["i0", "m0"], ["s"]),
        helper.make_node("Add", ["s", "grey"], ["out"]),
    ]
    f32 = lambda n, s: helper.make_tensor_value_info(n, TensorProto.FLOAT, s)
    g = helper.make_graph(nodes, "fill_gray",
                          [f32("image", [1, 3, 512, 512]), f32("mask", [1, 1, 512, 512])],
                          [f32("out", [1, 3, 512, 512])], [zero, grey])
    model = helper.make_model(g, opset_imports=[helper.make_opsetid("", 13)], producer_name="glyphwipe-tests")
    model.ir_version = 7
    onnx.save(model, path)


if __name__ == "__main__":
    os.makedirs(sys.argv[1], exist_ok=True)
    fill_gray(os.path.join(sys.argv[1], "video_fill_gray.onnx"))
