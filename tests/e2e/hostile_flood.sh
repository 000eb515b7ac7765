#!/bin/bash
# A flood: four component processes send 10,000 datagrams of the hostile
# corpus at full speed while the outside client sends 1,000 more. The
# receiver keeps spooling, the drops from outside are reported once, no
# command runs, no file is made or removed outside the spool, and the daemon
# settles to exactly the legitimate services and exits cleanly.
. "$(dirname "$0")/common.sh"
e2e_hostile_up
set -- "$CORPUS"/formed/* "$CORPUS"/broken/*
read -r queued_before lost_before < <(emu_udp_counters)
start=$SECONDS
for sender in 1 2 3 4; do emu_send_datagrams --window 1000000 2500 "$@" >"$EMU_STATE/work/sent.$sender" & done
emu_send_datagrams --window 1000000 --outside 1000 "$CORPUS"/formed/* >"$EMU_STATE/work/sent.outside" &
senders_done() { local file; for file in "$EMU_STATE"/work/sent.{1,2,3,4,outside}; do [ -s "$file" ] || return 1; done; }
EMU_TIMEOUT=120 emu_expect "the senders finish" senders_done
emu_send_datagrams --pace 1 "$ODD_FILE" >/dev/null
EMU_TIMEOUT=120 emu_expect "the receiver works through the flood and spools the next file" emu_spool_has "$ODD_SPOOL_NAME"
seconds=$((SECONDS - start))
read -r queued lost < <(emu_udp_counters)
emu_assert "the daemon is still running" emu_daemon_alive
reports=$(grep -c "from outside the Trusted zone" "$EMU_STATE/daemon.log")
emu_assert "the outside flood is reported at most once a minute" test "$reports" -ge 1 -a "$reports" -le $((1 + seconds / 60))

e2e_hostile_settle
e2e_hostile_verdict
read -r sent bytes < <(cat "$EMU_STATE"/work/sent.* | awk '{ n += $1; b += $2 } END { print n, b }')
e2e_figures datagrams="$sent" bytes="$bytes" queued=$((queued - queued_before)) kernel_dropped=$((lost - lost_before)) \
  flood_seconds="$seconds" drop_reports="$reports"
e2e_pass "a flood of 11,000 hostile datagrams"
