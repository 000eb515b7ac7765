// Fuzz targets over the daemon's handling of received text, named by their
// corpus folders: "endpoint_text" (the endpoint text split) and
// "datagram_cycle" (one datagram through spool, reader, reconciliation, NAT
// rules, registry request and upload, then its withdrawal). Each aborts
// naming the invariant when one breaks. Built with FUZZ_TARGET this is that
// target's libFuzzer entry; otherwise a test replaying every stored seed and
// every input a fuzz run found (corpus/ and regressions/<target>/).
#include <tinyxml2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../env/TestEnv.h"
#include "cycle/ServiceCycle.h"
#include "intake/Spool.h"
#include "xml/ComponentServiceReader.h"
#include "xml/RegistryRequestWriter.h"

using Words = std::vector<std::string>;

namespace {

const size_t npos = std::string::npos;

#define FUZZ_CHECK(condition) \
  ((condition) ? void() : (std::fprintf(stderr, "fuzz invariant broken: %s\n", #condition), std::abort()))

// The words a POSIX shell makes of a command line, for the forms the daemon
// writes: plain words of characters no shell interprets, '...' quoting with
// '\'' for a quote, and "..." without expansions or escapes. Anything else
// fails.
Words shellWords(const std::string& line) {
  Words words;
  bool in_word = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c != ' ' && !in_word) words.emplace_back();
    in_word = c != ' ';
    if (c == '\'' || c == '"') {
      const size_t end = line.find(c, i + 1);
      FUZZ_CHECK(end != npos && (c == '\'' || line.find_first_of("$`\\", i + 1) > end));
      words.back().append(line, i + 1, end - i - 1);
      i = end;
    } else if (c != ' ') {
      FUZZ_CHECK(c == '\\'
                     ? line[i + 1] == '\''
                     : std::isalnum(static_cast<unsigned char>(c)) || (c && std::strchr("._-:/@+,=%", c)));
      words.back() += line[i += c == '\\'];
    }
  }
  return words;
}

// The device of one input: a TestEnv where every command must parse as
// plain shell words and every removal names one entry of the spool.
class FuzzEnv : public TestEnv {
 public:
  std::vector<Words> commands_run;  // all but the removals
  std::set<std::string> removed;

  // The zone address probes, fixed texts of the daemon's, are answered
  // without being recorded.
  std::string runCommand(const std::string& command) override {
    if (outputs.count(command) == 0) commands_run.push_back(shellWords(command));
    return TestEnv::runCommand(command);
  }
  int runForStatus(const std::string& line) override { return commands_run.push_back(shellWords(line)), 0; }
  int unlinkAt(int at, const std::string& name, int flags) override {
    FUZZ_CHECK(isSafeSpoolName(name));
    const int result = TestEnv::unlinkAt(at, name, flags);
    if (result == 0) removed.insert(name);
    return result;
  }
};

// XML line-end handling of a parser: "\r\n" and a lone "\r" read as "\n".
// The library writes a carriage return unescaped, so one received as "&#13;"
// reaches the registry as a line feed.
std::string lineEnds(std::string value) {
  for (size_t at = value.find('\r'); at != npos; at = value.find('\r', at))
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
  FUZZ_CHECK(doc.LoadFile(env.path("RegisterMachineServices.xml").c_str()) == tinyxml2::XML_SUCCESS);
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
  FUZZ_CHECK(got == want);
}

// The reader over the spool as the next cycle finds it, on a copy of
// `incoming`, before any command ran: it reads all or nothing of the one
// file, runs and writes nothing, makes every component untrusted, takes the
// prefix from the last component whose ID does not start "Master".
void checkReader(FuzzEnv& env, MachineComponentServices incoming) {
  cleanupServiceFiles(incoming);
  const std::set<std::string> files = env.entries();
  std::string prefix = incoming.ComponentIDPrefix;
  const uint32_t result = xml::readComponentServiceFiles(incoming);
  FUZZ_CHECK(result == 0 || (result == 1 && incoming.ComponentList.empty()));
  for (const Component& c : incoming.ComponentList) {
    FUZZ_CHECK(c.Trusted == "false");
    if (c.ComponentID.compare(0, 6, "Master") != 0) prefix = c.ComponentID.substr(0, c.ComponentID.find('/'));
  }
  FUZZ_CHECK(incoming.ComponentIDPrefix == prefix && env.entries() == files && env.commands_run.empty());
}

// The endpoint text split: the first min(colons, 4) fields end at a colon,
// the others repeat the rest, which is the port and the suffix (from its
// first "[", without one from its first "/").
void fuzzEndpointText(const std::string& text) {
  Words fields;
  size_t from = 0;
  for (size_t at; fields.size() < 4 && (at = text.find(':', from)) != npos; from = at + 1)
    fields.push_back(text.substr(from, at - from));
  const std::string rest = text.substr(from);
  fields.resize(4, rest);
  for (const char* trusted : {"true", "false", "True"}) {
    const ServiceEndpoint e = parseEndpointText(text, trusted);
    FUZZ_CHECK(e.EndpointText == text && e.EndpointZoneIP.empty() && e.EndpointExternalPORT == 0 &&
               e.EndpointStatus == 1 && e.EndpointZone == (*trusted == 't' ? "Trusted" : "Untrusted"));
    FUZZ_CHECK((Words{e.EndpointService, e.EndpointPROT, e.EndpointID, e.EndpointIP} == fields &&
                e.EndpointPORT + e.EndpointSuffix == rest &&
                e.EndpointPORT == rest.substr(0, rest.find(rest.find('[') != npos ? '[' : '/'))));
  }
}

// One datagram through spool, reader, reconciliation, NAT rules, registry
// request and upload, then its withdrawal. The received file is spooled
// under its given name or stays; every name that may stand in the spool is
// given; nothing is run for it.
void fuzzDatagramCycle(const std::string& datagram) {
  const std::string input = datagram.substr(0, 4096), name = spoolNameFor(input);
  FuzzEnv env;
  env.write("incomming_client_file.xml", input);
  const int spooled = handleIncomingFile();
  FUZZ_CHECK(env.entries() ==
                 std::set<std::string>{spooled == 0 ? name + ".xml" : "incomming_client_file.xml"} &&
             env.commands_run.empty() && (spooled == 0 || spooled == 1));
  FUZZ_CHECK(spooled == 0 || !isSafeSpoolName(name) || name.find('\0') != npos || name.size() + 4 > 255);
  MachineComponentServices incoming, published;
  incoming.ComponentList.push_back(Component{"Old", "true", {}});  // stale: the reader drops it

  // Publishing: one rule per forwarded incoming endpoint, in model order,
  // each holding the endpoint's values as whole words (address and port
  // without trailing white space); ports unique and in range; the published
  // model exactly the forwarded endpoints; then the upload; no file removed.
  checkReader(env, incoming);
  runServiceCycle(incoming, published, true);
  if (!incoming.ComponentIDPrefix.empty()) checkRegistryRequest(env, published);
  std::set<uint32_t> ports;
  std::set<Words> rules;
  size_t at = 0;
  for (const Component& c : incoming.ComponentList)
    for (const Service& s : c.ServiceList)
      for (const ServiceEndpoint& e : s.EndpointList) {
        if (e.EndpointExternalPORT == 0) continue;
        FUZZ_CHECK(at < env.commands_run.size() && env.commands_run[at][0] == "iptables");
        const Words& rule = *rules.insert(env.commands_run[at++]).first;
        auto kept = [](const std::string& v) { return v.substr(0, v.find_last_not_of(" \t\r\n") + 1); };
        for (const std::string& value :
             {e.EndpointZone, e.EndpointPROT, std::to_string(e.EndpointExternalPORT),
              kept(e.EndpointIP) + ":" + kept(e.EndpointPORT)})
          FUZZ_CHECK(std::find(rule.begin(), rule.end(), value) != rule.end());
        FUZZ_CHECK(ports.insert(e.EndpointExternalPORT).second && e.EndpointExternalPORT >= 49152 &&
                   e.EndpointExternalPORT <= 59998);
      }
  std::set<uint32_t> unpublished = ports;
  for (const Component& c : published.ComponentList)
    for (const Service& s : c.ServiceList)
      for (const ServiceEndpoint& e : s.EndpointList)
        FUZZ_CHECK(e.EndpointStatus == 0 && unpublished.erase(e.EndpointExternalPORT) == 1);
  const bool upload = !incoming.ComponentIDPrefix.empty();
  FUZZ_CHECK(unpublished.empty() && env.removed.empty() && env.commands_run.size() == at + upload &&
             (!upload || env.commands_run[at][0] == "curl"));

  // Withdrawal after every file has aged out: each spooled file removed,
  // each rule deleted with the words it was added with.
  std::set<std::string> aged = env.entries(), kept;
  for (const char* file : {"incomming_client_file.xml", "RegisterMachineServices.xml"})
    if (aged.erase(file)) kept.insert(file);
  env.commands_run.clear();
  clearComponentList(incoming);
  for (const std::string& file : env.entries()) env.write(file, env.read(file), 3600);  // aged out
  runServiceCycle(incoming, published, false);  // the stop phase's withdrawal
  if (!incoming.ComponentIDPrefix.empty()) checkRegistryRequest(env, published);
  FUZZ_CHECK(env.commands_run.size() == ports.size() + !ports.empty());
  for (size_t i = 0; i < ports.size(); ++i) {
    Words added = env.commands_run[i];
    std::replace(added.begin(), added.end(), std::string("-D"), std::string("-A"));
    FUZZ_CHECK(added != env.commands_run[i] && rules.erase(added) == 1);
  }
  FUZZ_CHECK(published.ComponentList.empty() && env.removed == aged && env.entries() == kept);
}

void run(const std::string& target, const std::string& input) {
  FUZZ_CHECK(target == "endpoint_text" || target == "datagram_cycle");
  (target == "endpoint_text" ? fuzzEndpointText : fuzzDatagramCycle)(input);
}

}  // namespace

#ifdef FUZZ_TARGET
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  run(FUZZ_TARGET, std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
#else
#include <gtest/gtest.h>

TEST(Fuzz, EveryStoredInputKeepsItsTargetsInvariants) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(FUZZ_DIR)) {
    const auto folder = entry.path().parent_path();
    const std::string set = folder.parent_path().filename();
    if (!entry.is_regular_file() || (set != "corpus" && set != "regressions")) continue;
    std::cerr << "replaying " << entry.path() << "\n";  // names the input when it aborts
    std::ostringstream bytes;
    bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
    run(folder.filename(), bytes.str());
  }
}
#endif
