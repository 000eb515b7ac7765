#!/bin/sh
# Checks an armhf install staged with
#   DESTDIR=STAGE cmake --install BUILD --prefix /usr/local
# and the daemon built for it:
#   - the installed tree: daemon and tools in /usr/local/bin (executable),
#     the three platform libraries in /usr/local/lib, the D-Bus policy in
#     /usr/local/share/dbus-1/system.d;
#   - the binaries are 32-bit ARM EABI5 ELF with hard-float calling
#     convention;
#   - the installed daemon, run under qemu-arm with the staged tree as its
#     root, resolves its platform libraries from the staged /usr/local/lib
#     (so it needs them and its run-time library path, $ORIGIN/../lib,
#     leads there),
#     logs "Starting module MachineGatewayManager." and, with no system bus
#     to reach, the failed connection, and ends with exit code 1.
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
[ "${1:-}" = --install ] && install=true && shift
stage=${1:?usage: check-staged-armhf.sh [--install] STAGE [BUILD]}
build=${2:-}
if $install; then
  [ -n "$build" ] || { echo "check-staged-armhf.sh: --install needs BUILD" >&2 && exit 2; }
  rm -rf "$stage" && mkdir -p "$stage"
  DESTDIR=$(cd "$stage" && pwd) "${CMAKE:-cmake}" --install "$build" --prefix /usr/local >/dev/null || exit 1
fi
stage=$(cd "$stage" && pwd) || exit 1
[ -z "$build" ] || build=$(cd "$build" && pwd) || exit 1
sysroot=$(sed -n 's/^CMAKE_SYSROOT:[A-Z]*=//p' "${build:-/nonexistent}/CMakeCache.txt" 2>/dev/null)
qemu=$(command -v qemu-arm || command -v qemu-arm-static || true)
readelf=$(command -v arm-linux-gnueabihf-readelf || command -v readelf || true)
prefix=$stage/usr/local
daemon=$prefix/bin/MachineGatewayManager
passed=0 failed=0
check() { # DESCRIPTION COMMAND...
  if (shift && "$@"); then passed=$((passed + 1)) && echo "ok - $1"; else failed=$((failed + 1)) && echo "not ok - $1"; fi
}

# The installed tree and its ABI: 32-bit little-endian ARM, EABI version 5,
# arguments in VFP registers (hard-float); what is in a bin/ is executable.
is_armhf() {
  case $1 in */bin/*) [ -x "$1" ] || return 1 ;; esac
  file -b "$1" | grep -q 'ELF 32-bit LSB .*ARM, EABI5' && "$readelf" -A "$1" | grep -q 'Tag_ABI_VFP_args: VFP registers'
}
check "installed /usr/local/share/dbus-1/system.d/tarn.mgm.conf" test -f "$prefix/share/dbus-1/system.d/tarn.mgm.conf"
for f in "$prefix"/bin/MachineGatewayManager "$prefix"/bin/mgmctl "$prefix"/bin/mgm-announce "$prefix"/lib/liblogging.so \
  "$prefix"/lib/libmessagebus.so "$prefix"/lib/libinterfaces.so ${build:+"$build"/src/MachineGatewayManager}; do
  check "${f#"$stage"} is an armhf binary (and executable in a bin/)" is_armhf "$f"
done

if [ -z "$qemu" ]; then
  check "qemu-arm found (install qemu-user: scripts/setup-armhf.sh)" false
elif [ -f "$daemon" ]; then
  work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
  root=$stage
  if [ -n "$sysroot" ]; then
    # The sysroot with the staged /usr/local in place of its own.
    root=$work/root && mkdir -p "$root/usr"
    for entry in "$sysroot"/* "$sysroot"/usr/*; do
      case ${entry#"$sysroot"/} in usr | usr/local) ;; *) ln -s "$entry" "$root/${entry#"$sysroot"/}" ;; esac
    done
    ln -s "$stage/usr/local" "$root/usr/local"
  fi
  # The installed daemon under qemu with $root as its root: a path the
  # program (and its loader) opens is looked up there first, then on the
  # build machine (without a sysroot: its armhf multiarch C library and
  # libraries). qemu opens the program it is given on the build machine, not
  # under -L, so programs are named by their paths there. Prints the
  # loader's view of where each library comes from, the daemon's log, then
  # "exit=<code>".
  loader=/lib/ld-linux-armhf.so.3 && [ -e "$root$loader" ] && loader=$root$loader
  cat <<EOF >"$work/run.sh"
set -u
# As root nothing of the build machine's /usr/local/lib can stand in for the stage.
[ "\$(id -u)" -ne 0 ] || mount -t tmpfs -o size=1m none /usr/local/lib || exit 99
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
"$qemu" -L "$root" "$loader" --list /usr/local/bin/MachineGatewayManager
timeout 60 "$qemu" -L "$root" -0 /usr/local/bin/MachineGatewayManager "$daemon" </dev/null
echo "exit=\$?"
EOF
  output=$(if [ "$(id -u)" -eq 0 ]; then unshare -mn sh "$work/run.sh"; else sh "$work/run.sh"; fi 2>&1)
  printf '%s\n' "$output" | sed 's/^/    /'
  [ "$(id -u)" -eq 0 ] || ! file -b -L /usr/local/lib/liblogging.so | grep -q ARM ||
    check "without root, the build machine's own ARM /usr/local/lib/liblogging.so hides the staged one" false
  check "no library is missing" sh -c '! printf "%s\n" "$1" | grep -q "not found"' - "$output"
  for want in "liblogging.so => /usr/local/\(bin/\.\./\)\{0,1\}lib/liblogging.so " \
    "libmessagebus.so => /usr/local/\(bin/\.\./\)\{0,1\}lib/libmessagebus.so " \
    "libinterfaces.so => /usr/local/\(bin/\.\./\)\{0,1\}lib/libinterfaces.so " "Starting module MachineGatewayManager\." \
    "Connection to message bus failed (error code 0x11000003)\." "^exit=1$"; do
    check "the daemon's run shows: $want" sh -c 'printf "%s\n" "$1" | grep -q -- "$2"' - "$output" "$want"
  done
fi

echo "check-staged-armhf: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
