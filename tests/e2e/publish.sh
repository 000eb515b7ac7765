#!/bin/bash
# Components announce their services: the daemon forwards them through the
# gateway, registers them and comes back from a reset (traffic through a
# forward is steering.sh's round trip).
# Then the operator's tools: `mgmctl supervise`, started before a new daemon,
# brings it to Running; `mgmctl forwards` lists the forwards as the chain
# and the request have them and names an endpoint whose rule was deleted by
# hand; SIGTERM to supervise withdraws everything and leaves the daemon in
# Ready; `mgmctl shutdown` then ends it with code 0. The zone addresses and SIM identity of the request are checked by
# the cycle's unit test and faults.sh, ageing out by hostile.sh's cleanup, a
# renewal of an unchanged file by the reconciliation's unit test.
. "$(dirname "$0")/common.sh"
e2e_up && emu_start_daemon && emu_start_running

# ---- one component
e2e_publish_drive
# The rules' words, zones and distinct ports are checked in hostile.sh.
emu_assert "one request, a POST of XML to /v2/machineservices/Press4" test "$(emu_registry_count) $(emu_registry_field 1 \
  method) $(emu_registry_field 1 content_type) $(emu_registry_field 1 path)" = "1 POST application/xml /v2/machineservices/Press4"

# ---- files mgm-announce refuses
printf '%4097s' "" >"$EMU_STATE/work/over.xml" && OUT=$(emu_comp "$EMU_ANNOUNCE" "$EMU_STATE/work/over.xml" "$EMU_TRUSTED_IP" 2>&1); rc=$?
emu_comp "$EMU_ANNOUNCE" "$DRIVE_FILE" "$EMU_TRUSTED_IP" 70000 2>/dev/null; rc="$rc $?"
emu_assert "mgm-announce refuses 4097 bytes (1) and a port out of range (2)" eval \
  '[ "$rc" = "1 2" ] && grep -q "4097 bytes, over the 4096-byte limit" <<<"$OUT"'

# ---- reset
e2e_reset
# The chain is set up afresh; the forwards of what is still published are
# put back, so rules and registry entries stay in step.
# That it empties the spool is the spool's unit test.
emu_assert "the created phase hooked the chain once, put the Drive's forward back" eval '[ "$(iptables -t nat -S \
  PREROUTING | grep -c -- "-j IOT")" = 1 ] && [ "$(emu_external_port "$EMU_COMPONENT_IP:4840")" = "$DRIVE_PORT" ]'
# The Conveyor's file has the largest size mgm-announce sends; it goes to the
# tool's default address and port.
CONVEYOR_FILE=$EMU_STATE/work/conveyor.xml && emu_service_file "$CONVEYOR_FILE" Press4/Conveyor modbus "modbus:TCP:1:$EMU_COMPONENT_IP:502"
printf '<!--%*s-->' $((4096 - 7 - $(stat -c %s "$CONVEYOR_FILE"))) "" >>"$CONVEYOR_FILE" && emu_start_running && emu_comp "$EMU_ANNOUNCE" "$CONVEYOR_FILE" >/dev/null
emu_expect --nudge "after the reset the Conveyor is registered, the Drive no longer" eval \
  'emu_registry_lists Press4/Conveyor && ! emu_registry_lists Press4/Drive'
e2e_exit_cleanly

# ---- supervise and forwards
# supervise takes the supervisor's place and log (emu_statuses reads it).
emu_stop_pid_file "$EMU_STATE/supervisor.pid" && emu_expect "tarn.main is free" eval '! emu_bus_has_owner tarn.main'
"$EMU_MGMCTL" supervise >"$EMU_STATE/supervisor.log" 2>&1 & SUPERVISE_PID=$! && emu_expect "supervise owns tarn.main" emu_bus_has_owner tarn.main && emu_start_daemon
emu_expect "supervise brings the daemon to Running" emu_status_seen 3
e2e_publish_drive && tarn_port=$(emu_external_port "$ONLINE_CHECK_TARGET")
# forwards_rows: `mgmctl forwards --json` as "component endpoint interface
# protocol destination zone_address external_port state" lines ("-" for an
# empty field), sorted; fails when mgmctl does.
forwards_rows() { "$EMU_MGMCTL" forwards --json >"$EMU_STATE/work/forwards.json" && "$EMU_PYTHON" -c 'import json, sys
for r in json.load(open(sys.argv[1]))["forwards"]: print(*[r[k] or "-" for k in sys.argv[2:]])' "$EMU_STATE/work/forwards.json" \
  component endpoint interface protocol destination zone_address external_port state | LC_ALL=C sort; }
drive="Press4/Drive opcua:TCP:1:$EMU_UNTRUSTED_IP:$DRIVE_PORT"
tarn="Press4/Tarn gwiotsvc:TCP:1:$EMU_TRUSTED_IP:$tarn_port/chkcompconnstatus/ Trusted tcp $ONLINE_CHECK_TARGET $EMU_TRUSTED_IP $tarn_port ok"
emu_assert "forwards lists exactly the Drive's endpoint and the gateway's own" test "$(forwards_rows)" = \
  "$(printf '%s\n' "$drive Untrusted tcp $EMU_COMPONENT_IP:4840 $EMU_UNTRUSTED_IP $DRIVE_PORT ok" "$tarn" | LC_ALL=C sort)"
iptables -t nat -D IOT -i Untrusted -p tcp --dport "$DRIVE_PORT" -j DNAT --to-destination "$EMU_COMPONENT_IP:4840" ||
  emu_die "deleting the Drive's rule by hand failed"
emu_assert "forwards and its table report the Drive's endpoint without its rule" eval '[ "$(forwards_rows)" = \
  "$(printf "%s\n" "$drive - - - $EMU_UNTRUSTED_IP $DRIVE_PORT no-rule" "$tarn" | LC_ALL=C sort)" ] &&
  "$EMU_MGMCTL" forwards | grep -F Press4/Drive | grep -qw no-rule'

requests=$(emu_registry_count) && readies=$(emu_status_count 1) && kill -TERM "$SUPERVISE_PID"
wait "$SUPERVISE_PID"; rc=$? && emu_assert "supervise ends after SIGTERM with exit code 0 once the daemon reported Ready, and leaves it up" \
  eval '[ $rc = 0 ] && emu_status_seen 1 $((readies + 1)) && emu_daemon_alive'
# The withdrawal's texts are the writer's golden file.
emu_assert "one withdrawal of every component, the IOT chain empty, the spool holding only the request, forwards lists \
nothing" eval '[ "$(emu_registry_count) $(emu_iot_rule_count) $(ls -A "$EMU_SPOOL")" = "$((requests + 1)) 0 \
RegisterMachineServices.xml" ] && emu_registry_lists_none && [ -z "$(forwards_rows)" ]'
emu_ctl shutdown "$(emu_daemon_pid)" >/dev/null 2>&1; rc=$?
emu_assert "shutdown ends the daemon with exit code 0 and returns 0 once it ended" \
  eval '[ $rc = 0 ] && emu_daemon_ended && emu_wait_daemon_exit && [ "$EMU_DAEMON_EXIT" = 0 ]'
e2e_pass "announce, forward, register, traffic, reset; supervise and forwards; SIGTERM withdraws everything; shutdown ends"
