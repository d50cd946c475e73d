#!/usr/bin/env bash
# Builds the library and runs the whole test suite. Runs the set-up script
# first when this machine lacks what the tests need.
#
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer build in build-tsan/ (threaded tests only)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mode=${1:-normal}
. scripts/ensure-setup.sh

jobs=${JOBS:-2}
case "$mode" in
  normal)   dir=build;      flags=() ;;
  --sanitize) dir=build-asan; flags=(-DGLYPHWIPE_SANITIZE="address;undefined") ;;
  --tsan)   dir=build-tsan; flags=(-DGLYPHWIPE_SANITIZE=thread) ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$jobs"
filter=()
# Under ThreadSanitizer the threaded tests run one at a time: they time
# signals and cancellation, and each is many times slower than normal.
[ "$mode" = --tsan ] && filter=(-L threads) && jobs=1
ctest --test-dir "$dir" -j"$jobs" --output-on-failure "${filter[@]}"
