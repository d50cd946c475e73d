#!/usr/bin/python3
"""Subtitle removal on video clips made from photographs, per mode of the CLI.

    /usr/bin/python3 tools/video_quality.py [--quick | --full | --clips still_720,pan_1080,...]
        [--seconds 3] [--modes input,plain,cli,temporal,delogo] [--temporal 9] [--cli build/glyphwipe]
        [--models DIR] [--examples DIR] [--keep]

Clips: a photograph that scikit-image ships (tools/photo_quality.py's set),
scaled to cover the picture, seen through a camera that is
  still    fixed;
  pan      moving 8 px a picture to the right (the scene slides left);
  zoom     closing in by 0.3 % a picture about the middle (25 % in 3 s);
  object   fixed, while a square cut from another photograph (a quarter of
           the picture's height) crosses the subtitle band diagonally,
at 25 pictures a second, 1280x720 and 1920x1080: by default all four at
720p and the still camera and the pan at 1080p (--full: all eight; 6 to 8
minutes on two unloaded cores with the three CLI modes), --quick the still
camera and the pan at 720p for 2 s. The text-free pictures are the truth:
the measures read their subtitle band, kept losslessly (raw RGB); --keep
also keeps the whole text-free clip (FFV1). Subtitles are burned in with
ffmpeg's drawtext (DejaVu Sans Bold, white, black outline, near the bottom):
a line at 0.8 s, a two-line subtitle from 1.8 s to 2.6 s (scaled with
--seconds). The clip the CLI cleans is H.264 (crf 18), as a video from
anywhere would be.

Modes:
  plain     glyphwipe --plain clean-video: the library's own defaults, each
            picture on its own
  cli       glyphwipe clean-video: the tool's defaults
  temporal  glyphwipe --temporal N clean-video (a window of N pictures)
  delogo    ffmpeg's delogo filter over the box that holds every subtitle
            of the clip (grown by 4 px), crf 18, preset medium: the peer
  input     the clip with its subtitles, not cleaned (PSNR only)
and, to look at the propagation fill of temporal/ before the video
pipeline uses it, two modes that take the true text areas as the hole (no
detection, so their figures are not the CLI's):
  mask-telea  OpenCV's Telea inpainting (radius 3) of every picture on its own
  mask-prop   tools/temporal_fill (temporal/ driven as the pipeline would:
              6 past pictures, 2 ahead, bridge 1), Telea for what no
              picture saw; cpu and peak MB are temporal_fill's own

Figures per clip and mode, against the text-free pictures:
  text PSNR    over the text areas (pixels the subtitles change, dilated by
               3) of every picture that shows a subtitle
  band PSNR    over the subtitle band (the lines' rows grown by half a line),
               full width, of the same pictures
  rest PSNR    the band without the text areas: what a hole larger than the
               text costs; for the input, the encoder's own loss
  temporal     mean |(out_t - out_t-1) - (orig_t - orig_t-1)| over the text
               areas of pictures t or t-1, 0..255 per channel
  wall / cpu   seconds of the run, wall-clock and processor time of all its
               threads (cpu is steadier on a shared machine)
  peak MB      the run's peak resident memory (VmHWM of the running child)
"""
import argparse
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import photo_quality as pq  # noqa: E402  (photographs, scaling)
import quality_check as qc  # noqa: E402  (drawtext escaping, ffmpeg, PSNR)

FPS = 25
SIZES = {"720": (1280, 720), "1080": (1920, 1080)}
MOTIONS = ["still", "pan", "zoom", "object"]
MODES = ["input", "plain", "cli", "temporal", "delogo", "mask-telea", "mask-prop"]
DEFAULT_MODES = ["input", "plain", "cli", "temporal", "delogo"]
PROP_WINDOW = (6, 2, 1)  # mask-prop: past pictures, future pictures, bridge
PHOTO = {"still": "coffee", "pan": "astronaut", "zoom": "chelsea", "object": "immunohistochemistry"}
MOVER_PHOTO = "coffee"
PAN_PX = 8
ZOOM_STEP = 1.003
# (start, end) in seconds of a 3-second clip, and the lines shown
SUBTITLES = [(0.8, 1.8, ["Where are you going tonight?"]),
             (1.8, 2.6, ["I will be back soon,", "wait for me at the station"])]


