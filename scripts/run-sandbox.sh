#!/usr/bin/env bash
# Builds the daemon and runs it in the foreground on a sandbox under the build
# folder: this machine's CA certificates are its built-ins, and the real
# update tool is pointed at the sandbox, so the machine's own trust store
# (/etc/ssl/certs) is never written. Ctrl-C stops it.
#
#   scripts/run-sandbox.sh [extra daemon options, e.g. -l 1]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${EV_BUILD_DIR:-$ROOT/build}"

bash "$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(cybersecurity_service)
available="$(cmake --build "$BUILD" --target help)"
if grep -q '^cybersecurity_ctl:' <<<"$available"; then
  targets+=(cybersecurity_ctl)
fi
cmake --build "$BUILD" -j"$(nproc)" --target "${targets[@]}"

SANDBOX="$BUILD/sandbox"
mkdir -p "$SANDBOX/work" "$SANDBOX/etc-certs" "$SANDBOX/user" "$SANDBOX/hooks" "$SANDBOX/domains"

CERTSDIR=/usr/share/ca-certificates
CERTSCONF="$SANDBOX/ca-certificates.conf"
if [ -s /etc/ca-certificates.conf ]; then
  cp /etc/ca-certificates.conf "$CERTSCONF"
else
  (cd "$CERTSDIR" && find . -name '*.crt' | sed 's|^\./||' | sort) > "$CERTSCONF"
fi

# Root alone may change the store of a daemon run as root. Run as another
# user, the daemon lets that user's primary group change it too: a group that
# exists on every machine, unlike the device's own groups.
ADMIN_GROUPS="[]"
OWNER="$(id -u)"
if [ "$OWNER" -ne 0 ]; then
  ADMIN_GROUPS="[ \"$(id -gn)\" ]"
fi

cat > "$SANDBOX/cybersecurity_service.desc.json" <<JSON
{
    "cyber": {
        "description": "Certificate trust service (sandbox)",
        "parameters": [
            { "name": "builtin_ca_certs_path", "type": "string", "default": "$SANDBOX/etc-certs" },
            { "name": "user_ca_certs_path", "type": "string", "default": "$SANDBOX/user" },
            { "name": "update_command", "type": "string", "default": "/usr/sbin/update-ca-certificates" },
            { "name": "update_arguments", "type": "string[]", "default": [
                "--certsconf", "$CERTSCONF", "--certsdir", "$CERTSDIR",
                "--localcertsdir", "$SANDBOX/user", "--etccertsdir", "$SANDBOX/etc-certs",
                "--hooksdir", "$SANDBOX/hooks" ] },
            { "name": "admin_groups", "type": "string[]", "default": $ADMIN_GROUPS },
            { "name": "domains", "type": "string[]", "default": [ "csms" ] },
            { "name": "domains_path", "type": "string", "default": "$SANDBOX/domains" },
            { "name": "events_endpoint", "type": "string", "default": "ipc://$SANDBOX/events.api" },
            { "name": "state_database", "type": "string", "default": "$SANDBOX/state/state.db" },
            { "name": "update_config_path", "type": "string", "default": "$CERTSCONF" }
        ]
    }
}
JSON
# The values file matches the description, so an old one from another build
# folder never points the daemon elsewhere.
rm -f "$SANDBOX/work/cybersecurity_service.json"

# The endpoint is this user's: the tool must be told to trust it.
CTL="$BUILD/cybersecurity_service/client/cybersecurity_ctl --endpoint-owner $OWNER"
cat <<TEXT
Sandbox: $SANDBOX
  built-in certificates: $CERTSDIR (listed in $CERTSCONF)
  system CA folder:      $SANDBOX/etc-certs
  user certificates:     $SANDBOX/user
  trust domain csms:     $SANDBOX/domains/csms/ (CApath), $SANDBOX/domains/csms.pem (CAfile)
  state and journal:     $SANDBOX/state/state.db
Endpoint: ipc:///tmp/cybersecurity_service.reqresp.api
Events:   ipc://$SANDBOX/events.api
From another terminal, as $(id -un):
  $CTL list
  $CTL add my_ca /path/to/ca.crt
  $CTL add --domain csms csms_root /path/to/root.crt
  $CTL get --name my_ca
  $CTL remove ID
  $CTL --events ipc://$SANDBOX/events.api watch
  $CTL journal
Ctrl-C stops the daemon.
TEXT

exec "$BUILD/cybersecurity_service/cybersecurity_service" --no-systemd \
  -w "$SANDBOX/work" -c "$SANDBOX/cybersecurity_service.desc.json" "$@"
