#include "system/NatForwarding.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "Logging.h"
#include "env/Env.h"
#include "system/Shell.h"

namespace {

// The value without trailing blanks, tabs and line ends.
std::string withoutTrailingSpace(const std::string& value) {
  return value.substr(0, value.find_last_not_of(" \t\r\n") + 1);
}

// The rule's match and target words, shared by add and delete so that a
// delete names exactly the rule its add created. Every received value is one
// shell word; "address:port" stays one word as iptables expects it.
std::string ruleWords(const ServiceEndpoint& endpoint, const char* target_prefix) {
  return " -i " + shellWord(endpoint.EndpointZone) + " -p " + shellWord(endpoint.EndpointPROT) + " --dport " +
         std::to_string(endpoint.EndpointExternalPORT) + target_prefix +
         shellWord(withoutTrailingSpace(endpoint.EndpointIP) + ":" +
                   withoutTrailingSpace(endpoint.EndpointPORT));
}

// `text` as an IPv4 address in host byte order, when it is exactly one
// dotted address of four decimal bytes without leading zeros.
bool parseAddress(const std::string& text, uint32_t& address) {
  in_addr parsed;
  if (std::strlen(text.c_str()) != text.size() || inet_pton(AF_INET, text.c_str(), &parsed) != 1)
    return false;
  address = ntohl(parsed.s_addr);
  return true;
}

}  // namespace

int setupNatChain() {
  runForStatus("echo 1 > /proc/sys/net/ipv4/ip_forward");
  runForStatus("iptables -t nat -D PREROUTING -j IOT");
  runForStatus("iptables -t nat -F IOT");
  runForStatus("iptables -t nat -N IOT");
  runForStatus("iptables -t nat -A PREROUTING -j IOT");
  return 0;
}

int addPortForwarding(const ServiceEndpoint& endpoint) {
  runForStatus("iptables -t nat -A IOT" + ruleWords(endpoint, " -j DNAT --to-destination "));
  return 0;
}

int deletePortForwarding(const ServiceEndpoint& endpoint) {
  runForStatus("iptables -t nat -D IOT" + ruleWords(endpoint, " -j DNAT  --to-destination "));
  return 0;
}

NatPortForwarding::NatPortForwarding() {
  for (const std::string& text : Env::current().gatewayAddresses()) {
    uint32_t address;
    if (parseAddress(text, address)) gateway_addresses_.push_back(address);
  }
}

void NatPortForwarding::add(const ServiceEndpoint& endpoint) { addPortForwarding(endpoint); }

void NatPortForwarding::remove(const ServiceEndpoint& endpoint) { deletePortForwarding(endpoint); }

const char* NatPortForwarding::refusal(const ServiceEndpoint& endpoint) const {
  uint32_t address;
  if (!parseAddress(withoutTrailingSpace(endpoint.EndpointIP), address)) return "not a dotted IPv4 address";
  if (address == INADDR_ANY) return "the unspecified address";
  if (address >> 24 == 127) return "a loopback address";
  if (address >> 28 == 0xE) return "a multicast address";
  if (address == INADDR_BROADCAST) return "the broadcast address";
  if (std::count(gateway_addresses_.begin(), gateway_addresses_.end(), address) != 0)
    return "an address of the gateway itself";
  return nullptr;
}
