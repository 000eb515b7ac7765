#include "xml/RegistryRequestWriter.h"

#include <sys/stat.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Logging.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "env/SpoolDirectory.h"

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

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

// Writes `doc` to `name` + ".part" in the spool, then renames it to `name`.
// False, with errno set and nothing at `name` changed, when any step fails.
bool saveAtomically(tinyxml2::XMLDocument& doc, const std::string& name) {
  const SpoolDirectory spool = SpoolDirectory::open();
  if (!spool.valid()) {
    errno = spool.error() != 0 ? spool.error() : EPERM;
    return false;
  }
  Env& env = Env::current();
  const std::string partial = name + partial_extension;
  const int fd = createFileAt(spool.fd(), partial);
  if (fd < 0) return false;
  std::unique_ptr<FILE, FileCloser> file(fdopen(fd, "we"));
  if (!file) {
    close(fd);
    return false;
  }
  const bool saved = doc.SaveFile(file.get(), false) == tinyxml2::XML_SUCCESS &&
                     std::fflush(file.get()) == 0 && !std::ferror(file.get());
  const int error = errno;
  const bool closed = std::fclose(file.release()) == 0;
  if (saved && closed && env.renameAt(spool.fd(), partial, name, 0) == 0) return true;
  const int failure = saved && closed ? errno : (error != 0 ? error : EIO);
  env.unlinkAt(spool.fd(), partial, 0);
  errno = failure;
  return false;
}

}  // namespace

bool registryRequestPresent() {
  struct stat status;
  const SpoolDirectory spool = SpoolDirectory::open();
  return spool.valid() && Env::current().statAt(spool.fd(), registry_file_name + xml_extension, status) &&
         S_ISREG(status.st_mode);
}

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

  // Written under a temporary name and renamed into place only when
  // complete, so the upload never posts a cut request.
  const std::string path = spoolDirectory() + registry_file_name + xml_extension;
  if (!saveAtomically(doc, registry_file_name + xml_extension)) {
    MGM_LOG(3, "Could not write the registry request %s (%s): it is written again in the next cycle",
            path.c_str(), std::strerror(errno));
    return 1;
  }

  MGM_LOG(6, "MachineComponentServices ready to send to registry.");
  return 0;
}

}  // namespace xml
