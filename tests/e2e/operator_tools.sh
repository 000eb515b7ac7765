#!/bin/bash
# The operator's tools: `mgmctl supervise`, started before the daemon, brings
# it to Running by itself; `mgmctl forwards` lists the two components' and
# the gateway's own forwards as the chain and the request have them, and
# names an endpoint whose rule was deleted by hand; SIGTERM to supervise
# ends the daemon with code 0, its forwards withdrawn.
. "$(dirname "$0")/common.sh"
e2e_up
emu_replace_supervisor "$EMU_MGMCTL" supervise
SUPERVISE_PID=$(cat "$EMU_STATE/supervisor.pid")
emu_start_daemon
emu_expect "supervise brings the daemon to Running" emu_status_seen 3

emu_comp ip addr add 192.168.2.21/24 dev eth0 &&
  emu_service_file "$EMU_STATE/work/spindle.xml" Press4/Spindle telemetry "mqtt:TCP:2:192.168.2.21:1883"
e2e_publish_drive && e2e_announce "$EMU_STATE/work/spindle.xml"
emu_expect --nudge "the Spindle gets a forward, the registry hears of it" \
  eval 'emu_external_port 192.168.2.21:1883 && emu_registry_lists Press4/Spindle'
mqtt_port=$(emu_external_port 192.168.2.21:1883) tarn_port=$(emu_external_port "$ONLINE_CHECK_TARGET")

# forwards_rows: `mgmctl forwards --json` as "component endpoint interface
# protocol destination zone_address external_port state" lines ("-" for an
# empty field), sorted; fails when mgmctl does.
forwards_rows() {
  "$EMU_MGMCTL" forwards --json >"$EMU_STATE/work/forwards.json" || return 1
  "$EMU_PYTHON" -c 'import json, sys
for r in json.load(open(sys.argv[1]))["forwards"]:
    print(*[r[k] or "-" for k in ("component", "endpoint", "interface", "protocol", "destination", "zone_address",
                                  "external_port", "state")])' "$EMU_STATE/work/forwards.json" | LC_ALL=C sort
}
drive="Press4/Drive opcua:TCP:1:$EMU_UNTRUSTED_IP:$DRIVE_PORT Untrusted tcp $EMU_COMPONENT_IP:4840 $EMU_UNTRUSTED_IP $DRIVE_PORT ok"
tarn="Press4/Tarn gwiotsvc:TCP:1:$EMU_TRUSTED_IP:$tarn_port/chkcompconnstatus/ Trusted tcp $ONLINE_CHECK_TARGET $EMU_TRUSTED_IP $tarn_port ok"
spindle="Press4/Spindle mqtt:TCP:2:$EMU_UNTRUSTED_IP:$mqtt_port"
emu_assert "forwards lists exactly the two components' endpoints and the gateway's own" test "$(forwards_rows)" = \
  "$(printf '%s\n' "$drive" "$spindle Untrusted tcp 192.168.2.21:1883 $EMU_UNTRUSTED_IP $mqtt_port ok" "$tarn" | LC_ALL=C sort)"
iptables -t nat -D IOT -i Untrusted -p tcp --dport "$mqtt_port" -j DNAT --to-destination 192.168.2.21:1883 ||
  emu_die "deleting the Spindle's rule by hand failed"
emu_assert "forwards and its table report the Spindle's endpoint without its rule" eval '[ "$(forwards_rows)" = \
  "$(printf "%s\n" "$drive" "$spindle - - - $EMU_UNTRUSTED_IP $mqtt_port no-rule" "$tarn" | LC_ALL=C sort)" ] &&
  "$EMU_MGMCTL" forwards | grep -F Press4/Spindle | grep -qw no-rule'

requests=$(emu_registry_count) && kill -TERM "$SUPERVISE_PID"
wait "$SUPERVISE_PID"; emu_assert "supervise ends after SIGTERM with exit code 0" test $? = 0
emu_assert "the daemon reported Exiting and ended with exit code 0" eval 'emu_wait_daemon_exit && emu_status_seen 7 && [ "$EMU_DAEMON_EXIT" = 0 ]'
emu_assert "the IOT chain is empty, the registry's last request names no component, forwards lists nothing" eval \
  '[ "$(emu_iot_rule_count)" = 0 ] && [ "$(emu_registry_count)" -gt "$requests" ] && emu_registry_lists_none && [ -z "$(forwards_rows)" ]'
e2e_pass "supervise starts and ends the daemon; forwards lists what the gateway forwards"
