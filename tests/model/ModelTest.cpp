#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "PlatformDouble.h"
#include "env/Globals.h"
#include "model/Reconciliation.h"

namespace {

std::string rule(const ServiceEndpoint& e) {
  return e.EndpointZone + " " + e.EndpointPROT + " " + std::to_string(e.EndpointExternalPORT) + " " +
         e.EndpointIP + ":" + e.EndpointPORT;
}

// Keeps the rules in force; a rule must be withdrawn with the words it was
// added with.
struct Rules : PortForwarding {
  void add(const ServiceEndpoint& e) override { EXPECT_TRUE(in_force.insert(rule(e)).second) << rule(e); }
  void remove(const ServiceEndpoint& e) override { EXPECT_EQ(in_force.erase(rule(e)), 1u) << rule(e); }
  std::set<std::string> in_force;
};

TEST(ParseEndpointText, SplitsFieldsSuffixAndZone) {
  // Text, trusted, service|protocol|id|address|port|suffix|zone.
  const char* const cases[][3] = {
      {"gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/", "true",
       "gwiotsvc|TCP|1|192.168.2.1|9080|/chkcompconnstatus/|Trusted"},
      // Without a ":" a field is the whole rest.
      {"lonely", "false", "lonely|lonely|lonely|lonely|lonely||Untrusted"},
      {"svc:UDP:2:10.0.0.5", "false", "svc|UDP|2|10.0.0.5|10.0.0.5||Untrusted"},
      // A "[" anywhere wins over an earlier "/"; only the exact text "true" is trusted.
      {"s:TCP:3:10.0.0.1:80/a[b]", "True", "s|TCP|3|10.0.0.1|80/a|[b]|Untrusted"},
      {"s:TCP:3:10.0.0.1:80[x]/y", "true ", "s|TCP|3|10.0.0.1|80|[x]/y|Untrusted"},
      // Colons behind the fourth stay in the port, or in the suffix behind it.
      {"s:TCP:3:10.0.0.1:80:81/p:q", "false", "s|TCP|3|10.0.0.1|80:81|/p:q|Untrusted"},
      // Nothing is trimmed; empty fields stay empty.
      {" s :TCP::: 80 ", "", " s |TCP||| 80 ||Untrusted"},
  };
  for (const auto& [text, trusted, fields] : cases) {
    const ServiceEndpoint e = parseEndpointText(text, trusted);
    EXPECT_EQ(e.EndpointService + "|" + e.EndpointPROT + "|" + e.EndpointID + "|" + e.EndpointIP + "|" +
                  e.EndpointPORT + "|" + e.EndpointSuffix + "|" + e.EndpointZone,
              fields)
        << text;
    EXPECT_EQ(e.EndpointText, text);
  }
}

template <typename Model, typename Visit>
void forEachEndpoint(Model& model, Visit visit) {
  for (auto& c : model.ComponentList)
    for (auto& s : c.ServiceList)
      for (auto& e : s.EndpointList) visit(c, s, e);
}

// A model as the reader leaves it, from "component service endpoint-text"
// triples; consecutive triples of one component and service share it.
MachineComponentServices incoming(const std::string& triples, const std::string& untrusted_ip = "10.1.1.1") {
  MachineComponentServices model;
  model.ComponentIDPrefix = "gw";
  model.MgTrustedZoneIPAddress = "192.168.2.254";
  model.MgUntrustedZoneIPAddress = untrusted_ip;
  std::istringstream in(triples);
  for (std::string c, s, text; in >> c >> s >> text;) {
    if (model.ComponentList.empty() || model.ComponentList.back().ComponentID != c)
      model.ComponentList.push_back(Component{c, "false", {}});
    std::list<Service>& services = model.ComponentList.back().ServiceList;
    if (services.empty() || services.back().ServiceID != s) services.push_back(Service{s, {}});
    services.back().EndpointList.push_back(parseEndpointText(text, "false"));
  }
  return model;
}

// One cycle's reconciling steps; the stop-time cycle adds no default service.
void runCycle(MachineComponentServices& in, MachineComponentServices& published, Rules& rules,
              bool running = true) {
  if (running) addDefaultService(in);
  assignZoneAddresses(in);
  copyGatewayIdentity(published, in);
  matchEndpoints(in, published, rules);
  pruneStaleServices(published, rules);
  addNewServices(in, published, rules);
}

std::vector<std::string> describe(const MachineComponentServices& model) {
  std::vector<std::string> lines;
  forEachEndpoint(model, [&](const Component& c, const Service& s, const ServiceEndpoint& e) {
    lines.push_back(c.ComponentID + "(" + c.Trusted + ")/" + s.ServiceID + " " + e.EndpointService + ":" +
                    e.EndpointPROT + ":" + e.EndpointID + ":" + e.EndpointIP + ":" + e.EndpointPORT +
                    e.EndpointSuffix + " " + e.EndpointZone + "@" + e.EndpointZoneIP);
  });
  return lines;
}

// The rules the published endpoints need.
std::set<std::string> rulesFor(const MachineComponentServices& model) {
  std::set<std::string> rules;
  forEachEndpoint(model, [&](auto&, auto&, auto& e) { rules.insert(rule(e)); });
  return rules;
}

// The level-6 log as "+address:port" added, "-address:port" removed, "S" /
// "C" empty service / component removed.
std::string logTrace() {
  std::string trace;
  for (std::string t : platform_double::logTexts(6)) {
    if (t == "Removed empty Service" || t == "Removed empty Component") t = t.substr(14, 1);
    if (t.rfind("Added new Service: ", 0) == 0) t = "+" + t.substr(19);
    if (t.rfind("Removed old Service: ", 0) == 0) t = "-" + t.substr(21);
    trace += (trace.empty() ? "" : " ") + t;
  }
  return trace;
}

const std::string SSH_AND_WEB =
    "m1 ssh ssh:TCP:1:10.0.0.1:22 m1 ssh ssh:TCP:1:10.0.0.1:22[dup] m2 web http:TCP:1:10.0.0.2:80[/index]";

// Whether reconciliation takes `incoming_one` for the published `published_one`.
bool matched(const ServiceEndpoint& published_one, const ServiceEndpoint& incoming_one) {
  Rules no_rules;
  MachineComponentServices published, incoming;
  published.ComponentList.push_back(Component{"p", "false", {Service{"s", {published_one}}}});
  incoming.ComponentList.push_back(Component{"i", "false", {Service{"s", {incoming_one}}}});
  matchEndpoints(incoming, published, no_rules);
  return incoming.ComponentList.front().ServiceList.front().EndpointList.front().EndpointStatus ==
         ENDPOINT_STATUS_CURRENT;
}

TEST(EndpointsEqual, ComparesTheSixIdentityFieldsWholeAndNothingElse) {
  using E = ServiceEndpoint;
  const std::pair<std::string E::*, bool> cases[] = {
      {&E::EndpointText, true},     {&E::EndpointSuffix, true},  {&E::EndpointZone, true},
      {&E::EndpointService, false}, {&E::EndpointPROT, false},   {&E::EndpointID, false},
      {&E::EndpointIP, false},      {&E::EndpointZoneIP, false}, {&E::EndpointPORT, false},
  };
  E base = parseEndpointText("svc:TCP:1:10.0.0.1:80/x", "false");
  base.EndpointZoneIP = "172.16.0.1";
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    E changed = base;
    (changed.*cases[i].first).push_back('\0');  // seen only by a length-aware compare
    changed.EndpointExternalPORT = 50000;
    changed.EndpointStatus = ENDPOINT_STATUS_STALE;
    EXPECT_EQ(endpointsEqual(base, changed), cases[i].second);
    EXPECT_EQ(matched(base, changed), cases[i].second);
  }
}

