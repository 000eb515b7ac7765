# Gateway emulator: runs the unchanged MachineGatewayManager binary on an
# emulated IoT gateway inside mount, network and PID namespaces of its own.
#
# Source this file from a bash script, then:
#
#   emu_enter "$0" "$@"   # re-executes the script inside fresh namespaces
#   emu_up                # builds the gateway (network, tools, PKI, registry, bus)
#   emu_start_daemon      # starts the daemon; it reports Created, then Ready
#   emu_ctl start         # lifecycle requests through mgmctl
#   ...
#
# emu_up installs an EXIT trap that calls emu_down. Everything the emulator
# makes lives in the namespaces (tmpfs mounts, bind mounts, interfaces, NAT
# rules, processes) and disappears with them; on the host it leaves at most
# the empty directories /var/volatile and /var/provisioning as mount points.
#
# Knobs (environment):
#   EMU_BUILD          build directory holding src/MachineGatewayManager,
#                      tools/mgmctl and tools/mgm-announce (default: build)
#   EMU_REGISTRY_HOST  registry host name the daemon was built with (default:
#                      MGM_REGISTRY_HOST from the build's CMake cache)
#   EMU_TIMEOUT        seconds every wait polls before it gives up (default 30)
#   EMU_KEEP           host directory to copy the emulator's state dir into
#                      when it is taken down (logs, requests, rules)
#   EMU_VERBOSE        1: print the emulator's own steps
#   EMU_PYTHON         python3 to use (default /usr/bin/python3)
#
# Scratch files of a script belong in $EMU_STATE/work (a private tmpfs).
# This file is the bring-up and the helpers many scripts share; a helper of
# one scenario lives with it (tests/e2e, or scripts/emulator/hostile.sh).

# The emulated gateway's fixed layout.
EMU_STATE=/run/mgm-emu
EMU_SPOOL=/var/volatile/tmp/iot
EMU_TRUSTED_IP=192.168.2.1
EMU_UNTRUSTED_IP=198.51.100.1
EMU_COMPONENT_IP=192.168.2.20
EMU_OUTSIDE_IP=198.51.100.2
EMU_CA_PATH=/var/provisioning/cert/public/IoT-ID-Bundle-RootCA.crt
EMU_CLIENT_CERT_PATH=/var/provisioning/cert/private/ID_Bundle_Certificate.pem
EMU_CLIENT_SUBJECT="C=DE,O=Tarn Emulated Devices,OU=IoT Gateway,CN=emulated-gateway-0001"
EMU_BUS_SOCKET=/run/dbus/system_bus_socket
# What the emulated modem reports unless a test changes it.
EMU_MODEM_ICCID=89490200001234567890
EMU_MODEM_IMSI=262019876543210
# The daemon's fallbacks when the modem gives nothing.
EMU_MOCK_ICCID=89314404000497388513
EMU_MOCK_IMSI=123456789101112

EMU_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
EMU_SOURCE_DIR=$(cd "$EMU_LIB_DIR/../.." && pwd)
EMU_BUILD=${EMU_BUILD:-$EMU_SOURCE_DIR/build}
EMU_TIMEOUT=${EMU_TIMEOUT:-30}
EMU_DAEMON=$EMU_BUILD/src/MachineGatewayManager
EMU_MGMCTL=$EMU_BUILD/tools/mgmctl
EMU_ANNOUNCE=$EMU_BUILD/tools/mgm-announce
# The system's python3 (standard library only); a version manager's shim in
# PATH would cost a second per call.
EMU_PYTHON=${EMU_PYTHON:-$(command -v /usr/bin/python3 || command -v python3)}

if [ -z "${EMU_REGISTRY_HOST:-}" ]; then
  EMU_REGISTRY_HOST=$(sed -n 's/^MGM_REGISTRY_HOST:[A-Z]*=//p' "$EMU_BUILD/CMakeCache.txt" 2>/dev/null)
  EMU_REGISTRY_HOST=${EMU_REGISTRY_HOST:-registry.iot.tarn.invalid}
