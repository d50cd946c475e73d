"""Python binding of orvantix-glyphwipe: removes burned-in text from images and videos.

A thin ctypes layer over the shared library's C API. The library holds one
engine per process and runs one operation at a time::

    import glyphwipe

    with glyphwipe.Engine("models") as gw:          # or glyphwipe.init("models")
        gw.set_option("threshold", 0.4)
        print(gw.detect("frame.png"))               # [{'x': 12, 'y': 340, ...}]
        gw.clean_image("frame.png", "clean.png")
        gw.clean_video("in.mp4", "out.mp4", band=(75, 100),
                       progress=lambda pct: print(pct, "%"))

Failures raise GlyphwipeError with a readable message (the library's own
text is kept in e.library_text); a cancelled video raises GlyphwipeCancelled
(a subclass). One call runs at a time: a call from
another thread waits for the running one; a call from inside a progress or
cancel callback (the same thread) raises GlyphwipeError at once, except
progress(), cancel(), last_error() and regions_left_out().

The library is found through the GLYPHWIPE_LIB environment variable, else in
the installation this package belongs to (cmake --install), else in the
repository's build (build/ beside python/, for the package used from its
source tree), else under the interpreter's prefix and by the system's library
search. `python3 -m glyphwipe ARGS` runs the glyphwipe tool's commands.
"""

import ctypes
import json
import os
import threading
import time

from glyphwipe import _locate
from glyphwipe._messages import readable as _readable

__all__ = [
    "GlyphwipeError", "GlyphwipeCancelled", "Engine",
    "init", "cleanup", "set_option", "last_error", "progress", "cancel", "regions_left_out",
    "detect", "clean_image", "clean_video", "library_path",
]

__version__ = "0.1.0"  # the library's and the tool's version


class GlyphwipeError(RuntimeError):
    """A library call failed: str(e) and e.message say why in plain words;
    e.library_text is the library's own text (glyphwipe_last_error)."""

    def __init__(self, message, result=-1, library_text=None):
        super().__init__(message)
        self.message = message
        self.result = result
        self.library_text = message if library_text is None else library_text


def _error(text, result=-1, cls=GlyphwipeError):
    return cls(_readable(text), result, text)


class GlyphwipeCancelled(GlyphwipeError):
    """A video run stopped because it was cancelled."""


def _find_library():
    found = _locate.library()
    if found:
        return found
    raise GlyphwipeError(
        "cannot find %s: install the library (cmake --install), build the project "
        "(scripts/test.sh or cmake) or set GLYPHWIPE_LIB to the library's path" % _locate.LIB_NAME)


_lib = None
_lib_path = None
_lib_lock = threading.Lock()
# One operation at a time: the library's engine is global. Re-entrant, so
# that a call made by a callback of the running call (same thread) is seen
# and refused instead of waiting for itself.
_call_lock = threading.RLock()
_running = []  # name of the call that holds _call_lock, while it runs


class _Call:
    """Holds _call_lock for one call; refuses a call from inside another."""

    def __init__(self, name):
        self.name = name

    def __enter__(self):
        _call_lock.acquire()
        if _running:
            running = _running[-1]
            _call_lock.release()
            raise GlyphwipeError("busy: %s() is running; %s() cannot be called from its callbacks"
                                 % (running, self.name))
        _running.append(self.name)
        return self

    def __exit__(self, *exc):
        _running.pop()
        _call_lock.release()
        return False


def _load():
    global _lib, _lib_path
    with _lib_lock:
        if _lib is None:
            path = _find_library()
            try:
                lib = ctypes.CDLL(path)
            except OSError as e:
                raise GlyphwipeError("cannot load %s: %s" % (path, e)) from None
            c_str, c_int = ctypes.c_char_p, ctypes.c_int
            for name, res, args in (
                    ("glyphwipe_init", c_int, [c_str]),
                    ("glyphwipe_cleanup", None, []),
                    ("glyphwipe_set_option", c_int, [c_str, c_str]),
                    ("glyphwipe_last_error", c_str, []),
                    ("glyphwipe_progress", c_int, []),
                    ("glyphwipe_cancel", c_int, []),
                    ("glyphwipe_regions_left_out", c_int, []),
                    ("glyphwipe_detect", c_str, [c_str]),
                    ("glyphwipe_process_image", c_int, [c_str, c_str]),
                    ("glyphwipe_process_video", c_int, [c_str, c_str]),
                    ("glyphwipe_process_video_region", c_int, [c_str, c_str, c_int, c_int])):
                fn = getattr(lib, name)
                fn.restype = res
                fn.argtypes = args
            _lib, _lib_path = lib, path
    return _lib


