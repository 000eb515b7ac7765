#!/bin/sh
# Checks an armhf install staged with
#   DESTDIR=STAGE cmake --install BUILD --prefix /usr/local
# and the daemon built for it:
#   - the installed tree: daemon and tools in /usr/local/bin, the three
#     platform libraries in /usr/local/lib, the D-Bus policy in
#     /usr/local/share/dbus-1/system.d;
#   - the binaries are 32-bit ARM EABI5 ELF with hard-float calling
#     convention, and the daemon's run-time library path is /usr/local/lib;
#   - the installed daemon, run under qemu-arm with the staged tree as its
#     root, resolves its platform libraries from the staged /usr/local/lib,
#     logs "Starting module MachineGatewayManager." and, with no system bus
#     to reach, ends with exit code 1.
#
#   check-staged-armhf.sh [--install] STAGE [BUILD]
#
# --install first (re)makes STAGE from BUILD. When BUILD was configured with
# a CMAKE_SYSROOT, the daemon runs on that sysroot with the staged
# /usr/local laid over it; otherwise on the build machine's armhf multiarch
# libraries.
#
# As root the daemon runs in its own mount and network namespace with the
# build machine's /usr/local/lib hidden under an empty tmpfs, so only the
# staged libraries can satisfy it. Without root it runs without namespaces:
# with no bus it only logs and exits before touching the system.
set -u

install=false
if [ "${1:-}" = --install ]; then
  install=true
  shift
fi
stage=${1:?usage: check-staged-armhf.sh [--install] STAGE [BUILD]}
build=${2:-}
if $install; then
  [ -n "$build" ] || {
    echo "check-staged-armhf.sh: --install needs BUILD" >&2
    exit 2
  }
  rm -rf "$stage"
  mkdir -p "$stage"
  DESTDIR=$(cd "$stage" && pwd) "${CMAKE:-cmake}" --install "$build" --prefix /usr/local >/dev/null || exit 1
