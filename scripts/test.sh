#!/usr/bin/env bash
# Installs what the build needs, then builds and runs every test: a plain
# build (unit and end-to-end tests), one with AddressSanitizer
# and UndefinedBehaviorSanitizer, one with ThreadSanitizer for the tests that
# run the receiver thread beside the main thread, and an armhf cross build
# whose tests run under qemu-arm; the Debian packages for both architectures,
# checked, and the amd64 one booted in a container with systemd
# (tests/package/boot.sh); then every fuzz target runs for a minute.
# Any failure fails the command.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

if [ "$(id -u)" -eq 0 ]; then
  ./scripts/setup.sh
else
  echo "test.sh: not root, skipping package installation (run scripts/setup.sh as root once)" >&2
fi

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j "$jobs"
}

# Runs ctest and keeps its closing count for the summary.
run_ctest() {
  ctest --output-on-failure -j "$jobs" "$@" | tee >(grep -E 'tests passed, [0-9]+ tests failed out of' >>"$summary")
}

echo "== plain build: every test but the packages'"
build build/test-plain
run_ctest --test-dir build/test-plain -LE package

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build: unit tests and the lifecycle over the real bus"
build build/test-asan -DMGM_SANITIZE=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest --test-dir build/test-asan -LE "e2e|package"
run_ctest --test-dir build/test-asan -L bus
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== ThreadSanitizer build: tests that run the receiver beside the cycle"
cmake -S . -B build/test-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMGM_TSAN=ON
cmake --build build/test-tsan -j "$jobs" --target intake_tests cycle_tests
# Only these two test binaries are built here; -L unit selects their tests.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest --test-dir build/test-tsan -L unit

echo "== armhf cross build: unit, platform and install tests under qemu-arm"
./scripts/build-armhf.sh | tee >(grep -E 'tests passed, [0-9]+ tests failed out of' >>"$summary")

echo "== Debian packages (amd64, armhf): content, architecture, lintian; the amd64 package booted with systemd"
MGM_DEB_DIR=build/deb ./scripts/build-deb.sh
MGM_DEB_DIR=build/deb ./scripts/build-deb.sh armhf
MGM_DEB_DIR=$PWD/build/deb run_ctest --test-dir build/test-plain -L package

echo "== libFuzzer targets, one minute each"
./scripts/fuzz.sh 60

sleep 1  # let the summary taps finish
awk '{ total += $NF; failed += $(NF-5) } END { printf "tests: %d passed, %d failed\n", total - failed, failed }' "$summary"