fi

# ---------------------------------------------------------------- messages

emu_say() { [ "${EMU_VERBOSE:-0}" = 1 ] && echo "[emu] $*" >&2; return 0; }
emu_log() { echo "$(date +%T) $*" >>"$EMU_STATE/emu.log" 2>/dev/null; emu_say "$@"; }
emu_skip() { echo "SKIP: $*" >&2; exit 77; }
emu_die() {
  echo "FAIL: $*" >&2
  emu_dump_logs >&2
  exit 1
}

# ---------------------------------------------------------------- entering

# The functions work with and without "set -e".

# Checks what the emulator needs on the host; exits 77 (skip) when root,
# namespaces or a tool is missing, 1 when the build products are missing.
emu_require_host() {
  [ "$(id -u)" = 0 ] || emu_skip "the gateway emulator needs root (namespaces, mounts, iptables)"
  local tool
  for tool in unshare nsenter ip iptables busybox dbus-daemon dbus-send openssl python3 curl timeout; do
    command -v "$tool" >/dev/null 2>&1 || emu_skip "'$tool' is not installed (run scripts/setup.sh)"
  done
  busybox ifconfig lo >/dev/null 2>&1 || emu_skip "busybox has no ifconfig applet"
  unshare --mount --net --pid --fork --propagation private true 2>/dev/null ||
    emu_skip "cannot create mount, network and PID namespaces here (unshare failed)"
  unshare --net iptables -t nat -L -n >/dev/null 2>&1 ||
    emu_skip "iptables cannot use the nat table in a new network namespace"
  local binary
  for binary in "$EMU_DAEMON" "$EMU_MGMCTL" "$EMU_ANNOUNCE"; do
    [ -x "$binary" ] || { echo "FAIL: $binary is not built (EMU_BUILD=$EMU_BUILD)" >&2; exit 1; }
  done
}

# emu_enter SCRIPT [ARGS...]: unless already inside, re-executes SCRIPT with
# bash in new mount, network and PID namespaces (SCRIPT becomes PID 1 there;
# when it ends, every process it started ends with it).
emu_enter() {
  [ -n "${EMU_INSIDE:-}" ] && return 0
  emu_require_host
  exec unshare --mount --net --pid --fork --kill-child --propagation private --mount-proc \
    env EMU_INSIDE=1 EMU_BUILD="$EMU_BUILD" EMU_REGISTRY_HOST="$EMU_REGISTRY_HOST" EMU_PYTHON="$EMU_PYTHON" bash "$@"
}

# emu_run_inside SCRIPT [ARGS...]: like emu_enter, but runs SCRIPT as a child
# and returns its exit status, so the caller can go on on the host.
emu_run_inside() {
  emu_require_host
  unshare --mount --net --pid --fork --kill-child --propagation private --mount-proc \
    env EMU_INSIDE=1 EMU_BUILD="$EMU_BUILD" EMU_REGISTRY_HOST="$EMU_REGISTRY_HOST" EMU_PYTHON="$EMU_PYTHON" bash "$@"
}

# emu_host_is_clean: no emulator mount, network namespace or zone interface
# is left on the host.
emu_host_is_clean() {
  ! grep -q 'mgm-emu-' /proc/self/mountinfo && ! ip link show Trusted >/dev/null 2>&1 &&
    ! ip link show Untrusted >/dev/null 2>&1
}

# ---------------------------------------------------------------- waiting

# emu_wait_for [--nudge] DESCRIPTION CMD [ARGS...]: polls CMD until it
# succeeds, for at most EMU_TIMEOUT seconds. With --nudge every failed poll
# is followed by a status request, which makes a running daemon run one more
# cycle within a second instead of after its 10 s wait. Returns 1 (with a
# message) on timeout.
emu_wait_for() {
  local nudge=0
  if [ "$1" = --nudge ]; then nudge=1; shift; fi
  local what=$1; shift
  local deadline=$((SECONDS + EMU_TIMEOUT))
  while :; do
    "$@" >/dev/null 2>&1 && return 0
    if [ $SECONDS -ge $deadline ]; then
      echo "timed out after ${EMU_TIMEOUT}s waiting for: $what" >&2
      return 1
    fi
    if [ $nudge = 1 ]; then emu_nudge; fi
    sleep 0.2
  done
}

