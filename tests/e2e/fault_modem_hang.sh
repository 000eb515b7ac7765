#!/bin/bash
# A modem utility that never returns: each probe ends at its 5 s timeout, so
# the created phase lasts about 25 s (two ICCID and three IMSI attempts);
# then the daemon is Ready and publishes the mock identity.
. "$(dirname "$0")/common.sh"
emu_up
emu_service_file "$DRIVE_FILE" Press4/Drive opcua "$DRIVE_ENDPOINT"
emu_modem hang
e2e_mark
EMU_TIMEOUT=120 emu_start_daemon
created=$(e2e_since)
echo "ok - Ready within 120 s: the created phase took $created s"
emu_assert "GSMUtil iccid was tried twice" test "$(grep -cx iccid "$EMU_STATE/modem/calls")" = 2
emu_assert "GSMUtil provider was tried three times" test "$(grep -cx provider "$EMU_STATE/modem/calls")" = 3
emu_assert "no hung probe is left" eval '! pgrep -f "sleep 3600"'
emu_start_running
e2e_publish_drive
emu_assert "the request carries the mock ICCID" e2e_request_has 1 GatewayCommAddrs/ICCID "$EMU_MOCK_ICCID"
emu_assert "the request carries the mock IMSI" e2e_request_has 1 GatewayCommAddrs/IMSI "$EMU_MOCK_IMSI"
e2e_figures faults=5 created_phase_s="$created"
e2e_pass "a hanging modem costs the created phase its probe timeouts only"
