# Shared steps of the end-to-end tests. Each test script sources this file
# first; it re-executes the script inside an emulator of its own.
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator" && pwd)/lib.sh"
emu_enter "$0" "$@"
set -u

DRIVE_ENDPOINT="opcua:TCP:1:$EMU_COMPONENT_IP:4840"
DRIVE_FILE=$EMU_STATE/work/drive.xml
DRIVE_SPOOL_NAME=Drive_opcua.xml
# The gateway's own service, published with every component prefix.
ONLINE_CHECK_TARGET="$EMU_TRUSTED_IP:9080"

# e2e_up: the emulated gateway with the daemon started (status Ready).
e2e_up() {
  emu_up
  emu_service_file "$DRIVE_FILE" Press4/Drive opcua "$DRIVE_ENDPOINT"
  emu_start_daemon
}

# e2e_port_in_range PORT: PORT is a number in the external port range.
e2e_port_in_range() { [[ "$1" =~ ^[0-9]+$ ]] && [ "$1" -ge 49152 ] && [ "$1" -le 59998 ]; }

# e2e_publish_drive: the component announces Press4/Drive; waits for its
# forward and the registry request; sets DRIVE_PORT.
e2e_publish_drive() {
  local before
  before=$(emu_registry_count)
  emu_announce "$DRIVE_FILE" || emu_die "mgm-announce failed"
  emu_expect --nudge "the Drive endpoint gets a forward" emu_external_port "$EMU_COMPONENT_IP:4840"
  DRIVE_PORT=$(emu_external_port "$EMU_COMPONENT_IP:4840")
  # The request goes out in the cycle that added the forward.
  emu_expect "the registry receives a request" emu_registry_has_count $((before + 1))
}

# e2e_rule_for TARGET: the exact words of the rule forwarding to TARGET
# ("-A IOT -i ZONE -p tcp -m tcp --dport N -j DNAT --to-destination TARGET").
e2e_rule_for() { emu_iot_rules | grep -F -- "--to-destination $1"; }

# e2e_has_line TEXT: stdin holds the line TEXT.
e2e_has_line() { grep -qxF -- "$1"; }

# e2e_request_has N PATH TEXT: request N has TEXT among the values of PATH.
e2e_request_has() { emu_registry_xpath "$1" "$2" | e2e_has_line "$3"; }

# e2e_pass TEXT: the scenario passed, unless a sanitizer (in a sanitized
# build) reported anything in the daemon.
e2e_pass() {
  if grep -qE 'Sanitizer|runtime error:' "$EMU_STATE/daemon.log"; then
    emu_die "the daemon's sanitizers reported a problem"
  fi
  echo "PASS: $1"
  exit 0
}
