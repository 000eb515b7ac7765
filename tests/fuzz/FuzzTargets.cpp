#include "FuzzTargets.h"

#include <tinyxml2.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <tuple>
#include <vector>

#include "PlatformDouble.h"
#include "intake/Spool.h"
#include "env/Globals.h"
#include "model/Reconciliation.h"
#include "system/NatForwarding.h"
#include "system/RegistryUpload.h"
#include "system/Shell.h"
#include "xml/ComponentServiceReader.h"
#include "xml/RegistryRequestWriter.h"

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

namespace {

const std::string::size_type npos = std::string::npos;

// Bytes made readable for a failure report.
std::string show(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    out += (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') ? std::string(1, static_cast<char>(c)) : hex;
  }
  return out + "\"";
}

std::string show(const Words& words) {
  std::string out = "[";
  for (const std::string& word : words) out += show(word) + " ";
  return out + "]";
}

std::string show(const std::set<std::string>& names) { return show(Words(names.begin(), names.end())); }

std::string show(const std::vector<Words>& commands) {
  std::string out;
  for (const Words& words : commands) out += "\n    " + show(words);
  return out;
}

[[noreturn]] void fail(const char* invariant, const std::string& detail) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n  %s\n", invariant, detail.c_str());
  std::abort();
}

// `detail` is evaluated only when the check fails.
#define FUZZ_CHECK(condition, detail)           \
  do {                                          \
    if (!(condition)) fail(#condition, detail); \
  } while (0)

// The words a POSIX shell makes of a command line, for the forms the daemon
// writes: plain words of characters no shell interprets, '...' quoting with
// '\'' for a quote, and "..." without expansions. Anything else fails.
Words shellWords(const std::string& line) {
  FUZZ_CHECK(line.find('\0') == npos, show(line));
  Words words;
  std::string word;
  bool in_word = false;
  for (std::string::size_type i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\'') {
      const std::string::size_type end = line.find('\'', i + 1);
      FUZZ_CHECK(end != npos, "unterminated quote in " + show(line));
      word.append(line, i + 1, end - i - 1);
      i = end;
    } else if (c == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        FUZZ_CHECK(line[i] != '$' && line[i] != '`', "expansion in " + show(line));
        if (line[i] == '\\' && i + 1 < line.size() && std::strchr("$`\"\\\n", line[i + 1])) ++i;
        word += line[i];
      }
      FUZZ_CHECK(i < line.size(), "unterminated double quote in " + show(line));
    } else if (c == '\\') {
      FUZZ_CHECK(i + 1 < line.size() && line[i + 1] == '\'', "stray backslash in " + show(line));
      word += line[++i];
    } else {
      const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                         std::strchr("._-:/@+,=%", c) != nullptr;
      FUZZ_CHECK(plain, "character the shell interprets in " + show(line));
      word += c;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

bool isSafeName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of(std::string("/\0", 2)) == npos;
}

// A scratch root holding only the spool, for the life of the process.
struct Scratch {
  fs::path root;
  fs::path spool_path;
  std::string spool;  // with its trailing "/"

  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "mgm-fuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, pattern);
    root = pattern;
    spool_path = root / "spool";
    fs::create_directory(spool_path);
    spool = spool_path.string() + "/";
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  // The names in the spool. Fails when anything but the spool stands in the
  // root, or anything but plain files in the spool.
  std::set<std::string> entries() const {
    for (const fs::directory_entry& entry : fs::directory_iterator(root))
      FUZZ_CHECK(entry.path() == spool_path, "outside the spool: " + show(entry.path().string()));
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(spool_path)) {
      FUZZ_CHECK(entry.symlink_status().type() == fs::file_type::regular,
                 "not a plain file: " + show(entry.path().string()));
      names.insert(entry.path().filename().string());
    }
    return names;
  }
};

Scratch& scratch() {
  static Scratch instance;
  return instance;
}

const std::string kTemporary = "incomming_client_file.xml";
const std::string kRegistryRequest = "RegisterMachineServices.xml";