class Reconciliation : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_double::resetAll();
    new_registry_service_file = false;
    srand(1);
  }
  Rules rules;
  MachineComponentServices published;
};

// Cycles one after the other on one published model.
TEST_F(Reconciliation, FirstCyclePublishesAllAndLaterOnesChangeOnlyWhatChanged) {
  const std::string opc = "m1 opc opc:TCP:1:10.0.0.1:4840 ", opc2 = "m1 opc opc:TCP:2:10.0.0.1:4840/x ";
  const std::string all = opc + opc2 + SSH_AND_WEB;
  MachineComponentServices first = incoming(all);
  runCycle(first, published, rules);
  // The repeated ssh endpoint gets no rule: nothing would ever withdraw it.
  EXPECT_EQ(logTrace(), "+10.0.0.1:4840 +10.0.0.1:4840 +10.0.0.1:22 +10.0.0.2:80 +192.168.2.1:9080");
  EXPECT_EQ(rules.in_force, rulesFor(published));
  EXPECT_TRUE(new_registry_service_file);
  EXPECT_EQ(describe(published),
            (std::vector<std::string>{
                "m1(false)/opc opc:TCP:1:10.0.0.1:4840 Untrusted@10.1.1.1",
                "m1(false)/opc opc:TCP:2:10.0.0.1:4840/x Untrusted@10.1.1.1",
                "m1(false)/ssh ssh:TCP:1:10.0.0.1:22 Untrusted@10.1.1.1",
                "m2(false)/web http:TCP:1:10.0.0.2:80[/index] Untrusted@10.1.1.1",
                "gw/Tarn(true)/component-online-check gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/ "
                "Trusted@192.168.2.254"}));
  EXPECT_EQ(first.GatewayId, "gw/Tarn");

  // What, incoming triples (none: the stop-time cycle), untrusted zone
  // address, log as logTrace writes it.
  const std::tuple<const char*, std::string, const char*, const char*> cases[] = {
      {"unchanged", all, "10.1.1.1", ""},
      {"endpoint moved elsewhere", "m9 moved opc:TCP:1:10.0.0.1:4840 " + opc2 + SSH_AND_WEB, "10.1.1.1", ""},
      {"suffix changed only", opc + "m1 opc opc:TCP:2:10.0.0.1:4840[new] " + SSH_AND_WEB, "10.1.1.1", ""},
      {"untrusted zone address changed", all, "10.1.1.2",
       "-10.0.0.1:4840 -10.0.0.1:4840 S -10.0.0.1:22 S C -10.0.0.2:80 S C "
       "+10.0.0.1:4840 +10.0.0.1:4840 +10.0.0.1:22 +10.0.0.2:80"},
      {"m1's ssh and all of m2 aged out", opc + opc2, "10.1.1.2", "-10.0.0.1:22 S -10.0.0.2:80 S C"},
      {"stop", "", "10.1.1.2", "-192.168.2.1:9080 S C -10.0.0.1:4840 -10.0.0.1:4840 S C"},
  };
  for (const auto& [what, triples, untrusted_ip, expected_log] : cases) {
    SCOPED_TRACE(what);
    const std::vector<std::string> before = describe(published);
    platform_double::clearLog();
    new_registry_service_file = false;

    MachineComponentServices in = incoming(triples, untrusted_ip);
    runCycle(in, published, rules, !triples.empty());
    const std::string log = logTrace();
    EXPECT_EQ(log, expected_log);
    EXPECT_EQ(rules.in_force, rulesFor(published));
    EXPECT_EQ(new_registry_service_file, !log.empty());
    if (log.empty()) {
      EXPECT_EQ(describe(published), before);
    }
  }
}

