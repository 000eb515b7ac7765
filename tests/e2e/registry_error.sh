#!/bin/bash
# The registry refuses the request with 500: the answer is logged and the
# request stays pending; once the registry accepts again it is delivered and
# not repeated; the daemon answers a stop throughout.
. "$(dirname "$0")/common.sh"
e2e_up
emu_registry_answer 500
emu_start_running
e2e_publish_drive
emu_expect "the daemon logs the registry's answer" emu_daemon_log_has "doSend responded with: 500"
emu_assert "and that the registry did not accept the request" \
  emu_daemon_log_has "Registry did not accept the MachineComponentServices file"
emu_assert "the forward stays in place" emu_external_port "$EMU_COMPONENT_IP:4840"

emu_registry_answer 200
emu_expect --nudge "the pending request is delivered once the registry accepts" \
  emu_daemon_log_has "doSend responded with: 200"
delivered=$(emu_registry_count)
emu_assert "the delivered request lists the Drive" \
  eval 'emu_registry_xpath -1 "ComponentList/Component@ComponentID" | grep -qx Press4/Drive'
emu_cycles 3
emu_assert "a delivered request is not repeated" test "$(emu_registry_count)" = "$delivered"

emu_registry_answer 500
ready_before=$(emu_status_count 1)
emu_assert "the stop request is accepted" emu_ctl stop
emu_expect "the daemon reports Ready after the stop" emu_status_seen 1 $((ready_before + 1))
emu_assert "the withdrawal was posted" test "$(emu_registry_count)" -gt "$delivered"
emu_assert "with an empty ComponentList" test -z "$(emu_registry_xpath -1 ComponentList/Component@ComponentID)"
emu_assert "the forwards are gone" test "$(emu_iot_rule_count)" = 0
e2e_pass "a refusing registry does not stop the daemon"
