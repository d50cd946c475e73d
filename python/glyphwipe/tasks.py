"""The work that glyphwipe.batch hands to Dask workers: cleaning a file,
cutting a video into pieces, cleaning a piece, joining the cleaned pieces.

Every function here runs in a worker process, which holds one engine: the
library runs one operation at a time per process, so a worker with several
threads runs these one after the other. Outputs are written under a
temporary name and renamed only when complete; whatever a task leaves
behind on failure or cancellation is removed before it returns.

A run is cancelled through a distributed.Event named by the client: the
running task sees it within a fraction of a second and stops the library
(glyphwipe.cancel, through clean_video's cancel hook) or the ffmpeg command.
"""

import functools
import os
import shutil
import socket
import threading
import time

import glyphwipe
from glyphwipe import media

_engine_lock = threading.Lock()
_engine_key = None  # (model folder, options) of the engine loaded in this process
_active_lock = threading.Lock()
_active = 0  # tasks of this module running in this process


def _counted(fn):
    """Counts the task among the running ones while it runs (see busy)."""
    @functools.wraps(fn)
    def run(*args, **kwargs):
        global _active
        with _active_lock:
            _active += 1
        try:
            return fn(*args, **kwargs)
        finally:
            with _active_lock:
                _active -= 1
    return run


def busy():
    """Number of tasks of this module running in this worker."""
    return _active


def _engine(models, options):
    """Loads the engine for these models and options unless it is already."""
    global _engine_key
    key = (models, tuple(sorted(options.items())))
    if _engine_key != key:
        _engine_key = None
        glyphwipe.init(models)
        for name, value in options.items():
            glyphwipe.set_option(name, value)
        _engine_key = key


class _CancelCheck:
    """A callable telling whether the run's cancel event is set; asks the
    scheduler at most every `interval` seconds."""

    def __init__(self, event_name, interval=0.5):
        self.event = None
        if event_name:
            from distributed import Event
            self.event = Event(event_name)
        self.interval = interval
        self.last = 0.0
        self.set = False

    def __call__(self):
        if self.event is None or self.set:
            return self.set
        now = time.monotonic()
        if now - self.last >= self.interval:
            self.last = now
            try:
                self.set = self.event.is_set()
            except Exception:  # the scheduler is gone: the run is over
                self.set = True
        return self.set


def _remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def _where():
    return socket.gethostname()


def check_worker(paths):
    """Run on every worker before any work: the library loads and the given
    folders are there. Returns None, or the reason this worker cannot work."""
    try:
        glyphwipe.library_path()
    except glyphwipe.GlyphwipeError as e:
        return str(e)
    for p in paths:
        if not os.path.isdir(p):
            return "%s is not a folder on %s (the folders must be shared at the same path on every " \
                   "machine)" % (p, _where())
    if shutil.which("ffmpeg") is None or shutil.which("ffprobe") is None:
        return "the ffmpeg and ffprobe commands are missing on %s" % _where()
    return None


@_counted
def clean_file(kind, src, tmp, out, engine, event_name, band=None):
    """Cleans one image or video (kind "image"/"video") from src into tmp,
    then renames tmp to out. Returns the seconds it took."""
    t0 = time.monotonic()
    cancel = _CancelCheck(event_name)
    try:
        with _engine_lock:
            _engine(*engine)
            if kind == "image":
                glyphwipe.clean_image(src, tmp)
            else:
                glyphwipe.clean_video(src, tmp, band=band, cancel=cancel)
        os.replace(tmp, out)
    finally:
        _remove(tmp)
    return time.monotonic() - t0


@_counted
def split_video(src, work_dir, split_seconds, context, event_name):
    """Plans and cuts a video into pieces of at least split_seconds at clean
    keyframes. Returns None with the reason when it is not to be cut, else a
    plan: {"pieces": [{"path", "count", "start"}], "audio": bool}.

    context: pictures of context each piece would get before and after (for
    a cleaning mode that looks at neighbouring pictures); only 0 is
    supported, the pieces being cut at keyframes and the library's output
    having no keyframe where the context would have to be dropped."""
    if context != 0:
        raise ValueError("context pictures are not supported yet")
    cancel = _CancelCheck(event_name)
    try:
        packets, audio = media.video_packets(src, cancel)
        cuts = media.plan_cuts(packets, split_seconds)
        if not cuts:
            if any(p[0] is None for p in packets):
                return None, "its pictures have no timestamps"
            return None, "no keyframe to cut at"
        os.makedirs(work_dir, exist_ok=True)
        paths = media.cut(src, cuts, work_dir, cancel)
        pieces = []
        for path, (first, count, start) in zip(paths, media.piece_ranges(packets, cuts)):
            got = media.packet_count(path, cancel)
            if got != count:
                raise media.MediaError("piece %s has %d pictures, %d planned" % (path, got, count))
            pieces.append({"path": path, "count": count, "start": start})
        return {"pieces": pieces, "audio": audio}, None
    except media.Stopped:
        raise glyphwipe.GlyphwipeCancelled("cancelled", -2) from None


@_counted
def clean_piece(src, out, count, engine, event_name, band=None):
    """Cleans one cut piece into out (MP4) and checks it kept its `count`
    pictures. Returns the seconds it took."""
    t0 = time.monotonic()
    cancel = _CancelCheck(event_name)
    tmp = out + ".part.mp4"
    try:
        with _engine_lock:
            _engine(*engine)
            glyphwipe.clean_video(src, tmp, band=band, cancel=cancel)
        got = media.packet_count(tmp)
        if got != count:
            raise media.MediaError("cleaned piece has %d pictures, the cut piece %d" % (got, count))
        os.replace(tmp, out)
    finally:
        _remove(tmp)
    return time.monotonic() - t0


@_counted
def join_video(src, cleaned, starts, audio, tmp, out, event_name):
    """Joins the cleaned pieces into tmp with src's audio, checks that it has
    src's pictures and timestamps, then renames it to out."""
    cancel = _CancelCheck(event_name)
    try:
        media.join(cleaned, starts, src, tmp, audio, cancel)
        media.check_same_pictures(src, tmp, cancel)
        os.replace(tmp, out)
    except media.Stopped:
        raise glyphwipe.GlyphwipeCancelled("cancelled", -2) from None
    finally:
        _remove(tmp)