# --- clips --------------------------------------------------------------------

def camera_frames(motion, w, h, n):
    """Yields the n text-free pictures (RGB) of a clip."""
    base = pq.photo(PHOTO[motion])  # BGR
    base = cv2.cvtColor(base, cv2.COLOR_BGR2RGB)
    if motion == "pan":
        canvas = pq.cover(base, w + PAN_PX * n, h)
    else:
        canvas = pq.cover(base, w, h)
    mover = None
    if motion == "object":
        side = h // 4
        mover = cv2.cvtColor(pq.cover(pq.photo(MOVER_PHOTO), side, side), cv2.COLOR_BGR2RGB)
    for t in range(n):
        if motion == "pan":
            yield np.ascontiguousarray(canvas[:, PAN_PX * t:PAN_PX * t + w])
        elif motion == "zoom":
            s = ZOOM_STEP ** t
            m = np.float32([[s, 0, (1 - s) * w / 2], [0, s, (1 - s) * h / 2]])
            yield cv2.warpAffine(canvas, m, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT)
        elif motion == "object":
            f = canvas.copy()
            side = mover.shape[0]
            # from above the band on the left down across it to the right
            x = int(0.15 * w + (0.6 * w) * t / max(1, n - 1))
            y = int(0.55 * h + (0.4 * h) * t / max(1, n - 1)) - side // 2
            y0, y1 = max(0, y), min(h, y + side)
            f[y0:y1, x:x + side] = mover[y0 - y:y1 - y, :min(side, w - x)]
            yield f
        else:
            yield canvas.copy()


