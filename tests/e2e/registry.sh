#!/bin/bash
# A registry that holds a request, refuses the retry and then accepts, and
# one that never answers: each outcome is logged, a request not accepted stays
# pending and is delivered once (never twice), and a stop still withdraws
# everything, late by curl's time limit per hung upload and no more.
. "$(dirname "$0")/common.sh"
e2e_up && emu_start_daemon && emu_start_running

# ---- the registry holds a request, refuses it (500), then accepts
emu_registry_answer hang && e2e_publish_drive && emu_registry_answer 500
# curl waits for an answer for up to 30 s; allow for that.
EMU_TIMEOUT=60 emu_expect --nudge "the held upload and the refused retry are logged as not accepted" eval 'emu_daemon_log_has \
  "doSend responded with: 000" && emu_daemon_log_has "doSend responded with: 500" && emu_daemon_log_has "Registry did not accept"'
emu_registry_answer 200
emu_expect --nudge "the pending request is delivered once the registry accepts" emu_daemon_log_has "doSend responded with: 200"
delivered=$(emu_registry_count) && emu_cycles 3
emu_assert "it lists the Drive and is not repeated" eval 'emu_registry_lists Press4/Drive && [ "$(emu_registry_count)" = "$delivered" ]'

# ---- the registry never answers: a stop during a hung upload
emu_registry_answer hang && requests=$(emu_registry_count) &&
  emu_service_file "$EMU_STATE/work/s.xml" Press4/Spindle mqtt "mqtt:TCP:2:$EMU_COMPONENT_IP:1883" && e2e_announce "$EMU_STATE/work/s.xml"
emu_expect --nudge "the Spindle's upload hangs" emu_registry_has_count $((requests + 1))
stopped_before=$(emu_status_count 4) ready_before=$(emu_status_count 1) && e2e_mark
# mgmctl may give up waiting before the daemon gets to the request; the
# supervisor's log tells when it was handled.
emu_ctl stop >/dev/null 2>&1 &
EMU_TIMEOUT=120 emu_expect "the stop is answered (Stopped) within 120 s" emu_status_seen 4 $((stopped_before + 1)) && stopped=$(e2e_since)
EMU_TIMEOUT=120 emu_expect "and Ready follows within 120 s" emu_status_seen 1 $((ready_before + 1)) && ready=$(e2e_since)
emu_assert "both uploads ended at curl's time limit, the withdrawal (empty) reached the registry, no forward is left" \
  eval 'emu_daemon_log_has "doSend responded with: 000" 3 && [ "$(emu_registry_count) $(emu_iot_rule_count)" = \
  "$((requests + 2)) 0" ] && emu_registry_lists_none'
e2e_figures silent_registry stop_to_stopped_s="$stopped" stop_to_ready_s="$ready"
e2e_exit_cleanly && e2e_pass "a refusing, a hanging and a silent registry do not stop the daemon"
