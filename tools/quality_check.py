#!/usr/bin/python3
"""Quality check of text removal, driven through the library's public API.

    /usr/bin/python3 tools/quality_check.py [--set small|large] [--lib build/liborvantix-glyphwipe.so]
        [--models models] [--radii 5,12] [--check] [--examples DIR] [--bench build/tools/bench_fill]

The small set (7 pictures, well under a minute) runs under CTest; the large
set (147 pictures, about 4 minutes) is the report: the "text left" rate
counts whole pictures, and on 49 a single picture moved it by 2 points,
more than the differences it is meant to show. The pictures come from one
seeded sequence, so the first N are the same for any count (--count 49 is a
quick look). For each test picture, text is drawn with ffmpeg's drawtext
(DejaVu Sans Bold) over a synthetic background whose text-free original is kept. The picture is
cleaned with glyphwipe_process_image and compared with the original:

  text area   pixels where the text picture differs from the original,
              dilated by 3 pixels; PSNR is measured there only;
  before      PSNR of the text picture itself;
  after       PSNR of the library's result;
  telea       PSNR of OpenCV's cv2.inpaint (INPAINT_TELEA, inpaintRadius 5)
              on the text picture, with a hole made of the box part of the
              library's mask (every box that glyphwipe_detect reports for the
              text picture, grown by 2 * inpaint_radius on every side and
              clipped) joined with every pixel the library changed;
  telea-in    the same with a tighter hole: the box part only where the
              library repainted (changed pixels dilated by 2). The first hole
              also takes in the feathered rim that the library only half
              repaints, which favours Telea where the hole edge cuts through
              letters (small radii); the second leaves out what the library
              did not reach (text beyond a crop), so the truth for the
              library's own hole lies between the two;
  text left   glyphwipe_detect on the cleaned picture reports more boxes over
              the text areas than it does on the text-free original (some
              backgrounds have text-like features of their own); the count
              of pictures with no box at all is given too. Figures are also given for
              the pictures whose every text line, grown by the library's
              24-pixel region margin, fits in one square crop: a wider region
              is repainted only in its middle part, so the rest of its text
              stays by design and says nothing about the fill.

OpenCV's Telea inpainting serves only as a reference fill here.
Figures are printed for each inpaint_radius given (default 5 and 12).

--check fails (exit 1) on gross breakage only: a library call failing, no
text detected in any text picture, cleaning that raises the mean text-area
PSNR by less than 3 dB at some radius (a working fill gains 10 to 25 dB), or
text left in more than half of the pictures at the largest radius. Numeric
targets are reported, never enforced.

--bench runs the bench_fill tool, when given, for the fill model's and the
detection network's time per run, and compares the fill model alone with
Telea on the same 512x512 holes (no detection, no scaling, no blending).
"""
import argparse
import collections
import glob
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
PSNR_CAP = 60.0
MIN_GAIN_DB = 3.0  # --check: least text-area PSNR gain that cleaning must bring
REGION_MARGIN = 24  # the library grows each box by this much into an inpaint region

PHRASES = [
    "Hello World", "The quick brown fox", "Subtitles 2024", "BREAKING NEWS",
    "Where are you going?", "I will be back soon", "Chapter 7", "Sale 50% off",
    "Tomorrow at 9 PM", "Live from the studio", "Thank you for watching",
    "Episode 12 - The Return", "Open 24 hours", "WARNING: wet floor",
    "See you later", "Price 19.99", "Caption text here", "Winter is coming",
]
COLOURS = ["white", "yellow", "black", "red", "cyan", "0x202020", "orange", "lime"]


# --- test pictures ------------------------------------------------------------

