#!/usr/bin/env bash
# The main job on a made-up input: builds the library and the glyphwipe tool
# in build/, makes a short clip with burned-in subtitles, cleans it and
# writes the cleaned clip and a before/after picture into out/demo.
# Runs the set-up script first when this machine lacks what is needed.
#
#   scripts/demo.sh [DIR]     (default DIR: out/demo)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

. scripts/ensure-setup.sh

jobs=${JOBS:-2}
build=${BUILD_DIR:-build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "[demo] building the library and the glyphwipe tool in $build/"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j"$jobs" --target glyphwipe; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "[demo] build failed (full log above)" >&2
  exit 1
fi
"$build/glyphwipe" demo "${1:-out/demo}"
