"""Tests of the glyphwipe command-line tool: every command, its exit codes,
its messages, the handling of existing outputs, the progress line on a
terminal and Ctrl-C during a video."""

import json
import os
import pty
import re
import select
import signal
import subprocess
import time
import unittest

import numpy as np

import _support as S

USAGE = 2
FAIL = 1


# FFmpeg's own log lines ("[libx264 @ 0x...] ..."), which the tool does not
# control; the checks below look at the tool's own output only.
_FFMPEG_LOG = re.compile(r"^(\x1b\[[0-9;]*m)?\[[\w -]+ @ 0x[0-9a-f]+\].*(\n|$)", re.M)


def own_text(text):
    return _FFMPEG_LOG.sub("", text.replace("\r\n", "\n"))


def run(*args, expect=None, env=None, timeout=240, cwd=None):
    """Runs the tool with stdin closed; returns (exit code, stdout, stderr)."""
    r = subprocess.run([S.CLI, *args], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       timeout=timeout, env=env, cwd=cwd)
    if "Sanitizer" in r.stderr or "runtime error:" in r.stderr:
        raise AssertionError("sanitizer report from %s:\n%s" % (args, r.stderr))
    if expect is not None and r.returncode != expect:
        raise AssertionError("glyphwipe %s exited %d, expected %d\nstdout: %s\nstderr: %s"
                             % (" ".join(args), r.returncode, expect, r.stdout, r.stderr))
    return r.returncode, r.stdout, own_text(r.stderr)


