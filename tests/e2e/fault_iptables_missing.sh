#!/bin/bash
# No iptables on the gateway: a stand-in first in the daemon's PATH answers
# every call as the shell does for a missing command (exit 127). The daemon
# logs no error of its own, keeps running, publishes to the registry and
# answers a stop.
. "$(dirname "$0")/common.sh"
emu_up
CALLS=$EMU_STATE/iptables.calls
printf '#!/bin/sh\necho "$*" >>%s\necho "sh: 1: iptables: not found" >&2\nexit 127\n' "$CALLS" >"$EMU_STATE/bin/iptables"
chmod 755 "$EMU_STATE/bin/iptables"
emu_service_file "$DRIVE_FILE" Press4/Drive opcua "$DRIVE_ENDPOINT"
emu_start_daemon
emu_start_running
emu_announce "$DRIVE_FILE" || emu_die "mgm-announce failed"
emu_expect --nudge "the Drive is published to the registry" \
  eval 'emu_registry_xpath -1 ComponentList/Component@ComponentID | grep -qx Press4/Drive'
emu_assert "with an external port" eval 'emu_registry_xpath -1 ComponentList/Component/ServiceList/Service/ServiceEndpoint |
  grep -qE "^opcua:TCP:1:$EMU_UNTRUSTED_IP:[0-9]+$"'
emu_assert "the daemon called iptables for the chain and both forwards" test "$(grep -c . "$CALLS")" -ge 6
emu_assert "no IOT chain exists" eval '! iptables -t nat -S IOT'
ready_before=$(emu_status_count 1)
emu_assert "the stop request is accepted" emu_ctl stop
emu_expect "the daemon reports Ready after the stop" emu_status_seen 1 $((ready_before + 1))
emu_assert "the withdrawal was posted" test -z "$(emu_registry_xpath -1 ComponentList/Component@ComponentID)"
emu_assert "the daemon logged no error" test "$(grep -c ' ERROR ' "$EMU_STATE/daemon.log")" = 0
e2e_exit_cleanly
e2e_figures faults="$(grep -c . "$CALLS")" uploads="$(emu_registry_count)"
e2e_pass "without iptables the daemon still publishes and stops"
