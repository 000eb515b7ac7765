// Destination-NAT forwarding of published endpoints through the "IOT" chain
// of the nat table.
#pragma once

#include "model/Reconciliation.h"
#include "model/ServiceModel.h"

// Switches IP forwarding on and leaves an empty IOT chain with one jump to
// it from PREROUTING. Returns 0.
int setupNatChain();
// Adds / deletes the DNAT rule of one endpoint. Return 0; failures of the
// command are not reported.
int addPortForwarding(const ServiceEndpoint& endpoint);
int deletePortForwarding(const ServiceEndpoint& endpoint);

// Hands reconciliation's rule changes to the two operations above.
class NatPortForwarding : public PortForwarding {
 public:
  void add(const ServiceEndpoint& endpoint) override;
  void remove(const ServiceEndpoint& endpoint) override;
};