def rgb(path):
    """Decodes the first picture of an image or video into an HxWx3 array."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                        "stream=width,height", "-of", "csv=p=0:s=x", path], capture_output=True, text=True)
    w, h = (int(v) for v in r.stdout.strip().split("x"))
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", path, "-frames:v", "1",
                          "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(h, w, 3).astype(np.int16)


def leftovers(folder):
    """Temporary outputs the tool (or the library) may have left in a folder."""
    return [n for n in os.listdir(folder) if ".glyphwipe-" in n]


def stand_in_models(testcase, fill="inp_const.onnx"):
    """A brightness detector and a stand-in fill: quick runs with text found
    on white blocks. inp_endless.onnx never ends a run by itself."""
    return S.model_dir_with(testcase, os.path.join(S.TEST_MODELS, "det_bright.onnx"),
                            os.path.join(S.TEST_MODELS, fill))


def blocks_source(w, h, n, rate=10):
    """A lavfi source: black, with n white blocks in rows of five."""
    src = "color=c=black:s=%dx%d:r=%d" % (w, h, rate)
    for i in range(n):
        src += ",drawbox=x=%d:y=%d:w=60:h=24:color=white:t=fill" % (60 + (i % 5) * 240, 60 + (i // 5) * 220)
    return src


def wait_for(condition, timeout=60):
    deadline = time.time() + timeout
    while not condition():
        if time.time() > deadline:
            raise AssertionError("timed out waiting")
        time.sleep(0.02)


class Usage(unittest.TestCase):
    """Help, version and usage errors: exit 0 or 2, nothing touched."""

    def test_help_and_version(self):
        for args in (["--help"], ["-h"], ["help"], ["clean", "--help"]):
            code, out, err = run(*args, expect=0)
            self.assertIn("usage: glyphwipe", out)
            for word in ("detect IMAGE", "clean IN OUT", "clean-video IN OUT", "demo [DIR]", "--models",
                         "--threshold", "--radius", "--band", "--force", "-q"):
                self.assertIn(word, out)
            self.assertEqual(err, "")
        code, out, err = run("--version", expect=0)
        self.assertRegex(out, r"^glyphwipe \d+\.\d+\.\d+\n$")

    def test_help_names_the_build_trees_models(self):
        # Run from the build folder, the default model folder is the project's.
        code, out, _ = run("--help", expect=0)
        self.assertIn(os.path.realpath(S.MODELS), out.replace("\n", " "))

    def test_usage_errors(self):
        d = S.temp_dir(self)
        img = S.make_image(os.path.join(d, "in.png"), 64, 64, [])
        out = os.path.join(d, "out.png")
        cases = [
            ([], "no command"),
            (["frobnicate"], "unknown command 'frobnicate'"),
            (["--bogus", "detect", img], "unknown option '--bogus'"),
            (["detect"], "detect takes one IMAGE"),
            (["detect", img, img], "detect takes one IMAGE"),
            (["clean", img], "clean takes IN and OUT"),
            (["clean-video", img], "clean-video takes IN and OUT"),
            (["demo", d, d], "demo takes at most one DIR"),
            (["--threshold", "1.5", "clean", img, out], "--threshold"),
            (["--threshold", "abc", "clean", img, out], "--threshold"),
            (["--threshold=0", "clean", img, out], "--threshold"),
            (["--radius", "129", "clean", img, out], "--radius"),
            (["--radius", "-1", "clean", img, out], "--radius"),
            (["--radius", "5.0", "clean", img, out], "--radius"),
            # Numbers by one rule, the library's: the whole text, no blanks, no '+'.
            (["--threshold", " 0.5", "clean", img, out], "--threshold"),
            (["--threshold", "0.5 ", "clean", img, out], "--threshold"),
            (["--threshold", "+0.5", "clean", img, out], "--threshold"),
            (["--threshold", "", "clean", img, out], "--threshold"),
            (["--threshold", "5e-1", "clean", img, out], "--threshold"),
            (["--radius", "+5", "clean", img, out], "--radius"),
            (["--radius", " 5", "clean", img, out], "--radius"),
            (["--radius", "5 ", "clean", img, out], "--radius"),
            (["--radius", "", "clean", img, out], "--radius"),
            (["clean-video", img, out, "--band", "+10:20"], "--band"),
            (["clean-video", img, out, "--band", "10: 20"], "--band"),
            (["clean-video", img, out, "--band", "10:20 "], "--band"),
            (["clean-video", img, out, "--band", "50:40"], "--band"),
            (["clean-video", img, out, "--band", "0:101"], "--band"),
            (["clean-video", img, out, "--band", "80"], "--band"),
            (["clean", img, out, "--band", "0:50"], "--band applies to clean-video only"),
            (["detect", img, "--models"], "--models needs a value"),
        ]
        for args, words in cases:
            with self.subTest(args=args):
                code, out_text, err = run(*args, expect=USAGE)
                self.assertTrue(err.startswith("glyphwipe: "), err)
                self.assertIn(words, err)
                self.assertIn("usage: glyphwipe", err)
                self.assertEqual(out_text, "")
        self.assertFalse(os.path.exists(out))

    def test_options_anywhere_and_equals_form(self):
        d = S.temp_dir(self)
        img = S.make_image(os.path.join(d, "in.png"), 96, 64, [])
        code, out, _ = run("detect", img, "--threshold=0.5", "--radius", "3", "-q", "--models=" + S.MODELS,
                           expect=0)
        self.assertEqual(json.loads(out), [])
        # "--" ends the options: a file named like an option can be cleaned.
        os.rename(img, os.path.join(d, "-q.png"))
        run("-q", "detect", "--", "-q.png", expect=0, cwd=d)


class WithTextImage:
    """Gives each test a fresh folder (self.d) holding a picture with S.TEXT (self.img)."""

    def setUp(self):
        self.d = S.temp_dir(self)
        self.img = S.make_image(os.path.join(self.d, "in.png"), 480, 160, S.TEXT)


class Errors(WithTextImage, unittest.TestCase):
    """Failures exit 1 with a message naming the file and the reason."""

    def test_missing_or_unreadable_input(self):
        missing = os.path.join(self.d, "nope.png")
        for cmd in (["detect", missing], ["clean", missing, os.path.join(self.d, "o.png")],
                    ["clean-video", missing, os.path.join(self.d, "o.mp4")]):
            with self.subTest(cmd=cmd[0]):
                code, out, err = run(*cmd, expect=FAIL)
                self.assertEqual(err, "glyphwipe: cannot read %s: No such file or directory\n" % missing)
        code, _, err = run("clean", self.d, os.path.join(self.d, "o.png"), expect=FAIL)
        self.assertEqual(err, "glyphwipe: cannot read %s: Is a directory\n" % self.d)
        # A FIFO would block whoever opens it for reading: refused unopened.
        fifo = os.path.join(self.d, "fifo.png")
        os.mkfifo(fifo)
        for cmd in (["detect", fifo], ["clean", fifo, os.path.join(self.d, "o.png")],
                    ["clean-video", fifo, os.path.join(self.d, "o.mp4")]):
            with self.subTest(cmd=cmd[0], input="fifo"):
                code, _, err = run(*cmd, expect=FAIL, timeout=60)
                self.assertEqual(err, "glyphwipe: cannot read %s: not a regular file\n" % fifo)
        os.remove(fifo)
        if os.geteuid() != 0:  # root reads everything
            locked = os.path.join(self.d, "locked.png")
            S.make_image(locked, 32, 32, [])
            os.chmod(locked, 0)
            code, _, err = run("detect", locked, expect=FAIL)
            self.assertIn("Permission denied", err)
        self.assertEqual(sorted(os.listdir(self.d)), ["in.png"])

    def test_model_folder_problems(self):
        out = os.path.join(self.d, "o.png")
        nowhere = os.path.join(self.d, "no-models")
        code, _, err = run("--models", nowhere, "clean", self.img, out, expect=FAIL)
        self.assertIn("glyphwipe: model folder %s not found" % nowhere, err)
        only_det = S.model_dir_with(self, os.path.join(S.MODELS, S.DET_MODEL), None)
        code, _, err = run("--models", only_det, "detect", self.img, expect=FAIL)
        self.assertEqual(err, "glyphwipe: model folder %s lacks lama_fp32.onnx (run scripts/setup.sh)\n" % only_det)
        only_fill = S.model_dir_with(self, None, os.path.join(S.MODELS, S.FILL_MODEL))
        code, _, err = run("--models", only_fill, "detect", self.img, expect=FAIL)
        self.assertIn("lacks ch_PP-OCRv4_det_infer.onnx", err)
        # A file that is no model: the library's loader text comes through.
        junk = S.write_file(os.path.join(self.d, "junk.onnx"), "not a model")
        broken = S.model_dir_with(self, os.path.join(S.MODELS, S.DET_MODEL), junk)
        code, _, err = run("--models", broken, "clean", self.img, out, expect=FAIL)
        self.assertTrue(err.startswith("glyphwipe: cannot load the models from %s: load lama model failed: "
                                       % broken), err)
        self.assertFalse(os.path.exists(out))
        self.assertEqual(leftovers(self.d), [])

    def test_existing_output_needs_force(self):
        out = S.write_file(os.path.join(self.d, "out.png"), b"precious")
        for cmd in ("clean", "clean-video"):
            with self.subTest(cmd=cmd):
                code, _, err = run(cmd, self.img, out, expect=FAIL)
                self.assertEqual(err, "glyphwipe: %s exists (use --force to replace it)\n" % out)
                self.assertEqual(S.read_file(out), b"precious")
        code, _, err = run("clean", self.img, self.img, expect=FAIL)
        self.assertEqual(err, "glyphwipe: %s is the input file (use --force to replace it)\n" % self.img)
        code, _, err = run("clean", self.img, self.d, expect=FAIL)
        self.assertIn("is a folder", err)
        code, _, err = run("--force", "clean", self.img, "/dev/null", expect=FAIL)
        self.assertEqual(err, "glyphwipe: /dev/null is not a regular file; give a file name for the output\n")
        code, _, err = run("clean", self.img, os.path.join(self.d, "no", "out.png"), expect=FAIL)
        self.assertIn("folder %s does not exist" % os.path.join(self.d, "no"), err)
        self.assertEqual(leftovers(self.d), [])

    def test_library_failure_text(self):
        # The detector refuses pictures under 8 pixels: its text is shown,
        # no output and no temporary file remain.
        tiny = S.make_image(os.path.join(self.d, "tiny.png"), 6, 6, [])
        out = os.path.join(self.d, "tiny-out.png")
        code, _, err = run("detect", tiny, expect=FAIL)
        self.assertTrue(err.startswith("glyphwipe: %s: " % tiny), err)
        code, _, err = run("clean", tiny, out, expect=FAIL)
        self.assertTrue(err.startswith("glyphwipe: %s: detect: " % tiny), err)
        self.assertFalse(os.path.exists(out))
        # The same for every picture of a video: the pipeline's text.
        tiny_clip = os.path.join(self.d, "tiny.mp4")
        S.ffmpeg("-f", "lavfi", "-i", "color=c=red:s=6x6:d=0.2", "-c:v", "libx264", "-pix_fmt", "yuv420p", tiny_clip)
        code, _, err = run("clean-video", tiny_clip, os.path.join(self.d, "tiny-out.mp4"), expect=FAIL)
        self.assertEqual(err, "glyphwipe: %s: frame processing failed at frame 0\n" % tiny_clip)
        self.assertFalse(os.path.exists(os.path.join(self.d, "tiny-out.mp4")))
        # Not an image / not a video / no video stream.
        text = S.write_file(os.path.join(self.d, "notes.txt"), "hello\n")
        code, _, err = run("clean", text, out, expect=FAIL)
        self.assertTrue(err.startswith("glyphwipe: cannot read %s as an image: " % text), err)
        code, _, err = run("clean-video", text, os.path.join(self.d, "o.mp4"), expect=FAIL)
        self.assertIn("cannot open %s as a video" % text, err)
        self.assertIn("cannot open input: ", err)
        audio = os.path.join(self.d, "tone.m4a")
        S.ffmpeg("-f", "lavfi", "-i", "sine=duration=0.3", audio)
        code, _, err = run("clean-video", audio, os.path.join(self.d, "o.mp4"), expect=FAIL)
        self.assertEqual(err, "glyphwipe: %s has no video stream\n" % audio)
        # A failed run never destroys an existing output, even with --force.
        keep = S.write_file(os.path.join(self.d, "keep.png"), b"old")
        run("--force", "clean", text, keep, expect=FAIL)
        self.assertEqual(S.read_file(keep), b"old")
        self.assertEqual(leftovers(self.d), [])


class Images(WithTextImage, unittest.TestCase):
    """detect and clean on pictures with real rendered text."""

    def test_detect_prints_json(self):
        code, out, err = run("detect", self.img, expect=0)
        self.assertEqual(err, "")
        self.assertEqual(out.count("\n"), 1)
        S.check_boxes(self, json.loads(out))
        plain = S.make_image(os.path.join(self.d, "plain.png"), 200, 100, [])
        code, out, _ = run("detect", plain, expect=0)
        self.assertEqual(out, "[]\n")

    def test_threshold_reaches_the_library(self):
        # A box's score is the mean score of its pixels, all of them at or
        # above the threshold: every score reflects the threshold given.
        _, low, _ = run("--threshold", "0.05", "detect", self.img, expect=0)
        _, high, _ = run("--threshold", "0.99", "detect", self.img, expect=0)
        low, high = json.loads(low), json.loads(high)
        self.assertGreater(len(low), 0)
        self.assertTrue(all(b["conf"] >= 0.99 for b in high), high)
        self.assertNotEqual(low, high)

    def test_clean_writes_the_cleaned_image(self):
        out = os.path.join(self.d, "out.png")
        code, stdout, err = run("clean", self.img, out, expect=0)
        self.assertEqual((stdout, err), ("", ""))
        before, after = rgb(self.img), rgb(out)
        self.assertEqual(before.shape, after.shape)
        x, y, w, h = S.TEXT_AREA
        inside = np.abs(before[y:y + h, x:x + w] - after[y:y + h, x:x + w]).mean()
        outside = np.abs(before[:70] - after[:70]).mean()  # rows well above the text
        self.assertGreater(inside, 10 * max(outside, 0.5))
        self.assertEqual(leftovers(self.d), [])
        # JPEG for an unknown extension, as the library decides.
        jpg = os.path.join(self.d, "out.jpeg")
        run("clean", self.img, jpg, expect=0)
        self.assertEqual(S.read_file(jpg)[:3], b"\xff\xd8\xff")

    def test_regions_left_out_are_reported(self):
        # 20 separate blocks of "text", 12 repainted: the tool says so.
        img = os.path.join(self.d, "twenty.png")
        S.ffmpeg("-f", "lavfi", "-i", blocks_source(1200, 900, 20), "-frames:v", "1", img)
        out = os.path.join(self.d, "twenty-out.png")
        code, _, err = run("--models", stand_in_models(self), "clean", img, out, expect=0)
        self.assertEqual(err, "glyphwipe: 8 text regions kept their text in %s: "
                              "at most 12 regions are repainted per picture\n" % out)

    def test_force_replaces_output_and_input(self):
        out = S.write_file(os.path.join(self.d, "out.png"), b"old")
        os.chmod(out, 0o640)
        run("--force", "clean", self.img, out, expect=0)
        self.assertEqual(rgb(out).shape, (160, 480, 3))
        self.assertEqual(os.stat(out).st_mode & 0o777, 0o640)  # the replaced file's mode is kept
        original = rgb(self.img)
        run("clean", "--force", self.img, self.img, expect=0)
        self.assertGreater(np.abs(rgb(self.img) - original).max(), 50)
        self.assertEqual(sorted(os.listdir(self.d)), ["in.png", "out.png"])


class Video(unittest.TestCase):
    """clean-video end to end, the band, the progress line."""

    @classmethod
    def setUpClass(cls):
        cls.d = S.temp_dir(cls)
        # Text near the top and near the bottom of a 320x240 clip.
        cls.clip = S.make_clip(os.path.join(cls.d, "in.mp4"), 320, 240, 1.0,
                               [("TOP LINE", 40, 24, 30), ("BOTTOM LINE", 40, 186, 30)], fps=12)

    def test_clean_video_end_to_end(self):
        out = os.path.join(self.d, "out.mp4")
        code, stdout, err = run("clean-video", self.clip, out, expect=0)
        self.assertEqual((stdout, err.count("%")), ("", 0))  # no progress line into a pipe
        streams, src = S.streams(out), S.streams(self.clip)
        self.assertEqual(streams["video"]["codec_name"], "h264")
        self.assertEqual((streams["video"]["width"], streams["video"]["height"]), (320, 240))
        self.assertEqual(streams["video"]["nb_read_frames"], src["video"]["nb_read_frames"])
        self.assertEqual(streams["audio"]["codec_name"], "aac")
        self.assertEqual(leftovers(self.d), [])
        # Again without --force: refused, the result untouched.
        size = os.path.getsize(out)
        run("clean-video", self.clip, out, expect=FAIL)
        self.assertEqual(os.path.getsize(out), size)
        run("clean-video", "--force", self.clip, out, expect=0)

    def test_band_limits_the_repainting(self):
        top = os.path.join(self.d, "top.mp4")
        run("clean-video", self.clip, top, "--band", "0:30", expect=0)
        before = rgb(S.frame_png(self.clip, 0.5, os.path.join(self.d, "b.png")))
        after = rgb(S.frame_png(top, 0.5, os.path.join(self.d, "a.png")))
        top_change = np.abs(before[15:60, 30:260] - after[15:60, 30:260]).mean()
        bottom_change = np.abs(before[180:225, 30:260] - after[180:225, 30:260]).mean()
        self.assertGreater(top_change, 4 * max(bottom_change, 1.0), (top_change, bottom_change))

    def test_progress_line_on_a_terminal(self):
        out = os.path.join(self.d, "tty.mp4")
        text = read_tty_run(["clean-video", self.clip, out])[1]
        self.assertIn("100%", text)
        self.assertIn("elapsed", text)
        self.assertIn("glyphwipe: wrote %s" % out, text)
        quiet = os.path.join(self.d, "quiet.mp4")
        code, text = read_tty_run(["-q", "clean-video", self.clip, quiet])
        self.assertEqual(code, 0)
        self.assertNotIn("%", text)


def read_tty_run(args, until=None, on_match=None, timeout=240, env=None):
    """Runs the tool with stderr on a pseudo-terminal; returns (code, text).
    When `until(text)` turns true, `on_match(proc)` is called once."""
    master, slave = pty.openpty()
    p = subprocess.Popen([S.CLI, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave, env=env)
    os.close(slave)
    text, fired, deadline = "", False, time.time() + timeout
    try:
        while time.time() < deadline:
            ready, _, _ = select.select([master], [], [], 0.2)
            if ready:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the child closed the terminal
                    chunk = b""
                if not chunk and p.poll() is not None:
                    break
                text += chunk.decode("utf-8", "replace")
            elif p.poll() is not None:
                break
            if until and not fired and until(text):
                fired = True
                on_match(p)
        code = p.wait(timeout=max(1, deadline - time.time()))
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
        os.close(master)
        p.stdout.close()
    if "Sanitizer" in text or "runtime error:" in text:
        raise AssertionError("sanitizer report:\n" + text)
    return code, own_text(text)


def progress_started(text):
    """True once the progress line shows more than 0 percent."""
    return any(int(m) > 0 for m in re.findall(r"(\d+)% \[", text))


def interrupt(p):
    p.send_signal(signal.SIGINT)


class Interrupt(unittest.TestCase):
    """Ctrl-C during a video: exit 130, no output, no leftovers."""

    @classmethod
    def setUpClass(cls):
        cls.d = S.temp_dir(cls)
        cls.clip = S.make_clip(os.path.join(cls.d, "long.mp4"), 320, 240, 12.0,
                               [("Interrupt me", 30, 190, 28)], fps=12)

    def interrupt(self, args):
        """Ctrl-C once the progress moved: exit 130 before the end, no leftovers."""
        code, text = read_tty_run(args, until=progress_started, on_match=interrupt)
        self.assertTrue(progress_started(text), text)
        self.assertEqual(code, 130, text)
        self.assertNotIn("100%", text)
        self.assertEqual(leftovers(self.d), [])

    def test_sigint_leaves_no_output(self):
        out = os.path.join(self.d, "out.mp4")
        self.interrupt(["clean-video", self.clip, out])
        self.assertFalse(os.path.exists(out))

    def test_sigint_keeps_the_old_output(self):
        out = S.write_file(os.path.join(self.d, "old.mp4"), b"old result")
        self.interrupt(["--force", "clean-video", self.clip, out])
        self.assertEqual(S.read_file(out), b"old result")

    def test_every_ending_signal_cleans_up(self):
        # Each signal arrives while the library is inside a model run that
        # never ends by itself (both temporary files exist then): the run is
        # cancelled, both files go, the exit status is 128 + the signal.
        d = S.temp_dir(self)
        models = stand_in_models(self, "inp_endless.onnx")
        clip = os.path.join(d, "block.mp4")
        S.ffmpeg("-f", "lavfi", "-i", blocks_source(320, 240, 1), "-frames:v", "5", "-c:v", "libx264",
                 "-preset", "ultrafast", "-pix_fmt", "yuv420p", clip)
        out = S.write_file(os.path.join(d, "out.mp4"), b"old result")
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE, signal.SIGUSR1, signal.SIGALRM):
            with self.subTest(signal=sig.name):
                p = subprocess.Popen([S.CLI, "--models", models, "--force", "clean-video", clip, out],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                try:
                    wait_for(lambda: len(leftovers(d)) == 2 or p.poll() is not None)
                    p.send_signal(sig)
                    _, err = p.communicate(timeout=60)
                finally:
                    if p.poll() is None:
                        p.kill()
                        p.wait()
                self.assertEqual(p.returncode, 128 + sig, err)
                self.assertEqual(leftovers(d), [])
                self.assertEqual(S.read_file(out), b"old result")

    def test_second_writer_of_the_same_output_fails(self):
        # Two runs write the same OUT without --force: when OUT appears
        # while one runs (the other finished first), that run fails at the
        # end instead of replacing it, and leaves nothing behind.
        d = S.temp_dir(self)
        clip = os.path.join(d, "blocks.mp4")
        S.ffmpeg("-f", "lavfi", "-i", blocks_source(160, 96, 1), "-frames:v", "40", "-c:v", "libx264",
                 "-preset", "ultrafast", "-pix_fmt", "yuv420p", clip)
        out = os.path.join(d, "out.mp4")
        p = subprocess.Popen([S.CLI, "--models", stand_in_models(self), "clean-video", clip, out],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            wait_for(lambda: len(leftovers(d)) == 2 or p.poll() is not None)
            self.assertIsNone(p.poll(), "the run ended before the other result appeared")
            S.write_file(out, b"the other run's result")
            _, err = p.communicate(timeout=240)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.assertEqual(p.returncode, FAIL, err)
        self.assertIn("glyphwipe: %s exists (use --force to replace it)\n" % out, own_text(err))
        self.assertEqual(S.read_file(out), b"the other run's result")
        self.assertEqual(leftovers(d), [])


class Install(unittest.TestCase):
    """The installed tool finds its library and its own installed models."""

    def test_installed_tool(self):
        build = os.environ.get("GLYPHWIPE_BUILD_DIR")
        if not build:
            self.skipTest("GLYPHWIPE_BUILD_DIR not set")
        prefix = os.path.join(S.temp_dir(self), "prefix")
        r = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        models = os.path.join(prefix, "share", "orvantix-glyphwipe", "models")

        def tool(*args):
            return subprocess.run([os.path.join(prefix, "bin", "glyphwipe"), *args], capture_output=True, text=True)
        r = tool("--help")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("(default %s)" % os.path.realpath(models), r.stdout)
        img = S.make_image(os.path.join(prefix, "in.png"), 480, 160, S.TEXT)
        r = tool("detect", img)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertGreater(len(json.loads(r.stdout)), 0)
        # Without its models it says which file is missing, and where.
        os.remove(os.path.join(models, S.FILL_MODEL))
        r = tool("detect", img)
        self.assertEqual(r.returncode, FAIL)
        self.assertIn("lacks lama_fp32.onnx", r.stderr)


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
