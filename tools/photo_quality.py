#!/usr/bin/python3
"""Text removal on real photographs, per setting of the library.

    /usr/bin/python3 tools/photo_quality.py [--count 60] [--settings default,cli,...] [--lib LIB]
        [--models DIR] [--examples DIR] [-v] [--check]

The pictures are the colour photographs that scikit-image ships (astronaut,
coffee, chelsea, rocket, hubble_deep_field, immunohistochemistry, retina,
the left view of stereo_motorcycle, and the greyscale camera), scaled and
cropped to 1280x720, 1920x1080 or 3840x2160. Text is drawn on them with
ffmpeg's drawtext: captions from 16 px up and titles up to 250 px, white or
yellow, with or without a dark outline, DejaVu Sans or Serif, one to three
lines. The text-free photograph is the truth. One seeded sequence, so the
first N pictures are the same for any count.

Per setting (a set of library options, see SETTINGS):
  found again   pictures in which glyphwipe_detect on the cleaned picture
                reports more boxes over the text than on the photograph;
                the same judge for every setting: the library's defaults
                but with detect_scale 0.5, so that it sees small text at 4K
  text left     true text pixels (the text picture differs from the photo
                by more than 24 in some channel) whose cleaned value is
                still closer to the text picture than to the photo; median
                and worst over the pictures, and the worst per text size
  PSNR text     in the text areas (true text pixels dilated by 3)
  PSNR lines    in the line boxes (each line's text pixels' bounding box)
                grown by 32 px on every side, text included
  hole / text   pixels the library changed, over the true text pixels
  cpu ms        processor time (all threads) per glyphwipe_process_image
                call, BMP in and out; less sensitive to other load than
                wall time
Peer: OpenCV's Telea inpainting (radius 5) on the hole the library used
(the pixels it changed), reported as "telea" in the same areas.

--check exits 1 only on gross breakage (a call failing, nothing cleaned).
"""
import argparse
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

import cv2
import numpy as np
import skimage.data

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quality_check as qc  # noqa: E402  (shared rendering and measures)

FONTS = {"sans": "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
         "serif": "/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf"}
PHOTOS = ["astronaut", "coffee", "chelsea", "rocket", "hubble_deep_field", "immunohistochemistry", "retina",
          "stereo_motorcycle", "camera"]
SIZES = [(1280, 720), (1920, 1080), (3840, 2160)]
CAPTION_PX = [16, 20, 24, 32, 40, 48, 64]
TITLE_PX = [90, 120, 160, 200, 250]
TEXT_DIFF = 24
LINE_GROW = 32

# The detector options that judge "found again", and the library's own values.
JUDGE = {"unclip": 0, "detect_scale": 0.5, "threshold": 0.3}
PLAIN = {"unclip": 0, "detect_scale": 0, "threshold": 0.3}

# name -> library options (applied after init; the rest stay at the defaults)
SETTINGS = {
    "default": {},
    "radius12": {"inpaint_radius": 12},
    "unclip": {"unclip": 1.5},
    "glyphs": {"unclip": 1.5, "mask": "glyphs", "inpaint_radius": 0},
    "glyphs-r2": {"unclip": 1.5, "mask": "glyphs", "inpaint_radius": 2},
    "glyphs-u2": {"unclip": 2.0, "mask": "glyphs", "inpaint_radius": 1},
    "glyphs-s": {"unclip": 1.5, "mask": "glyphs", "inpaint_radius": 0, "detect_scale": 0.5},
    "glyphs-r1s": {"unclip": 1.5, "mask": "glyphs", "inpaint_radius": 1, "detect_scale": 0.5},
    "glyphs-t2": {"unclip": 1.5, "mask": "glyphs", "inpaint_radius": 1, "detect_scale": 0.5, "threshold": 0.2},
    "glyphs-u2s": {"unclip": 2.0, "mask": "glyphs", "inpaint_radius": 1, "detect_scale": 0.5},
}


def photo(name):
    img = getattr(skimage.data, name)()
    if isinstance(img, tuple):
        img = img[0]
    if img.ndim == 2:
        img = np.stack([img] * 3, axis=2)
    return cv2.cvtColor(img[:, :, :3], cv2.COLOR_RGB2BGR)


def cover(img, w, h):
    """Scales img to cover w x h and crops the middle."""
    s = max(w / img.shape[1], h / img.shape[0])
    r = cv2.resize(img, (max(w, round(img.shape[1] * s)), max(h, round(img.shape[0] * s))),
                   interpolation=cv2.INTER_CUBIC)
    y0, x0 = (r.shape[0] - h) // 2, (r.shape[1] - w) // 2
    return r[y0:y0 + h, x0:x0 + w]


