#!/bin/bash
# mgm-announce sends a file of up to 4096 bytes as one datagram and refuses
# a larger one. Runs on the host loopback, no emulator needed.
set -u
announce=${EMU_BUILD:-build}/tools/mgm-announce
[ -x "$announce" ] || { echo "FAIL: $announce is not built" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

head -c 4096 /dev/zero | tr '\0' x >"$work/max.xml"
head -c 4097 /dev/zero | tr '\0' x >"$work/over.xml"
# A UDP receiver on an ephemeral loopback port that reports the size of the
# first datagram.
python3 - "$work" <<'PY' &
import os, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
s.settimeout(20)
open(os.path.join(sys.argv[1], "port.tmp"), "w").write(str(s.getsockname()[1]))
os.rename(os.path.join(sys.argv[1], "port.tmp"), os.path.join(sys.argv[1], "port"))
data = s.recv(65536)
open(os.path.join(sys.argv[1], "received"), "w").write(str(len(data)))
PY
receiver=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port") || fail "the test receiver did not start"

"$announce" "$work/over.xml" 127.0.0.1 "$port" 2>"$work/err" && fail "a 4097-byte file was sent"
grep -q "4097 bytes, over the 4096-byte limit" "$work/err" || fail "no clear message: $(cat "$work/err")"
echo "ok - a 4097-byte file is refused: $(cat "$work/err")"
"$announce" "$work/max.xml" 127.0.0.1 "$port" >/dev/null || fail "a 4096-byte file was not sent"
wait "$receiver"
[ "$(cat "$work/received")" = 4096 ] || fail "the receiver got $(cat "$work/received") bytes, not 4096"
echo "ok - a 4096-byte file arrives as one datagram"
"$announce" "$work/max.xml" 127.0.0.1 70000 2>/dev/null
[ $? = 2 ] || fail "an invalid port is not a usage error"
echo "ok - an invalid port is a usage error"
echo "PASS: mgm-announce datagram limit"
