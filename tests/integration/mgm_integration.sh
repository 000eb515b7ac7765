#!/bin/sh
# Runs the real MachineGatewayManager binary against a private system bus,
# inside a mount and network namespace of its own, and drives one lifecycle
# scenario with mgmctl and dbus-send.
#
#   mgm_integration.sh DAEMON MGMCTL POLICY CASE
#
# DAEMON   the MachineGatewayManager binary
# MGMCTL   the mgmctl binary
# POLICY   the bus policy file (dist/tarn.mgm.conf), included by the test bus
# CASE     one of the case_* functions below, without the prefix
#
# Inside the namespace /var, /usr/local/bin and /run/dbus are fresh tmpfs
# mounts, so the daemon's spool, certificates, VPN manager and modem tool
# are the test's own and nothing of the host is touched; iptables and
# ip_forward act on the empty network namespace. The supervisor is
# `mgmctl watch`, whose StatusReply lines the cases check.
#
# Exit status: 0 passed, 1 failed, 77 skipped (no root, no namespaces or a
# tool missing).
set -u

SKIP=77
WAIT_SECONDS=20

if [ $# -ne 4 ]; then
  echo "usage: $0 DAEMON MGMCTL POLICY CASE" >&2
  exit 2
fi
DAEMON=$1
MGMCTL=$2
POLICY=$3
CASE=$4

skip() {
  echo "SKIP: $*"
  exit $SKIP
}

# ---- outside: check what the test needs, then enter the namespace ----
if [ "${MGM_IT_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || skip "needs root to make mount and network namespaces"
  for tool in unshare dbus-daemon dbus-send mount; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
  done
  for file in "$DAEMON" "$MGMCTL" "$POLICY"; do
    [ -e "$file" ] || { echo "FAIL: $file does not exist"; exit 1; }
  done
  unshare --mount --net --propagation private true 2>/dev/null ||
    skip "unshare --mount --net does not work here"
  MGM_IT_INSIDE=1 exec unshare --mount --net --propagation private -- sh "$0" "$@"
fi

# ---- inside the namespace ----
WORK=$(mktemp -d /tmp/mgm-it-XXXXXX) || exit 1
DAEMON_PID=
DAEMON_RC_FILE=$WORK/daemon.rc
WATCH_PID=
BUS_PID=

cleanup() {
  for pid in $DAEMON_PID $WATCH_PID $BUS_PID; do
    kill -9 "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  if [ "${RESULT:-1}" != 0 ]; then
    for log in daemon.log watch.out watch.err bus.log; do
      [ -s "$WORK/$log" ] || continue
      echo "---- $log"
      tail -n 40 "$WORK/$log"
    done
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL [$CASE]: $*"
  RESULT=1
  exit 1
}

# Polls `$@` (a shell command) until it succeeds, up to WAIT_SECONDS.
wait_until() {
  i=0
  while [ $i -lt $((WAIT_SECONDS * 10)) ]; do
    if eval "$@"; then return 0; fi
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# ---- a private device root ----
mount -t tmpfs mgm-var /var || skip "cannot mount tmpfs"
mkdir -p /var/volatile/tmp /var/provisioning/cert/private /var/provisioning/cert/public
# Mount points must exist already: creating one would change the host.
if [ -d /usr/local/bin ]; then
  mount -t tmpfs mgm-bin /usr/local/bin
else
  mount -t tmpfs mgm-local /usr/local && mkdir /usr/local/bin
fi || skip "cannot mount tmpfs over /usr/local/bin"
[ -d /run/dbus ] && mount -t tmpfs mgm-dbus /run/dbus
[ -e /dev/log ] && mount --bind /dev/null /dev/log

cat >/usr/local/bin/tarn-vpn-manager <<EOF
#!/bin/sh
# Test stand-in: the device may use the IoT function.
[ "\$1" = -check ] && exit ${MGM_IT_VPN_CHECK:-0}
exit 0
EOF
cat >/usr/local/bin/GSMUtil <<'EOF'
#!/bin/sh
# Test stand-in for the modem tool.
case "$1" in
  iccid) echo "89490200001234567890" ;;
  provider) echo "262011234567890 TestProvider" ;;
esac
EOF
chmod 755 /usr/local/bin/tarn-vpn-manager /usr/local/bin/GSMUtil

# ---- the private system bus ----
BUS_DIR=$WORK/bus
mkdir -m 755 "$BUS_DIR"
chmod 755 "$WORK"
cat >"$BUS_DIR/system.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$BUS_DIR/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <!-- The usual system bus defaults: method calls are denied unless a
       policy file allows them. -->
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
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Peer"/>
  </policy>
  <include>$(readlink -f "$POLICY")</include>
</busconfig>
EOF

start_bus() {
  dbus-daemon --config-file="$BUS_DIR/system.conf" --nofork --print-address=3 \
    3>"$BUS_DIR/address" 2>"$WORK/bus.log" &
  BUS_PID=$!
  wait_until '[ -s "$BUS_DIR/address" ]' || fail "the test bus did not start"
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$BUS_DIR/address")
  export DBUS_SYSTEM_BUS_ADDRESS
}

has_owner() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q "boolean true"
}

