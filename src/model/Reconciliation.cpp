#include "model/Reconciliation.h"

#include <cstdlib>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Logging.h"
#include "env/Globals.h"

const char* const DEFAULT_COMPONENT_SUFFIX = "/Tarn";
const char* const DEFAULT_SERVICE_ID = "component-online-check";
const char* const DEFAULT_ENDPOINT_TEXT = "gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/";

PortForwarding::~PortForwarding() = default;

namespace {

// Random candidates tried before the range is scanned in order. Large enough
// that a free port is practically always found by drawing (so the ports are
// those of the plain draw loop), small enough to decide a full range quickly.
constexpr uint32_t MAX_RANDOM_DRAWS = 8 * EXTERNAL_PORT_COUNT;

// Identifies an endpoint by the six fields that endpointsEqual compares:
// equal keys exactly when endpointsEqual holds. Each field is prefixed by its
// length, so no field content can imitate a field boundary.
std::string equalityKey(const ServiceEndpoint& endpoint) {
  std::string key;
  for (const std::string* field : {&endpoint.EndpointService, &endpoint.EndpointPROT, &endpoint.EndpointID,
                                   &endpoint.EndpointIP, &endpoint.EndpointZoneIP, &endpoint.EndpointPORT}) {
    key += std::to_string(field->size());
    key += ':';
    key += *field;
  }
  return key;
}

// Hash and equality of endpoints by the six fields that endpointsEqual
// compares: equal endpoints hash alike.
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

// The external ports of the candidate range that endpoints hold.
class PortsInUse {
 public:
  void add(uint32_t port) {
    if (port < EXTERNAL_PORT_BASE || port - EXTERNAL_PORT_BASE >= EXTERNAL_PORT_COUNT) return;
    std::vector<bool>::reference slot = taken_[port - EXTERNAL_PORT_BASE];
    if (!slot) {
      slot = true;
      ++count_;
    }
  }
  void addModel(const MachineComponentServices& model) {
    for (const Component& component : model.ComponentList)
      for (const Service& service : component.ServiceList)
        for (const ServiceEndpoint& endpoint : service.EndpointList) add(endpoint.EndpointExternalPORT);
  }
  // `port` must lie in the candidate range.
  bool isFree(uint32_t port) const { return !taken_[port - EXTERNAL_PORT_BASE]; }
  bool full() const { return count_ == EXTERNAL_PORT_COUNT; }

 private:
  std::vector<bool> taken_ = std::vector<bool>(EXTERNAL_PORT_COUNT, false);
  uint32_t count_ = 0;
};

// A free port of the range, or 0 when every one is taken. Candidates are
// 49152 + rand() % 10847, redrawn while taken; after MAX_RANDOM_DRAWS misses
// the range is scanned once from its start.
uint32_t drawFreePort(const PortsInUse& ports) {
  if (ports.full()) return 0;
  for (uint32_t draw = 0; draw < MAX_RANDOM_DRAWS; ++draw) {
    const uint32_t candidate = EXTERNAL_PORT_BASE + static_cast<uint32_t>(rand()) % EXTERNAL_PORT_COUNT;
    if (ports.isFree(candidate)) return candidate;
  }
  for (uint32_t candidate = EXTERNAL_PORT_BASE; candidate < EXTERNAL_PORT_BASE + EXTERNAL_PORT_COUNT;
       ++candidate)
    if (ports.isFree(candidate)) return candidate;
  return 0;
}

// Inserts into the published model exactly as insertEndpoint does, with the
// component, service and endpoint lookups indexed, so that publishing many
// endpoints in one pass stays linear. Indexes are built on first use and kept
// up to date by insert(); the model must change only through insert() while
// the index lives.
class PublishedIndex {
 public:
  explicit PublishedIndex(MachineComponentServices& published) : published_(published) {
    // First component of each ComponentID wins, as in a front-to-back search.
    for (Component& component : published.ComponentList)
      components_.emplace(component.ComponentID, ComponentEntry{&component, {}, false});
  }

  // True when the published service of this component and service already
  // holds an endpoint equal to `endpoint`, so insert() would add nothing.
  bool holds(const Component& component, const Service& service, const ServiceEndpoint& endpoint) {
    ServiceEntry* target = find(component, service, false);
    return target != nullptr && target->keys.count(equalityKey(endpoint)) != 0;
  }

  void insert(const Component& component, const Service& service, const ServiceEndpoint& endpoint) {
    ServiceEntry& target_service = *find(component, service, true);
    if (!target_service.keys.insert(equalityKey(endpoint)).second) return;
    target_service.service->EndpointList.push_back(endpoint);
    target_service.service->EndpointList.back().EndpointText.clear();
  }

 private:
  struct ServiceEntry {
    Service* service;
    std::unordered_set<std::string> keys;  // equality keys of its endpoints
    bool keys_indexed;
  };
  struct ComponentEntry {
    Component* component;
    std::unordered_map<std::string, ServiceEntry> services;  // by ServiceID, first wins
    bool services_indexed;
  };

