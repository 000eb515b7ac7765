#!/bin/bash
# Hostile datagrams: from outside the Trusted zone, shell payloads in every
# field, names leaving the spool, 64 KB and garbage, then a flood of all of
# it. No command runs, no file is made or removed outside the spool, the
# daemon ends with exactly the legitimate services in the chain and at the
# registry, answers and exits cleanly.
. "$(dirname "$0")/common.sh"

# A legitimate service whose names are full of shell metacharacters; its
# spool name is cut from the raw line, entities and all.
ODD_FILE=$EMU_STATE/work/odd.xml
ODD_COMPONENT="Press4/Odd \$(touch canary);\`touch canary\` *'"
ODD_ENDPOINT="odd:TCP:1:$EMU_COMPONENT_IP:4841"
ODD_SPOOL_NAME="Odd \$(touch canary);\`touch canary\` *'_svc *;|&amp;&amp;.xml"
INTRUDER_ENDPOINT="opcua:TCP:1:$EMU_COMPONENT_IP:4850"
CORPUS=$EMU_STATE/work/corpus

# rules_are ENDPOINT...: the chain holds exactly one forward per given
# (untrusted, TCP) endpoint and the gateway's online check, on distinct
# external ports.
rules_are() {
  local endpoint field expected
  expected=$(
    for endpoint in "$@"; do
      IFS=: read -r -a field <<<"$endpoint"
      echo "-A IOT -i Untrusted -p tcp -m tcp --dport N -j DNAT --to-destination ${field[3]}:${field[4]}"
    done
    echo "-A IOT -i Trusted -p tcp -m tcp --dport N -j DNAT --to-destination $ONLINE_CHECK_TARGET"
  )
  [ "$(emu_iot_rules | sed 's/--dport [0-9]*/--dport N/' | LC_ALL=C sort)" = "$(LC_ALL=C sort <<<"$expected")" ] &&
    [ -z "$(rule_ports | uniq -d)" ]
}
rule_ports() { emu_iot_rules | sed -n 's/.*--dport \([0-9]*\).*/\1/p' | sort -n; }

# registry_agrees COMPONENT_ID...: the last request lists exactly these
# components and the gateway's own, on the external ports of the chain.
registry_agrees() {
  [ "$(emu_registry_xpath -1 ComponentList/Component@ComponentID | sort)" = "$(printf '%s\n' "$@" Press4/Tarn | sort)" ] &&
    [ "$(emu_registry_xpath -1 ComponentList/Component/ServiceList/Service/ServiceEndpoint |
      sed -n 's/^[^:]*:[^:]*:[^:]*:[^:]*:\([0-9]*\).*/\1/p' | sort -n)" = "$(rule_ports)" ]
}

# spool_is_legit: the spool holds the Drive's and the Odd's files, the
# temporary file and the registry request, nothing else.
spool_is_legit() {
  [ "$(find "$EMU_SPOOL" -mindepth 1 -printf '%f\n' | LC_ALL=C sort)" = "$(printf '%s\n' "$DRIVE_SPOOL_NAME" \
    "$ODD_SPOOL_NAME" incomming_client_file.xml RegisterMachineServices.xml | LC_ALL=C sort)" ]
}

# The gateway on a private /tmp with the Drive published; the corpus and the
# snapshot of the gateway's writable trees.
emu_private_tmp
e2e_up
emu_service_file "$ODD_FILE" "$ODD_COMPONENT" "svc *;|&amp;&amp;" "$ODD_ENDPOINT"
emu_service_file "$EMU_STATE/work/intruder.xml" Press4/Intruder opcua "$INTRUDER_ENDPOINT"
emu_start_daemon
emu_start_running
e2e_publish_drive
emu_hostile_corpus "$CORPUS"
emu_fs_snapshot >"$EMU_STATE/work/before"

e2e_section "from outside the Trusted zone"
read -r queued_before _ < <(emu_udp_counters)
emu_outside "$EMU_ANNOUNCE" "$EMU_STATE/work/intruder.xml" "$EMU_UNTRUSTED_IP" >/dev/null || emu_die "mgm-announce failed"
emu_expect "the drop is logged with the sender and the interface" eval \
  'grep -qE "Dropped 1 datagram\(s\) from outside the Trusted zone; latest from $EMU_OUTSIDE_IP:[0-9]+ on interface Untrusted$" "$EMU_STATE/daemon.log"'
emu_outside "$EMU_ANNOUNCE" "$EMU_STATE/work/intruder.xml" "$EMU_TRUSTED_IP" >/dev/null || emu_die "mgm-announce failed"
# The receiver takes datagrams in order: once the component's next file is
# spooled, both of the outside client's have been handled.
inode=$(emu_spool_inode "$DRIVE_SPOOL_NAME")
emu_announce "$DRIVE_FILE" || emu_die "mgm-announce failed"
emu_expect "the component's next file is spooled" eval '[ "$(emu_spool_inode "$DRIVE_SPOOL_NAME")" != "$inode" ]'
emu_assert "neither outside datagram was spooled" eval '! emu_spool_has Intruder_opcua.xml'
read -r queued _ < <(emu_udp_counters)
emu_assert "all three reached the receiver's socket" test $((queued - queued_before)) = 3
emu_cycles 3
emu_assert "nothing of it was forwarded or registered" eval 'rules_are "$DRIVE_ENDPOINT" && registry_agrees Press4/Drive'
emu_announce "$EMU_STATE/work/intruder.xml" || emu_die "mgm-announce failed"
emu_expect "the same file from the component is spooled" emu_spool_has Intruder_opcua.xml
emu_expect --nudge "forwarded and registered" eval \
  'rules_are "$DRIVE_ENDPOINT" "$INTRUDER_ENDPOINT" && registry_agrees Press4/Drive Press4/Intruder'