def subtitle_lines(w, h, seconds):
    """drawtext lines with their times (scaled to the clip's length)."""
    size = h // 18
    k = seconds / 3.0
    out = []
    for start, end, texts in SUBTITLES:
        for i, text in enumerate(texts):
            y = int(h * 0.92 - (len(texts) - i) * size * 1.3)
            tw = int(0.62 * size * len(text))
            out.append(dict(text=text, x=(w - tw) // 2, y=y, size=size, start=start * k, end=end * k))
    return out


def drawtext_chain(lines):
    parts = []
    for l in lines:
        parts.append("drawtext=fontfile=%s:expansion=none:text='%s':x=%d:y=%d:fontsize=%d:fontcolor=white:"
                     "borderw=%d:bordercolor=black:enable='gte(t,%.3f)*lt(t,%.3f)'"
                     % (qc.FONT, qc.dt_escape(l["text"]), l["x"], l["y"], l["size"], max(2, l["size"] // 14),
                        l["start"], l["end"]))
    return ",".join(parts)


def make_clip(motion, size_key, seconds, work, keep):
    """Renders a clip in one pass: the H.264 clip with subtitles that the
    CLI cleans, and the band rows of the text-free pictures and of the
    pictures with subtitles, both lossless (raw RGB). With keep, the whole
    text-free clip too (FFV1)."""
    w, h = SIZES[size_key]
    n = int(round(seconds * FPS))
    name = "%s_%s" % (motion, size_key)
    lines = subtitle_lines(w, h, seconds)
    top = min(l["y"] for l in lines) - lines[0]["size"] // 2
    bottom = max(l["y"] + l["size"] * 1.2 for l in lines) + lines[0]["size"] // 2
    band = (max(2, top), min(h - 2, int(bottom)))
    c = dict(name=name, motion=motion, w=w, h=h, n=n, band=band, clip=os.path.join(work, name + ".mp4"),
             orig=os.path.join(work, name + "_orig_band.rgb"), text=os.path.join(work, name + "_text_band.rgb"))
    crop = "crop=%d:%d:0:%d" % (w, band[1] - band[0], band[0])
    graph = ("[0:v]split=3[o][s][k];[s]%s,split=2[t][tb];[o]%s[ob];[tb]%s[tb2]"
             % (drawtext_chain(lines), crop, crop))
    outs = ["-map", "[t]", "-c:v", "libx264", "-crf", "18", "-preset", "medium", "-pix_fmt", "yuv420p", c["clip"],
            "-map", "[ob]", "-f", "rawvideo", "-pix_fmt", "rgb24", c["orig"],
            "-map", "[tb2]", "-f", "rawvideo", "-pix_fmt", "rgb24", c["text"]]
    if keep:
        outs += ["-map", "[k]", "-c:v", "ffv1", "-pix_fmt", "bgr0", os.path.join(work, name + "_orig.mkv")]
    else:
        graph = graph.replace("split=3[o][s][k]", "split=2[o][s]")
    enc = subprocess.Popen(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "rgb24",
                            "-s", "%dx%d" % (w, h), "-r", str(FPS), "-i", "-", "-filter_complex", graph] + outs,
                           stdin=subprocess.PIPE)
    for f in camera_frames(motion, w, h, n):
        enc.stdin.write(f.tobytes())
    enc.stdin.close()
    if enc.wait() != 0:
        raise RuntimeError("ffmpeg failed making " + name)
    return c


def band_frames(path, c):
    """The band rows of the pictures of a raw RGB file (memory-mapped)."""
    bh = c["band"][1] - c["band"][0]
    data = np.memmap(path, np.uint8, "r")
    if data.size != c["n"] * bh * c["w"] * 3:
        raise RuntimeError("%s: %d bytes, %d pictures of the band expected" % (path, data.size, c["n"]))
    return data.reshape(c["n"], bh, c["w"], 3)


# --- runs ---------------------------------------------------------------------

def peak_of(pid):
    """The peak resident memory (MB) of a running process since its exec."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def run_timed(cmd):
    """(exit status, wall s, cpu s, peak MB, stderr) of one child process.
    The peak is read from /proc while it runs: the child's own rusage would
    also count this (much larger) process, which it starts as a copy of."""
    with tempfile.TemporaryFile() as err:
        t0 = time.time()
        p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err)
        peak = None
        while True:
            pid, status, ru = os.wait4(p.pid, os.WNOHANG)
            if pid:
                break
            peak = peak_of(p.pid) or peak
            time.sleep(0.05)
        p.returncode = os.waitstatus_to_exitcode(status)
        wall = time.time() - t0
        err.seek(0)
        text = err.read().decode("utf-8", "replace")
    return p.returncode, wall, ru.ru_utime + ru.ru_stime, peak, text


def mask_run(mode, args, c, out, work):
    """Runs a mask-* mode: (wall s, cpu s, peak MB) with out written."""
    w, h, (y0, y1) = c["w"], c["h"], c["band"]
    m0, m1 = max(0, y0 - 8), min(h, y1 + 8)  # Telea looks a little beyond the hole
    enc = subprocess.Popen(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "rgb24",
                            "-s", "%dx%d" % (w, h), "-r", str(FPS), "-i", "-", "-c:v", "libx264", "-crf", "18",
                            "-preset", "medium", "-pix_fmt", "yuv420p", out], stdin=subprocess.PIPE)
    none = np.zeros((y1 - y0, w), np.uint8)
    t0 = time.time()
    c0 = time.process_time()
    cpu = peak = None

    def telea(f, hole_band):
        if hole_band.any():
            f = f.copy()
            full = np.zeros((m1 - m0, w), np.uint8)
            full[y0 - m0:y1 - m0] = hole_band
            f[m0:m1] = cv2.inpaint(f[m0:m1], full, 3, cv2.INPAINT_TELEA)
        return f

    if mode == "mask-telea":
        for area, f in zip(c["areas"], frames(c["clip"], w, h)):
            enc.stdin.write(telea(f, none if area is None else area.astype(np.uint8)).tobytes())
        cpu = time.process_time() - c0
    else:
        holes = os.path.join(work, c["name"] + "_holes.u8")
        with open(holes, "wb") as fh:
            for area in c["areas"]:
                fh.write((none if area is None else area.astype(np.uint8)).tobytes())
        dec = subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", c["clip"], "-f", "rawvideo",
                                "-pix_fmt", "rgb24", "-"], stdout=subprocess.PIPE)
        past, future, bridge = PROP_WINDOW
        tool = subprocess.Popen([args.fill_tool, str(w), str(h), holes, str(y0), str(y1), str(past), str(future),
                                 str(bridge)], stdin=dec.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        dec.stdout.close()
        size = w * h * 3
        count = 0
        while True:
            b = tool.stdout.read(size + w * h)
            if len(b) < size + w * h:
                break
            f = np.frombuffer(b[:size], np.uint8).reshape(h, w, 3)
            state = np.frombuffer(b[size:], np.uint8).reshape(h, w)
            enc.stdin.write(telea(f, (state[y0:y1] == 1).astype(np.uint8)).tobytes())
            count += 1
        err = tool.stderr.read().decode("utf-8", "replace").strip()
        _, status, ru = os.wait4(tool.pid, 0)
        tool.returncode = os.waitstatus_to_exitcode(status)
        dec.wait()
        if tool.returncode != 0 or count != c["n"]:
            raise RuntimeError("temporal_fill on %s failed (%d, %d pictures): %s"
                               % (c["name"], tool.returncode, count, err))
        print("  " + err, flush=True)
        cpu = ru.ru_utime + ru.ru_stime
        m = re.search(r"peak resident ([0-9.]+) MB", err)
        peak = float(m.group(1)) if m else None
        os.remove(holes)
    enc.stdin.close()
    if enc.wait() != 0:
        raise RuntimeError("ffmpeg failed writing " + out)
    return time.time() - t0, cpu, peak


def mode_command(mode, args, c, out):
    if mode == "plain":
        return [args.cli, "--models", args.models, "-q", "--plain", "clean-video", c["clip"], out]
    if mode == "cli":
        return [args.cli, "--models", args.models, "-q", "clean-video", c["clip"], out]
    if mode == "temporal":
        return [args.cli, "--models", args.models, "-q", "--temporal", str(args.temporal), "clean-video",
                c["clip"], out]
    if mode == "delogo":
        x0, y0, x1, y1 = c["text_box"]
        return ["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", c["clip"],
                "-vf", "delogo=x=%d:y=%d:w=%d:h=%d" % (x0, y0, x1 - x0, y1 - y0),
                "-c:v", "libx264", "-crf", "18", "-preset", "medium", "-profile:v", "high", out]
    raise ValueError(mode)


def frames(path, w, h, rows=None):
    """Yields the pictures of a video as RGB arrays, one at a time; only
    rows (y0, y1) of them when given."""
    vf = []
    if rows:
        vf = ["-vf", "crop=%d:%d:0:%d" % (w, rows[1] - rows[0], rows[0])]
        h = rows[1] - rows[0]
    # A reader that stops early closes the pipe: the decoder's complaint is
    # no news (a short read is caught by the callers' picture counts).
    p = subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "quiet", "-i", path] + vf +
                         ["-f", "rawvideo", "-pix_fmt", "rgb24", "-"], stdout=subprocess.PIPE)
    size = w * h * 3
    try:
        while True:
            b = p.stdout.read(size)
            if len(b) < size:
                break
            yield np.frombuffer(b, np.uint8).reshape(h, w, 3)
    finally:
        p.stdout.close()
        if p.poll() is None:
            p.kill()
        p.wait()


def text_areas(c):
    """Per picture, the text area within the band (None: no subtitle)."""
    kernel = np.ones((7, 7), np.uint8)
    out = []
    for o, t in zip(band_frames(c["orig"], c), band_frames(c["text"], c)):
        diff = (np.abs(o.astype(np.int16) - t.astype(np.int16)).max(axis=2) > 0).astype(np.uint8)
        out.append(cv2.dilate(diff, kernel) > 0 if diff.any() else None)
    if len(out) != c["n"]:
        raise RuntimeError("%s: %d pictures, %d expected" % (c["text"], len(out), c["n"]))
    return out


def text_box(c):
    """The box around every text area of the clip, grown by 4 and kept 1
    pixel inside the picture (delogo's limit): where delogo repaints."""
    union = None
    for a in c["areas"]:
        if a is not None:
            union = a if union is None else union | a
    ys, xs = np.nonzero(union)
    y_off = c["band"][0]
    return (max(1, xs.min() - 4), max(1, y_off + ys.min() - 4), min(c["w"] - 2, xs.max() + 5),
            min(c["h"] - 2, y_off + ys.max() + 5))


def measure(c, out_path):
    """Text-area PSNR, band PSNR and temporal error of a result. Subtitles
    lie within the band, so only its rows are read."""
    sse_text = n_text = sse_band = n_band = sse_rest = n_rest = terr = n_terr = 0.0
    prev = None
    count = 0
    none = np.zeros((c["band"][1] - c["band"][0], c["w"]), bool)
    for area, o, r in zip(c["areas"], band_frames(c["orig"], c), frames(out_path, c["w"], c["h"], c["band"])):
        count += 1
        d = r.astype(np.float64) - o.astype(np.float64)
        if area is not None:
            sse_text += float((d[area] ** 2).sum())
            n_text += 3.0 * area.sum()
            sse_band += float((d ** 2).sum())
            n_band += 3.0 * d.shape[0] * d.shape[1]
            sse_rest += float((d[~area] ** 2).sum())
            n_rest += 3.0 * (~area).sum()
        if prev is not None:
            po, pr, parea = prev
            sel = (none if area is None else area) | (none if parea is None else parea)
            if sel.any():
                e = np.abs((r.astype(np.int16) - pr.astype(np.int16)) - (o.astype(np.int16) - po.astype(np.int16)))
                terr += float(e[sel].sum())
                n_terr += 3.0 * sel.sum()
        prev = (o, r, area)
    if count != c["n"]:
        raise RuntimeError("%s: %d pictures, %d expected" % (out_path, count, c["n"]))
    to_db = lambda sse, n: qc.PSNR_CAP if sse <= 0 else min(qc.PSNR_CAP, 10 * math.log10(255.0 ** 2 * n / sse))
    return dict(text=to_db(sse_text, n_text), band=to_db(sse_band, n_band), rest=to_db(sse_rest, n_rest),
                temporal=terr / n_terr if n_terr else float("nan"))


def save_example(c, out_path, mode, folder):
    """The picture in the middle of the second subtitle: result over truth."""
    k = int(c["n"] * 2.2 / 3.0)
    for i, (o, r) in enumerate(zip(band_frames(c["orig"], c), frames(out_path, c["w"], c["h"], c["band"]))):
        if i == k:
            strip = np.vstack([r, o])
            cv2.imwrite(os.path.join(folder, "%s_%s.png" % (c["name"], mode)), cv2.cvtColor(strip, cv2.COLOR_RGB2BGR))
            return


def run_mode(mode, args, c, work, notes, skipped):
    """One mode on one clip: its row of figures, or None when skipped."""
    if mode == "input":
        return dict(clip=c["name"], mode=mode, wall=None, cpu=None, peak=None, **measure(c, c["clip"]))
    out = os.path.join(work, "%s_%s.mp4" % (c["name"], mode))
    if mode.startswith("mask-"):
        if mode == "mask-prop" and not os.access(args.fill_tool, os.X_OK):
            skipped.add(mode)
            notes.append("mask-prop: no %s (build the tools); mode skipped" % args.fill_tool)
            return None
        wall, cpu, peak = mask_run(mode, args, c, out, work)
    else:
        status, wall, cpu, peak, err = run_timed(mode_command(mode, args, c, out))
        if status != 0:
            raise RuntimeError("%s on %s failed (%d): %s" % (mode, c["name"], status, err.strip()))
    r = measure(c, out)
    print("  %-10s text %6.2f dB  band %6.2f dB  rest %6.2f dB  temporal %5.2f  %6.1f s wall  %6.1f s cpu  %s MB"
          % (mode, r["text"], r["band"], r["rest"], r["temporal"], wall, cpu, "-" if peak is None else "%.0f" % peak),
          flush=True)
    if args.examples:
        os.makedirs(args.examples, exist_ok=True)
        save_example(c, out, mode, args.examples)
    os.remove(out)
    return dict(clip=c["name"], mode=mode, wall=wall, cpu=cpu, peak=peak, **r)


def run(args):
    clips = []
    for name in (n for n in args.clips.split(",") if n):
        motion, _, size = name.partition("_")
        if motion not in MOTIONS or size not in SIZES:
            sys.exit("unknown clip %s (motion_size with motion of %s and size of %s)"
                     % (name, ", ".join(MOTIONS), ", ".join(SIZES)))
        clips.append((motion, size))
    modes = [m for m in args.modes.split(",") if m]
    for m in modes:
        if m not in MODES:
            sys.exit("unknown mode %s (known: %s)" % (m, ", ".join(MODES)))
    work = tempfile.mkdtemp(prefix="gw_video_")
    notes, rows, skipped = [], [], set()
    t_start = time.time()
    try:
        for motion, size in clips:
            t0 = time.time()
            c = make_clip(motion, size, args.seconds, work, args.keep)
            c["areas"] = text_areas(c)
            c["text_box"] = text_box(c)
            print("%s: %d pictures of %dx%d made in %.1f s" % (c["name"], c["n"], c["w"], c["h"], time.time() - t0),
                  flush=True)
            for mode in modes:
                if mode not in skipped:
                    r = run_mode(mode, args, c, work, notes, skipped)
                    if r:
                        rows.append(r)
            if not args.keep:
                for k in ("orig", "text", "clip"):
                    os.remove(c[k])
    finally:
        if args.keep:
            print("kept %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    report(rows, notes)
    print("\nwhole run: %.0f s" % (time.time() - t_start))
    return 0


def report(rows, notes):
    fmt = lambda v, f: "" if v is None else f % v
    print("\n| clip | mode | text PSNR (dB) | band PSNR (dB) | rest PSNR (dB) | temporal error | wall s | cpu s "
          "| peak MB |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        print("| %s | %s | %.2f | %.2f | %.2f | %.2f | %s | %s | %s |"
              % (r["clip"], r["mode"], r["text"], r["band"], r["rest"], r["temporal"], fmt(r["wall"], "%.1f"),
                 fmt(r["cpu"], "%.1f"), fmt(r["peak"], "%.0f")))
    for n in notes:
        print("note: " + n)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="720p, still camera and pan, 2 s: a minute or two")
    ap.add_argument("--full", action="store_true", help="all four motions at both sizes")
    ap.add_argument("--clips", default="still_720,pan_720,zoom_720,object_720,still_1080,pan_1080")
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--modes", default=",".join(DEFAULT_MODES), help="of: " + ", ".join(MODES))
    ap.add_argument("--fill-tool", default=os.path.join(qc.ROOT, "build", "tools", "temporal_fill"),
                    help="temporal_fill, for mode mask-prop")
    ap.add_argument("--temporal", type=int, default=9, help="window for the temporal mode (pictures)")
    ap.add_argument("--cli", default=os.path.join(qc.ROOT, "build", "glyphwipe"))
    ap.add_argument("--models", default=os.path.join(qc.ROOT, "models"))
    ap.add_argument("--examples", help="save result-over-truth strips of the band here (PNG)")
    ap.add_argument("--keep", action="store_true", help="keep the clips")
    args = ap.parse_args()
    if args.quick:
        args.clips, args.seconds = "still_720,pan_720", 2.0
    elif args.full:
        args.clips = ",".join("%s_%s" % (m, s) for s in SIZES for m in MOTIONS)
    if not os.access(args.cli, os.X_OK):
        print("SKIP: no glyphwipe tool at %s (build it, or pass --cli)" % args.cli)
        return 77
    return qc.run_report(run, args)


if __name__ == "__main__":
    sys.exit(main())
