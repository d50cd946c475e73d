#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan on)
# and runs each for a set time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   default: 60 s, all targets
# Crashes land in build-fuzz/crashes/<target>/; each one found is fixed and
# kept as a case of the hostile-input tests (tests/api/test_hostile_*.cpp).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
secs=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_options fuzz_detect fuzz_video)

dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGLYPHWIPE_BUILD_TESTS=OFF \
  -DGLYPHWIPE_FUZZ=ON -DGLYPHWIPE_SANITIZE="address;undefined" >/dev/null
cmake --build "$dir" -j2 --target "${targets[@]}"
[ -d "$dir/corpus-seed/video" ] || bash fuzz/make_corpus.sh "$dir/corpus-seed"

export LSAN_OPTIONS=suppressions=$root/tests/support/lsan.supp
export ASAN_OPTIONS=allocator_may_return_null=1
status=0
for t in "${targets[@]}"; do
  seed=$dir/corpus-seed/${t#fuzz_}
  work=$dir/corpus/$t
  crashes=$dir/crashes/$t
  mkdir -p "$work" "$crashes"
  per_input=10; [ "$t" = fuzz_video ] && per_input=30
  echo "== $t for ${secs}s"
  if ! "$dir/fuzz/$t" -max_total_time="$secs" -timeout="$per_input" -rss_limit_mb=4096 -max_len=65536 \
       -artifact_prefix="$crashes/" -print_final_stats=1 "$work" "$seed" 2>"$dir/$t.log"; then
    status=1
    echo "   $t found a problem; see $dir/$t.log and $crashes/"
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE' "$dir/$t.log" | sed 's/^/   /' || true
done
exit $status
