#!/bin/bash
# A service file from the outside client, sent to the gateway's untrusted
# address and, routed through the gateway, to its trusted one: neither is
# spooled, the drop is logged with the sender, and nothing is published.
# The same file from the component is spooled and published.
. "$(dirname "$0")/common.sh"
e2e_up
emu_start_running
e2e_publish_drive
INTRUDER_FILE=$EMU_STATE/work/intruder.xml
emu_service_file "$INTRUDER_FILE" Press4/Intruder opcua "opcua:TCP:1:$EMU_COMPONENT_IP:4850"
bytes=$(stat -c %s "$INTRUDER_FILE")
read -r queued_before _ < <(emu_udp_counters)

emu_outside "$EMU_ANNOUNCE" "$INTRUDER_FILE" "$EMU_UNTRUSTED_IP" 5600 >/dev/null || emu_die "mgm-announce failed"
emu_expect "the drop is logged with the sender and the interface" eval \
  'grep -qE "Dropped 1 datagram\(s\) from outside the Trusted zone; latest from $EMU_OUTSIDE_IP:[0-9]+ on interface Untrusted$" "$EMU_STATE/daemon.log"'
emu_outside "$EMU_ANNOUNCE" "$INTRUDER_FILE" "$EMU_TRUSTED_IP" 5600 >/dev/null || emu_die "mgm-announce failed"
# The receiver takes datagrams in order: once the component's next file is
# spooled, both of the outside client's have been handled.
inode=$(emu_spool_inode "$DRIVE_SPOOL_NAME")
emu_announce "$DRIVE_FILE" || emu_die "mgm-announce failed"
emu_expect "the component's next file is spooled" eval '[ "$(emu_spool_inode "$DRIVE_SPOOL_NAME")" != "$inode" ]'
emu_assert "neither outside datagram was spooled" eval '! emu_spool_has Intruder_opcua.xml'
read -r queued _ < <(emu_udp_counters)
emu_assert "all three reached the receiver's socket" test $((queued - queued_before)) = 3
emu_cycles 3
emu_assert "nothing of it was forwarded" e2e_rules_are "$DRIVE_ENDPOINT"
emu_assert "or registered" e2e_registry_agrees Press4/Drive

emu_announce "$INTRUDER_FILE" || emu_die "mgm-announce failed"
emu_expect "the same file from the component is spooled" emu_spool_has Intruder_opcua.xml
emu_expect --nudge "and forwarded" e2e_rules_are "$DRIVE_ENDPOINT" "opcua:TCP:1:$EMU_COMPONENT_IP:4850"
emu_expect --nudge "and registered" e2e_registry_agrees Press4/Drive Press4/Intruder
e2e_figures datagrams=5 from_outside=2 bytes=$((3 * bytes + 2 * $(stat -c %s "$DRIVE_FILE"))) spooled_from_outside=0
e2e_pass "datagrams from outside the Trusted zone are dropped and reported"
