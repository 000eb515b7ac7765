# Helpers of tests/e2e/hostile.sh, which sources this file after lib.sh:
# canaries, a private /tmp, file system snapshots, the UDP counters, sending
# datagrams at a paced rate and writing the hostile corpus.

# Where a command injected through a received value would leave its mark:
# the canary files that the hostile corpus's payloads touch (the daemon runs
# in /, so a relative "canary" lands there).
EMU_CANARIES="/tmp/canary /canary $EMU_SPOOL/canary /var/volatile/tmp/canary /run/canary"

# emu_private_tmp: a tmpfs of the gateway's own on /tmp, so that whatever
# appears there was made inside the emulator.
# A checkout under /tmp must stay in view: then /tmp stays shared and is
# left out of the snapshots (its canary is still checked).
emu_private_tmp() {
  local path
  for path in "$EMU_SOURCE_DIR" "$EMU_BUILD"; do
    case "$path/" in /tmp/*)
      EMU_SHARED_TMP=1
      return 0
      ;;
    esac
  done
  mount -t tmpfs -o mode=1777 mgm-emu-tmp /tmp
}

# emu_no_canary: none of the canary files exists.
emu_no_canary() {
  local path
  for path in $EMU_CANARIES; do
    [ ! -e "$path" ] || { echo "canary found: $path" >&2; return 1; }
  done
}

# emu_fs_snapshot: type and path of every file in the gateway's writable
# trees (its tmpfs mounts and /tmp, and the entries of /), sorted;
# without the emulator's state dir and the spool's entries.
emu_fs_snapshot() {
  local tmp=/tmp
  [ -z "${EMU_SHARED_TMP:-}" ] || tmp=
  {
    find / -mindepth 1 -maxdepth 1 -printf '%y %p\n'
    find /run /var/volatile /var/provisioning /usr/local/bin $tmp \
      \( -path "$EMU_STATE" -o -path "$EMU_SPOOL/*" \) -prune -o -printf '%y %p\n'
  } 2>/dev/null | LC_ALL=C sort
}


# emu_udp_counters: the gateway's UDP InDatagrams and RcvbufErrors (datagrams
# queued to a socket, datagrams dropped on a full receive buffer).
emu_udp_counters() {
  awk '/^Udp:/ { if (!n++) { for (i = 2; i <= NF; i++) col[$i] = i } else print $col["InDatagrams"], $col["RcvbufErrors"] }' \
    /proc/net/snmp
}

# emu_send_datagrams [--pace|--window BYTES] [--outside] COUNT FILE...: sends
# the files round robin, each as one UDP datagram of its exact bytes (up to
# 65507; fragmented on the veth), until COUNT went out, from the component to
# the gateway's trusted address (--outside: from the outside client to the
# untrusted one). --pace waits, before each datagram and after the last,
# until the receiver's queue is empty; --window waits before each one until
# the queue holds at most BYTES (as the kernel counts them), so a flood goes
# as fast as the receiver takes it instead of overflowing its buffer. Each
# wait lasts at most 10 s. Prints "DATAGRAMS BYTES".
emu_send_datagrams() {
  local window=-1 ns=comp host=$EMU_TRUSTED_IP
  while :; do
    case "$1" in
      --pace) window=0; shift ;;
      --window) window=$2; shift 2 ;;
      --outside) ns=outside; host=$EMU_UNTRUSTED_IP; shift ;;
      *) break ;;
    esac
  done
  ip netns exec "$ns" "$EMU_PYTHON" - "$host" "$window" "$@" <<'EOF'
import socket, sys, time
host, window, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = [open(name, "rb").read() for name in sys.argv[4:]]
def wait_below(limit):
    # The gateway's receiver queue, seen through PID 1, which lives in the
    # gateway's network namespace.
    deadline = time.time() + 10
    while time.time() < deadline:
        rows = [l.split() for l in open("/proc/1/net/udp")]
        if all(int(r[4].split(":")[1], 16) <= limit for r in rows if r[1].endswith(":15E0")):
            return
        time.sleep(0.001)
sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sent = total = 0
while sent < count:
    if window >= 0:
        wait_below(window)
    datagram = data[sent % len(data)]
    sender.sendto(datagram, (host, 5600))
    sent += 1
    total += len(datagram)
if window == 0:
    wait_below(0)
print(sent, total)
EOF
}

# emu_hostile_corpus DIR: writes hostile service files into DIR/formed (well
# formed: every field of one file holds one shell payload, or the names
# hold "..", "/" or blanks; each payload file is named in the spool by
# comment lines, so it is spooled and read whatever its payload) and
# DIR/broken (the same payloads unescaped, 64 KB datagrams, binary garbage,
# control characters and NUL in names, an empty datagram, a ComponentID of
# "/"). Payloads touch the canary files of EMU_CANARIES when run.
emu_hostile_corpus() {
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
