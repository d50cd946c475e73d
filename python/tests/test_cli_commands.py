"""Tests of the glyphwipe tool's output (quiet by default, the final line,
-q and -v), the output formats it accepts, and the commands batch, preview,
detect --band and demo."""

import json
import os
import re
import shutil
import struct
import subprocess
import unittest

import numpy as np

import _support as S
from _cli_support import (FAIL, USAGE, WROTE, blocks_source, interrupt, leftovers, read_tty_run, rgb, run,
                          stand_in_models)


def raw_run(*args, env=None):
    """Runs the tool; returns (exit code, stdout, stderr) as they came."""
    r = subprocess.run([S.CLI, *args], stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=240,
                       env=env)
    return r.returncode, r.stdout, r.stderr


def block_clip(path, frames=6, audio=True):
    """A small clip with one white block ("text" for the stand-in detector)."""
    args = ["-f", "lavfi", "-i", blocks_source(160, 96, 1)]
    if audio:
        args += ["-f", "lavfi", "-i", "sine=duration=2", "-c:a", "aac", "-shortest"]
    S.ffmpeg(*args, "-frames:v", str(frames), "-c:v", "libx264", "-pix_fmt", "yuv420p", path)
    return path


class Output(unittest.TestCase):
    """Quiet by default: the tool's own lines only, one final line; -q: nothing; -v: the libraries' logs."""

    @classmethod
    def setUpClass(cls):
        cls.d = S.temp_dir(cls)
        cls.clip = block_clip(os.path.join(cls.d, "in.mp4"))

    def test_final_line_and_no_library_logs(self):
        models = stand_in_models(self)
        out = os.path.join(self.d, "out.mp4")
        code, stdout, err = raw_run("--models", models, "clean-video", self.clip, out)
        self.assertEqual((code, stdout), (0, ""), err)
        self.assertEqual([m.group(0) for m in WROTE.finditer(err)], [err.rstrip("\n")], err)  # nothing else
        self.assertEqual(int(WROTE.search(err)["n"]), int(S.streams(out)["video"]["nb_read_frames"]))
        # -v: FFmpeg's own lines (the encoder's statistics) come back.
        code, _, err = raw_run("-v", "--force", "--models", models, "clean-video", self.clip, out)
        self.assertEqual(code, 0, err)
        self.assertIn("[libx264 @ ", err)
        # -q: nothing at all, on a pipe and on a terminal.
        self.assertEqual(raw_run("-q", "--force", "--models", models, "clean-video", self.clip, out), (0, "", ""))
        self.assertEqual(read_tty_run(["-q", "--force", "--models", models, "clean-video", self.clip, out],
                                      raw=True), (0, ""))
        img = os.path.join(self.d, "block.png")
        S.ffmpeg("-f", "lavfi", "-i", blocks_source(160, 96, 1), "-frames:v", "1", img)
        self.assertEqual(raw_run("-q", "--models", models, "clean", img, os.path.join(self.d, "o.png")),
                         (0, "", ""))

    def test_onnx_runtime_lines_only_with_verbose(self):
        # A detector that fails inside its run: the runtime logs the failure
        # itself, the tool says it once in its own words.
        models = S.model_dir_with(self, os.path.join(S.TEST_MODELS, "det_fail_run.onnx"),
                                  os.path.join(S.TEST_MODELS, "inp_const.onnx"))
        img = os.path.join(self.d, "block.png")
        S.ffmpeg("-f", "lavfi", "-i", blocks_source(160, 96, 1), "-frames:v", "1", img)
        code, _, err = raw_run("--models", models, "detect", img)
        self.assertEqual(code, FAIL)
        self.assertTrue(err.startswith("glyphwipe: %s: det session: SessionRun: " % img), err)
        self.assertEqual(err.count("\n"), 1, err)
        code, _, err = raw_run("-v", "--models", models, "detect", img)
        self.assertEqual(code, FAIL)
        self.assertIn("[E:onnxruntime", err)


