#!/bin/bash
# A gateway image in a container: a minimal Debian 12 root file system (made
# with mmdebstrap, cached in /var/cache/mgm-boottest so later runs reuse it)
# boots with systemd-nspawn on a private network, with a throw-away overlay
# over the cached tree. At boot the unit mgm-walk.service sources
# gateway.sh (the gateway's zones, a component and an outside namespace, a
# test registry, the device tools, helpers) and then WALK, which may install
# the packages from /boottest/debs and should end with a poweroff.
#
#   boot.sh DEB_DIR WALK OUT
#
# DEB_DIR holds mgm_*.deb and mgm-announce_*.deb of this machine's
# architecture. OUT (made, and left for the caller) gets share/ (the
# container's /boottest: the walk's files, registry/requests.jsonl, what the
# walk writes) and journal/ (the container's persistent journal, for
# journalctl -D).
#
# Exit status 0 the container booted and ended, 1 it did not end within 8
# minutes, 77 it could not run: not root, a tool missing, no package, no
# root file system (no Debian mirror), or nspawn cannot boot here.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
deb_dir=${1:?usage: boot.sh DEB_DIR WALK OUT}
walk=${2:?usage: boot.sh DEB_DIR WALK OUT}
work=${3:?usage: boot.sh DEB_DIR WALK OUT}
arch=$(dpkg --print-architecture 2>/dev/null || echo unknown)
cache=${MGM_BOOTTEST_CACHE:-/var/cache/mgm-boottest}
mirror=${MGM_BOOTTEST_MIRROR:-http://deb.debian.org/debian}
# What the walks need besides the package's own dependencies.
packages=systemd,systemd-sysv,dbus,iptables,curl,busybox,iproute2,python3,libtinyxml2-9,libdbus-1-3
skip() { echo "SKIP: $*"; exit 77; }

[ "$(id -u)" = 0 ] || skip "the boot test needs root"
for tool in systemd-nspawn mmdebstrap openssl dpkg-deb flock; do
  command -v $tool >/dev/null || skip "$tool is not installed (scripts/setup.sh installs it)"
done
debs=$(ls "$deb_dir"/mgm_*_"$arch".deb "$deb_dir"/mgm-announce_*_"$arch".deb 2>/dev/null)
[ "$(echo "$debs" | grep -c .)" = 2 ] || skip "no mgm and mgm-announce packages for $arch in $deb_dir (scripts/build-deb.sh makes them)"
started=$(date +%s)

# ---- the cached root file system, made once per package list
rootfs=$cache/bookworm-$(echo "$packages" | md5sum | cut -c1-8)
mkdir -p "$cache"
exec 9>"$cache/lock"
flock -w 600 9 || skip "another boot test holds $cache/lock"
if [ ! -e "$rootfs/.complete" ]; then
  echo "making the Debian 12 root file system in $rootfs (mmdebstrap, $mirror)"
  rm -rf "$rootfs" "$rootfs.tar"
  timeout 300 mmdebstrap --quiet --variant=minbase --include="$packages" bookworm "$rootfs.tar" "$mirror" ||
    { rm -f "$rootfs.tar"; skip "mmdebstrap could not make the root file system (no Debian mirror reachable?)"; }
  mkdir -p "$rootfs" && tar -C "$rootfs" -xf "$rootfs.tar" && rm -f "$rootfs.tar" && touch "$rootfs/.complete"
fi
echo "root file system ready after $(($(date +%s) - started)) s"

# ---- what the container gets: packages, scripts, a test PKI
nspawn_pid=
trap '[ -z "$nspawn_pid" ] || { kill -TERM "$nspawn_pid"; sleep 2; kill -KILL "$nspawn_pid"; wait "$nspawn_pid"; } 2>/dev/null' EXIT
share=$work/share
mkdir -p "$share/debs" "$share/pki" "$work/journal"
cp $debs "$share/debs/"
cp "$walk" "$share/walk.sh" && cp "$here/gateway.sh" "$here/tcp.py" "$here/request.py" "$here/../emulator/registry.py" "$share/"
host=$(sed -n 's/^MGM_REGISTRY_HOST:[A-Z]*=//p' "$source_dir/build/deb/work-$arch/mgm-"*/obj-*/CMakeCache.txt 2>/dev/null | head -1)
echo "${host:-registry.iot.tarn.invalid}" >"$share/registry-host"
pki=$share/pki
curve=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
{
  openssl req -x509 "${curve[@]}" -days 2 -subj "/CN=Boot Test Root CA" -keyout "$pki/ca.key" -out "$pki/ca.crt"
  printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n' >"$pki/client.ext"
  openssl req -new "${curve[@]}" -subj "/CN=boot-test-gateway" -keyout "$pki/client.key" -out "$pki/client.csr"
  openssl x509 -req -in "$pki/client.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial -days 2 \
    -extfile "$pki/client.ext" -out "$pki/client.crt"
  printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:%s\n' "$(cat "$share/registry-host")" \
    >"$pki/server.ext"
  openssl req -new "${curve[@]}" -subj "/CN=$(cat "$share/registry-host")" -keyout "$pki/server.key" -out "$pki/server.csr"
  openssl x509 -req -in "$pki/server.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial -days 2 \
    -extfile "$pki/server.ext" -out "$pki/server.crt"
} >"$work/pki.log" 2>&1 || { cat "$work/pki.log"; echo "making the test PKI failed"; exit 1; }
cat >"$work/mgm-walk.service" <<UNIT
[Unit]
Description=A walk through the gateway with the mgm package
After=multi-user.target dbus.service
[Service]
Type=oneshot
ExecStart=/bin/bash -c '. /boottest/gateway.sh && . /boottest/walk.sh'
UNIT
# The component's announcement.
cat >"$share/drive.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<RegMachCompSvcReq>
  <ComponentList>
    <Component ComponentID="Press4/Drive">
      <ServiceList>
        <Service ServiceID="opcua">
          <ServiceEndpoint>opcua:TCP:1:192.168.2.20:4840</ServiceEndpoint>
        </Service>
      </ServiceList>
    </Component>
  </ComponentList>
</RegMachCompSvcReq>
XML

# ---- boot, walk, power off (at most 8 minutes)
echo "booting the container"
booted=$(date +%s)
timeout -k 20 480 systemd-nspawn --quiet --directory="$rootfs" --volatile=overlay --boot --private-network \
  --register=no --keep-unit --console=pipe --bind="$share:/boottest" --bind="$work/journal:/var/log/journal" \
  --bind-ro="$work/mgm-walk.service:/etc/systemd/system/mgm-walk.service" \
  systemd.wants=mgm-walk.service >"$work/console.log" 2>&1 &
nspawn_pid=$!
wait "$nspawn_pid"
rc=$?
nspawn_pid=
echo "container ended with $rc after $(($(date +%s) - booted)) s"
[ "$rc" = 124 ] && { cat "$work/console.log"; echo "FAIL: the container did not end within 8 minutes"; exit 1; }
[ -s "$share/walk.log" ] || { cat "$work/console.log"; skip "systemd-nspawn could not boot the container here (exit $rc; console above)"; }
exit 0
