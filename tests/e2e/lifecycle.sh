#!/bin/bash
# The lifecycle over the real system bus and its policy: mgmctl and raw
# dbus-send requests, the exact status replies the supervisor receives, the
# daemon's exit code on an exit request and a lost bus. Refused arguments
# and methods are the bus unit test's, no bus at all the process entry's.
. "$(dirname "$0")/common.sh"
command -v setpriv >/dev/null || emu_skip "setpriv is not installed"
e2e_up

# statuses S...: the supervisor has received exactly the statuses so far
# followed by S (a missing, extra or misplaced one fails).
SEEN=
statuses() { SEEN="${SEEN:+$SEEN }$*" && emu_expect "the supervisor receives $*" eval '[ "$(echo $(emu_statuses))" = "$SEEN" ]'; }
send() { dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm "$@" 2>&1; }

# ---- requests through mgmctl
emu_start_daemon && statuses 0 1
# Exit codes: 3 and the code on a refusal, 2 on wrong usage, 1 when forwards
# finds no request (none is written before a start).
emu_assert "mgmctl exits 3 on a refusal, 2 on wrong usage, 1 when forwards finds no request" eval \
  'OUT=$(emu_ctl stop 3); rc=$?; emu_ctl stop x; rc="$rc $?"; emu_ctl forwards; [ "$rc $? $OUT" = "3 2 1 0x26000002" ]'
# The result code mgmctl prints first, then the statuses that follow.
# Refusals and the status request in each state are the lifecycle unit
# test's; a reset over the bus is met by publish.sh.
ctl() { emu_assert "mgmctl $* answers 0x00000000" test "$(emu_ctl "$@" 2>&1 | head -n1)" = 0x00000000; }
ctl start && statuses 2 3 && ctl stop && statuses 4 1 && ctl start && statuses 2 3 && ctl restart && statuses 4 1 2 3
ctl stop 5 && statuses 5 1

# ---- raw requests and the bus policy
emu_assert "dbus-send Start prints uint32 0" eval 'send tarn.Lifecycle.Start | grep -q "uint32 0$"' && statuses 2 3
emu_assert "introspection names tarn.Lifecycle" eval 'send org.freedesktop.DBus.Introspectable.Introspect | grep -q "name=\"tarn.Lifecycle\""'
# Nothing but a status request reaches the daemon from an unprivileged user.
for call in tarn.Lifecycle.Stop org.example.Poke; do emu_assert "an unprivileged $call is denied" eval \
  'e2e_nobody dbus-send --system --print-reply --dest=tarn.mgm /tarn/mgm $call 2>&1 | grep -q AccessDenied'; done
e2e_nobody dbus-send --system --type=signal --dest=tarn.mgm /tarn/mgm tarn.Lifecycle.Poke
emu_expect "an unprivileged signal is rejected by the bus" grep -q 'Rejected send message.*type="signal".*uid=65534' "$EMU_STATE/bus.log"
emu_assert "an unprivileged status request is answered: Running" eval 'e2e_nobody "$EMU_MGMCTL" status | grep -qx "StatusReply from tarn.mgm: 3 (Running)"'

# ---- exit request
# The request's reply, then the loop's last one; exit code and log as every
# scenario's last exit and the process entry's unit test check them.
emu_ctl exit >/dev/null && statuses 4 7 7 && emu_wait_daemon_exit || emu_die "the daemon did not end after the exit request"
emu_assert "mgmctl without the daemon fails with 1: not on the bus" eval 'OUT=$(emu_ctl start 2>&1); [ $? = 1 ] && grep -q "not on the bus" <<<"$OUT"'

# ---- the bus restarted under the daemon
emu_start_daemon && emu_start_running && e2e_publish_drive
e2e_mark && kill "$(cat "$EMU_STATE/bus.pid")" && emu_start_bus
emu_wait_daemon_exit && ended=$(e2e_since) || emu_die "the daemon did not end when the bus went away"
emu_assert "the daemon ends with exit code 0, its forward stays" eval \
  '[ "$EMU_DAEMON_EXIT" = 0 ] && emu_external_port "$EMU_COMPONENT_IP:4840"'
emu_start_supervisor && emu_start_daemon && emu_start_running && echo "ok - a daemon started on the new bus runs"
e2e_figures bus_restart exit_code="$EMU_DAEMON_EXIT" bus_loss_to_exit_s="$ended"

e2e_pass "lifecycle over the real bus and policy, exit codes"
