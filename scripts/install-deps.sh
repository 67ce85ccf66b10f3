#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running the
# daemon needs. Idempotent: when everything is present it only checks and
# returns (no apt-get update, no download).
set -euo pipefail

PACKAGES=(
  build-essential cmake pkgconf ninja-build
  libssl-dev openssl
  libzmq3-dev cppzmq-dev
  libspdlog-dev libfmt-dev
  nlohmann-json3-dev
  libsqlite3-dev sqlite3
  libsystemd-dev
  libpcre2-dev
  ca-certificates
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-zmq
  clang libclang-rt-14-dev clang-format
  util-linux procps
  # compiled objects kept between builds and between runs of CI
  ccache
  # the launcher that applies the shipped unit's system call filter in tests
  libseccomp-dev
  # systemd-analyze (the units) and systemd-socket-activate (the daemon
  # adopting the endpoint's socket) for the tests
  systemd
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
# sudo resets the environment: the front end is passed through env.
# A mirror caught in the middle of a sync answers with an index of the wrong
# size for a while: the update is tried again, and after the last try the
# install goes on with the indexes that did arrive (it fails by itself if a
# package it needs is not among them).
for attempt in 1 2 3 4 5; do
  if $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq; then break; fi
  if [ "$attempt" -eq 5 ]; then
    echo "Warning: the package index could not be brought fully up to date" >&2
    break
  fi
  echo "apt-get update failed, trying again in $((attempt * 15)) s" >&2
  sleep $((attempt * 15))
done
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
