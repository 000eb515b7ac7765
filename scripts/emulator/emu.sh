#!/bin/bash
# Gateway emulator entry point.
#
#   scripts/emulator/emu.sh [--daemon] [--start] shell
#       brings the emulated gateway up and opens an interactive shell inside
#       it, with the emu_* functions of lib.sh defined
#   scripts/emulator/emu.sh [--daemon] [--start] run SCRIPT [ARGS...]
#       brings it up and runs SCRIPT (bash, with lib.sh sourced) inside
#
#   --daemon   start the daemon once the gateway is up (it reports Ready)
#   --start    also send it a start request (it reports Running)
#
# Needs root. EMU_BUILD names the build directory (default: build). The
# gateway and everything in it is gone when the shell or SCRIPT ends.
set -eu
. "$(dirname "$0")/lib.sh"
emu_enter "$0" "$@"
set +e

daemon=0
start=0
while [ $# -gt 0 ]; do
  case "$1" in
    --daemon) daemon=1 ;;
    --start) daemon=1 start=1 ;;
    *) break ;;
  esac
  shift
done
mode=${1:-shell}
[ $# -gt 0 ] && shift

emu_up
[ $daemon = 1 ] && emu_start_daemon
[ $start = 1 ] && emu_start_running

case "$mode" in
  shell)
    cat <<EOF
Emulated gateway is up.
  gateway:   Trusted $EMU_TRUSTED_IP, Untrusted $EMU_UNTRUSTED_IP (this shell)
  component: 'emu_comp CMD' ($EMU_COMPONENT_IP), outside client: 'emu_outside CMD' ($EMU_OUTSIDE_IP)
  registry:  https://$EMU_REGISTRY_HOST/ -> $EMU_STATE/registry/requests.jsonl
  logs:      $EMU_STATE/{daemon,supervisor,bus,emu}.log
Try: emu_start_daemon; emu_ctl start; emu_service_file f.xml Press4/Drive opcua opcua:TCP:1:$EMU_COMPONENT_IP:4840; emu_announce f.xml
Leave with 'exit'; the gateway goes away with the shell.
EOF
    export -f $(compgen -A function | grep '^emu_')
    export $(compgen -v | grep "^EMU_") DBUS_SYSTEM_BUS_ADDRESS
    cd "$EMU_STATE/work"
    PS1='emu-gateway \W# ' bash --norc -i
    ;;
  run)
    [ $# -ge 1 ] || { echo "usage: emu.sh run SCRIPT [ARGS...]" >&2; exit 2; }
    script=$1
    shift
    . "$script" "$@"
    ;;
  *)
    echo "usage: emu.sh [--daemon] [--start] shell|run SCRIPT [ARGS...]" >&2
    exit 2
    ;;
esac
