"""python3 -m glyphwipe [options] COMMAND ...: the glyphwipe tool's commands
(detect, clean, clean-video, batch, preview, demo), with its arguments, output
and exit status. The tool is $GLYPHWIPE_CLI, the installed one, the one beside
$GLYPHWIPE_LIB, the repository's build or the first on PATH."""

import os
import sys

from glyphwipe import _locate


def main(argv):
    tool = _locate.tool()
    if not tool:
        print("glyphwipe: cannot find the glyphwipe tool: install it (cmake --install), build it, "
              "or set GLYPHWIPE_CLI to its path", file=sys.stderr)
        return 1
    try:
        os.execv(tool, [tool] + argv)  # the tool's own signals and exit status
    except OSError as e:
        print("glyphwipe: cannot run %s: %s" % (tool, e.strerror), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
