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
  local ready_before answered
  ready_before=$(emu_status_count 1) && e2e_mark
  emu_ctl stop >/dev/null || emu_die "mgmctl stop failed"
  answered=$(e2e_since)
  emu_expect "the stop ends in Ready" emu_status_seen 1 $((ready_before + 1))
  e2e_figures "$1" stop_answered_s="$answered" ready_s="$(e2e_since)"
}

# calls N: N calls from nobody, without waiting for their answers, four
# senders at once: Peer.Ping, Status naming the supervisor, Introspect.
calls() {
  local sender pids=()
  for sender in 0 1 2 3; do
    for ((i = sender; i < $1; i += 4)); do
      case $((i % 3)) in
        0) set -- org.freedesktop.DBus.Peer.Ping ;;
        1) set -- tarn.Lifecycle.Status string:tarn.main string:/tarn/main ;;
        *) set -- org.freedesktop.DBus.Introspectable.Introspect ;;
      esac
      emu_nobody dbus-send --system --type=method_call --dest=tarn.mgm /tarn/mgm "$@" 2>>"$W/calls.err"
    done &
    pids+=($!)
  done
  wait "${pids[@]}"
}

# ---- the limits filled, then a stop amid 1,000 calls from nobody
endpoints() { for ((e = $1; e < $1 + $2; e++)); do echo "svc$e:TCP:1:$EMU_COMPONENT_IP:$e"; done; }
for f in 1 2 3 4 5; do emu_service_file "$W/limit$f.xml" "Press4/Bulk$f" bulk $(endpoints $((f * 100)) 30) &&
  e2e_announce "$W/limit$f.xml"; done
emu_expect --nudge "128 endpoints and the gateway's own are forwarded" eval '[ "$(emu_iot_rule_count)" = 129 ]'
running=$(emu_status_count 3) && flood_start=$EPOCHREALTIME
calls 1000 &
flood=$! && sleep 1 && stop_figures calls_at_limits
wait $flood; E2E_MARK=$flood_start && e2e_figures calls_at_limits calls=1000 sent_s="$(e2e_since)"
emu_assert "every call was sent, all forwards are withdrawn; nobody's status requests sent the supervisor nothing" \
  eval '[ ! -s "$W/calls.err" ] && [ "$(emu_iot_rule_count) $(emu_status_count 3)" = "0 $running" ]'

# ---- a hung iptables: each call is ended at its deadline with its process group
emu_start_running && e2e_publish_drive
printf '#!/bin/sh\ntouch %s\nexec sleep 600\n' "$W/iptables.called" >"$EMU_STATE/bin/iptables" && chmod 755 "$EMU_STATE/bin/iptables"
emu_service_file "$W/spindle.xml" Press4/Spindle mqtt "mqtt:TCP:2:$EMU_COMPONENT_IP:1883" && e2e_announce "$W/spindle.xml"
emu_expect --nudge "the Spindle's rule hangs in iptables" test -e "$W/iptables.called"
stop_figures hung_iptables
emu_assert "the hung calls were ended and logged" eval '! pgrep -x sleep && emu_daemon_log_has \
  "Command iptables did not end within 3000 ms; its process group was killed." 3'
rm "$EMU_STATE/bin/iptables" && e2e_reset

# ---- a registry that never answers: a stop while an upload hangs
emu_start_running && e2e_publish_drive && emu_registry_answer hang && requests=$(emu_registry_count)
e2e_announce "$W/spindle.xml" && emu_expect --nudge "the Spindle's upload hangs" emu_registry_has_count $((requests + 1))
stop_figures silent_registry
emu_assert "the upload gave up, the withdrawal reached the registry, no forward is left" eval 'emu_daemon_log_has \
  "doSend responded with: 000" && [ "$(emu_registry_count) $(emu_iot_rule_count)" = "$((requests + 2)) 0" ] &&
  emu_registry_lists_none'
e2e_exit_cleanly && e2e_pass "a stop is answered amid floods, hung tools and a silent registry"
