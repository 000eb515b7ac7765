// Reconciliation of a cycle's incoming model into the published model.
//
// Rule changes are asked for through the PortForwarding the caller hands
// in; this part runs no command itself.
#pragma once

#include <cstdint>

#include "model/ServiceModel.h"

// Receives the forwarding-rule changes that reconciliation decides.
class PortForwarding {
 public:
  virtual ~PortForwarding();
  // An endpoint is published under its allotted external port.
  virtual void add(const ServiceEndpoint& endpoint) = 0;
  // A published endpoint is withdrawn.
  virtual void remove(const ServiceEndpoint& endpoint) = 0;
  // Why no rule may forward to this received endpoint; null when one may.
  virtual const char* refusal(const ServiceEndpoint& endpoint) const = 0;
};

// External ports are 49152 + (r mod 10847), r drawn from rand().
constexpr uint32_t EXTERNAL_PORT_BASE = 49152;
constexpr uint32_t EXTERNAL_PORT_COUNT = 10847;

// The most endpoints published in all, besides the gateway's own service.
// Every forward costs one iptables call to add and one to delete; this bound
// keeps a cycle and a stop's withdrawal short (docs/reliability.md).
constexpr uint32_t MAX_PUBLISHED_ENDPOINTS = 128;

// The refusals of one cycle logged one by one; one more line counts the rest.
constexpr uint32_t MAX_REFUSALS_LOGGED = 8;

// One cycle's reconciliation of `incoming` into `published`, in this order:
// received components under the ComponentID of the gateway's own default
// component (ComponentIDPrefix + "/Tarn", or a trusted one still published)
// and received endpoints that `forwarding` refuses are dropped from
// `incoming` (the first MAX_REFUSALS_LOGGED with a level-3 line each, the
// rest counted in one more), so only the gateway's own service is ever
// trusted and every received endpoint counts toward the limit; when
// `running`, the gateway's own default service is appended to
// `incoming` (a stop's withdrawal cycle adds none); the zone addresses of
// `incoming` go into its endpoints; the gateway identity is copied to
// `published`; incoming endpoints are matched against published ones;
// published endpoints no longer announced are withdrawn through
// `forwarding.remove`; every incoming endpoint still new gets a free
// external port and `forwarding.add` and joins `published` (at most
// MAX_PUBLISHED_ENDPOINTS in all, the gateway's own service always; one
// level-3 message per cycle counts the endpoints left unpublished, which a
// later cycle tries again). True when an endpoint was withdrawn from or
// added to `published`. Runs no command itself.
bool reconcileCycle(MachineComponentServices& incoming, MachineComponentServices& published,
                    PortForwarding& forwarding, bool running);