  // The published service of this component and service, made (at the end
  // of its list) when `create` is set; null when missing and not made.
  ServiceEntry* find(const Component& component, const Service& service, bool create) {
    auto found = components_.find(component.ComponentID);
    if (found == components_.end()) {
      if (!create) return nullptr;
      published_.ComponentList.push_back(Component{component.ComponentID, component.Trusted, {}});
      found = components_
                  .emplace(component.ComponentID, ComponentEntry{&published_.ComponentList.back(), {}, true})
                  .first;
    }
    ComponentEntry& target_component = found->second;
    if (!target_component.services_indexed) {
      for (Service& existing : target_component.component->ServiceList)
        target_component.services.emplace(existing.ServiceID, ServiceEntry{&existing, {}, false});
      target_component.services_indexed = true;
    }

    auto service_found = target_component.services.find(service.ServiceID);
    if (service_found == target_component.services.end()) {
      if (!create) return nullptr;
      std::list<Service>& services = target_component.component->ServiceList;
      services.push_back(Service{service.ServiceID, {}});
      service_found =
          target_component.services.emplace(service.ServiceID, ServiceEntry{&services.back(), {}, true})
              .first;
    }
    ServiceEntry& target_service = service_found->second;
    if (!target_service.keys_indexed) {
      for (const ServiceEndpoint& existing : target_service.service->EndpointList)
        target_service.keys.insert(equalityKey(existing));
      target_service.keys_indexed = true;
    }
    return &target_service;
  }

  MachineComponentServices& published_;
  std::unordered_map<std::string, ComponentEntry> components_;
};

uint32_t endpointCount(const MachineComponentServices& model) {
  uint32_t count = 0;
  for (const Component& component : model.ComponentList)
    for (const Service& service : component.ServiceList)
      count += static_cast<uint32_t>(service.EndpointList.size());
  return count;
}

}  // namespace

void reconcileCycle(MachineComponentServices& incoming, MachineComponentServices& published,
                    PortForwarding& forwarding, bool running) {
  if (running) addDefaultService(incoming);
  assignZoneAddresses(incoming);
  copyGatewayIdentity(published, incoming);
  matchEndpoints(incoming, published, forwarding);
  pruneStaleServices(published, forwarding);
  addNewServices(incoming, published, forwarding);
}

int addDefaultService(MachineComponentServices& incoming) {
  Component component;
  component.ComponentID = incoming.ComponentIDPrefix + DEFAULT_COMPONENT_SUFFIX;
  component.Trusted = "true";
  incoming.GatewayId = component.ComponentID;

  Service service;
  service.ServiceID = DEFAULT_SERVICE_ID;
  service.EndpointList.push_back(parseEndpointText(DEFAULT_ENDPOINT_TEXT, component.Trusted));
  component.ServiceList.push_back(std::move(service));
  incoming.ComponentList.push_back(std::move(component));
  return 0;
}

int assignZoneAddresses(MachineComponentServices& incoming) {
  for (Component& component : incoming.ComponentList) {
    const std::string& address =
        component.Trusted == "true" ? incoming.MgTrustedZoneIPAddress : incoming.MgUntrustedZoneIPAddress;
    if (address.empty()) continue;
    for (Service& service : component.ServiceList)
      for (ServiceEndpoint& endpoint : service.EndpointList) endpoint.EndpointZoneIP = address;
  }
  return 0;
}

int matchEndpoints(MachineComponentServices& incoming, MachineComponentServices& published,
                   PortForwarding& forwarding) {
  if (isEmpty(published)) {
    addNewServices(incoming, published, forwarding);
    return 0;
  }
  setAllEndpointStatus(published, ENDPOINT_STATUS_STALE);

  // The first published endpoint of every class of equal ones, as
  // findEqualEndpoint would find it: an insert keeps the one already there.
  // The set holds pointers and hashes the fields in place, so building and
  // searching it allocates nothing per endpoint but its node.
  size_t count = 0;
  for (const Component& component : published.ComponentList)
    for (const Service& service : component.ServiceList) count += service.EndpointList.size();
  std::unordered_set<ServiceEndpoint*, EqualFieldsHash, EqualFields> first_equal;
  first_equal.reserve(count);
  for (Component& component : published.ComponentList)
    for (Service& service : component.ServiceList)
      for (ServiceEndpoint& endpoint : service.EndpointList) first_equal.insert(&endpoint);

  for (Component& component : incoming.ComponentList)
    for (Service& service : component.ServiceList)
      for (ServiceEndpoint& endpoint : service.EndpointList) {
        const auto found = first_equal.find(&endpoint);
        if (found == first_equal.end()) continue;
        (*found)->EndpointStatus = ENDPOINT_STATUS_CURRENT;
        endpoint.EndpointStatus = ENDPOINT_STATUS_CURRENT;
      }
  return 0;
}

