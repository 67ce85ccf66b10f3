#!/usr/bin/env bash
# Cross-builds the daemon and every unit test for 32-bit ARM (armhf) and runs
# the tests under qemu-user, so that a fault that only shows with a 32-bit
# long, std::size_t or time_t fails the run. Tests labelled "native-only" need
# what an emulated run cannot give and are neither built nor run.
#
#   scripts/build-armhf.sh [extra cmake configure arguments...]
#
# Build folder: build-armhf beside this script's repository root (override
# with EV_ARMHF_BUILD_DIR). Exits non-zero on any install, build or test failure.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${EV_ARMHF_BUILD_DIR:-$ROOT/build-armhf}"
JOBS="${EV_ARMHF_JOBS:-2}"

"$ROOT/scripts/install-cross-armhf.sh"
# shellcheck source=compiler-cache.sh
. "$ROOT/scripts/compiler-cache.sh"

if [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] &&
   grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-arm 2>/dev/null; then
  echo "armhf: binfmt_misc runs ARM programs under qemu; tests may start armhf child programs"
else
  echo "armhf: WARNING: no binfmt_misc entry for ARM programs; a test that starts an" \
       "armhf child program fails with 'Exec format error' unless labelled native-only" >&2
fi

cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-armhf.cmake" \
  -DEV_WERROR=ON -DEV_BUILD_BENCH=OFF -DEV_NATIVE_ONLY_TESTS=OFF "${CACHE_ARGS[@]}" "$@"
# Keep going past a failing file so one run reports every target that breaks.
cmake --build "$BUILD" -j"$JOBS" -- -k 0
ctest --test-dir "$BUILD" -LE native-only --output-on-failure -j"${EV_ARMHF_TEST_JOBS:-$JOBS}"