// Takes every command: "exec rm" is checked and carried out on the spool,
// the others (rules, upload) are kept as words; captures answer "200".
class Recorder : public ShellRunner {
 public:
  std::vector<Words> commands;
  std::set<std::string> removed;

  std::string capture(const std::string& command) override {
    commands.push_back(shellWords(command));
    return "200\n";
  }
  int execute(const std::string& command) override {
    Words words = shellWords(command);
    if (words.empty() || words[0] != "exec") {
      commands.push_back(words);
      return 0;
    }
    const std::string& spool = scratch().spool;
    FUZZ_CHECK(words.size() == 3 && words[1] == "rm", show(words));
    FUZZ_CHECK(words[2].compare(0, spool.size(), spool) == 0 && isSafeName(words[2].substr(spool.size())),
               show(words));
    FUZZ_CHECK(unlink(words[2].c_str()) == 0, "rm of a missing file " + show(words));
    removed.insert(words[2].substr(spool.size()));
    return 0;
  }
};

// One input's world: an empty scratch spool, the recorder, an empty log.
struct Session {
  Recorder recorder;
  const std::string& spool = scratch().spool;

  Session() {
    platform_double::clearLog();
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch().spool_path)) fs::remove(entry);
    setSpoolDirectoryForTesting(spool);
    setShellRunner(&recorder);
  }
  ~Session() {
    setShellRunner(nullptr);
    setSpoolDirectoryForTesting("");
  }
  void write(const std::string& name, const uint8_t* data, size_t size) const {
    std::ofstream(spool + name, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  }
};

auto allFields(const ServiceEndpoint& e) {
  return std::tie(e.EndpointText, e.EndpointService, e.EndpointPROT, e.EndpointID, e.EndpointIP,
                  e.EndpointPORT, e.EndpointSuffix, e.EndpointZone, e.EndpointZoneIP, e.EndpointExternalPORT,
                  e.EndpointStatus);
}

template <typename Model, typename Visit>
void forEachEndpoint(Model& model, Visit visit) {
  for (auto& component : model.ComponentList)
    for (auto& service : component.ServiceList)
      for (auto& endpoint : service.EndpointList) visit(component, endpoint);
}

// clang-format off
Words ruleWords(const char* op, const ServiceEndpoint& e) {
  return {"iptables", "-t", "nat", op, "IOT", "-i", e.EndpointZone, "-p", e.EndpointPROT,
          "--dport", std::to_string(e.EndpointExternalPORT), "-j", "DNAT", "--to-destination",
          e.EndpointIP + ":" + e.EndpointPORT};
}

Words uploadWords(const std::string& prefix) {
  std::string segment;
  for (unsigned char c : prefix) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    const bool dots = prefix == "." || prefix == "..";
    segment += std::isalnum(c) || (c != 0 && std::strchr(dots ? "-_~" : "-._~", c)) ? std::string(1, c) : hex;
  }
  return {"curl", "--cert", client_certificate_path, "--cacert", ca_certificate_path,
          "--fail", "--silent", "--show-error", "--globoff", "--connect-timeout", "10", "--max-time", "30",
          "-H", "Content-Type: application/xml", "-X", "POST", "-d", "@" + scratch().spool + kRegistryRequest,
          "-o", "/dev/null", "-s", "-w", "%{http_code}\n",
          "https://" + registry_host + "/" + registry_api_version + "/machineservices/" + segment};
}
// clang-format on

std::string text(const tinyxml2::XMLElement* element) {
  return element != nullptr && element->GetText() != nullptr ? element->GetText() : "";
}

// XML line-end handling of a parser: "\r\n" and a lone "\r" read as "\n".
// The library writes a carriage return unescaped, so one received as "&#13;"
// reaches the registry as a line feed.
std::string lineEnds(std::string value) {
  for (std::string::size_type at = value.find('\r'); at != npos; at = value.find('\r', at)) {
    if (at + 1 < value.size() && value[at + 1] == '\n')
      value.erase(at, 1);
    else
      value[at] = '\n';
  }
  return value;
}