# emu_expect [--nudge] DESCRIPTION CMD...: emu_wait_for, failing the run on
# timeout; prints "ok - DESCRIPTION" on success.
emu_expect() {
  local args=("$@")
  [ "$1" = --nudge ] && shift
  emu_wait_for "${args[@]}" || emu_die "$1"
  echo "ok - $1"
}

# emu_assert DESCRIPTION CMD...: checks CMD once, failing the run when it fails.
emu_assert() {
  local what=$1; shift
  "$@" >/dev/null 2>&1 || emu_die "$what"
  echo "ok - $what"
}

# ---------------------------------------------------------------- building the gateway

emu_up() {
  [ -n "${EMU_INSIDE:-}" ] || { echo "emu_up: call emu_enter first" >&2; return 1; }
  trap emu_down EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  emu_mount_filesystems
  emu_install_tools
  emu_make_network
  emu_make_pki
  emu_start_registry
  emu_start_bus
  emu_start_supervisor
  emu_log "gateway up (registry host $EMU_REGISTRY_HOST)"
}

# Private tmpfs mounts over every place the daemon or the emulator writes.
emu_mount_filesystems() {
  mount -t tmpfs -o mode=0755 mgm-emu-run /run
  mkdir -p "$EMU_STATE" /run/netns /run/dbus "$EMU_STATE/bin" "$EMU_STATE/modem" "$EMU_STATE/vpn" \
    "$EMU_STATE/registry" "$EMU_STATE/pki"
  : >"$EMU_STATE/emu.log"
  mkdir -p /var/volatile /var/provisioning
  mount -t tmpfs -o mode=0755 mgm-emu-volatile /var/volatile
  mount -t tmpfs -o mode=0755 mgm-emu-provisioning /var/provisioning
  mkdir -p "$EMU_SPOOL" /var/provisioning/cert/private /var/provisioning/cert/public
  mkdir -p /usr/local/bin
  mount -t tmpfs -o mode=0755 mgm-emu-localbin /usr/local/bin
  mkdir -p "$EMU_STATE/work"
  printf '127.0.0.1\tlocalhost\n127.0.0.1\t%s\n::1\tlocalhost ip6-localhost ip6-loopback\n' \
    "$EMU_REGISTRY_HOST" >"$EMU_STATE/hosts"
  mount --bind "$EMU_STATE/hosts" /etc/hosts
  emu_log "filesystems mounted"
}

# The device tools the daemon runs: busybox ifconfig, a busybox-style
# timeout, the modem utility and the VPN manager.
emu_install_tools() {
  local ifconfig
  ifconfig=$(readlink -f /sbin/ifconfig 2>/dev/null || true)
  if [ -n "$ifconfig" ] && [ -e "$ifconfig" ]; then
    mount --bind "$(command -v busybox)" "$ifconfig"
  else
    # No ifconfig to cover: lay an overlay holding one over the directory.
    mkdir -p "$EMU_STATE/sbin-extra"
    ln -s "$(command -v busybox)" "$EMU_STATE/sbin-extra/ifconfig"
    mount -t overlay mgm-emu-sbin -o "lowerdir=$EMU_STATE/sbin-extra:$(readlink -f /sbin)" "$(readlink -f /sbin)"
  fi

  install -m 755 "$EMU_LIB_DIR/busybox-timeout" "$EMU_STATE/bin/timeout"

  install -m 755 "$EMU_LIB_DIR/GSMUtil" /usr/local/bin/GSMUtil
  install -m 755 "$EMU_LIB_DIR/tarn-vpn-manager" /usr/local/bin/tarn-vpn-manager
  emu_modem normal
  printf '%s\n' "8949 0200 0012 3456 7890" >"$EMU_STATE/modem/iccid"
  printf '%s %s\n' "$EMU_MODEM_IMSI" "Emulated Mobile" >"$EMU_STATE/modem/provider"
  emu_vpn_check 0
  emu_log "device tools installed"
}

