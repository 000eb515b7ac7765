#!/bin/bash
# The registry takes the request and never answers: the upload gives up at
# curl's time limit, the outcome is logged, and the daemon goes on: it
# delivers the request once the registry answers and still answers a stop.
. "$(dirname "$0")/common.sh"
e2e_up
emu_registry_answer hang
emu_start_running
e2e_publish_drive
# The registry decides when a request arrives: the one it holds stays
# unanswered, the next one is answered.
emu_registry_answer 200
# curl waits for an answer for up to 30 s; allow for that.
EMU_TIMEOUT=60 emu_expect "the daemon logs the failed upload" emu_daemon_log_has "doSend responded with: 000"
emu_expect --nudge "the request is delivered once the registry answers" \
  emu_daemon_log_has "doSend responded with: 200"
requests=$(emu_registry_count)
ready_before=$(emu_status_count 1)
emu_assert "the stop request is accepted" emu_ctl stop
emu_expect "the daemon reports Ready after the stop" emu_status_seen 1 $((ready_before + 1))
emu_assert "the withdrawal was posted" test "$(emu_registry_count)" = $((requests + 1))
emu_assert "with an empty ComponentList" test -z "$(emu_registry_xpath -1 ComponentList/Component@ComponentID)"
emu_assert "the forwards are gone" test "$(emu_iot_rule_count)" = 0
e2e_pass "a silent registry does not stop the daemon"
