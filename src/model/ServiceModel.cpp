#include "model/ServiceModel.h"

#include <utility>

#include "Logging.h"
#include "model/EndpointText.h"

ServiceEndpoint parseEndpointText(const std::string& text, const std::string& trusted) {
  EndpointFields fields = splitEndpointText(text);
  ServiceEndpoint endpoint;
  endpoint.EndpointText = text;
  endpoint.EndpointService = std::move(fields.service);
  endpoint.EndpointPROT = std::move(fields.protocol);
  endpoint.EndpointID = std::move(fields.id);
  endpoint.EndpointIP = std::move(fields.address);
  endpoint.EndpointPORT = std::move(fields.port);
  endpoint.EndpointSuffix = std::move(fields.suffix);
  endpoint.EndpointZone = trusted == "true" ? "Trusted" : "Untrusted";
  endpoint.EndpointExternalPORT = 0;
  endpoint.EndpointStatus = ENDPOINT_STATUS_NEW;
  return endpoint;
}

bool isEmpty(const MachineComponentServices& model) { return model.ComponentList.empty(); }

void clearComponentList(MachineComponentServices& model) { model.ComponentList.clear(); }

int copyGatewayIdentity(MachineComponentServices& target, const MachineComponentServices& source) {
  target.GatewayId = source.GatewayId;
  target.MgUntrustedZoneIPAddress = source.MgUntrustedZoneIPAddress;
  target.MgTrustedZoneIPAddress = source.MgTrustedZoneIPAddress;
  target.IccID = source.IccID;
  target.Imsi = source.Imsi;
  target.ComponentIDPrefix = source.ComponentIDPrefix;
  return 0;
}

bool endpointsEqual(const ServiceEndpoint& a, const ServiceEndpoint& b) {
  return a.EndpointService == b.EndpointService && a.EndpointPROT == b.EndpointPROT &&
         a.EndpointID == b.EndpointID && a.EndpointIP == b.EndpointIP &&
         a.EndpointZoneIP == b.EndpointZoneIP && a.EndpointPORT == b.EndpointPORT;
}

int dumpModel(const MachineComponentServices& model) {
  if (model.ComponentList.empty()) MGM_LOG(6, "Request File is EMPTY!");
  MGM_LOG(6, "GatewayId: %s", model.GatewayId.c_str());
  MGM_LOG(6, "MgUntrustedZoneIPAddress: %s", model.MgUntrustedZoneIPAddress.c_str());
  MGM_LOG(6, "MgTrustedZoneIPAddress: %s", model.MgTrustedZoneIPAddress.c_str());
  MGM_LOG(6, "IccID: %s", model.IccID.c_str());
  MGM_LOG(6, "Imsi: %s", model.Imsi.c_str());
  for (const Component& component : model.ComponentList) {
    MGM_LOG(6, "ComponentID: %s", component.ComponentID.c_str());
    for (const Service& service : component.ServiceList) {
      MGM_LOG(6, "ServiceID: %s", service.ServiceID.c_str());
      for (const ServiceEndpoint& endpoint : service.EndpointList) {
        MGM_LOG(6, "EndpointService: %s", endpoint.EndpointService.c_str());
        MGM_LOG(6, "EndpointPROT: %s", endpoint.EndpointPROT.c_str());
        MGM_LOG(6, "EndpointID: %s", endpoint.EndpointID.c_str());
        MGM_LOG(6, "EndpointIP: %s", endpoint.EndpointIP.c_str());
        MGM_LOG(6, "EndpointPORT: %s", endpoint.EndpointPORT.c_str());
        // Sign-widened, so a stale mark shows as 4294967295.
        MGM_LOG(6, "EndpointStatus: %u",
                static_cast<unsigned>(static_cast<int32_t>(endpoint.EndpointStatus)));
      }
    }
  }
  return 0;
}