class Formats(unittest.TestCase):
    """OUT's extension in any case picks the format; others are usage errors naming the formats."""

    @classmethod
    def setUpClass(cls):
        cls.d = S.temp_dir(cls)
        cls.img = os.path.join(cls.d, "in.png")
        S.ffmpeg("-f", "lavfi", "-i", blocks_source(160, 96, 1), "-frames:v", "1", cls.img)
        cls.models = stand_in_models(cls)

    def test_image_extensions_in_any_case(self):
        for name, codec in (("a.PNG", "png"), ("b.Jpg", "mjpeg"), ("c.JPEG", "mjpeg"), ("d.bmp", "bmp"),
                            ("e.TGA", "targa"), ("f.tga", "targa")):
            with self.subTest(name=name):
                out = os.path.join(self.d, name)
                run("-q", "--models", self.models, "clean", self.img, out, expect=0)
                r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0",
                                    out], capture_output=True, text=True)
                self.assertEqual(r.stdout.strip(), codec)
                self.assertEqual(rgb(out).shape, (96, 160, 3))

    def test_unknown_formats_are_usage_errors(self):
        for cmd, name, words in (
                ("clean", "x.webp", "unknown image format '.webp'"), ("clean", "x.tif", "unknown image format '.tif'"),
                ("clean", "noext", "noext has no extension"), ("clean", "x.png.txt", "unknown image format '.txt'"),
                ("preview", "x.gif", "unknown image format '.gif'"),
                ("clean-video", "x.mkv", "videos are written as MP4"), ("clean-video", "x.MOV", "give OUT the extension .mp4"),
                ("clean-video", "x", "videos are written as MP4")):
            with self.subTest(name=name):
                out = os.path.join(self.d, name)
                code, stdout, err = run("--models", self.models, cmd, self.img, out, expect=USAGE)
                self.assertIn(words, err)
                self.assertIn("Usage: glyphwipe", err)
                if cmd != "clean-video":
                    for ext in (".png", ".jpg", ".jpeg", ".bmp", ".tga"):
                        self.assertIn(ext, err)
                self.assertFalse(os.path.exists(out))
        self.assertEqual(leftovers(self.d), [])

    def test_video_out_in_any_case(self):
        clip = block_clip(os.path.join(self.d, "in.mp4"), frames=3, audio=False)
        out = os.path.join(self.d, "OUT.MP4")
        run("-q", "--models", self.models, "clean-video", clip, out, expect=0)
        self.assertEqual(S.streams(out)["video"]["codec_name"], "h264")


