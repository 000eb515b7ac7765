#include "model/Reconciliation.h"

#include <cstdlib>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Logging.h"

PortForwarding::~PortForwarding() = default;

namespace {

// The gateway's own service.
const char* const DEFAULT_COMPONENT_SUFFIX = "/Tarn";
const char* const DEFAULT_SERVICE_ID = "component-online-check";
const char* const DEFAULT_ENDPOINT_TEXT = "gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/";

// Random candidates tried before the range is scanned in order. Large enough
// that a free port is practically always found by drawing (so the ports are
// those of the plain draw loop), small enough to decide a full range quickly.
constexpr uint32_t MAX_RANDOM_DRAWS = 8 * EXTERNAL_PORT_COUNT;

template <typename Model, typename Visit>
void forEachEndpoint(Model& model, Visit visit) {
  for (auto& component : model.ComponentList)
    for (auto& service : component.ServiceList)
      for (auto& endpoint : service.EndpointList) visit(component, service, endpoint);
}

// Hash and equality of endpoints by the six fields endpointsEqual compares:
// equal endpoints hash alike. The sets hold pointers and hash the fields in
// place, so indexing allocates nothing per endpoint but its node.
struct EqualFieldsHash {
  size_t operator()(const ServiceEndpoint* endpoint) const {
    const std::hash<std::string> hash;
    size_t seed = 0;
    for (const std::string* field :
         {&endpoint->EndpointService, &endpoint->EndpointPROT, &endpoint->EndpointID, &endpoint->EndpointIP,
          &endpoint->EndpointZoneIP, &endpoint->EndpointPORT})
      seed ^= hash(*field) + 0x9e3779b9u + (seed << 6) + (seed >> 2);
    return seed;
  }
};
struct EqualFields {
  bool operator()(const ServiceEndpoint* a, const ServiceEndpoint* b) const { return endpointsEqual(*a, *b); }
};
using EqualEndpoints = std::unordered_set<const ServiceEndpoint*, EqualFieldsHash, EqualFields>;

// The published endpoints by equality, for matching: the first of every class
// of equal ones in component, service and endpoint order.
EqualEndpoints indexByEquality(const MachineComponentServices& published) {
  EqualEndpoints index;
  forEachEndpoint(published, [&](auto&, auto&, const ServiceEndpoint& endpoint) { index.insert(&endpoint); });
  return index;
}

// What publishing looks up, indexed once per cycle after the withdrawal so
// that publishing many endpoints stays linear: the external ports of the
// range that endpoints of either model hold, and the published components
// and services by identifier (the first of an identifier wins) with the
// endpoints each service holds. `published` must change only through
// insertEndpoint while the index lives.
class PublishingIndex {
 public:
  PublishingIndex(const MachineComponentServices& incoming, MachineComponentServices& published)
      : published_(published) {
    forEachEndpoint(incoming,
                    [&](auto&, auto&, const ServiceEndpoint& e) { takePort(e.EndpointExternalPORT); });
    for (Component& component : published.ComponentList) {
      ComponentEntry& entry =
          components_.emplace(component.ComponentID, ComponentEntry{&component, {}}).first->second;
      for (Service& service : component.ServiceList) {
        ServiceEntry& held =
            entry.services.emplace(service.ServiceID, ServiceEntry{&service, {}}).first->second;
        for (const ServiceEndpoint& endpoint : service.EndpointList) {
          held.endpoints.insert(&endpoint);
          takePort(endpoint.EndpointExternalPORT);
          if (component.Trusted != "true") ++endpoint_count_;
        }
      }
    }
  }

  // The published endpoints of components, the gateway's own (the only
  // trusted component, refuseReceived sees to that) not counted.
  uint32_t endpointCount() const { return endpoint_count_; }
  bool isTaken(uint32_t port) const { return taken_[port - EXTERNAL_PORT_BASE]; }
  bool allTaken() const { return taken_count_ == EXTERNAL_PORT_COUNT; }
  void takePort(uint32_t port) {
    if (port < EXTERNAL_PORT_BASE || port - EXTERNAL_PORT_BASE >= EXTERNAL_PORT_COUNT) return;
    std::vector<bool>::reference slot = taken_[port - EXTERNAL_PORT_BASE];
    if (!slot) ++taken_count_;
    slot = true;
  }