start_watch() {
  (
    "$MGMCTL" watch >"$WORK/watch.out" 2>"$WORK/watch.err" &
    echo $! >"$WORK/watch.pid"
    wait $!
    echo $? >"$WORK/watch.rc"
  ) &
  wait_until '[ -s "$WORK/watch.pid" ]' || fail "mgmctl watch did not start"
  WATCH_PID=$(cat "$WORK/watch.pid")
  wait_until has_owner tarn.main || fail "mgmctl watch did not take tarn.main"
}

# Starts the daemon; its exit status lands in DAEMON_RC_FILE.
start_daemon() {
  (
    "$DAEMON" >"$WORK/daemon.log" 2>&1 &
    echo $! >"$WORK/daemon.pid"
    wait $!
    echo $? >"$DAEMON_RC_FILE"
  ) &
  wait_until '[ -s "$WORK/daemon.pid" ]' || fail "the daemon did not start"
  DAEMON_PID=$(cat "$WORK/daemon.pid")
}

# Waits for the daemon to end and checks its exit status.
expect_daemon_exit() {
  wait_until '[ -s "$DAEMON_RC_FILE" ]' || fail "the daemon is still running"
  rc=$(cat "$DAEMON_RC_FILE")
  DAEMON_PID=
  [ "$rc" = "$1" ] || fail "the daemon ended with $rc, expected $1"
}

daemon_alive() { [ ! -s "$DAEMON_RC_FILE" ] && kill -0 "$DAEMON_PID" 2>/dev/null; }

# The statuses the supervisor received so far, as "0 1 2 3".
statuses() {
  sed -n 's/^StatusReply from tarn\.mgm: \([0-9]*\).*/\1/p' "$WORK/watch.out" | tr '\n' ' ' | sed 's/ $//'
}

# Waits until the statuses received after mark() start with "$1".
MARK=0
mark() { MARK=$(statuses | wc -w); }
new_statuses() { statuses | tr ' ' '\n' | tail -n +$((MARK + 1)) | tr '\n' ' ' | sed 's/ $//'; }
expect_statuses() {
  EXPECTED=$1
  wait_until 'case "$(new_statuses) " in "$EXPECTED "*) true ;; *) false ;; esac' ||
    fail "supervisor got '$(new_statuses)' after the mark, expected '$EXPECTED' first"
  mark
}

# Runs mgmctl and checks its first output line.
expect_result() {
  expected=$1
  shift
  out=$("$MGMCTL" "$@" 2>"$WORK/mgmctl.err")
  first=$(printf '%s\n' "$out" | head -n 1)
  [ "$first" = "$expected" ] || fail "mgmctl $* printed '$out' $(cat "$WORK/mgmctl.err"), expected $expected"
  LAST_OUTPUT=$out
}

# The daemon up and Ready, watched by the supervisor.
bring_up() {
  start_bus
  start_watch
  start_daemon
  expect_statuses "0 1"
}

bring_up_running() {
  bring_up
  expect_result 0x00000000 start
  expect_statuses "2 3"
}

# ---- cases ----

case_start() {
  bring_up
  expect_result 0x00000000 start
  expect_statuses "2 3"
  # A second start is refused by the daemon (not Ready any more).
  expect_result 0x26000101 start
  # The supervisor stand-in ends cleanly on SIGTERM.
  kill -TERM "$WATCH_PID"
  wait_until '[ -s "$WORK/watch.rc" ]' || fail "mgmctl watch did not end on SIGTERM"
  WATCH_PID=
  [ "$(cat "$WORK/watch.rc")" = 0 ] || fail "mgmctl watch ended with $(cat "$WORK/watch.rc") on SIGTERM"
}

case_restart() {
  bring_up_running
  expect_result 0x00000000 restart
  expect_statuses "4 1 2 3"
}

case_stop() {
  bring_up_running
  expect_result 0x00000000 stop 5
  expect_statuses "5 1"
  # Stopping while Ready is accepted and changes nothing.
  expect_result 0x00000000 stop
  daemon_alive || fail "the daemon ended"
}

