#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address + undefined sanitizers) in
# build-fuzz and runs each from its seed corpus for a bounded time. Exits
# non-zero on any crash, hang, leak or sanitizer report. The seeds also run as
# plain tests of the normal suite (fuzz_<target>_corpus).
#   EV_FUZZ_SECONDS   run time per target (default 30)
#   EV_FUZZ_TARGETS   targets to run, separated by blanks (default all)
#   EV_FUZZ_BUILD_DIR build folder (default <root>/build-fuzz)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
ROOT=$root
# shellcheck source=compiler-cache.sh
. "$root/scripts/compiler-cache.sh"
build=${EV_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${EV_FUZZ_SECONDS:-30}
read -r -a targets <<< "${EV_FUZZ_TARGETS:-ipc_request configuration certificate}"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DEV_BUILD_FUZZ=ON -DBUILD_TESTING=OFF -DEV_BUILD_BENCH=OFF "${CACHE_ARGS[@]}" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
cmake --build "$build" --target "${targets[@]/#/fuzz_}" -j2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

for target in "${targets[@]}"; do
  # The seeds stay untouched: new inputs go to a scratch folder.
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  echo "== fuzz_$target for ${seconds}s"
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz_$target-" \
    "$work" "$root/fuzz/corpus/$target"
  rm -rf "$work"
done
echo "fuzzing passed"
