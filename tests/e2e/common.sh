# Shared steps of the end-to-end tests. Each test script sources this file
# first; it re-executes the script inside an emulator of its own.
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator" && pwd)/lib.sh"
emu_enter "$0" "$@"
set -u

DRIVE_ENDPOINT="opcua:TCP:1:$EMU_COMPONENT_IP:4840"
DRIVE_FILE=$EMU_STATE/work/drive.xml
DRIVE_SPOOL_NAME=Drive_opcua.xml
# The gateway's own service, published with every component prefix.
ONLINE_CHECK_TARGET="$EMU_TRUSTED_IP:9080"

# e2e_up: the emulated gateway with the daemon started (status Ready).
e2e_up() {
  emu_up
  emu_service_file "$DRIVE_FILE" Press4/Drive opcua "$DRIVE_ENDPOINT"
  emu_start_daemon
}

# e2e_port_in_range PORT: PORT is a number in the external port range.
e2e_port_in_range() { [[ "$1" =~ ^[0-9]+$ ]] && [ "$1" -ge 49152 ] && [ "$1" -le 59998 ]; }

# e2e_publish_drive: the component announces Press4/Drive; waits for its
# forward and the registry request; sets DRIVE_PORT.
e2e_publish_drive() {
  local before
  before=$(emu_registry_count)
  emu_announce "$DRIVE_FILE" || emu_die "mgm-announce failed"
  emu_expect --nudge "the Drive endpoint gets a forward" emu_external_port "$EMU_COMPONENT_IP:4840"
  DRIVE_PORT=$(emu_external_port "$EMU_COMPONENT_IP:4840")
  # The request goes out in the cycle that added the forward.
  emu_expect "the registry receives a request" emu_registry_has_count $((before + 1))
}

# e2e_rule_for TARGET: the exact words of the rule forwarding to TARGET
# ("-A IOT -i ZONE -p tcp -m tcp --dport N -j DNAT --to-destination TARGET").
e2e_rule_for() { emu_iot_rules | grep -F -- "--to-destination $1"; }

# e2e_has_line TEXT: stdin holds the line TEXT.
e2e_has_line() { grep -qxF -- "$1"; }

# e2e_request_has N PATH TEXT: request N has TEXT among the values of PATH.
e2e_request_has() { emu_registry_xpath "$1" "$2" | e2e_has_line "$3"; }

# e2e_pass TEXT: the scenario passed, unless a sanitizer (in a sanitized
# build) reported anything in the daemon.
e2e_pass() {
  if grep -qE 'Sanitizer|runtime error:' "$EMU_STATE/daemon.log"; then
    emu_die "the daemon's sanitizers reported a problem"
  fi
  echo "PASS: $1"
  exit 0
}

# e2e_figures KEY=VALUE...: the scenario's figures on one line, with the
# seconds it has taken so far, for scripts/reliability.sh.
e2e_figures() { echo "FIGURES: $* seconds=$SECONDS"; }

# e2e_exit_cleanly: an exit request ends the daemon with exit code 0.
e2e_exit_cleanly() {
  emu_assert "the exit request is accepted" emu_ctl exit
  emu_wait_daemon_exit || emu_die "the daemon did not end after the exit request"
  emu_assert "the daemon ends with exit code 0" test "$EMU_DAEMON_EXIT" = 0
}

# ---------------------------------------------------------------- hostile input

# A legitimate service whose names are full of shell metacharacters; its
# spool name is cut from the raw line, entities and all.
ODD_FILE=$EMU_STATE/work/odd.xml
ODD_COMPONENT="Press4/Odd \$(touch canary);\`touch canary\` *'"
ODD_ENDPOINT="odd:TCP:1:$EMU_COMPONENT_IP:4841"
ODD_SPOOL_NAME="Odd \$(touch canary);\`touch canary\` *'_svc *;|&amp;&amp;.xml"
CORPUS=$EMU_STATE/work/corpus

# e2e_hostile_up: the gateway on a private /tmp with the daemon running and
# the Drive published; writes the hostile corpus and the snapshot of the
# gateway's writable trees.
e2e_hostile_up() {
  emu_private_tmp
  e2e_up
  emu_service_file "$ODD_FILE" "$ODD_COMPONENT" "svc *;|&amp;&amp;" "$ODD_ENDPOINT"
  emu_start_running
  e2e_publish_drive
  emu_hostile_corpus "$CORPUS"
  emu_fs_snapshot >"$EMU_STATE/work/before"
}

