#!/bin/bash
# Footprint of the armhf daemon, printed as Markdown:
#   1. file sizes of the daemon and the three platform libraries, as built and
#      stripped (arm-linux-gnueabihf-strip on a temporary copy);
#   2. the shared libraries the daemon needs at run time, followed
#      recursively through DT_NEEDED, with the package each comes from;
#   3. resident memory of the daemon when idle and after 1,000 endpoints are
#      published, for the armhf daemon under qemu-arm and for the native
#      x86-64 daemon, each on a throw-away gateway made of a mount, network
#      and PID namespace (needs root; skipped otherwise or with --sizes).
#
#   scripts/footprint.sh [--sizes]
#
# Inputs (environment):
#   MGM_ARMHF_BUILD    armhf build directory (default build/armhf; made by
#                      scripts/build-armhf.sh)
#   MGM_ARMHF_STAGE    its staged install of /usr/local (default
#                      <armhf build>/stage; installed here when missing)
#   MGM_NATIVE_BUILD   native build directory with the daemon, mgmctl and
#                      mgm-announce (default build/footprint-native; the
#                      three targets are built there when missing)
#   MGM_FOOTPRINT_FILES, MGM_FOOTPRINT_ENDPOINTS
#                      component service files and endpoints per file
#                      announced for the loaded figure (default 100 x 10)
#   MGM_FOOTPRINT_TIMEOUT  seconds any one wait may take (default 600)
#
# The gateway each daemon runs on: tmpfs over /run, /var/volatile,
# /var/provisioning and /usr/local/bin; stand-ins for the device tools
# (tarn-vpn-manager -check succeeds, GSMUtil prints SIM digits); busybox as
# /sbin/ifconfig and a busybox-style "timeout -t N" first in PATH; dummy (or
# veth) interfaces "Trusted" 192.168.2.1/24 and "Untrusted" 198.51.100.1/24; the
# namespace's own iptables; a private dbus-daemon whose policy includes
# dist/tarn.mgm.conf; "mgmctl watch" as the supervisor. The registry host
# resolves to 127.0.0.1, where nothing listens, so every upload fails at
# once and nothing leaves the namespace. The component service files are
# sent by mgm-announce to the receiver on 192.168.2.1:5600.
set -euo pipefail

# Resident set of a process, from /proc: VmRSS and VmHWM in KiB.
vm_field() { sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$1/status"; }

# Resident KiB of the mappings of PID that lie in [BASE, BASE + 4 GiB): the
# guest's own memory when qemu runs it with -B BASE. Prints "n/a" unless the
# daemon's own executable is mapped in that window.
guest_rss() {
  local pid=$1 base=$2
  awk -v base="$base" '
    function hex(s,   n, i) { n = 0; for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return n }
    /^[0-9a-f]+-[0-9a-f]+ / {
      split($1, r, "-"); start = hex(r[1]); inside = start >= base && start < base + 4294967296
      if (inside && $NF ~ /\/MachineGatewayManager$/) daemon = 1
      next
    }
    /^Rss:/ { if (inside) sum += $2 }
    END { if (daemon) print sum + 0; else print "n/a" }' "/proc/$pid/smaps"
}

# ---------------------------------------------------------------- inside the namespaces

# inside KIND: runs as PID 1 of fresh mount, network and PID namespaces;
# KIND is native or armhf. Prints "RESULT name=value" lines.
inside() {
  local kind=$1
  local state=/run/mgm-footprint spool=/var/volatile/tmp/iot
  local guest_base=$((0x10000000000))
  local deadline

  mount -t tmpfs -o mode=0755 mgm-footprint-run /run
  mkdir -p "$state/bin" "$state/files" /var/volatile /var/provisioning
  mount -t tmpfs -o mode=0755 mgm-footprint-volatile /var/volatile
  mount -t tmpfs -o mode=0755 mgm-footprint-provisioning /var/provisioning
  mkdir -p "$spool" /usr/local/bin
  mount -t tmpfs -o mode=0755 mgm-footprint-localbin /usr/local/bin

  # Device tools.
  printf '#!/bin/sh\nexit 0\n' >/usr/local/bin/tarn-vpn-manager
  cat >/usr/local/bin/GSMUtil <<'EOF'
#!/bin/sh
case "$1" in
  iccid) echo "89490200001234567890" ;;
  provider) echo "262019876543210 Footprint Mobile" ;;