case_reset() {
  bring_up_running
  expect_result 0x00000000 reset
  expect_statuses "4 0 1"
  expect_result 0x00000000 start
  expect_statuses "2 3"
}

case_status() {
  bring_up
  expect_result 0x00000000 status
  printf '%s\n' "$LAST_OUTPUT" | grep -qx "StatusReply from tarn.mgm: 1 (Ready)" ||
    fail "status printed '$LAST_OUTPUT'"
  expect_result 0x00000000 start
  expect_statuses "2 3"
  expect_result 0x00000000 status
  printf '%s\n' "$LAST_OUTPUT" | grep -qx "StatusReply from tarn.mgm: 3 (Running)" ||
    fail "status printed '$LAST_OUTPUT'"
  # The answer went to the requester, not to the supervisor.
  [ "$(new_statuses)" = "" ] || fail "the supervisor got '$(new_statuses)'"
}

case_wrong_arguments() {
  bring_up
  if dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm tarn.Lifecycle.Stop string:4 \
    >"$WORK/send.out" 2>&1; then
    fail "Stop with a string was accepted: $(cat "$WORK/send.out")"
  fi
  grep -q "org.freedesktop.DBus.Error.InvalidArgs" "$WORK/send.out" ||
    fail "expected InvalidArgs, got: $(cat "$WORK/send.out")"
  dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm tarn.Lifecycle.Pause >"$WORK/send.out" 2>&1
  grep -q "org.freedesktop.DBus.Error.UnknownMethod" "$WORK/send.out" ||
    fail "expected UnknownMethod, got: $(cat "$WORK/send.out")"
  wait_until 'grep -qF "Failed to hanlde incoming message (error code 0x11000008)." "$WORK/daemon.log"' ||
    fail "the refused request was not logged"
  daemon_alive || fail "the daemon ended"
  expect_result 0x00000000 start
  expect_statuses "2 3"
}

case_dbus_send() {
  bring_up
  out=$(dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm tarn.Lifecycle.Start 2>&1) ||
    fail "dbus-send failed: $out"
  printf '%s\n' "$out" | grep -q "uint32 0$" || fail "dbus-send printed: $out"
  expect_statuses "2 3"
  out=$(dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm \
    org.freedesktop.DBus.Introspectable.Introspect 2>&1) || fail "introspection failed: $out"
  printf '%s\n' "$out" | grep -q 'interface name="tarn.Lifecycle"' || fail "introspection printed: $out"
}

case_exit() {
  bring_up_running
  expect_result 0x00000000 exit
  expect_statuses "4 7"
  expect_daemon_exit 0
  grep -qF "Program MachineGatewayManager terminated." "$WORK/daemon.log" ||
    fail "no termination message in the daemon's log"
}

case_bus_lost() {
  bring_up_running
  kill -9 "$BUS_PID"
  BUS_PID=
  expect_daemon_exit 0
}

case_no_bus() {
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=$WORK/no_bus_here
  export DBUS_SYSTEM_BUS_ADDRESS
  start_daemon
  expect_daemon_exit 1
  grep -qF "Could not connect to message bus (error code 0x11000003)." "$WORK/daemon.log" ||
    fail "no connection failure in the daemon's log"
  out=$("$MGMCTL" start 2>&1) && fail "mgmctl start succeeded without a bus: $out"
  true
}

case_no_daemon() {
  start_bus
  out=$("$MGMCTL" start 2>&1)
  rc=$?
  [ $rc = 1 ] || fail "mgmctl start without the daemon ended with $rc: $out"
  printf '%s\n' "$out" | grep -q "not on the bus" || fail "mgmctl start printed: $out"
}

# Lifecycle changes are for root; anyone may ask for the status.
case_policy() {
  command -v setpriv >/dev/null 2>&1 || skip "setpriv is not installed"
  bring_up
  as_nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
  out=$($as_nobody dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm tarn.Lifecycle.Start 2>&1) &&
    fail "an unprivileged Start was let through: $out"
  printf '%s\n' "$out" | grep -q "AccessDenied" || fail "unprivileged Start got: $out"
  out=$($as_nobody "$MGMCTL" status 2>&1) || fail "unprivileged status failed: $out"
  printf '%s\n' "$out" | grep -qx "StatusReply from tarn.mgm: 1 (Ready)" || fail "unprivileged status: $out"
  [ "$(new_statuses)" = "" ] || fail "the supervisor got '$(new_statuses)'"
}

if ! command -v "case_$CASE" >/dev/null 2>&1; then
  echo "unknown case $CASE" >&2
  exit 2
fi
"case_$CASE"
RESULT=0
echo "PASS [$CASE]"
exit 0
