"""Where the shared library, the glyphwipe tool and the models are.

Each is looked for in this order: its environment variable, the installation
this package belongs to (cmake --install writes _installed.py with the paths
relative to this folder), the repository's build when the package is used
from its source tree (python/ beside build/ and models/), then the system.
"""

import ctypes.util
import os
import shutil
import sys
import sysconfig

LIB_NAME = "liborvantix-glyphwipe.so"
TOOL_NAME = "glyphwipe"

_pkg = os.path.dirname(os.path.abspath(__file__))
_source_tree = os.path.normpath(os.path.join(_pkg, os.pardir, os.pardir))  # python/glyphwipe/../..

try:  # written by cmake --install only
    from glyphwipe import _installed
except ImportError:
    _installed = None


def _installed_path(name):
    rel = getattr(_installed, name, None) if _installed else None
    return os.path.normpath(os.path.join(_pkg, rel)) if rel else None


def _build_path(name):
    """A file of the repository's build, when this package is its python/ folder."""
    if not os.path.isfile(os.path.join(_source_tree, "python", "glyphwipe", "__init__.py")):
        return None
    return os.path.join(_source_tree, "build", name)


def _prefix_libraries():
    """The library under this interpreter's prefixes (a venv's, the system's)."""
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    for prefix in dict.fromkeys((sys.prefix, sys.base_prefix)):
        for libdir in ("lib", os.path.join("lib", multiarch) if multiarch else None, "lib64"):
            if libdir:
                yield os.path.join(prefix, libdir, LIB_NAME)


def library_candidates():
    env = os.environ.get("GLYPHWIPE_LIB")
    if env:
        return [env]
    found = [p for p in (_installed_path("LIBRARY"), _build_path(LIB_NAME)) if p]
    found += list(_prefix_libraries())
    return [p for p in found if os.path.exists(p)] + [ctypes.util.find_library("orvantix-glyphwipe")]


def library():
    """The shared library's path, or None."""
    return next((p for p in library_candidates() if p), None)


def tool():
    """The glyphwipe tool's path, or None: $GLYPHWIPE_CLI, the installed one,
    the one beside $GLYPHWIPE_LIB's library (a build folder, or lib/ beside
    bin/), the repository's build, then PATH."""
    env = os.environ.get("GLYPHWIPE_CLI")
    if env:
        return env
    candidates = [_installed_path("TOOL")]
    lib = os.environ.get("GLYPHWIPE_LIB")
    if lib:
        libdir = os.path.dirname(os.path.abspath(lib))
        candidates += [os.path.join(libdir, TOOL_NAME), os.path.join(libdir, os.pardir, "bin", TOOL_NAME),
                       os.path.join(libdir, os.pardir, os.pardir, "bin", TOOL_NAME)]
    candidates.append(_build_path(TOOL_NAME))
    for c in candidates:
        if c and os.path.isfile(c) and os.access(c, os.X_OK):
            return os.path.normpath(c)
    return shutil.which(TOOL_NAME)


def models():
    """The default model folder: $GLYPHWIPE_MODELS, the installed models, the
    repository's models/ folder."""
    env = os.environ.get("GLYPHWIPE_MODELS")
    if env:
        return env
    installed = _installed_path("MODELS")
    if installed and os.path.isdir(installed):
        return installed
    if _build_path(""):
        return os.path.join(_source_tree, "models")
    return installed or os.path.join(sys.prefix, "share", "orvantix-glyphwipe", "models")
