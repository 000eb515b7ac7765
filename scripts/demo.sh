#!/bin/bash
# Demonstrates the MGM daemon end to end on an emulated gateway:
#
#   sudo scripts/demo.sh
#
# installs what is missing (scripts/setup.sh), builds into build/, brings up
# the gateway emulator (its own mount, network and PID namespaces), starts
# the daemon over the bus, lets a machine component announce one service,
# shows the forward, the registry request and traffic through the forward,
# then stops the daemon and shows the withdrawal. Everything it makes goes
# away with the emulator.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export EMU_BUILD=${EMU_BUILD:-$ROOT/build}

heading() { printf '\n==> %s\n' "$*"; }
indent() { sed 's/^/    /'; }

host_part() {
  if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      exec sudo EMU_BUILD="$EMU_BUILD" "$0" "$@"
    fi
    echo "demo.sh: run as root (it installs packages and makes namespaces)" >&2
    exit 1
  fi
  local missing=0 tool
  for tool in cmake c++ pkg-config unshare ip iptables busybox dbus-daemon dbus-send openssl python3 curl; do
    command -v "$tool" >/dev/null 2>&1 || missing=1
  done
  pkg-config --exists tinyxml2 dbus-1 2>/dev/null || missing=1
  if [ $missing = 1 ]; then
    heading "Installing the packages the build and the emulator need"
    sh "$ROOT/scripts/setup.sh"
  fi

  heading "Building into $EMU_BUILD"
  cmake -S "$ROOT" -B "$EMU_BUILD" >/dev/null
  cmake --build "$EMU_BUILD" --target MachineGatewayManager mgmctl mgm-announce -j"$(nproc)" | tail -n 3 | indent

  # shellcheck source=scripts/emulator/lib.sh
  . "$ROOT/scripts/emulator/lib.sh"
  local status=0
  emu_run_inside "$0" || status=$?
  heading "Back on the host"
  if emu_host_is_clean; then
    echo "    no emulator mounts, namespaces or interfaces are left"
  else
    echo "    WARNING: something of the emulator is left on the host" >&2
    status=1
  fi
  [ $status = 0 ] && echo "Demo finished." || echo "Demo FAILED (exit $status)." >&2
  exit $status
}

gateway_part() {
  # shellcheck source=scripts/emulator/lib.sh
  . "$ROOT/scripts/emulator/lib.sh"
  heading "Bringing up the emulated gateway"
  emu_up
  echo "    gateway interfaces:"
  ip -br -4 addr show | grep -E '^(Trusted|Untrusted)' | indent | indent
  echo "    component namespace: $(emu_comp ip -br -4 addr show eth0 | awk '{print $3}'), default via $EMU_TRUSTED_IP"
  echo "    outside client namespace: $(emu_outside ip -br -4 addr show eth0 | awk '{print $3}'), default via $EMU_UNTRUSTED_IP"
  echo "    registry: https://$EMU_REGISTRY_HOST/ (client certificate required, test CA)"

  heading "Starting the daemon and starting it over the bus (mgmctl start)"
  emu_start_daemon
  emu_start_running
  echo "    status replies the supervisor (mgmctl watch) received:"
  grep '^StatusReply' "$EMU_STATE/supervisor.log" | indent | indent

  heading "Component Press4/Drive announces its OPC UA service from $EMU_COMPONENT_IP"
  local file=$EMU_STATE/work/Press4_Drive.xml
  emu_service_file "$file" Press4/Drive opcua "opcua:TCP:1:$EMU_COMPONENT_IP:4840"
  indent <"$file"
  emu_comp "$EMU_ANNOUNCE" "$file" | indent
  emu_wait_for --nudge "the forward of the Drive endpoint" emu_external_port "$EMU_COMPONENT_IP:4840" ||
    emu_die "the daemon did not forward the announced endpoint"
  emu_wait_for --nudge "the registry request" emu_registry_has_count 1 ||
    emu_die "the registry received no request"
  local port
  port=$(emu_external_port "$EMU_COMPONENT_IP:4840")

  heading "The daemon's forwards: iptables -t nat -S IOT"
  emu_iot_rules | indent

  heading "The registry request as the registry received it"
  echo "    $(emu_registry_field 1 method) $(emu_registry_field 1 path)"
  echo "    Content-Type: $(emu_registry_field 1 content_type)"
  echo "    client certificate: $(emu_registry_field 1 client_subject)"
  emu_registry_pretty 1 | indent

  heading "TCP round trip: outside client -> $EMU_UNTRUSTED_IP:$port -> component $EMU_COMPONENT_IP:4840"
  emu_tcp_server 4840
  local answer
  answer=$(emu_tcp_roundtrip "$EMU_UNTRUSTED_IP" "$port" "hello from $EMU_OUTSIDE_IP") ||
    emu_die "no round trip through the forward"
  echo "    client sent:      hello from $EMU_OUTSIDE_IP"
  echo "    component saw:    $(grep '^from' "$EMU_STATE/tcp-server-4840.log" | tail -n1)"
  echo "    client received:  $answer"

  heading "Stopping the daemon over the bus (mgmctl stop)"
  local ready_before
  ready_before=$(emu_status_count 1)
  emu_ctl stop | indent
  emu_wait_for "the daemon reports Ready" emu_status_seen 1 $((ready_before + 1)) ||
    emu_die "the daemon did not finish its stop"
  echo "    status replies since the start:"
  grep '^StatusReply' "$EMU_STATE/supervisor.log" | tail -n 2 | indent | indent
  echo "    iptables -t nat -S IOT now:"
  if [ "$(emu_iot_rule_count)" = 0 ]; then echo "        (no rules)"; else emu_iot_rules | indent | indent; fi

  heading "The withdrawal request as the registry received it"
  echo "    $(emu_registry_field -1 method) $(emu_registry_field -1 path)"
  emu_registry_pretty -1 | indent

  heading "Ending the daemon (mgmctl exit)"
  emu_ctl exit | indent
  emu_wait_daemon_exit || emu_die "the daemon did not end"
  echo "    daemon exit code: $EMU_DAEMON_EXIT"
  [ "$EMU_DAEMON_EXIT" = 0 ] || emu_die "the daemon ended with exit code $EMU_DAEMON_EXIT"
  heading "Taking the emulated gateway down"
}

if [ -n "${EMU_INSIDE:-}" ]; then
  gateway_part
else
  host_part "$@"
fi
