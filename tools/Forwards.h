// What the gateway forwards: the endpoints of the last registry request
// joined with the DNAT rules of the IOT chain by external port. Pure
// functions; mgmctl reads the request and runs iptables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "xml/RegistryRequestReader.h"

namespace forwards {

// One rule of `iptables -t nat -S IOT`:
// "-A IOT -i Untrusted -p tcp -m tcp --dport 49200 -j DNAT --to-destination 192.168.2.20:4840".
struct NatRule {
  std::string interface;    // -i
  std::string protocol;     // -p, as iptables prints it (lower case)
  uint32_t port = 0;        // --dport; 0 when the rule has none
  std::string destination;  // --to-destination
};

// The "-A IOT" lines of iptables -S output; every other line is passed over.
std::vector<NatRule> parseIotRules(const std::string& output);

enum class State {
  Forwarded,   // a published endpoint and its rule
  NoRule,      // published, but no rule forwards its port
  NoEndpoint,  // a rule for a port the request does not publish
  Duplicate,   // a second endpoint or a second rule on a port already listed
};
const char* stateName(State state);

struct Forward {
  State state = State::Forwarded;
  // From the request ("" for a rule without an endpoint).
  std::string component, service, endpoint, zone_address;
  uint32_t external_port = 0;  // the endpoint's, or the rule's without one
  // From the rule ("" for an endpoint without one).
  std::string interface, protocol, destination;
};

// One row per published endpoint in request order, then one per rule that
// no endpoint took, in chain order. The first rule on an endpoint's
// external port is its forward.
std::vector<Forward> join(const std::vector<xml::PublishedEndpoint>& endpoints,
                          const std::vector<NatRule>& rules);

// A table for people, one line a row (control characters and the backslash
// in a cell written as C escapes), and a JSON document {"forwards": [...]}
// for scripts.
std::string formatTable(const std::vector<Forward>& rows);
std::string formatJson(const std::vector<Forward>& rows);

}  // namespace forwards
