"""Tests of the Python binding (python/glyphwipe/) over the built library."""

import os
import threading
import unittest

import _support as S
import glyphwipe as gw


class Loading(unittest.TestCase):

    def test_library_found_through_environment(self):
        self.assertEqual(gw.library_path(), os.environ.get("GLYPHWIPE_LIB", gw.library_path()))

    def test_uninitialised_engine(self):
        gw.cleanup()
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.detect("whatever.png")
        self.assertIn("not initialized", str(ctx.exception))
        self.assertEqual(ctx.exception.message, gw.last_error())
        with self.assertRaises(gw.GlyphwipeError):
            gw.clean_video("a.mp4", "b.mp4")
        # The band is checked before anything else.
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.clean_video("a.mp4", "b.mp4", band=(50, 40))
        self.assertEqual(str(ctx.exception), "region: need 0 <= y_start_pct < y_end_pct <= 100")

    def test_init_failures(self):
        d = S.temp_dir(self)
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.init(d)
        self.assertTrue(str(ctx.exception).startswith("load det model failed: "), ctx.exception)
        with self.assertRaises(gw.GlyphwipeError) as ctx:
            gw.init(os.path.join(d, "x" * 2100))
        self.assertEqual(str(ctx.exception), "model_dir path too long")
        with self.assertRaises(TypeError):
            gw.clean_image(None, "x.png")


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
        gw.set_option("inpaint_radius", 7)
        gw.set_option("device", "cuda")
        for name, value, text in (("threshold", 1.5, "threshold must be in (0,1)"),
                                  ("threshold", "abc", "threshold must be in (0,1)"),
                                  ("inpaint_radius", 129, "inpaint_radius must be 0..128"),
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
        self.assertIn(missing, str(ctx.exception))
        self.assertTrue(str(ctx.exception).endswith("(stbi: can't fopen)"), ctx.exception)

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
        self.assertTrue(str(ctx.exception).startswith("cannot open input: "), ctx.exception)

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
                self.assertEqual(str(ctx.exception), "cancelled by glyphwipe_cancel()")
                self.assertEqual(ctx.exception.result, -2)

    def test_exception_in_callback_stops_the_run(self):
        def boom(pct):
            raise KeyError("stop here")
        with self.assertRaises(KeyError):
            gw.clean_video(self.clip, os.path.join(self.d, "boom.mp4"), progress=boom)
        # The run was cancelled and joined: the engine is free again.
        self.assertEqual(gw.detect(S.make_image(os.path.join(self.d, "p2.png"), 64, 64, [])), [])

    def test_cancel_before_a_run_has_no_effect(self):
        gw.cancel()
        out = os.path.join(self.d, "after-cancel.mp4")
        gw.clean_video(self.clip, out)
        self.assertEqual(gw.progress(), 100)


if __name__ == "__main__":
    unittest.main()
