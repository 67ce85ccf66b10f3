#!/usr/bin/env bash
# Load and footprint run of the real daemon with this machine's whole CA set
# as built-ins (see load_bench.cpp): four clients of 2,500 mixed requests,
# a 10 s idle stretch with the watchdog at 2 s, and the footprint table.
#
#   bench/load/run.sh [--short] [--armhf] [more ev_load_bench options]
#
#   --short   500 requests per client, one add/remove cycle by two of the
#             clients (CI; < 3 min)
#   --armhf   the armhf daemon of build-armhf (EV_ARMHF_BUILD_DIR) under
#             qemu-user; build it first with scripts/build-armhf.sh
#
# Needs root (a private mount namespace keeps the fixed endpoint apart from
# any other daemon). Build folder build-load (EV_LOAD_BUILD_DIR).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${EV_LOAD_BUILD_DIR:-$ROOT/build-load}"
ARGS=()
ARMHF=0
for arg in "$@"; do
  if [ "$arg" = "--armhf" ]; then ARMHF=1; else ARGS+=("$arg"); fi
done

bash "$ROOT/scripts/install-deps.sh"
# shellcheck source=../../scripts/compiler-cache.sh
. "$ROOT/scripts/compiler-cache.sh"
# Only a given EV_WERROR is passed on: a changed flag would rebuild everything.
CONFIGURE=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "${CACHE_ARGS[@]}")
if [ -n "${EV_WERROR:-}" ]; then CONFIGURE+=(-DEV_WERROR="$EV_WERROR"); fi
cmake -S "$ROOT" -B "$BUILD" -G Ninja "${CONFIGURE[@]}" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target ev_load_bench cybersecurity_service

if [ "$ARMHF" = 1 ]; then
  ARMHF_BUILD="${EV_ARMHF_BUILD_DIR:-$ROOT/build-armhf}"
  DAEMON="$ARMHF_BUILD/cybersecurity_service/cybersecurity_service"
  if [ ! -x "$DAEMON" ]; then
    echo "no armhf daemon at $DAEMON: run scripts/build-armhf.sh first" >&2
    exit 2
  fi
  QEMU="$(command -v qemu-arm-static || command -v qemu-arm)"
  ARGS=(--daemon "$DAEMON" --emulator "$QEMU" --strip arm-linux-gnueabihf-strip "${ARGS[@]}")
fi

exec "$BUILD/bench/load/ev_load_bench" "${ARGS[@]}"
