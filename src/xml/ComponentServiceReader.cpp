#include "xml/ComponentServiceReader.h"

#include <tinyxml2.h>

#include <string>

#include "Logging.h"
#include "env/Globals.h"

namespace xml {
namespace {

// Component service files carry no trust flag: their components are untrusted.
const std::string kUntrusted = "false";

// The prefix of the gateway's identity: the part of ComponentID before its
// first "/", taken from every component whose ID does not start "Master".
void updateComponentIdPrefix(const std::string& component_id, MachineComponentServices& incoming) {
  if (component_id.compare(0, 6, "Master") == 0) return;
  incoming.ComponentIDPrefix = component_id.substr(0, component_id.find('/'));
}

Service readService(const tinyxml2::XMLElement& element, const char* service_id, const std::string& path) {
  Service service;
  service.ServiceID = service_id;
  for (const tinyxml2::XMLElement* endpoint = element.FirstChildElement("ServiceEndpoint"); endpoint;
       endpoint = endpoint->NextSiblingElement("ServiceEndpoint")) {
    const char* text = endpoint->GetText();
    if (!text) {
      MGM_LOG(3, "Component Service file %s: ServiceEndpoint without text in Service %s skipped.",
              path.c_str(), service_id);
      continue;
    }
    service.EndpointList.push_back(parseEndpointText(text, kUntrusted));
  }
  return service;
}

Component readComponent(const tinyxml2::XMLElement& element, const char* component_id,
                        const std::string& path) {
  Component component;
  component.ComponentID = component_id;
  component.Trusted = kUntrusted;
  const tinyxml2::XMLElement* service_list = element.FirstChildElement("ServiceList");
  if (!service_list) return component;
  for (const tinyxml2::XMLElement* service = service_list->FirstChildElement("Service"); service;
       service = service->NextSiblingElement("Service")) {
    const char* service_id = service->Attribute("ServiceID");
    if (!service_id) {
      MGM_LOG(3, "Component Service file %s: Service without ServiceID in Component %s skipped.",
              path.c_str(), component_id);
      continue;
    }
    component.ServiceList.push_back(readService(*service, service_id, path));
  }
  return component;
}

void readDocument(const tinyxml2::XMLDocument& document, const std::string& path,
                  MachineComponentServices& incoming) {
  const tinyxml2::XMLElement* root = document.FirstChildElement("RegMachCompSvcReq");
  const tinyxml2::XMLElement* component_list = root ? root->FirstChildElement("ComponentList") : nullptr;
  if (!component_list) {
    MGM_LOG(3, "Component Service file %s holds no RegMachCompSvcReq with a ComponentList: nothing read.",
            path.c_str());
    return;
  }
  for (const tinyxml2::XMLElement* element = component_list->FirstChildElement("Component"); element;
       element = element->NextSiblingElement("Component")) {
    const char* component_id = element->Attribute("ComponentID");
    if (!component_id) {
      MGM_LOG(3, "Component Service file %s: Component without ComponentID skipped.", path.c_str());
      continue;
    }
    updateComponentIdPrefix(component_id, incoming);
    incoming.ComponentList.push_back(readComponent(*element, component_id, path));
  }
}

}  // namespace

// A file that fails to load is reported and passed over: stopping there
// would let one empty or garbled datagram withdraw every service listed
// after it until that file ages out.
uint32_t readComponentServiceFiles(MachineComponentServices& incoming) {
  clearComponentList(incoming);
  uint32_t result = 0;
  for (const std::string& name : incoming.ServiceFileNames) {
    const std::string path = spoolDirectory() + name;
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
      MGM_LOG(3, "Error while trying to pares Component Service file: %s", path.c_str());
      result = 1;
      continue;
    }
    readDocument(document, path, incoming);
  }
  return result;
}

}  // namespace xml
