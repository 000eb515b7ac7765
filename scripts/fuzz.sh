#!/bin/sh
# Builds the two libFuzzer targets with clang (build-fuzz) and runs each for
# a bounded time on a writable copy of its seed corpus. Prints executions,
# time and corpus size per target; fails on any crash, leak, timeout or
# broken invariant, keeping the input under build-fuzz/fuzz-artifacts/.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
targets="endpoint_text datagram_cycle"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DMGM_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done)

work=$(mktemp -d "${TMPDIR:-/tmp}/mgm-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=""
for t in $targets; do
  dir=$work/$t
  mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/tmp"
  cp tests/fuzz/corpus/"$t"/* "$dir/corpus/"
  start=$(date +%s)
  if TMPDIR=$dir/tmp "$build/tests/fuzz/fuzz_$t" "$dir/corpus" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 -artifact_prefix="$dir/artifacts/" >"$dir/log" 2>&1; then
    result=ok
  else
    result=FAILED
    failed="$failed $t"
    mkdir -p "$build/fuzz-artifacts/$t"
    cp "$dir"/artifacts/* "$build/fuzz-artifacts/$t/" 2>/dev/null || true
    tail -n 40 "$dir/log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
  printf '%-15s %-6s executions %-10s time %4ss  corpus %s files\n' "$t" "$result" "${runs:-?}" \
    "$(($(date +%s) - start))" "$(ls "$dir/corpus" | wc -l)"
done
if [ -n "$failed" ]; then
  echo "fuzz.sh: failing targets:$failed (inputs in $build/fuzz-artifacts/)" >&2
  exit 1
fi