  // True when the published service of this component and service holds an
  // endpoint equal to `endpoint`.
  bool holds(const Component& component, const Service& service, const ServiceEndpoint& endpoint) const {
    const auto found_component = components_.find(component.ComponentID);
    if (found_component == components_.end()) return false;
    const auto found = found_component->second.services.find(service.ServiceID);
    return found != found_component->second.services.end() && found->second.endpoints.count(&endpoint) != 0;
  }

  // Appends a copy of `endpoint` to the published service of this component
  // and service, which is made (at the end of its list) when missing.
  void append(const Component& component, const Service& service, const ServiceEndpoint& endpoint) {
    auto found_component = components_.find(component.ComponentID);
    if (found_component == components_.end()) {
      published_.ComponentList.push_back(Component{component.ComponentID, component.Trusted, {}});
      found_component =
          components_.emplace(component.ComponentID, ComponentEntry{&published_.ComponentList.back(), {}})
              .first;
    }
    ComponentEntry& owner = found_component->second;
    auto found = owner.services.find(service.ServiceID);
    if (found == owner.services.end()) {
      owner.component->ServiceList.push_back(Service{service.ServiceID, {}});
      found =
          owner.services.emplace(service.ServiceID, ServiceEntry{&owner.component->ServiceList.back(), {}})
              .first;
    }
    std::list<ServiceEndpoint>& endpoints = found->second.service->EndpointList;
    endpoints.push_back(endpoint);
    endpoints.back().EndpointText.clear();
    found->second.endpoints.insert(&endpoints.back());
    if (component.Trusted != "true") ++endpoint_count_;
  }

 private:
  struct ServiceEntry {
    Service* service;
    EqualEndpoints endpoints;
  };
  struct ComponentEntry {
    Component* component;
    std::unordered_map<std::string, ServiceEntry> services;
  };

