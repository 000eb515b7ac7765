#!/bin/bash
# A local user against the spool and the port, and senders at the edges of a
# datagram: a spool planted by nobody before the start under a parent without
# the sticky bit (refused: nothing touched, no receiver) and then with it
# (moved aside under a name nobody planted); nobody swapping the running
# spool for a link to a root-only directory for 20 s of cycles (nothing
# there removed or written); nobody trying to take UDP 5600 between a stop
# and a start; a 5,000-byte datagram after a good one; a datagram ending in
# a NUL.
. "$(dirname "$0")/common.sh"
command -v setpriv >/dev/null || emu_skip "setpriv is not installed"
W=$EMU_STATE/work
PARENT=$(dirname "$EMU_SPOOL")
ROOT_ONLY=/var/volatile/rootonly

# port_bound: a socket of the gateway is bound to UDP 5600.
port_bound() { awk '$2 ~ /:15E0$/ { found = 1 } END { exit !found }' /proc/net/udp; }
# refusals: how often the daemon said the spool was refused for its parent.
refusals() { grep -c "ERROR.*Spool directory $EMU_SPOOL/ refused: its parent $PARENT is writable by others" "$EMU_STATE/daemon.log"; }
# tree_state DIR: path, type, mode, owner, size, time and content hash of
# everything under DIR.
tree_state() { find "$1" -printf '%p %y %m %u %s %T@\n' | LC_ALL=C sort && find "$1" -type f -exec md5sum {} + | LC_ALL=C sort; }

# nobody_race SECONDS TARGET: as nobody, swaps the spool for a link to
# TARGET and back as fast as it can; prints the number of swaps.
nobody_race() {
  emu_nobody "$EMU_PYTHON" - "$EMU_SPOOL" "$2" "$1" <<'EOF'
import os, sys, time
spool, target, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
away, swaps, end = spool + ".away", 0, time.time() + seconds
while time.time() < end:
    try:
        os.rename(spool, away)
        try:
            os.symlink(target, spool)
            swaps += 1
            os.unlink(spool)
        finally:
            os.rename(away, spool)
    except OSError:
        pass
print(swaps)
EOF
}

# nobody_binds ADDRESS OPTION: as nobody, binds a UDP socket to ADDRESS:5600
# with the socket option OPTION (none, SO_REUSEADDR or SO_REUSEPORT).
nobody_binds() {
  emu_nobody "$EMU_PYTHON" - "$1" "$2" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
if sys.argv[2] != "none":
    s.setsockopt(socket.SOL_SOCKET, getattr(socket, sys.argv[2]), 1)
s.bind((sys.argv[1], 5600))
EOF
}

# ---- a spool planted before the start under a parent without the sticky bit
e2e_up && echo secret >"$W/secret" && chmod 600 "$W/secret" && rm -r "$EMU_SPOOL" && chmod 777 "$PARENT"
emu_nobody mkdir -m 777 "$EMU_SPOOL" && emu_nobody ln -s "$W/secret" "$EMU_SPOOL/incomming_client_file.xml" || emu_die "planting failed"
# Every name aside of the form spool.untrusted.<seconds> for the next minute
# is taken by a directory of nobody's that is not empty.
now=$(date +%s) && for ((t = now; t < now + 60; t++)); do emu_nobody mkdir -p "$EMU_SPOOL.untrusted.$t/x"; done
tree_state "$EMU_SPOOL" >"$W/planted"
emu_start_daemon && emu_start_running && e2e_announce "$DRIVE_FILE" && emu_cycles 5
emu_assert "the spool is refused once at level 3, left as planted, no receiver holds the port, nothing forwarded" eval \
  '[ "$(refusals)" = 1 ] && tree_state "$EMU_SPOOL" | diff "$W/planted" - && [ "$(cat "$W/secret")" = secret ] &&
  ! port_bound && [ "$(emu_iot_rule_count)" = 0 ] && emu_daemon_alive'

# ---- the same spool under a parent with the sticky bit
chmod 1777 "$PARENT" && e2e_reset
aside=$(sed -n "s|.*Spool directory $EMU_SPOOL was no private directory of the daemon (.*): moved aside to \(.*\)$|\1|p" "$EMU_STATE/daemon.log")
emu_assert "nobody's spool was moved aside under a name nobody planted, as the log says; the linked file is unchanged" eval \
  '[[ "$aside" =~ ^$EMU_SPOOL\.untrusted\.[0-9a-f]{16}$ ]] && [ -L "$aside/incomming_client_file.xml" ] &&
  [ "$(stat -c %u "$aside")" = 65534 ] && [ "$(cat "$W/secret")" = secret ]'