// The written registry request, read back, names exactly the published
// model, line ends aside.
void checkRegistryRequest(const MachineComponentServices& published) {
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  FUZZ_CHECK(doc.LoadFile((scratch().spool + kRegistryRequest).c_str()) == tinyxml2::XML_SUCCESS, "");
  const tinyxml2::XMLElement* root = doc.FirstChildElement("RegMachCompSvcReq");
  FUZZ_CHECK(root != nullptr && root->FirstChildElement("ComponentList") != nullptr, "");
  FUZZ_CHECK(text(root->FirstChildElement("GatewayID")) == lineEnds(published.ComponentIDPrefix + "/Tarn"),
             "");
  auto attribute = [](const tinyxml2::XMLElement* e, const char* name) {
    return e != nullptr && e->Attribute(name) != nullptr ? std::string(e->Attribute(name))
                                                         : std::string("\1");
  };
  auto child = [](const tinyxml2::XMLElement* e, const char* name) {
    return e != nullptr ? e->FirstChildElement(name) : nullptr;
  };
  const tinyxml2::XMLElement* c = child(root->FirstChildElement("ComponentList"), "Component");
  for (const Component& component : published.ComponentList) {
    FUZZ_CHECK(attribute(c, "ComponentID") == lineEnds(component.ComponentID), show(component.ComponentID));
    FUZZ_CHECK(text(child(c, "Trusted")) == lineEnds(component.Trusted), show(component.ComponentID));
    const tinyxml2::XMLElement* s = child(child(c, "ServiceList"), "Service");
    for (const Service& service : component.ServiceList) {
      FUZZ_CHECK(attribute(s, "ServiceID") == lineEnds(service.ServiceID), show(service.ServiceID));
      const tinyxml2::XMLElement* e = child(s, "ServiceEndpoint");
      for (const ServiceEndpoint& endpoint : service.EndpointList) {
        FUZZ_CHECK(text(e) == lineEnds(xml::publishedEndpointText(endpoint)),
                   show(xml::publishedEndpointText(endpoint)));
        e = e->NextSiblingElement("ServiceEndpoint");
      }
      FUZZ_CHECK(e == nullptr, show(service.ServiceID));
      s = s->NextSiblingElement("Service");
    }
    FUZZ_CHECK(s == nullptr, show(component.ComponentID));
    c = c->NextSiblingElement("Component");
  }
  FUZZ_CHECK(c == nullptr, "extra component");
}

// One running cycle (or, with `running` false, one stop-phase cycle) after
// the spool step, as the running-phase handler performs it.
void runCycle(MachineComponentServices& incoming, MachineComponentServices& published, bool running) {
  cleanupServiceFiles(incoming);
  xml::readComponentServiceFiles(incoming);
  if (incoming.ComponentIDPrefix.empty()) return;
  if (running) addDefaultService(incoming);
  NatPortForwarding forwarding;
  assignZoneAddresses(incoming);
  copyGatewayIdentity(published, incoming);
  matchEndpoints(incoming, published, forwarding);
  pruneStaleServices(published, forwarding);
  addNewServices(incoming, published, forwarding);
  if (new_registry_service_file) {
    xml::writeRegistryServiceFile(published);
    registryRequestRewritten();
    checkRegistryRequest(published);
  }
  if (registry_service_file_send_request && registryUploadDue()) sendRegistryServiceFile(published);
}

}  // namespace

