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
  std::string out;
  char hex[5];
  for (unsigned char c : bytes)
    out +=
        c >= 0x20 && c < 0x7f && c != '\\' ? std::string(1, c) : (std::snprintf(hex, 5, "\\x%02x", c), hex);
  return "[" + out + "]";
}

// Aborts naming the invariant; `detail` is evaluated only when it breaks.
#define FUZZ_CHECK(condition, detail)                                                                  \
  if (!(condition))                                                                                    \
  (std::fprintf(stderr, "fuzz invariant broken: %s\n  %s\n", #condition, std::string(detail).c_str()), \
   std::abort())

// The words a POSIX shell makes of a command line, for the forms the daemon
// writes: plain words of characters no shell interprets, '...' quoting with
// '\'' for a quote, and "..." without expansions or escapes. Anything else
// fails.
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
    } else if (in_word = true, c == '\'' || c == '"') {
      const std::string::size_type end = line.find(c, i + 1);
      FUZZ_CHECK(end != npos && (c == '\'' || line.find_first_of("$`\\", i + 1) > end), show(line));
      word.append(line, i + 1, end - i - 1);
      i = end;
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

// The elements under `parent` in document order: name, attributes and, for
// a leaf, its text.
void walk(const tinyxml2::XMLElement* parent, Words& out) {
  for (auto e = parent ? parent->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
    std::string item = e->Name();
    for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a; a = a->Next())
      item += std::string(" ") + a->Name() + "=" + a->Value();
    out.push_back(e->FirstChildElement() ? item : item + ": " + (e->GetText() ? e->GetText() : ""));
    walk(e, out);
  }
}

