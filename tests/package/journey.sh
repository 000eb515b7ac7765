#!/bin/bash
# The integrator's journey with the mgm package, sourced inside the booted
# container after scripts/container/gateway.sh (boot.sh runs it): installs
# the packages, drives the units and the daemon, writes "ok -" or "not ok -"
# per check into /boottest/results and ends with a poweroff, whose
# withdrawal boot.sh checks from outside.
results=$share/results
check() { # DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok - $what" >>"$results"; else echo "not ok - $what" >>"$results"; fi
}

# ---- install: the daemon starts and waits in Ready
check "the packages install" env DEBIAN_FRONTEND=noninteractive dpkg -i "$share"/debs/*.deb
check "mgm.service is active after the install, the daemon in Ready" wait_for 20 status_is 1
check "mgm-supervise.service is neither enabled nor started by the install" \
  eval '! systemctl -q is-enabled mgm-supervise && ! systemctl -q is-active mgm-supervise'
check "the spool's parent is made by tmpfiles.d: root's, 1777" test "$(stat -c %U:%a /var/volatile/tmp)" = root:1777

# ---- enable the supervisor: Running; an announcement is forwarded
systemctl enable --now mgm-supervise
check "systemctl enable --now mgm-supervise: the daemon reaches Running" wait_for 20 status_is 3
announce
check "an announcement from the component is listed by mgmctl forwards" wait_for 20 forwarded
check "a TCP round trip from the Untrusted side goes through the forward" roundtrip
check "the registry got the component with the modem's identity (timeout -t works) and the zone addresses (ifconfig works)" \
  wait_for 10 last_request_lists 2 89490200001234567890 262019876543210 $trusted $untrusted
check "each log line reaches the journal once, with its level" eval \
  '[ "$(journalctl -u mgm -o cat | grep -c "Transition from state 1 to 3")" = 1 ] &&
   [ "$(journalctl -u mgm -p 6 -o cat | grep -c "Starting module MachineGatewayManager")" = 1 ] &&
   [ "$(journalctl -u mgm -p 5 -o cat | grep -c "Starting module MachineGatewayManager")" = 0 ]'

# ---- systemctl stop mgm withdraws; restarting the supervisor brings it back
before=$(requests)
systemctl stop mgm
check "systemctl stop mgm: the IOT chain is empty" test "$(iot_rules)" = 0
check "systemctl stop mgm: the registry received a request without components" \
  eval '[ "$(requests)" -gt "$before" ] && last_request_lists 0'
check "systemctl stop mgm: the daemon ended cleanly (inactive, not failed)" eval \
  '[ "$(systemctl show -P ActiveState mgm)" = inactive ] && [ "$(systemctl show -P Result mgm)" = success ]'
systemctl restart mgm-supervise
check "systemctl restart mgm-supervise after the stop: Running again" wait_for 30 status_is 3
announce && wait_for 20 forwarded
before=$(requests)
systemctl restart mgm-supervise
check "systemctl restart mgm-supervise while Running: withdrawn, then Running again" \
  eval 'wait_for 30 status_is 3 && [ "$(requests)" -gt "$before" ]'

# ---- kill -9: restarted, the chain emptied by the created phase, forwarding again
announce && wait_for 20 forwarded
pid=$(main_pid)
kill -9 "$pid"
check "kill -9 of the daemon: restarted, Running again" \
  eval 'wait_for 30 eval "[ \"\$(main_pid)\" != $pid ] && [ \"\$(main_pid)\" != 0 ]" && wait_for 30 status_is 3'
check "after the restart the chain is empty" test "$(iot_rules)" = 0
announce
check "the next announcement is forwarded" wait_for 20 forwarded

# ---- without the bus policy: a failed unit, not a restart loop
mv /usr/share/dbus-1/system.d/tarn.mgm.conf /root/ && systemctl reload dbus
restarts=$(systemctl show -P NRestarts mgm)
systemctl restart mgm
check "without the bus policy mgm.service ends failed" wait_for 90 systemctl -q is-failed mgm
failed_restarts=$(systemctl show -P NRestarts mgm)
sleep 8
check "... after at most 4 starts, and stays failed" eval \
  'systemctl -q is-failed mgm && [ "$(systemctl show -P NRestarts mgm)" = "$failed_restarts" ] &&
   [ "$((failed_restarts - restarts))" -le 4 ]'
check "... with the reason in the journal at level 3" eval \
  'journalctl -u mgm -p 3 -o cat | grep -q "Connection to message bus failed (error code 0x11000003)" &&
   journalctl -u mgm -o cat | grep -q "Start request repeated too quickly"'
mv /root/tarn.mgm.conf /usr/share/dbus-1/system.d/ && systemctl reload dbus
systemctl reset-failed mgm && systemctl start mgm
check "with the policy back and the unit started: Running again" wait_for 30 status_is 3
announce
check "and forwarding" wait_for 20 forwarded

# ---- poweroff: boot.sh checks the withdrawal after the container ended
requests >"$share/requests-before-poweroff"
echo "journey done" >>"$results"
systemctl poweroff
