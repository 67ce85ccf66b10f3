#!/usr/bin/env bash
# Installs what cross-building the daemon and its tests for 32-bit ARM
# (arm-linux-gnueabihf) needs on Debian 12: the cross compilers, qemu-user to
# run the test binaries, the cross pkg-config and the :armhf development
# packages of every library the native build links.
#
# Idempotent: when everything is present it only checks and returns (no
# architecture change, no apt-get update, no download). It never removes a
# package: should apt want to remove one (a native -dev package, say), the
# install stops instead. Last, it registers ARM programs with binfmt_misc
# (see register_binfmt) when that has not been done since the machine booted.
set -euo pipefail

PACKAGES=(
  crossbuild-essential-armhf
  qemu-user-static
  pkgconf:armhf
  libssl-dev:armhf
  libzmq3-dev:armhf
  cppzmq-dev:armhf
  libspdlog-dev:armhf
  libfmt-dev:armhf
  libsqlite3-dev:armhf
  libsystemd-dev:armhf
  libpcre2-dev:armhf
  libseccomp-dev:armhf
  libgtest-dev:armhf
  libgmock-dev:armhf
  # Architecture "all": one copy serves the native and the cross build.
  nlohmann-json3-dev
)
# Only the benchmarks need it, and they are not cross-built by default.
OPTIONAL_PACKAGES=(
  libbenchmark-dev:armhf
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# A test running under qemu-user that starts another armhf program (the
# daemon, a helper) needs the kernel to hand ARM binaries to qemu: that is the
# binfmt_misc entry qemu-user-static ships, which a machine without a running
# systemd never loads. Only warns when it cannot be done (no root, no
# binfmt_misc in the kernel): the cross build itself does not need it.
BINFMT=/proc/sys/fs/binfmt_misc
register_binfmt() {
  if [ -e "$BINFMT/qemu-arm" ]; then
    grep -qx enabled "$BINFMT/qemu-arm" || echo 1 > "$BINFMT/qemu-arm" 2>/dev/null || true
    return 0
  fi
  local conf=/usr/lib/binfmt.d/qemu-arm.conf
  if [ "$(id -u)" -ne 0 ] || [ ! -r "$conf" ]; then
    echo "Note: ARM programs are not registered with binfmt_misc (needs root and $conf)" >&2
    return 0
  fi
  if [ ! -e "$BINFMT/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null || true
  fi
  if [ -e "$BINFMT/register" ]; then
    grep -v '^#' "$conf" > "$BINFMT/register" 2>/dev/null || true
  fi
  if [ -e "$BINFMT/qemu-arm" ]; then
    echo "Registered ARM programs with binfmt_misc (qemu-arm)"
  else
    echo "Note: could not register ARM programs with binfmt_misc" >&2
  fi
}

missing=()
for p in "${PACKAGES[@]}"; do
  installed "$p" || missing+=("$p")
done
missing_optional=()
for p in "${OPTIONAL_PACKAGES[@]}"; do
  installed "$p" || missing_optional+=("$p")
done

# Once an optional package has been tried and found uninstallable, do not pay
# an apt-get update on every run for it.
stamp=/var/lib/ev-cross-armhf.optional-tried
if [ ${#missing[@]} -eq 0 ] && { [ ${#missing_optional[@]} -eq 0 ] || [ -e "$stamp" ]; }; then
  register_binfmt
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
APT=($SUDO env DEBIAN_FRONTEND=noninteractive apt-get -y -qq --no-install-recommends --no-remove)

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  echo "Adding the armhf architecture"
  $SUDO dpkg --add-architecture armhf
fi
echo "Installing for the armhf cross build: ${missing[*]} ${missing_optional[*]}"
# A mirror caught in the middle of a sync answers with an index of the wrong
# size for a while: the update is tried again, and after the last try the
# install goes on with the indexes that did arrive (it fails by itself if a
# package it needs is not among them).
for attempt in 1 2 3 4 5; do
  if $SUDO apt-get update -qq; then break; fi
  if [ "$attempt" -eq 5 ]; then
    echo "Warning: the package index could not be brought fully up to date" >&2
    break
  fi
  echo "apt-get update failed, trying again in $((attempt * 15)) s" >&2
  sleep $((attempt * 15))
done
if [ ${#missing[@]} -gt 0 ]; then
  # A :armhf -dev package must have the very version of its native twin, so
  # apt may upgrade the native one alongside; --no-remove keeps it from
  # resolving a conflict by dropping anything.
  "${APT[@]}" install "${missing[@]}"
fi
for p in "${missing_optional[@]}"; do
  if ! "${APT[@]}" install "$p"; then
    echo "Note: $p could not be installed; the cross build goes on without it" >&2
  fi
done
for p in "${missing_optional[@]}"; do
  installed "$p" || { $SUDO touch "$stamp" 2>/dev/null || true; }
done

for p in "${PACKAGES[@]}"; do
  if ! installed "$p"; then
    echo "Error: $p is still not installed" >&2
    exit 1
  fi
done
register_binfmt
