#!/bin/bash
# A component service file that is not renewed within 1200 s is deleted and
# its service withdrawn: forward gone, registry told.
. "$(dirname "$0")/common.sh"
e2e_up
emu_start_running
e2e_publish_drive

emu_assert "the spool holds the Drive file" emu_spool_has "$DRIVE_SPOOL_NAME"
emu_age_file "$DRIVE_SPOOL_NAME" 1300
emu_expect --nudge "the aged file is deleted" eval '! emu_spool_has "$DRIVE_SPOOL_NAME"'
emu_expect --nudge "its forward is withdrawn" eval '[ -z "$(emu_external_port "$EMU_COMPONENT_IP:4840")" ]'
emu_expect --nudge "the registry receives the withdrawal" emu_registry_has_count 2
emu_assert "the daemon logged the deletion" emu_daemon_log_has "File: $DRIVE_SPOOL_NAME is older then 1200. Delete."
emu_assert "the withdrawal no longer lists Press4/Drive" \
  eval '! emu_registry_xpath 2 "ComponentList/Component@ComponentID" | grep -qx Press4/Drive'
emu_assert "the gateway's own service stays published" \
  eval 'emu_registry_xpath 2 "ComponentList/Component@ComponentID" | grep -qx Press4/Tarn'
emu_assert "its forward stays" test -n "$(emu_external_port "$ONLINE_CHECK_TARGET")"
emu_assert "one rule left" test "$(emu_iot_rule_count)" = 1
e2e_pass "ageing out withdraws the service"
