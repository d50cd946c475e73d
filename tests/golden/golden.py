#!/usr/bin/python3
"""Golden check: results at the library's default options must not change.

    /usr/bin/python3 tests/golden/golden.py [--lib LIB] [--models DIR] [--update]

For every picture in this folder: the detection report (exact text) and the
SHA-256 of the cleaned picture written as PNG and as JPEG; for the clip: the
SHA-256 of the cleaned video's decoded pictures (RGB24), without and with a
band. The figures live in expected.json; --update writes them anew, which is
only right when a change at default options is intended and explained.

ONNX Runtime picks its kernels by the processor's instruction set and splits
a network's work over the cores the process may use; the floating-point
results then differ in their last bits, which can move a pixel of the hole.
Figures that differ on another kind of machine are kept beside the others,
under "by_machine" and its name ("avx2 x2": instruction set, cores);
--record-machine adds this machine's, and is only right on code whose results
were checked unchanged on a machine already recorded.
A second set of runs at radius 0, threshold 0.5 covers the other code paths.
Exit 0 on a match, 1 on a difference, 77 when the models are missing.
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PICTURES = ["subtitle.png", "two_lines.png", "title.png", "no_text.png"]
CLIP = "clip.mkv"
SETTINGS = {"default": {}, "radius0": {"inpaint_radius": 0, "threshold": 0.5}}


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def decoded_sha(path):
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", path, "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], check=True, stdout=subprocess.PIPE).stdout
    return hashlib.sha256(raw).hexdigest()


def measure(gw, models, work):
    got = {}
    for name, options in SETTINGS.items():
        gw.init(models, plain=True)
        for k, v in options.items():
            gw.set_option(k, v)
        for pic in PICTURES:
            src = os.path.join(HERE, pic)
            entry = {"detect": json.dumps(gw.detect(src), separators=(",", ":"))}
            for ext in ("png", "jpg"):
                out = os.path.join(work, f"{name}-{pic}.{ext}")
                gw.clean_image(src, out)
                entry[ext] = sha(out)
            got[f"{name}/{pic}"] = entry
        clip = os.path.join(HERE, CLIP)
        for label, band in (("whole", None), ("band_75_100", (75, 100))):
            out = os.path.join(work, f"{name}-{label}.mp4")
            gw.clean_video(clip, out, band=band)
            got[f"{name}/{CLIP}/{label}"] = {"pictures": decoded_sha(out)}
        gw.cleanup()
    return got


def machine_kind():
    """The widest vector instruction set the runtime's kernels can use here,
    and the number of cores this process may run on."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = next((l.split(":", 1)[1].split() for l in f if l.startswith("flags")), [])
    except OSError:
        flags = []
    isa = next((name for name in ("avx512f", "avx2", "avx") if name in flags), "sse")
    return f"{isa} x{len(os.sched_getaffinity(0))}"


def expected_here(want, isa):
    """The recorded figures with this instruction set's own in their place."""
    base = {k: dict(v) for k, v in want.items() if k != "by_machine"}
    for key, fields in want.get("by_machine", {}).get(isa, {}).items():
        base.setdefault(key, {}).update(fields)
    return base


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--lib", help="shared library to test (default: the binding's own choice)")
    ap.add_argument("--models", default=os.path.join(ROOT, "models"))
    ap.add_argument("--update", action="store_true", help="write expected.json from this run")
    ap.add_argument("--record-machine", action="store_true",
                    help="keep this run's figures that differ as those of this instruction set")
    args = ap.parse_args()
    if args.lib:
        os.environ["GLYPHWIPE_LIB"] = os.path.abspath(args.lib)
    if not all(os.path.isfile(os.path.join(args.models, f))
               for f in ("ch_PP-OCRv4_det_infer.onnx", "lama_fp32.onnx")):
        print("golden: models missing in", args.models)
        return 77
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import glyphwipe as gw

    with tempfile.TemporaryDirectory() as work:
        got = measure(gw, args.models, work)
    path = os.path.join(HERE, "expected.json")
    isa = machine_kind()
    if args.update:
        with open(path, "w") as f:
            json.dump(got, f, indent=1, sort_keys=True)
            f.write("\n")
        print(f"golden: wrote {len(got)} entries to {path}")
        return 0
    with open(path) as f:
        recorded = json.load(f)
    if args.record_machine:
        base = expected_here({k: v for k, v in recorded.items() if k != "by_machine"}, "")
        own = {k: {f: v for f, v in g.items() if base.get(k, {}).get(f) != v} for k, g in got.items()}
        own = {k: v for k, v in own.items() if v}
        recorded.setdefault("by_machine", {})[isa] = own
        with open(path, "w") as f:
            json.dump(recorded, f, indent=1, sort_keys=True)
            f.write("\n")
        print(f"golden: {len(own)} entries recorded for {isa}")
        return 0
    want = expected_here(recorded, isa)
    bad = 0
    for key in sorted(set(want) | set(got)):
        w, g = want.get(key), got.get(key)
        if w != g:
            bad += 1
            for field in sorted(set(w or {}) | set(g or {})):
                if (w or {}).get(field) != (g or {}).get(field):
                    print(f"golden: {key} {field} differs\n  expected {(w or {}).get(field)}\n  got      {(g or {}).get(field)}")
    print(f"golden: {len(want) - bad} of {len(want)} entries match ({isa})")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