int fuzzEndpointText(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* trusted : {"true", "false", "True"}) {
    const ServiceEndpoint e = parseEndpointText(text, trusted);
    FUZZ_CHECK(e.EndpointText == text, show(text));
    FUZZ_CHECK(e.EndpointZone == (std::strcmp(trusted, "true") == 0 ? "Trusted" : "Untrusted"), trusted);
    FUZZ_CHECK(e.EndpointZoneIP.empty() && e.EndpointExternalPORT == 0 && e.EndpointStatus == 1, show(text));
  }

  // The first min(colons, 4) fields end at a colon, the others repeat the
  // rest; the fields joined by ":" give back the text.
  const ServiceEndpoint e = parseEndpointText(text, "false");
  const std::string* const fields[] = {&e.EndpointService, &e.EndpointPROT, &e.EndpointID, &e.EndpointIP};
  const size_t split = std::min<size_t>(std::count(text.begin(), text.end(), ':'), 4);
  const std::string rest = e.EndpointPORT + e.EndpointSuffix;
  std::string joined;
  for (size_t i = 0; i < 4; ++i) {
    FUZZ_CHECK(i < split ? fields[i]->find(':') == npos : *fields[i] == rest, show(text));
    if (i < split) joined += *fields[i] + ":";
  }
  FUZZ_CHECK(joined + rest == text, show(text));
  // The suffix starts at the rest's first "[", or without one at its first "/".
  const std::string::size_type bracket = rest.find('[');
  FUZZ_CHECK(e.EndpointPORT == rest.substr(0, bracket != npos ? bracket : rest.find('/')), show(text));

  // The registry learns the fields back from the published text.
  if (split == 4) {
    ServiceEndpoint published = e;
    published.EndpointZoneIP = "10.0.0.1";
    published.EndpointExternalPORT = 49152;
    const ServiceEndpoint back = parseEndpointText(xml::publishedEndpointText(published), "false");
    FUZZ_CHECK(std::tie(back.EndpointService, back.EndpointPROT, back.EndpointID, back.EndpointSuffix) ==
                       std::tie(e.EndpointService, e.EndpointPROT, e.EndpointID, e.EndpointSuffix) &&
                   back.EndpointIP == "10.0.0.1" && back.EndpointPORT == "49152",
               show(text));
  }
  return 0;
}

int fuzzSpoolName(const uint8_t* data, size_t size) {
  const std::string name = spoolNameFor(std::string(reinterpret_cast<const char*>(data), size));
  const bool safe = isSafeSpoolName(name);
  FUZZ_CHECK(name.find('_') != npos, show(name));
  // A NUL ends the path the system sees; handleIncomingFile refuses such names.
  if (safe && name.find('\0') == npos) {
    const fs::path path = fs::path("/spool/" + name + ".xml").lexically_normal();
    FUZZ_CHECK(path.parent_path() == "/spool" && path.filename() == name + ".xml", show(name));
  }

  Session session;
  session.write(kTemporary, data, size);
  const int result = handleIncomingFile();
  const std::set<std::string> entries = scratch().entries();
  FUZZ_CHECK(result == 0 || result == 1, show(name));
  FUZZ_CHECK(entries == std::set<std::string>{result == 0 ? name + ".xml" : kTemporary}, show(name));
  // Every name that may stand in the spool is given.
  if (safe && name.find('\0') == npos && name.size() + 4 <= 255) FUZZ_CHECK(result == 0, show(name));
  FUZZ_CHECK(session.recorder.commands.empty(), show(session.recorder.commands));
  return 0;
}

int fuzzReader(const uint8_t* data, size_t size) {
  Session session;
  session.write("f.xml", data, size);
  MachineComponentServices incoming;
  incoming.ComponentIDPrefix = "Before";
  incoming.ComponentList.push_back(Component{"Old", "true", {}});
  incoming.ServiceFileNames = {"f.xml"};
  const uint32_t result = xml::readComponentServiceFiles(incoming);
  FUZZ_CHECK(result == 0 || (result == 1 && incoming.ComponentList.empty()), std::to_string(result));

  // The last component whose ID does not start "Master" gives the prefix.
  std::string prefix = "Before";
  for (const Component& c : incoming.ComponentList) {
    FUZZ_CHECK(c.Trusted == "false", show(c.ComponentID));
    if (c.ComponentID.compare(0, 6, "Master") != 0) prefix = c.ComponentID.substr(0, c.ComponentID.find('/'));
  }
  FUZZ_CHECK(incoming.ComponentIDPrefix == prefix, show(incoming.ComponentIDPrefix) + " " + show(prefix));
  forEachEndpoint(incoming, [](const Component&, const ServiceEndpoint& e) {
    const ServiceEndpoint expected = parseEndpointText(e.EndpointText, "false");
    FUZZ_CHECK(allFields(e) == allFields(expected), show(e.EndpointText));
  });
  FUZZ_CHECK(scratch().entries() == std::set<std::string>{"f.xml"}, "reader changed the spool");
  FUZZ_CHECK(session.recorder.commands.empty(), show(session.recorder.commands));
  return 0;
}

