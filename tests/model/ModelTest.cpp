#include <gtest/gtest.h>

#include "env/TestEnv.h"
#include "model/Reconciliation.h"

namespace {

std::string rule(const ServiceEndpoint& e) {
  return e.EndpointZone + " " + e.EndpointPROT + " " + std::to_string(e.EndpointExternalPORT) + " " +
         e.EndpointIP + ":" + e.EndpointPORT;
}

template <typename Model, typename Visit>
void forEachEndpoint(Model& model, Visit visit) {
  for (auto& c : model.ComponentList)
    for (auto& s : c.ServiceList)
      for (auto& e : s.EndpointList) visit(c, s, e);
}

// Keeps the rules in force; a rule must be withdrawn with the words it was
// added with. Every published endpoint has its rule.
struct Reconciliation : ::testing::Test, PortForwarding {
  void add(const ServiceEndpoint& e) override {
    EXPECT_TRUE(in_force.insert(rule(e)).second) << rule(e);
    if (restart_draws) srand(1);
  }
  void remove(const ServiceEndpoint& e) override { EXPECT_EQ(in_force.erase(rule(e)), 1u) << rule(e); }
  // The gateway's own address, as the NAT forwarding refuses it.
  const char* refusal(const ServiceEndpoint& e) const override {
    return e.EndpointIP == "192.168.2.1" ? "the gateway's" : nullptr;
  }

  // One cycle over "component service endpoint-text" triples, as the reader
  // leaves them; the stop-time cycle (`running` false) adds no default
  // service. Returns the level-6 log as "+address:port" added,
  // "-address:port" removed, "S" / "C" empty service / component removed.
  std::string cycle(const std::string& triples, bool running = true,
                    const std::string& untrusted = "10.1.1.1", const std::string& prefix = "gw") {
    MachineComponentServices in;
    in.ComponentIDPrefix = prefix;
    in.MgTrustedZoneIPAddress = "192.168.2.254";
    in.MgUntrustedZoneIPAddress = untrusted;
    std::istringstream words(triples);
    for (std::string c, s, text; words >> c >> s >> text;) {
      if (in.ComponentList.empty() || in.ComponentList.back().ComponentID != c)
        in.ComponentList.push_back(Component{c, "false", {}});
      std::list<Service>& services = in.ComponentList.back().ServiceList;
      if (services.empty() || services.back().ServiceID != s) services.push_back(Service{s, {}});
      services.back().EndpointList.push_back(parseEndpointText(text, "false"));
    }
    platform_double::clearLog();
    const bool changed = reconcileCycle(in, published, *this, running);
    std::set<std::string> needed;
    forEachEndpoint(published, [&](auto&, auto&, const ServiceEndpoint& e) { needed.insert(rule(e)); });
    EXPECT_EQ(in_force, needed);
    std::string trace;
    for (std::string t : platform_double::logTexts(6)) {
      if (t == "Removed empty Service" || t == "Removed empty Component") t = t.substr(14, 1);
      if (t.rfind("Added new Service: ", 0) == 0) t = "+" + t.substr(19);
      if (t.rfind("Removed old Service: ", 0) == 0) t = "-" + t.substr(21);
      trace += (trace.empty() ? "" : " ") + t;
    }
    EXPECT_EQ(changed, !trace.empty());
    return trace;
  }

  std::vector<std::string> describe() const {
    std::vector<std::string> lines;
    forEachEndpoint(published, [&](const Component& c, const Service& s, const ServiceEndpoint& e) {
      lines.push_back(c.ComponentID + "(" + c.Trusted + ")/" + s.ServiceID + " " + e.EndpointService + ":" +
                      e.EndpointPROT + ":" + e.EndpointID + ":" + e.EndpointIP + ":" + e.EndpointPORT +
                      e.EndpointSuffix + " " + e.EndpointZone + "@" + e.EndpointZoneIP);
    });
    return lines;
  }

