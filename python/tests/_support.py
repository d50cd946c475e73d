"""Shared helpers of the command-line and binding tests: paths handed over by
CTest, temporary folders, and pictures and clips with real rendered text made
with ffmpeg at test time."""

import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, os.pardir, os.pardir))
sys.path.insert(0, os.path.join(SOURCE, "python"))

CLI = os.environ.get("GLYPHWIPE_CLI", os.path.join(SOURCE, "build", "glyphwipe"))
MODELS = os.environ.get("GLYPHWIPE_MODELS", os.path.join(SOURCE, "models"))
TEST_MODELS = os.environ.get("GLYPHWIPE_TEST_MODELS", "")
WORK = os.environ.get("GLYPHWIPE_TEST_WORK", tempfile.gettempdir())
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
DET_MODEL = "ch_PP-OCRv4_det_infer.onnx"
FILL_MODEL = "lama_fp32.onnx"

# A line of text for a 480x160 picture and where it lies.
TEXT = [("Subtitle text here", 30, 100, 32)]
TEXT_AREA = (30, 100, 330, 36)  # x, y, w, h (generous)


def temp_dir(owner):
    """A fresh folder removed when the test (or, given a TestCase class, the
    class) ends; kept with GW_KEEP_TEST_FILES."""
    os.makedirs(WORK, exist_ok=True)
    d = tempfile.mkdtemp(prefix="py-", dir=WORK)
    if not os.environ.get("GW_KEEP_TEST_FILES"):
        register = owner.addClassCleanup if isinstance(owner, type) else owner.addCleanup
        register(shutil.rmtree, d, True)
    return d


def ffmpeg(*args):
    r = subprocess.run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", *args],
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        raise RuntimeError("ffmpeg failed: %s\n%s" % (" ".join(args), r.stderr))


def _drawtext(lines):
    """lines: (text, x, y, size) tuples; white text with a black outline."""
    parts = []
    for text, x, y, size in lines:
        parts.append("drawtext=fontfile=%s:text=%s:x=%d:y=%d:fontsize=%d:fontcolor=white:"
                     "borderw=2:bordercolor=black" % (FONT, text.replace(" ", "\\ "), x, y, size))
    return ",".join(parts)


def make_image(path, w, h, lines, background="gradient"):
    """An image with text (lines as for _drawtext) over a calm background."""
    if background == "gradient":
        src = "gradients=s=%dx%d:c0=0x203060:c1=0xa0c0e0:d=1" % (w, h)
    else:
        src = "color=c=%s:s=%dx%d:d=1" % (background, w, h)
    vf = (_drawtext(lines) + "," if lines else "") + "format=rgb24"
    ffmpeg("-f", "lavfi", "-i", src, "-vf", vf, "-frames:v", "1", path)
    return path


def make_clip(path, w, h, seconds, lines, fps=25, audio=True):
    """A clip with moving content, the text burned in and optionally a sine tone."""
    src = "gradients=s=%dx%d:d=%g:r=%d:c0=0x203060:c1=0xa0c0e0:speed=0.05" % (w, h, seconds, fps)
    args = ["-f", "lavfi", "-i", src]
    if audio:
        args += ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=%g" % seconds]
    if lines:
        args += ["-vf", _drawtext(lines)]
    args += ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"]
    if audio:
        args += ["-c:a", "aac", "-b:a", "64k", "-shortest"]
    ffmpeg(*args, path)
    return path


def probe(path):
    """Streams of a media file as ffprobe reports them (codec, size, frames)."""
    r = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                        "stream=codec_type,codec_name,width,height,nb_read_frames",
                        "-of", "json", path], capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("ffprobe failed on %s: %s" % (path, r.stderr))
    return json.loads(r.stdout)["streams"]


def streams(path):
    """probe() keyed by codec type ("video", "audio")."""
    return {s["codec_type"]: s for s in probe(path)}


def frame_png(video, at, out):
    ffmpeg("-ss", "%g" % at, "-i", video, "-frames:v", "1", out)
    return out


def model_dir_with(testcase, det, fill):
    """A folder with the two model names linked to det and fill (None: left out)."""
    d = temp_dir(testcase)
    if det:
        os.symlink(det, os.path.join(d, DET_MODEL))
    if fill:
        os.symlink(fill, os.path.join(d, FILL_MODEL))
    return d


def boxes_overlap(box, x, y, w, h):
    return box["x"] < x + w and x < box["x"] + box["w"] and box["y"] < y + h and y < box["y"] + box["h"]


def check_boxes(testcase, boxes):
    """A non-empty detection report whose boxes all lie on TEXT_AREA."""
    testcase.assertGreater(len(boxes), 0)
    for b in boxes:
        testcase.assertEqual(set(b), {"x", "y", "w", "h", "conf"})
        testcase.assertTrue(boxes_overlap(b, *TEXT_AREA), b)


def write_file(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return path


def read_file(path):
    with open(path, "rb") as f:
        return f.read()
