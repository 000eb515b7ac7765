#!/bin/bash
# The VPN manager's check fails: the daemon goes idle. It answers its
# lifecycle but receives nothing, forwards nothing and posts nothing.
. "$(dirname "$0")/common.sh"
emu_up
emu_service_file "$DRIVE_FILE" Press4/Drive opcua "$DRIVE_ENDPOINT"
emu_vpn_check 1
emu_start_daemon
emu_assert "the daemon logs its idle mode" emu_daemon_log_has "Tarn is not able to use IoT -> switch to idle mode"
emu_assert "the VPN manager was asked" grep -qx -- -check "$EMU_STATE/vpn/calls"
emu_start_running
emu_announce "$DRIVE_FILE" || emu_die "mgm-announce failed"
emu_cycles 3
emu_assert "nothing was spooled" test -z "$(ls -A "$EMU_SPOOL")"
emu_assert "no forward" test "$(emu_iot_rule_count)" = 0
emu_assert "the NAT chain was set up anyway" iptables -t nat -S IOT
emu_assert "no registry request" test "$(emu_registry_count)" = 0
ready_before=$(emu_status_count 1)
emu_assert "the stop request is accepted" emu_ctl stop
emu_expect "the daemon reports Ready after the stop" emu_status_seen 1 $((ready_before + 1))
emu_assert "still no registry request" test "$(emu_registry_count)" = 0
e2e_pass "VPN check failure leaves the daemon idle"
