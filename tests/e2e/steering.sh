#!/bin/bash
# A component that tries to steer the gateway, on one daemon: a flood under
# the gateway's own ComponentID (refused: rules stay within the limit, the
# trusted component holds only the gateway's own service), endpoints at the
# gateway's Trusted address and at loopback (no rule), carriage returns and
# line feeds in values (every posted body parses and is the file the daemon
# wrote), and a pretty-printed endpoint (forwarded, traffic goes through).
. "$(dirname "$0")/common.sh"
W=$EMU_STATE/work
e2e_up && emu_start_daemon && emu_start_running && e2e_publish_drive

# 8 files of 32 endpoints under Press4/Tarn: twice the endpoint limit.
for f in 1 2 3 4 5 6 7 8; do
  emu_service_file "$W/tarn$f.xml" Press4/Tarn "s$f" $(for ((e = 0; e < 32; e++)); do echo "e$e:TCP:1:$EMU_COMPONENT_IP:$((f * 100 + e))"; done)
done
emu_service_file "$W/sneak.xml" Press4/Sneak ssh "ssh:TCP:1:$EMU_TRUSTED_IP:22" "ssh:TCP:2:127.0.0.1:22"
emu_service_file "$W/crlf.xml" Press4/Crlf "web&#13;HIDDEN&#10;x" "http:TCP:1:$EMU_COMPONENT_IP:8080/a&#13;&#10;b"
emu_service_file "$W/pretty.xml" Press4/Pretty opcua "opcua:TCP:1:$EMU_COMPONENT_IP:4841"$'\n          '
emu_send_datagrams --pace 11 "$W"/tarn*.xml "$W"/sneak.xml "$W"/crlf.xml "$W"/pretty.xml >/dev/null
emu_expect "all eleven files are spooled" eval '[ "$(ls -A "$EMU_SPOOL" | grep -c "Tarn\|Sneak\|Crlf\|Pretty")" = 11 ]'
emu_cycles 4

emu_assert "the flood is refused every cycle; only the Drive, the gateway's own, Crlf and Pretty are forwarded" eval \
  'emu_daemon_log_has "Component Press4/Tarn refused: its ComponentID is the gateway'"'"'s own" 16 &&
  [ "$(emu_iot_rule_count)" = 4 ] && emu_external_port "$ONLINE_CHECK_TARGET"'
emu_assert "the trusted component holds only the gateway's own service" eval '[ "$(emu_registry_xpath -1 \
  "ComponentList/Component[Trusted='"'true'"']/ServiceList/Service/ServiceEndpoint" | wc -l) $(emu_registry_xpath -1 \
  "ComponentList/Component[Trusted='"'true'"']/ServiceList/Service@ServiceID")" = "1 component-online-check" ]'
emu_assert "no rule to the gateway's own address or loopback; both refusals logged" eval \
  '! emu_iot_rules | grep -qE -- "--to-destination ($EMU_TRUSTED_IP|127\.0\.0\.1):22" &&
  emu_daemon_log_has "refused: an address of the gateway itself" && emu_daemon_log_has "refused: a loopback address"'
emu_assert "every posted body parses; the last one lists Crlf and is the request file byte for byte" eval \
  '"$EMU_PYTHON" -c "import json, sys, xml.etree.ElementTree as ET
for line in open(sys.argv[1]): ET.fromstring(json.loads(line)[\"body\"])" "$EMU_STATE/registry/requests.jsonl" &&
  emu_registry_lists Press4/Crlf && cmp -s <(emu_registry_field -1 body) "$EMU_SPOOL/RegisterMachineServices.xml"'
emu_tcp_server 4841
emu_assert "traffic reaches the pretty-printed endpoint through its forward" test "$(emu_tcp_roundtrip \
  "$EMU_UNTRUSTED_IP" "$(emu_external_port "$EMU_COMPONENT_IP:4841")" "pretty")" = "component got: pretty"
e2e_exit_cleanly && e2e_pass "the gateway's own id, address and loopback refused; CR and LF posted; pretty endpoint forwarded"
