#!/bin/sh
# Checks the Debian packages in DEB_DIR, for every architecture built there:
#   - mgm holds the daemon and mgmctl in /usr/bin, our platform libraries in
#     /usr/lib/mgm (and nothing in the system's library path), the bus
#     policy, both units, the tmpfiles.d entry, the compatibility timeout and
#     the daemon's root whose /sbin/ifconfig is BusyBox; mgm-announce holds
#     mgm-announce;
#   - every binary is an ELF of the package's architecture (armhf: 32-bit
#     ARM EABI5) and the daemon finds its libraries next to it ($ORIGIN);
#   - the units name the installed paths; Depends names what the daemon runs.
# scripts/build-deb.sh itself refuses packages with lintian errors or units
# rated above their exposure targets.
#
#   check-debs.sh DEB_DIR       exit 0 all passed, 1 a check failed, 77 no packages
set -u
dir=${1:?usage: check-debs.sh DEB_DIR}
ls "$dir"/mgm_*.deb >/dev/null 2>&1 || { echo "SKIP: no mgm package in $dir (scripts/build-deb.sh makes it)"; exit 77; }
passed=0 failed=0
check() { # DESCRIPTION COMMAND...
  if (shift && "$@"); then passed=$((passed + 1)) && echo "ok - $1"; else failed=$((failed + 1)) && echo "not ok - $1"; fi
}
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
for deb in "$dir"/mgm_*.deb; do
  arch=$(dpkg-deb -f "$deb" Architecture)
  announce=$(ls "$dir"/mgm-announce_*_"$arch".deb 2>/dev/null | head -1)
  root=$work/$arch && mkdir -p "$root" && dpkg-deb -x "$deb" "$root" && [ -z "$announce" ] || dpkg-deb -x "$announce" "$root"
  case $arch in
    amd64) elf='ELF 64-bit LSB .*x86-64' ;;
    armhf) elf='ELF 32-bit LSB .*ARM, EABI5' ;;
    *) elf="ELF" ;;
  esac
  for f in usr/bin/MachineGatewayManager usr/bin/mgmctl usr/bin/mgm-announce usr/lib/mgm/liblogging.so \
    usr/lib/mgm/libmessagebus.so usr/lib/mgm/libinterfaces.so; do
    check "$arch: /$f is a $arch ELF" sh -c 'file -b "$1" | grep -q "$2"' - "$root/$f" "$elf"
  done
  check "$arch: nothing in the system's library path" sh -c '! ls "$1"/usr/lib/*.so* "$1"/usr/lib/*-linux-*/ 2>/dev/null | grep -q .' - "$root"
  check "$arch: the daemon's RUNPATH is \$ORIGIN/../lib/mgm" sh -c \
    'readelf -d "$1" | grep -q "RUNPATH.*\[\$ORIGIN/../lib/mgm\]"' - "$root/usr/bin/MachineGatewayManager"
  for f in usr/share/dbus-1/system.d/tarn.mgm.conf lib/systemd/system/mgm.service lib/systemd/system/mgm-supervise.service \
    usr/lib/tmpfiles.d/mgm.conf; do
    check "$arch: /$f installed" test -f "$root/$f"
  done
  check "$arch: /usr/lib/mgm/compat/timeout takes -t" sh -c \
    '[ -x "$1" ] && [ "$(PATH=/usr/bin:/bin sh "$1" -t 5 echo hello)" = hello ]' - "$root/usr/lib/mgm/compat/timeout"
  check "$arch: the daemon's /sbin/ifconfig is BusyBox" test "$(readlink "$root/usr/lib/mgm/root/sbin/ifconfig")" = ../../../../bin/busybox
  check "$arch: the units name the installed files" sh -c 'grep -q "^ExecStart=/usr/bin/MachineGatewayManager$" "$1/mgm.service" &&
    grep -q "^RootDirectory=/usr/lib/mgm/root$" "$1/mgm.service" && grep -q "^Environment=PATH=/usr/lib/mgm/compat:" "$1/mgm.service" &&
    grep -q "^ExecStart=/usr/bin/mgmctl supervise$" "$1/mgm-supervise.service" && ! grep -q "^Exec.*/usr/local" "$1"/*.service' - "$root/lib/systemd/system"
  check "$arch: Depends names dbus, iptables, curl and busybox" sh -c \
    'for p in dbus iptables curl busybox; do dpkg-deb -f "$1" Depends | grep -qw $p || exit 1; done' - "$deb"
done
echo "check-debs: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
