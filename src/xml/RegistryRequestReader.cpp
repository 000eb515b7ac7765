#include "xml/RegistryRequestReader.h"

#include <tinyxml2.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace xml {
namespace {

std::string childText(const tinyxml2::XMLElement* parent, const char* name) {
  const tinyxml2::XMLElement* child = parent ? parent->FirstChildElement(name) : nullptr;
  const char* text = child ? child->GetText() : nullptr;
  return text ? text : "";
}

std::string attribute(const tinyxml2::XMLElement& element, const char* name) {
  const char* value = element.Attribute(name);
  return value ? value : "";
}

}  // namespace

bool readRegistryRequest(const std::string& path, RegistryRequest& request, std::string& error) {
  // Opened here rather than by tinyxml2, so that the reason of a failure
  // (missing, no permission) reaches the caller; close-on-exec as always.
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rbe"), &std::fclose);
  if (!file) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
  if (document.LoadFile(file.get()) != tinyxml2::XML_SUCCESS) {
    error = path + ": not well-formed XML (" + document.ErrorStr() + ")";
    return false;
  }
  const tinyxml2::XMLElement* root = document.FirstChildElement("RegMachCompSvcReq");
  if (!root) {
    error = path + ": no RegMachCompSvcReq document";
    return false;
  }
  request = RegistryRequest();
  request.gateway_id = childText(root, "GatewayID");
  const tinyxml2::XMLElement* addresses = root->FirstChildElement("MGNetworkAddresses");
  request.untrusted_address = childText(addresses, "MGUntrustedZoneIPAddress");
  request.trusted_address = childText(addresses, "MGTrustedZoneIPAddress");
  const tinyxml2::XMLElement* components = root->FirstChildElement("ComponentList");
  for (const tinyxml2::XMLElement* component = components ? components->FirstChildElement("Component")
                                                          : nullptr;
       component; component = component->NextSiblingElement("Component")) {
    const tinyxml2::XMLElement* services = component->FirstChildElement("ServiceList");
    for (const tinyxml2::XMLElement* service = services ? services->FirstChildElement("Service") : nullptr;
         service; service = service->NextSiblingElement("Service")) {
      for (const tinyxml2::XMLElement* endpoint = service->FirstChildElement("ServiceEndpoint"); endpoint;
           endpoint = endpoint->NextSiblingElement("ServiceEndpoint")) {
        const char* text = endpoint->GetText();
        request.endpoints.push_back(
            {attribute(*component, "ComponentID"), attribute(*service, "ServiceID"), text ? text : ""});
      }
    }
  }
  return true;
}

}  // namespace xml
