"""Tests of the cluster runner (python3 -m glyphwipe.batch): a mixed folder and a
clip cut into four pieces on a local Dask cluster of two workers that the
tests start on 127.0.0.1, Ctrl-C in the middle of a run, and the choice of
cut points."""

import json
import logging
import os
import signal
import subprocess
import sys
import time
import unittest
import warnings
from fractions import Fraction

import _support as S
import glyphwipe as gw
from glyphwipe import media, tasks
from test_cli import own_text, rgb

try:
    import distributed
except ImportError:  # setup.sh installs it; elsewhere these tests are skipped
    distributed = None

PYTHON_DIR = os.path.join(S.SOURCE, "python")
SUBTITLE = [("Hello there", 40, 180, 30)]


def pictures(path):
    """Times (exact, in seconds) of the decoded pictures of the first video stream."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                        "stream=time_base:frame=best_effort_timestamp", "-of", "json", path],
                       capture_output=True, text=True, check=True)
    info = json.loads(r.stdout)
    tb = Fraction(info["streams"][0]["time_base"])
    return [int(f["best_effort_timestamp"]) * tb for f in info["frames"]]


def audio_packets(path):
    """(pts, duration, SHA-256 of the data) of every packet of the first audio stream."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                        "packet=pts_time,duration_time,data_hash", "-show_data_hash", "SHA256",
                        "-of", "json", path], capture_output=True, text=True, check=True)
    return [(p["pts_time"], p["duration_time"], p["data_hash"]) for p in json.loads(r.stdout)["packets"]]


def decode_errors(path):
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"],
                       capture_output=True, text=True)
    return r.returncode, r.stderr


def make_keyed_clip(path, seconds, fps, key_every):
    """A clip with B-frames, a keyframe every key_every pictures and a tone."""
    S.ffmpeg("-f", "lavfi", "-i", "gradients=s=320x240:d=%g:r=%d:speed=0.05" % (seconds, fps),
             "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=%g" % seconds,
             "-vf", S._drawtext(SUBTITLE), "-c:v", "libx264", "-preset", "veryfast", "-g", str(key_every),
             "-keyint_min", str(key_every), "-sc_threshold", "0", "-pix_fmt", "yuv420p",
             "-c:a", "aac", "-b:a", "64k", "-shortest", path)
    return path


def files_in(folder):
    """Every file under folder, hidden ones included, relative to it."""
    found = []
    for d, _, files in os.walk(folder):
        found += [os.path.relpath(os.path.join(d, f), folder) for f in files]
    return sorted(found)