  TestEnv env;
  std::set<std::string> in_force;
  bool restart_draws = false;
  MachineComponentServices published;
};

TEST(EndpointsEqual, ComparesTheSixIdentityFieldsWholeAndNothingElse) {
  using E = ServiceEndpoint;
  // Fields outside the identity, then the six of it.
  std::string E::*const fields[] = {&E::EndpointText,    &E::EndpointSuffix, &E::EndpointZone,
                                    &E::EndpointService, &E::EndpointPROT,   &E::EndpointID,
                                    &E::EndpointIP,      &E::EndpointZoneIP, &E::EndpointPORT};
  const E base = parseEndpointText("svc:TCP:1:10.0.0.1:80/x", "false");
  for (size_t i = 0; i < std::size(fields); ++i) {
    E changed = base;
    (changed.*fields[i]).push_back('\0');  // seen only by a length-aware compare
    changed.EndpointExternalPORT = 50000;
    changed.EndpointStatus = ENDPOINT_STATUS_STALE;
    EXPECT_EQ(endpointsEqual(base, changed), i < 3) << i;
  }
}

// Cycles one after the other on one published model.
TEST_F(Reconciliation, FirstCyclePublishesAllAndLaterOnesChangeOnlyWhatChanged) {
  const std::string opc = "m1 opc opc:TCP:1:10.0.0.1:4840 ", opc2 = "m1 opc opc:TCP:2:10.0.0.1:4840/x ";
  const std::string rest =
      "m1 ssh ssh:TCP:1:10.0.0.1:22 m1 ssh ssh:TCP:1:10.0.0.1:22[dup] m2 web w:TCP:1:10.0.0.2:80[/i]";
  // The repeated ssh endpoint gets no rule: nothing would ever withdraw it.
  EXPECT_EQ(cycle(opc + opc2 + rest),
            "+10.0.0.1:4840 +10.0.0.1:4840 +10.0.0.1:22 +10.0.0.2:80 +192.168.2.1:9080");
  EXPECT_EQ(describe(), (std::vector<std::string>{
                            "m1(false)/opc opc:TCP:1:10.0.0.1:4840 Untrusted@10.1.1.1",
                            "m1(false)/opc opc:TCP:2:10.0.0.1:4840/x Untrusted@10.1.1.1",
                            "m1(false)/ssh ssh:TCP:1:10.0.0.1:22 Untrusted@10.1.1.1",
                            "m2(false)/web w:TCP:1:10.0.0.2:80[/i] Untrusted@10.1.1.1",
                            "gw/Tarn(true)/component-online-check "
                            "gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/ Trusted@192.168.2.254"}));
  EXPECT_EQ(published.GatewayId, "gw/Tarn");

  // What, incoming triples, running, untrusted zone address, log.
  const std::tuple<const char*, std::string, bool, const char*, const char*> cases[] = {
      {"unchanged", opc + opc2 + rest, true, "10.1.1.1", ""},
      {"endpoint moved elsewhere", "m9 moved opc:TCP:1:10.0.0.1:4840 " + opc2 + rest, true, "10.1.1.1", ""},
      {"suffix changed only", opc + "m1 opc opc:TCP:2:10.0.0.1:4840[new] " + rest, true, "10.1.1.1", ""},
      {"untrusted zone address changed", opc + opc2 + rest, true, "10.1.1.2",
       "-10.0.0.1:4840 -10.0.0.1:4840 S -10.0.0.1:22 S C -10.0.0.2:80 S C "
       "+10.0.0.1:4840 +10.0.0.1:4840 +10.0.0.1:22 +10.0.0.2:80"},
      {"m1's ssh and all of m2 aged out", opc + opc2, true, "10.1.1.2", "-10.0.0.1:22 S -10.0.0.2:80 S C"},
      {"stop", "", false, "", "-192.168.2.1:9080 S C -10.0.0.1:4840 -10.0.0.1:4840 S C"},
  };
  for (const auto& [what, triples, running, untrusted, log] : cases) {
    const std::vector<std::string> before = describe();
    EXPECT_EQ(cycle(triples, running, untrusted), log) << what;
    if (*log == '\0') {
      EXPECT_EQ(describe(), before) << what;
    }
  }
}

// The ports a process that never seeds rand() gives: 49152 + rand() % 10847
// in draw order, the components' endpoints before the gateway's own. With
// the draws restarted after every rule, a port held by a published endpoint
// or by one new in the same cycle is drawn again.
TEST_F(Reconciliation, UnseededDrawsGiveTheFirstPortsInOrderAndATakenPortIsDrawnAgain) {
  const auto ports = [&](const std::string& triples) {
    srand(1);
    cycle(triples);
    std::string out;
    forEachEndpoint(published,
                    [&](auto&, auto&, auto& e) { out += std::to_string(e.EndpointExternalPORT) + " "; });
    return out;
  };
  EXPECT_EQ(ports("m s a:TCP:1:10.0.0.1:1"), "59402 57125 ");
  restart_draws = true;
  EXPECT_EQ(ports("m s a:TCP:1:10.0.0.1:1 m s b:TCP:1:10.0.0.1:2 m s c:TCP:1:10.0.0.1:3"),
            "59402 55590 57389 57125 ");
}

TEST_F(Reconciliation, PublishesUpToTheLimitBesidesTheGatewaysOwnAndCountsTheRestOnce) {
  auto endpoints = [](uint32_t from, uint32_t to) {
    std::string triples;
    for (uint32_t i = from; i < to; ++i) triples += "m s e:TCP:" + std::to_string(i) + ":10.0.0.1:1 ";
    return triples;
  };
  const std::string triples = endpoints(0, MAX_PUBLISHED_ENDPOINTS + 5);
  for (int round = 0; round < 2; ++round) {
    cycle(triples);
    EXPECT_EQ(in_force.size(), MAX_PUBLISHED_ENDPOINTS + 1);  // the gateway's own among them
    EXPECT_EQ(published.ComponentList.front().ServiceList.front().EndpointList.back().EndpointID,
              std::to_string(MAX_PUBLISHED_ENDPOINTS - 1));
    EXPECT_EQ(platform_double::logTexts(3),
              std::vector<std::string>{"Endpoint limit of 128 reached, 5 Service endpoint(s) not published"});
  }
  // Withdrawn endpoints make room for those left over, in model order.
  EXPECT_EQ(cycle(endpoints(2, MAX_PUBLISHED_ENDPOINTS + 5)).substr(0, 35),
            "-10.0.0.1:1 -10.0.0.1:1 +10.0.0.1:1");
  // Two withdrawn, two more published: the gateway's own takes no place.
  EXPECT_EQ(published.ComponentList.front().ServiceList.front().EndpointList.back().EndpointID,
            std::to_string(MAX_PUBLISHED_ENDPOINTS + 1));
  EXPECT_EQ(platform_double::logTexts(3).size(), 1u);
}

// A flood under the gateway's own ComponentID would join its trusted
// component, uncounted; it is refused in every cycle, as are endpoints the
// forwarding refuses, the first few with a line each and the rest counted.
// The gateway's own service, at its own address, stays; under a new prefix
// its earlier component is still the gateway's own.
TEST_F(Reconciliation, ReceivedEndpointsNeverJoinTheGatewaysOwnComponent) {
  std::string triples;  // 10 endpoints refused, then one component: 11 refusals
  for (int i = 0; i < 10; ++i) triples += "m s ssh:TCP:" + std::to_string(i) + ":192.168.2.1:22 ";
  for (uint32_t i = 0; i <= MAX_PUBLISHED_ENDPOINTS; ++i)
    triples += "gw/Tarn s e:TCP:" + std::to_string(i) + ":10.0.0.1:1 ";
  cycle("");
  const std::vector<std::string> own = describe();
  for (const char* prefix : {"gw", "gw", "new"}) {
    EXPECT_EQ(cycle(triples, true, "10.1.1.1", prefix), "");
    EXPECT_EQ(describe(), own);
    const std::vector<std::string> log = platform_double::logTexts(3);
    EXPECT_EQ(log.size(), MAX_REFUSALS_LOGGED + 1);
    EXPECT_EQ(log.back(),
              "Also refused in this cycle, not logged one by one: 1 Component(s), 2 Service endpoint(s)");
  }
}

}  // namespace
