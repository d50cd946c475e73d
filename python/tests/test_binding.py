"""Tests of the Python binding (python/glyphwipe/) over the built library."""

import os
import subprocess
import sys
import threading
import unittest

import _support as S
import glyphwipe as gw


def block_clip(path):
    """Black with a white block: text for the brightness detector."""
    S.ffmpeg("-f", "lavfi", "-i", "color=c=black:s=128x96:r=5,drawbox=x=24:y=36:w=48:h=20:color=white:t=fill",
             "-frames:v", "5", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", path)
    return path


class Loading(unittest.TestCase):

    def test_library_found_through_environment(self):
        self.assertEqual(gw.library_path(), os.environ.get("GLYPHWIPE_LIB", gw.library_path()))

    def test_uninitialised_engine(self):
        gw.cleanup()
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.detect("whatever.png")
        self.assertEqual(str(ctx.exception), "not initialized: call init() first")
        self.assertEqual(ctx.exception.library_text, gw.last_error())
        with self.assertRaises(gw.GlyphwipeError):
            gw.clean_video("a.mp4", "b.mp4")
        # The band is checked before anything else.
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.clean_video("a.mp4", "b.mp4", band=(50, 40))
        self.assertEqual(str(ctx.exception), "band must be (top, bottom) with 0 <= top < bottom <= 100")

    def test_init_failures(self):
        d = S.temp_dir(self)
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.init(d)
        self.assertTrue(str(ctx.exception).startswith("cannot load the detection model: "), ctx.exception)
        self.assertTrue(ctx.exception.library_text.startswith("load det model failed: "), ctx.exception)
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.init(os.path.join(d, "x" * 2100))
        self.assertEqual(str(ctx.exception), "model_dir path too long")
        with self.assertRaises(TypeError):
            gw.clean_image(None, "x.png")

    def test_arguments_c_cannot_take(self):
        # A NUL would cut the path short in C; ints beyond a C int would wrap.
        for call in (lambda: gw.detect("in\0.png"), lambda: gw.clean_image("in.png", b"out\0.png"),
                     lambda: gw.clean_video("in\0.mp4", "out.mp4"), lambda: gw.init("models\0"),
                     lambda: gw.set_option("threshold\0", "0.5"), lambda: gw.set_option("threshold", "0.5\0")):
            with self.assertRaises(ValueError):
                call()
        for band in ((2 ** 32 + 50, 100), (0, 2 ** 32 + 60), (-2 ** 31 - 1, 50)):
            with self.subTest(band=band):
                with self.assertRaises(OverflowError):
                    gw.clean_video("in.mp4", "out.mp4", band=band)


class Operations(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.d = S.temp_dir(cls)
        cls.img = S.make_image(os.path.join(cls.d, "in.png"), 480, 160, S.TEXT)
        cls.clip = S.make_clip(os.path.join(cls.d, "in.mp4"), 320, 240, 2.0, [("Hello there", 40, 180, 30)], fps=10)

    def setUp(self):
        gw.init(S.MODELS)
        self.addCleanup(gw.cleanup)

    def test_options(self):
        gw.set_option("threshold", 0.5)
        gw.set_option("threshold", 1e-05)  # written out without an exponent for the library
        gw.set_option("inpaint_radius", 7)
        gw.set_option("device", "cuda")
        for name, value, text in (("threshold", 1.5, "threshold must be in (0,1)"),
                                  ("threshold", "abc", "threshold must be in (0,1)"),
                                  ("inpaint_radius", 129, "inpaint_radius must be 0..128"),
                                  ("inpaint_radius", 2 ** 40, "inpaint_radius must be 0..128"),
                                  ("inpaint_radius", " 5", "inpaint_radius must be 0..128"),
                                  ("device", "gpu", "device must be cpu or cuda"),
                                  ("colour", "red", "unknown option: colour")):
            with self.subTest(name=name, value=value):
                with self.assertRaises(gw.GlyphwipeError) as ctx:
                    gw.set_option(name, value)
                self.assertEqual(str(ctx.exception), text)

    def test_detect(self):
        boxes = gw.detect(self.img)
        self.assertIsInstance(boxes, list)
        S.check_boxes(self, boxes)
        for b in boxes:
            self.assertIsInstance(b["x"], int)
            self.assertTrue(0 < b["conf"] <= 1)
        self.assertEqual(gw.last_error(), "no error")
        plain = S.make_image(os.path.join(self.d, "plain.png"), 160, 96, [])
        self.assertEqual(gw.detect(plain), [])
        # Paths may be os.PathLike or bytes.
        import pathlib
        self.assertEqual(gw.detect(pathlib.Path(plain)), [])
        self.assertEqual(gw.detect(os.fsencode(plain)), [])

    def test_clean_image(self):
        out = os.path.join(self.d, "out.png")
        gw.clean_image(self.img, out)
        self.assertGreater(os.path.getsize(out), 0)
        missing = os.path.join(self.d, "missing.png")
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.clean_image(missing, out)
        self.assertEqual(str(ctx.exception), "cannot read %s: cannot open the file" % missing)

    def test_readable_messages(self):
        # The library's texts without the names of its internal steps; the
        # library's own text stays at hand.
        notes = S.write_file(os.path.join(self.d, "notes.png"), "not a picture\n")
        not_video = S.write_file(os.path.join(self.d, "notes.txt"), "not a video\n")
        gif = S.write_file(os.path.join(self.d, "anim.gif"), b"GIF89a" + b"\0" * 40)
        for call, text in (
                (lambda: gw.detect(notes), "cannot read %s as an image: " % notes),
                (lambda: gw.clean_image(gif, os.path.join(self.d, "o.png")),
                 "cannot read %s as an image: unsupported format (PNG, JPEG, BMP and TGA are read)" % gif),
                (lambda: gw.clean_image(self.img, os.path.join(self.d, "no", "o.png")),
                 "cannot write %s: " % os.path.join(self.d, "no", "o.png")),
                (lambda: gw.clean_video(not_video, os.path.join(self.d, "o.mp4")),
                 "cannot open %s as a video" % not_video)):
            with self.subTest(text=text):
                with self.assertRaises(gw.GlyphwipeError) as ctx:
                    call()
                self.assertTrue(str(ctx.exception).startswith(text), ctx.exception)
                self.assertEqual(ctx.exception.message, str(ctx.exception))
                self.assertNotIn("stbi", str(ctx.exception))
                self.assertNotIn("failed:", str(ctx.exception))
                self.assertEqual(ctx.exception.library_text, gw.last_error())
                self.assertNotEqual(ctx.exception.library_text, str(ctx.exception))

    def test_clean_video_with_progress(self):
        out = os.path.join(self.d, "out.mp4")
        seen = []
        gw.clean_video(self.clip, out, progress=seen.append)
        self.assertEqual(seen[-1], 100)
        self.assertEqual(seen, sorted(seen))
        self.assertEqual(len(seen), len(set(seen)))  # reported on change only
        streams = S.streams(out)
        self.assertEqual(streams["video"]["codec_name"], "h264")
        self.assertIn("audio", streams)
        band_out = os.path.join(self.d, "band.mp4")
        with gw.Engine(S.MODELS, threshold=0.3) as engine:
            engine.clean_video(self.clip, band_out, band=(60, 100))
        self.assertTrue(os.path.exists(band_out))
        gw.init(S.MODELS)  # the Engine block released the models

    def test_clean_video_failure(self):
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.clean_video(os.path.join(self.d, "nope.mp4"), os.path.join(self.d, "x.mp4"))
        self.assertNotIsInstance(ctx.exception, gw.GlyphwipeCancelled)
        self.assertEqual(str(ctx.exception), "cannot open %s as a video" % os.path.join(self.d, "nope.mp4"))

    def test_cancel_with_event_and_callable(self):
        for kind in ("event", "callable"):
            with self.subTest(kind=kind):
                stop = threading.Event()
                cancel = stop if kind == "event" else stop.is_set
                out = os.path.join(self.d, "cancel-%s.mp4" % kind)
                # Asks to stop at the first progress report (0 %, right
                # after the start); the run takes a second or more.
                with self.assertRaises(gw.GlyphwipeCancelled) as ctx:
                    gw.clean_video(self.clip, out, cancel=cancel, progress=lambda p: stop.set())
                self.assertIsInstance(ctx.exception, gw.GlyphwipeError)
                self.assertEqual(str(ctx.exception), "cancelled")
                self.assertEqual(ctx.exception.library_text, "cancelled by glyphwipe_cancel()")
                self.assertEqual(ctx.exception.result, -2)

    def test_exception_in_callback_stops_the_run(self):
        def boom(pct):
            raise KeyError("stop here")
        with self.assertRaises(KeyError):
            gw.clean_video(self.clip, os.path.join(self.d, "boom.mp4"), progress=boom)
        # The run was cancelled and joined: the engine is free again.
        self.assertEqual(gw.detect(S.make_image(os.path.join(self.d, "p2.png"), 64, 64, [])), [])

    def test_calls_from_a_callback_raise(self):
        # The progress callback runs on the calling thread while the video
        # runs: a call of the module from there must not reach the library
        # (cleanup there used to crash it, a second video ran beside the
        # first). The fill never ends by itself; cancel stops it.
        models = S.model_dir_with(self, os.path.join(S.TEST_MODELS, "det_bright.onnx"),
                                  os.path.join(S.TEST_MODELS, "inp_endless.onnx"))
        gw.init(models)
        img = os.path.join(self.d, "p3.png")
        S.make_image(img, 64, 64, [])
        stop = threading.Event()
        raised, readable = [], []

        def inside(pct):
            if stop.is_set():
                return
            for name, call in (("cleanup", gw.cleanup), ("init", lambda: gw.init(models)),
                               ("set_option", lambda: gw.set_option("threshold", 0.5)),
                               ("detect", lambda: gw.detect(img)),
                               ("clean_image", lambda: gw.clean_image(img, os.path.join(self.d, "p3-out.png"))),
                               ("clean_video", lambda: gw.clean_video(self.clip, os.path.join(self.d, "nested.mp4")))):
                try:
                    call()
                    raised.append((name, None))
                except gw.GlyphwipeError as e:
                    raised.append((name, str(e)))
            readable.append((gw.progress(), gw.regions_left_out(), gw.last_error()))
            stop.set()

        out = os.path.join(self.d, "endless.mp4")
        with self.assertRaises(gw.GlyphwipeCancelled):
            gw.clean_video(block_clip(os.path.join(self.d, "bright.mp4")), out, progress=inside, cancel=stop)
        self.assertEqual([n for n, _ in raised], ["cleanup", "init", "set_option", "detect", "clean_image",
                                                   "clean_video"])
        for name, text in raised:
            self.assertEqual(text, "busy: clean_video() is running; %s() cannot be called from its callbacks" % name)
        self.assertEqual(readable, [(0, 0, "no error")])
        self.assertFalse(os.path.exists(out))
        self.assertFalse(os.path.exists(os.path.join(self.d, "nested.mp4")))
        self.assertEqual(gw.detect(img), [])  # the engine is free and whole again

    def test_ctrl_c_cancels_the_run(self):
        # In a child interpreter: Ctrl-C while the library is inside a model
        # run that never ends by itself. KeyboardInterrupt comes only after
        # the run was cancelled and has returned; nothing is left behind.
        models = S.model_dir_with(self, os.path.join(S.TEST_MODELS, "det_bright.onnx"),
                                  os.path.join(S.TEST_MODELS, "inp_endless.onnx"))
        clip = block_clip(os.path.join(self.d, "bright2.mp4"))
        out = os.path.join(self.d, "interrupted.mp4")
        script = r"""
import os, signal, sys, threading, time
sys.path.insert(0, sys.argv[1])
import glyphwipe as gw
models, clip, out, folder = sys.argv[2:6]
gw.init(models)
def interrupt():
    while not [n for n in os.listdir(folder) if ".glyphwipe-" in n]:
        time.sleep(0.01)
    time.sleep(0.2)
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt, daemon=True).start()
try:
    gw.clean_video(clip, out)
    print("finished")
except KeyboardInterrupt:
    print("interrupted", gw.last_error(), gw.progress())
    print("busy" if gw.detect(sys.argv[6]) is None else "free")
"""
        img = S.make_image(os.path.join(self.d, "p4.png"), 64, 64, [])
        r = subprocess.run([sys.executable, "-c", script, os.path.join(S.SOURCE, "python"), models, clip, out,
                            self.d, img], capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "interrupted cancelled by glyphwipe_cancel() 0\nfree\n", r.stderr)
        self.assertFalse(os.path.exists(out))
        self.assertEqual([n for n in os.listdir(self.d) if ".glyphwipe-" in n], [])

    def test_cancel_before_a_run_has_no_effect(self):
        gw.cancel()
        out = os.path.join(self.d, "after-cancel.mp4")
        gw.clean_video(self.clip, out)
        self.assertEqual(gw.progress(), 100)


if __name__ == "__main__":
    unittest.main()