class Batch(unittest.TestCase):
    """A mixed folder: images, a video, a file that fails, files that are no media."""

    def setUp(self):
        self.d = S.temp_dir(self)
        self.src, self.dst = os.path.join(self.d, "in"), os.path.join(self.d, "out", "nested")
        os.makedirs(os.path.join(self.src, "sub.png"))  # a folder: left out
        for name in ("a.png", "B.JPG", ".hidden.png"):
            S.ffmpeg("-f", "lavfi", "-i", blocks_source(160, 96, 1), "-frames:v", "1", os.path.join(self.src, name))
        block_clip(os.path.join(self.src, "c.mov"))
        S.write_file(os.path.join(self.src, "bad.png"), "not a picture\n")
        S.write_file(os.path.join(self.src, "notes.txt"), "left out\n")
        self.models = stand_in_models(self)

    def batch(self, *options, expect):
        return run(*options, "--models", self.models, "batch", self.src, self.dst, expect=expect)

    def test_mixed_folder_with_a_failing_file(self):
        _, stdout, err = self.batch(expect=FAIL)
        self.assertEqual(stdout, "")
        self.assertEqual(sorted(os.listdir(self.dst)), ["B.JPG", "a.png", "c.mp4"])
        wrote = {m["out"]: int(m["n"]) for m in WROTE.finditer(err)}
        self.assertEqual(wrote, {os.path.join(self.dst, "B.JPG"): 1, os.path.join(self.dst, "a.png"): 1,
                                 os.path.join(self.dst, "c.mp4"): 6})
        for i, name in ((1, "B.JPG"), (2, "a.png"), (4, "c.mp4")):  # by name: bad.png is third
            self.assertIn("[%d/4] wrote %s" % (i, os.path.join(self.dst, name)), err)
        self.assertIn("glyphwipe: cannot read %s as an image: " % os.path.join(self.src, "bad.png"), err)
        self.assertTrue(err.endswith("glyphwipe: batch: 1 of 4 files failed (bad.png); 3 cleaned, 0 skipped\n"), err)
        self.assertEqual(S.read_file(os.path.join(self.dst, "B.JPG"))[:3], b"\xff\xd8\xff")  # JPEG kept
        streams = S.streams(os.path.join(self.dst, "c.mp4"))
        self.assertEqual((streams["video"]["codec_name"], streams["audio"]["codec_name"]), ("h264", "aac"))
        self.assertEqual(leftovers(self.dst), [])

        # Again: the outputs are kept, the failing file fails again.
        before = {n: os.stat(os.path.join(self.dst, n)).st_mtime_ns for n in os.listdir(self.dst)}
        _, _, err = self.batch(expect=FAIL)
        self.assertEqual(err.count("skipped"), 4, err)  # three lines and the summary
        self.assertIn("[1/4] skipped %s: %s exists (--force replaces it)"
                      % (os.path.join(self.src, "B.JPG"), os.path.join(self.dst, "B.JPG")), err)
        self.assertEqual({n: os.stat(os.path.join(self.dst, n)).st_mtime_ns for n in os.listdir(self.dst)}, before)
        # Without the bad file: exit 0; --force rewrites every output.
        os.remove(os.path.join(self.src, "bad.png"))
        _, _, err = self.batch("--force", expect=0)
        self.assertRegex(err, r"glyphwipe: batch done: 3 cleaned, 0 skipped, in \d+\.\d s\n$")
        for n, t in before.items():
            self.assertNotEqual(os.stat(os.path.join(self.dst, n)).st_mtime_ns, t, n)
        self.assertEqual(self.batch("-q", "--force", expect=0)[1:], ("", ""))

    def test_one_line_per_file_on_a_terminal(self):
        os.remove(os.path.join(self.src, "bad.png"))
        code, text = read_tty_run(["--models", self.models, "batch", self.src, self.dst])
        self.assertEqual(code, 0, text)
        lines = [line.rsplit("\r\x1b[K", 1)[-1] for line in text.split("\n") if line]
        self.assertEqual(len(lines), 4, lines)  # three files and the summary
        self.assertIn("[3/3] c.mov", text)  # the video's progress line
        self.assertTrue(all(WROTE.match(line) for line in lines[:3]), lines)

    def test_folder_problems(self):
        empty = os.path.join(self.d, "empty")
        os.mkdir(empty)
        _, _, err = run("batch", empty, self.dst, expect=FAIL)
        self.assertEqual(err, "glyphwipe: no images or videos in %s\n" % empty)
        _, _, err = run("batch", os.path.join(self.src, "notes.txt"), self.dst, expect=FAIL)
        self.assertEqual(err, "glyphwipe: cannot read %s: Not a directory\n" % os.path.join(self.src, "notes.txt"))
        # Two inputs with one output name: the second is not cleaned.
        block_clip(os.path.join(self.src, "c.mp4"), frames=2, audio=False)
        _, _, err = self.batch(expect=FAIL)
        self.assertIn("c.mp4: not cleaned: %s is the output of another file" % os.path.join(self.dst, "c.mp4"), err)
        self.assertIn("(bad.png, c.mp4)", err)


