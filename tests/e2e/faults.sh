#!/bin/bash
# Device faults, one daemon start each where the fault is met in the created
# phase or ends the process: a hanging modem with no iptables, a failing VPN
# check (a reset into idle mode), the spool removed under the running daemon.
. "$(dirname "$0")/common.sh"
e2e_up

# ---- a modem that never returns, no iptables
# Each modem probe ends at its 5 s timeout: two ICCID and three IMSI
# attempts, then the mock identity. The iptables stand-in first in the
# daemon's PATH answers as the shell does for a missing command.
CALLS=$EMU_STATE/iptables.calls
printf '#!/bin/sh\necho "$*" >>%s\necho "sh: 1: iptables: not found" >&2\nexit 127\n' "$CALLS" >"$EMU_STATE/bin/iptables"
chmod 755 "$EMU_STATE/bin/iptables" && emu_modem hang && e2e_mark
EMU_TIMEOUT=120 emu_start_daemon && created=$(e2e_since) && echo "ok - Ready within 120 s: the created phase took $created s"
# How often each probe is tried is the probes' unit test.
emu_assert "no hung probe is left, both fallbacks logged" eval '! pgrep -f "sleep 3600" &&
  emu_daemon_log_has "ICCID from GSMUtil use mock = $EMU_MOCK_ICCID" && emu_daemon_log_has "IMSI from GSMUtil use mock = $EMU_MOCK_IMSI"'
emu_start_running && e2e_announce "$DRIVE_FILE"
# That the request carries the mock identity is the probes' and the writer's unit tests.
emu_expect --nudge "the Drive is published with an external port" eval 'emu_registry_xpath -1 \
  ComponentList/Component/ServiceList/Service/ServiceEndpoint | grep -qE "^opcua:TCP:1:$EMU_UNTRUSTED_IP:[0-9]+$"'
emu_assert "the daemon called iptables for the chain and both forwards, no IOT chain exists" \
  eval '[ "$(grep -c . "$CALLS")" -ge 6 ] && ! iptables -t nat -S IOT'
e2e_stop
emu_assert "the withdrawal was posted, no error logged but the modem's" eval 'emu_registry_lists_none &&
  [ "$(grep " ERROR " "$EMU_STATE/daemon.log" | grep -vc "from GSMUtil use mock")" = 0 ]'
e2e_exit_cleanly && rm "$EMU_STATE/bin/iptables" && emu_modem normal
e2e_figures modem_hang_no_iptables iptables_calls="$(grep -c . "$CALLS")" created_phase_s="$created"

# ---- a failing VPN check: a reset into idle mode leaves no forward, and none after a stop
# Idle mode runs no stop phase: a forward the reset left would still be there.
# The created phase wipes the spool; then no receiver and no cycle run.
emu_start_daemon && emu_start_running && e2e_publish_drive && emu_vpn_check 1 && e2e_reset && requests=$(emu_registry_count)
emu_start_running && e2e_announce "$DRIVE_FILE" && emu_cycles 3 && e2e_stop
emu_assert "idle mode was logged; after an idle start and stop no forward, nothing spooled or posted, the chain kept" eval \
  'emu_daemon_log_has "Tarn is not able to use IoT -> switch to idle mode" &&
  [ "$(emu_iot_rule_count) $(emu_registry_count) $(ls -A "$EMU_SPOOL")" = "0 $requests " ] && iptables -t nat -S IOT'

# ---- the spool removed under the running daemon
# That a created phase makes a missing spool again is the spool's unit test.
emu_vpn_check 0 && e2e_reset && emu_start_running && e2e_publish_drive
rm -rf "$EMU_SPOOL" && e2e_mark && e2e_announce "$DRIVE_FILE"
emu_wait_daemon_exit && ended=$(e2e_since) || emu_die "the daemon did not end"
emu_assert "the next datagram ends the daemon with status 1, logging why" eval \
  '[ "$EMU_DAEMON_EXIT" = 1 ] && emu_daemon_log_has "Error in UDPServer: Could not open File"'
e2e_figures spool_removed exit_status=1 datagram_to_exit_s="$ended"
e2e_pass "a hanging modem, no iptables, an idle VPN and a vanished spool"
