#!/usr/bin/env bash
# Installs the built tree into a scratch prefix and uses ev_common from there
# as another daemon of the platform would: the example daemon is configured
# with find_package(ev_common), built, started, stopped with SIGTERM (exit 0
# expected), and a small program is compiled with the pkg-config file.
#   EV_BUILD_DIR   the configured and built tree (default <root>/build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${EV_BUILD_DIR:-$root/build}
# Outside /tmp, which the daemon run below may replace with a tmpfs.
scratch=$(mktemp -d "$build/installed-check.XXXXXX")
trap '[ -n "${EV_KEEP_SCRATCH:-}" ] || rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

echo "== install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
if [ -n "$outside" ]; then
  echo "installed outside the prefix:"; echo "$outside"; exit 1
fi

echo "== example daemon against the installed library"
cmake -S "$root/examples/minimal_daemon" -B "$scratch/example" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
cmake --build "$scratch/example" -j"$(nproc)"

# The daemon's endpoint lives in /tmp: run it in a private mount namespace
# with a tmpfs there when we may, so it cannot meet another one.
run_dir=$scratch/run
mkdir -p "$run_dir"
cp "$root/examples/minimal_daemon/minimal_daemon.desc.json" "$run_dir/"
# Paths relative to the scratch folder, the script's working directory: a
# checkout under /tmp stays reachable once the tmpfs covers /tmp.
cat > "$scratch/run.sh" <<'SCRIPT'
set -e
./example/minimal_daemon --no-systemd --no-log-ts -w ./run \
    -c ./run/minimal_daemon.desc.json > ./run/out.log 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q "Hello from minimal_daemon" ./run/out.log 2>/dev/null && break
  sleep 0.1
done
kill -TERM $pid
rc=0; wait $pid || rc=$?
cat ./run/out.log
test $rc -eq 0
grep -q "Exiting" ./run/out.log
SCRIPT
if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
  (cd "$scratch" && unshare -m --propagation private bash -c "mount -t tmpfs tmpfs /tmp && bash ./run.sh")
else
  (cd "$scratch" && bash ./run.sh)
fi

echo "== pkg-config"
cat > "$scratch/version.cpp" <<'CPP'
#include <ev_common/version.hpp>
#include <ev_common/ipc/serialization.hpp>
#include <cstdio>
int main() { std::printf("ev_common %s\n", ev_common::versionString); return 0; }
CPP
export PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name ev_common.pc | head -1)")"
# shellcheck disable=SC2046
c++ -std=c++17 "$scratch/version.cpp" -o "$scratch/version" $(pkg-config --cflags --libs ev_common)
"$scratch/version"

echo "== the trust service's client library"
cat > "$scratch/client.cpp" <<'CPP'
#include <cybersecurity/cybersecurity_client.hpp>
#include <cstdio>
int main() {
    ev_charging_platform::cybersecurity::cybersecurity_client client("ipc:///nonexistent", std::chrono::milliseconds(10));
    std::printf("%s\n", ev_charging_platform::cybersecurity::to_string(client.remove_ca_certificate(1)).c_str());
    return 0;
}
CPP
# shellcheck disable=SC2046
flags=$(pkg-config --cflags --libs cybersecurity_client)
# Its headers bring neither the store nor libcrypto into a client.
if c++ -std=c++17 -M "$scratch/client.cpp" $(pkg-config --cflags cybersecurity_client) |
    grep -E 'openssl/|ev_common/cyber/(certificate|x509|.*store)\.hpp'; then
  echo "the client headers pull in the store or libcrypto"; exit 1
fi
# shellcheck disable=SC2086
c++ -std=c++17 "$scratch/client.cpp" -o "$scratch/client" $flags
test "$("$scratch/client")" = ipc_error
echo "installed libraries usable"
