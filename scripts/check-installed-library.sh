#!/usr/bin/env bash
# Installs the built tree into a scratch prefix and uses ev_common from there
# as another daemon of the platform would: the example daemon, and a daemon of
# the service component alone built without OpenSSL, are configured with
# find_package(ev_common ... COMPONENTS ...), built, started and stopped with
# SIGTERM (exit 0, no error line expected); the service headers are checked
# for the JSON library; programs are compiled with the pkg-config files.
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

# Configures, builds and checks a consumer: no -std on its compile lines that
# it did not ask for (the library's targets force no language standard).
#   build_consumer SOURCE BINARY [cmake arguments...]
build_consumer() {
  local source=$1 binary=$2
  shift 2
  cmake -S "$source" -B "$binary" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" "$@" >/dev/null
  cmake --build "$binary" -j"$(nproc)"
}

# Starts a daemon built on the library, stops it with SIGTERM and expects
# exit code 0, "Exiting" and no error line; its output is printed whenever
# the run fails.
#   run_daemon BINARY
run_daemon() {
  local run_dir=$scratch/run
  rm -rf "$run_dir"
  mkdir -p "$run_dir"
  cp "$root/examples/minimal_daemon/minimal_daemon.desc.json" "$run_dir/"
  cp "$1" "$run_dir/daemon"
  # Started from its own folder with -w ., so its relative paths mean the
  # same whether or not it can enter its working directory by absolute path
  # (a checkout under /tmp is hidden by the tmpfs below).
  cat > "$scratch/run.sh" <<'SCRIPT'
cd ./run
./daemon --no-systemd --no-log-ts -w . -c ./minimal_daemon.desc.json > ./out.log 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q "Hello from minimal_daemon" ./out.log 2>/dev/null && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
failed() { echo "daemon run failed: $1"; echo "--- daemon output"; cat ./out.log; exit 1; }
kill -TERM $pid 2>/dev/null || failed "it had ended before SIGTERM"
rc=0; wait $pid || rc=$?
[ $rc -eq 0 ] || failed "exit code $rc"
grep -q "Exiting" ./out.log || failed "no \"Exiting\" line"
! grep -F "[error]" ./out.log || failed "an error line"
! grep -F "[critical]" ./out.log || failed "a critical line"
cat ./out.log
SCRIPT
  # The daemon's endpoint lives in /tmp: run it in a private mount namespace
  # with a tmpfs there when we may, so it cannot meet another one. Paths are
  # relative to the scratch folder, the script's working directory.
  if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
    (cd "$scratch" && unshare -m --propagation private bash -c "mount -t tmpfs tmpfs /tmp && bash ./run.sh")
  else
    (cd "$scratch" && bash ./run.sh)
  fi
}

echo "== example daemon against the installed library"
build_consumer "$root/examples/minimal_daemon" "$scratch/example"
run_daemon "$scratch/example/minimal_daemon"

echo "== a daemon of the service component only, without OpenSSL, asking for 1.0"
mkdir -p "$scratch/service-only"
cat > "$scratch/service-only/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(service_only LANGUAGES CXX)
find_package(ev_common 1.0 REQUIRED COMPONENTS service)
foreach(target ev_common::cyber ev_common::ev_common OpenSSL::Crypto)
  if(TARGET \${target})
    message(FATAL_ERROR "\${target} was imported for the service component")
  endif()
endforeach()
add_executable(service_only $root/examples/minimal_daemon/main.cpp
                            $root/examples/minimal_daemon/greeter_service.cpp)
target_link_libraries(service_only PRIVATE ev_common::service)
CMAKE
build_consumer "$scratch/service-only" "$scratch/service-only/build" \
  -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON --no-warn-unused-cli
if grep -E -- '-std=' "$scratch/service-only/build/compile_commands.json"; then
  echo "the library's targets put a language standard on the consumer"; exit 1
fi
run_daemon "$scratch/service-only/build/service_only"

echo "== service headers without the JSON library"
# shellcheck disable=SC2046
if echo '#include <ev_common/service/service.hpp>' |
    c++ -std=c++17 -x c++ -M - -I"$prefix/include" $(pkg-config --cflags spdlog) |
    grep -E 'nlohmann/json\.hpp'; then
  echo "ev_common/service/service.hpp pulls in nlohmann/json.hpp"; exit 1
fi

echo "== pkg-config"
cat > "$scratch/version.cpp" <<'CPP'
#include <ev_common/version.hpp>
#include <ev_common/ipc/serialization.hpp>
#include <cstdio>
int main() { std::printf("ev_common %s\n", ev_common::versionString); return 0; }
CPP
export PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name ev_common.pc | head -1)")"
for folder in system ipc cyber config database service; do
  pkg-config --exists "ev_common_$folder" || { echo "no ev_common_$folder.pc"; exit 1; }
done
if pkg-config --cflags ev_common ev_common_system ev_common_ipc ev_common_cyber \
    ev_common_config ev_common_database ev_common_service | grep -E -- '-std='; then
  echo "a pkg-config file forces a language standard"; exit 1
fi
# A daemon of the service folder alone links from its own .pc file.
# shellcheck disable=SC2046
c++ -std=c++17 "$root/examples/minimal_daemon/main.cpp" \
  "$root/examples/minimal_daemon/greeter_service.cpp" -o "$scratch/service_pc" \
  $(pkg-config --cflags --libs ev_common_service)
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
