#!/usr/bin/env bash
# Builds the library with per-stage timers in build-bench/ and runs the whole
# benchmark (bench/bench_glyphwipe.cpp). Arguments go to the program:
#
#   scripts/bench.sh [seconds] [fps] [model dir] [work dir]
#
# Takes several minutes on a 2-core machine; it is never run by the tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGLYPHWIPE_STAGE_TIMERS=ON >/dev/null
cmake --build build-bench -j"$jobs" --target bench_glyphwipe
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(free -g | awk '/^Mem:/ {print $2 " GB"}') memory"
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); load: $(uptime | sed 's/.*load average/load average/')"
exec build-bench/bench/bench_glyphwipe "$@"
