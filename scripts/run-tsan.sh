#!/usr/bin/env bash
# ThreadSanitizer run of every test that starts threads: the IPC server, the
# periodic task and watchdog, the process runner and the update tool's time
# limit, the service frame (in process and as child daemons), the request
# handler over a real server, and the real daemon end to end (hostile input
# and access control included). Child daemons of those tests are built with ThreadSanitizer too
# and report through the same options.
#
#   scripts/run-tsan.sh [extra ctest arguments]
#
# Build folder build-tsan (scripts/test.sh --tsan). Exits non-zero on any
# report: halt_on_error makes the reporting process fail.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

TESTS='^(ev_common_ipc_test|ev_common_system_test|ev_common_system_process_test|ev_common_cyber_update_limit_test|ev_common_service_test|ev_common_service_process_test|cybersecurity_tests|e2e_daemon_tests|e2e_hostile_config_and_tool_tests|e2e_hostile_input_tests|e2e_details_and_events_tests|ctl_tests|e2e_access_control_tests|e2e_events_tests)$'

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4:suppressions=$ROOT/scripts/tsan.supp${TSAN_EXTRA_OPTIONS:+:$TSAN_EXTRA_OPTIONS}"

# ThreadSanitizer's shadow memory layout cannot take more than 28 bits of
# mmap randomisation ("FATAL: ThreadSanitizer: unexpected memory mapping");
# without address randomisation it runs on any kernel.
WRAP=()
bits="$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)"
if [ "$bits" -gt 28 ]; then
  if setarch "$(uname -m)" -R true 2>/dev/null; then
    echo "tsan: vm.mmap_rnd_bits=$bits, running without address randomisation (setarch -R)"
    WRAP=(setarch "$(uname -m)" -R)
  else
    echo "tsan: WARNING: vm.mmap_rnd_bits=$bits and setarch -R is not permitted" >&2
  fi
fi

# Only these tests are built: the rest of the tree's tests never run here.
EV_CONFIGURE_ARGS="-DEV_TEST_FILTER=$TESTS" \
  "${WRAP[@]}" bash "$ROOT/scripts/test.sh" --tsan -R "$TESTS" "$@"
