"""Cutting a video into pieces at keyframes and joining cleaned pieces, with
the ffmpeg and ffprobe commands.

A cut is a stream copy (the segment muxer, cut by packet index in decode
order), so the pieces hold the source's own packets and timestamps. A join is
the concat demuxer over the cleaned pieces, stream copy again, with each
piece's start set from the source's timestamps and the audio taken from the
source itself, so the joined file has the source's pictures, timestamps and
audio packets. Timestamps are kept as exact fractions of a second.
"""

import json
import os
import subprocess
from fractions import Fraction

# Extensions the batch runner treats as videos and as images (lower case).
VIDEO_EXTS = (".mp4", ".m4v", ".mov", ".mkv", ".webm", ".avi", ".ts", ".mts", ".m2ts",
              ".mpg", ".mpeg", ".flv", ".wmv", ".3gp", ".ogv")
IMAGE_EXTS = (".png", ".jpg", ".jpeg", ".bmp", ".tga")


class MediaError(RuntimeError):
    """An ffmpeg/ffprobe step failed or its result is not what was asked for."""


class Stopped(Exception):
    """The cancel check asked a tool run to stop."""


def run_tool(args, cancel=None, poll=0.2):
    """Runs a command to its end and returns its standard output (text).
    cancel: a callable polled while it runs; when it returns True the command
    is killed and Stopped raised. Failure raises MediaError with the tool's
    last error line."""
    try:
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
    except OSError as e:
        raise MediaError("cannot run %s: %s" % (args[0], e)) from None
    try:
        if cancel is None:
            out, err = proc.communicate()
        else:
            while True:
                try:
                    out, err = proc.communicate(timeout=poll)
                    break
                except subprocess.TimeoutExpired:
                    if cancel():
                        raise Stopped()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    if proc.returncode != 0:
        lines = [ln for ln in err.splitlines() if ln.strip()]
        raise MediaError("%s failed: %s" % (os.path.basename(args[0]),
                                            lines[-1] if lines else "exit status %d" % proc.returncode))
    return out


def ffmpeg_args(*args):
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args]


def video_packets(path, cancel=None):
    """The first video stream's packets in decode order as (pts, key) with
    pts in seconds (a Fraction; None where the container has none), and
    whether the file has an audio stream."""
    out = run_tool(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                    "stream=time_base:packet=pts,flags", "-of", "json", path], cancel)
    info = json.loads(out)
    if not info.get("streams"):
        raise MediaError("%s has no video stream" % path)
    tb = Fraction(info["streams"][0]["time_base"])
    packets = info.get("packets", [])

    def ticks(v):
        return None if v in (None, "", "N/A") else int(v) * tb

    result = [(ticks(p.get("pts")), "K" in p.get("flags", "")) for p in packets]
    audio = run_tool(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                      "stream=index", "-of", "csv=p=0", path], cancel).strip() != ""
    return result, audio


def plan_cuts(packets, split_seconds):
    """Packet indexes (decode order) at which to start pieces after the first:
    at the first clean keyframe at least split_seconds after the start of the
    current piece. A keyframe is a clean cut when every packet before it shows
    earlier and every packet from it on shows at or after it, so that the
    pieces split the pictures by time. [] when the video is not to be cut
    (short, no timestamps, no clean keyframe)."""
    if not packets or any(p[0] is None for p in packets):
        return []
    n = len(packets)
    suffix_min = [None] * n
    low = None
    for i in range(n - 1, -1, -1):
        low = packets[i][0] if low is None else min(low, packets[i][0])
        suffix_min[i] = low
    step = Fraction(split_seconds)
    cuts = []
    start = suffix_min[0]
    prefix_max = packets[0][0]
    for i in range(1, n):
        pts, key = packets[i]
        if key and pts - start >= step and prefix_max < pts and suffix_min[i] == pts:
            cuts.append(i)
            start = pts
        prefix_max = max(prefix_max, pts)
    return cuts


def piece_ranges(packets, cuts):
    """For each piece: (first packet index, packet count, first pts)."""
    bounds = [0] + list(cuts) + [len(packets)]
    return [(a, b - a, min(p[0] for p in packets[a:b])) for a, b in zip(bounds, bounds[1:])]


def cut(src, cuts, work_dir, cancel=None):
    """Writes the first video stream of src into work_dir as pieces
    piece0000.mov, piece0001.mov, ... cut before the given packet indexes, by
    stream copy with the source's timestamps. Returns their paths."""
    pattern = os.path.join(work_dir, "piece%04d.mov")
    run_tool(ffmpeg_args("-copyts", "-i", src, "-map", "0:v:0", "-c", "copy", "-f", "segment",
                         "-segment_frames", ",".join(str(i) for i in cuts), "-segment_format", "mov",
                         pattern), cancel)
    paths = [pattern % i for i in range(len(cuts) + 1)]
    missing = [p for p in paths if not os.path.exists(p)]
    extra = os.path.join(work_dir, "piece%04d.mov" % (len(cuts) + 1))
    if missing or os.path.exists(extra):
        raise MediaError("cutting %s gave other pieces than the %d planned" % (src, len(paths)))
    return paths


def packet_count(path, cancel=None):
    """Number of packets (pictures) of the first video stream."""
    out = run_tool(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                    "packet=pts", "-of", "csv=p=0", path], cancel)
    return len(out.splitlines())


def _seconds(value):
    """A Fraction of a second as ffmpeg's [-]S.ffffff (microseconds, rounded)."""
    us = round(value * 1000000)
    sign = "-" if us < 0 else ""
    us = abs(us)
    return "%s%d.%06d" % (sign, us // 1000000, us % 1000000)


def join(pieces, starts, src, out, audio, cancel=None):
    """Joins the cleaned pieces (MP4) into out (MP4) by stream copy. starts:
    each piece's first picture time in the source; piece i is placed at
    starts[i], so the joined pictures keep the source's timestamps. The first
    audio stream of src (when audio) is copied with its own timestamps."""
    listing = out + ".concat.txt"
    with open(listing, "w") as f:
        f.write("ffconcat version 1.0\n")
        for i, p in enumerate(pieces):
            f.write("file '%s'\n" % os.path.abspath(p).replace("'", "'\\''"))
            if i + 1 < len(pieces):
                f.write("duration %s\n" % _seconds(starts[i + 1] - starts[i]))
    try:
        args = ["-copyts", "-itsoffset", _seconds(starts[0]), "-f", "concat", "-safe", "0", "-i", listing]
        maps = ["-map", "0:v:0"]
        if audio:
            args += ["-i", src]
            maps += ["-map", "1:a:0"]
        run_tool(ffmpeg_args(*args, *maps, "-c", "copy", "-f", "mp4", out), cancel)
    finally:
        os.remove(listing)


def check_same_pictures(src, joined, cancel=None):
    """Raises MediaError unless joined's first video stream has exactly the
    pictures of src's (count) at the same times."""
    a, _ = video_packets(src, cancel)
    b, _ = video_packets(joined, cancel)
    if len(a) != len(b):
        raise MediaError("joined video has %d pictures, the source %d" % (len(b), len(a)))
    ta = sorted(p[0] for p in a)
    tb = sorted(p[0] for p in b)
    for i, (x, y) in enumerate(zip(ta, tb)):
        if x != y:
            raise MediaError("joined video's picture %d is at %.6f s, the source's at %.6f s"
                             % (i, float(y), float(x)))

