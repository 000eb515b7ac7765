#!/bin/sh
# Runs the real MachineGatewayManager binary against a private system bus
# and drives one scenario with mgmctl and dbus-send.
#
#   mgm_integration.sh DAEMON MGMCTL POLICY CASE
#
# POLICY is the daemon's bus policy (dist/tarn.mgm.conf), included by the
# test bus. Everything runs in mount, network and pid namespaces of its own:
# /var/volatile, /var/provisioning, /usr/local/bin and /run/dbus are fresh
# tmpfs mounts (nothing that may hold this checkout is covered), iptables
# acts on an empty network namespace, and whatever the case leaves running
# ends with the script. The supervisor is `mgmctl watch`, whose StatusReply
# lines the cases check.
#
# Exit status: 0 passed, 1 failed, 77 skipped (no root, no namespaces or a
# tool missing).
set -u
[ $# = 4 ] || { echo "usage: $0 DAEMON MGMCTL POLICY CASE" >&2; exit 2; }
CASE=$4

skip() {
  echo "SKIP: $*"
  exit 77
}

if [ "${MGM_IT_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || skip "needs root to make mount and network namespaces"
  for tool in unshare dbus-daemon dbus-send mount; do
    command -v $tool >/dev/null || skip "$tool is not installed"
  done
  NS="unshare --mount --net --pid --fork --kill-child --propagation private"
  $NS true 2>/dev/null || skip "unshare --mount --net --pid does not work here"
  MGM_IT_INSIDE=1 exec $NS -- sh "$0" "$1" "$2" "$(readlink -f "$3")" "$CASE"
fi

# ---- inside the namespaces, as their pid 1 ----
# A /proc of this pid namespace: sanitizer runtimes read their own tasks there.
mount -t proc proc /proc 2>/dev/null || true
DAEMON=$1
MGMCTL=$2
WORK=/var/volatile/mgm-it

fail() {
  echo "FAIL [$CASE]: $*"
  for log in daemon.log watch.out bus.log; do
    [ -s $WORK/$log ] && echo "---- $log" && tail -n 40 $WORK/$log
  done
  exit 1
}

# Polls the shell command $1 until it succeeds, for up to 20 s.
wait_until() {
  i=0
  until eval "$1"; do
    i=$((i + 1))
    [ $i -le 200 ] || return 1
    sleep 0.1
  done
}

# ---- a private device root ----
# Empty mount points are all this may leave on the host.
mkdir -p /var/volatile /var/provisioning
mount -t tmpfs mgm-volatile /var/volatile && mount -t tmpfs mgm-provisioning /var/provisioning ||
  skip "cannot mount tmpfs"
mkdir -p $WORK /var/volatile/tmp /var/provisioning/cert/private /var/provisioning/cert/public
# Mount points must exist already: creating one would change the host.
if [ -d /usr/local/bin ]; then
  mount -t tmpfs mgm-bin /usr/local/bin
else
  mount -t tmpfs mgm-local /usr/local && mkdir /usr/local/bin
fi || skip "cannot mount tmpfs over /usr/local/bin"
[ -d /run/dbus ] && mount -t tmpfs mgm-dbus /run/dbus
[ -e /dev/log ] && mount --bind /dev/null /dev/log
# Stand-ins: the VPN manager lets the device use the IoT function; the
# modem tool answers.
printf '#!/bin/sh\nexit 0\n' >/usr/local/bin/tarn-vpn-manager
cat >/usr/local/bin/GSMUtil <<'EOF'
#!/bin/sh
[ "$1" = iccid ] && echo "89490200001234567890"
[ "$1" = provider ] && echo "262011234567890 TestProvider"
exit 0
EOF
chmod 755 /usr/local/bin/tarn-vpn-manager /usr/local/bin/GSMUtil

# ---- the private system bus, with the usual system defaults: method calls
# are denied unless a policy file allows them ----
cat >$WORK/bus.conf <<EOF
<busconfig>
  <type>system</type>
  <listen>unix:path=$WORK/bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="*"/>
    <allow send_destination="org.freedesktop.DBus"/>
  </policy>
  <include>$3</include>
</busconfig>
EOF

start_bus() {
  dbus-daemon --config-file=$WORK/bus.conf --nofork --print-address=3 3>$WORK/address 2>$WORK/bus.log &
  BUS_PID=$!
  wait_until '[ -s $WORK/address ]' || fail "the test bus did not start"
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 $WORK/address)
  export DBUS_SYSTEM_BUS_ADDRESS
}

# Starts the daemon; its exit status lands in daemon.rc.
start_daemon() {
  ("$DAEMON" >$WORK/daemon.log 2>&1; echo $? >$WORK/daemon.rc) &
}

expect_daemon_exit() {
  wait_until '[ -s $WORK/daemon.rc ]' || fail "the daemon is still running"
  [ "$(cat $WORK/daemon.rc)" = "$1" ] || fail "the daemon ended with $(cat $WORK/daemon.rc), expected $1"
}

# Waits until the supervisor has received exactly the statuses so far
# followed by "$1": a missing, extra or misplaced one fails.
SEEN=
expect_statuses() {
  SEEN="${SEEN:+$SEEN }$1"
  wait_until '[ "$(echo $(sed -n "s/^StatusReply from tarn\.mgm: \([0-9]*\).*/\1/p" $WORK/watch.out))" = "$SEEN" ]' ||
    fail "the supervisor did not get '$SEEN'"
}

# Runs mgmctl and checks its first output line; the output stays in OUT.
expect_result() {
  want=$1
  shift
  OUT=$("$MGMCTL" "$@" 2>&1)
  [ "$(echo "$OUT" | head -n 1)" = "$want" ] || fail "mgmctl $* printed '$OUT', expected $want"
}

# The daemon up and Ready, watched by the supervisor.
bring_up() {
  start_bus
  "$MGMCTL" watch >$WORK/watch.out 2>&1 &
  wait_until 'grep -q "^mgmctl: watching" $WORK/watch.out' || fail "mgmctl watch did not take tarn.main"
  start_daemon
  expect_statuses "0 1"
}

# ---- cases ----

# start, status, restart, reset, stop and exit through mgmctl, in one run.
case_lifecycle() {
  bring_up
  expect_result 0x00000000 start
  expect_statuses "2 3"
  expect_result 0x26000101 start # not Ready any more
  # The status goes to the requester only (the next check sees no extra).
  expect_result 0x00000000 status
  echo "$OUT" | grep -qx "StatusReply from tarn.mgm: 3 (Running)" || fail "status printed '$OUT'"
  expect_result 0x00000000 restart
  expect_statuses "4 1 2 3"
  expect_result 0x00000000 reset
  expect_statuses "4 0 1"
  expect_result 0x00000000 start
  expect_statuses "2 3"
  expect_result 0x00000000 stop 5
  expect_statuses "5 1"
  expect_result 0x00000000 stop # while Ready: accepted, changes nothing
  expect_result 0x00000000 start
  expect_statuses "2 3"
  expect_result 0x00000000 exit
  expect_statuses "4 7 7" # the request's reply, then the loop's last one
  expect_daemon_exit 0
  grep -qF "Program MachineGatewayManager terminated." $WORK/daemon.log || fail "no termination message"
  OUT=$("$MGMCTL" start 2>&1)
  [ $? = 1 ] && echo "$OUT" | grep -q "not on the bus" || fail "mgmctl start without the daemon: $OUT"
}

# Raw requests: refused ones get a D-Bus error and leave the daemon serving.
case_dbus_send() {
  bring_up
  send() { dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm "$@" 2>&1; }
  OUT=$(send tarn.Lifecycle.Stop string:4) && fail "Stop with a string was accepted: $OUT"
  echo "$OUT" | grep -q org.freedesktop.DBus.Error.InvalidArgs || fail "Stop with a string got: $OUT"
  OUT=$(send tarn.Lifecycle.Pause)
  echo "$OUT" | grep -q org.freedesktop.DBus.Error.UnknownMethod || fail "Pause got: $OUT"
  wait_until 'grep -qF "Failed to hanlde incoming message (error code 0x11000008)." $WORK/daemon.log' ||
    fail "the refused request was not logged"
  OUT=$(send tarn.Lifecycle.Start) && echo "$OUT" | grep -q "uint32 0$" || fail "Start printed: $OUT"
  expect_statuses "2 3"
  OUT=$(send org.freedesktop.DBus.Introspectable.Introspect)
  echo "$OUT" | grep -q 'interface name="tarn.Lifecycle"' || fail "introspection printed: $OUT"
}

# Lifecycle changes are for root; anyone may ask for the status.
case_policy() {
  command -v setpriv >/dev/null || skip "setpriv is not installed"
  bring_up
  nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
  OUT=$($nobody dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm tarn.Lifecycle.Start 2>&1) &&
    fail "an unprivileged Start was let through: $OUT"
  echo "$OUT" | grep -q AccessDenied || fail "unprivileged Start got: $OUT"
  # Nor do signals reach the daemon: each handled message costs it a cycle.
  $nobody dbus-send --system --type=signal --dest=tarn.mgm /tarn/mgm tarn.Lifecycle.Poke
  wait_until 'grep -q "Rejected send message.*type=\"signal\".*uid=65534" $WORK/bus.log' ||
    fail "a signal from nobody was let through"
  OUT=$($nobody "$MGMCTL" status 2>&1)
  echo "$OUT" | grep -qx "StatusReply from tarn.mgm: 1 (Ready)" || fail "unprivileged status printed: $OUT"
}

case_bus_lost() {
  bring_up
  expect_result 0x00000000 start
  expect_statuses "2 3"
  kill -9 $BUS_PID
  expect_daemon_exit 0
}

case_no_bus() {
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=$WORK/no_bus_here
  export DBUS_SYSTEM_BUS_ADDRESS
  start_daemon
  expect_daemon_exit 1
  grep -qF "Could not connect to message bus (error code 0x11000003)." $WORK/daemon.log ||
    fail "no connection failure in the daemon's log"
}

command -v "case_$CASE" >/dev/null || { echo "unknown case $CASE" >&2; exit 2; }
"case_$CASE"
echo "PASS [$CASE]"
