#!/bin/bash
# Floods and lifecycle gaps on one gateway: the endpoint limit reached from
# one host (cycle and withdrawal times printed as figures), a start after a
# stop, a reset into idle mode, and a tiny spool flooded with new names.
. "$(cd "$(dirname "$0")/../../scripts/emulator" && pwd)/lib.sh"
emu_enter "$0" "$@"
set -u
emu_up
W=$EMU_STATE/work
emu_start_daemon
emu_start_running

# reset_to_ready: a reset request, then wait for the created phase's Ready.
reset_to_ready() {
  local ready
  ready=$(emu_status_count 1)
  emu_ctl reset >/dev/null || emu_die "mgmctl reset failed"
  emu_expect "the reset's created phase ends in Ready" emu_status_seen 1 $((ready + 1))
}

# ---- the endpoint limit: 5 files of 30 endpoints, 128 published besides the gateway's own
for f in 1 2 3 4 5; do
  endpoints=()
  for e in $(seq 1 30); do endpoints+=("svc$e:TCP:1:$EMU_COMPONENT_IP:$((f * 100 + e))"); done
  emu_service_file "$W/limit$f.xml" "Press4/Bulk$f" bulk "${endpoints[@]}"
done
start=$(date +%s%N)
for f in 1 2 3 4 5; do emu_announce "$W/limit$f.xml" || emu_die "mgm-announce failed"; done
emu_expect --nudge "128 endpoints and the gateway's own are forwarded" eval '[ "$(emu_iot_rule_count)" = 129 ]'
publish_ms=$((($(date +%s%N) - start) / 1000000))
emu_cycles 2
emu_assert "no more than that" test "$(emu_iot_rule_count)" = 129
emu_assert "the limit is logged once a cycle with the count" emu_daemon_log_has "Endpoint limit of 128 reached, 22 Service endpoint(s) not published"
ready=$(emu_status_count 1)
start=$(date +%s%N)
emu_ctl stop >/dev/null || emu_die "mgmctl stop failed"
emu_expect "the stop ends in Ready" emu_status_seen 1 $((ready + 1))
withdraw_ms=$((($(date +%s%N) - start) / 1000000))
emu_assert "every forward is withdrawn" test "$(emu_iot_rule_count)" = 0
echo "FIGURES: published=129 publish_ms=$publish_ms withdraw_ms=$withdraw_ms"

# ---- a start after a stop hears the components again
emu_service_file "$W/drive.xml" Press4/Drive opcua "opcua:TCP:1:$EMU_COMPONENT_IP:4840"
emu_start_running
emu_announce "$W/drive.xml" || emu_die "mgm-announce failed"
emu_expect --nudge "the Drive is spooled after stop and start" emu_spool_has Drive_opcua.xml
emu_expect --nudge "and forwarded" emu_external_port "$EMU_COMPONENT_IP:4840"

# ---- a reset into idle mode leaves no forward, and none after a stop
emu_vpn_check 1
reset_to_ready
emu_assert "idle mode was logged" emu_daemon_log_has "Tarn is not able to use IoT -> switch to idle mode"
emu_assert "no forward in idle mode" test "$(emu_iot_rule_count)" = 0
emu_start_running
emu_ctl stop >/dev/null
emu_cycles 2
emu_assert "none after an idle stop either" test "$(emu_iot_rule_count)" = 0

# ---- a spool of 256 KB and 64 inodes flooded with 400 new names
emu_vpn_check 0
mount -t tmpfs -o size=256k,nr_inodes=64,mode=0755 mgm-emu-tiny "$EMU_SPOOL"
reset_to_ready
emu_start_running
emu_announce "$W/drive.xml"
emu_expect --nudge "the Drive is forwarded again" emu_external_port "$EMU_COMPONENT_IP:4840"
mkdir "$W/flood"
"$EMU_PYTHON" - "$W/flood" "$EMU_COMPONENT_IP" <<'PY'
import sys
for i in range(400):
    eps = "".join(f"<ServiceEndpoint>e{j}:TCP:1:{sys.argv[2]}:{20000 + j}</ServiceEndpoint>" for j in range(8))
    body = f'<RegMachCompSvcReq><ComponentList><Component ComponentID="Press4/Flood{i}"><ServiceList><Service ServiceID="s">{eps}</Service></ServiceList></Component></ComponentList></RegMachCompSvcReq>'
    open(f"{sys.argv[1]}/{i}.xml", "w").write(body + " " * (3000 - len(body)))
PY
emu_send_datagrams --pace 400 "$W"/flood/*.xml >/dev/null
emu_cycles 3
emu_assert "the daemon lives through the flood" emu_daemon_alive
emu_assert "the shortage or the limit was reported" eval \
  'emu_daemon_log_has "out of descriptors" || emu_daemon_log_has "Spool holds its limit"'
emu_assert "every request the registry received is complete XML" "$EMU_PYTHON" -c '
import json, sys, xml.etree.ElementTree as ET
for line in open(sys.argv[1]):
    ET.fromstring(json.loads(line)["body"]).find("ComponentList")
' "$EMU_STATE/registry/requests.jsonl"
emu_assert "the Drive keeps its forward" emu_external_port "$EMU_COMPONENT_IP:4840"
emu_assert "the exit request is accepted" emu_ctl exit
emu_wait_daemon_exit || emu_die "the daemon did not end"
emu_assert "exit code 0" test "$EMU_DAEMON_EXIT" = 0
echo "PASS: limits, start after stop, idle reset, tiny spool flood"