# Gateway (this namespace) with "Trusted" and "Untrusted"; the component
# namespace "comp" behind Trusted, the outside client namespace "outside"
# behind Untrusted.
emu_make_network() {
  ip link set lo up
  ip netns add comp
  ip netns add outside
  ip link add Trusted type veth peer name eth0 netns comp
  ip link add Untrusted type veth peer name eth0 netns outside
  ip addr add "$EMU_TRUSTED_IP/24" dev Trusted
  ip addr add "$EMU_UNTRUSTED_IP/24" dev Untrusted
  ip link set Trusted up
  ip link set Untrusted up
  ip -n comp link set lo up
  ip -n comp addr add "$EMU_COMPONENT_IP/24" dev eth0
  ip -n comp link set eth0 up
  ip -n comp route add default via "$EMU_TRUSTED_IP"
  ip -n outside link set lo up
  ip -n outside addr add "$EMU_OUTSIDE_IP/24" dev eth0
  ip -n outside link set eth0 up
  ip -n outside route add default via "$EMU_UNTRUSTED_IP"
  emu_wait_for "the component reaches the gateway" emu_comp busybox ping -c1 -W1 "$EMU_TRUSTED_IP" ||
    emu_die "the component namespace cannot reach the gateway"
  emu_wait_for "the outside client reaches the gateway" emu_outside busybox ping -c1 -W1 "$EMU_UNTRUSTED_IP" ||
    emu_die "the outside namespace cannot reach the gateway"
  emu_log "network up: Trusted $EMU_TRUSTED_IP, Untrusted $EMU_UNTRUSTED_IP"
}

# Test PKI: a CA (at the CA path), the gateway's client certificate bundled
# with its key (at the client certificate path) and the registry's server
# certificate for the registry host name.
emu_make_pki() {
  local pki=$EMU_STATE/pki
  local curve=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  openssl req -x509 "${curve[@]}" -days 2 -subj "/O=Tarn Emulated Devices/CN=Emulated IoT Root CA" \
    -keyout "$pki/ca.key" -out "$pki/ca.crt" >>"$EMU_STATE/emu.log" 2>&1
  printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=clientAuth\n' >"$pki/client.ext"
  openssl req -new "${curve[@]}" -subj "/C=DE/O=Tarn Emulated Devices/OU=IoT Gateway/CN=emulated-gateway-0001" \
    -keyout "$pki/client.key" -out "$pki/client.csr" >>"$EMU_STATE/emu.log" 2>&1
  openssl x509 -req -in "$pki/client.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial \
    -days 2 -extfile "$pki/client.ext" -out "$pki/client.crt" >>"$EMU_STATE/emu.log" 2>&1
  printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:%s\n' \
    "$EMU_REGISTRY_HOST" >"$pki/server.ext"
  openssl req -new "${curve[@]}" -subj "/O=Tarn Emulated Registry/CN=$EMU_REGISTRY_HOST" \
    -keyout "$pki/server.key" -out "$pki/server.csr" >>"$EMU_STATE/emu.log" 2>&1
  openssl x509 -req -in "$pki/server.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial \
    -days 2 -extfile "$pki/server.ext" -out "$pki/server.crt" >>"$EMU_STATE/emu.log" 2>&1
  [ -s "$pki/client.crt" ] && [ -s "$pki/server.crt" ] || emu_die "making the test PKI failed"
  cp "$pki/ca.crt" "$EMU_CA_PATH"
  cat "$pki/client.crt" "$pki/client.key" >"$EMU_CLIENT_CERT_PATH"
  chmod 600 "$EMU_CLIENT_CERT_PATH"
  emu_log "test PKI made"
}

