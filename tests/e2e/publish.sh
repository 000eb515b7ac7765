#!/bin/bash
# A component announces one service: the daemon forwards it through the
# gateway, registers it with the registry, traffic flows, and the same file
# again publishes nothing new.
. "$(dirname "$0")/common.sh"
e2e_up
emu_start_running
e2e_publish_drive

emu_assert "external port $DRIVE_PORT lies in 49152..59998" e2e_port_in_range "$DRIVE_PORT"
emu_assert "the Drive rule is a DNAT on Untrusted for TCP" test \
  "$(e2e_rule_for "$EMU_COMPONENT_IP:4840")" = \
  "-A IOT -i Untrusted -p tcp -m tcp --dport $DRIVE_PORT -j DNAT --to-destination $EMU_COMPONENT_IP:4840"
emu_assert "the gateway's online check is forwarded on Trusted" \
  eval 'e2e_rule_for "$ONLINE_CHECK_TARGET" | grep -q -- "-i Trusted -p tcp"'
emu_assert "exactly two rules in the IOT chain" test "$(emu_iot_rule_count)" = 2
emu_assert "PREROUTING jumps to IOT once" test "$(iptables -t nat -S PREROUTING | grep -c -- '-j IOT')" = 1
emu_assert "IP forwarding is on" test "$(cat /proc/sys/net/ipv4/ip_forward)" = 1

emu_assert "one registry request" test "$(emu_registry_count)" = 1
emu_assert "it is a POST" test "$(emu_registry_field 1 method)" = POST
emu_assert "to /v2/machineservices/Press4" test "$(emu_registry_field 1 path)" = /v2/machineservices/Press4
emu_assert "as application/xml" test "$(emu_registry_field 1 content_type)" = application/xml
emu_assert "with the gateway's client certificate" test "$(emu_registry_field 1 client_subject)" = "$EMU_CLIENT_SUBJECT"
emu_assert "GatewayID Press4/Tarn" e2e_request_has 1 GatewayID Press4/Tarn
emu_assert "the untrusted zone address" e2e_request_has 1 MGNetworkAddresses/MGUntrustedZoneIPAddress "$EMU_UNTRUSTED_IP"
emu_assert "the trusted zone address" e2e_request_has 1 MGNetworkAddresses/MGTrustedZoneIPAddress "$EMU_TRUSTED_IP"
emu_assert "the modem's ICCID" e2e_request_has 1 GatewayCommAddrs/ICCID "$EMU_MODEM_ICCID"
emu_assert "the modem's IMSI" e2e_request_has 1 GatewayCommAddrs/IMSI "$EMU_MODEM_IMSI"
emu_assert "the Drive endpoint as reached through the gateway" \
  e2e_request_has 1 ComponentList/Component/ServiceList/Service/ServiceEndpoint "opcua:TCP:1:$EMU_UNTRUSTED_IP:$DRIVE_PORT"
online_port=$(emu_external_port "$ONLINE_CHECK_TARGET")
emu_assert "the online check endpoint" e2e_request_has 1 ComponentList/Component/ServiceList/Service/ServiceEndpoint \
  "gwiotsvc:TCP:1:$EMU_TRUSTED_IP:$online_port/chkcompconnstatus/"
emu_assert "Press4/Drive is untrusted" test \
  "$(emu_registry_xpath 1 "ComponentList/Component[@ComponentID='Press4/Drive']/Trusted")" = false
emu_assert "the gateway's own component is trusted" test \
  "$(emu_registry_xpath 1 "ComponentList/Component[@ComponentID='Press4/Tarn']/Trusted")" = true

emu_tcp_server 4840
answer=$(emu_tcp_roundtrip "$EMU_UNTRUSTED_IP" "$DRIVE_PORT" "ping from outside") || emu_die "no TCP round trip through the forward"
emu_assert "traffic from outside reaches the component through the forward" test "$answer" = "component got: ping from outside"

# The same file again: the spool file is renewed, the model is unchanged.
inode=$(emu_spool_inode "$DRIVE_SPOOL_NAME")
emu_announce "$DRIVE_FILE" || emu_die "mgm-announce failed"
emu_expect "the spool file is renewed" eval '[ "$(emu_spool_inode "$DRIVE_SPOOL_NAME")" != "$inode" ]'
emu_cycles 3
emu_assert "the same file again sends no second request" test "$(emu_registry_count)" = 1
emu_assert "and adds no rule" test "$(emu_iot_rule_count)" = 2
emu_assert "the external port stays" test "$(emu_external_port "$EMU_COMPONENT_IP:4840")" = "$DRIVE_PORT"
e2e_pass "announce, forward, register, traffic, no repeat"
