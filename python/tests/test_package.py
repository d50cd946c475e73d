"""Tests of what is installed and packaged: cmake --install (the tool with its
models and manual page, the Python package finding the installed library),
pip install ./python offline into a fresh environment, python3 -m glyphwipe,
and the manual page made at build time."""

import glob
import json
import os
import shutil
import subprocess
import sys
import unittest

import _support as S
from _cli_support import FAIL, USAGE

BUILD = os.environ.get("GLYPHWIPE_BUILD_DIR")
PYTHON_DIR = os.path.join(S.SOURCE, "python")


def clean_env(**extra):
    """The environment without the variables that point at the build."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("GLYPHWIPE_") and k != "PYTHONPATH"}
    env.update(extra)
    return env


def py(python, code, env, cwd):
    return subprocess.run([python, "-c", code], capture_output=True, text=True, env=env, cwd=cwd, timeout=240)


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


class InstalledPackage(unittest.TestCase):
    """The installed Python package finds the installed library, models and
    tool, with nothing pointing at the build."""

    def test_installed_package(self):
        prefix = install(self)
        img = S.make_image(os.path.join(prefix, "in.png"), 480, 160, S.TEXT)
        boxes = json.loads(subprocess.run([os.path.join(prefix, "bin", "glyphwipe"), "detect", img],
                                          capture_output=True, text=True).stdout)
        packages = glob.glob(os.path.join(prefix, "lib", "python3*", "*-packages", "glyphwipe", "__init__.py"))
        self.assertEqual(len(packages), 1, packages)
        site = os.path.dirname(os.path.dirname(packages[0]))
        env = clean_env(PYTHONPATH=site)
        r = py(sys.executable, "import json, glyphwipe as gw; gw.init(); print(gw.library_path()); "
               "print(json.dumps(gw.detect(%r))); gw.cleanup()" % img, env, prefix)
        self.assertEqual(r.returncode, 0, r.stderr)
        lib, report = r.stdout.splitlines()
        self.assertTrue(os.path.realpath(lib).startswith(os.path.realpath(prefix) + os.sep), lib)
        self.assertEqual(json.loads(report), boxes)  # the tool's options and models
        self.assertGreater(len(boxes), 0)
        r = subprocess.run([sys.executable, "-m", "glyphwipe", "detect", img], capture_output=True, text=True, env=env)
        self.assertEqual((r.returncode, json.loads(r.stdout)), (0, boxes), r.stderr)


class Package(unittest.TestCase):
    """pip install --no-index --no-build-isolation ./python into a new environment."""

    def test_pip_install_offline(self):
        d = S.temp_dir(self)
        venv = os.path.join(d, "venv")
        r = subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        python = os.path.join(venv, "bin", "python")
        # A copy: setuptools builds in place, the source tree stays clean.
        source = os.path.join(d, "python")
        shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("tests", "build", "*.egg-info",
                                                                          "__pycache__"))
        r = subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--no-cache-dir",
                            source], capture_output=True, text=True, env=clean_env(), timeout=300)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

        env = clean_env(GLYPHWIPE_LIB=os.environ["GLYPHWIPE_LIB"], GLYPHWIPE_MODELS=S.MODELS)
        img = S.make_image(os.path.join(d, "in.png"), 480, 160, S.TEXT)
        r = py(python, "import glyphwipe as gw; print(gw.__file__); print(gw.__version__); "
               "gw.init(); print(len(gw.detect(%r)))" % img, env, d)
        self.assertEqual(r.returncode, 0, r.stderr)
        where, version, found = r.stdout.splitlines()
        self.assertTrue(where.startswith(venv + os.sep), where)
        self.assertEqual("glyphwipe %s\n" % version, tool_version())
        self.assertGreater(int(found), 0)
        # python3 -m glyphwipe runs the tool beside the library it was given.
        r = subprocess.run([python, "-m", "glyphwipe", "--version"], capture_output=True, text=True, env=env, cwd=d)
        self.assertEqual((r.returncode, r.stdout), (0, tool_version()), r.stderr)
        # Without a library: a message that says how to point at one.
        r = py(python, "import glyphwipe as gw; gw.library_path()",
               clean_env(GLYPHWIPE_LIB=os.path.join(d, "nowhere.so")), d)
        self.assertIn("cannot load %s" % os.path.join(d, "nowhere.so"), r.stderr)


class Module(unittest.TestCase):
    """python3 -m glyphwipe: the tool's commands, output and exit status."""

    def test_runs_the_tools_commands(self):
        d = S.temp_dir(self)
        img = S.make_image(os.path.join(d, "in.png"), 480, 160, S.TEXT)
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
        tool = subprocess.run([S.CLI, "detect", img], capture_output=True, text=True)
        for args, code in ((["detect", img], 0), (["clean", img], USAGE), (["detect", os.path.join(d, "no.png")], FAIL)):
            with self.subTest(args=args):
                r = subprocess.run([sys.executable, "-m", "glyphwipe", *args], capture_output=True, text=True, env=env)
                self.assertEqual(r.returncode, code, r.stderr)
                if code == 0:
                    self.assertEqual(r.stdout, tool.stdout)
        r = subprocess.run([sys.executable, "-m", "glyphwipe", "--version"], capture_output=True, text=True,
                           env=dict(env, GLYPHWIPE_CLI=os.path.join(d, "missing")))
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot run %s" % os.path.join(d, "missing"), r.stderr)


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
