#!/bin/sh
# Installs what the build needs, then builds and runs every test: a plain
# build (unit, integration and end-to-end tests), one with AddressSanitizer
# and UndefinedBehaviorSanitizer, one with ThreadSanitizer for the tests that
# run the receiver thread beside the main thread, and an armhf cross build
# whose tests run under qemu-arm; then every fuzz target runs for a minute.
# Any failure fails the command.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)

if [ "$(id -u)" -eq 0 ]; then
  ./scripts/setup.sh
else
  echo "test.sh: not root, skipping package installation (run scripts/setup.sh as root once)" >&2
fi

build() {
  dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build: every test"
build build/test-plain
ctest --test-dir build/test-plain --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build: unit and integration tests"
build build/test-asan -DMGM_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/test-asan --output-on-failure -j "$jobs" -LE e2e

echo "== ThreadSanitizer build: tests that run the receiver beside the cycle"
build_targets() { dir=$1; shift; cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMGM_TSAN=ON; cmake --build "$dir" -j "$jobs" --target "$@"; }
build_targets build/test-tsan intake_tests cycle_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/test-tsan --output-on-failure -j "$jobs" -L threads

echo "== armhf cross build: unit, platform and install tests under qemu-arm"
./scripts/build-armhf.sh

echo "== libFuzzer targets, one minute each"
./scripts/fuzz.sh 60
