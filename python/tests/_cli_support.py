"""Helpers of the command-line tool's tests: running the tool (in a pipe or on
a pseudo-terminal), reading its pictures, stand-in models and sources."""

import os
import pty
import re
import select
import signal
import subprocess
import time

import numpy as np

import _support as S

USAGE = 2
FAIL = 1


# FFmpeg's own log lines ("[libx264 @ 0x...] ..."), shown with -v; the tests
# look at the tool's own output (test_cli_commands.Output checks
# that they are hidden).
_FFMPEG_LOG = re.compile(r"^(\x1b\[[0-9;]*m)?\[[\w -]+ @ 0x[0-9a-f]+\].*(\n|$)", re.M)


def own_text(text):
    return _FFMPEG_LOG.sub("", text.replace("\r\n", "\n"))


# The final line of a written output.
WROTE = re.compile(r"^glyphwipe: (\[\d+/\d+\] )?wrote (?P<out>.+): (?P<n>\d+) pictures? in \d+\.\d s$", re.M)


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


def read_tty_run(args, until=None, on_match=None, timeout=240, env=None, raw=False):
    """Runs the tool with stderr on a pseudo-terminal; returns (code, text),
    the text without FFmpeg's lines unless raw. When `until(text)` turns
    true, `on_match(proc)` is called once."""
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
    return code, text if raw else own_text(text)


def progress_started(text):
    """True once the progress line shows more than 0 percent."""
    return any(int(m) > 0 for m in re.findall(r"(\d+)% \[", text))


def interrupt(p):
    p.send_signal(signal.SIGINT)