def background_source(kind, w, h, rng):
    """An ffmpeg lavfi source (plus filters) for a w x h background."""
    s = "s=%dx%d" % (w, h)
    if kind == "plain":
        return "color=c=%s:%s" % (rng.choice(["0x336699", "gray", "0xf0e0c0", "0x102010", "white", "0x804020"]), s)
    if kind == "gradient":
        a, b, c = rng.randint(20, 120), rng.randint(20, 120), rng.randint(100, 230)
        return ("color=c=black:%s,format=gbrp,geq=r='%d+%d*X/W':g='%d+%d*Y/H':b='%d-%d*(X+Y)/(W+H)'"
                % (s, a, rng.randint(60, 130), b, rng.randint(60, 130), c, rng.randint(40, 100)))
    if kind == "noise":
        return ("cellauto=%s:rule=%d:seed=%d,format=rgb24,boxblur=%d,eq=contrast=0.6"
                % (s, rng.choice([30, 110, 90]), rng.randint(1, 1 << 30), rng.choice([2, 3, 4])))
    if kind == "plasma":
        fx, fy = rng.uniform(20, 80), rng.uniform(20, 80)
        return ("color=c=black:%s,format=gbrp,geq=r='128+90*sin(X/%.1f)*cos(Y/%.1f)':"
                "g='128+80*cos(X/%.1f+Y/%.1f)':b='110+70*sin((X-Y)/%.1f)'"
                % (s, fx, fy, fy * 1.3, fx * 0.7, (fx + fy) / 2))
    if kind == "mandelbrot":
        return "mandelbrot=%s:start_scale=%.2f,gblur=sigma=%.1f" % (s, rng.uniform(1.5, 3.0), rng.uniform(0.5, 2.5))
    if kind == "testsrc2":
        return "testsrc2=%s" % s
    if kind == "life":
        return ("life=%s:seed=%d:mold=10:ratio=0.3:death_color=0x304050:life_color=0xc0a080,"
                "format=rgb24,gblur=sigma=%.1f" % (s, rng.randint(1, 1 << 30), rng.uniform(2, 5)))
    raise ValueError(kind)


def dt_escape(t):
    """Escapes a drawtext option value (expansion is off, so % is literal)."""
    out = []
    for ch in t:
        if ch in ":\\',":
            out.append("\\")
        out.append(ch)
    return "".join(out)


def drawtext(line):
    f = ("drawtext=fontfile=%s:expansion=none:text='%s':x=%d:y=%d:fontsize=%d:fontcolor=%s"
         % (FONT, dt_escape(line["text"]), line["x"], line["y"], line["size"], line["color"]))
    if line["border"]:
        f += ":borderw=%d:bordercolor=%s" % (line["border"], line["border_color"])
    return f


def ffmpeg(args):
    subprocess.run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error"] + args, check=True)


def make_case(i, rng, work):
    """Renders one original/text picture pair; returns its description."""
    kinds = ["plain", "gradient", "noise", "plasma", "mandelbrot", "testsrc2", "life"]
    kind = kinds[i % len(kinds)]
    w, h = rng.choice([(640, 360), (800, 600), (960, 540), (512, 512), (1280, 720), (480, 640)])
    lines = []
    for _ in range(rng.choice([1, 1, 2, 2, 3])):
        size = max(18, int(rng.uniform(0.04, 0.11) * min(w, h) * (1.6 if min(w, h) < 500 else 1)))
        text = rng.choice(PHRASES)
        tw = int(0.68 * size * len(text))
        while tw > w - 20 and len(text) > 4:
            text = text[: len(text) - 3].rstrip()
            tw = int(0.68 * size * len(text))
        colour = rng.choice(COLOURS)
        border = rng.choice([0, 0, 2, 3, 5])
        bcol = "white" if colour in ("black", "0x202020") else "black"
        x = rng.randint(10, max(10, w - tw - 10))
        # Keep lines apart so that each text area belongs to one line.
        for _try in range(20):
            y = rng.randint(10, max(10, h - size - 20))
            if all(abs(y - l["y"]) > 1.6 * max(size, l["size"]) for l in lines):
                break
        else:
            continue
        lines.append(dict(text=text, x=x, y=y, size=size, color=colour, border=border, border_color=bcol))
    src = background_source(kind, w, h, rng)
    orig = os.path.join(work, "%03d_orig.png" % i)
    text = os.path.join(work, "%03d_text.png" % i)
    ffmpeg(["-f", "lavfi", "-i", src, "-frames:v", "1", "-pix_fmt", "rgb24", orig])
    ffmpeg(["-i", orig, "-vf", ",".join(drawtext(l) for l in lines), "-pix_fmt", "rgb24", text])
    return dict(index=i, kind=kind, w=w, h=h, lines=lines, orig=orig, text=text)


# --- the library, through the project's Python binding ------------------------------

