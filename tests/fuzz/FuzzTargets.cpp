#include "FuzzTargets.h"

#include <tinyxml2.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "env/TestEnv.h"
#include "intake/Spool.h"
#include "model/Reconciliation.h"
#include "system/NatForwarding.h"
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
  Words words;
  std::string word;
  bool in_word = false;
  for (std::string::size_type i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else if (in_word = true, c == '\'') {
      const std::string::size_type end = line.find('\'', i + 1);
      FUZZ_CHECK(end != npos, show(line));
      word.append(line, i + 1, end - i - 1);
      i = end;
    } else if (c == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        FUZZ_CHECK(line[i] != '$' && line[i] != '`', show(line));
        if (line[i] == '\\' && i + 1 < line.size() && std::strchr("$`\"\\\n", line[i + 1])) ++i;
        word += line[i];
      }
      FUZZ_CHECK(i < line.size(), show(line));
    } else if (c == '\\') {
      FUZZ_CHECK(i + 1 < line.size() && line[i + 1] == '\'', show(line));
      word += line[++i];
    } else {
      FUZZ_CHECK(c != '\0' && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("._-:/@+,=%", c)),
                 "character the shell interprets in " + show(line));
      word += c;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

// The device of one input: a TestEnv whose spool is the only entry of a
// scratch root; every command must parse as plain shell words; "rm" must
// name one file of the spool, which is then removed.
class FuzzEnv : public TestEnv {
 public:
  std::vector<Words> commands_run;  // all but the removals
  std::set<std::string> removed;

  std::string runCommand(const std::string& command) override {
    commands_run.push_back(shellWords(command));
    return TestEnv::runCommand(command);
  }
  int runShell(const std::string& command) override {
    const Words words = shellWords(command);
    if (words.empty() || words[0] != "exec") {
      commands_run.push_back(words);
      return 0;
    }
    const std::string name = words.size() == 3 ? words[2].substr(std::min(dir.size(), words[2].size())) : "";
    FUZZ_CHECK(words[1] == "rm" && words[2] == dir + name && isSafeSpoolName(name), show(command));
    FUZZ_CHECK(unlink(words[2].c_str()) == 0, "rm of a missing file " + show(command));
    removed.insert(name);
    return 0;
  }
  // The spool's names; fails on anything but plain files in it, or anything
  // beside it in the scratch root.
  std::set<std::string> files() const {
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::temp_directory_path()))
      FUZZ_CHECK(entry.path() == fs::path(root), "outside the spool: " + show(entry.path().string()));
    for (const fs::directory_entry& entry : fs::directory_iterator(root))
      FUZZ_CHECK(entry.path() / "" == dir, "outside the spool: " + show(entry.path().string()));
    for (const fs::directory_entry& entry : fs::directory_iterator(dir))
      FUZZ_CHECK(entry.symlink_status().type() == fs::file_type::regular, show(entry.path().string()));
    return entries();
  }
  void write(const std::string& name, const uint8_t* data, size_t size) const {
    TestEnv::write(name, std::string(reinterpret_cast<const char*>(data), size));
  }
};

const std::string kTemporary = "incomming_client_file.xml";
const std::string kRegistryRequest = "RegisterMachineServices.xml";

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

// A NAT rule command for `e`: it holds each of the endpoint's values as one
// whole word.
bool isRuleFor(const Words& words, const ServiceEndpoint& e) {
  for (const std::string& value : {e.EndpointZone, e.EndpointPROT, std::to_string(e.EndpointExternalPORT),
                                   e.EndpointIP + ":" + e.EndpointPORT})
    if (std::find(words.begin(), words.end(), value) == words.end()) return false;
  return words[0] == "iptables";
}

// XML line-end handling of a parser: "\r\n" and a lone "\r" read as "\n".
// The library writes a carriage return unescaped, so one received as "&#13;"
// reaches the registry as a line feed.
std::string lineEnds(std::string value) {
  for (std::string::size_type at = value.find('\r'); at != npos; at = value.find('\r', at))
    value.replace(at, at + 1 < value.size() && value[at + 1] == '\n' ? 2 : 1, "\n");
  return value;
}