TEST_F(Reconciliation, PortHeldByPublishedOrEarlierNewEndpointIsDrawnAgain) {
  // Enough new endpoints that the seeded draws repeat a port among them.
  std::set<uint32_t> drawn;
  size_t count = 0;
  while (drawn.insert(EXTERNAL_PORT_BASE + rand() % EXTERNAL_PORT_COUNT).second) ++count;
  srand(1);
  MachineComponentServices first = incoming("m held old:TCP:1:10.0.0.1:1");
  runCycle(first, published, rules, false);

  // "old" is matched and carries no port in the incoming model; the first
  // new endpoint draws its port first.
  std::string triples = "m held old:TCP:1:10.0.0.1:1";
  for (size_t i = 0; i < count; ++i) triples += " m new new:TCP:1:10.0.0.1:" + std::to_string(i);
  srand(1);
  MachineComponentServices second = incoming(triples);
  runCycle(second, published, rules, false);

  std::set<uint32_t> ports;
  forEachEndpoint(published, [&](auto&, auto&, auto& e) { ports.insert(e.EndpointExternalPORT); });
  EXPECT_EQ(ports.size(), count + 1);
  EXPECT_GE(*ports.begin(), 49152u);
  EXPECT_LE(*ports.rbegin(), 59998u);
}

TEST_F(Reconciliation, ExhaustedPortRangeIsLoggedAndPublishesNothing) {
  Service& held =
      published.ComponentList.emplace_back(Component{"held", "false", {Service{"s", {}}}}).ServiceList.back();
  for (uint32_t port = EXTERNAL_PORT_BASE; port < EXTERNAL_PORT_BASE + EXTERNAL_PORT_COUNT; ++port) {
    held.EndpointList.push_back(parseEndpointText("h:TCP:1:10.9.0.1:1", "false"));
    held.EndpointList.back().EndpointExternalPORT = port;
  }
  MachineComponentServices late = incoming("late s late:TCP:1:10.0.0.7:7");
  addNewServices(late, published, rules);
  EXPECT_TRUE(rules.in_force.empty());
  EXPECT_FALSE(new_registry_service_file);
  EXPECT_EQ(published.ComponentList.size(), 1u);
  ASSERT_EQ(platform_double::logTexts(3).size(), 1u);
  EXPECT_NE(platform_double::logTexts(3)[0].find("10.0.0.7:7"), std::string::npos);
}

}  // namespace
