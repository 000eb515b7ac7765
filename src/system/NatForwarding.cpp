#include "system/NatForwarding.h"

#include <string>

#include "system/Shell.h"

namespace {

// The rule's match and target words, shared by add and delete so that a
// delete names exactly the rule its add created. Every received value is one
// shell word; "address:port" stays one word as iptables expects it.
std::string ruleWords(const ServiceEndpoint& endpoint, const char* target_prefix) {
  return " -i " + shellWord(endpoint.EndpointZone) + " -p " + shellWord(endpoint.EndpointPROT) + " --dport " +
         std::to_string(endpoint.EndpointExternalPORT) + target_prefix +
         shellWord(endpoint.EndpointIP + ":" + endpoint.EndpointPORT);
}

}  // namespace

int setupNatChain() {
  runShell("echo 1 > /proc/sys/net/ipv4/ip_forward");
  runShell("iptables -t nat -D PREROUTING -j IOT");
  runShell("iptables -t nat -F IOT");
  runShell("iptables -t nat -N IOT");
  runShell("iptables -t nat -A PREROUTING -j IOT");
  return 0;
}

int addPortForwarding(const ServiceEndpoint& endpoint) {
  runShell("iptables -t nat -A IOT" + ruleWords(endpoint, " -j DNAT --to-destination "));
  return 0;
}

int deletePortForwarding(const ServiceEndpoint& endpoint) {
  runShell("iptables -t nat -D IOT" + ruleWords(endpoint, " -j DNAT  --to-destination "));
  return 0;
}

void NatPortForwarding::add(const ServiceEndpoint& endpoint) { addPortForwarding(endpoint); }

void NatPortForwarding::remove(const ServiceEndpoint& endpoint) { deletePortForwarding(endpoint); }
