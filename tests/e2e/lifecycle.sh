#!/bin/bash
# The lifecycle over the real system bus and its policy: mgmctl and raw
# dbus-send requests, the exact status replies the supervisor receives, the
# daemon's exit codes on an exit request, a lost bus and no bus.
. "$(dirname "$0")/common.sh"
e2e_up

# statuses S...: the supervisor has received exactly the statuses so far
# followed by S (a missing, extra or misplaced one fails).
SEEN=
statuses() {
  SEEN="${SEEN:+$SEEN }$*"
  emu_expect "the supervisor receives $*" eval '[ "$(echo $(emu_statuses))" = "$SEEN" ]'
}
# result CODE ARGS...: mgmctl ARGS prints CODE first; the output stays in OUT.
result() {
  local want=$1
  shift
  OUT=$(emu_ctl "$@" 2>&1)
  emu_assert "mgmctl $* answers $want" test "$(head -n1 <<<"$OUT")" = "$want"
}
send() { dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm "$@" 2>&1; }

e2e_section "requests through mgmctl"
emu_start_daemon
statuses 0 1
result 0x00000000 start
statuses 2 3
result 0x26000101 start # not Ready any more
# The status goes to the requester only (the next check sees no extra).
result 0x00000000 status
emu_assert "status names Running" grep -qx "StatusReply from tarn.mgm: 3 (Running)" <<<"$OUT"
result 0x00000000 restart
statuses 4 1 2 3
result 0x00000000 reset
statuses 4 0 1
result 0x00000000 start
statuses 2 3
result 0x00000000 stop 5
statuses 5 1
result 0x00000000 stop # while Ready: accepted, changes nothing

e2e_section "raw requests and the bus policy"
OUT=$(send tarn.Lifecycle.Stop string:4)
emu_assert "a Stop with a string gets InvalidArgs" grep -q org.freedesktop.DBus.Error.InvalidArgs <<<"$OUT"
emu_assert "an unknown method gets UnknownMethod" eval 'send tarn.Lifecycle.Pause | grep -q Error.UnknownMethod'
emu_expect "the refused request is logged" \
  emu_daemon_log_has "Failed to hanlde incoming message (error code 0x11000008)."
emu_assert "dbus-send Start prints uint32 0" eval 'send tarn.Lifecycle.Start | grep -q "uint32 0$"'
statuses 2 3
emu_assert "introspection names tarn.Lifecycle" eval \
  'send org.freedesktop.DBus.Introspectable.Introspect | grep -q "interface name=\"tarn.Lifecycle\""'
command -v setpriv >/dev/null || emu_skip "setpriv is not installed"
nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
OUT=$($nobody dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm tarn.Lifecycle.Stop 2>&1)
emu_assert "an unprivileged Stop is denied" grep -q AccessDenied <<<"$OUT"
# Nothing else reaches the daemon either: each handled message costs a cycle.
OUT=$($nobody dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm org.example.Poke 2>&1)
emu_assert "an unprivileged call of a foreign interface is denied" grep -q AccessDenied <<<"$OUT"
$nobody dbus-send --system --type=signal --dest=tarn.mgm /tarn/mgm tarn.Lifecycle.Poke
emu_expect "an unprivileged signal is rejected by the bus" \
  grep -q 'Rejected send message.*type="signal".*uid=65534' "$EMU_STATE/bus.log"
emu_assert "an unprivileged status request is answered" eval \
  '$nobody "$EMU_MGMCTL" status | grep -qx "StatusReply from tarn.mgm: 3 (Running)"'

e2e_section "exit request"
result 0x00000000 exit
statuses 4 7 7 # the request's reply, then the loop's last one
emu_wait_daemon_exit || emu_die "the daemon did not end after the exit request"
emu_assert "the daemon ends with exit code 0" test "$EMU_DAEMON_EXIT" = 0
emu_assert "and logs its end" emu_daemon_log_has "Program MachineGatewayManager terminated."
OUT=$(emu_ctl start 2>&1)
emu_assert "mgmctl without the daemon fails with 1" test $? = 1
emu_assert "saying the daemon is not on the bus" grep -q "not on the bus" <<<"$OUT"

e2e_section "the bus restarted under the daemon"
emu_start_daemon
emu_start_running
e2e_publish_drive
e2e_mark
kill "$(cat "$EMU_STATE/bus.pid")"
emu_start_bus
emu_wait_daemon_exit || emu_die "the daemon did not end when the bus went away"
ended=$(e2e_since)
emu_assert "the daemon ends with exit code 0" test "$EMU_DAEMON_EXIT" = 0
emu_assert "its forward stays in place" emu_external_port "$EMU_COMPONENT_IP:4840"
emu_start_supervisor
emu_start_daemon
emu_start_running
echo "ok - a daemon started on the new bus runs"
e2e_figures bus_restart exit_code="$EMU_DAEMON_EXIT" bus_loss_to_exit_s="$ended"

e2e_section "no bus"
e2e_exit_cleanly
kill "$(cat "$EMU_STATE/bus.pid")"
emu_launch_daemon
emu_wait_daemon_exit || emu_die "the daemon did not end without a bus"
emu_assert "without a bus the daemon ends with exit code 1" test "$EMU_DAEMON_EXIT" = 1
emu_assert "and logs why" emu_daemon_log_has "Could not connect to message bus (error code 0x11000003)."
e2e_pass "lifecycle over the real bus and policy, exit codes"