def find_lib(arg):
    if arg:
        return arg
    cands = [os.path.join(ROOT, "build", "liborvantix-glyphwipe.so")] + sorted(
        glob.glob(os.path.join(ROOT, "build*", "liborvantix-glyphwipe.so")), key=os.path.getmtime, reverse=True)
    for c in cands:
        if os.path.exists(c):
            return c
    sys.exit("no build*/liborvantix-glyphwipe.so found; pass --lib")


def load_binding(lib_path):
    """The project's Python binding (python/glyphwipe/) bound to lib_path."""
    os.environ["GLYPHWIPE_LIB"] = lib_path
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import glyphwipe
    return glyphwipe


# --- measures ------------------------------------------------------------------------

def read_rgb(path):
    img = cv2.imread(path, cv2.IMREAD_COLOR)
    if img is None:
        raise RuntimeError("cannot read " + path)
    return img  # BGR; PSNR does not care about channel order


def psnr(a, b, sel):
    d = a.astype(np.float64)[sel] - b.astype(np.float64)[sel]
    mse = float((d * d).mean()) if d.size else 0.0
    return PSNR_CAP if mse <= 0 else min(PSNR_CAP, 10.0 * math.log10(255.0 * 255.0 / mse))


def text_area(orig, text):
    diff = (np.abs(orig.astype(np.int16) - text.astype(np.int16)).max(axis=2) > 0).astype(np.uint8)
    return cv2.dilate(diff, np.ones((7, 7), np.uint8)) > 0


def box_hole(boxes, radius, h, w):
    m = np.zeros((h, w), np.uint8)
    g = 2 * radius
    for b in boxes:
        x0, y0 = max(0, b["x"] - g), max(0, b["y"] - g)
        x1, y1 = min(w, b["x"] + b["w"] + g), min(h, b["y"] + b["h"] + g)
        if x1 > x0 and y1 > y0:
            m[y0:y1, x0:x1] = 1
    return m


def inpaint_telea(img, hole):
    return cv2.inpaint(img, hole * 255, 5, cv2.INPAINT_TELEA) if hole.any() else img


def mean(v):
    return sum(v) / len(v) if v else float("nan")


# --- the run ------------------------------------------------------------------------------

def boxes_touch(boxes, area):
    """Boxes (from glyphwipe_detect) that overlap a text area."""
    n = 0
    for b in boxes:
        if area[b["y"]:b["y"] + b["h"], b["x"]:b["x"] + b["w"]].any():
            n += 1
    return n


def fits_one_crop(c):
    """True when every detected line, grown by the 24-pixel region margin, fits
    in one square crop. A region wider than the picture's smaller side is only
    repainted in its middle part, so text beyond that is left by design."""
    side = min(c["w"], c["h"])
    return all(max(b["w"], b["h"]) + 2 * REGION_MARGIN <= side for b in c["boxes"])