  MachineComponentServices& published_;
  std::unordered_map<std::string, ComponentEntry> components_;
  uint32_t endpoint_count_ = 0;
  std::vector<bool> taken_ = std::vector<bool>(EXTERNAL_PORT_COUNT, false);
  uint32_t taken_count_ = 0;
};

// ---- the named operations, over the cycle's indexes ----

// The first published endpoint (component, service, endpoint order) equal
// to `endpoint`, or null. Component and service identifiers play no part.
ServiceEndpoint* findEqualEndpoint(const EqualEndpoints& published, const ServiceEndpoint& endpoint) {
  const auto found = published.find(&endpoint);
  // The index holds the published model's own (mutable) endpoints.
  return found == published.end() ? nullptr : const_cast<ServiceEndpoint*>(*found);
}

// False when an endpoint of either model holds `port`, or it was allotted
// earlier in this cycle. `port` lies in the range.
bool isExternalPortFree(const PublishingIndex& index, uint32_t port) { return !index.isTaken(port); }

// Gives `endpoint` a free external port and takes it: candidates are
// 49152 + rand() % 10847, drawn again while taken; after MAX_RANDOM_DRAWS
// misses the range is scanned once from its start. False (port 0) when
// every port is taken.
bool allotExternalPort(PublishingIndex& index, ServiceEndpoint& endpoint) {
  endpoint.EndpointExternalPORT = 0;
  if (index.allTaken()) return false;
  for (uint32_t draw = 0; draw < MAX_RANDOM_DRAWS && endpoint.EndpointExternalPORT == 0; ++draw) {
    const uint32_t candidate = EXTERNAL_PORT_BASE + static_cast<uint32_t>(rand()) % EXTERNAL_PORT_COUNT;
    if (isExternalPortFree(index, candidate)) endpoint.EndpointExternalPORT = candidate;
  }
  for (uint32_t candidate = EXTERNAL_PORT_BASE; endpoint.EndpointExternalPORT == 0; ++candidate)
    if (isExternalPortFree(index, candidate)) endpoint.EndpointExternalPORT = candidate;
  index.takePort(endpoint.EndpointExternalPORT);
  return true;
}

// Puts a copy of `endpoint` (text cleared) under its component and service
// into the published model, unless that published service already holds an
// equal endpoint; a component or service missing there is made with the
// incoming one's identifier (and trust), a found component keeps its own.
void insertEndpoint(PublishingIndex& published, const Component& component, const Service& service,
                    const ServiceEndpoint& endpoint) {
  if (!published.holds(component, service, endpoint)) published.append(component, service, endpoint);
}

// ---- the steps of a cycle ----

// Drops what may not be published from the received components, each with a
// level-3 line. A component under the ComponentID of the gateway's own
// default component (today's, or an earlier prefix's still published) would
// join it: its endpoints would be published as trusted and not counted.
// Refusals repeat every cycle while their files are spooled, so only the
// first MAX_REFUSALS_LOGGED of a cycle get a line of their own and one more
// line counts the rest: a spool full of refused endpoints would otherwise
// write thousands of lines a cycle, and the journal's rate limit would drop
// the daemon's other lines with them.
void refuseReceived(MachineComponentServices& incoming, const MachineComponentServices& published,
                    const PortForwarding& forwarding) {
  std::unordered_set<std::string> own_ids{incoming.ComponentIDPrefix + DEFAULT_COMPONENT_SUFFIX};
  for (const Component& component : published.ComponentList)
    if (component.Trusted == "true") own_ids.insert(component.ComponentID);
  uint32_t logged = 0, unlogged_components = 0, unlogged_endpoints = 0;
  // True when this refusal gets its own line; otherwise counts it.
  auto logs = [&](uint32_t& unlogged) {
    uint32_t& count = logged < MAX_REFUSALS_LOGGED ? logged : unlogged;
    ++count;
    return &count == &logged;
  };
  std::list<Component>& components = incoming.ComponentList;
  for (auto component = components.begin(); component != components.end();) {
    if (own_ids.count(component->ComponentID) != 0) {
      if (logs(unlogged_components))
        MGM_LOG(3, "Component %s refused: its ComponentID is the gateway's own",
                component->ComponentID.c_str());
      component = components.erase(component);
      continue;
    }
    for (Service& service : component->ServiceList)
      service.EndpointList.remove_if([&](const ServiceEndpoint& endpoint) {
        const char* const reason = forwarding.refusal(endpoint);
        if (reason != nullptr && logs(unlogged_endpoints))
          MGM_LOG(3, "Service endpoint %s:%s of Component %s refused: %s", endpoint.EndpointIP.c_str(),
                  endpoint.EndpointPORT.c_str(), component->ComponentID.c_str(), reason);
        return reason != nullptr;
      });
    ++component;
  }
  if (unlogged_components + unlogged_endpoints != 0)
    MGM_LOG(3, "Also refused in this cycle, not logged one by one: %u Component(s), %u Service endpoint(s)",
            unlogged_components, unlogged_endpoints);
}

void addDefaultService(MachineComponentServices& incoming) {
  Component component{incoming.ComponentIDPrefix + DEFAULT_COMPONENT_SUFFIX, "true", {}};
  incoming.GatewayId = component.ComponentID;
  component.ServiceList.push_back(
      Service{DEFAULT_SERVICE_ID, {parseEndpointText(DEFAULT_ENDPOINT_TEXT, component.Trusted)}});
  incoming.ComponentList.push_back(std::move(component));
}

// An empty zone address leaves the endpoints' addresses as they are.
void assignZoneAddresses(MachineComponentServices& incoming) {
  forEachEndpoint(incoming, [&](const Component& component, auto&, ServiceEndpoint& endpoint) {
    const std::string& address =
        component.Trusted == "true" ? incoming.MgTrustedZoneIPAddress : incoming.MgUntrustedZoneIPAddress;
    if (!address.empty()) endpoint.EndpointZoneIP = address;
  });
}

// Every published endpoint becomes stale unless an incoming endpoint finds
// it as its first equal one; such pairs become current. Several incoming
// endpoints may match one published endpoint, wherever it stands.
void matchEndpoints(MachineComponentServices& incoming, MachineComponentServices& published) {
  forEachEndpoint(published, [](auto&, auto&, ServiceEndpoint& endpoint) {
    endpoint.EndpointStatus = ENDPOINT_STATUS_STALE;
  });
  const EqualEndpoints index = indexByEquality(published);
  forEachEndpoint(incoming, [&](auto&, auto&, ServiceEndpoint& endpoint) {
    if (ServiceEndpoint* equal = findEqualEndpoint(index, endpoint)) {
      equal->EndpointStatus = ENDPOINT_STATUS_CURRENT;
      endpoint.EndpointStatus = ENDPOINT_STATUS_CURRENT;
    }
  });
}

// Withdraws stale endpoints, then the services and components left empty.
// True when an endpoint was withdrawn.
bool pruneStaleServices(MachineComponentServices& published, PortForwarding& forwarding) {
  bool withdrawn = false;
  std::list<Component>& components = published.ComponentList;
  for (auto component = components.begin(); component != components.end();) {
    std::list<Service>& services = component->ServiceList;
    for (auto service = services.begin(); service != services.end();) {
      std::list<ServiceEndpoint>& endpoints = service->EndpointList;
      for (auto endpoint = endpoints.begin(); endpoint != endpoints.end();) {
        if (endpoint->EndpointStatus != ENDPOINT_STATUS_STALE) {
          ++endpoint;
          continue;
        }
        forwarding.remove(*endpoint);
        MGM_LOG(6, "Removed old Service: %s:%s", endpoint->EndpointIP.c_str(),
                endpoint->EndpointPORT.c_str());
        endpoint = endpoints.erase(endpoint);
        withdrawn = true;
      }
      if (endpoints.empty()) {
        MGM_LOG(6, "Removed empty Service");
        service = services.erase(service);
      } else {
        ++service;
      }
    }
    if (services.empty()) {
      MGM_LOG(6, "Removed empty Component");
      component = components.erase(component);
    } else {
      ++component;
    }
  }
  return withdrawn;
}

// Publishes every incoming endpoint still new, in model order, within the
// endpoint limit and while ports are left. True when one was published.
bool addNewServices(MachineComponentServices& incoming, MachineComponentServices& published,
                    PortForwarding& forwarding) {
  PublishingIndex index(incoming, published);
  bool added = false;
  uint32_t over_limit = 0;
  uint32_t without_port = 0;
  forEachEndpoint(
      incoming, [&](const Component& component, const Service& service, ServiceEndpoint& endpoint) {
        if (endpoint.EndpointStatus != ENDPOINT_STATUS_NEW) return;
        if (index.holds(component, service, endpoint)) {
          // An equal endpoint of this service was published earlier in this
          // cycle: a port and rule of its own would never be withdrawn.
          endpoint.EndpointStatus = ENDPOINT_STATUS_CURRENT;
          return;
        }
        if (index.endpointCount() >= MAX_PUBLISHED_ENDPOINTS && component.Trusted != "true") {
          ++over_limit;  // stays new and unforwarded; a later cycle tries again
          return;
        }
        if (!allotExternalPort(index, endpoint)) {
          ++without_port;
          return;
        }
        forwarding.add(endpoint);
        MGM_LOG(6, "Added new Service: %s:%s", endpoint.EndpointIP.c_str(), endpoint.EndpointPORT.c_str());
        endpoint.EndpointStatus = ENDPOINT_STATUS_CURRENT;
        insertEndpoint(index, component, service, endpoint);
        added = true;
      });
  if (over_limit != 0)
    MGM_LOG(3, "Endpoint limit of %u reached, %u Service endpoint(s) not published", MAX_PUBLISHED_ENDPOINTS,
            over_limit);
  if (without_port != 0)
    MGM_LOG(3, "No free external port left, %u Service endpoint(s) not published", without_port);
  return added;
}

}  // namespace

bool reconcileCycle(MachineComponentServices& incoming, MachineComponentServices& published,
                    PortForwarding& forwarding, bool running) {
  refuseReceived(incoming, published, forwarding);
  if (running) addDefaultService(incoming);
  assignZoneAddresses(incoming);
  copyGatewayIdentity(published, incoming);
  // Into an empty published model every incoming endpoint is new.
  bool withdrawn = false;
  if (!isEmpty(published)) {
    matchEndpoints(incoming, published);
    withdrawn = pruneStaleServices(published, forwarding);
  }
  return addNewServices(incoming, published, forwarding) || withdrawn;
}
