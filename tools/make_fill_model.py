#!/usr/bin/python3
"""Builds the library's default inpainting model, "lama_fp32.onnx".

    /usr/bin/python3 tools/make_fill_model.py <out.onnx> [--force] [--iters 4,8,16,...] [--boost B] [--omega W]

The model keeps the inpainting contract of the library:
  input 0  image  float32 1x3x512x512, planar RGB, 0..1
  input 1  mask   float32 1x1x512x512, > 0.5 = repaint, otherwise keep
  output   filled float32 1x3x512x512, planar RGB, 0..255
Known pixels come back as exactly 255 * input.

It is a classical fill written in standard ONNX operators (opset 13), a
multi-scale push-pull over a normalised-convolution pyramid:

  push  the known pixels (colour premultiplied by a 0/1 weight, plus the
        weight itself) are low-pass filtered and halved level by level
        (4x4 binomial kernel, stride 2) from 512x512 down to 1x1; zero
        padding counts as unknown, so borders need no special case;
  pull  from the coarsest level up, each level's colour is the blend
        w * (known mean) + (1 - w) * (bilinear upsampling of the coarser
        level), with w = min(1, boost * weight), followed by a few damped
        Jacobi sweeps that relax the filled pixels towards the mean of their
        neighbours (a coarse-to-fine membrane solve, so gradients across a
        hole come out smooth instead of blocky);
  at 512x512 the weight is the hard mask, so known pixels are copied and
  only the hole is relaxed.

Everything is a fixed depthwise Conv, Resize, Pad or element-wise operator;
there are no trained weights.  Needs Debian's python3-onnx and numpy only.

An existing <out.onnx> that this script did not make (a LaMa export put in
its place) is kept unless --force is given.
"""
import argparse
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

SIZE = 512
OPSET = 13
IR_VERSION = 7
PRODUCER = "orvantix-glyphwipe make_fill_model"


class Graph:
    """Collects nodes and constant initialisers with unique names."""

    def __init__(self):
        self.nodes = []
        self.inits = []
        self.n = 0

    def name(self, base):
        self.n += 1
        return "%s_%d" % (base, self.n)

    def const(self, base, arr):
        nm = self.name(base)
        self.inits.append(numpy_helper.from_array(np.asarray(arr, dtype=np.float32), nm))
        return nm

    def const_i64(self, base, arr):
        nm = self.name(base)
        self.inits.append(numpy_helper.from_array(np.asarray(arr, dtype=np.int64), nm))
        return nm

    def op(self, op_type, inputs, base=None, out=None, **attrs):
        out = out or self.name(base or op_type.lower())
        self.nodes.append(helper.make_node(op_type, inputs, [out], **attrs))
        return out


