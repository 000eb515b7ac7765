# Shared steps of the end-to-end scenarios. Each scenario sources this file
# first; it re-executes the scenario inside an emulated gateway of its own.
# A scenario runs in sections of checks ("ok - ..." lines) against one daemon
# start and starts the daemon again only where a check needs a fresh one.
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator" && pwd)/lib.sh"
emu_enter "$0" "$@"
set -u

DRIVE_ENDPOINT="opcua:TCP:1:$EMU_COMPONENT_IP:4840"
DRIVE_FILE=$EMU_STATE/work/drive.xml
DRIVE_SPOOL_NAME=Drive_opcua.xml
# The gateway's own service, published with every component prefix.
ONLINE_CHECK_TARGET="$EMU_TRUSTED_IP:9080"

# e2e_up: the emulated gateway with the Drive's service file written.
e2e_up() { emu_up && emu_service_file "$DRIVE_FILE" Press4/Drive opcua "$DRIVE_ENDPOINT"; }
# e2e_announce FILE: the component announces FILE.
e2e_announce() { emu_announce "$1" || emu_die "mgm-announce failed on $1"; }

# e2e_publish_drive [REQUESTS]: the component announces Press4/Drive; waits
# for its forward and for the registry request of the cycle that added it
# (one more than REQUESTS, default: the requests so far); sets DRIVE_PORT.
e2e_publish_drive() {
  local before=${1:-$(emu_registry_count)}
  e2e_announce "$DRIVE_FILE"
  emu_expect --nudge "the Drive endpoint gets a forward" eval 'DRIVE_PORT=$(emu_external_port "$EMU_COMPONENT_IP:4840")'
  emu_expect "the registry receives a request" emu_registry_has_count $((before + 1))
}


# e2e_request WHAT STATUS ARGS...: mgmctl ARGS, answered with STATUS.
e2e_request() {
  local seen=$(emu_status_count "$2")
  emu_ctl "${@:3}" >/dev/null || emu_die "mgmctl ${*:3} failed"
  emu_expect "$1" emu_status_seen "$2" $((seen + 1))
}
e2e_stop() { e2e_request "the daemon reports Ready after the stop" 1 stop; }
e2e_reset() { e2e_request "the reset's created phase ends in Ready" 1 reset; }

# e2e_respooled NAME CMD...: CMD sends; waits until the spool file NAME is a
# new one (a delivery renames a new file into place: the inode changes).
e2e_respooled() {
  local name=$1 inode=$(stat -c %i "$EMU_SPOOL/$1" 2>/dev/null)
  "${@:2}" >/dev/null || emu_die "sending failed: ${*:2}"
  emu_expect "the receiver spools $name anew" eval '[ "$(stat -c %i "$EMU_SPOOL/$name" 2>/dev/null)" != "$inode" ]'
}
# e2e_nobody CMD...: runs CMD as an unprivileged local user (needs setpriv).
e2e_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

# e2e_exit_cleanly: an exit request ends the daemon with exit code 0.
e2e_exit_cleanly() { emu_assert "an exit request ends the daemon with exit code 0" eval 'emu_ctl exit && emu_wait_daemon_exit && [ "$EMU_DAEMON_EXIT" = 0 ]'; }

# e2e_pass TEXT: the scenario passed, unless a sanitizer (in a sanitized
# build) reported anything in the daemon.
e2e_pass() { ! grep -qE 'Sanitizer|runtime error:' "$EMU_STATE/daemon.log" || emu_die "the daemon's sanitizers reported a problem"; echo "PASS: $1"; exit 0; }

# e2e_figures SECTION KEY=VALUE...: a section's figures on one line, for
# scripts/reliability.sh.
e2e_figures() { echo "FIGURES: $*"; }
# e2e_mark: remembers now; e2e_since prints the seconds since, to 0.1 s.
e2e_mark() { E2E_MARK=$EPOCHREALTIME; }
e2e_since() { awk -v a="$E2E_MARK" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f\n", b - a }'; }