int fuzzDatagramCycle(const uint8_t* data, size_t size) {
  Session session;
  Recorder& recorder = session.recorder;
  session.write(kTemporary, data, std::min<size_t>(size, 4096));  // one datagram at most
  handleIncomingFile();

  MachineComponentServices incoming;
  MachineComponentServices published;
  incoming.MgUntrustedZoneIPAddress = "10.0.0.1";
  incoming.MgTrustedZoneIPAddress = "192.168.2.254";
  incoming.IccID = "89314404000497388513";
  incoming.Imsi = "123456789101112";
  new_registry_service_file = false;
  registry_service_file_send_request = false;

  // Publishing: one rule per forwarded incoming endpoint, in model order,
  // each holding exactly the endpoint's values; then the upload.
  runCycle(incoming, published, true);
  std::vector<Words> expected;
  forEachEndpoint(incoming, [&](const Component&, const ServiceEndpoint& e) {
    if (e.EndpointExternalPORT != 0) expected.push_back(ruleWords("-A", e));
  });
  std::vector<Words> published_rules;
  std::set<uint32_t> ports;
  forEachEndpoint(published, [&](const Component&, const ServiceEndpoint& e) {
    FUZZ_CHECK(e.EndpointStatus == 0 && e.EndpointExternalPORT >= 49152 && e.EndpointExternalPORT <= 59998 &&
                   ports.insert(e.EndpointExternalPORT).second,
               show(e.EndpointIP) + " " + std::to_string(e.EndpointExternalPORT));
    published_rules.push_back(ruleWords("-A", e));
  });
  std::vector<Words> sorted_rules = expected;
  std::sort(sorted_rules.begin(), sorted_rules.end());
  std::sort(published_rules.begin(), published_rules.end());
  FUZZ_CHECK(published_rules == sorted_rules, "published model differs from the forwarded endpoints");
  if (!incoming.ComponentIDPrefix.empty()) expected.push_back(uploadWords(incoming.ComponentIDPrefix));
  FUZZ_CHECK(recorder.commands == expected, show(recorder.commands) + "\n  expected" + show(expected));
  FUZZ_CHECK(recorder.removed.empty(), "a young file was removed");

  // Withdrawal after every file has aged out: each spooled file removed by
  // its own rm, each rule deleted with the words it was added with.
  const std::set<std::string> before = scratch().entries();
  std::set<std::string> kept;
  for (const std::string& name : {kTemporary, kRegistryRequest})
    if (before.count(name) != 0) kept.insert(name);
  expected.clear();
  forEachEndpoint(
      published, [&](const Component&, const ServiceEndpoint& e) { expected.push_back(ruleWords("-D", e)); });
  if (!expected.empty()) expected.push_back(uploadWords(incoming.ComponentIDPrefix));
  recorder.commands.clear();
  clearComponentList(incoming);
  incoming.MgUntrustedZoneIPAddress.clear();
  incoming.MgTrustedZoneIPAddress.clear();
  for (const fs::directory_entry& entry : fs::directory_iterator(scratch().spool_path))
    fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::hours(1));
  runCycle(incoming, published, false);
  FUZZ_CHECK(recorder.commands == expected, show(recorder.commands) + "\n  expected" + show(expected));
  FUZZ_CHECK(published.ComponentList.empty(), "withdrawal left components");
  FUZZ_CHECK(scratch().entries() == kept, "left " + show(scratch().entries()) + " of " + show(before));
  std::set<std::string> aged;
  std::set_difference(before.begin(), before.end(), kept.begin(), kept.end(),
                      std::inserter(aged, aged.end()));
  FUZZ_CHECK(recorder.removed == aged, "rm of other files than the aged ones");
  return 0;
}

FuzzFunction fuzzTarget(const std::string& name) {
  if (name == "endpoint_text") return fuzzEndpointText;
  if (name == "spool_name") return fuzzSpoolName;
  if (name == "reader") return fuzzReader;
  if (name == "datagram_cycle") return fuzzDatagramCycle;
  return nullptr;
}