def build(iters, boost, omega):
    """iters[i]: relaxation sweeps at the level of side 512 >> i (missing: 0)."""
    g = Graph()
    one = g.const("one", 1.0)
    half = g.const("half", 0.5)
    tiny = g.const("tiny", 1e-6)
    boost_c = g.const("boost", boost)
    scale255 = g.const("s255", 255.0)
    up_scales = g.const("up_scales", [1.0, 1.0, 2.0, 2.0])
    pad_edge = g.const_i64("pads", [0, 0, 1, 1, 0, 0, 1, 1])

    # Push filter: separable binomial [1 3 3 1] / 8, stride 2, one pad each
    # side; the exact adjoint of the bilinear half-pixel upsampling used in
    # the pull, so the pyramid has no half-pixel drift.
    b = np.array([1.0, 3.0, 3.0, 1.0], np.float32) / 8.0
    k4 = np.outer(b, b).astype(np.float32)
    push_w = g.const("push_w", np.tile(k4[None, None], (4, 1, 1, 1)))

    # Relaxation kernel: (1 - omega) * centre + omega * mean of the four
    # neighbours (damped Jacobi for the Laplace equation).
    r = np.zeros((3, 3), np.float32)
    r[1, 1] = 1.0 - omega
    r[0, 1] = r[2, 1] = r[1, 0] = r[1, 2] = omega / 4.0
    relax_w = g.const("relax_w", np.tile(r[None, None], (3, 1, 1, 1)))

    # 1 where the pixel is known (mask <= 0.5), else 0.  NaN in the mask
    # compares false in Greater, so it counts as known.
    hole = g.op("Greater", ["mask", half], "hole_b")
    hole_f = g.op("Cast", [hole], "hole_f", to=TensorProto.FLOAT)
    known = g.op("Sub", [one, hole_f], "known")

    # Level 0 as colour * weight and weight, four channels.
    pk = g.op("Mul", ["image", known], "pk")
    level = [g.op("Concat", [pk, known], "x0", axis=1)]
    size = SIZE
    while size > 1:
        level.append(g.op("Conv", [level[-1], push_w], "push", group=4,
                          kernel_shape=[4, 4], strides=[2, 2], pads=[1, 1, 1, 1]))
        size //= 2

    starts3 = g.const_i64("s0", [0])
    ends3 = g.const_i64("e3", [3])
    starts4 = g.const_i64("s3", [3])
    ends4 = g.const_i64("e4", [4])
    axis1 = g.const_i64("ax1", [1])

    def split(x):
        p = g.op("Slice", [x, starts3, ends3, axis1], "p")
        w = g.op("Slice", [x, starts4, ends4, axis1], "w")
        return p, w

    def relax(c, data, wt, iters):
        """iters damped Jacobi sweeps on c, holding wt of each pixel at data."""
        inv = g.op("Sub", [one, wt], "inv")
        fixed = g.op("Mul", [wt, data], "fixed")
        for _ in range(iters):
            padded = g.op("Pad", [c, pad_edge], "pad", mode="edge")
            sm = g.op("Conv", [padded, relax_w], "relax", group=3, kernel_shape=[3, 3])
            c = g.op("Add", [fixed, g.op("Mul", [inv, sm], "free")], "c")
        return c

    # Coarsest level (1x1): the weighted mean of all known pixels; mid grey
    # when nothing at all is known.
    p, w = split(level[-1])
    grey = g.const("grey", 0.5 * 1e-6)
    c = g.op("Div", [g.op("Add", [p, grey]), g.op("Add", [w, tiny])], "c_top")

    for li in range(len(level) - 2, -1, -1):
        up = g.op("Resize", [c, "", up_scales], "up", mode="linear",
                  coordinate_transformation_mode="half_pixel")
        if li == 0:
            # Full resolution: the weight is the hard 0/1 mask and the data is
            # the input itself, so known pixels pass through bit-exact.
            data, wt = "image", known
        else:
            p, w = split(level[li])
            data = g.op("Div", [p, g.op("Max", [w, tiny])], "mean")
            wt = g.op("Min", [g.op("Mul", [w, boost_c]), one], "wt")
        inv = g.op("Sub", [one, wt], "inv")
        c = g.op("Add", [g.op("Mul", [wt, data]), g.op("Mul", [inv, up])], "blend")
        n_it = iters[li] if li < len(iters) else 0
        if n_it:
            c = relax(c, data, wt, n_it)
        if li == 0:
            # Written once more as known * image + hole * fill so that a known
            # pixel is image * 1 + 0 exactly, whatever the sweeps did.
            c = g.op("Add", [g.op("Mul", ["image", known]), g.op("Mul", [hole_f, c])], "final")

    g.op("Mul", [c, scale255], out="output")

    f32 = lambda n, s: helper.make_tensor_value_info(n, TensorProto.FLOAT, s)
    graph = helper.make_graph(
        g.nodes, "glyphwipe_fill",
        [f32("image", [1, 3, SIZE, SIZE]), f32("mask", [1, 1, SIZE, SIZE])],
        [f32("output", [1, 3, SIZE, SIZE])], g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name=PRODUCER)
    model.ir_version = IR_VERSION
    model.doc_string = ("Push-pull fill: known pixels are kept, holes (mask > 0.5) are filled "
                        "from a multi-scale pyramid and relaxed; output on the 0..255 scale.")
    onnx.checker.check_model(model)
    return model


def foreign_model(path):
    """True when path holds a model that this script did not make (a LaMa
    export dropped in by hand), which must not be overwritten."""
    if not os.path.isfile(path) or os.path.getsize(path) == 0:
        return False
    try:
        m = onnx.load(path, load_external_data=False)
    except Exception:  # unreadable: a broken file is replaced
        return False
    return len(m.graph.node) > 0 and m.producer_name != PRODUCER


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("out")
    ap.add_argument("--force", action="store_true", help="overwrite a model this script did not make")
    ap.add_argument("--iters", default="4,8,16,16,16,16,16,16,16",
                    help="relaxation sweeps per level, from 512x512 down to 2x2")
    ap.add_argument("--boost", type=float, default=2.0, help="weight boost of partly known pixels")
    ap.add_argument("--omega", type=float, default=0.8, help="Jacobi damping")
    a = ap.parse_args(argv)
    if not a.force and foreign_model(a.out):
        # Keep the dropped-in model; mark it current so that set-up does not
        # ask again until this script changes.
        os.utime(a.out)
        print("%s: kept, not made by this script (--force replaces it)" % a.out)
        return 0
    model = build([int(v) for v in a.iters.split(",") if v.strip()], a.boost, a.omega)
    tmp = a.out + ".part"
    onnx.save(model, tmp)
    os.replace(tmp, a.out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
