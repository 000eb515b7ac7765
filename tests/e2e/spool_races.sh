#!/bin/bash
# A local user against the spool and the port: a spool planted by nobody
# before the start under a parent without the sticky bit (refused: nothing
# touched, no receiver, yet the port is the daemon's) and then with it (moved aside under a name nobody
# planted); nobody swapping the running spool for a link to a root-only
# directory for 20 s of cycles (nothing there removed or written); nobody
# trying to take UDP 5600 between a stop and a start. A datagram over 4,096
# bytes and one ending in a NUL are the receiver's and the reader's unit
# tests'.
. "$(dirname "$0")/common.sh"
command -v setpriv >/dev/null || emu_skip "setpriv is not installed"
W=$EMU_STATE/work
PARENT=$(dirname "$EMU_SPOOL")
ROOT_ONLY=/var/volatile/rootonly

refusals() { grep -c "ERROR.*Spool directory $EMU_SPOOL/ refused: its parent $PARENT is writable by others" "$EMU_STATE/daemon.log"; }
# tree_state DIR: path, type, mode, owner, size, time and content of everything under DIR.
tree_state() { find "$1" -printf '%p %y %m %u %s %T@\n' -type f -exec md5sum {} + | LC_ALL=C sort; }

# as_nobody SCRIPT ARGS...: runs the python SCRIPT as nobody.
as_nobody() { e2e_nobody "$EMU_PYTHON" -c "$@"; }
# Swaps the spool (argv 1) for a link to argv 2 and back for 20 s; prints the number of swaps.
RACE='import os, sys, time
spool, target, end, swaps = sys.argv[1], sys.argv[2], time.time() + 20, 0
while time.time() < end:
    try: os.rename(spool, spool + ".away"); os.symlink(target, spool); swaps += 1; os.unlink(spool); os.rename(spool + ".away", spool)
    except OSError: pass
print(swaps)'
# Prints how many ways of binding UDP 5600 (any or argv 1's address, plain, SO_REUSEADDR, SO_REUSEPORT) succeed.
BIND='import itertools, socket, sys
def bind(host, option):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if option: s.setsockopt(socket.SOL_SOCKET, option, 1)
    try: return s.bind((host, 5600)) or 1
    except OSError: return 0
print(sum(bind(*c) for c in itertools.product(("0.0.0.0", sys.argv[1]), (0, socket.SO_REUSEADDR, socket.SO_REUSEPORT))))'

# ---- a spool planted before the start under a parent without the sticky bit
e2e_up && echo secret >"$W/secret" && chmod 600 "$W/secret" && rm -r "$EMU_SPOOL" && chmod 777 "$PARENT"
e2e_nobody mkdir -m 777 "$EMU_SPOOL" && e2e_nobody ln -s "$W/secret" "$EMU_SPOOL/incomming_client_file.xml" || emu_die "planting failed"
# Every name aside of the form spool.untrusted.<seconds> for the next minute
# is taken by a directory of nobody's that is not empty.
now=$(date +%s) && for ((t = now; t < now + 60; t++)); do e2e_nobody mkdir -p "$EMU_SPOOL.untrusted.$t/x"; done
tree_state "$EMU_SPOOL" >"$W/planted"
emu_start_daemon && emu_start_running && e2e_announce "$DRIVE_FILE" && emu_cycles 5
emu_assert "the spool is refused once at level 3, left as planted, the port held all the same, nothing forwarded" eval \
  '[ "$(refusals)" = 1 ] && tree_state "$EMU_SPOOL" | diff "$W/planted" - && [ "$(cat "$W/secret")" = secret ] &&
  [ "$(as_nobody "$BIND" "$EMU_TRUSTED_IP")" = 0 ] && [ "$(emu_iot_rule_count)" = 0 ] && emu_daemon_alive'

# ---- the same spool under a parent with the sticky bit
chmod 1777 "$PARENT" && e2e_reset
aside=$(sed -n "s|.*Spool directory $EMU_SPOOL was no private directory of the daemon (.*): moved aside to \(.*\)$|\1|p" "$EMU_STATE/daemon.log")
emu_assert "nobody's spool was moved aside under a name nobody planted, as the log says; the linked file is unchanged" eval \
  '[[ "$aside" =~ ^$EMU_SPOOL\.untrusted\.[0-9a-f]{16}$ ]] && [ -L "$aside/incomming_client_file.xml" ] &&
  [ "$(stat -c %u "$aside")" = 65534 ] && [ "$(cat "$W/secret")" = secret ]'
# That the new spool is the daemon's own, written by no one else, is the spool's unit test.
# The Drive's datagram of the refused start waited in the kept socket and may
# be forwarded by the start's first cycle: count the requests before it.
requests=$(emu_registry_count) && emu_start_running && e2e_publish_drive "$requests"
emu_assert "the spool is said to be fit again" emu_daemon_log_has "Spool directory $EMU_SPOOL/ is fit for use again"

# ---- nobody swaps the running spool for a link to a root-only directory
# The directory holds an aged file and files named like the daemon's own.
mkdir -m 700 "$ROOT_ONLY" && for f in aged.xml incomming_client_file.xml RegisterMachineServices.xml; do echo "root's" >"$ROOT_ONLY/$f"; done
touch -d "@$(($(date +%s) - 2000))" "$ROOT_ONLY"/*
tree_state "$ROOT_ONLY" >"$W/root_only" && chmod 777 "$PARENT" && before=$(refusals)
as_nobody "$RACE" "$EMU_SPOOL" "$ROOT_ONLY" >"$W/swaps" &
race=$! deliveries=0 # cycles and deliveries all the while
while kill -0 "$race" 2>/dev/null; do e2e_announce "$DRIVE_FILE" && emu_cycles 2 && deliveries=$((deliveries + 1)); done
emu_assert "nobody swapped the spool for a link, nothing in the root-only directory changed, the daemon lives" eval \
  '[ "$(cat "$W/swaps")" -gt 0 ] && tree_state "$ROOT_ONLY" | diff "$W/root_only" - && emu_daemon_alive'
emu_assert "the refusal was said once, the Drive's forward stays" eval \
  '[ "$(refusals)" = $((before + 1)) ] && [ "$(emu_external_port "$EMU_COMPONENT_IP:4840")" = "$DRIVE_PORT" ]'
e2e_figures spool_race seconds=20 swaps="$(cat "$W/swaps")" deliveries="$deliveries" cycles=$((2 * deliveries))
chmod 755 "$PARENT" && e2e_respooled "$DRIVE_SPOOL_NAME" emu_announce "$DRIVE_FILE"

# ---- nobody tries to take the port between a stop and a start
e2e_stop
emu_assert "nobody cannot bind UDP 5600 while the daemon is stopped" test "$(as_nobody "$BIND" "$EMU_TRUSTED_IP")" = 0
emu_start_running && e2e_publish_drive && emu_assert "the daemon lives" emu_daemon_alive
e2e_exit_cleanly && e2e_pass "a planted and a raced spool, the port between stop and start"
