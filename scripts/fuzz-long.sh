#!/bin/sh
# Long fuzzing: runs the two targets one after another, each for
# SECONDS_PER_TARGET (default 4 hours), on a corpus kept across runs in
# build-fuzz/fuzz-corpus/ (seeded from tests/fuzz/corpus). Failures do not
# stop a run; every crashing, leaking or hanging input is copied to
# tests/fuzz/regressions/<target>/, where the replay test picks it up.
# Usage: scripts/fuzz-long.sh [SECONDS_PER_TARGET] [TARGET...]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-14400}
[ $# -gt 0 ] && shift
targets=${*:-endpoint_text datagram_cycle}
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DMGM_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done)

found=0
for t in $targets; do
  corpus=$build/fuzz-corpus/$t
  artifacts=$build/fuzz-long-artifacts/$t
  mkdir -p "$corpus" "$artifacts"
  cp tests/fuzz/corpus/"$t"/* "$corpus/"
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/mgm-fuzz-long-XXXXXX")
  echo "== $t for ${seconds}s"
  TMPDIR=$tmp "$build/tests/fuzz/fuzz_$t" "$corpus" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 \
    -ignore_ooms=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$artifacts/" >"$build/fuzz-long-$t.log" 2>&1 || true
  rm -rf "$tmp"
  for input in "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-*; do
    [ -f "$input" ] || continue
    mkdir -p "tests/fuzz/regressions/$t"
    cp "$input" "tests/fuzz/regressions/$t/"
    echo "$t: found $(basename "$input") -> tests/fuzz/regressions/$t/"
    found=$((found + 1))
  done
  echo "$t: corpus $(ls "$corpus" | wc -l) files; log $build/fuzz-long-$t.log"
done
echo "fuzz-long.sh: $found failing inputs found"
[ "$found" -eq 0 ]