emu_assert "the spool is root's own" test "$(stat -c '%u %a' "$EMU_SPOOL")" = "0 755"
emu_start_running && e2e_publish_drive
emu_assert "the spool is said to be fit again" emu_daemon_log_has "Spool directory $EMU_SPOOL/ is fit for use again"

# ---- nobody swaps the running spool for a link to a root-only directory
# The directory holds an aged file and files named like the daemon's own.
mkdir -m 700 "$ROOT_ONLY" && for f in aged.xml incomming_client_file.xml RegisterMachineServices.xml; do
  echo "root's" >"$ROOT_ONLY/$f" && touch -d "@$(($(date +%s) - 2000))" "$ROOT_ONLY/$f"
done
tree_state "$ROOT_ONLY" >"$W/root_only" && chmod 777 "$PARENT" && before=$(refusals)
nobody_race 20 "$ROOT_ONLY" >"$W/swaps" &
race=$!
# Cycles and deliveries all the while.
deliveries=0 && while kill -0 "$race" 2>/dev/null; do
  e2e_announce "$DRIVE_FILE" && emu_cycles 2 && deliveries=$((deliveries + 1)) && sleep 0.2
done
wait "$race" || emu_die "the race failed"
emu_assert "nobody swapped the spool for a link, nothing in the root-only directory changed, the daemon lives" eval \
  '[ "$(cat "$W/swaps")" -gt 0 ] && tree_state "$ROOT_ONLY" | diff "$W/root_only" - && emu_daemon_alive'
emu_assert "the refusal was said once, the Drive's forward stays" eval \
  '[ "$(refusals)" = $((before + 1)) ] && [ "$(emu_external_port "$EMU_COMPONENT_IP:4840")" = "$DRIVE_PORT" ]'
e2e_figures spool_race seconds=20 swaps="$(cat "$W/swaps")" deliveries="$deliveries" cycles=$((2 * deliveries))
chmod 755 "$PARENT" && e2e_respooled "$DRIVE_SPOOL_NAME" emu_announce "$DRIVE_FILE"

# ---- nobody tries to take the port between a stop and a start
e2e_stop
for bind in "0.0.0.0 none" "$EMU_TRUSTED_IP none" "0.0.0.0 SO_REUSEADDR" "$EMU_TRUSTED_IP SO_REUSEPORT"; do
  ! nobody_binds $bind 2>/dev/null || emu_die "nobody bound UDP 5600 ($bind) while the daemon was stopped"
done
echo "ok - nobody cannot bind UDP 5600 while the daemon is stopped"
emu_start_running && e2e_publish_drive && emu_assert "the daemon lives" emu_daemon_alive

# ---- a 5,000-byte datagram after a good one
BIG=$W/big.xml && cp "$DRIVE_FILE" "$BIG" && printf '<!--%*s-->' $((5000 - 7 - $(stat -c %s "$DRIVE_FILE"))) "" >>"$BIG"
e2e_respooled "$DRIVE_SPOOL_NAME" emu_announce "$DRIVE_FILE" && inode=$(emu_spool_inode "$DRIVE_SPOOL_NAME")
emu_send_datagrams --pace 1 "$BIG" >/dev/null && emu_cycles 3
emu_assert "the big datagram is dropped with a level-3 line, the good file and the Drive's forward stay" eval \
  'grep -q "ERROR.*dropped 1 datagram(s) longer than 4096 bytes; latest 5000 bytes from $EMU_COMPONENT_IP:" "$EMU_STATE/daemon.log" &&
  [ "$(emu_spool_inode "$DRIVE_SPOOL_NAME")" = "$inode" ] && [ "$(emu_external_port "$EMU_COMPONENT_IP:4840")" = "$DRIVE_PORT" ]'

# ---- a datagram that ends in a NUL, as C senders send a string
NUL_FILE=$W/nul.xml && emu_service_file "$NUL_FILE" Press4/Terminated opcua "opcua:TCP:1:$EMU_COMPONENT_IP:4842" && printf '\0' >>"$NUL_FILE"
emu_send_datagrams --pace 1 "$NUL_FILE" >/dev/null
emu_expect --nudge "the NUL-terminated service is forwarded" eval 'port=$(emu_external_port "$EMU_COMPONENT_IP:4842")'
emu_tcp_server 4842
emu_assert "traffic from outside reaches it" test "$(emu_tcp_roundtrip "$EMU_UNTRUSTED_IP" "$port" "hello")" = "component got: hello"
e2e_exit_cleanly && e2e_pass "a planted and a raced spool, the port between stop and start, a big and a NUL-terminated datagram"
