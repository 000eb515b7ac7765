#!/bin/bash
# A loop that always answers: a stop from root is answered and ends in Ready
# within seconds with the limits filled under 1,000 calls from nobody (pings,
# status requests naming the supervisor, introspection), with a hung iptables
# and with a registry that never answers. The times are printed as figures.
# Nobody's status requests send the supervisor nothing.
. "$(dirname "$0")/common.sh"
command -v setpriv >/dev/null || emu_skip "setpriv is not installed"
W=$EMU_STATE/work
e2e_up && emu_start_daemon && emu_start_running

# stop_figures SECTION: a stop from root; prints the seconds until mgmctl had
# its answer and until the supervisor saw Ready.
stop_figures() {
  local ready_before=$(emu_status_count 1) answered
  e2e_mark && emu_ctl stop >/dev/null && answered=$(e2e_since) || emu_die "mgmctl stop failed"
  emu_expect "the stop ends in Ready" emu_status_seen 1 $((ready_before + 1))
  e2e_figures "$1" stop_answered_s="$answered" ready_s="$(e2e_since)"
}

# calls N: N calls from nobody, without waiting for their answers, four
# senders at once: Peer.Ping, Status naming the supervisor, Introspect.
CALLS=(org.freedesktop.DBus.Peer.Ping "tarn.Lifecycle.Status string:tarn.main string:/tarn/main"
  org.freedesktop.DBus.Introspectable.Introspect)
calls() { for ((i = 0; i < $1; i++)); do echo "${CALLS[i % 3]}"; done |
  e2e_nobody xargs -P4 -L1 dbus-send --system --type=method_call --dest=tarn.mgm /tarn/mgm 2>>"$W/calls.err"; }

# ---- the endpoint limit reached from one host (5 files of 30 endpoints), then
# a stop amid 1,000 calls from nobody
endpoints() { for ((e = $1; e < $1 + $2; e++)); do echo "svc$e:TCP:1:$EMU_COMPONENT_IP:$e"; done; }
for f in 1 2 3 4 5; do emu_service_file "$W/limit$f.xml" "Press4/Bulk$f" bulk $(endpoints $((f * 100)) 30); done
e2e_mark && for f in 1 2 3 4 5; do e2e_announce "$W/limit$f.xml"; done
emu_expect --nudge "128 endpoints and the gateway's own are forwarded" eval '[ "$(emu_iot_rule_count)" = 129 ]'
e2e_figures endpoint_limit published=129 publish_s="$(e2e_since)" && running=$(emu_status_count 3) && flood_start=$EPOCHREALTIME
calls 1000 &
# That no more are published and the limit is logged is the reconciliation's unit test.
flood=$! && sleep 1
stop_figures calls_at_limits && wait $flood; E2E_MARK=$flood_start && e2e_figures calls_at_limits calls=1000 sent_s="$(e2e_since)"
emu_assert "every call was sent, all forwards are withdrawn; nobody's status requests sent the supervisor nothing" \
  eval '[ ! -s "$W/calls.err" ] && [ "$(emu_iot_rule_count) $(emu_status_count 3)" = "0 $running" ]'

# ---- a hung iptables: each call is ended at its deadline with its process group
emu_start_running && e2e_publish_drive
printf '#!/bin/sh\ntouch %s\nexec sleep 600\n' "$W/iptables.called" >"$EMU_STATE/bin/iptables" && chmod 755 "$EMU_STATE/bin/iptables"
emu_service_file "$W/spindle.xml" Press4/Spindle mqtt "mqtt:TCP:2:$EMU_COMPONENT_IP:1883" && e2e_announce "$W/spindle.xml"
emu_expect --nudge "the Spindle's rule hangs in iptables" test -e "$W/iptables.called"
stop_figures hung_iptables
# Killing the process group and the probation after two overruns are the command runner's unit tests.
emu_assert "the hung calls were ended at iptables' deadline of 3 s and logged" \
  emu_daemon_log_has "Command iptables did not end within 3000 ms; its process group was killed." 2
rm "$EMU_STATE/bin/iptables" && e2e_reset

# ---- a registry that never answers: a stop while an upload hangs
emu_start_running && e2e_publish_drive && emu_registry_answer hang && requests=$(emu_registry_count)
e2e_announce "$W/spindle.xml" && emu_expect --nudge "the Spindle's upload hangs" emu_registry_has_count $((requests + 1))
stop_figures silent_registry
emu_assert "the upload gave up and was logged as not accepted, the withdrawal reached the registry, no forward is left" eval \
  'emu_daemon_log_has "doSend responded with: 000" && emu_daemon_log_has "Registry did not accept" &&
  [ "$(emu_registry_count) $(emu_iot_rule_count)" = "$((requests + 2)) 0" ] && emu_registry_lists_none'
e2e_exit_cleanly && e2e_pass "a stop is answered amid floods, hung tools and a silent registry"
