#!/bin/bash
# Lifecycle gaps on one gateway: a start after a stop and a reset into idle
# mode. A spool that runs out of room or descriptors, or holds its limit of
# files, is the receiver's and the spool's unit tests'.
. "$(dirname "$0")/common.sh"
e2e_up && emu_start_daemon && emu_start_running

# (The endpoint limit reached from one host is e2e.loop's.)
e2e_stop

# ---- a start after a stop hears the components again
emu_start_running && e2e_publish_drive

# ---- a reset into idle mode leaves no forward, and none after a stop
# Idle mode runs no stop phase: a forward the reset left would still be there.
# The created phase wipes the spool; then no receiver and no cycle run.
emu_vpn_check 1 && e2e_reset && requests=$(emu_registry_count)
emu_start_running && e2e_announce "$DRIVE_FILE" && emu_cycles 3 && e2e_stop
emu_assert "idle mode was logged; after an idle start and stop no forward, nothing spooled or posted, the chain kept" eval \
  'emu_daemon_log_has "Tarn is not able to use IoT -> switch to idle mode" &&
  [ "$(emu_iot_rule_count) $(emu_registry_count) $(ls -A "$EMU_SPOOL")" = "0 $requests " ] && iptables -t nat -S IOT'

e2e_exit_cleanly && e2e_pass "start after stop, idle reset"