// The written registry request, read back, names exactly the published
// model, line ends aside.
void checkRegistryRequest(const FuzzEnv& env, const MachineComponentServices& published) {
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  FUZZ_CHECK(doc.LoadFile(env.path(kRegistryRequest).c_str()) == tinyxml2::XML_SUCCESS, "");
  const tinyxml2::XMLElement* root = doc.FirstChildElement("RegMachCompSvcReq");
  const tinyxml2::XMLElement* id = root ? root->FirstChildElement("GatewayID") : nullptr;
  Words got{id && id->GetText() ? id->GetText() : "\1"},
      want{lineEnds(published.ComponentIDPrefix + "/Tarn")};
  walk(root ? root->FirstChildElement("ComponentList") : nullptr, got);
  for (const Component& c : published.ComponentList) {
    want.insert(want.end(),
                {"Component ComponentID=" + lineEnds(c.ComponentID), "Trusted: " + lineEnds(c.Trusted),
                 c.ServiceList.empty() ? "ServiceList: " : "ServiceList"});
    for (const Service& s : c.ServiceList) {
      want.push_back("Service ServiceID=" + lineEnds(s.ServiceID) + (s.EndpointList.empty() ? ": " : ""));
      for (const ServiceEndpoint& e : s.EndpointList)
        want.push_back("ServiceEndpoint: " + lineEnds(xml::publishedEndpointText(e)));
    }
  }
  FUZZ_CHECK(got == want, show(published.ComponentIDPrefix));
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

// The endpoint text split: the first min(colons, 4) fields end at a colon,
// the others repeat the rest, which is the port and the suffix (from its
// first "[", without one from its first "/"); the fields joined by ":" give
// back the text, and the registry learns them back from the published text.
void fuzzEndpointText(const std::string& text) {
  for (const char* trusted : {"true", "false", "True"}) {
    const ServiceEndpoint e = parseEndpointText(text, trusted);
    FUZZ_CHECK(e.EndpointText == text && e.EndpointZoneIP.empty() && e.EndpointExternalPORT == 0 &&
                   e.EndpointStatus == 1 && e.EndpointZone == (*trusted == 't' ? "Trusted" : "Untrusted"),
               show(text) + trusted);
  }
  const ServiceEndpoint e = parseEndpointText(text, "false");
  const std::string* const fields[] = {&e.EndpointService, &e.EndpointPROT, &e.EndpointID, &e.EndpointIP};
  const size_t split = std::min<size_t>(std::count(text.begin(), text.end(), ':'), 4);
  const std::string rest = e.EndpointPORT + e.EndpointSuffix;
  const std::string::size_type bracket = rest.find('[');
  std::string joined;
  for (size_t i = 0; i < 4; ++i) {
    FUZZ_CHECK(i < split ? fields[i]->find(':') == npos : *fields[i] == rest, show(text));
    if (i < split) joined += *fields[i] + ":";
  }
  FUZZ_CHECK(
      joined + rest == text && e.EndpointPORT == rest.substr(0, bracket != npos ? bracket : rest.find('/')),
      show(text));
  if (split < 4) return;
  ServiceEndpoint published = e;
  published.EndpointZoneIP = "10.0.0.1";
  published.EndpointExternalPORT = 49152;
  const ServiceEndpoint back = parseEndpointText(xml::publishedEndpointText(published), "false");
  FUZZ_CHECK(std::tie(back.EndpointService, back.EndpointPROT, back.EndpointID, back.EndpointSuffix) ==
                     std::tie(e.EndpointService, e.EndpointPROT, e.EndpointID, e.EndpointSuffix) &&
                 back.EndpointIP + ":" + back.EndpointPORT == "10.0.0.1:49152",
             show(text));
}

// The reader: all or nothing, every component untrusted, the prefix from the
// last component whose ID does not start "Master", each endpoint as
// parseEndpointText makes it; it runs nothing and writes nothing.
void fuzzReader(const std::string& input) {
  FuzzEnv env;
  env.write("f.xml", input);
  MachineComponentServices incoming;
  incoming.ComponentIDPrefix = "Before";
  incoming.ComponentList.push_back(Component{"Old", "true", {}});
  incoming.ServiceFileNames = {"f.xml"};
  const uint32_t result = xml::readComponentServiceFiles(incoming);
  FUZZ_CHECK(result == 0 || (result == 1 && incoming.ComponentList.empty()), std::to_string(result));
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
}

// One datagram through spool, reader, reconciliation, NAT rules, registry
// request and upload, then its withdrawal. The received file is spooled
// under its given name or stays; every name that may stand in the spool is
// given; nothing is run for it.
void fuzzDatagramCycle(const std::string& datagram) {
  const std::string input = datagram.substr(0, 4096), name = spoolNameFor(input);
  FuzzEnv env;
  env.write(kTemporary, input);
  const int spooled = handleIncomingFile();
  FUZZ_CHECK(env.files() == std::set<std::string>{spooled == 0 ? name + ".xml" : kTemporary} &&
                 env.commands_run.empty() && (spooled == 0 || spooled == 1),
             show(name));
  FUZZ_CHECK(spooled == 0 || !isSafeSpoolName(name) || name.find('\0') != npos || name.size() + 4 > 255,
             show(name));
  MachineComponentServices incoming, published;
  incoming.MgUntrustedZoneIPAddress = "10.0.0.1";
  incoming.MgTrustedZoneIPAddress = "192.168.2.254";

  // Publishing: one rule per forwarded incoming endpoint, in model order,
  // each holding the endpoint's values as whole words; ports unique and in
  // range; the published model exactly the forwarded endpoints; then the
  // upload; no file removed.
  runCycle(env, incoming, published, true);
  std::set<uint32_t> ports;
  std::set<Words> rules;
  size_t at = 0, published_count = 0;
  forEachEndpoint(incoming, [&](const Component&, const ServiceEndpoint& e) {
    if (e.EndpointExternalPORT == 0) return;
    FUZZ_CHECK(at < env.commands_run.size() && isRuleFor(env.commands_run[at], e), show(e.EndpointText));
    rules.insert(env.commands_run[at++]);
    FUZZ_CHECK(ports.insert(e.EndpointExternalPORT).second, "port given twice");
    FUZZ_CHECK(e.EndpointExternalPORT >= 49152 && e.EndpointExternalPORT <= 59998, show(e.EndpointText));
  });
  forEachEndpoint(published, [&](const Component&, const ServiceEndpoint& e) {
    FUZZ_CHECK(e.EndpointStatus == 0 && ports.count(e.EndpointExternalPORT) == 1, show(e.EndpointText));
    ++published_count;
  });
  const bool upload = !incoming.ComponentIDPrefix.empty();
  FUZZ_CHECK(published_count == ports.size() && env.removed.empty(), "published model or removals");
  FUZZ_CHECK(env.commands_run.size() == at + upload && (!upload || env.commands_run[at][0] == "curl"), "");

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
  FUZZ_CHECK(env.commands_run.size() == ports.size() + !ports.empty(), "withdrawal commands");
  for (size_t i = 0; i < ports.size(); ++i) {
    Words added = env.commands_run[i];
    std::replace(added.begin(), added.end(), std::string("-D"), std::string("-A"));
    FUZZ_CHECK(added != env.commands_run[i] && rules.erase(added) == 1, "rule deleted with other words");
  }
  FUZZ_CHECK(published.ComponentList.empty(), "withdrawal left components");
  FUZZ_CHECK(env.removed == aged && env.files().size() == before.size() - aged.size(), "rm of other files");
}

template <void (*target)(const std::string&)>
int entry(const uint8_t* data, size_t size) {
  target(std::string(reinterpret_cast<const char*>(data), size));
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
  const std::map<std::string, FuzzFunction> targets = {{"endpoint_text", entry<fuzzEndpointText>},
                                                       {"spool_name", entry<fuzzDatagramCycle>},
                                                       {"reader", entry<fuzzReader>},
                                                       {"datagram_cycle", entry<fuzzDatagramCycle>}};
  return targets.count(name) ? targets.at(name) : nullptr;
}
