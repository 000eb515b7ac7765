#!/bin/sh
# Builds the Debian packages mgm and mgm-announce with debhelper from a copy
# of this checkout (so nothing of the build lands in the source tree) and
# puts them into build/deb/; lintian (when installed) must find no error and
# systemd-analyze must rate the units within their exposure targets.
#
#   scripts/build-deb.sh [armhf]
#
# Without an argument for the build machine's architecture; "armhf" cross-
# builds with Debian's cross toolchain (run scripts/setup-armhf.sh as root
# once). Environment: MGM_DEB_DIR (output directory, default build/deb).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
host=${1:-$(dpkg --print-architecture)}
out=${MGM_DEB_DIR:-build/deb}
mkdir -p "$out" && out=$(cd "$out" && pwd)
version=$(dpkg-parsechangelog -S Version)
work=$out/work-$host
rm -rf "$work" && mkdir -p "$work/mgm-$version"

# The checkout's files as git sees them (committed, changed and new), or
# everything but build directories outside a git checkout.
if git -C "$root" rev-parse >/dev/null 2>&1; then
  git -C "$root" ls-files -z -co --exclude-standard | (cd "$root" && xargs -0 tar -cf - --no-recursion) |
    tar -C "$work/mgm-$version" -xf -
else
  tar -C "$root" --exclude='./build*' -cf - . | tar -C "$work/mgm-$version" -xf -
fi

arch_option=
[ "$host" = "$(dpkg --print-architecture)" ] || arch_option="-a$host"
(cd "$work/mgm-$version" && dpkg-buildpackage -b -us -uc $arch_option -j"$(nproc)" >"$work/build.log" 2>&1) || {
  tail -40 "$work/build.log" >&2
  echo "build-deb.sh: dpkg-buildpackage failed; the whole log is $work/build.log" >&2
  exit 1
}
if command -v lintian >/dev/null; then
  # Errors fail the build; the warnings left are listed in debian/README.lintian.
  lintian --fail-on error "$work"/mgm_"${version}"_"$host".deb "$work"/mgm-announce_"${version}"_"$host".deb
fi
# The units' exposure as systemd-analyze rates it: at most 3.0 for the
# daemon, 2.0 for the supervisor.
if command -v systemd-analyze >/dev/null; then
  units=$work/mgm-$version/debian/mgm/lib/systemd/system
  for unit in mgm:3.0 mgm-supervise:2.0; do
    level=$(systemd-analyze security --offline=yes "$units/${unit%:*}.service" 2>/dev/null |
      sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    echo "build-deb.sh: systemd-analyze security ${unit%:*}.service: $level (at most ${unit#*:})"
    awk -v l="$level" -v m="${unit#*:}" 'BEGIN { exit !(l != "" && l <= m) }' || exit 1
  done
fi
for deb in "$work"/*_"$host".deb; do
  mv "$deb" "$out/"
  echo "build-deb.sh: $out/$(basename "$deb")"
done