// The written registry request, read back, names exactly the published
// model, line ends aside.
void checkRegistryRequest(const FuzzEnv& env, const MachineComponentServices& published) {
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  FUZZ_CHECK(doc.LoadFile(env.path(kRegistryRequest).c_str()) == tinyxml2::XML_SUCCESS, "");
  auto text = [](const tinyxml2::XMLElement* e) { return e && e->GetText() ? e->GetText() : ""; };
  auto attribute = [](const tinyxml2::XMLElement* e, const char* name) {
    return e && e->Attribute(name) ? std::string(e->Attribute(name)) : std::string("\1");
  };
  auto child = [](const tinyxml2::XMLElement* e, const char* name) {
    return e ? e->FirstChildElement(name) : e;
  };
  const tinyxml2::XMLElement* root = doc.FirstChildElement("RegMachCompSvcReq");
  FUZZ_CHECK(text(child(root, "GatewayID")) == lineEnds(published.ComponentIDPrefix + "/Tarn"), "");
  const tinyxml2::XMLElement* c = child(child(root, "ComponentList"), "Component");
  for (const Component& component : published.ComponentList) {
    FUZZ_CHECK(attribute(c, "ComponentID") == lineEnds(component.ComponentID), show(component.ComponentID));
    FUZZ_CHECK(text(child(c, "Trusted")) == lineEnds(component.Trusted), show(component.ComponentID));
    const tinyxml2::XMLElement* s = child(child(c, "ServiceList"), "Service");
    for (const Service& service : component.ServiceList) {
      FUZZ_CHECK(attribute(s, "ServiceID") == lineEnds(service.ServiceID), show(service.ServiceID));
      const tinyxml2::XMLElement* e = child(s, "ServiceEndpoint");
      for (const ServiceEndpoint& endpoint : service.EndpointList) {
        FUZZ_CHECK(text(e) == lineEnds(xml::publishedEndpointText(endpoint)), show(endpoint.EndpointText));
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

// One cycle after the zone address probe, as the running-phase handler runs
// it (`running` false: the stop phase's withdrawal cycle).
void runCycle(FuzzEnv& env, MachineComponentServices& incoming, MachineComponentServices& published,
              bool running) {
  cleanupServiceFiles(incoming);
  xml::readComponentServiceFiles(incoming);
  if (incoming.ComponentIDPrefix.empty()) return;
  NatPortForwarding forwarding;
  reconcileCycle(incoming, published, forwarding, running);
  if (new_registry_service_file && xml::writeRegistryServiceFile(published) == 0) {
    registryRequestRewritten();
    checkRegistryRequest(env, published);
  }
  if (registry_service_file_send_request && registryUploadDue()) sendRegistryServiceFile(published);
}

int fuzzEndpointText(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* trusted : {"true", "false", "True"}) {
    const ServiceEndpoint e = parseEndpointText(text, trusted);
    FUZZ_CHECK(e.EndpointText == text && e.EndpointZoneIP.empty() && e.EndpointExternalPORT == 0, show(text));
    FUZZ_CHECK(e.EndpointStatus == 1 && e.EndpointZone == (*trusted == 't' ? "Trusted" : "Untrusted"),
               trusted);
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
  FuzzEnv env;
  env.write(kTemporary, data, size);
  const int result = handleIncomingFile();
  FUZZ_CHECK(result == 0 || result == 1, show(name));
  FUZZ_CHECK(env.files() == std::set<std::string>{result == 0 ? name + ".xml" : kTemporary}, show(name));
  // Every name that may stand in the spool is given.
  if (isSafeSpoolName(name) && name.find('\0') == npos && name.size() + 4 <= 255)
    FUZZ_CHECK(result == 0, show(name));
  FUZZ_CHECK(env.commands_run.empty() && env.removed.empty(), show(name));
  return 0;
}

int fuzzReader(const uint8_t* data, size_t size) {
  FuzzEnv env;
  env.write("f.xml", data, size);
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
    FUZZ_CHECK(allFields(e) == allFields(parseEndpointText(e.EndpointText, "false")), show(e.EndpointText));
  });
  FUZZ_CHECK(env.files() == std::set<std::string>{"f.xml"} && env.commands_run.empty(), "reader side effect");
  return 0;
}

int fuzzDatagramCycle(const uint8_t* data, size_t size) {
  FuzzEnv env;
  env.write(kTemporary, data, std::min<size_t>(size, 4096));  // one datagram at most
  handleIncomingFile();
  MachineComponentServices incoming, published;
  incoming.MgUntrustedZoneIPAddress = "10.0.0.1";
  incoming.MgTrustedZoneIPAddress = "192.168.2.254";

  // Publishing: one rule per forwarded incoming endpoint, in model order,
  // each holding the endpoint's values as whole words; ports unique and in
  // range; then the upload.
  runCycle(env, incoming, published, true);
  std::map<uint32_t, Words> rules;  // by external port
  size_t at = 0;
  forEachEndpoint(incoming, [&](const Component&, const ServiceEndpoint& e) {
    if (e.EndpointExternalPORT == 0) return;
    FUZZ_CHECK(at < env.commands_run.size() && isRuleFor(env.commands_run[at], e), show(e.EndpointText));
    FUZZ_CHECK(rules.emplace(e.EndpointExternalPORT, env.commands_run[at++]).second, "port given twice");
    FUZZ_CHECK(e.EndpointExternalPORT >= 49152 && e.EndpointExternalPORT <= 59998, show(e.EndpointText));
  });
  size_t published_count = 0;
  forEachEndpoint(published, [&](const Component&, const ServiceEndpoint& e) {
    FUZZ_CHECK(e.EndpointStatus == 0 && rules.count(e.EndpointExternalPORT) == 1, show(e.EndpointText));
    ++published_count;
  });
  FUZZ_CHECK(published_count == rules.size(), "published model differs from the forwarded endpoints");
  const bool upload = !incoming.ComponentIDPrefix.empty();
  FUZZ_CHECK(env.commands_run.size() == at + upload && (!upload || env.commands_run[at][0] == "curl"), "");
  FUZZ_CHECK(env.removed.empty(), "a young file was removed");

  // Withdrawal after every file has aged out: each spooled file removed by
  // its own rm, each rule deleted with the words it was added with.
  const std::set<std::string> before = env.files();
  std::set<std::string> aged = before;
  aged.erase(kTemporary);
  aged.erase(kRegistryRequest);
  env.commands_run.clear();
  clearComponentList(incoming);
  incoming.MgUntrustedZoneIPAddress.clear();
  incoming.MgTrustedZoneIPAddress.clear();
  for (const fs::directory_entry& entry : fs::directory_iterator(env.dir))
    fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::hours(1));
  runCycle(env, incoming, published, false);
  FUZZ_CHECK(env.commands_run.size() == rules.size() + !rules.empty(), "withdrawal commands");
  for (size_t i = 0, count = rules.size(); i < count; ++i) {
    Words added = env.commands_run[i];
    std::replace(added.begin(), added.end(), std::string("-D"), std::string("-A"));
    const auto rule = std::find_if(rules.begin(), rules.end(), [&](auto& r) { return r.second == added; });
    FUZZ_CHECK(added != env.commands_run[i] && rule != rules.end(), "rule deleted with other words");
    rules.erase(rule);
  }
  FUZZ_CHECK(published.ComponentList.empty(), "withdrawal left components");
  FUZZ_CHECK(env.removed == aged && env.files().size() == before.size() - aged.size(), "rm of other files");
  return 0;
}

}  // namespace

FuzzFunction fuzzTarget(const std::string& name) {
  // Every input's spool is made in a scratch root of its own, which then
  // holds nothing else.
  static const std::string root = [] {
    std::string pattern = (fs::temp_directory_path() / "mgm-fuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, pattern);
    setenv("TMPDIR", pattern.c_str(), 1);
    std::atexit([] { rmdir(fs::temp_directory_path().c_str()); });
    return pattern;
  }();
  if (name == "endpoint_text") return fuzzEndpointText;
  if (name == "spool_name") return fuzzSpoolName;
  if (name == "reader") return fuzzReader;
  if (name == "datagram_cycle") return fuzzDatagramCycle;
  return nullptr;
}
