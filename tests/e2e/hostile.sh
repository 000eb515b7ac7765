#!/bin/bash
# Hostile senders: datagrams from outside the Trusted zone, shell payloads in
# every field, names leaving the spool or starting with a dot, 64 KB and
# garbage, a flood of all of it. No command runs, no file is made, removed or
# written outside the spool, the daemon ends with exactly the legitimate
# services in the chain and at the registry, and stops cleanly. A spool or
# link planted by a local user is spool_races.sh's and the spool's unit
# test's; a character reference in an id and a glob prefix are the reader's
# and the upload's unit tests'.
. "$(dirname "$0")/common.sh"
W=$EMU_STATE/work
# A legitimate service whose names are full of shell metacharacters; its
# spool name is cut from the raw line, entities and all.
ODD_FILE=$W/odd.xml
ODD_COMPONENT="Press4/Odd \$(touch canary);\`touch canary\` *'"
ODD_ENDPOINT="odd:TCP:1:$EMU_COMPONENT_IP:4841"
ODD_SPOOL_NAME="Odd \$(touch canary);\`touch canary\` *'_svc *;|&amp;&amp;.xml"

# Where a command injected through a received value would leave its mark (the
# daemon runs in /, so a relative "canary" lands there).
CANARIES="/tmp/canary /canary $EMU_SPOOL/canary /var/volatile/tmp/canary /run/canary"
# A /tmp of the gateway's own, so whatever appears there was made inside; a
# checkout or build under /tmp keeps /tmp shared and out of the snapshots.
TMP_TREE=/tmp
case "$EMU_SOURCE_DIR/ $EMU_BUILD/" in
  /tmp/* | *" /tmp/"*) TMP_TREE= ;;
  *) mount -t tmpfs -o mode=1777 mgm-emu-tmp /tmp || emu_die "mounting a private /tmp failed" ;;
esac

# fs_snapshot: type and path of every file in the gateway's writable trees
# (its tmpfs mounts and /tmp) and of the entries of /, sorted; without the
# emulator's state dir and the spool's entries.
fs_snapshot() {
  { find / -mindepth 1 -maxdepth 1 -printf '%y %p\n'
    find /run /var/volatile /var/provisioning /usr/local/bin $TMP_TREE \( -path "$EMU_STATE" -o -path "$EMU_SPOOL/*" \) \
      -prune -o -printf '%y %p\n'; } 2>/dev/null | LC_ALL=C sort
}
# udp_counters: the gateway's UDP InDatagrams and RcvbufErrors (datagrams queued
# to a socket, datagrams dropped on a full receive buffer).
udp_counters() { awk '/^Udp:/ { if (!n++) { for (i = 2; i <= NF; i++) col[$i] = i } else print $col["InDatagrams"], $col["RcvbufErrors"] }' /proc/net/snmp; }

# send_datagrams comp|outside WINDOW COUNT FILE...: from the component (or the
# outside client) to the gateway's address on its side, COUNT datagrams, each
# one file's exact bytes (up to 65507; fragmented on the veth), round robin.
# Before each (and with WINDOW 0 after the last) waits at most 10 s until the
# receiver's queue holds at most WINDOW bytes, so a flood goes as fast as the
# receiver takes it. Prints "DATAGRAMS BYTES".
send_datagrams() {
  local host=$EMU_TRUSTED_IP && [ "$1" = comp ] || host=$EMU_UNTRUSTED_IP
  ip netns exec "$1" "$EMU_PYTHON" - "$host" "${@:2}" <<'EOF'
import socket, sys, time
host, window, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = [open(name, "rb").read() for name in sys.argv[4:]]
def wait_below(limit):  # the receiver's queue, seen through PID 1, which is in the gateway's namespace
    deadline = time.time() + 10
    while time.time() < deadline and any(int(r.split()[4].split(":")[1], 16) > limit
                                         for r in open("/proc/1/net/udp") if r.split()[1].endswith(":15E0")):
        time.sleep(0.001)
sender, total = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), 0
for n in range(count):
    wait_below(window)
    sender.sendto(data[n % len(data)], (host, 5600))
    total += len(data[n % len(data)])
if window == 0:
    wait_below(0)
print(count, total)
EOF
}

hostile_corpus() {
  mkdir -p "$1/formed" "$1/broken"
  "$EMU_PYTHON" - "$1" "$EMU_COMPONENT_IP" <<'EOF'
import os, random, sys
out, comp = sys.argv[1], sys.argv[2]
payloads = [";touch /tmp/canary;", "$(touch /tmp/canary)", "`touch canary`", "|touch /tmp/canary",
            "&&touch canary", "'; touch /tmp/canary; '", '"; touch /tmp/canary; "', "two  blanks\tand tab",
            "line\ntouch /tmp/canary\n", "*", "/var/volatile/tmp/iot/*", ">/tmp/canary",
            "${IFS}touch${IFS}canary", '\\"$(touch canary)\\"', "-j ACCEPT", "%s%n%x%s%n"]
def attr(v):
    for a, b in (("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;"), ("\n", "&#10;"), ("\t", "&#9;")):
        v = v.replace(a, b)
    return v
def text(v):
    return v.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
def doc(cid, sid, endpoints, escape=True, spool_name=None):
    a, t = (attr, text) if escape else (str, str)
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<RegMachCompSvcReq>", "  <ComponentList>",
             '    <Component ComponentID="%s">' % a(cid), "      <ServiceList>", '        <Service ServiceID="%s">' % a(sid)]
    lines += ["          <ServiceEndpoint>%s</ServiceEndpoint>" % t(e) for e in endpoints]
    lines += ["        </Service>", "      </ServiceList>", "    </Component>", "  </ComponentList>", "</RegMachCompSvcReq>"]
    if spool_name:  # the last lines naming ComponentID and ServiceID name the spool file
        lines += ['<!-- ComponentID="Hostile/%s" -->' % spool_name, '<!-- ServiceID="s" -->']
    return ("\n".join(lines) + "\n").encode()
def write(sub, name, data):
    with open(os.path.join(out, sub, name), "wb") as f:
        f.write(data)
for i, p in enumerate(payloads):
    endpoints = [":".join([p] * 5), "svc:%s:1:%s:4840" % (p, comp), "svc:TCP:1:%s:4840" % p, "svc:TCP:1:%s:%s" % (comp, p)]
    write("formed", "payload%02d.xml" % i, doc("X" + p + "/" + p, p, endpoints, spool_name="p%02d" % i))
    write("broken", "raw%02d.xml" % i, doc("X" + p + "/" + p, p, endpoints, escape=False))
names = [("../../../../tmp/canary", "x"), ("Hostile/../../../tmp/canary", "../../../tmp/canary"),
         ("Hostile/a/b/c", "d/e"), ("With Blanks/Com po nent", "Ser vice"), ("Dots/..", ".."), ("Dots/.", "."),
         ("Long/" + "n" * 300, "s"), ("Hostile/x", "/etc/passwd")]
for i, (cid, sid) in enumerate(names):
    write("formed", "name%02d.xml" % i, doc(cid, sid, ["name:TCP:1:%s:%d" % (comp, 5001 + i)]))
write("broken", "slash.xml", doc("/", "/", ["slash:TCP:1:%s:5100" % comp]))
write("broken", "nul.xml", b'<Component ComponentID="Nul/ab\x00cd">\n<Service ServiceID="s">\n')
write("broken", "control.xml", b'<Component ComponentID="Bin/\x01\x7f\xff\r">\n<Service ServiceID="\x1b[31m">\n')
write("broken", "empty.bin", b"")
big = 65507  # the largest UDP payload
write("broken", "big-a.bin", b"A" * big)
head = doc("Big/Big", "big", ["big:TCP:1:%s:7000" % comp]).replace(b"</RegMachCompSvcReq>\n", b"")
write("broken", "big-xml.xml", head + b"<!--" + b"x" * (big - len(head) - 29) + b"-->\n</RegMachCompSvcReq>\n")
line = b'ComponentID="x/y"\n'
write("broken", "big-lines.bin", line * (big // len(line)))
rng = random.Random(7)
for size in (1, 64, 512, 4095, 4096, 4097, 20000):
    write("broken", "garbage%05d.bin" % size, bytes(rng.randrange(256) for _ in range(size)))
EOF
}

# rules_are ENDPOINT...: the chain holds exactly one forward per given
# (untrusted, TCP) endpoint and the gateway's online check, on distinct ports.
rules_are() {
  local endpoint expected="Trusted $ONLINE_CHECK_TARGET"
  for endpoint in "$@"; do IFS=: read -r _ _ _ host port <<<"$endpoint" && expected+=$'\n'"Untrusted $host:$port"; done
  [ "$(emu_iot_rules | sed 's/^-A IOT -i \([A-Za-z]*\) -p tcp -m tcp --dport [0-9]* -j DNAT --to-destination /\1 /' |
    LC_ALL=C sort)" = "$(LC_ALL=C sort <<<"$expected")" ] && [ -z "$(rule_ports | uniq -d)" ]
}
rule_ports() { emu_iot_rules | sed -n 's/.*--dport \([0-9]*\).*/\1/p' | sort -n; }
# registry_agrees COMPONENT_ID...: the last request lists exactly these
# components and the gateway's own, on the external ports of the chain.
registry_agrees() { [ "$(emu_registry_xpath -1 ComponentList/Component@ComponentID | sort)" = "$(printf '%s\n' "$@" Press4/Tarn |
  sort)" ] && [ "$(emu_registry_xpath -1 ComponentList/Component/ServiceList/Service/ServiceEndpoint | cut -d: -f5 | cut -d/ -f1 | sort -n)" = "$(rule_ports)" ]; }

# ---- the Drive, before the hostile traffic
e2e_up
emu_service_file "$ODD_FILE" "$ODD_COMPONENT" "svc *;|&amp;&amp;" "$ODD_ENDPOINT"
emu_service_file "$W/intruder.xml" Press4/Intruder opcua "opcua:TCP:1:$EMU_COMPONENT_IP:4850"
emu_start_daemon && emu_start_running && e2e_publish_drive
CORPUS=$W/corpus && hostile_corpus "$CORPUS" && fs_snapshot >"$W/before"

# ---- from outside the Trusted zone
read -r queued_before _ < <(udp_counters)
for ip in "$EMU_UNTRUSTED_IP" "$EMU_TRUSTED_IP"; do emu_outside "$EMU_ANNOUNCE" "$W/intruder.xml" "$ip" >/dev/null; done
# The receiver takes datagrams in order: once the component's next file is
# spooled, both of the outside client's have been handled.
e2e_respooled "$DRIVE_SPOOL_NAME" emu_announce "$DRIVE_FILE"
emu_assert "the drop is logged with the sender and the interface" grep -qE \
  "Dropped 1 datagram\(s\) from outside the Trusted zone; latest from $EMU_OUTSIDE_IP:[0-9]+ on interface Untrusted$" "$EMU_STATE/daemon.log"
read -r queued _ < <(udp_counters) && emu_assert "all three reached the receiver's socket, neither outside one was spooled" \
  eval '[ $((queued - queued_before)) = 3 ] && ! emu_spool_has Intruder_opcua.xml'

# ---- hostile fields and names, broken datagrams
# Well-formed files: their values reach the model, the NAT commands and the
# upload. Paced, so the receiver takes every one.
# That values reach the model unchanged is the reader's unit test and, for
# the Odd's shell metacharacters, the check of the registry afterwards.
read -r sent bytes < <(send_datagrams comp 0 "$(ls "$CORPUS/formed" | wc -l)" "$CORPUS"/formed/*)
read -r broken broken_bytes < <(send_datagrams comp 0 "$(ls "$CORPUS/broken" | wc -l)" "$CORPUS"/broken/*)
e2e_respooled "$ODD_SPOOL_NAME" send_datagrams comp 0 1 "$ODD_FILE"
e2e_figures input datagrams=$((sent + broken)) bytes=$((bytes + broken_bytes)) \
  refused="$(grep -c "Error while renaming incoming service file" "$EMU_STATE/daemon.log")" \
  unreadable="$(grep -c "Error while trying to pares" "$EMU_STATE/daemon.log")"

# ---- a flood: four components and the outside client at full speed
set -- "$CORPUS"/formed/* "$CORPUS"/broken/*
read -r queued_before lost_before < <(udp_counters) && start=$SECONDS
for sender in 1 2 3 4; do send_datagrams comp 1000000 2500 "$@" >"$W/sent.$sender" & done
send_datagrams outside 1000000 1000 "$CORPUS"/formed/* >"$W/sent.outside" &
EMU_TIMEOUT=120 emu_expect "the senders finish" eval '[ "$(cat "$W"/sent.* | grep -c .)" = 5 ]'
EMU_TIMEOUT=120 e2e_respooled "$ODD_SPOOL_NAME" send_datagrams comp 0 1 "$ODD_FILE"
seconds=$((SECONDS - start)) && read -r queued lost < <(udp_counters)
reports=$(grep -c "from outside the Trusted zone" "$EMU_STATE/daemon.log")
read -r sent bytes < <(cat "$W"/sent.* | awk '{ n += $1; b += $2 } END { print n, b }')
e2e_figures flood datagrams="$sent" bytes="$bytes" queued=$((queued - queued_before)) \
  kernel_dropped=$((lost - lost_before)) flood_seconds="$seconds" drop_reports="$reports"

# ---- afterwards
# Every other spool file aged past the limit: the cleanup deletes each (its
# name goes to rm) and the daemon is back to exactly the Drive and the Odd.
find "$EMU_SPOOL" -mindepth 1 ! -name "$DRIVE_SPOOL_NAME" ! -name "$ODD_SPOOL_NAME" -exec touch -d "@$(($(date +%s) - 1300))" -- {} +
emu_expect --nudge "the cleanup deletes every aged file, whatever its name" eval '[ "$(ls -A "$EMU_SPOOL" | LC_ALL=C sort)" = \
  "$(printf "%s\n" "$DRIVE_SPOOL_NAME" "$ODD_SPOOL_NAME" incomming_client_file.xml RegisterMachineServices.xml | LC_ALL=C sort)" ]'
emu_expect --nudge "the chain and the registry's last request hold exactly the legitimate forwards" \
  eval 'rules_are "$DRIVE_ENDPOINT" "$ODD_ENDPOINT" && registry_agrees Press4/Drive "$ODD_COMPONENT"'
emu_assert "no injected command ran (no canary at $CANARIES)" test -z "$(ls -d $CANARIES 2>/dev/null)"
emu_assert "no file outside the spool was made or removed" eval 'fs_snapshot >"$W/after" && diff "$W/before" "$W/after"'
e2e_stop && emu_assert "after the stop the IOT chain is empty" test "$(emu_iot_rule_count)" = 0
e2e_exit_cleanly && e2e_pass "hostile senders, fields, names, sizes, garbage and a flood"