# The test registry, on the gateway's loopback at port 443.
emu_start_registry() {
  local dir=$EMU_STATE/registry
  : >"$dir/requests.jsonl"
  emu_registry_answer 200
  "$EMU_PYTHON" "$EMU_LIB_DIR/registry.py" --state "$dir" --cert "$EMU_STATE/pki/server.crt" \
    --key "$EMU_STATE/pki/server.key" --ca "$EMU_STATE/pki/ca.crt" --address 127.0.0.1 --port 443 \
    >>"$dir/registry.log" 2>&1 &
  echo $! >"$dir/pid"
  emu_wait_for "the registry listens" test -s "$dir/ready" || emu_die "the test registry did not start"
  emu_log "registry listening at https://$EMU_REGISTRY_HOST/"
}

# A private system bus whose policy includes the daemon's own policy file.
emu_start_bus() {
  local policy=$EMU_SOURCE_DIR/dist/tarn.mgm.conf include=
  if [ -s "$policy" ]; then
    include="  <include>$policy</include>"
  else
    echo "warning: $policy is empty; the bus runs without the daemon's policy" >&2
  fi
  cat >"$EMU_STATE/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$EMU_BUS_SOCKET</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <!-- The supervisor's own policy, as the device's supervisor package installs it. -->
  <policy user="root">
    <allow own="tarn.main"/>
    <allow send_destination="tarn.main"/>
  </policy>
$include
</busconfig>
EOF
  dbus-daemon --config-file="$EMU_STATE/bus.conf" --nofork --nopidfile >>"$EMU_STATE/bus.log" 2>&1 &
  echo $! >"$EMU_STATE/bus.pid"
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$EMU_BUS_SOCKET
  emu_wait_for "the system bus answers" emu_bus_ping || emu_die "the private system bus did not start"
  emu_log "system bus at $DBUS_SYSTEM_BUS_ADDRESS"
}

emu_bus_ping() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.ListNames
}

# emu_bus_has_owner NAME: true when NAME is owned on the bus.
emu_bus_has_owner() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    "string:$1" 2>/dev/null | grep -q 'boolean true'
}

# The supervisor: "mgmctl watch" owns tarn.main and logs the status replies.
emu_start_supervisor() {
  "$EMU_MGMCTL" watch >"$EMU_STATE/supervisor.log" 2>&1 &
  echo $! >"$EMU_STATE/supervisor.pid"
  emu_wait_for "the supervisor owns tarn.main" emu_bus_has_owner tarn.main ||
    emu_die "mgmctl watch did not take the name tarn.main"
}

# ---------------------------------------------------------------- the daemon