e2e_section "hostile fields and names"
# Well-formed files: their values reach the model, the NAT commands and the
# upload. Paced, so the receiver takes every one.
set -- "$CORPUS"/formed/*
read -r sent bytes < <(emu_send_datagrams --pace $# "$@")
emu_send_datagrams --pace 1 "$ODD_FILE" >/dev/null
emu_expect "the receiver spools the Odd service" emu_spool_has "$ODD_SPOOL_NAME"
emu_cycles 3
"$EMU_PYTHON" - "$EMU_SPOOL/RegisterMachineServices.xml" "$CORPUS"/formed/payload* <<'PY' || emu_die "a hostile value was lost or changed on its way to the published model"
import re, sys, xml.etree.ElementTree as ET
ids = lambda path: {re.sub(r"[\t\n\r]", " ", c.get("ComponentID")) for c in ET.parse(path).iter("Component")}
missing = set().union(*map(ids, sys.argv[2:])) - ids(sys.argv[1])
sys.exit(sorted(missing) if missing else 0)
PY
echo "ok - every payload's ComponentID reached the published model unchanged"

e2e_section "broken datagrams: unescaped, 64 KB, garbage, control characters"
set -- "$CORPUS"/broken/*
read -r broken broken_bytes < <(emu_send_datagrams --pace $# "$@")
inode=$(emu_spool_inode "$ODD_SPOOL_NAME")
emu_send_datagrams --pace 1 "$ODD_FILE" >/dev/null
emu_expect "the receiver still spools after the broken files" eval '[ "$(emu_spool_inode "$ODD_SPOOL_NAME")" != "$inode" ]'
emu_cycles 3
emu_assert "names leaving the spool were refused" emu_daemon_log_has "Error while renaming incoming service file"
e2e_figures input datagrams=$((sent + broken)) bytes=$((bytes + broken_bytes)) \
  refused="$(grep -c "Error while renaming incoming service file" "$EMU_STATE/daemon.log")" \
  unreadable="$(grep -c "Error while trying to pares" "$EMU_STATE/daemon.log")"

e2e_section "a flood: four components and the outside client at full speed"
set -- "$CORPUS"/formed/* "$CORPUS"/broken/*
read -r queued_before lost_before < <(emu_udp_counters)
start=$SECONDS
for sender in 1 2 3 4; do emu_send_datagrams --window 1000000 2500 "$@" >"$EMU_STATE/work/sent.$sender" & done
emu_send_datagrams --window 1000000 --outside 1000 "$CORPUS"/formed/* >"$EMU_STATE/work/sent.outside" &
senders_done() { local file; for file in "$EMU_STATE"/work/sent.{1,2,3,4,outside}; do [ -s "$file" ] || return 1; done; }
EMU_TIMEOUT=120 emu_expect "the senders finish" senders_done
inode=$(emu_spool_inode "$ODD_SPOOL_NAME")
emu_send_datagrams --pace 1 "$ODD_FILE" >/dev/null
EMU_TIMEOUT=120 emu_expect "the receiver works through the flood and spools the next file" \
  eval '[ "$(emu_spool_inode "$ODD_SPOOL_NAME")" != "$inode" ]'
seconds=$((SECONDS - start))
read -r queued lost < <(emu_udp_counters)
emu_assert "the daemon is still running" emu_daemon_alive
reports=$(grep -c "from outside the Trusted zone" "$EMU_STATE/daemon.log")
emu_assert "drops from outside are reported at most once a minute" test "$reports" -le $((1 + SECONDS / 60))
read -r sent bytes < <(cat "$EMU_STATE"/work/sent.* | awk '{ n += $1; b += $2 } END { print n, b }')
e2e_figures flood datagrams="$sent" bytes="$bytes" queued=$((queued - queued_before)) \
  kernel_dropped=$((lost - lost_before)) flood_seconds="$seconds" drop_reports="$reports"

e2e_section "afterwards"
# Every other spool file aged past the limit: the cleanup deletes each (its
# name goes to rm) and the daemon is back to exactly the Drive and the Odd.
old=$(($(date +%s) - 1300))
while IFS= read -r -d '' path; do
  case "${path##*/}" in "$DRIVE_SPOOL_NAME" | "$ODD_SPOOL_NAME") ;; *) touch -d "@$old" -- "$path" ;; esac
done < <(find "$EMU_SPOOL" -mindepth 1 -print0)
emu_expect --nudge "the cleanup deletes every aged file, whatever its name" spool_is_legit
emu_expect --nudge "the chain holds exactly the legitimate forwards" rules_are "$DRIVE_ENDPOINT" "$ODD_ENDPOINT"
emu_expect --nudge "the registry's last request lists them on the chain's ports" \
  registry_agrees Press4/Drive "$ODD_COMPONENT"
emu_assert "no injected command ran (no canary at $EMU_CANARIES)" emu_no_canary
emu_fs_snapshot >"$EMU_STATE/work/after"
diff "$EMU_STATE/work/before" "$EMU_STATE/work/after" >&2 || emu_die "files were made or removed outside the spool"
echo "ok - no file outside the spool was made or removed"
emu_assert "the daemon answers a status request" emu_ctl status
e2e_exit_cleanly
e2e_pass "hostile senders, fields, names, sizes, garbage and a flood"
