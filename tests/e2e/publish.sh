#!/bin/bash
# Components announce their services: the daemon forwards them through the
# gateway, registers them, lets traffic through, comes back from a reset, and
# withdraws everything on a stop. The zone addresses and SIM identity of the
# request are checked by the cycle's unit test and faults.sh, ageing out by
# hostile.sh's cleanup.
. "$(dirname "$0")/common.sh"
e2e_up && emu_start_daemon && emu_start_running

# ---- one component
e2e_publish_drive
# The rules' words, zones and distinct ports are checked in hostile.sh.
emu_assert "one request, a POST of XML to /v2/machineservices/Press4" test "$(emu_registry_count) $(emu_registry_field 1 \
  method) $(emu_registry_field 1 content_type) $(emu_registry_field 1 path)" = "1 POST application/xml /v2/machineservices/Press4"
emu_tcp_server 4840
emu_assert "traffic from outside reaches the component through the forward" test \
  "$(emu_tcp_roundtrip "$EMU_UNTRUSTED_IP" "$DRIVE_PORT" "ping from outside")" = "component got: ping from outside"
e2e_respooled "$DRIVE_SPOOL_NAME" emu_announce "$DRIVE_FILE" && emu_cycles 3
emu_assert "the same file again sends no second request, keeps the rules and the port" \
  test "$(emu_registry_count) $(emu_iot_rule_count) $(emu_external_port "$EMU_COMPONENT_IP:4840")" = "1 2 $DRIVE_PORT"

# ---- files mgm-announce refuses
printf '%4097s' "" >"$EMU_STATE/work/over.xml" && OUT=$(emu_comp "$EMU_ANNOUNCE" "$EMU_STATE/work/over.xml" "$EMU_TRUSTED_IP" 2>&1); rc=$?
emu_comp "$EMU_ANNOUNCE" "$DRIVE_FILE" "$EMU_TRUSTED_IP" 70000 2>/dev/null; rc="$rc $?"
emu_assert "mgm-announce refuses 4097 bytes (1) and a port out of range (2)" eval \
  '[ "$rc" = "1 2" ] && grep -q "4097 bytes, over the 4096-byte limit" <<<"$OUT"'

# ---- reset, then stop
e2e_reset
# The chain is set up afresh; the forwards of what is still published are
# put back, so rules and registry entries stay in step.
emu_assert "the created phase emptied the spool, hooked the chain once, put the Drive's forward back" eval \
  '! emu_spool_has "$DRIVE_SPOOL_NAME" && [ "$(iptables -t nat -S PREROUTING | grep -c -- "-j IOT")" = 1 ] &&
  [ "$(emu_external_port "$EMU_COMPONENT_IP:4840")" = "$DRIVE_PORT" ]'
# The Conveyor's file has the largest size mgm-announce sends.
CONVEYOR_FILE=$EMU_STATE/work/conveyor.xml && emu_service_file "$CONVEYOR_FILE" Press4/Conveyor modbus "modbus:TCP:1:$EMU_COMPONENT_IP:502"
printf '<!--%*s-->' $((4096 - 7 - $(stat -c %s "$CONVEYOR_FILE"))) "" >>"$CONVEYOR_FILE" && emu_start_running && e2e_announce "$CONVEYOR_FILE"
emu_expect --nudge "after the reset the Conveyor is registered, the Drive no longer" eval \
  'emu_registry_lists Press4/Conveyor && ! emu_registry_lists Press4/Drive'
requests=$(emu_registry_count) && e2e_stop
# The withdrawal's texts are the writer's golden file.
emu_assert "one withdrawal of every component, the IOT chain empty, the spool holding only the request, the receiver joined" \
  eval '[ "$(emu_registry_count) $(emu_iot_rule_count) $(ls -A "$EMU_SPOOL")" = "$((requests + 1)) 0 RegisterMachineServices.xml" ] &&
  emu_registry_lists_none && emu_daemon_log_has "join receiver thread: OK"'
e2e_exit_cleanly && e2e_pass "announce, forward, register, traffic, reset, stop"
