#!/bin/bash
# Two components are forwarded side by side; a stop withdraws everything with
# a request whose ComponentList is empty; an exit request ends the daemon
# with exit code 0.
. "$(dirname "$0")/common.sh"
e2e_up
emu_comp ip addr add 192.168.2.21/24 dev eth0
SPINDLE_FILE=$EMU_STATE/work/spindle.xml
emu_service_file "$SPINDLE_FILE" Press4/Spindle telemetry "mqtt:TCP:2:192.168.2.21:1883" "http:TCP:3:192.168.2.21:8080/status"
emu_start_running
e2e_publish_drive
emu_announce "$SPINDLE_FILE" || emu_die "mgm-announce failed"
emu_expect --nudge "the Spindle endpoints get forwards" eval '[ "$(emu_iot_rule_count)" = 4 ]'
mqtt_port=$(emu_external_port 192.168.2.21:1883)
http_port=$(emu_external_port 192.168.2.21:8080)
emu_assert "four distinct external ports" test \
  "$(printf '%s\n' "$DRIVE_PORT" "$mqtt_port" "$http_port" "$(emu_external_port "$ONLINE_CHECK_TARGET")" | sort -u | grep -c .)" = 4
emu_expect --nudge "a request lists both components" \
  eval 'emu_registry_xpath -1 "ComponentList/Component@ComponentID" | sort | tr "\n" " " | grep -qx "Press4/Drive Press4/Spindle Press4/Tarn "'
emu_assert "the Spindle endpoints as reached through the gateway, suffix kept" eval \
  'emu_registry_xpath -1 ComponentList/Component/ServiceList/Service/ServiceEndpoint | grep -qxF "http:TCP:3:$EMU_UNTRUSTED_IP:$http_port/status"'
emu_assert "and the second one" eval \
  'emu_registry_xpath -1 ComponentList/Component/ServiceList/Service/ServiceEndpoint | grep -qxF "mqtt:TCP:2:$EMU_UNTRUSTED_IP:$mqtt_port"'

emu_tcp_server 4840
(emu_comp "$EMU_PYTHON" - <<'PY' >>"$EMU_STATE/tcp-server-8080.log" 2>&1 &
import socket
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("192.168.2.21", 8080)); s.listen(4); print("listening", flush=True)
while True:
    c, _ = s.accept(); c.makefile("rb").readline(); c.sendall(b"spindle here\n"); c.close()
PY
)
emu_expect "the Spindle's server listens" grep -q listening "$EMU_STATE/tcp-server-8080.log"
emu_assert "traffic reaches the Drive" test "$(emu_tcp_roundtrip "$EMU_UNTRUSTED_IP" "$DRIVE_PORT" drive)" = "component got: drive"
emu_assert "traffic reaches the Spindle" test "$(emu_tcp_roundtrip "$EMU_UNTRUSTED_IP" "$http_port" spindle)" = "spindle here"

requests=$(emu_registry_count)
stopped_before=$(emu_status_count 4)
emu_assert "the stop request is accepted" emu_ctl stop
emu_expect "the daemon reports Stopped" emu_status_seen 4 $((stopped_before + 1))
emu_expect "and then Ready" eval '[ "$(emu_statuses | tail -n1)" = 1 ]'
emu_assert "the withdrawal request was sent" test "$(emu_registry_count)" = $((requests + 1))
emu_assert "it names no component" test -z "$(emu_registry_xpath -1 ComponentList/Component@ComponentID)"
emu_assert "it carries no zone address" test -z "$(emu_registry_xpath -1 'MGNetworkAddresses/*')"
emu_assert "its GatewayID stays Press4/Tarn" e2e_request_has -1 GatewayID Press4/Tarn
emu_assert "the IOT chain is empty" test "$(emu_iot_rule_count)" = 0
emu_assert "the spool holds only the registry request" test "$(ls -A "$EMU_SPOOL")" = RegisterMachineServices.xml
emu_assert "the receiver was joined" emu_daemon_log_has "MachineGatewayManager join receiver thread: OK"
emu_assert "the exit request is accepted" emu_ctl exit
emu_wait_daemon_exit || emu_die "the daemon did not end after the exit request"
emu_assert "the daemon reported Exiting" emu_status_seen 7
emu_assert "and ended with exit code 0" test "$EMU_DAEMON_EXIT" = 0
e2e_pass "two components forwarded, stop withdraws everything, exit ends the daemon"