# e2e_rules_are ENDPOINT...: the chain holds exactly one forward per given
# (untrusted, TCP) endpoint and the gateway's online check, on distinct
# external ports.
e2e_rules_are() {
  local endpoint field expected
  expected=$(
    for endpoint in "$@"; do
      IFS=: read -r -a field <<<"$endpoint"
      echo "-A IOT -i Untrusted -p tcp -m tcp --dport N -j DNAT --to-destination ${field[3]}:${field[4]}"
    done
    echo "-A IOT -i Trusted -p tcp -m tcp --dport N -j DNAT --to-destination $ONLINE_CHECK_TARGET"
  )
  [ "$(emu_iot_rules | sed 's/--dport [0-9]*/--dport N/' | LC_ALL=C sort)" = "$(LC_ALL=C sort <<<"$expected")" ] &&
    [ -z "$(e2e_rule_ports | uniq -d)" ]
}

# e2e_rule_ports: the external ports of the chain's rules, sorted.
e2e_rule_ports() { emu_iot_rules | sed -n 's/.*--dport \([0-9]*\).*/\1/p' | sort -n; }

# e2e_registry_agrees COMPONENT_ID...: the last request lists exactly these
# components and the gateway's own, on the external ports of the chain.
e2e_registry_agrees() {
  [ "$(emu_registry_xpath -1 ComponentList/Component@ComponentID | sort)" = "$(printf '%s\n' "$@" Press4/Tarn | sort)" ] &&
    [ "$(emu_registry_xpath -1 ComponentList/Component/ServiceList/Service/ServiceEndpoint |
      sed -n 's/^[^:]*:[^:]*:[^:]*:[^:]*:\([0-9]*\).*/\1/p' | sort -n)" = "$(e2e_rule_ports)" ]
}

# e2e_spool_is_legit: the spool holds the Drive's and the Odd's files, the
# temporary file and the registry request, nothing else.
e2e_spool_is_legit() {
  [ "$(find "$EMU_SPOOL" -mindepth 1 -printf '%f\n' | LC_ALL=C sort)" = "$(printf '%s\n' "$DRIVE_SPOOL_NAME" \
    "$ODD_SPOOL_NAME" incomming_client_file.xml RegisterMachineServices.xml | LC_ALL=C sort)" ]
}

# e2e_hostile_settle: ages every other spool file past the age limit; the
# cleanup deletes each (its name goes to rm) and the daemon is back to
# exactly the Drive and the Odd, in the chain and at the registry.
e2e_hostile_settle() {
  local path old=$(($(date +%s) - 1300))
  while IFS= read -r -d '' path; do
    case "${path##*/}" in
      "$DRIVE_SPOOL_NAME" | "$ODD_SPOOL_NAME") ;;
      *) touch -d "@$old" -- "$path" ;;
    esac
  done < <(find "$EMU_SPOOL" -mindepth 1 -print0)
  emu_expect --nudge "the cleanup deletes every aged file, whatever its name" e2e_spool_is_legit
  emu_expect --nudge "the chain holds exactly the legitimate forwards" e2e_rules_are "$DRIVE_ENDPOINT" "$ODD_ENDPOINT"
  emu_expect --nudge "the registry's last request lists them on the chain's ports" \
    e2e_registry_agrees Press4/Drive "$ODD_COMPONENT"
}

# e2e_hostile_verdict: no canary, no file made or removed outside the spool,
# a status answered and a clean exit.
e2e_hostile_verdict() {
  emu_assert "no injected command ran (no canary at $EMU_CANARIES)" emu_no_canary
  emu_fs_snapshot >"$EMU_STATE/work/after"
  diff "$EMU_STATE/work/before" "$EMU_STATE/work/after" >&2 || emu_die "files were made or removed outside the spool"
  echo "ok - no file outside the spool was made or removed"
  emu_assert "the daemon answers a status request" emu_ctl status
  e2e_exit_cleanly
}

# ---------------------------------------------------------------- faults

# e2e_mark: remembers now; e2e_since prints the seconds since, to 0.1 s.
e2e_mark() { E2E_MARK=$EPOCHREALTIME; }
e2e_since() { awk -v a="$E2E_MARK" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f\n", b - a }'; }
