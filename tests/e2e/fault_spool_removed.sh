#!/bin/bash
# The spool directory removed under the running daemon: the next datagram
# ends the process with status 1 and "Error in UDPServer: Could not open
# File". A daemon started again makes the spool anew and works.
. "$(dirname "$0")/common.sh"
e2e_up
emu_start_running
e2e_publish_drive
rm -rf "$EMU_SPOOL"
e2e_mark
emu_announce "$DRIVE_FILE" || emu_die "mgm-announce failed"
emu_wait_daemon_exit || emu_die "the daemon did not end"
ended=$(e2e_since)
emu_assert "the daemon ended with status 1" test "$EMU_DAEMON_EXIT" = 1
emu_assert "and logged why" emu_daemon_log_has "Error in UDPServer: Could not open File"

ready_before=$(emu_status_count 1)
emu_start_daemon
emu_expect "a new daemon reports Ready" emu_status_seen 1 $((ready_before + 1))
emu_assert "its created phase made the spool again" test -d "$EMU_SPOOL"
emu_start_running
e2e_publish_drive
e2e_figures faults=1 exit_status="$EMU_DAEMON_EXIT" datagram_to_exit_s="$ended"
e2e_pass "a vanished spool ends the daemon with status 1; a new one recovers"