# emu_launch_daemon [CMD...]: starts the daemon (or CMD, e.g. the daemon
# under qemu-arm) in / with the device tools first in PATH and returns at once.
emu_launch_daemon() {
  [ $# -gt 0 ] || set -- "$EMU_DAEMON"
  (cd / && exec env PATH="$EMU_STATE/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" \
    "$@" >>"$EMU_STATE/daemon.log" 2>&1) &
  echo $! >"$EMU_STATE/daemon.pid"
  emu_log "daemon started (pid $!)"
}

# emu_start_daemon [CMD...]: emu_launch_daemon, then waits until the daemon
# owns its bus name and has reported Ready (its created phase is done).
emu_start_daemon() {
  local ready
  ready=$(emu_status_count 1)
  emu_launch_daemon "$@"
  emu_wait_for "the daemon owns tarn.mgm" emu_bus_has_owner tarn.mgm || emu_die "the daemon did not connect"
  emu_wait_for "the daemon reports Ready" emu_status_seen 1 $((ready + 1)) || emu_die "the daemon did not report Ready"
}

emu_daemon_pid() { cat "$EMU_STATE/daemon.pid" 2>/dev/null; }
emu_daemon_alive() { local pid; pid=$(emu_daemon_pid) && [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; }

# emu_daemon_ended: the daemon process is gone or a zombie.
emu_daemon_ended() {
  local pid state
  pid=$(emu_daemon_pid) || return 0
  state=$(sed -n 's/^[0-9]* ([^)]*) \([A-Z]\).*/\1/p' "/proc/$pid/stat" 2>/dev/null)
  [ -z "$state" ] || [ "$state" = Z ]
}

# emu_wait_daemon_exit: waits (bounded) for the daemon to end and sets
# EMU_DAEMON_EXIT to its exit code. Call it in the shell that started the
# daemon, not in a command substitution.
emu_wait_daemon_exit() {
  local pid
  pid=$(emu_daemon_pid)
  emu_wait_for "the daemon ends" emu_daemon_ended || return 1
  EMU_DAEMON_EXIT=0
  wait "$pid" 2>/dev/null || EMU_DAEMON_EXIT=$?
  rm -f "$EMU_STATE/daemon.pid"
}

# emu_ctl ARGS...: mgmctl on the emulator's bus.
emu_ctl() { "$EMU_MGMCTL" "$@"; }

# One status request: the daemon owes a cycle once it has handled it.
emu_nudge() { "$EMU_MGMCTL" status >/dev/null 2>&1 || true; }

# emu_cycles N: N status requests, 1.1 s apart. A running daemon owes a
# cycle after each and runs it at most a second after the last one ended, so
# when this returns at least N-1 cycles ran after the call began.
emu_cycles() {
  local i
  for ((i = 0; i < $1; i++)); do
    "$EMU_MGMCTL" status >/dev/null 2>&1 || emu_die "the daemon did not answer a status request"
    [ $((i + 1)) = "$1" ] || sleep 1.1
  done
}

# Status replies, as the supervisor logged them: one number per line.
emu_statuses() {
  sed -n 's/^StatusReply from .*: \([0-9][0-9]*\)\( .*\)\{0,1\}$/\1/p' "$EMU_STATE/supervisor.log" 2>/dev/null
}

# emu_status_count N: how many times the supervisor has seen status N.
emu_status_count() { emu_statuses | grep -cx "$1" || true; }

# emu_status_seen N [COUNT]: the supervisor has seen status N at least COUNT
# times (default 1).
emu_status_seen() { [ "$(emu_status_count "$1")" -ge "${2:-1}" ]; }

# emu_daemon_log_has TEXT [COUNT]: the daemon logged TEXT at least COUNT times.
emu_daemon_log_has() {
  local count
  count=$(grep -cF -- "$1" "$EMU_STATE/daemon.log" 2>/dev/null || true)
  [ "${count:-0}" -ge "${2:-1}" ]
}

# emu_start_running: start request, then wait for Running.
emu_start_running() {
  local before
  before=$(emu_status_count 3)
  emu_ctl start >/dev/null || emu_die "mgmctl start failed"
  emu_wait_for "the daemon reports Running" emu_status_seen 3 $((before + 1)) ||
    emu_die "the daemon did not report Running"
}

# ---------------------------------------------------------------- modem and VPN knobs

# emu_modem normal|silent|hang: what GSMUtil does. normal prints the contents
# of $EMU_STATE/modem/iccid and .../provider.
emu_modem() { echo "$1" >"$EMU_STATE/modem/mode"; }
# emu_vpn_check STATUS: exit status of "tarn-vpn-manager -check".
emu_vpn_check() { echo "$1" >"$EMU_STATE/vpn/check"; }

# ---------------------------------------------------------------- components

# emu_comp CMD...: runs CMD in the component namespace (192.168.2.20).
emu_comp() { ip netns exec comp "$@"; }
# emu_outside CMD...: runs CMD in the outside client namespace (198.51.100.2).
emu_outside() { ip netns exec outside "$@"; }

# emu_service_file OUT COMPONENT_ID SERVICE_ID ENDPOINT_TEXT...: writes a
# component service file with one component, one service and its endpoints.
emu_service_file() {
  local out=$1 component=$2 service=$3; shift 3
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<RegMachCompSvcReq>'
    echo '  <ComponentList>'
    echo "    <Component ComponentID=\"$component\">"
    echo '      <ServiceList>'
    echo "        <Service ServiceID=\"$service\">"
    local endpoint
    for endpoint in "$@"; do
      echo "          <ServiceEndpoint>$endpoint</ServiceEndpoint>"
    done
    echo '        </Service>'
    echo '      </ServiceList>'
    echo '    </Component>'
    echo '  </ComponentList>'
    echo '</RegMachCompSvcReq>'
  } >"$out"
}

# emu_announce FILE: the component sends FILE to the gateway's receiver.
emu_announce() { emu_comp "$EMU_ANNOUNCE" "$1" "$EMU_TRUSTED_IP" 5600 >>"$EMU_STATE/emu.log" 2>&1; }

# emu_spool_has NAME: the spool holds NAME.
emu_spool_has() { [ -e "$EMU_SPOOL/$1" ]; }

# emu_age_file NAME SECONDS: sets the spool file's modification time SECONDS back.
emu_age_file() { touch -d "@$(($(date +%s) - $2))" "$EMU_SPOOL/$1"; }

# emu_tcp_server PORT: a TCP server in the component namespace on
# 192.168.2.20:PORT that answers each line with "component got: LINE".
emu_tcp_server() {
  local port=$1
  emu_comp "$EMU_PYTHON" - "$EMU_COMPONENT_IP" "$port" >>"$EMU_STATE/tcp-server-$port.log" 2>&1 <<'EOF' &
import socket, sys, threading
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind((sys.argv[1], int(sys.argv[2])))
server.listen(8)
print("listening", flush=True)
def serve(conn, peer):
    with conn:
        line = conn.makefile("rb").readline().decode(errors="replace").strip()
        print("from %s:%d: %s" % (peer[0], peer[1], line), flush=True)
        conn.sendall(("component got: %s\n" % line).encode())
while True:
    conn, peer = server.accept()
    threading.Thread(target=serve, args=(conn, peer), daemon=True).start()
EOF
  emu_wait_for "the component's TCP server listens" grep -q listening "$EMU_STATE/tcp-server-$port.log" ||
    emu_die "the component's TCP server did not start"
}

# emu_tcp_roundtrip HOST PORT TEXT: from the outside namespace, sends TEXT
# and prints the answer (at most 5 s).
emu_tcp_roundtrip() {
  emu_outside "$EMU_PYTHON" - "$1" "$2" "$3" <<'EOF'
import socket, sys
with socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5) as conn:
    conn.sendall((sys.argv[3] + "\n").encode())
    print(conn.makefile("rb").readline().decode(errors="replace").strip())
EOF
}

