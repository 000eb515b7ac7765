#!/bin/bash
# The operator's tools: `mgmctl supervise`, started before the daemon, brings
# it to Running by itself; `mgmctl forwards` lists the two components' and
# the gateway's own forwards as the chain and the request have them, and
# names an endpoint whose rule was deleted by hand; SIGTERM to supervise
# ends the daemon with code 0, its forwards withdrawn.
. "$(dirname "$0")/common.sh"
emu_up
emu_replace_supervisor "$EMU_MGMCTL" supervise
SUPERVISE_PID=$(cat "$EMU_STATE/supervisor.pid")
emu_service_file "$DRIVE_FILE" Press4/Drive opcua "$DRIVE_ENDPOINT"
emu_start_daemon
emu_expect "supervise brings the daemon to Running" emu_status_seen 3

emu_comp ip addr add 192.168.2.21/24 dev eth0
SPINDLE_FILE=$EMU_STATE/work/spindle.xml
emu_service_file "$SPINDLE_FILE" Press4/Spindle telemetry "mqtt:TCP:2:192.168.2.21:1883"
e2e_publish_drive
emu_announce "$SPINDLE_FILE" || emu_die "mgm-announce failed"
emu_expect --nudge "the Spindle gets a forward" emu_external_port 192.168.2.21:1883
emu_expect --nudge "the registry hears of the Spindle" \
  eval 'emu_registry_xpath -1 ComponentList/Component@ComponentID | grep -qx Press4/Spindle'
mqtt_port=$(emu_external_port 192.168.2.21:1883)
tarn_port=$(emu_external_port "$ONLINE_CHECK_TARGET")

# forwards_rows: `mgmctl forwards --json` as "component endpoint interface
# protocol destination state" lines ("-" for an empty field), sorted; fails
# when mgmctl does.
forwards_rows() {
  "$EMU_MGMCTL" forwards --json >"$EMU_STATE/work/forwards.json" || return 1
  "$EMU_PYTHON" -c '
import json, sys
for r in json.load(open(sys.argv[1]))["forwards"]:
    print(*[r[k] or "-" for k in ("component", "endpoint", "interface", "protocol", "destination", "state")])
' "$EMU_STATE/work/forwards.json" | LC_ALL=C sort
}
drive_row="Press4/Drive opcua:TCP:1:$EMU_UNTRUSTED_IP:$DRIVE_PORT Untrusted tcp $EMU_COMPONENT_IP:4840"
tarn_row="Press4/Tarn gwiotsvc:TCP:1:$EMU_TRUSTED_IP:$tarn_port/chkcompconnstatus/ Trusted tcp $ONLINE_CHECK_TARGET"
mqtt_endpoint="mqtt:TCP:2:$EMU_UNTRUSTED_IP:$mqtt_port"
for endpoint in "${drive_row#* }" "${tarn_row#* }" "$mqtt_endpoint"; do
  emu_assert "the request publishes ${endpoint%% *}" e2e_request_has -1 \
    ComponentList/Component/ServiceList/Service/ServiceEndpoint "${endpoint%% *}"
done
expected=$(printf '%s ok\n' "$drive_row" "Press4/Spindle $mqtt_endpoint Untrusted tcp 192.168.2.21:1883" "$tarn_row" |
  LC_ALL=C sort)
emu_assert "forwards lists exactly the two components' endpoints and the gateway's own" \
  test "$(forwards_rows)" = "$expected"

emu_tcp_server 4840
listed=$("$EMU_PYTHON" -c '
import json, sys
r = [r for r in json.load(open(sys.argv[1]))["forwards"] if r["component"] == "Press4/Drive"][0]
print(r["zone_address"], r["external_port"])' "$EMU_STATE/work/forwards.json")
emu_assert "traffic to the Drive's listed forward (${listed/ /:}) reaches it" \
  test "$(emu_tcp_roundtrip ${listed} drive)" = "component got: drive"

iptables -t nat -D IOT -i Untrusted -p tcp --dport "$mqtt_port" -j DNAT --to-destination 192.168.2.21:1883 ||
  emu_die "deleting the Spindle's rule by hand failed"
expected=$(printf '%s\n' "$drive_row ok" "Press4/Spindle $mqtt_endpoint - - - no-rule" "$tarn_row ok" | LC_ALL=C sort)
emu_assert "forwards reports the Spindle's endpoint without its rule" test "$(forwards_rows)" = "$expected"
emu_assert "and so does its table" eval '"$EMU_MGMCTL" forwards | grep -F Press4/Spindle | grep -qw no-rule'

requests=$(emu_registry_count)
kill -TERM "$SUPERVISE_PID"
emu_expect "supervise ends after SIGTERM" eval "! grep -q '^[0-9]* ([^)]*) [^Z]' /proc/$SUPERVISE_PID/stat"
wait "$SUPERVISE_PID"
emu_assert "with exit code 0" test $? = 0
emu_wait_daemon_exit || emu_die "the daemon did not end after supervise's Exit"
emu_assert "the daemon reported Exiting" emu_status_seen 7
emu_assert "and ended with exit code 0" test "$EMU_DAEMON_EXIT" = 0
emu_assert "the IOT chain is empty" test "$(emu_iot_rule_count)" = 0
emu_assert "the registry's last request names no component" \
  test "$(emu_registry_count)" -gt "$requests" -a -z "$(emu_registry_xpath -1 ComponentList/Component@ComponentID)"
emu_assert "forwards lists nothing" test -z "$(forwards_rows)"
e2e_pass "supervise starts and ends the daemon; forwards lists what the gateway forwards"
