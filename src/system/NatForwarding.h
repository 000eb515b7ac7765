// Destination-NAT forwarding of published endpoints through the "IOT" chain
// of the nat table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/Reconciliation.h"
#include "model/ServiceModel.h"

// Switches IP forwarding on and leaves an empty IOT chain with one jump to
// it from PREROUTING. Returns 0.
int setupNatChain();
// Adds / deletes the DNAT rule of one endpoint. Return 0; failures of the
// command are not reported. The rule gets the endpoint's address and port
// without trailing white space (a pretty-printed endpoint text ends in a
// line break and indentation); the model keeps them as received.
int addPortForwarding(const ServiceEndpoint& endpoint);
int deletePortForwarding(const ServiceEndpoint& endpoint);

// Hands reconciliation's rule changes to the two operations above, and
// forwards only to components: never to the gateway itself, loopback, the
// unspecified, a broadcast or a multicast address, nor to anything but one
// plain dotted IPv4 address (iptables would read "0177.1" or a range
// "a-b" as it likes). The running cycle is skipped while the gateway's own
// addresses cannot be listed (knowsGatewayAddresses).
class NatPortForwarding : public PortForwarding {
 public:
  // Lists the gateway's own addresses once, for the cycle it serves.
  NatPortForwarding();
  // False when they could not be listed.
  bool knowsGatewayAddresses() const { return !gateway_addresses_.empty(); }
  void add(const ServiceEndpoint& endpoint) override;
  void remove(const ServiceEndpoint& endpoint) override;
  const char* refusal(const ServiceEndpoint& endpoint) const override;

 private:
  std::vector<uint32_t> gateway_addresses_;  // host byte order
};