# ---------------------------------------------------------------- NAT rules

# The rules of the daemon's chain, as iptables -S prints them.
emu_iot_rules() { iptables -t nat -S IOT 2>/dev/null | grep -v '^-N '; }
emu_iot_rule_count() { emu_iot_rules | grep -c . || true; }

# emu_external_port DEST_IP:DEST_PORT: the external port of the rule that
# forwards to DEST_IP:DEST_PORT.
# Fails when there is no such rule.
emu_external_port() {
  local port
  port=$(emu_iot_rules | grep -F -- "--to-destination $1" | sed -n 's/.*--dport \([0-9]*\).*/\1/p' | head -n1)
  [ -n "$port" ] && echo "$port"
}

# ---------------------------------------------------------------- registry

# emu_registry_answer STATUS|hang: how the registry answers from now on.
emu_registry_answer() { echo "$1" >"$EMU_STATE/registry/status"; }
emu_registry_count() { grep -c . "$EMU_STATE/registry/requests.jsonl" 2>/dev/null || true; }
# emu_registry_has_count N: at least N requests were recorded.
emu_registry_has_count() { [ "$(emu_registry_count)" -ge "$1" ]; }

# emu_registry_field N FIELD: FIELD of the Nth recorded request (1-based;
# -1 is the last one).
emu_registry_field() {
  "$EMU_PYTHON" - "$EMU_STATE/registry/requests.jsonl" "$1" "$2" <<'EOF'
import json, sys
lines = [l for l in open(sys.argv[1]) if l.strip()]
n = int(sys.argv[2])
entry = json.loads(lines[n - 1 if n > 0 else n])
sys.stdout.write(str(entry[sys.argv[3]]))
EOF
}