def run(args):
    lib_path = find_lib(args.lib)
    n = {"small": 7, "large": 147}[args.set] if args.count is None else args.count
    radii = [int(r) for r in args.radii.split(",") if r]
    work = tempfile.mkdtemp(prefix="gw_quality_")
    failures = []
    try:
        rng = random.Random(args.seed)
        t0 = time.time()
        cases = [make_case(i, rng, work) for i in range(n)]
        print("library: %s" % lib_path)
        print("%d pictures rendered in %.1f s" % (n, time.time() - t0))
        lib = load_binding(lib_path)
        lib.init(args.models, plain=True)
        # Detection does not depend on the radius: once per picture.
        for c in cases:
            c["boxes"] = lib.detect(c["text"])
            c["o"] = read_rgb(c["orig"])
            c["t"] = read_rgb(c["text"])
            c["area"] = text_area(c["o"], c["t"])
            c["orig_hits"] = boxes_touch(lib.detect(c["orig"]), c["area"])
            c["fits"] = fits_one_crop(c)
        found = sum(1 for c in cases if boxes_touch(c["boxes"], c["area"]))
        print("text found before cleaning in %d of %d pictures; boxes over the text areas in the text-free"
              " originals: %d pictures" % (found, n, sum(1 for c in cases if c["orig_hits"])))
        print("pictures whose every text line fits in one crop: %d of %d" % (sum(c["fits"] for c in cases), n))
        if found == 0:
            failures.append("no text detected in any text picture")

        summary = {}
        for radius in radii:
            lib.set_option("inpaint_radius", radius)
            rows = []
            if args.verbose:
                print("\ninpaint_radius %d" % radius)
                print("  #  background   size      lines boxes fits  before  after  telea telea-in"
                      "  boxes after (on text; on text in the original)")
            t_proc = 0.0
            for c in cases:
                out = os.path.join(work, "%03d_clean_r%d.png" % (c["index"], radius))
                t1 = time.time()
                lib.clean_image(c["text"], out)
                t_proc += time.time() - t1
                after = lib.detect(out)
                cl = read_rgb(out)
                h, w = c["o"].shape[:2]
                boxes = box_hole(c["boxes"], radius, h, w)
                changed = (np.abs(cl.astype(np.int16) - c["t"].astype(np.int16)).max(axis=2) > 0).astype(np.uint8)
                telea = inpaint_telea(c["t"], boxes | changed)
                telea_in = inpaint_telea(c["t"], boxes & cv2.dilate(changed, np.ones((5, 5), np.uint8)))
                r = dict(before=psnr(c["t"], c["o"], c["area"]), after=psnr(cl, c["o"], c["area"]),
                         telea=psnr(telea, c["o"], c["area"]), telea_in=psnr(telea_in, c["o"], c["area"]),
                         any=len(after),
                         on_text=boxes_touch(after, c["area"]), orig_hits=c["orig_hits"], fits=c["fits"],
                         kind=c["kind"])
                rows.append(r)
                if args.verbose:
                    print("  %-2d %-11s %4dx%-4d  %d     %-3d   %-3s  %6.2f %6.2f %6.2f %6.2f   %d (%d; %d)"
                          % (c["index"], c["kind"], w, h, len(c["lines"]), len(c["boxes"]),
                             "yes" if c["fits"] else "no", r["before"], r["after"], r["telea"], r["telea_in"],
                             r["any"], r["on_text"], c["orig_hits"]))
                if args.examples:
                    os.makedirs(args.examples, exist_ok=True)
                    cv2.imwrite(os.path.join(args.examples, "%03d_r%d.png" % (c["index"], radius)),
                                np.hstack([c["t"], cl, telea, c["o"]]))
            fit = [r for r in rows if r["fits"]]
            s = dict(n=len(rows), n_fit=len(fit),
                     none=sum(1 for r in rows if r["any"] == 0),
                     clean=sum(1 for r in rows if r["on_text"] <= r["orig_hits"]),
                     clean_fit=sum(1 for r in fit if r["on_text"] <= r["orig_hits"]),
                     ms=1000.0 * t_proc / len(rows),
                     left_by_kind=sorted(collections.Counter(r["kind"] for r in rows
                                                             if r["on_text"] > r["orig_hits"]).items()))
            for k in ("before", "after", "telea", "telea_in"):
                s[k] = mean([r[k] for r in rows])
                s[k + "_fit"] = mean([r[k] for r in fit])
            summary[radius] = s
            # Gross breakage only: any working fill gains far more than this.
            if s["after"] < s["before"] + MIN_GAIN_DB:
                failures.append("radius %d: cleaning barely changed or lowered the text-area PSNR (%.2f -> %.2f dB)"
                                % (radius, s["before"], s["after"]))
        top = summary[max(radii)]
        if top["clean"] < 0.5 * top["n"]:
            failures.append("radius %d: text left in %d of %d pictures" % (max(radii), top["n"] - top["clean"], top["n"]))
        lib.cleanup()

        pct = lambda a, b: 100.0 * a / b if b else float("nan")
        print("\nmean PSNR in the text areas (dB): all %d pictures | the %d whose lines fit one crop"
              % (n, sum(c["fits"] for c in cases)))
        print("  radius  before   after   telea telea-in |  before   after   telea telea-in   ms/picture")
        for radius, s in summary.items():
            print("  %-6d  %6.2f  %6.2f  %6.2f  %6.2f  |  %6.2f  %6.2f  %6.2f  %6.2f    %6.0f"
                  % (radius, s["before"], s["after"], s["telea"], s["telea_in"], s["before_fit"], s["after_fit"],
                     s["telea_fit"], s["telea_in_fit"], s["ms"]))
        print("pictures in which glyphwipe_detect finds no text after cleaning: no box at all; no more boxes"
              " on the text areas than in the text-free original; the same among the pictures whose lines"
              " fit one crop")
        print("  radius  no box at all      no text left            no text left, lines fit one crop")
        for radius, s in summary.items():
            print("  %-6d  %3d/%-3d %5.1f%%     %3d/%-3d %5.1f%%          %3d/%-3d %5.1f%%"
                  % (radius, s["none"], s["n"], pct(s["none"], s["n"]), s["clean"], s["n"],
                     pct(s["clean"], s["n"]), s["clean_fit"], s["n_fit"], pct(s["clean_fit"], s["n_fit"])))
        of_kind = collections.Counter(c["kind"] for c in cases)
        for radius, s in summary.items():
            print("  radius %d, text left by background: %s"
                  % (radius, ", ".join("%s %d of %d" % (k, v, of_kind[k]) for k, v in s["left_by_kind"]) or "none"))
        if args.bench:
            bench(args, work)
    finally:
        if args.keep:
            print("kept %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures and args.check else 0


def bench(args, work):
    """The fill model alone against Telea on identical 512x512 holes, and timing."""
    lama = os.path.join(args.models, "lama_fp32.onnx")
    det = os.path.join(args.models, "ch_PP-OCRv4_det_infer.onnx")
    print("\n" + subprocess.run([args.bench, "time", lama, det, "10"], check=True,
                                capture_output=True, text=True).stdout.rstrip())
    rng = random.Random(args.seed + 1)
    res = {}
    for i in range(14):
        c = make_case(i, rng, work)
        o, t = read_rgb(c["orig"]), read_rgb(c["text"])
        o = cv2.resize(o, (512, 512), interpolation=cv2.INTER_AREA)
        t = cv2.resize(t, (512, 512), interpolation=cv2.INTER_AREA)
        diff = (np.abs(o.astype(np.int16) - t.astype(np.int16)).max(axis=2) > 0).astype(np.uint8)
        area = cv2.dilate(diff, np.ones((7, 7), np.uint8)) > 0
        for grow in (3, 10):
            hole = cv2.dilate(diff, np.ones((2 * grow + 1, 2 * grow + 1), np.uint8))
            tp, mp, fp = (os.path.join(work, "b%d_%s.png" % (i, k)) for k in ("t", "m", "f"))
            cv2.imwrite(tp, t)
            cv2.imwrite(mp, cv2.cvtColor(hole * 255, cv2.COLOR_GRAY2BGR))
            subprocess.run([args.bench, "apply", lama, tp, mp, fp], check=True)
            f = read_rgb(fp)
            if not np.array_equal(f[hole == 0], t[hole == 0]):
                print("  known pixels changed by the fill model (picture %d)" % i)
            te = cv2.inpaint(t, hole * 255, 5, cv2.INPAINT_TELEA)
            res.setdefault(grow, []).append((psnr(f, o, area), psnr(te, o, area)))
    print("fill model alone vs Telea, 512x512, hole = text pixels dilated by g (mean PSNR in the text areas):")
    for grow, v in res.items():
        print("  g=%-2d  fill %6.2f dB   telea %6.2f dB   (%d pictures)"
              % (grow, mean([a for a, _ in v]), mean([b for _, b in v]), len(v)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--set", choices=["small", "large"], default="small")
    ap.add_argument("--count", type=int, help="number of pictures (overrides --set)")
    ap.add_argument("--lib", help="liborvantix-glyphwipe.so (default: newest build*/)")
    ap.add_argument("--models", default=os.path.join(ROOT, "models"))
    ap.add_argument("--radii", default="5,12")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--check", action="store_true", help="exit 1 on gross breakage")
    ap.add_argument("--examples", help="save text|cleaned|telea|original strips here")
    ap.add_argument("--bench", help="path of the bench_fill tool: time the models, compare the fill alone")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    ap.add_argument("-v", "--verbose", action="store_true", help="one line per picture")
    args = ap.parse_args()
    return run_report(run, args)


def run_report(run, args):
    """Runs a report's run(args): 77 (skipped) when a model is missing from
    args.models, 1 with the text of a failure, else what run returns."""
    for f in ("ch_PP-OCRv4_det_infer.onnx", "lama_fp32.onnx"):
        if not os.path.isfile(os.path.join(args.models, f)):
            print("SKIP: no %s in %s (scripts/setup.sh installs the models)" % (f, args.models))
            return 77
    try:
        return run(args)
    except (RuntimeError, subprocess.CalledProcessError) as e:
        print("FAIL: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main())
