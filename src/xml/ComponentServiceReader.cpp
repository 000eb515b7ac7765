#include "xml/ComponentServiceReader.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "Logging.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "env/SpoolDirectory.h"

namespace xml {
namespace {

// Component service files carry no trust flag: their components are untrusted.
const std::string kUntrusted = "false";

// A received file holds at most one datagram (4096 bytes); a spool file
// larger than this is no component service file.
constexpr size_t MAX_FILE_SIZE = 64 * 1024;

// A character XML 1.0 allows: TAB, LF, CR, and from blank on, less the
// surrogates, U+FFFE and U+FFFF.
bool isXmlChar(unsigned long c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// True when `text` is valid UTF-8 (shortest form) made only of characters
// XML 1.0 allows, so the registry request that copies it stays well-formed.
bool isXmlText(const char* text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p) {
    const int length = *p < 0x80 ? 1 : *p < 0xC2 ? 0 : *p < 0xE0 ? 2 : *p < 0xF0 ? 3 : *p < 0xF5 ? 4 : 0;
    if (length == 0) return false;
    unsigned long c = length == 1 ? *p : *p & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i] & 0x3F);
    }
    static const unsigned long shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < shortest[length] || !isXmlChar(c)) return false;
    p += length;
  }
  return true;
}

// The library decodes a character reference to a character XML does not
// allow into bytes that cut the value (`&#0;` gives a NUL) or drops it. Each
// such reference is replaced by the control character U+0001, so the value
// that holds it is refused by isXmlText. (In a CDATA section, where no
// reference is decoded, the text is refused too.)
void markBadCharacterReferences(std::string& text) {
  for (std::string::size_type at = text.find("&#"); at != std::string::npos; at = text.find("&#", at + 1)) {
    const bool hex = at + 2 < text.size() && text[at + 2] == 'x';
    const std::string::size_type digits = at + (hex ? 3 : 2);
    const std::string::size_type end = text.find(';', digits);
    if (end == std::string::npos || end == digits) continue;
    unsigned long c = 0;
    bool number = true;
    for (std::string::size_type i = digits; i < end && number; ++i) {
      const char d = text[i];
      const int value = d >= '0' && d <= '9'          ? d - '0'
                        : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                        : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                      : -1;
      number = value >= 0;
      c = c > 0x10FFFF ? c : c * (hex ? 16 : 10) + value;
    }
    if (number && !isXmlChar(c)) text.replace(at, end + 1 - at, "\x01");
  }
}

// Loads the spool file `name` from the spool open at `spool`.
bool loadSpoolFile(int spool, const std::string& name, tinyxml2::XMLDocument& document) {
  std::string text;
  if (!readRegularFileAt(spool, name, MAX_FILE_SIZE, text)) return false;
  // The document ends at the first NUL, as the parser reads it: C senders
  // send the string terminator too.
  text.resize(std::min(text.size(), text.find('\0')));
  markBadCharacterReferences(text);
  return document.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS;
}

// The prefix of the gateway's identity: the part of ComponentID before its
// first "/", taken from every component whose ID does not start "Master".
void updateComponentIdPrefix(const std::string& component_id, MachineComponentServices& incoming) {
  if (component_id.compare(0, 6, "Master") == 0) return;
  incoming.ComponentIDPrefix = component_id.substr(0, component_id.find('/'));
}

// The endpoints one file may still add, and those it had beyond that.
struct EndpointBudget {
  uint32_t left = MAX_ENDPOINTS_PER_FILE;
  uint32_t skipped = 0;
};

Service readService(const tinyxml2::XMLElement& element, const char* service_id, const std::string& path,
                    EndpointBudget& budget) {
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
    if (!isXmlText(text)) {
      MGM_LOG(3,
              "Component Service file %s: ServiceEndpoint with a text that is not XML text in Service %s "
              "skipped.",
              path.c_str(), service_id);
      continue;
    }
    if (budget.left == 0) {
      ++budget.skipped;
      continue;
    }
    --budget.left;
    service.EndpointList.push_back(parseEndpointText(text, kUntrusted));
  }
  return service;
}

Component readComponent(const tinyxml2::XMLElement& element, const char* component_id,
                        const std::string& path, EndpointBudget& budget) {
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
    if (!isXmlText(service_id)) {
      MGM_LOG(
          3,
          "Component Service file %s: Service with a ServiceID that is not XML text in Component %s skipped.",
          path.c_str(), component_id);
      continue;
    }
    component.ServiceList.push_back(readService(*service, service_id, path, budget));
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
  EndpointBudget budget;
  for (const tinyxml2::XMLElement* element = component_list->FirstChildElement("Component"); element;
       element = element->NextSiblingElement("Component")) {
    const char* component_id = element->Attribute("ComponentID");
    if (!component_id) {
      MGM_LOG(3, "Component Service file %s: Component without ComponentID skipped.", path.c_str());
      continue;
    }
    if (!isXmlText(component_id)) {
      MGM_LOG(3, "Component Service file %s: Component with a ComponentID that is not XML text skipped.",
              path.c_str());
      continue;
    }
    updateComponentIdPrefix(component_id, incoming);
    incoming.ComponentList.push_back(readComponent(*element, component_id, path, budget));
  }
  if (budget.skipped != 0)
    MGM_LOG(3, "Component Service file %s: more than %u ServiceEndpoints, %u skipped.", path.c_str(),
            MAX_ENDPOINTS_PER_FILE, budget.skipped);
}

}  // namespace

// A file that fails to load (also a link, or anything but a regular file)
// is reported and passed over: stopping there
// would let one empty or garbled datagram withdraw every service listed
// after it until that file ages out.
uint32_t readComponentServiceFiles(MachineComponentServices& incoming) {
  clearComponentList(incoming);
  uint32_t result = 0;
  const SpoolDirectory spool = SpoolDirectory::open();
  // Out of descriptors, say: the files are there, unread, not gone.
  if (!spool.valid()) {
    MGM_LOG(3, "Spool directory %s could not be opened to read the component service files: %s",
            spoolDirectory().c_str(), spool.problem().c_str());
    return SPOOL_UNREADABLE;
  }
  for (const std::string& name : incoming.ServiceFileNames) {
    const std::string path = spoolDirectory() + name;
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    if (!loadSpoolFile(spool.fd(), name, document)) {
      // "pares": the log's readers match this text as it has always been.
      MGM_LOG(3, "Error while trying to pares Component Service file: %s", path.c_str());
      result = 1;
      continue;
    }
    readDocument(document, path, incoming);
  }
  return result;
}

}  // namespace xml