# emu_registry_xpath N PATH[@ATTRIBUTE]: the texts (or the attribute values)
# of the elements PATH (an ElementTree path below the root) in the body of
# the Nth request, one per line.
emu_registry_xpath() {
  emu_registry_field "$1" body | "$EMU_PYTHON" -c '
import sys, xml.etree.ElementTree as ET
root = ET.fromstring(sys.stdin.read())
path, at, attribute = sys.argv[1].rpartition("@")
if not at or "]" in attribute:
    path, attribute = sys.argv[1], ""
for element in root.findall(path):
    print(element.get(attribute, "") if attribute else (element.text or ""))
' "$2"
}

# emu_registry_has N PATH TEXT: request N has TEXT among the values of PATH.
emu_registry_has() { emu_registry_xpath "$1" "$2" | grep -qxF -- "$3"; }
# emu_registry_lists COMPONENT_ID [N]: request N (default the last) lists
# the component; emu_registry_lists_none: the last one lists none.
emu_registry_lists() { emu_registry_has "${2:--1}" ComponentList/Component@ComponentID "$1"; }
emu_registry_lists_none() { [ -z "$(emu_registry_xpath -1 ComponentList/Component@ComponentID)" ]; }

# emu_registry_pretty N: the body of the Nth request, indented.
emu_registry_pretty() {
  emu_registry_field "$1" body | "$EMU_PYTHON" -c '
import sys, xml.dom.minidom
text = xml.dom.minidom.parseString(sys.stdin.read()).toprettyxml(indent="  ")
print("\n".join(line for line in text.splitlines() if line.strip()))
'
}

# ---------------------------------------------------------------- diagnostics and teardown

emu_dump_logs() {
  [ -d "$EMU_STATE" ] || return 0
  local file
  echo "----- emulator state ($EMU_STATE)"
  for file in daemon.log supervisor.log registry/registry.log registry/requests.jsonl bus.log emu.log; do
    [ -s "$EMU_STATE/$file" ] || continue
    echo "----- $file (last 60 lines)"
    tail -n 60 "$EMU_STATE/$file"
  done
  echo "----- nat table"
  iptables -t nat -S 2>&1
  echo "----- spool $EMU_SPOOL"
  ls -la --time-style=+%T "$EMU_SPOOL" 2>&1
}

emu_stop_pid_file() {
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 0
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
  rm -f "$1"
}

emu_down() {
  local status=$?
  set +e
  trap - EXIT
  emu_stop_pid_file "$EMU_STATE/daemon.pid"
  emu_stop_pid_file "$EMU_STATE/supervisor.pid"
  emu_stop_pid_file "$EMU_STATE/bus.pid"
  emu_stop_pid_file "$EMU_STATE/registry/pid"
  if [ -n "${EMU_KEEP:-}" ] && [ -d "$EMU_STATE" ]; then
    mkdir -p "$EMU_KEEP" && cp -r "$EMU_STATE/." "$EMU_KEEP/" 2>/dev/null
    iptables -t nat -S >"$EMU_KEEP/nat.rules" 2>&1
    echo "emulator state kept in $EMU_KEEP" >&2
  fi
  # The remaining processes, mounts, interfaces and rules end with the
  # namespaces when this process (PID 1 of its namespace) exits.
  exit $status
}
