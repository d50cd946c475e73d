"""Tests of what is installed: cmake --install (the tool with its models)."""

import json
import os
import subprocess
import unittest

import _support as S
from _cli_support import FAIL

BUILD = os.environ.get("GLYPHWIPE_BUILD_DIR")


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
        # Without its models it says which file is missing, and where.
        os.remove(os.path.join(models, S.FILL_MODEL))
        r = tool("detect", img)
        self.assertEqual(r.returncode, FAIL)
        self.assertIn("lacks lama_fp32.onnx", r.stderr)


if __name__ == "__main__":
    unittest.main()
