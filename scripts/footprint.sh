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
# Each daemon runs on the gateway emulator (scripts/emulator/lib.sh: mount,
# network and PID namespaces, stand-in device tools, a private system bus
# with dist/tarn.mgm.conf, "mgmctl watch" as the supervisor), with its test
# registry stopped: every upload fails at once and nothing leaves the
# namespaces. The component announces the service files with mgm-announce.
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

# inside KIND: runs on the emulated gateway; KIND is native or armhf. Prints
# "RESULT name=value" lines.
inside() {
  local kind=$1 guest_base=$((0x10000000000))
  set +eo pipefail
  EMU_TIMEOUT=$TIMEOUT
  emu_up
  emu_stop_pid_file "$EMU_STATE/registry/pid"
  if [ "$kind" = armhf ]; then
    emu_start_daemon "$QEMU" -B "$guest_base" -L "$STAGE" -0 /usr/local/bin/MachineGatewayManager \
      "$STAGE/usr/local/bin/MachineGatewayManager"
  else
    emu_start_daemon
  fi
  local pid
  pid=$(emu_daemon_pid)
  emu_start_running
  emu_cycles 3
  report "$kind" idle "$pid" "$guest_base"

  # One element a line, as components write them: the receiver takes the
  # spool name from the ComponentID and ServiceID lines.
  local i j count=$((FILES * ENDPOINTS)) endpoints
  mkdir -p "$EMU_STATE/work/files"
  for ((i = 0; i < FILES; i++)); do
    endpoints=()
    for ((j = 0; j < ENDPOINTS; j++)); do
      endpoints+=("ep$j:TCP:1:192.168.$((2 + i / 200)).$((10 + i % 200)):$((4000 + j))")
    done
    emu_service_file "$EMU_STATE/work/files/Cmp$i.xml" "Plant/Cmp$i" svc "${endpoints[@]}"
  done
  local started=$SECONDS deadline=$((SECONDS + TIMEOUT)) missing
  while :; do
    missing=0
    for ((i = 0; i < FILES; i++)); do
      emu_spool_has "Cmp${i}_svc.xml" && continue
      missing=$((missing + 1))
      emu_announce "$EMU_STATE/work/files/Cmp$i.xml"
    done
    [ "$missing" = 0 ] && break
    [ $SECONDS -lt "$deadline" ] || emu_die "the receiver did not spool $FILES files ($missing missing)"
    sleep 1
  done
  # A daemon that ended ends the wait at once.
  loaded() { ! emu_daemon_alive || [ "$(emu_iot_rule_count)" -ge $((count + 1)) ]; }
  emu_wait_for --nudge "$count forwards" loaded && emu_daemon_alive ||
    emu_die "$count forwards (have $(emu_iot_rule_count))"
  echo "RESULT ${kind}_publish_seconds=$((SECONDS - started))"
  echo "RESULT ${kind}_rules=$(emu_iot_rule_count)"
  emu_cycles 3
  echo "RESULT ${kind}_request_bytes=$(stat -c %s "$EMU_SPOOL/RegisterMachineServices.xml" 2>/dev/null || echo 0)"
  report "$kind" loaded "$pid" "$guest_base"
  emu_ctl exit >/dev/null 2>&1 || true
}

report() {
  local kind=$1 when=$2 pid=$3 base=$4
  echo "RESULT ${kind}_${when}_rss_kb=$(vm_field "$pid" VmRSS)"
  echo "RESULT ${kind}_${when}_hwm_kb=$(vm_field "$pid" VmHWM)"
  if [ "$kind" = armhf ]; then
    echo "RESULT ${kind}_${when}_guest_rss_kb=$(guest_rss "$pid" "$base")"
  fi
}

if [ "${1:-}" = --inside ]; then
  . "$(dirname "$0")/emulator/lib.sh"
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
if [ ! -x "$NATIVE_BUILD/src/MachineGatewayManager" ] || [ ! -x "$NATIVE_BUILD/tools/mgmctl" ] ||
  [ ! -x "$NATIVE_BUILD/tools/mgm-announce" ]; then
  cmake -S . -B "$NATIVE_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$NATIVE_BUILD" -j "$(nproc)" --target MachineGatewayManager mgmctl mgm-announce >/dev/null
fi
EMU_BUILD=$NATIVE_BUILD
EMU_REGISTRY_HOST=$(sed -n 's/^MGM_REGISTRY_HOST:[A-Z]*=//p' "$ARMHF_BUILD/CMakeCache.txt")
. scripts/emulator/lib.sh
export STAGE QEMU FILES ENDPOINTS TIMEOUT

declare -A result=()
for kind in armhf native; do
  emu_run_inside "$SOURCE_DIR/scripts/footprint.sh" --inside "$kind" >"$work/$kind.out"
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