esac
EOF
  chmod 755 /usr/local/bin/tarn-vpn-manager /usr/local/bin/GSMUtil
  install -m 755 "$(dirname "$0")/emulator/busybox-timeout" "$state/bin/timeout"
  local ifconfig sbin
  ifconfig=$(readlink -f /sbin/ifconfig 2>/dev/null || true)
  if [ -n "$ifconfig" ] && [ -e "$ifconfig" ]; then
    mount --bind "$(command -v busybox)" "$ifconfig"
  else
    mkdir -p "$state/sbin-extra"
    ln -s "$(command -v busybox)" "$state/sbin-extra/ifconfig"
    sbin=$(readlink -f /sbin)
    mount -t overlay mgm-footprint-sbin -o "lowerdir=$state/sbin-extra:$sbin" "$sbin"
  fi
  printf '127.0.0.1\tlocalhost %s\n' "$REGISTRY_HOST" >"$state/hosts"
  printf 'nameserver 127.0.0.1\n' >"$state/resolv.conf"
  mount --bind "$state/hosts" /etc/hosts
  mount --bind "$state/resolv.conf" /etc/resolv.conf

  # Zones: dummy interfaces, or where the kernel has none, veth pairs whose
  # other ends stay in this namespace.
  ip link set lo up
  zone Trusted 192.168.2.1/24
  zone Untrusted 198.51.100.1/24
  /sbin/ifconfig Trusted | grep -q 'inet addr:192.168.2.1' || {
    echo "footprint: /sbin/ifconfig does not answer for Trusted" >&2
    return 1
  }

  # Private system bus and supervisor.
  cat >"$state/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$state/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  </policy>
  <policy user="root">
    <allow own="tarn.main"/>
    <allow send_destination="tarn.main"/>
  </policy>
  <include>$SOURCE_DIR/dist/tarn.mgm.conf</include>