def library_path():
    """The path of the shared library in use (loads it if needed)."""
    _load()
    return _lib_path


def _path(p):
    if p is None:
        raise TypeError("a path is required")
    b = os.fsencode(p)
    if b"\0" in b:
        raise ValueError("embedded null byte in path %r" % (p,))
    return b


def _text(v, what):
    b = str(v).encode()
    if b"\0" in b:
        raise ValueError("embedded null byte in %s %r" % (what, v))
    return b


_INT_MIN, _INT_MAX = -2 ** 31, 2 ** 31 - 1


def _c_int(v, what):
    """v as an int that a C int holds exactly (ctypes would wrap it)."""
    if isinstance(v, bool):
        raise TypeError("%s must be a number" % what)
    n = int(v)
    if not _INT_MIN <= n <= _INT_MAX:
        raise OverflowError("%s %d does not fit a C int" % (what, n))
    return n


def _option_value(value):
    """The option's text: numbers as the library reads them (digits, '-',
    '.'), so that a float never reaches it in exponent notation."""
    if isinstance(value, bool):
        raise TypeError("option values are numbers or strings")
    if isinstance(value, float) and value == value and abs(value) != float("inf") and "e" in repr(value):
        text = "%.40f" % value
        return _text(text.rstrip("0").rstrip(".") or "0", "option value")
    return _text(value, "option value")


def last_error():
    """The library's last error text, or "no error"."""
    return _load().glyphwipe_last_error().decode("utf-8", "replace")


def _check(result):
    if result == -2:
        raise _error(last_error(), result, GlyphwipeCancelled)
    if result != 0:
        raise _error(last_error(), result)


# The options that measured best on photographs with burned-in text (the
# glyphwipe tool uses the same); init(plain=True) keeps the library's own.
BEST_OPTIONS = {"unclip": 1.5, "mask": "glyphs", "inpaint_radius": 1, "detect_scale": 0.5}
# Videos are repainted from what other pictures of a window saw, where a hole
# that covers the letters' outlines generously measured best (the tool does
# the same); clean_video sets these for its run unless set_option chose them.
VIDEO_OPTIONS = {"mask": "boxes", "inpaint_radius": 5, "temporal": 9}
# Whether init() set BEST_OPTIONS, and the options set_option has set since.
_tuned = {"best": False, "chosen": set()}


def init(model_dir=None, plain=False):
    """Loads the two models from model_dir (default: $GLYPHWIPE_MODELS, else
    the installed models, else the repository's models/) and sets the options to BEST_OPTIONS, or
    to the library's own defaults with plain=True."""
    if model_dir is None:
        model_dir = _locate.models()
    lib = _load()
    path = _path(model_dir)
    with _Call("init"):
        _tuned["best"], _tuned["chosen"] = False, set()
        _check(lib.glyphwipe_init(path))
        for name, value in ({} if plain else BEST_OPTIONS).items():
            _check(lib.glyphwipe_set_option(name.encode(), str(value).encode()))
        _tuned["best"] = not plain


def cleanup():
    """Releases the models; safe in any state (but not from a callback of a
    running call)."""
    lib = _load()
    with _Call("cleanup"):
        lib.glyphwipe_cleanup()


def set_option(name, value):
    """Sets "threshold" (0 < x < 1), "inpaint_radius" (0..128), "unclip"
    (0..4), "mask" ("boxes"/"glyphs"), "detect_scale" (0..1), "temporal"
    (0, or a window of 2..32 pictures for videos), "log" ("errors"/"none") or
    "device" ("cpu"/"cuda"). Call after init(), which resets the options."""
    text = _option_value(value)
    lib = _load()
    with _Call("set_option"):
        _check(lib.glyphwipe_set_option(_text(name, "option name"), text))
        _tuned["chosen"].add(name)


def _video_options(lib, video):
    """The options of a video run (video=True) or back to the image ones."""
    if not _tuned["best"]:
        return
    for name, value in VIDEO_OPTIONS.items():
        if name not in _tuned["chosen"]:
            value = value if video else BEST_OPTIONS.get(name, 0)
            _check(lib.glyphwipe_set_option(name.encode(), str(value).encode()))


def progress():
    """Percent done of the current or last video run (any thread)."""
    return _load().glyphwipe_progress()


def cancel():
    """Asks the running call to stop (any thread); it also stops a model run
    in progress."""
    _load().glyphwipe_cancel()