int pruneStaleServices(MachineComponentServices& published, PortForwarding& forwarding) {
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
        new_registry_service_file = true;
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
  return 0;
}

int addNewServices(MachineComponentServices& incoming, MachineComponentServices& published,
                   PortForwarding& forwarding) {
  // Ports held anywhere in either model are never handed out again; every
  // port allotted below joins them.
  PortsInUse ports;
  ports.addModel(incoming);
  ports.addModel(published);
  PublishedIndex index(published);
  uint32_t published_count = endpointCount(published);
  uint32_t over_limit = 0;
  uint32_t without_port = 0;

  for (Component& component : incoming.ComponentList)
    for (Service& service : component.ServiceList)
      for (ServiceEndpoint& endpoint : service.EndpointList) {
        if (endpoint.EndpointStatus != ENDPOINT_STATUS_NEW) continue;
        if (index.holds(component, service, endpoint)) {
          // An equal endpoint of this service was published earlier in this
          // pass: a port and rule of its own would never be withdrawn.
          endpoint.EndpointStatus = ENDPOINT_STATUS_CURRENT;
          continue;
        }
        // The gateway's own service is always published.
        if (published_count >= MAX_PUBLISHED_ENDPOINTS && component.Trusted != "true") {
          ++over_limit;  // stays new and unforwarded; a later cycle tries again
          continue;
        }
        const uint32_t port = drawFreePort(ports);
        if (port == 0) {
          ++without_port;
          continue;
        }
        endpoint.EndpointExternalPORT = port;
        ports.add(port);
        forwarding.add(endpoint);
        MGM_LOG(6, "Added new Service: %s:%s", endpoint.EndpointIP.c_str(), endpoint.EndpointPORT.c_str());
        endpoint.EndpointStatus = ENDPOINT_STATUS_CURRENT;
        index.insert(component, service, endpoint);
        ++published_count;
        new_registry_service_file = true;
      }
  if (over_limit != 0)
    MGM_LOG(3, "Endpoint limit of %u reached, %u Service endpoint(s) not published", MAX_PUBLISHED_ENDPOINTS,
            over_limit);
  if (without_port != 0)
    MGM_LOG(3, "No free external port left, %u Service endpoint(s) not published", without_port);
  return 0;
}

int setAllEndpointStatus(MachineComponentServices& model, int16_t status) {
  for (Component& component : model.ComponentList)
    for (Service& service : component.ServiceList)
      for (ServiceEndpoint& endpoint : service.EndpointList) endpoint.EndpointStatus = status;
  return 0;
}

ServiceEndpoint* findEqualEndpoint(MachineComponentServices& model, const ServiceEndpoint& endpoint) {
  for (Component& component : model.ComponentList)
    for (Service& service : component.ServiceList)
      for (ServiceEndpoint& candidate : service.EndpointList)
        if (endpointsEqual(endpoint, candidate)) return &candidate;
  return nullptr;
}

bool isExternalPortFree(const MachineComponentServices& model, uint32_t port) {
  for (const Component& component : model.ComponentList)
    for (const Service& service : component.ServiceList)
      for (const ServiceEndpoint& endpoint : service.EndpointList)
        if (endpoint.EndpointExternalPORT == port) return false;
  return true;
}

bool allotExternalPort(const MachineComponentServices& incoming, const MachineComponentServices& published,
                       ServiceEndpoint& endpoint) {
  PortsInUse ports;
  ports.addModel(incoming);
  ports.addModel(published);
  endpoint.EndpointExternalPORT = drawFreePort(ports);
  return endpoint.EndpointExternalPORT != 0;
}

int insertEndpoint(MachineComponentServices& published, const Component& component, const Service& service,
                   const ServiceEndpoint& endpoint) {
  Component* target_component = nullptr;
  for (Component& existing : published.ComponentList)
    if (existing.ComponentID == component.ComponentID) {
      target_component = &existing;
      break;
    }
  Component made_component;
  if (target_component == nullptr) {
    made_component.ComponentID = component.ComponentID;
    made_component.Trusted = component.Trusted;
  }
  Component& owner = target_component != nullptr ? *target_component : made_component;

  Service* target_service = nullptr;
  for (Service& existing : owner.ServiceList)
    if (existing.ServiceID == service.ServiceID) {
      target_service = &existing;
      break;
    }
  Service made_service;
  if (target_service == nullptr) made_service.ServiceID = service.ServiceID;
  Service& holder = target_service != nullptr ? *target_service : made_service;

  for (const ServiceEndpoint& existing : holder.EndpointList)
    if (endpointsEqual(existing, endpoint)) return 0;

  holder.EndpointList.push_back(endpoint);
  holder.EndpointList.back().EndpointText.clear();
  if (target_service == nullptr) owner.ServiceList.push_back(std::move(made_service));
  if (target_component == nullptr) published.ComponentList.push_back(std::move(made_component));
  return 0;
}
