#!/bin/bash
# A registry that holds a request, refuses the retry and then accepts: each
# outcome is logged, a request not accepted stays pending and is delivered
# once (never twice). A registry that never answers is e2e.loop's.
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

e2e_exit_cleanly && e2e_pass "a hanging and a refusing registry do not stop the daemon"