fi
stage=$(cd "$stage" && pwd) || exit 1
sysroot=
if [ -n "$build" ]; then
  build=$(cd "$build" && pwd) || exit 1
  sysroot=$(sed -n 's/^CMAKE_SYSROOT:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
fi
triplet=arm-linux-gnueabihf
qemu=$(command -v qemu-arm || command -v qemu-arm-static || true)
readelf=$(command -v $triplet-readelf || command -v readelf || true)

passed=0
failed=0
pass() {
  passed=$((passed + 1))
  echo "ok - $*"
}
fail() {
  failed=$((failed + 1))
  echo "not ok - $*"
}
check() {
  description=$1
  shift
  if "$@"; then pass "$description"; else fail "$description"; fi
}

prefix=$stage/usr/local
daemon=$prefix/bin/MachineGatewayManager

# The installed tree.
for f in bin/MachineGatewayManager bin/mgmctl bin/mgm-announce \
  lib/liblogging.so lib/libmessagebus.so lib/libinterfaces.so \
  share/dbus-1/system.d/tarn.mgm.conf; do
  check "installed /usr/local/$f" test -f "$prefix/$f"
done
for f in bin/MachineGatewayManager bin/mgmctl bin/mgm-announce; do
  check "/usr/local/$f is executable" test -x "$prefix/$f"
done

# The ABI: 32-bit little-endian ARM, EABI version 5, arguments in VFP
# registers (hard-float).
is_armhf() {
  file -b "$1" | grep -q 'ELF 32-bit LSB .*ARM, EABI5' &&
    "$readelf" -A "$1" | grep -q 'Tag_ABI_VFP_args: VFP registers'
}
binaries="$daemon $prefix/bin/mgmctl $prefix/lib/liblogging.so $prefix/lib/libmessagebus.so $prefix/lib/libinterfaces.so"
[ -n "$build" ] && binaries="$build/src/MachineGatewayManager $binaries"
for f in $binaries; do
  check "$(file -b "$f" | cut -d, -f1-3) with VFP register arguments: ${f#"$stage"}" is_armhf "$f"
done

# The daemon looks for its platform libraries in /usr/local/lib.
dynamic=$("$readelf" -d "$daemon" 2>/dev/null)
check "daemon RUNPATH is /usr/local/lib" \
  sh -c 'printf "%s\n" "$1" | grep -Eq "\((RUNPATH|RPATH)\).*\[/usr/local/lib\]"' - "$dynamic"
for lib in liblogging.so libmessagebus.so libinterfaces.so; do
  check "daemon needs $lib" sh -c 'printf "%s\n" "$1" | grep -q "(NEEDED).*\[$2\]"' - "$dynamic" "$lib"
done

# Runs the installed daemon under qemu with $root as its root: a path the
# program (and its loader) opens is looked up there first, then on the build
# machine (without a sysroot: its armhf multiarch C library and libraries).
# qemu opens the program it is given on the build machine, not under -L, so
# programs are named by their paths there. Prints the loader's view of where
# each library comes from, the daemon's log, then "exit=<code>".
run_staged() {
  loader=/lib/ld-linux-armhf.so.3
  [ -e "$root$loader" ] && loader=$root$loader
  cat <<EOF >"$work/run.sh"
set -u
if [ "\$(id -u)" -eq 0 ]; then
  # Nothing of the build machine's /usr/local/lib can stand in for the stage.
  mount -t tmpfs -o size=1m none /usr/local/lib || exit 99
fi
echo "== libraries"
DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent "$qemu" -L "$root" "$loader" --list /usr/local/bin/MachineGatewayManager
echo "== run"
DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent timeout 60 \
  "$qemu" -L "$root" -0 /usr/local/bin/MachineGatewayManager "$daemon" </dev/null
echo "exit=\$?"
EOF
  if [ "$(id -u)" -eq 0 ]; then
    unshare -mn sh "$work/run.sh" 2>&1
  else
    sh "$work/run.sh" 2>&1
  fi
}

if [ -z "$qemu" ]; then
  fail "qemu-arm not found: install qemu-user (scripts/setup-armhf.sh)"
elif [ -f "$daemon" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  root=$stage
  if [ -n "$sysroot" ]; then
    # The sysroot with the staged /usr/local in place of its own.
    root=$work/root
    mkdir -p "$root/usr"
    for entry in "$sysroot"/* "$sysroot"/usr/*; do
      name=${entry#"$sysroot"/}
      case $name in usr | usr/local) continue ;; esac
      ln -s "$entry" "$root/$name"
    done
    ln -s "$stage/usr/local" "$root/usr/local"
  fi
  output=$(run_staged)
  printf '%s\n' "$output" | sed 's/^/    /'
  if [ "$(id -u)" -ne 0 ] && [ -e /usr/local/lib/liblogging.so ] &&
    file -b -L /usr/local/lib/liblogging.so | grep -q 'ARM'; then
    fail "the build machine's own /usr/local/lib/liblogging.so is ARM: cannot tell it from the staged one without root"
  fi
  for lib in liblogging.so libmessagebus.so libinterfaces.so; do
    check "daemon resolves $lib in /usr/local/lib" \
      sh -c 'printf "%s\n" "$1" | grep -q "$2 => /usr/local/lib/$2 "' - "$output" "$lib"
  done
  check "no library is missing" sh -c '! printf "%s\n" "$1" | grep -q "not found"' - "$output"
  check "daemon logs \"Starting module MachineGatewayManager.\"" \
    sh -c 'printf "%s\n" "$1" | grep -q "Starting module MachineGatewayManager\."' - "$output"
  check "daemon logs the failed connection" \
    sh -c 'printf "%s\n" "$1" | grep -q "Connection to message bus failed (error code 0x11000003)\."' - "$output"
  check "daemon ends with exit code 1 for want of a bus" \
    sh -c 'printf "%s\n" "$1" | grep -qx "exit=1"' - "$output"
fi

echo "check-staged-armhf: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