class Preview(unittest.TestCase):
    """One picture: boxes outlined and the band shaded on the left, the cleaned picture on the right."""

    @classmethod
    def setUpClass(cls):
        cls.d = S.temp_dir(cls)
        cls.img = S.make_image(os.path.join(cls.d, "in.png"), 480, 160, S.TEXT)
        cls.clip = S.make_clip(os.path.join(cls.d, "in.mp4"), 320, 240, 1.0,
                               [("TOP LINE", 40, 24, 30), ("BOTTOM LINE", 40, 186, 30)], fps=12)

    def setUp(self):
        self.tmp = S.temp_dir(self)  # where the work folder goes
        self.env = dict(os.environ, TMPDIR=self.tmp)

    def work_folders(self):
        return [n for n in os.listdir(self.tmp) if n.startswith("glyphwipe-preview-")]

    def test_image(self):
        out = os.path.join(self.d, "preview.png")
        code, _, err = run("preview", self.img, out, env=self.env, expect=0)
        boxes = json.loads(run("detect", self.img, expect=0)[1])
        self.assertEqual(err, "glyphwipe: wrote %s: %d text box%s\n" % (out, len(boxes), "" if len(boxes) == 1 else "es"))
        clean = os.path.join(self.d, "clean.png")
        run("clean", self.img, clean, expect=0)
        pic, src = rgb(out), rgb(self.img)
        self.assertEqual(pic.shape, (160, 960, 3))
        np.testing.assert_array_equal(pic[:, 480:], rgb(clean))  # the tool's cleaned picture
        # Left: the picture itself but for the outlines on the boxes' edges.
        changed = np.abs(pic[:, :480] - src).max(axis=2) > 0
        edges = np.zeros_like(changed)
        for b in boxes:
            edges[b["y"]:b["y"] + b["h"], b["x"]:b["x"] + b["w"]] = True
            edges[b["y"] + 3:b["y"] + b["h"] - 3, b["x"] + 3:b["x"] + b["w"] - 3] = False
        self.assertTrue(changed.any())
        self.assertFalse((changed & ~edges).any())
        self.assertEqual(self.work_folders(), [])

    def test_video_with_band(self):
        out = os.path.join(self.d, "band.png")
        code, _, err = run("preview", self.clip, out, "--band", "0:30", "--at", "0.5", env=self.env, expect=0)
        self.assertRegex(err, r"^glyphwipe: wrote %s: \d+ text boxes, [1-9]\d* reaching into the band, "
                              r"picture at 0\.5 s\n$" % re.escape(out))
        pic = rgb(out)
        before = rgb(S.frame_png(self.clip, 0.5, os.path.join(self.d, "at_half.png")))
        self.assertEqual(pic.shape, (240, 640, 3))
        left, right = pic[:, :320], pic[:, 320:]
        def change(a, y0, y1):  # right of the text and its boxes
            return np.abs(a[y0:y1, 280:] - before[y0:y1, 280:]).mean()
        self.assertGreater(change(left, 0, 72), 10)  # the shaded band: rows 0..71 of 240
        self.assertLess(change(left, 80, 150), 1)
        top = np.abs(right[15:60, 30:260] - before[15:60, 30:260]).mean()
        bottom = np.abs(right[180:225, 30:260] - before[180:225, 30:260]).mean()
        self.assertGreater(top, 4 * max(bottom, 1.0), (top, bottom))  # only the band's text repainted
        self.assertEqual(self.work_folders(), [])

    def test_problems(self):
        out = os.path.join(self.d, "late.png")
        _, _, err = run("preview", self.clip, out, "--at", "30", env=self.env, expect=FAIL)
        self.assertEqual(err, "glyphwipe: cannot take a picture at 30 s from %s (-v shows why)\n" % self.clip)
        self.assertFalse(os.path.exists(out))
        existing = S.write_file(os.path.join(self.d, "kept.png"), b"old")
        run("preview", self.img, existing, expect=FAIL)
        self.assertEqual(S.read_file(existing), b"old")
        self.assertEqual(self.work_folders(), [])
        self.assertEqual(leftovers(self.d), [])


