#!/bin/bash
# The system bus restarted under the running daemon: its connection closes
# and it ends with exit code 0; a daemon started on the new bus works.
. "$(dirname "$0")/common.sh"
e2e_up
emu_start_running
e2e_publish_drive
e2e_mark
kill "$(cat "$EMU_STATE/bus.pid")"
emu_start_bus
emu_wait_daemon_exit || emu_die "the daemon did not end when the bus went away"
ended=$(e2e_since)
emu_assert "the daemon ended with exit code 0" test "$EMU_DAEMON_EXIT" = 0
emu_assert "its forward stays in place" emu_external_port "$EMU_COMPONENT_IP:4840"

emu_start_supervisor
emu_start_daemon
emu_start_running
e2e_publish_drive
e2e_figures faults=1 exit_code="$EMU_DAEMON_EXIT" bus_loss_to_exit_s="$ended"
e2e_pass "a restarted bus ends the daemon cleanly; a new one works"
