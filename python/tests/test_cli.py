"""Tests of the glyphwipe command-line tool: detect, clean and clean-video,
their exit codes and messages, the handling of existing outputs, the progress
line on a terminal and Ctrl-C during a video. test_cli_commands.py has the
other commands and the tool's output."""

import json
import os
import re
import signal
import subprocess
import unittest

import numpy as np

import _support as S
from _cli_support import (FAIL, USAGE, WROTE, blocks_source, interrupt, leftovers, own_text,  # noqa: F401
                          progress_started, read_tty_run, rgb, run, stand_in_models, wait_for)

class Usage(unittest.TestCase):
    """Help, version and usage errors: exit 0 or 2, nothing touched."""

    def test_help_and_version(self):
        for args in (["--help"], ["-h"], ["help"], ["clean", "--help"]):
            code, out, err = run(*args, expect=0)
            self.assertIn("Usage: glyphwipe", out)
            for word in ("detect IMAGE", "clean IN OUT", "clean-video IN OUT", "batch IN_DIR OUT_DIR",
                         "preview IN OUT", "demo [DIR]", "--models", "--threshold", "--radius", "--band", "--at",
                         "--force", "-q", "-v, --verbose"):
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
            (["clean", img, out, "--band", "0:50"], "--band applies to clean-video, batch, preview and detect"),
            (["detect", img, "--models"], "--models needs a value"),
            (["batch", d], "batch takes IN_DIR and OUT_DIR"),
            (["batch", d, d, d], "batch takes IN_DIR and OUT_DIR"),
            (["batch", d, d], "OUT_DIR %s is IN_DIR" % d),
            (["preview", img], "preview takes IN and OUT"),
            (["preview", img, out, "--at", "-1"], "--at must be a time in seconds"),
            (["preview", img, out, "--at", "1s"], "--at must be a time in seconds"),
            (["preview", img, out, "--at", "1"], "--at applies to videos; %s is an image" % img),
            (["clean", img, out, "--at", "1"], "--at applies to preview only"),
        ]
        for args, words in cases:
            with self.subTest(args=args):
                code, out_text, err = run(*args, expect=USAGE)
                self.assertTrue(err.startswith("glyphwipe: "), err)
                self.assertIn(words, err)
                self.assertIn("Usage: glyphwipe", err)
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
        for cmd, name in (("clean", "out.png"), ("clean-video", "out.mp4")):
            with self.subTest(cmd=cmd):
                out = S.write_file(os.path.join(self.d, name), b"precious")
                code, _, err = run(cmd, self.img, out, expect=FAIL)
                self.assertEqual(err, "glyphwipe: %s exists (use --force to replace it)\n" % out)
                self.assertEqual(S.read_file(out), b"precious")
                os.remove(out)
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
        self.assertEqual(stdout, "")
        self.assertRegex(err, r"^glyphwipe: wrote %s: 1 picture in \d+\.\d s\n$" % re.escape(out))
        before, after = rgb(self.img), rgb(out)
        self.assertEqual(before.shape, after.shape)
        x, y, w, h = S.TEXT_AREA
        inside = np.abs(before[y:y + h, x:x + w] - after[y:y + h, x:x + w]).mean()
        outside = np.abs(before[:70] - after[:70]).mean()  # rows well above the text
        self.assertGreater(inside, 10 * max(outside, 0.5))
        self.assertEqual(leftovers(self.d), [])
        # JPEG for .jpeg (any other extension is refused: test_cli_commands.Formats).
        jpg = os.path.join(self.d, "out.jpeg")
        run("clean", self.img, jpg, expect=0)
        self.assertEqual(S.read_file(jpg)[:3], b"\xff\xd8\xff")

    def test_regions_left_out_are_reported(self):
        # 20 separate blocks of "text", 12 repainted: the tool says so.
        img = os.path.join(self.d, "twenty.png")
        S.ffmpeg("-f", "lavfi", "-i", blocks_source(1200, 900, 20), "-frames:v", "1", img)
        out = os.path.join(self.d, "twenty-out.png")
        code, _, err = run("--models", stand_in_models(self), "clean", img, out, expect=0)
        self.assertTrue(err.startswith("glyphwipe: 8 text regions kept their text in %s: "
                                       "at most 12 regions are repainted per picture\n" % out), err)
        code, _, err = run("-q", "--force", "--models", stand_in_models(self), "clean", img, out, expect=0)
        self.assertEqual(err, "")

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
        # One final line: the output, its pictures, the time.
        self.assertEqual([(m["out"], int(m["n"])) for m in WROTE.finditer(err)],
                         [(out, int(streams["video"]["nb_read_frames"]))])
        self.assertEqual(err.count("\n"), 1, err)
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
        # The progress line gives way to the final line.
        self.assertRegex(text, r"\r\x1b\[Kglyphwipe: wrote %s: \d+ pictures in " % re.escape(out))
        quiet = os.path.join(self.d, "quiet.mp4")
        code, text = read_tty_run(["-q", "clean-video", self.clip, quiet], raw=True)
        self.assertEqual((code, text), (0, ""))  # FFmpeg's lines too


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


if __name__ == "__main__":
    unittest.main()
