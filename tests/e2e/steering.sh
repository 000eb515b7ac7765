#!/bin/bash
# A component that tries to steer the gateway, on one daemon: a flood under
# the gateway's own ComponentID (refused: rules stay within the limit, the
# trusted component holds only the gateway's own service), endpoints at the
# gateway's Trusted address and at loopback (no rule), carriage returns and
# line feeds in values (the posted body is the file the daemon wrote, and
# parses), and a pretty-printed endpoint (forwarded, traffic goes through).
# The refused addresses, the trimming and the counting are the NAT
# forwarding's and the reconciliation's unit tests'.
. "$(dirname "$0")/common.sh"
W=$EMU_STATE/work
e2e_up && emu_start_daemon && emu_start_running && e2e_publish_drive && emu_tcp_server 4841
# 8 files of 32 endpoints under Press4/Tarn: twice the endpoint limit.
for f in 1 2 3 4 5 6 7 8; do
  emu_service_file "$W/tarn$f.xml" Press4/Tarn "s$f" $(for ((e = 0; e < 32; e++)); do echo "e:TCP:$e:$EMU_COMPONENT_IP:$((f * 100 + e))"; done)
done
# One service: endpoints at the gateway's address and at loopback, CR and LF
# in its ServiceID and in an endpoint, and a pretty-printed endpoint.
emu_service_file "$W/steer.xml" Press4/Steer "web&#13;HIDDEN&#10;x" "ssh:TCP:1:$EMU_TRUSTED_IP:22" "ssh:TCP:2:127.0.0.1:22" \
  "http:TCP:1:$EMU_COMPONENT_IP:8080/a&#13;&#10;b" "opcua:TCP:1:$EMU_COMPONENT_IP:4841"$'\n          '
# Steer first: a cycle logs only its first refusals one by one, in spool order.
e2e_announce "$W/steer.xml" && emu_expect --nudge "both refusals of Steer are logged" eval \
  'emu_daemon_log_has "refused: an address of the gateway itself" && emu_daemon_log_has "refused: a loopback address"'
for f in "$W"/tarn*.xml; do e2e_announce "$f"; done
emu_expect "all nine files are spooled" eval '[ "$(ls -A "$EMU_SPOOL" | grep -c "Tarn\|Steer")" = 9 ]' && emu_cycles 4

trusted="ComponentList/Component[Trusted='true']/ServiceList/Service"
# The rule count leaves no room for a rule to the gateway's own address or loopback.
emu_assert "the flood is refused every cycle, 8 lines and a count: 4 rules (Drive, Steer's two, the gateway's own, which alone is trusted)" eval \
  '[ "$(emu_iot_rule_count) $(emu_registry_xpath -1 "$trusted/ServiceEndpoint" | wc -l) $(emu_registry_xpath -1 "$trusted@ServiceID")" = \
  "4 1 component-online-check" ] && emu_daemon_log_has "Component Press4/Tarn refused: its ComponentID is the gateway'"'"'s own" 16 \
  && emu_daemon_log_has "Also refused in this cycle, not logged one by one: " 2'
emu_assert "the last body lists Steer, parses and is the request file byte for byte" eval \
  'emu_registry_lists Press4/Steer && cmp -s <(emu_registry_field -1 body) "$EMU_SPOOL/RegisterMachineServices.xml"'
emu_assert "traffic reaches the pretty-printed endpoint through its forward" test "$(emu_tcp_roundtrip \
  "$EMU_UNTRUSTED_IP" "$(emu_external_port "$EMU_COMPONENT_IP:4841")" "pretty")" = "component got: pretty"
e2e_exit_cleanly && e2e_pass "the gateway's own id, address and loopback refused; CR and LF posted; pretty endpoint forwarded"
