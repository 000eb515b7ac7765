#include "xml/RegistryRequestWriter.h"

#include <tinyxml2.h>

#include "Logging.h"
#include "model/Globals.h"

namespace xml {
namespace {

// A new element `name` holding `text` as its one child. The text node is
// added also when `text` is empty, so the element prints as an opening and a
// closing tag.
tinyxml2::XMLElement* textElement(tinyxml2::XMLDocument& doc, const char* name, const std::string& text) {
  tinyxml2::XMLElement* element = doc.NewElement(name);
  element->InsertEndChild(doc.NewText(text.c_str()));
  return element;
}

}  // namespace

std::string publishedEndpointText(const ServiceEndpoint& endpoint) {
  return endpoint.EndpointService + ":" + endpoint.EndpointPROT + ":" + endpoint.EndpointID + ":" +
         endpoint.EndpointZoneIP + ":" + std::to_string(endpoint.EndpointExternalPORT) +
         endpoint.EndpointSuffix;
}

uint32_t writeRegistryServiceFile(const MachineComponentServices& published) {
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);

  // The gateway's identity.
  tinyxml2::XMLElement* gatewayId = textElement(doc, "GatewayID", published.ComponentIDPrefix + "/Tarn");

  tinyxml2::XMLElement* networkAddresses = doc.NewElement("MGNetworkAddresses");
  if (!published.MgUntrustedZoneIPAddress.empty()) {
    networkAddresses->InsertEndChild(
        textElement(doc, "MGUntrustedZoneIPAddress", published.MgUntrustedZoneIPAddress));
  }
  if (!published.MgTrustedZoneIPAddress.empty()) {
    networkAddresses->InsertEndChild(
        textElement(doc, "MGTrustedZoneIPAddress", published.MgTrustedZoneIPAddress));
  }

  tinyxml2::XMLElement* commAddrs = doc.NewElement("GatewayCommAddrs");
  commAddrs->InsertEndChild(textElement(doc, "ICCID", published.IccID));
  commAddrs->InsertEndChild(textElement(doc, "IMSI", published.Imsi));

  tinyxml2::XMLElement* componentList = doc.NewElement("ComponentList");

  tinyxml2::XMLElement* root = doc.NewElement("RegMachCompSvcReq");
  doc.InsertFirstChild(root);
  root->InsertEndChild(gatewayId);
  root->InsertEndChild(networkAddresses);
  root->InsertEndChild(commAddrs);
  root->InsertEndChild(componentList);

  // The published components, services and endpoints, in list order.
  for (const Component& component : published.ComponentList) {
    tinyxml2::XMLElement* componentElement = doc.NewElement("Component");
    componentElement->SetAttribute("ComponentID", component.ComponentID.c_str());
    componentElement->InsertEndChild(textElement(doc, "Trusted", component.Trusted));
    tinyxml2::XMLElement* serviceList = doc.NewElement("ServiceList");
    componentElement->InsertEndChild(serviceList);

    for (const Service& service : component.ServiceList) {
      tinyxml2::XMLElement* serviceElement = doc.NewElement("Service");
      serviceElement->SetAttribute("ServiceID", service.ServiceID.c_str());
      for (const ServiceEndpoint& endpoint : service.EndpointList) {
        serviceElement->InsertEndChild(textElement(doc, "ServiceEndpoint", publishedEndpointText(endpoint)));
      }
      serviceList->InsertEndChild(serviceElement);
    }
    componentList->InsertEndChild(componentElement);
  }

  doc.InsertFirstChild(doc.NewDeclaration());

  // A failed save goes unnoticed; the upload posts whatever stands at the path.
  const std::string path = spoolDirectory() + registry_file_name + xml_extension;
  doc.SaveFile(path.c_str(), false);

  MGM_LOG(6, "MachineComponentServices ready to send to registry.");

  new_registry_service_file = false;
  registry_service_file_send_request = true;
  return 0;
}

}  // namespace xml