@unittest.skipIf(distributed is None, "the Dask distributed package is missing (Debian: python3-distributed)")
class Cluster(unittest.TestCase):
    """Runs of the command against a cluster of two workers on 127.0.0.1."""

    @classmethod
    def setUpClass(cls):
        cls.d = S.temp_dir(cls)
        # The workers take the library and models from CTest's environment and
        # this process's module path.
        with warnings.catch_warnings():  # Debian's tornado warns about Dask's own use of it
            warnings.simplefilter("ignore", DeprecationWarning)
            cls.cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                   host="127.0.0.1", dashboard_address=None,
                                                   silence_logs=logging.ERROR)
        cls.addClassCleanup(cls.cluster.close)
        cls.client = distributed.Client(cls.cluster)
        cls.addClassCleanup(cls.client.close)
        assert cls.cluster.scheduler_address.startswith("tcp://127.0.0.1:"), cls.cluster.scheduler_address
        cls.clip = make_keyed_clip(os.path.join(cls.d, "clip.mp4"), 4, 10, 10)

    def batch(self, *args, scheduler=True):
        """Runs the command; returns (exit status, its own standard error)."""
        cmd = [sys.executable, "-m", "glyphwipe.batch", *args, "--models", S.MODELS]
        if scheduler:
            cmd += ["--scheduler", self.cluster.scheduler_address]
        r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=240,
                           env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
        return r.returncode, own_text(r.stderr)

    def test_mixed_folder(self):
        src, out = os.path.join(self.d, "mixed"), os.path.join(self.d, "mixed-out")
        os.makedirs(os.path.join(src, "stills"))
        S.make_image(os.path.join(src, "stills", "a.png"), 480, 160, S.TEXT)
        S.make_image(os.path.join(src, "b.jpg"), 480, 160, S.TEXT)
        S.make_clip(os.path.join(src, "short.mkv"), 320, 240, 1.0, SUBTITLE, fps=10)
        S.write_file(os.path.join(src, "notes.txt"), "not a picture\n")
        S.write_file(os.path.join(src, "broken.mp4"), os.urandom(3000))

        rc, err = self.batch(src, out)
        self.assertEqual(rc, 1, err)
        self.assertIn("leaving out 1 file(s) that are not images or videos", err)
        self.assertRegex(err, r"broken\.mp4 failed \(.+\); trying again")
        self.assertRegex(err, r"\[\d/4\] FAILED broken\.mp4: ")
        self.assertIn("3 cleaned, 0 skipped, 1 failed", err)
        self.assertEqual(files_in(out), ["b.jpg", "short.mp4", "stills/a.png"])
        for name in ("b.jpg", "stills/a.png"):
            before, after = rgb(os.path.join(src, name)), rgb(os.path.join(out, name))
            self.assertEqual(before.shape, after.shape)
            x, y, w, h = S.TEXT_AREA
            self.assertGreater(abs(before[y:y + h, x:x + w] - after[y:y + h, x:x + w]).mean(), 10, name)
        v = S.streams(os.path.join(out, "short.mp4"))
        self.assertEqual((v["video"]["codec_name"], v["video"]["nb_read_frames"]), ("h264", "10"))
        self.assertIn("audio", v)

        # Again: what exists is skipped and left as it is.
        stamps = {n: os.stat(os.path.join(out, n)).st_mtime_ns for n in files_in(out)}
        rc, err = self.batch(src, out)
        self.assertEqual(rc, 1, err)
        self.assertIn("skipping 3 file(s) whose output exists", err)
        self.assertIn("0 cleaned, 3 skipped, 1 failed", err)
        self.assertEqual({n: os.stat(os.path.join(out, n)).st_mtime_ns for n in files_in(out)}, stamps)

        # One file to a named output, replaced with --force, on a cluster of
        # the command's own.
        rc, err = self.batch(os.path.join(src, "b.jpg"), os.path.join(out, "b.jpg"), "--force",
                             "--workers", "1", scheduler=False)
        self.assertEqual(rc, 0, err)
        self.assertIn("on 1 worker(s) (local)", err)
        self.assertNotEqual(os.stat(os.path.join(out, "b.jpg")).st_mtime_ns, stamps["b.jpg"])
        self.assertEqual(files_in(out), ["b.jpg", "short.mp4", "stills/a.png"])

    def test_clip_in_four_pieces(self):
        out = os.path.join(self.d, "pieces-out")
        rc, err = self.batch(self.clip, out, "--split-seconds", "1")
        self.assertEqual(rc, 0, err)
        for k in range(1, 5):
            self.assertRegex(err, r"clip\.mp4 piece %d/4 cleaned \(10 pictures from %d\.00 s" % (k, k - 1))
        self.assertIn("clip.mp4 -> %s (4 pieces joined, 40 pictures)" % os.path.join(out, "clip.mp4"), err)
        self.assertEqual(files_in(out), ["clip.mp4"])
        joined = os.path.join(out, "clip.mp4")

        self.assertEqual(decode_errors(joined), (0, ""))
        self.assertEqual(S.streams(joined)["video"]["codec_name"], "h264")
        self.assertEqual(pictures(joined), pictures(self.clip))
        source_audio = audio_packets(self.clip)
        self.assertGreater(len(source_audio), 100)
        self.assertEqual(audio_packets(joined), source_audio)
        # Every piece was cleaned: the text is gone at the start of each.
        for at in (0.5, 1.5, 2.5, 3.5):
            before = rgb(S.frame_png(self.clip, at, os.path.join(self.d, "in-%g.png" % at)))
            after = rgb(S.frame_png(joined, at, os.path.join(self.d, "out-%g.png" % at)))
            text, rest = (slice(180, 216), slice(40, 200)), (slice(0, 150), slice(0, 320))
            self.assertGreater(abs(before[text] - after[text]).mean(), 10, at)
            self.assertLess(abs(before[rest] - after[rest]).mean(), 3, at)

    def test_interrupt(self):
        out = os.path.join(self.d, "stopped-out")
        cmd = [sys.executable, "-m", "glyphwipe.batch", self.clip, out, "--split-seconds", "1",
               "--models", S.MODELS, "--scheduler", self.cluster.scheduler_address]
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True, env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
        self.addCleanup(proc.stderr.close)
        self.addCleanup(proc.kill)
        lines = []
        for line in proc.stderr:  # the first cleaned piece: others are running
            lines.append(line)
            if "piece" in line and "cleaned" in line:
                proc.send_signal(signal.SIGINT)
                break
        rest = proc.stderr.read()
        self.assertEqual(proc.wait(60), 130, "".join(lines) + rest)
        self.assertIn("interrupted: stopping the work", rest)
        self.assertEqual(files_in(out), [])
        # The pieces that were running were stopped through the library.
        end = time.monotonic() + 30
        while any(self.client.run(tasks.busy).values()) and time.monotonic() < end:
            time.sleep(0.2)
        self.assertFalse(any(self.client.run(tasks.busy).values()))
        self.assertTrue(any("cancelled" in e for e in self.client.run(gw.last_error).values()))


class CutPoints(unittest.TestCase):
    """Where a video is cut: clean keyframes at least S seconds apart."""

    @staticmethod
    def packets(spec):
        """'K0 3 1 2 K4 ...': packets in decode order, K marking keyframes,
        times in tenths of a second."""
        return [(Fraction(int(t.lstrip("K")), 10), t.startswith("K")) for t in spec.split()]

    def test_cuts(self):
        closed = self.packets("K0 2 1 K3 5 4 K6 8 7 K9 11 10")
        self.assertEqual(media.plan_cuts(closed, Fraction(3, 10)), [3, 6, 9])
        self.assertEqual(media.plan_cuts(closed, Fraction(1, 2)), [6])
        self.assertEqual(media.plan_cuts(closed, 2), [])
        self.assertEqual(media.piece_ranges(closed, [3, 6, 9]),
                         [(0, 3, 0), (3, 3, Fraction(3, 10)), (6, 3, Fraction(6, 10)), (9, 3, Fraction(9, 10))])
        # A keyframe with pictures after it in decode order that show before
        # it (an open group of pictures) is no cut point.
        open_gop = self.packets("K0 2 1 K5 3 4 8 6 7 K9 11 10")
        self.assertEqual(media.plan_cuts(open_gop, Fraction(3, 10)), [9])
        self.assertEqual(media.plan_cuts([(None, True), (Fraction(1), True)], Fraction(1, 10)), [])


if __name__ == "__main__":
    unittest.main()
