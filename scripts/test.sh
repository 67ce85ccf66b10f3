#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#
#   scripts/test.sh               native build in build/, all tests
#   scripts/test.sh --sanitize    AddressSanitizer + UBSan build in build-asan/
#   scripts/test.sh --tsan        ThreadSanitizer build in build-tsan/ (threaded tests)
#
# EV_WERROR=ON makes warnings errors (CI sets it). EV_CONFIGURE_ARGS adds cmake
# arguments (for example -DEV_TEST_FILTER=ipc to build only those tests).
# Extra arguments after the mode go to ctest (for example -R ipc).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
MODE=native
if [ "${1:-}" = "--sanitize" ] || [ "${1:-}" = "--tsan" ]; then
  MODE="${1#--}"
  shift
fi

bash "$ROOT/scripts/install-deps.sh"
# shellcheck source=compiler-cache.sh
. "$ROOT/scripts/compiler-cache.sh"

ARGS=(-DEV_WERROR="${EV_WERROR:-OFF}" "${CACHE_ARGS[@]}")
read -r -a EXTRA <<< "${EV_CONFIGURE_ARGS:-}"
ARGS+=("${EXTRA[@]}")
# Sanitizer builds at -O1 with line tables only: what the sanitizers advise,
# and GCC's variable tracking over the instrumented code at -O2 -g takes
# several times as long to compile.
SANITIZER_FLAGS=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
                 -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")
case "$MODE" in
  native) BUILD="${EV_BUILD_DIR:-$ROOT/build}" ;;
  sanitize)
    BUILD="$ROOT/build-asan"
    ARGS+=(-DEV_SANITIZE=ON -DEV_BUILD_BENCH=OFF "${SANITIZER_FLAGS[@]}")
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
    ;;
  tsan)
    BUILD="$ROOT/build-tsan"
    ARGS+=(-DEV_TSAN=ON -DEV_BUILD_BENCH=OFF "${SANITIZER_FLAGS[@]}")
    export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
    ;;
esac

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${ARGS[@]}"
cmake --build "$BUILD" -j"$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j"${EV_TEST_JOBS:-2}" "$@"
