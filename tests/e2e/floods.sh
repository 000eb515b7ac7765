#!/bin/bash
# Floods and lifecycle gaps on one gateway: a start after a stop, a reset
# into idle mode, and a tiny spool flooded with new names.
. "$(dirname "$0")/common.sh"
W=$EMU_STATE/work
e2e_up && emu_start_daemon && emu_start_running
# endpoints FIRST COUNT: COUNT endpoints of the component from port FIRST on.
endpoints() { for ((e = $1; e < $1 + $2; e++)); do echo "svc$e:TCP:1:$EMU_COMPONENT_IP:$e"; done; }

# (The endpoint limit reached from one host is e2e.loop's.)
e2e_stop

# ---- a start after a stop hears the components again
emu_start_running && e2e_publish_drive

# ---- a reset into idle mode leaves no forward, and none after a stop
# Idle mode runs no stop phase: a forward the reset left would still be there.
emu_vpn_check 1 && e2e_reset && requests=$(emu_registry_count)
emu_start_running && e2e_announce "$DRIVE_FILE" && emu_cycles 3 && e2e_stop
emu_assert "idle mode was logged; after an idle start and stop no forward, nothing spooled or posted, the chain kept" eval \
  'emu_daemon_log_has "Tarn is not able to use IoT -> switch to idle mode" &&
  [ "$(emu_iot_rule_count) $(emu_registry_count) $(ls -A "$EMU_SPOOL")" = "0 $requests " ] && iptables -t nat -S IOT'

# ---- a spool of 256 KB and 64 inodes flooded with 400 new names
# That a request cut by a full spool is never posted is the cycle's unit test.
emu_vpn_check 0 && mount -t tmpfs -o size=256k,nr_inodes=64,mode=0755 mgm-emu-tiny "$EMU_SPOOL"
e2e_reset && emu_start_running && e2e_publish_drive
mkdir "$W/flood" && for i in $(seq 400); do
  emu_service_file "$W/flood/$i.xml" "Press4/Flood$i" s $(endpoints 20000 8)
  printf '%*s' $((3000 - $(stat -c %s "$W/flood/$i.xml"))) "" >>"$W/flood/$i.xml"
done
emu_send_datagrams --pace 400 "$W"/flood/*.xml >/dev/null && emu_cycles 3
emu_assert "the shortage or the limit was reported, the Drive keeps its forward" eval '{ emu_daemon_log_has \
  "out of descriptors" || emu_daemon_log_has "Spool holds its limit"; } && emu_external_port "$EMU_COMPONENT_IP:4840"'
e2e_exit_cleanly && e2e_pass "start after stop, idle reset, tiny spool flood"
