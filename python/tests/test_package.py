"""Tests of what is installed: cmake --install (the tool with its models and
manual page), and the manual page made at build time."""

import json
import os
import shutil
import subprocess
import unittest

import _support as S
from _cli_support import FAIL

BUILD = os.environ.get("GLYPHWIPE_BUILD_DIR")


def tool_version():
    return subprocess.run([S.CLI, "--version"], capture_output=True, text=True).stdout


def install(testcase):
    """cmake --install of the build into a fresh prefix."""
    if not BUILD:
        testcase.skipTest("GLYPHWIPE_BUILD_DIR not set")
    prefix = os.path.join(S.temp_dir(testcase), "prefix")
    r = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], capture_output=True, text=True)
    testcase.assertEqual(r.returncode, 0, r.stdout + r.stderr)
    return prefix


class Install(unittest.TestCase):
    """The installed tool finds its library and its own installed models."""

    def test_installed_tool(self):
        prefix = install(self)
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
        if shutil.which("help2man"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "man", "man1", "glyphwipe.1")))
        # Without its models it says which file is missing, and where.
        os.remove(os.path.join(models, S.FILL_MODEL))
        r = tool("detect", img)
        self.assertEqual(r.returncode, FAIL)
        self.assertIn("lacks lama_fp32.onnx", r.stderr)


class ManPage(unittest.TestCase):
    """glyphwipe(1), made from the help text at build time."""

    def test_man_page_made_by_the_build(self):
        if not BUILD:
            self.skipTest("GLYPHWIPE_BUILD_DIR not set")
        if not shutil.which("help2man"):
            self.skipTest("help2man is not installed")
        page = S.read_file(os.path.join(BUILD, "glyphwipe.1")).decode()
        self.assertRegex(page, r'(?m)^\.TH GLYPHWIPE "1"')
        self.assertIn(".SH SYNOPSIS", page)
        for command in ("detect", "clean\\-video", "batch", "preview", "demo", "\\-\\-band", "\\-\\-verbose"):
            self.assertIn(command, page)
        self.assertIn(tool_version().split()[1], page)
        # The installed model folder, not the source tree's.
        self.assertNotIn(os.path.realpath(S.MODELS).replace("-", "\\-"), page)
        self.assertRegex(page, r"share/orvantix\\?-glyphwipe/models")


if __name__ == "__main__":
    unittest.main()