</busconfig>
EOF
  dbus-daemon --config-file="$state/bus.conf" --nofork --nopidfile >"$state/bus.log" 2>&1 &
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$state/bus
  wait_for "the private bus" dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.ListNames
  "$MGMCTL" watch >"$state/supervisor.log" 2>&1 &
  wait_for "the supervisor" has_owner tarn.main

  # The daemon.
  local path="$state/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
  if [ "$kind" = armhf ]; then
    (cd / && exec env PATH="$path" "$QEMU" -B "$guest_base" -L "$STAGE" -0 /usr/local/bin/MachineGatewayManager \
      "$STAGE/usr/local/bin/MachineGatewayManager") >"$state/daemon.log" 2>&1 &
  else
    (cd / && exec env PATH="$path" "$NATIVE_DAEMON") >"$state/daemon.log" 2>&1 &
  fi
  local pid=$!
  DAEMON_PID=$pid
  wait_for "the daemon to report Ready" status_seen "$state/supervisor.log" 1
  "$MGMCTL" start >/dev/null
  wait_for "the daemon to report Running" status_seen "$state/supervisor.log" 3
  cycles 3
  report "$kind" idle "$pid" "$guest_base"

  # Announce the component service files.
  local i j count=$((FILES * ENDPOINTS))
  for ((i = 0; i < FILES; i++)); do
    {
      # One element a line, as components write them: the receiver takes
      # the spool name from the ComponentID and ServiceID lines.
      echo '<?xml version="1.0" encoding="UTF-8"?>'
      echo '<RegMachCompSvcReq>'
      echo '  <ComponentList>'
      echo "    <Component ComponentID=\"Plant/Cmp$i\">"
      echo '      <ServiceList>'
      echo '        <Service ServiceID="svc">'
      for ((j = 0; j < ENDPOINTS; j++)); do
        echo "          <ServiceEndpoint>ep$j:TCP:1:192.168.$((2 + i / 200)).$((10 + i % 200)):$((4000 + j))</ServiceEndpoint>"
      done
      echo '        </Service>'
      echo '      </ServiceList>'
      echo '    </Component>'
      echo '  </ComponentList>'
      echo '</RegMachCompSvcReq>'
    } >"$state/files/Cmp$i.xml"
  done
  local started=$SECONDS
  deadline=$((SECONDS + TIMEOUT))
  while :; do
    local missing=0
    for ((i = 0; i < FILES; i++)); do
      if [ ! -e "$spool/Cmp${i}_svc.xml" ]; then
        missing=$((missing + 1))
        "$ANNOUNCE" "$state/files/Cmp$i.xml" 192.168.2.1 5600 >/dev/null
      fi
    done
    [ "$missing" = 0 ] && break
    [ $SECONDS -lt "$deadline" ] || fail "the receiver to spool $FILES files ($missing missing)"
    sleep 1
  done
  deadline=$((SECONDS + TIMEOUT))
  until [ "$(rule_count)" -ge $((count + 1)) ]; do
    [ $SECONDS -lt "$deadline" ] || fail "$count forwards (have $(rule_count))"
    kill -0 "$pid" 2>/dev/null || fail "$count forwards: the daemon ended"
    "$MGMCTL" status >/dev/null 2>&1 || true
  done
  echo "RESULT ${kind}_publish_seconds=$((SECONDS - started))"
  echo "RESULT ${kind}_rules=$(rule_count)"
  cycles 3
  echo "RESULT ${kind}_request_bytes=$(stat -c %s "$spool/RegisterMachineServices.xml" 2>/dev/null || echo 0)"
  report "$kind" loaded "$pid" "$guest_base"
  "$MGMCTL" exit >/dev/null 2>&1 || true
}

# zone NAME ADDRESS: a link named NAME holding ADDRESS, up.
zone() {
  if ! ip link add "$1" type dummy 2>/dev/null; then
    ip link add "$1" type veth peer name "$1-peer"
    ip link set "$1-peer" up
  fi
  ip addr add "$2" dev "$1"
  ip link set "$1" up
}

report() {
  local kind=$1 when=$2 pid=$3 base=$4
  echo "RESULT ${kind}_${when}_rss_kb=$(vm_field "$pid" VmRSS)"
  echo "RESULT ${kind}_${when}_hwm_kb=$(vm_field "$pid" VmHWM)"
  if [ "$kind" = armhf ]; then
    echo "RESULT ${kind}_${when}_guest_rss_kb=$(guest_rss "$pid" "$base")"
  fi
}

fail() {
  echo "footprint: timed out waiting for $1" >&2
  for f in /run/mgm-footprint/daemon.log /run/mgm-footprint/supervisor.log; do
    echo "----- $f" >&2
    tail -n 30 "$f" >&2
  done
  exit 1
}

# wait_for DESCRIPTION CMD...: polls CMD (bounded; gives up at once when
# the daemon, once started, has ended).
DAEMON_PID=
wait_for() {
  local what=$1 deadline=$((SECONDS + TIMEOUT))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt "$deadline" ] || fail "$what"
    if [ -n "$DAEMON_PID" ] && ! kill -0 "$DAEMON_PID" 2>/dev/null; then fail "$what: the daemon ended"; fi
    sleep 0.2
  done
}

has_owner() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    "string:$1" | grep -q 'boolean true'
}
status_seen() { sed -n 's/^StatusReply from .*: \([0-9][0-9]*\).*$/\1/p' "$1" | grep -qx "$2"; }
# N status requests in a row: each is answered after the cycle that followed
# the one before it, so at least N-1 whole cycles run.
cycles() {
  local i
  for ((i = 0; i < $1; i++)); do "$MGMCTL" status >/dev/null; done
}
rule_count() { iptables -t nat -S IOT 2>/dev/null | grep -c '^-A IOT' || true; }