def regions_left_out():
    """Text regions the current or last call found but did not repaint (at
    most 12 are repainted per picture), summed over a video's pictures."""
    return _load().glyphwipe_regions_left_out()


def detect(path):
    """The text boxes in an image file: a list of dicts with the keys
    x, y, w, h (pixels) and conf (0..1)."""
    lib = _load()
    src = _path(path)
    with _Call("detect"):
        report = lib.glyphwipe_detect(src)
        if report is None:
            raise _error(last_error())
        text = report.decode("ascii")  # copied now: the buffer belongs to the library
    return json.loads(text)


def clean_image(in_path, out_path):
    """Cleans an image file; out_path's extension picks the format
    (.png, .bmp, .tga, anything else JPEG)."""
    lib = _load()
    src, dst = _path(in_path), _path(out_path)
    with _Call("clean_image"):
        _check(lib.glyphwipe_process_image(src, dst))


def _cancel_requested(cancel):
    if cancel is None:
        return False
    if hasattr(cancel, "is_set"):
        return cancel.is_set()
    return bool(cancel())


def clean_video(in_path, out_path, band=None, progress=None, cancel=None, poll_interval=0.1):
    """Cleans a video into an MP4 (H.264, first audio track copied).

    band: (top, bottom) in percent of the frame height; only text reaching
    into that band of rows is repainted. progress: called with the percent
    (0..100) whenever it changes, on the calling thread. cancel: a
    threading.Event or a callable returning True to stop the run, which then
    raises GlyphwipeCancelled. Ctrl-C (KeyboardInterrupt) also cancels the run
    before it propagates.

    The library call runs on a worker thread (ctypes releases the GIL during
    it) while this thread polls progress and the cancel request. The callbacks
    may call progress(), cancel() and last_error(); any other call of this
    module from them raises GlyphwipeError.
    """
    lib = _load()
    src, dst = _path(in_path), _path(out_path)
    if band is not None:
        top, bottom = (_c_int(v, "band") for v in band)
    result = []
    # Set by the worker when the library call has returned. Thread.is_alive()
    # is not used: after a join() interrupted by Ctrl-C it can report a
    # running thread as stopped.
    finished = threading.Event()

    def work():
        try:
            if band is None:
                result.append(lib.glyphwipe_process_video(src, dst))
            else:
                result.append(lib.glyphwipe_process_video_region(src, dst, top, bottom))
        except BaseException as e:  # pragma: no cover - ctypes conversion errors
            result.append(e)
        finally:
            finished.set()

    with _Call("clean_video"):
        _video_options(lib, True)
        worker = threading.Thread(target=work, name="glyphwipe-video", daemon=True)
        last = None
        started = False
        try:
            worker.start()
            started = True
            while True:
                done = finished.wait(poll_interval)
                if _cancel_requested(cancel):
                    lib.glyphwipe_cancel()
                if progress is not None:
                    pct = lib.glyphwipe_progress()
                    if pct != last:
                        last = pct
                        progress(pct)
                if done:
                    break
        except BaseException:
            # Stop the run before letting the exception (e.g. Ctrl-C) through:
            # the library must not be left running under a departed caller.
            # The request is repeated since a run that is just starting
            # forgets earlier ones; a second Ctrl-C does not cut the wait short.
            while started and not finished.is_set():
                try:
                    lib.glyphwipe_cancel()
                    finished.wait(0.05)
                except KeyboardInterrupt:
                    pass
            raise
        finally:
            if finished.is_set() or not started:
                _video_options(lib, False)
        worker.join()
        r = result[0]
        if isinstance(r, BaseException):
            raise r
        _check(r)


class Engine:
    """The library's engine as a context manager: init() on entry, cleanup()
    on exit. The methods are the module's functions."""

    def __init__(self, model_dir=None, plain=False, **options):
        self.model_dir = model_dir
        self.plain = plain
        self.options = options

    def __enter__(self):
        init(self.model_dir, plain=self.plain)
        try:
            for k, v in self.options.items():
                set_option(k, v)
        except BaseException:
            cleanup()
            raise
        return self

    def __exit__(self, *exc):
        cleanup()
        return False

    set_option = staticmethod(set_option)
    detect = staticmethod(detect)
    clean_image = staticmethod(clean_image)
    clean_video = staticmethod(clean_video)
    progress = staticmethod(progress)
    cancel = staticmethod(cancel)
    regions_left_out = staticmethod(regions_left_out)
    last_error = staticmethod(last_error)
