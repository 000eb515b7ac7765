#!/bin/bash
# A reset runs the created phase again (chain set up afresh, spool emptied);
# after a start the receiver takes datagrams again, and what was only in the
# emptied spool is withdrawn.
. "$(dirname "$0")/common.sh"
e2e_up
emu_start_running
e2e_publish_drive

created_before=$(emu_status_count 0)
ready_before=$(emu_status_count 1)
emu_assert "the reset request is accepted" emu_ctl reset
emu_expect "the daemon reports Created" emu_status_seen 0 $((created_before + 1))
emu_expect "and then Ready" emu_status_seen 1 $((ready_before + 1))
emu_assert "the created phase emptied the spool" eval '! emu_spool_has "$DRIVE_SPOOL_NAME"'
emu_assert "and hooked the chain into PREROUTING once" test "$(iptables -t nat -S PREROUTING | grep -c -- '-j IOT')" = 1
# The chain is set up afresh; the forwards of what is still published are
# put back, so rules and registry entries stay in step.
emu_assert "the published Drive forward is back with its port" \
  test "$(emu_external_port "$EMU_COMPONENT_IP:4840")" = "$DRIVE_PORT"
emu_assert "each published forward once" test "$(emu_iot_rule_count)" = 2

emu_start_running
CONVEYOR_FILE=$EMU_STATE/work/conveyor.xml
emu_service_file "$CONVEYOR_FILE" Press4/Conveyor modbus "modbus:TCP:1:$EMU_COMPONENT_IP:502"
requests=$(emu_registry_count)
emu_announce "$CONVEYOR_FILE" || emu_die "mgm-announce failed"
emu_expect "the receiver spools the datagram after the reset" emu_spool_has Conveyor_modbus.xml
emu_expect --nudge "the Conveyor endpoint gets a forward" emu_external_port "$EMU_COMPONENT_IP:502"
emu_expect --nudge "a request lists Press4/Conveyor" \
  eval 'emu_registry_has_count $((requests + 1)) && emu_registry_xpath -1 "ComponentList/Component@ComponentID" | grep -qx Press4/Conveyor'
emu_assert "the Drive, no longer announced, was withdrawn" \
  eval '! emu_registry_xpath -1 "ComponentList/Component@ComponentID" | grep -qx Press4/Drive'
emu_assert "and lost its forward" eval '! emu_external_port "$EMU_COMPONENT_IP:4840"'
emu_assert "the daemon never failed to bind the receiver" eval '! emu_daemon_log_has "Could not bind socket"'
emu_assert "the daemon is still running" emu_daemon_alive
e2e_pass "reset, start, receive again"