def drawtext(line):
    f = ("drawtext=fontfile=%s:expansion=none:text='%s':x=%d:y=%d:fontsize=%d:fontcolor=%s"
         % (FONTS[line["font"]], qc.dt_escape(line["text"]), line["x"], line["y"], line["size"], line["color"]))
    if line["border"]:
        f += ":borderw=%d:bordercolor=black" % line["border"]
    return f


def make_case(i, rng, work):
    name = PHOTOS[i % len(PHOTOS)]
    w, h = SIZES[(i // len(PHOTOS)) % len(SIZES)]
    title = rng.random() < 0.3
    size = rng.choice(TITLE_PX if title else CAPTION_PX)
    font = rng.choice(["sans", "serif"])
    colour = rng.choice(["white", "0xffdd00"])
    border = rng.choice([0, max(1, size // 14)])
    nlines = rng.choice([1, 2, 3]) if size * 1.3 * 3 < h * 0.8 else 1
    lines = []
    top = int(h * 0.5 - nlines * size * 0.65) if title else int(h * 0.93 - nlines * size * 1.3)
    for k in range(nlines):
        text = rng.choice(qc.PHRASES)
        while 0.66 * size * len(text) > w * 0.9 and len(text) > 3:
            text = text[:len(text) - 2].rstrip()
        tw = int(0.66 * size * len(text))
        lines.append(dict(text=text, x=max(4, (w - tw) // 2 + rng.randint(-w // 20, w // 20)),
                          y=max(2, top + int(k * size * 1.3)), size=size, color=colour, border=border, font=font))
    orig = os.path.join(work, "%03d_orig.bmp" % i)
    text = os.path.join(work, "%03d_text.bmp" % i)
    cv2.imwrite(orig, cover(photo(name), w, h))
    qc.ffmpeg(["-i", orig, "-vf", ",".join(drawtext(l) for l in lines), "-pix_fmt", "bgr24", text])
    return dict(index=i, photo=name, w=w, h=h, size=size, lines=lines, orig=orig, text=text)


def line_area(c, true_text):
    """Each line's text pixels' bounding box grown by LINE_GROW, as a mask."""
    h, w = true_text.shape
    m = np.zeros((h, w), bool)
    for l in c["lines"]:
        y0, y1 = max(0, l["y"] - l["size"] // 2), min(h, l["y"] + int(l["size"] * 1.5))
        ys, xs = np.nonzero(true_text[y0:y1])
        if len(xs) == 0:
            continue
        m[max(0, y0 + ys.min() - LINE_GROW):min(h, y0 + ys.max() + 1 + LINE_GROW),
          max(0, xs.min() - LINE_GROW):min(w, xs.max() + 1 + LINE_GROW)] = True
    return m


def measure(c, cleaned, after_boxes):
    o, t = c["o"], c["t"]
    r = cleaned.astype(np.int16)
    d_text = np.abs(r - t.astype(np.int16)).sum(axis=2)
    d_orig = np.abs(r - o.astype(np.int16)).sum(axis=2)
    true_text = c["true"]
    n_true = int(true_text.sum())
    left = int((true_text & (d_text < d_orig)).sum())
    changed = (np.abs(r - t.astype(np.int16)).max(axis=2) > 0).astype(np.uint8)
    telea = qc.inpaint_telea(t, changed)
    return dict(found=qc.boxes_touch(after_boxes, c["area"]) > c["orig_hits"],
                left=100.0 * left / n_true if n_true else 0.0,
                psnr_text=qc.psnr(cleaned, o, c["area"]), psnr_lines=qc.psnr(cleaned, o, c["lines_area"]),
                telea_text=qc.psnr(telea, o, c["area"]), telea_lines=qc.psnr(telea, o, c["lines_area"]),
                hole=float(changed.sum()) / n_true if n_true else 0.0)


def judge(lib, path, setting):
    """Boxes the judge finds in path: the same detector for every setting,
    at plain options but seeing large pictures at half size or more, so
    that small text at 4K is seen too. The setting's options come back."""
    for k, v in JUDGE.items():
        lib.set_option(k, v)
    boxes = lib.detect(path)
    for k in JUDGE:
        lib.set_option(k, setting.get(k, PLAIN[k]))
    return boxes


def size_class(px):
    return "16-24" if px <= 24 else "32-64" if px <= 64 else "90-250"


def run(args):
    lib_path = qc.find_lib(args.lib)
    names = [s for s in args.settings.split(",") if s]
    for s in names:
        if s not in SETTINGS:
            sys.exit("unknown setting %s (known: %s)" % (s, ", ".join(SETTINGS)))
    work = tempfile.mkdtemp(prefix="gw_photo_")
    failures = []
    try:
        rng = random.Random(args.seed)
        t0 = time.time()
        cases = [make_case(i, rng, work) for i in range(args.count)]
        if args.only:
            keep = {int(k) for k in args.only.split(",")}
            cases = [c for c in cases if c["index"] in keep]
        print("library: %s" % lib_path)
        print("%d pictures rendered in %.1f s (%s)" % (len(cases), time.time() - t0,
                                                        ", ".join("%dx%d" % s for s in SIZES)))
        lib = qc.load_binding(lib_path)
        for c in cases:
            c["o"], c["t"] = qc.read_rgb(c["orig"]), qc.read_rgb(c["text"])
            diff = np.abs(c["o"].astype(np.int16) - c["t"].astype(np.int16)).max(axis=2)
            c["true"] = diff > TEXT_DIFF
            c["area"] = cv2.dilate((diff > 0).astype(np.uint8), np.ones((7, 7), np.uint8)) > 0
            c["lines_area"] = line_area(c, c["true"])
        lib.init(args.models, plain=True)
        for c in cases:
            c["orig_hits"] = qc.boxes_touch(judge(lib, c["orig"], {}), c["area"])
        lib.cleanup()

        results = {}
        for name in names:
            lib.init(args.models, plain=True)
            for k, v in SETTINGS[name].items():
                lib.set_option(k, v)
            rows, t_total = [], 0.0
            for c in cases:
                out = os.path.join(work, "%03d_%s.bmp" % (c["index"], name))
                t1 = time.process_time()
                lib.clean_image(c["text"], out)
                t_total += time.process_time() - t1
                cleaned = qc.read_rgb(out)
                r = measure(c, cleaned, judge(lib, out, SETTINGS[name]))
                r.update(size=c["size"], res=c["h"], photo=c["photo"])
                rows.append(r)
                if args.verbose:
                    print("  %-8s %3d %-20s %4dp %3dpx  left %5.1f%%  text %5.2f  lines %5.2f  hole %4.1f  %s"
                          % (name, c["index"], c["photo"], c["h"], c["size"], r["left"], r["psnr_text"],
                             r["psnr_lines"], r["hole"], "FOUND" if r["found"] else ""))
                if args.examples:
                    os.makedirs(args.examples, exist_ok=True)
                    cv2.imwrite(os.path.join(args.examples, "%03d_%s.jpg" % (c["index"], name)),
                                np.hstack([c["t"], cleaned, c["o"]]))
            lib.cleanup()
            results[name] = (rows, 1000.0 * t_total / len(rows))
        report(results, len(cases))
        if not any(r["left"] < 50 for rows, _ in results.values() for r in rows):
            failures.append("no picture was cleaned")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures and args.check else 0


def report(results, n):
    mean = qc.mean
    print("\n%d pictures; text left in %% of the true text pixels; PSNR in dB (telea: OpenCV on the same hole)" % n)
    print("| setting | found again | text left: median / worst | worst 16-24 / 32-64 / 90-250 px | worst at 4K "
          "| PSNR text (telea) | PSNR lines (telea) | hole / text | cpu ms / picture |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, (rows, ms) in results.items():
        left = [r["left"] for r in rows]
        by_size = {k: max([r["left"] for r in rows if size_class(r["size"]) == k] or [float("nan")])
                   for k in ("16-24", "32-64", "90-250")}
        k4 = max([r["left"] for r in rows if r["res"] == 2160] or [float("nan")])
        found = sum(r["found"] for r in rows)
        print("| %s | %d (%.1f %%) | %.1f / %.1f %% | %.1f / %.1f / %.1f %% | %.1f %% | %.2f (%.2f) | %.2f (%.2f) "
              "| %.1f | %.0f |"
              % (name, found, 100.0 * found / len(rows), statistics.median(left), max(left), by_size["16-24"],
                 by_size["32-64"], by_size["90-250"], k4, mean([r["psnr_text"] for r in rows]),
                 mean([r["telea_text"] for r in rows]), mean([r["psnr_lines"] for r in rows]),
                 mean([r["telea_lines"] for r in rows]), statistics.median([r["hole"] for r in rows]), ms))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--count", type=int, default=54)
    ap.add_argument("--settings", default=",".join(SETTINGS))
    ap.add_argument("--lib")
    ap.add_argument("--models", default=os.path.join(qc.ROOT, "models"))
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--examples", help="save text|cleaned|photo strips here (JPEG)")
    ap.add_argument("--only", help="comma-separated picture numbers to run (of the first --count)")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args()
    return qc.run_report(run, args)


if __name__ == "__main__":
    sys.exit(main())
