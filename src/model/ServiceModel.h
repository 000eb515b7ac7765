// The service model: the gateway, its components, their services and the
// service endpoints, with the endpoint text they come from.
//
// Records hold their members by value; lists keep insertion order; copies
// are deep. Strings compare by length and bytes.
#pragma once

#include <cstdint>
#include <list>
#include <string>

constexpr int16_t ENDPOINT_STATUS_NEW = 1;
constexpr int16_t ENDPOINT_STATUS_CURRENT = 0;
constexpr int16_t ENDPOINT_STATUS_STALE = -1;

struct ServiceEndpoint {
  std::string EndpointText;     // the endpoint text as received
  std::string EndpointService;  // first field
  std::string EndpointPROT;     // transport protocol
  std::string EndpointID;
  std::string EndpointIP;      // the component's own address
  std::string EndpointPORT;    // the component's own port, as text
  std::string EndpointSuffix;  // from the "[" or "/" behind the port; may be empty
  std::string EndpointZone;    // "Trusted" or "Untrusted"
  std::string EndpointZoneIP;  // the gateway's address in that zone
  uint32_t EndpointExternalPORT = 0;
  int16_t EndpointStatus = ENDPOINT_STATUS_NEW;
};

struct Service {
  std::string ServiceID;
  std::list<ServiceEndpoint> EndpointList;
};

struct Component {
  std::string ComponentID;
  std::string Trusted;  // only the exact text "true" counts as trusted
  std::list<Service> ServiceList;
};

struct MachineComponentServices {
  std::string GatewayId;
  std::string MgUntrustedZoneIPAddress;
  std::string MgTrustedZoneIPAddress;
  std::string IccID;
  std::string Imsi;
  std::list<Component> ComponentList;
  std::string ComponentIDPrefix;
  std::list<std::string> ServiceFileNames;  // spool file names, no directory
};

// Splits an endpoint text (model/EndpointText.h) into a new endpoint (status
// new, no external port, zone from `trusted`).
ServiceEndpoint parseEndpointText(const std::string& text, const std::string& trusted);

// True when the model has no components.
bool isEmpty(const MachineComponentServices& model);

// Removes every component; every other member stays.
void clearComponentList(MachineComponentServices& model);

// Copies the gateway identity (GatewayId, both zone addresses, IccID, Imsi,
// ComponentIDPrefix) from `source` to `target`. Returns 0.
int copyGatewayIdentity(MachineComponentServices& target, const MachineComponentServices& source);

// Equality used by reconciliation: service, protocol, id, address, zone
// address and port.
bool endpointsEqual(const ServiceEndpoint& a, const ServiceEndpoint& b);

// Writes the model to the log at level 6 (a diagnostic aid). Returns 0.
int dumpModel(const MachineComponentServices& model);
