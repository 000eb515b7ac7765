#!/bin/bash
# A registry that takes every request and never answers (registry_hang
# covers one that recovers): a stop sent while an upload hangs is handled
# once curl's time limit ends it, the withdrawal's upload ends the same way,
# and the daemon reports Ready with its forwards gone.
. "$(dirname "$0")/common.sh"
e2e_up
emu_registry_answer hang
emu_start_running
e2e_publish_drive
stopped_before=$(emu_status_count 4)
ready_before=$(emu_status_count 1)
e2e_mark
# mgmctl may give up waiting before the daemon gets to the request; the
# supervisor's log tells when it was handled.
emu_ctl stop >/dev/null 2>&1 &
EMU_TIMEOUT=120 emu_expect "the stop is answered (Stopped) within 120 s" emu_status_seen 4 $((stopped_before + 1))
stopped=$(e2e_since)
EMU_TIMEOUT=120 emu_expect "and Ready follows within 120 s" emu_status_seen 1 $((ready_before + 1))
ready=$(e2e_since)
echo "stop request to Stopped: ${stopped} s, to Ready: ${ready} s"
emu_assert "both uploads ended at curl's time limit" emu_daemon_log_has "doSend responded with: 000" 2
emu_assert "the withdrawal reached the registry" test "$(emu_registry_count)" = 2
emu_assert "with an empty ComponentList" test -z "$(emu_registry_xpath -1 ComponentList/Component@ComponentID)"
emu_assert "the forwards are gone" test "$(emu_iot_rule_count)" = 0
e2e_exit_cleanly
e2e_figures faults=2 stop_to_stopped_s="$stopped" stop_to_ready_s="$ready"
e2e_pass "a silent registry delays a stop by curl's time limit per upload, no more"
