#!/bin/bash
# Hostile senders: datagrams from outside the Trusted zone, shell payloads in
# every field, names leaving the spool or starting with a dot, 64 KB and
# garbage, a flood of all of it. No command runs, no file is made, removed or
# written outside the spool, the daemon ends with exactly the legitimate
# services in the chain and at the registry, and stops cleanly. A spool or
# link planted by a local user is spool_races.sh's and the spool's unit
# test's; a character reference in an id and a glob prefix are the reader's
# and the upload's unit tests'.
. "$(dirname "$0")/common.sh"
. "$EMU_LIB_DIR/hostile.sh"
W=$EMU_STATE/work
# A legitimate service whose names are full of shell metacharacters; its
# spool name is cut from the raw line, entities and all.
ODD_FILE=$W/odd.xml
ODD_COMPONENT="Press4/Odd \$(touch canary);\`touch canary\` *'"
ODD_ENDPOINT="odd:TCP:1:$EMU_COMPONENT_IP:4841"
ODD_SPOOL_NAME="Odd \$(touch canary);\`touch canary\` *'_svc *;|&amp;&amp;.xml"

# rules_are ENDPOINT...: the chain holds exactly one forward per given
# (untrusted, TCP) endpoint and the gateway's online check, on distinct ports.
rules_are() {
  local endpoint expected="Trusted $ONLINE_CHECK_TARGET"
  for endpoint in "$@"; do IFS=: read -r _ _ _ host port <<<"$endpoint" && expected+=$'\n'"Untrusted $host:$port"; done
  [ "$(emu_iot_rules | sed 's/^-A IOT -i \([A-Za-z]*\) -p tcp -m tcp --dport [0-9]* -j DNAT --to-destination /\1 /' |
    LC_ALL=C sort)" = "$(LC_ALL=C sort <<<"$expected")" ] && [ -z "$(rule_ports | uniq -d)" ]
}
rule_ports() { emu_iot_rules | sed -n 's/.*--dport \([0-9]*\).*/\1/p' | sort -n; }
# registry_agrees COMPONENT_ID...: the last request lists exactly these
# components and the gateway's own, on the external ports of the chain.
registry_agrees() { [ "$(emu_registry_xpath -1 ComponentList/Component@ComponentID | sort)" = "$(printf '%s\n' "$@" Press4/Tarn |
  sort)" ] && [ "$(emu_registry_xpath -1 ComponentList/Component/ServiceList/Service/ServiceEndpoint | cut -d: -f5 | cut -d/ -f1 | sort -n)" = "$(rule_ports)" ]; }

# ---- the Drive, before the hostile traffic
emu_private_tmp && e2e_up
emu_service_file "$ODD_FILE" "$ODD_COMPONENT" "svc *;|&amp;&amp;" "$ODD_ENDPOINT"
emu_service_file "$W/intruder.xml" Press4/Intruder opcua "opcua:TCP:1:$EMU_COMPONENT_IP:4850"
emu_start_daemon && emu_start_running && e2e_publish_drive
CORPUS=$W/corpus && emu_hostile_corpus "$CORPUS" && emu_fs_snapshot >"$W/before"

# ---- from outside the Trusted zone
read -r queued_before _ < <(emu_udp_counters)
for ip in "$EMU_UNTRUSTED_IP" "$EMU_TRUSTED_IP"; do emu_outside "$EMU_ANNOUNCE" "$W/intruder.xml" "$ip" >/dev/null; done
# The receiver takes datagrams in order: once the component's next file is
# spooled, both of the outside client's have been handled.
e2e_respooled "$DRIVE_SPOOL_NAME" emu_announce "$DRIVE_FILE"
emu_assert "the drop is logged with the sender and the interface" grep -qE \
  "Dropped 1 datagram\(s\) from outside the Trusted zone; latest from $EMU_OUTSIDE_IP:[0-9]+ on interface Untrusted$" "$EMU_STATE/daemon.log"
read -r queued _ < <(emu_udp_counters) && emu_assert "all three reached the receiver's socket, neither outside one was spooled" \
  eval '[ $((queued - queued_before)) = 3 ] && ! emu_spool_has Intruder_opcua.xml'

# ---- hostile fields and names, broken datagrams
# Well-formed files: their values reach the model, the NAT commands and the
# upload. Paced, so the receiver takes every one.
# That values reach the model unchanged is the reader's unit test and, for
# the Odd's shell metacharacters, the check of the registry afterwards.
read -r sent bytes < <(emu_send_datagrams --pace "$(ls "$CORPUS/formed" | wc -l)" "$CORPUS"/formed/*)
read -r broken broken_bytes < <(emu_send_datagrams --pace "$(ls "$CORPUS/broken" | wc -l)" "$CORPUS"/broken/*)
e2e_respooled "$ODD_SPOOL_NAME" emu_send_datagrams --pace 1 "$ODD_FILE"
e2e_figures input datagrams=$((sent + broken)) bytes=$((bytes + broken_bytes)) \
  refused="$(grep -c "Error while renaming incoming service file" "$EMU_STATE/daemon.log")" \
  unreadable="$(grep -c "Error while trying to pares" "$EMU_STATE/daemon.log")"

# ---- a flood: four components and the outside client at full speed
set -- "$CORPUS"/formed/* "$CORPUS"/broken/*
read -r queued_before lost_before < <(emu_udp_counters) && start=$SECONDS
for sender in 1 2 3 4; do emu_send_datagrams --window 1000000 2500 "$@" >"$W/sent.$sender" & done
emu_send_datagrams --window 1000000 --outside 1000 "$CORPUS"/formed/* >"$W/sent.outside" &
EMU_TIMEOUT=120 emu_expect "the senders finish" eval '[ "$(cat "$W"/sent.* | grep -c .)" = 5 ]'
EMU_TIMEOUT=120 e2e_respooled "$ODD_SPOOL_NAME" emu_send_datagrams --pace 1 "$ODD_FILE"
seconds=$((SECONDS - start)) && read -r queued lost < <(emu_udp_counters)
reports=$(grep -c "from outside the Trusted zone" "$EMU_STATE/daemon.log")
read -r sent bytes < <(cat "$W"/sent.* | awk '{ n += $1; b += $2 } END { print n, b }')
e2e_figures flood datagrams="$sent" bytes="$bytes" queued=$((queued - queued_before)) \
  kernel_dropped=$((lost - lost_before)) flood_seconds="$seconds" drop_reports="$reports"

# ---- afterwards
# Every other spool file aged past the limit: the cleanup deletes each (its
# name goes to rm) and the daemon is back to exactly the Drive and the Odd.
find "$EMU_SPOOL" -mindepth 1 ! -name "$DRIVE_SPOOL_NAME" ! -name "$ODD_SPOOL_NAME" -exec touch -d "@$(($(date +%s) - 1300))" -- {} +
emu_expect --nudge "the cleanup deletes every aged file, whatever its name" eval '[ "$(ls -A "$EMU_SPOOL" | LC_ALL=C sort)" = \
  "$(printf "%s\n" "$DRIVE_SPOOL_NAME" "$ODD_SPOOL_NAME" incomming_client_file.xml RegisterMachineServices.xml | LC_ALL=C sort)" ]'
emu_expect --nudge "the chain and the registry's last request hold exactly the legitimate forwards" \
  eval 'rules_are "$DRIVE_ENDPOINT" "$ODD_ENDPOINT" && registry_agrees Press4/Drive "$ODD_COMPONENT"'
emu_assert "no injected command ran (no canary at $EMU_CANARIES)" emu_no_canary
emu_assert "no file outside the spool was made or removed" eval 'emu_fs_snapshot >"$W/after" && diff "$W/before" "$W/after"'
e2e_stop && emu_assert "after the stop the IOT chain is empty" test "$(emu_iot_rule_count)" = 0
e2e_exit_cleanly && e2e_pass "hostile senders, fields, names, sizes, garbage and a flood"
