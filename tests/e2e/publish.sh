#!/bin/bash
# Components announce their services: the daemon forwards them through the
# gateway, registers them, lets traffic through, ages out what is not
# renewed, comes back from a reset, and withdraws everything on a stop.
. "$(dirname "$0")/common.sh"
e2e_up && emu_start_daemon && emu_start_running
endpoints() { emu_registry_xpath -1 ComponentList/Component/ServiceList/Service/ServiceEndpoint; }

# ---- one component
e2e_publish_drive
# The rules' words, zones and distinct ports are checked in hostile.sh.
emu_assert "one request, a POST of XML to /v2/machineservices/Press4" test "$(emu_registry_count) $(emu_registry_field 1 \
  method) $(emu_registry_field 1 content_type) $(emu_registry_field 1 path)" = "1 POST application/xml /v2/machineservices/Press4"
# Texts of the endpoints and trust flags: operator_tools.sh and the writer's golden files.
emu_assert "it carries the zone addresses and the SIM identity" eval 'e2e_request_has 1 GatewayCommAddrs/ICCID "$EMU_MODEM_ICCID" &&
  e2e_request_has 1 GatewayCommAddrs/IMSI "$EMU_MODEM_IMSI" && e2e_request_has 1 MGNetworkAddresses/MGTrustedZoneIPAddress \
  "$EMU_TRUSTED_IP" && e2e_request_has 1 MGNetworkAddresses/MGUntrustedZoneIPAddress "$EMU_UNTRUSTED_IP"'
emu_tcp_server 4840
emu_assert "traffic from outside reaches the component through the forward" test \
  "$(emu_tcp_roundtrip "$EMU_UNTRUSTED_IP" "$DRIVE_PORT" "ping from outside")" = "component got: ping from outside"
e2e_respooled "$DRIVE_SPOOL_NAME" emu_announce "$DRIVE_FILE" && emu_cycles 3
emu_assert "the same file again sends no second request, keeps the rules and the port" \
  test "$(emu_registry_count) $(emu_iot_rule_count) $(emu_external_port "$EMU_COMPONENT_IP:4840")" = "1 2 $DRIVE_PORT"

# ---- a second component, in a file of the largest size mgm-announce sends
SPINDLE_FILE=$EMU_STATE/work/spindle.xml
emu_service_file "$SPINDLE_FILE" Press4/Spindle telemetry "mqtt:TCP:2:192.168.2.21:1883" "http:TCP:3:192.168.2.21:8080/status"
printf '<!--%*s-->' $((4096 - 7 - $(stat -c %s "$SPINDLE_FILE"))) "" >>"$SPINDLE_FILE"
cp "$SPINDLE_FILE" "$EMU_STATE/work/over.xml" && echo >>"$EMU_STATE/work/over.xml"
OUT=$(emu_comp "$EMU_ANNOUNCE" "$EMU_STATE/work/over.xml" "$EMU_TRUSTED_IP" 2>&1); rc=$?
emu_comp "$EMU_ANNOUNCE" "$SPINDLE_FILE" "$EMU_TRUSTED_IP" 70000 2>/dev/null; rc="$rc $?"
emu_assert "mgm-announce refuses 4097 bytes (1) and a port out of range (2)" eval \
  '[ "$rc" = "1 2" ] && grep -q "4097 bytes, over the 4096-byte limit" <<<"$OUT"'
e2e_announce "$SPINDLE_FILE"
emu_expect --nudge "the request lists the Spindle endpoints as reached through the gateway, suffix kept" eval 'endpoints |
  grep -qxF "http:TCP:3:$EMU_UNTRUSTED_IP:$(emu_external_port 192.168.2.21:8080)/status" &&
  endpoints | grep -qxF "mqtt:TCP:2:$EMU_UNTRUSTED_IP:$(emu_external_port 192.168.2.21:1883)"'

# ---- ageing out
requests=$(emu_registry_count) && emu_age_file Spindle_telemetry.xml 1300
emu_expect --nudge "the aged file is deleted, its forwards withdrawn, the registry told" eval \
  '! emu_spool_has Spindle_telemetry.xml && [ "$(emu_iot_rule_count)" = 2 ] && emu_registry_has_count $((requests + 1))'
emu_assert "the daemon logged the deletion" emu_daemon_log_has "File: Spindle_telemetry.xml is older then 1200. Delete."
emu_assert "the withdrawal lists the Drive and the gateway, not the Spindle; the Drive keeps its port" eval \
  'e2e_lists Press4/Drive && e2e_lists Press4/Tarn && ! e2e_lists Press4/Spindle &&
  [ "$(emu_external_port "$EMU_COMPONENT_IP:4840")" = "$DRIVE_PORT" ]'

# ---- reset, then start
e2e_reset
# The chain is set up afresh; the forwards of what is still published are
# put back, so rules and registry entries stay in step.
emu_assert "the created phase emptied the spool, hooked the chain once, put the Drive's forward back" eval \
  '! emu_spool_has "$DRIVE_SPOOL_NAME" && [ "$(iptables -t nat -S PREROUTING | grep -c -- "-j IOT")" = 1 ] &&
  [ "$(emu_iot_rule_count) $(emu_external_port "$EMU_COMPONENT_IP:4840")" = "2 $DRIVE_PORT" ]'
emu_start_running
emu_service_file "$EMU_STATE/work/conveyor.xml" Press4/Conveyor modbus "modbus:TCP:1:$EMU_COMPONENT_IP:502"
e2e_announce "$EMU_STATE/work/conveyor.xml"
emu_expect --nudge "after the reset the Conveyor is forwarded and registered" eval \
  'emu_external_port "$EMU_COMPONENT_IP:502" && e2e_lists Press4/Conveyor'
emu_assert "the Drive, no longer announced, was withdrawn with its forward; the receiver bound again" eval \
  '! e2e_lists Press4/Drive && ! emu_external_port "$EMU_COMPONENT_IP:4840" && ! emu_daemon_log_has "Could not bind socket"'

# ---- stop
requests=$(emu_registry_count) && e2e_stop
emu_assert "one withdrawal, no component, no zone address, GatewayID Press4/Tarn" eval '[ "$(emu_registry_count)" = \
  $((requests + 1)) ] && e2e_lists_none && [ -z "$(emu_registry_xpath -1 "MGNetworkAddresses/*")" ] &&
  e2e_request_has -1 GatewayID Press4/Tarn'
emu_assert "the IOT chain is empty, the spool holds only the request, the receiver was joined" eval '[ "$(emu_iot_rule_count) $(ls -A "$EMU_SPOOL")" = \
  "0 RegisterMachineServices.xml" ] && emu_daemon_log_has "join receiver thread: OK"'
e2e_exit_cleanly && e2e_pass "announce, forward, register, traffic, age out, reset, stop"
