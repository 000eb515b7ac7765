#!/bin/sh
# The systemd units (generated for the build tree) pass systemd-analyze
# verify without a word: unknown keys, missing commands or units.
command -v systemd-analyze >/dev/null 2>&1 || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
out=$(systemd-analyze verify "$1/mgm.service" "$1/mgm-supervise.service" 2>&1)
status=$?
[ -z "$out" ] && [ $status = 0 ] && exit 0
echo "$out"
exit 1
