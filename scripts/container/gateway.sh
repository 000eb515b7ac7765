#!/bin/bash
# Sourced inside the container that scripts/container/boot.sh booted, before
# the walk: the gateway's zones Trusted (192.168.2.1) and Untrusted
# (198.51.100.1) with a component namespace "comp" (192.168.2.20, a TCP
# server on 4840 answering "component got: LINE") and an "outside" one, the
# test registry (recording into /boottest/registry) stopped after mgm.service
# at shutdown, the certificates, and the device's tools: a VPN manager that
# allows IoT and a modem that answers. Then helpers for the walk. Output
# goes to /boottest/walk.log.
set -u
share=/boottest
registry=$share/registry
trusted=192.168.2.1 untrusted=198.51.100.1 component=192.168.2.20
exec >>"$share/walk.log" 2>&1
set -x

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
  local until=$(($(date +%s) + $1)); shift
  until "$@"; do [ "$(date +%s)" -lt "$until" ] || return 1; sleep 0.3; done
}
status_is() { mgmctl status 2>/dev/null | grep -q "StatusReply from tarn.mgm: $1 "; }
iot_rules() { iptables -t nat -S IOT 2>/dev/null | grep -c '^-A' || true; }
forwarded() { mgmctl forwards 2>/dev/null | grep -q "Press4/Drive .* ok$"; }
requests() { grep -c . "$registry/requests.jsonl" 2>/dev/null || echo 0; }
# The last registry request lists COUNT components (and holds the texts given).
last_request_lists() { python3 "$share/request.py" "$registry/requests.jsonl" "$@"; }
announce() { ip netns exec comp mgm-announce "$share/drive.xml" "$trusted" 5600; }
roundtrip() {
  local port
  port=$(mgmctl forwards --json | python3 -c 'import json,sys; print([f["external_port"] for f in json.load(sys.stdin)["forwards"] if f["component"]=="Press4/Drive"][0])') &&
    ip netns exec outside python3 "$share/tcp.py" client "$untrusted" "$port" | grep -qx "component got: hello"
}
main_pid() { systemctl show -P MainPID mgm.service; }

ip link set lo up
ip netns add comp && ip netns add outside
ip link add Trusted type veth peer name eth0 netns comp
ip link add Untrusted type veth peer name eth0 netns outside
ip addr add $trusted/24 dev Trusted && ip addr add $untrusted/24 dev Untrusted
ip link set Trusted up && ip link set Untrusted up
ip -n comp link set lo up && ip -n comp addr add $component/24 dev eth0 && ip -n comp link set eth0 up
ip -n comp route add default via $trusted
ip -n outside link set lo up && ip -n outside addr add 198.51.100.2/24 dev eth0 && ip -n outside link set eth0 up
ip -n outside route add default via $untrusted
systemd-run --unit=component-tcp ip netns exec comp python3 "$share/tcp.py" server $component 4840
mkdir -p /var/provisioning/cert/private /var/provisioning/cert/public "$registry"
cp "$share/pki/ca.crt" /var/provisioning/cert/public/IoT-ID-Bundle-RootCA.crt
cat "$share/pki/client.crt" "$share/pki/client.key" >/var/provisioning/cert/private/ID_Bundle_Certificate.pem
echo "127.0.0.1 $(cat "$share/registry-host")" >>/etc/hosts
echo 200 >"$registry/status"
# Stopped after mgm.service at shutdown, so it hears the withdrawal.
systemd-run --unit=test-registry -p Before=mgm.service python3 "$share/registry.py" --state "$registry" \
  --cert "$share/pki/server.crt" --key "$share/pki/server.key" --ca "$share/pki/ca.crt" --address 127.0.0.1 --port 443
# The device's tools: the VPN manager allows IoT, the modem answers.
mkdir -p /usr/local/bin
printf '#!/bin/sh\nexit 0\n' >/usr/local/bin/tarn-vpn-manager
printf '#!/bin/sh\ncase "$1" in iccid) echo "8949 0200 0012 3456 7890";; provider) echo "262019876543210 Tarn";; esac\n' \
  >/usr/local/bin/GSMUtil
chmod 755 /usr/local/bin/tarn-vpn-manager /usr/local/bin/GSMUtil
wait_for 10 test -s "$registry/ready"