if [ "${1:-}" = --inside ]; then
  inside "$2"
  exit 0
fi

# ---------------------------------------------------------------- on the host

cd "$(dirname "$0")/.."
SOURCE_DIR=$(pwd)
absolute() { case $1 in /*) echo "$1" ;; *) echo "$SOURCE_DIR/$1" ;; esac; }
ARMHF_BUILD=$(absolute "${MGM_ARMHF_BUILD:-build/armhf}")
STAGE=$(absolute "${MGM_ARMHF_STAGE:-$ARMHF_BUILD/stage}")
NATIVE_BUILD=$(absolute "${MGM_NATIVE_BUILD:-build/footprint-native}")
FILES=${MGM_FOOTPRINT_FILES:-100}
ENDPOINTS=${MGM_FOOTPRINT_ENDPOINTS:-10}
TIMEOUT=${MGM_FOOTPRINT_TIMEOUT:-600}
TRIPLET=arm-linux-gnueabihf
sizes_only=false
[ "${1:-}" = --sizes ] && sizes_only=true

if [ ! -x "$ARMHF_BUILD/src/MachineGatewayManager" ]; then
  echo "footprint: no armhf build in $ARMHF_BUILD: run scripts/build-armhf.sh first" >&2
  exit 1
fi
if [ ! -x "$STAGE/usr/local/bin/MachineGatewayManager" ]; then
  DESTDIR=$STAGE cmake --install "$ARMHF_BUILD" --prefix /usr/local >/dev/null
fi

echo "## Sizes"
echo
echo "armhf, build type $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$ARMHF_BUILD/CMakeCache.txt"),"
echo "$($TRIPLET-g++ --version | head -n1); stripped with $TRIPLET-strip."
echo
echo "| File | As built (bytes) | Stripped (bytes) | text | data | bss |"
echo "|---|---:|---:|---:|---:|---:|"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
total=0
for f in bin/MachineGatewayManager lib/liblogging.so lib/libmessagebus.so lib/libinterfaces.so; do
  cp "$STAGE/usr/local/$f" "$work/file"
  $TRIPLET-strip "$work/file"
  stripped=$(stat -c %s "$work/file")
  total=$((total + stripped))
  read -r text data bss _ < <($TRIPLET-size "$work/file" | tail -n1)
  echo "| /usr/local/$f | $(stat -c %s "$STAGE/usr/local/$f") | $stripped | $text | $data | $bss |"
done
echo "| total | | $total | | | |"
echo

echo "## Shared libraries needed at run time"
echo
echo "DT_NEEDED of the installed daemon, followed recursively; the armhf"
echo "libraries of Debian 12 (multiarch) stand in for the device's."
echo
echo "| Library | Needed by | Found at | Package | Size as installed (bytes) |"
echo "|---|---|---|---|---:|"
declare -A seen=()
queue=("$STAGE/usr/local/bin/MachineGatewayManager")
while [ ${#queue[@]} -gt 0 ]; do
  object=${queue[0]}
  queue=("${queue[@]:1}")
  for lib in $($TRIPLET-readelf -d "$object" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -n "${seen[$lib]:-}" ] && continue
    seen[$lib]=1
    found=
    for dir in "$STAGE/usr/local/lib" /usr/lib/$TRIPLET /lib/$TRIPLET /usr/$TRIPLET/lib; do
      if [ -e "$dir/$lib" ]; then
        found=$dir/$lib
        break
      fi
    done
    if [ -z "$found" ]; then
      echo "| $lib | $(basename "$object") | not found | | |"
      continue
    fi
    real=$(readlink -f "$found")
    case $found in
      "$STAGE"/*) where=${found#"$STAGE"}; package="this project" ;;
      *)
        where=$found
        package=
        for candidate in "$found" "/lib/$TRIPLET/$lib" "/usr/lib/$TRIPLET/$lib" "$real"; do
          package=$(dpkg -S "$candidate" 2>/dev/null | head -n1 | cut -d: -f1-2) && break
        done
        ;;
    esac
    echo "| $lib | $(basename "$object") | $where | ${package:-?} | $(stat -c %s "$real") |"
    queue+=("$found")
  done
done
echo

if $sizes_only; then exit 0; fi
if [ "$(id -u)" -ne 0 ] || ! unshare --mount --net --pid --fork true 2>/dev/null; then
  echo "## Resident memory"
  echo
  echo "Skipped: needs root and mount, network and PID namespaces."
  exit 0
fi

QEMU=$(command -v qemu-arm || command -v qemu-arm-static)
for tool in busybox dbus-daemon dbus-send iptables ip; do
  command -v "$tool" >/dev/null || { echo "footprint: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done
if [ ! -x "$NATIVE_BUILD/src/MachineGatewayManager" ] || [ ! -x "$NATIVE_BUILD/tools/mgmctl" ] ||
  [ ! -x "$NATIVE_BUILD/tools/mgm-announce" ]; then
  cmake -S . -B "$NATIVE_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$NATIVE_BUILD" -j "$(nproc)" --target MachineGatewayManager mgmctl mgm-announce >/dev/null
fi
NATIVE_DAEMON=$NATIVE_BUILD/src/MachineGatewayManager
MGMCTL=$NATIVE_BUILD/tools/mgmctl
ANNOUNCE=$NATIVE_BUILD/tools/mgm-announce
REGISTRY_HOST=$(sed -n 's/^MGM_REGISTRY_HOST:[A-Z]*=//p' "$ARMHF_BUILD/CMakeCache.txt")
export SOURCE_DIR STAGE QEMU NATIVE_DAEMON MGMCTL ANNOUNCE REGISTRY_HOST FILES ENDPOINTS TIMEOUT

declare -A result=()
for kind in armhf native; do
  # /var/volatile and /var/provisioning must exist as mount points.
  mkdir -p /var/volatile /var/provisioning
  unshare --mount --net --pid --fork --kill-child --propagation private --mount-proc \
    bash "$SOURCE_DIR/scripts/footprint.sh" --inside "$kind" >"$work/$kind.out"
  while read -r _ pair; do
    result[${pair%%=*}]=${pair#*=}
  done < <(grep '^RESULT ' "$work/$kind.out")
done

mib() { case $1 in *[!0-9]* | "") echo "n/a" ;; *) awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }' ;; esac; }
echo "## Resident memory"
echo
echo "$FILES component service files of $ENDPOINTS endpoints each, announced over UDP;"
echo "published: ${result[armhf_rules]} forwards under qemu (in ${result[armhf_publish_seconds]} s),"
echo "${result[native_rules]} natively (in ${result[native_publish_seconds]} s), counting the gateway's own"
echo "service; registry request ${result[armhf_request_bytes]} bytes. Figures in MiB (VmRSS, peak VmHWM)."
echo
echo "| Daemon | Idle VmRSS | Loaded VmRSS | Loaded VmHWM |"
echo "|---|---:|---:|---:|"
echo "| armhf under qemu-arm: the qemu process | $(mib "${result[armhf_idle_rss_kb]}") | $(mib "${result[armhf_loaded_rss_kb]}") | $(mib "${result[armhf_loaded_hwm_kb]}") |"
echo "| armhf under qemu-arm: the guest's own pages | $(mib "${result[armhf_idle_guest_rss_kb]}") | $(mib "${result[armhf_loaded_guest_rss_kb]}") | |"
overhead() { case $1$2 in *[!0-9]*) echo "n/a" ;; *) mib $(($1 - $2)) ;; esac; }
echo "| armhf under qemu-arm: qemu's own (difference) | $(overhead "${result[armhf_idle_rss_kb]}" "${result[armhf_idle_guest_rss_kb]}") | $(overhead "${result[armhf_loaded_rss_kb]}" "${result[armhf_loaded_guest_rss_kb]}") | |"
echo "| native x86-64 | $(mib "${result[native_idle_rss_kb]}") | $(mib "${result[native_loaded_rss_kb]}") | $(mib "${result[native_loaded_hwm_kb]}") |"