class DetectBand(unittest.TestCase):
    """detect --band reports exactly the boxes that reach into the band's rows."""

    def test_band_selects_boxes(self):
        d = S.temp_dir(self)
        img = S.make_image(os.path.join(d, "two.png"), 480, 320, [("Top words", 30, 30, 32), ("Low words", 30, 250, 32)])
        full = json.loads(run("detect", img, expect=0)[1])
        self.assertTrue(any(b["y"] < 160 for b in full) and any(b["y"] > 160 for b in full), full)
        for band, rows in (("0:50", (0, 160)), ("50:100", (160, 320)), ("0:100", (0, 320)), ("40:45", (128, 144))):
            with self.subTest(band=band):
                got = json.loads(run("detect", img, "--band", band, expect=0)[1])
                expected = [b for b in full if b["y"] < rows[1] and b["y"] + b["h"] > rows[0]]
                self.assertEqual(got, expected)  # the same entries, in the same order
        _, out, _ = run("detect", "--band", "40:45", img, expect=0)
        self.assertEqual(out, "[]\n")

    def test_band_of_a_jpeg_shown_turned(self):
        # Stored a quarter turned to the left, shown upright by EXIF orientation
        # 6: the band's rows are those of the upright picture (320 high).
        d = S.temp_dir(self)
        img = S.make_image(os.path.join(d, "low.png"), 480, 320, [("Low words", 30, 250, 32)])
        stored = os.path.join(d, "stored.jpg")
        subprocess.run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", img, "-vf", "transpose=2",
                        "-q:v", "2", stored], check=True)
        with open(stored, "rb") as f:
            jpeg = f.read()
        tiff = b"MM" + struct.pack(">HIHHHIHHI", 42, 8, 1, 0x0112, 3, 1, 6, 0, 0)
        app1 = b"Exif\0\0" + tiff
        tagged = os.path.join(d, "tagged.jpg")
        with open(tagged, "wb") as f:
            f.write(jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + jpeg[2:])
        full = json.loads(run("detect", tagged, expect=0)[1])
        self.assertTrue(full and all(b["y"] > 200 for b in full), full)
        self.assertEqual(json.loads(run("detect", tagged, "--band", "60:100", expect=0)[1]), full)
        self.assertEqual(json.loads(run("detect", tagged, "--band", "0:50", expect=0)[1]), [])


class Demo(unittest.TestCase):
    """The demo job, in its quick form."""

    QUICK = dict(os.environ, GLYPHWIPE_DEMO_QUICK="1")

    def test_demo(self):
        target = os.path.join(S.temp_dir(self), "nested", "demo")
        code, out, err = run("-q", "demo", target, env=self.QUICK, expect=0)
        self.assertIn(os.path.realpath(target), out)
        for name in ("sample.mp4", "cleaned.mp4", "before_after.png"):
            self.assertIn(name, out)
            self.assertTrue(os.path.getsize(os.path.join(target, name)) > 0, name)
        self.assertEqual(sorted(os.listdir(target)), ["before_after.png", "cleaned.mp4", "sample.mp4"])
        sample, cleaned = (S.streams(os.path.join(target, name)) for name in ("sample.mp4", "cleaned.mp4"))
        self.assertIn("audio", sample)
        self.assertIn("audio", cleaned)
        self.assertEqual(cleaned["video"]["nb_read_frames"], sample["video"]["nb_read_frames"])
        pic = rgb(os.path.join(target, "before_after.png"))
        self.assertEqual(pic.shape[1], 2 * sample["video"]["width"])
        self.assertRegex(out, r"before \([1-9]\d* text box")

    def test_demo_interrupted_while_ffmpeg_runs(self):
        target = os.path.join(S.temp_dir(self), "demo")
        code, text = read_tty_run(["demo", target], until=lambda t: "making a" in t, on_match=interrupt,
                                  env=self.QUICK)
        self.assertIn("making a", text)
        self.assertEqual(code, 130, text)
        self.assertEqual(os.listdir(target), [])  # the half-made sample is gone too


if __name__ == "__main__":
    unittest.main()
