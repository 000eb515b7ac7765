#!/bin/bash
# Hostile service files from the component: shell payloads in every field,
# names with "..", "/" and blanks, 64 KB datagrams, binary garbage, control
# characters and NUL in names. No command runs, no file is made or removed
# outside the spool, the chain ends with exactly the legitimate forwards, and
# the daemon keeps answering and exits cleanly.
. "$(dirname "$0")/common.sh"
e2e_hostile_up

# Well-formed files first: their values reach the model, the NAT commands
# and the upload. Paced, so the receiver takes every one.
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

# Then what cannot be read or named: after it, the receiver still spools.
set -- "$CORPUS"/broken/*
read -r broken broken_bytes < <(emu_send_datagrams --pace $# "$@")
inode=$(emu_spool_inode "$ODD_SPOOL_NAME")
emu_send_datagrams --pace 1 "$ODD_FILE" >/dev/null
emu_expect "the receiver still spools after the broken files" eval '[ "$(emu_spool_inode "$ODD_SPOOL_NAME")" != "$inode" ]'
emu_cycles 3
emu_assert "names leaving the spool were refused" emu_daemon_log_has "Error while renaming incoming service file"
emu_assert "the daemon is still running" emu_daemon_alive

e2e_hostile_settle
e2e_hostile_verdict
e2e_figures datagrams=$((sent + broken)) bytes=$((bytes + broken_bytes)) \
  refused="$(grep -c "Error while renaming incoming service file" "$EMU_STATE/daemon.log")" \
  unreadable="$(grep -c "Error while trying to pares" "$EMU_STATE/daemon.log")" uploads="$(emu_registry_count)"
e2e_pass "hostile fields, names, sizes and garbage"
