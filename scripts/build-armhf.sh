#!/bin/sh
# Cross-builds the daemon, its tools, the platform libraries and the unit
# tests for 32-bit ARM hard-float Linux (armhf) and runs, through CTest and
# under qemu-arm: the unit tests, the tests of our platform libraries (on a
# private dbus-daemon of the build machine) and the check of an install
# staged into <build>/stage (tests/install/check-staged-armhf.sh). Any
# failure fails the command.
#
#   scripts/build-armhf.sh [extra cmake options, e.g. -DCMAKE_SYSROOT=DIR]
#
# Environment: MGM_ARMHF_BUILD (build directory, default build/armhf),
# MGM_ARMHF_SKIP_SETUP=1 (as root, do not run scripts/setup-armhf.sh).
#
# Only the tests labelled "unit", "platform" and "install" run: the
# integration and end-to-end tests need namespaces and binaries of the build
# machine.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build=${MGM_ARMHF_BUILD:-build/armhf}
jobs=$(nproc)

started=$(date +%s)
step_started=$started
step() {
  now=$(date +%s)
  echo "== $1 (previous step took $((now - step_started)) s)"
  step_started=$now
}

if [ "$(id -u)" -eq 0 ] && [ "${MGM_ARMHF_SKIP_SETUP:-0}" != 1 ]; then
  step "installing the armhf cross toolchain, qemu and armhf libraries"
  ./scripts/setup-armhf.sh
fi
for tool in arm-linux-gnueabihf-g++ file; do
  if ! command -v "$tool" >/dev/null; then
    echo "build-armhf.sh: $tool not found: run scripts/setup-armhf.sh as root once" >&2
    exit 1
  fi
done
if ! command -v qemu-arm >/dev/null && ! command -v qemu-arm-static >/dev/null; then
  echo "build-armhf.sh: qemu-arm not found: run scripts/setup-armhf.sh as root once" >&2
  exit 1
fi

step "configuring $build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-armhf.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"

step "building"
cmake --build "$build" -j "$jobs"

step "unit and platform tests under qemu-arm, staged install check"
ctest --test-dir "$build" --output-on-failure -j "$jobs" -L 'unit|platform|install'

step "done"
echo "build-armhf.sh: armhf build, unit tests and staged install checked in $(($(date +%s) - started)) s"
