#!/bin/bash
# Runs the hostile, faults and loop end-to-end scenarios on the gateway
# emulator, then, when scripts/fuzz.sh is there, each fuzz target for a
# short time, and prints one Markdown table of what each run sent, injected
# and found, with its time. The "FIGURES: section key=value ..." lines of a
# scenario become its figures; its "ok -" lines are its checks.
#
#   sudo scripts/reliability.sh [BUILD_DIR]     (default: build)
#
# Environment: JOBS tests at a time (default 2), FUZZ_SECONDS per fuzz
# target (default 10; 0 skips fuzzing). Logs and the table (figures.md) go
# to BUILD_DIR/reliability/. Exit status 1 when any run failed.
set -u
cd "$(dirname "$0")/.." || exit 1
build=$(cd "${1:-build}" && pwd) || exit 1
jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-10}
logs=$build/reliability
rm -rf "$logs" && mkdir -p "$logs"
cmake --build "$build" --target MachineGatewayManager mgmctl mgm-announce >"$logs/build.log" 2>&1 ||
  { cat "$logs/build.log"; exit 1; }

run_test() {
  local name=$1 start=$SECONDS
  EMU_BUILD=$build bash "tests/e2e/$name.sh" >"$logs/$name.log" 2>&1
  echo "$? $((SECONDS - start))" >"$logs/$name.rc"
}

tests=(hostile faults loop)
for name in "${tests[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  echo "running $name" >&2
  run_test "$name" &
done
wait

failed=0
{
  echo "| Run | Result | What held | Checks | Figures | Seconds |"
  echo "|---|---|---|---|---|---|"
  for name in "${tests[@]}"; do
    read -r rc seconds <"$logs/$name.rc"
    case $rc in 0) result=pass ;; 77) result=skipped ;; *) result=FAIL; failed=$((failed + 1)) ;; esac
    held=$(sed -n 's/^PASS: //p' "$logs/$name.log" | tail -n1)
    [ "$rc" = 0 ] || held=$(grep -m1 '^FAIL: ' "$logs/$name.log" || echo "exit status $rc")
    figures=$(sed -n 's/^FIGURES: //p' "$logs/$name.log" | paste -sd ';' | sed 's/;/; /g')
    echo "| $name | $result | $held | $(grep -c '^ok - ' "$logs/$name.log") | ${figures:--} | $seconds |"
  done
  if [ -f scripts/fuzz.sh ] && [ "$fuzz_seconds" -gt 0 ]; then
    echo "fuzzing, $fuzz_seconds s per target" >&2
    sh scripts/fuzz.sh "$fuzz_seconds" >"$logs/fuzz.log" 2>&1 ||
      { failed=$((failed + 1)); echo "| fuzz | FAIL | scripts/fuzz.sh failed, see fuzz.log | - | - | - |"; }
    # "TARGET ok executions N time Ss corpus M files"
    awk '$3 == "executions" {
      printf "| fuzz %s | %s | no crash, leak, timeout or broken invariant | - | executions=%s corpus=%s | %s |\n",
        $1, ($2 == "ok" ? "pass" : "FAIL"), $4, $8, $6 + 0 }' "$logs/fuzz.log"
  fi
} >"$logs/figures.md"
cat "$logs/figures.md"
echo "logs in $logs" >&2
echo "reliability: $(grep -c '| pass |' "$logs/figures.md") passed, $failed failed"
[ "$failed" = 0 ]
