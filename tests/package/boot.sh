#!/bin/bash
# Boot test of the mgm package: scripts/container/boot.sh boots a Debian 12
# container in which journey.sh installs the freshly built packages and
# walks the integrator's journey, ending with a poweroff; then this checks
# from outside that the poweroff withdrew the forwards and told the
# registry before the container ended.
#
#   boot.sh DEB_DIR      exit 0 passed, 1 failed, 77 the container cannot run here
set -u
here=$(cd "$(dirname "$0")" && pwd)
started=$(date +%s)
work=$(mktemp -d /var/tmp/mgm-boottest.XXXXXX) && trap 'rm -rf "$work"' EXIT
"$here/../../scripts/container/boot.sh" "${1:?usage: boot.sh DEB_DIR}" "$here/journey.sh" "$work"
rc=$?
[ "$rc" = 77 ] && exit 77
share=$work/share
before=$(cat "$share/requests-before-poweroff" 2>/dev/null || echo 0)
if [ "$(grep -c . "$share/registry/requests.jsonl")" -gt "$before" ] &&
  python3 "$share/request.py" "$share/registry/requests.jsonl" 0 &&
  journalctl -D "$work/journal" -u mgm -o cat | tail -40 | grep -q "Removed old Service"; then
  echo "ok - systemctl poweroff: forwards withdrawn and the registry told before the container ended" >>"$share/results"
else
  echo "not ok - systemctl poweroff: forwards withdrawn and the registry told before the container ended" >>"$share/results"
fi
grep -q '^journey done' "$share/results" || echo "not ok - the journey ran to its end" >>"$share/results"
cat "$share/results"
failed=$(grep -c '^not ok' "$share/results")
if [ "$failed" != 0 ]; then
  echo "---- journey log" && tail -80 "$share/walk.log"
  echo "---- journal of mgm and mgm-supervise" && journalctl -D "$work/journal" -u mgm -u mgm-supervise -o short-precise | tail -80
fi
echo "boot test: $(grep -c '^ok' "$share/results") passed, $failed failed in $(($(date +%s) - started)) s"
[ "$failed" = 0 ]
