#!/bin/bash
# A modem that prints nothing: the daemon falls back to the mock ICCID and
# IMSI after two and three attempts, and publishes them.
. "$(dirname "$0")/common.sh"
emu_up
emu_service_file "$DRIVE_FILE" Press4/Drive opcua "$DRIVE_ENDPOINT"
emu_modem silent
emu_start_daemon
emu_assert "GSMUtil iccid was tried twice" test "$(grep -cx iccid "$EMU_STATE/modem/calls")" = 2
emu_assert "GSMUtil provider was tried three times" test "$(grep -cx provider "$EMU_STATE/modem/calls")" = 3
emu_assert "the ICCID fallback is logged" emu_daemon_log_has "Failed to read ICCID from GSMUtil use mock = $EMU_MOCK_ICCID"
emu_assert "the IMSI fallback is logged" emu_daemon_log_has "Failed to read IMSI from GSMUtil use mock = $EMU_MOCK_IMSI"
emu_start_running
e2e_publish_drive
emu_assert "the request carries the mock ICCID" e2e_request_has 1 GatewayCommAddrs/ICCID "$EMU_MOCK_ICCID"
emu_assert "the request carries the mock IMSI" e2e_request_has 1 GatewayCommAddrs/IMSI "$EMU_MOCK_IMSI"
e2e_pass "silent modem, mock identity"
