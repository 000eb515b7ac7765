#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <list>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "PlatformDouble.h"
#include "model/Globals.h"
#include "model/Reconciliation.h"
#include "model/ServiceModel.h"

namespace {

constexpr const char* TRUSTED_IP = "192.168.2.254";
constexpr const char* UNTRUSTED_IP = "10.1.1.1";

struct RuleChange {
  bool added;
  ServiceEndpoint endpoint;
};

class RecordingForwarding : public PortForwarding {
 public:
  void add(const ServiceEndpoint& endpoint) override { changes.push_back({true, endpoint}); }
  void remove(const ServiceEndpoint& endpoint) override { changes.push_back({false, endpoint}); }
  std::vector<RuleChange> changes;
};

struct ServiceSpec {
  std::string id;
  std::vector<std::string> endpoints;
};
struct ComponentSpec {
  std::string id;
  std::vector<ServiceSpec> services;
  std::string trusted = "false";
};

// An incoming model as the reader leaves it: prefix "gw", both zone
// addresses, endpoints parsed and new.
MachineComponentServices incomingModel(const std::vector<ComponentSpec>& components,
                                       const std::string& untrusted_ip = UNTRUSTED_IP) {
  MachineComponentServices model;
  model.ComponentIDPrefix = "gw";
  model.MgTrustedZoneIPAddress = TRUSTED_IP;
  model.MgUntrustedZoneIPAddress = untrusted_ip;
  model.IccID = "8949";
  model.Imsi = "2620";
  for (const ComponentSpec& spec : components) {
    Component component{spec.id, spec.trusted, {}};
    for (const ServiceSpec& service_spec : spec.services) {
      Service service{service_spec.id, {}};
      for (const std::string& text : service_spec.endpoints)
        service.EndpointList.push_back(parseEndpointText(text, spec.trusted));
      component.ServiceList.push_back(service);
    }
    model.ComponentList.push_back(component);
  }
  return model;
}

// The reconciling steps of one cycle; the stop-time cycle adds no default
// service.
void runCycle(MachineComponentServices& incoming, MachineComponentServices& published,
              PortForwarding& forwarding, bool running = true) {
  if (running) addDefaultService(incoming);
  assignZoneAddresses(incoming);
  copyGatewayIdentity(published, incoming);
  matchEndpoints(incoming, published, forwarding);
  pruneStaleServices(published, forwarding);
  addNewServices(incoming, published, forwarding);
}

std::string describe(const ServiceEndpoint& e) {
  return e.EndpointService + ":" + e.EndpointPROT + ":" + e.EndpointID + ":" + e.EndpointIP + ":" +
         e.EndpointPORT + e.EndpointSuffix + " zone=" + e.EndpointZone + "@" + e.EndpointZoneIP +
         " ext=" + std::to_string(e.EndpointExternalPORT) + " status=" + std::to_string(e.EndpointStatus) +
         " text=" + e.EndpointText;
}

// The fields a forwarding rule is built from.
std::string rule(const ServiceEndpoint& e) {
  return e.EndpointZone + " " + e.EndpointPROT + " " + std::to_string(e.EndpointExternalPORT) + " " +
         e.EndpointIP + ":" + e.EndpointPORT;
}

// One line per endpoint, "component/service endpoint...", in model order.
std::vector<std::string> describe(const MachineComponentServices& model) {
  std::vector<std::string> lines;
  for (const Component& c : model.ComponentList)
    for (const Service& s : c.ServiceList)
      for (const ServiceEndpoint& e : s.EndpointList)
        lines.push_back(c.ComponentID + "(" + c.Trusted + ")/" + s.ServiceID + " " + describe(e));
  return lines;
}

std::vector<std::string> componentIds(const MachineComponentServices& model) {
  std::vector<std::string> ids;
  for (const Component& c : model.ComponentList) ids.push_back(c.ComponentID);
  return ids;
}

std::vector<ServiceEndpoint*> endpoints(MachineComponentServices& model) {
  std::vector<ServiceEndpoint*> all;
  for (Component& c : model.ComponentList)
    for (Service& s : c.ServiceList)
      for (ServiceEndpoint& e : s.EndpointList) all.push_back(&e);
  return all;
}

// The first `count` candidates of the plain draw after srand(1); reseeds.
std::vector<uint32_t> candidatesAfterSeed(size_t count) {
  srand(1);
  std::vector<uint32_t> ports;
  for (size_t i = 0; i < count; ++i)
    ports.push_back(EXTERNAL_PORT_BASE + static_cast<uint32_t>(rand()) % EXTERNAL_PORT_COUNT);
  srand(1);
  return ports;
}

std::vector<std::string> texts(int level, const std::string& fragment) {
  std::vector<std::string> found;
  for (const std::string& text : platform_double::logTexts(level))
    if (text.find(fragment) != std::string::npos) found.push_back(text);
  return found;
}

class Reconciliation : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_double::resetAll();
    new_registry_service_file = false;
    registry_service_file_send_request = false;
    srand(1);
  }
  void TearDown() override {
    new_registry_service_file = false;
    registry_service_file_send_request = false;
  }
  // Forgets the first cycle's traces before the one under test.
  void settle() {
    forwarding.changes.clear();
    platform_double::clearLog();
    new_registry_service_file = false;
  }

  const std::vector<ComponentSpec> two_machines = {
      {"m1",
       {{"opc", {"opc:TCP:1:10.0.0.1:4840", "opc:TCP:2:10.0.0.1:4841/x"}},
        {"ssh", {"ssh:TCP:1:10.0.0.1:22"}}}},
      {"m2", {{"web", {"http:TCP:1:10.0.0.2:80[/index]"}}}},
  };
  RecordingForwarding forwarding;
  MachineComponentServices published;
};

TEST_F(Reconciliation, FirstCyclePublishesEverythingInIncomingOrder) {
  const std::vector<uint32_t> ports = candidatesAfterSeed(5);
  ASSERT_EQ(std::set<uint32_t>(ports.begin(), ports.end()).size(), 5u)
      << "seeded draws must not collide here";
  MachineComponentServices incoming = incomingModel(two_machines);
  runCycle(incoming, published, forwarding);

  EXPECT_TRUE(new_registry_service_file);
  EXPECT_FALSE(registry_service_file_send_request);
  const std::vector<std::string> expected = {
      "m1(false)/opc opc:TCP:1:10.0.0.1:4840 zone=Untrusted@10.1.1.1 ext=" + std::to_string(ports[0]) +
          " status=0 text=",
      "m1(false)/opc opc:TCP:2:10.0.0.1:4841/x zone=Untrusted@10.1.1.1 ext=" + std::to_string(ports[1]) +
          " status=0 text=",
      "m1(false)/ssh ssh:TCP:1:10.0.0.1:22 zone=Untrusted@10.1.1.1 ext=" + std::to_string(ports[2]) +
          " status=0 text=",
      "m2(false)/web http:TCP:1:10.0.0.2:80[/index] zone=Untrusted@10.1.1.1 ext=" + std::to_string(ports[3]) +
          " status=0 text=",
      "gw/Tarn(true)/component-online-check gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/ "
      "zone=Trusted@192.168.2.254 ext=" +
          std::to_string(ports[4]) + " status=0 text=",
  };
  EXPECT_EQ(describe(published), expected);

  // One rule per endpoint, added with the allotted port, in the same order.
  ASSERT_EQ(forwarding.changes.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_TRUE(forwarding.changes[i].added);
    EXPECT_EQ(forwarding.changes[i].endpoint.EndpointExternalPORT, ports[i]);
  }
  EXPECT_EQ(forwarding.changes[4].endpoint.EndpointZone, "Trusted");
  EXPECT_EQ(texts(6, "Added new Service"),
            (std::vector<std::string>{"Added new Service: 10.0.0.1:4840", "Added new Service: 10.0.0.1:4841",
                                      "Added new Service: 10.0.0.1:22", "Added new Service: 10.0.0.2:80",
                                      "Added new Service: 192.168.2.1:9080"}));
  EXPECT_EQ(platform_double::countLogged("Removed"), 0);
  for (ServiceEndpoint* e : endpoints(incoming)) EXPECT_EQ(e->EndpointStatus, ENDPOINT_STATUS_CURRENT);
  EXPECT_EQ(published.GatewayId, "gw/Tarn");
  EXPECT_EQ(published.IccID, "8949");
}

TEST_F(Reconciliation, DefaultServiceShape) {
  MachineComponentServices incoming = incomingModel({});
  incoming.ComponentList.push_back(Component{"gw/Tarn", "false", {}});  // appended regardless
  addDefaultService(incoming);
  EXPECT_EQ(incoming.GatewayId, "gw/Tarn");
  ASSERT_EQ(incoming.ComponentList.size(), 2u);
  const Component& component = incoming.ComponentList.back();
  EXPECT_EQ(component.ComponentID, "gw/Tarn");
  EXPECT_EQ(component.Trusted, "true");
  ASSERT_EQ(component.ServiceList.size(), 1u);
  EXPECT_EQ(component.ServiceList.front().ServiceID, "component-online-check");
  ASSERT_EQ(component.ServiceList.front().EndpointList.size(), 1u);
  EXPECT_EQ(describe(component.ServiceList.front().EndpointList.front()),
            "gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/ zone=Trusted@ ext=0 status=1 "
            "text=gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/");

  MachineComponentServices fresh = incomingModel({});
  runCycle(fresh, published, forwarding);
  ASSERT_EQ(endpoints(published).size(), 1u);
  const ServiceEndpoint& e = *endpoints(published).front();
  EXPECT_EQ(e.EndpointZoneIP, TRUSTED_IP);
  EXPECT_GE(e.EndpointExternalPORT, 49152u);
  EXPECT_LE(e.EndpointExternalPORT, 59998u);
}

TEST_F(Reconciliation, ZoneAddressesFollowTrustAndEmptyAddressesLeaveFieldsAlone) {
  MachineComponentServices incoming =
      incomingModel({{"a", {{"s", {"x:TCP:1:1.1.1.1:1"}}}}, {"b", {{"s", {"y:TCP:1:1.1.1.2:2"}}}, "true"}});
  assignZoneAddresses(incoming);
  EXPECT_EQ(endpoints(incoming)[0]->EndpointZoneIP, UNTRUSTED_IP);
  EXPECT_EQ(endpoints(incoming)[1]->EndpointZoneIP, TRUSTED_IP);

  incoming.MgUntrustedZoneIPAddress.clear();
  incoming.MgTrustedZoneIPAddress = "192.168.9.9";
  assignZoneAddresses(incoming);
  EXPECT_EQ(endpoints(incoming)[0]->EndpointZoneIP, UNTRUSTED_IP);
  EXPECT_EQ(endpoints(incoming)[1]->EndpointZoneIP, "192.168.9.9");
}

TEST_F(Reconciliation, UnchangedCycleChangesNothing) {
  MachineComponentServices first = incomingModel(two_machines);
  runCycle(first, published, forwarding);
  const std::vector<std::string> before = describe(published);
  settle();

  MachineComponentServices second = incomingModel(two_machines);
  runCycle(second, published, forwarding);
  EXPECT_FALSE(new_registry_service_file);
  EXPECT_TRUE(forwarding.changes.empty());
  EXPECT_EQ(describe(published), before);
  EXPECT_EQ(platform_double::countLogged("Added"), 0);
  EXPECT_EQ(platform_double::countLogged("Removed"), 0);
  for (ServiceEndpoint* e : endpoints(second)) EXPECT_EQ(e->EndpointStatus, ENDPOINT_STATUS_CURRENT);
}

TEST_F(Reconciliation, AgedOutEndpointsServicesAndComponentsAreWithdrawn) {
  MachineComponentServices first = incomingModel(two_machines);
  runCycle(first, published, forwarding);
  const ServiceEndpoint ssh = *endpoints(published)[2];
  const ServiceEndpoint web = *endpoints(published)[3];
  settle();

  // m1 drops its ssh service, m2's file has aged out.
  MachineComponentServices second =
      incomingModel({{"m1", {{"opc", {"opc:TCP:1:10.0.0.1:4840", "opc:TCP:2:10.0.0.1:4841/x"}}}}});
  runCycle(second, published, forwarding);

  EXPECT_TRUE(new_registry_service_file);
  ASSERT_EQ(forwarding.changes.size(), 2u);
  // Rules go with the published endpoints' fields, the ones they were added with.
  EXPECT_FALSE(forwarding.changes[0].added);
  EXPECT_EQ(rule(forwarding.changes[0].endpoint), rule(ssh));
  EXPECT_FALSE(forwarding.changes[1].added);
  EXPECT_EQ(rule(forwarding.changes[1].endpoint), rule(web));
  EXPECT_EQ(platform_double::logTexts(6),
            (std::vector<std::string>{"Removed old Service: 10.0.0.1:22", "Removed empty Service",
                                      "Removed old Service: 10.0.0.2:80", "Removed empty Service",
                                      "Removed empty Component"}));
  EXPECT_EQ(componentIds(published), (std::vector<std::string>{"m1", "gw/Tarn"}));
  EXPECT_EQ(endpoints(published).size(), 3u);
}

TEST_F(Reconciliation, ZoneAddressChangeRepublishesThatZoneUnderFreshPorts) {
  MachineComponentServices first = incomingModel(two_machines);
  runCycle(first, published, forwarding);
  std::vector<uint32_t> old_ports;
  for (ServiceEndpoint* e : endpoints(published)) old_ports.push_back(e->EndpointExternalPORT);
  const uint32_t default_port = old_ports.back();
  settle();

  MachineComponentServices second = incomingModel(two_machines, "10.1.1.2");
  runCycle(second, published, forwarding);

  EXPECT_TRUE(new_registry_service_file);
  ASSERT_EQ(forwarding.changes.size(), 8u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_FALSE(forwarding.changes[i].added);
    EXPECT_EQ(forwarding.changes[i].endpoint.EndpointExternalPORT, old_ports[i]);
    EXPECT_EQ(forwarding.changes[i].endpoint.EndpointZoneIP, UNTRUSTED_IP);
    EXPECT_TRUE(forwarding.changes[4 + i].added);
    EXPECT_EQ(forwarding.changes[4 + i].endpoint.EndpointZoneIP, "10.1.1.2");
    // The trusted default endpoint kept its port, so it is never handed out again.
    EXPECT_NE(forwarding.changes[4 + i].endpoint.EndpointExternalPORT, default_port);
  }
  // The trusted default service stays; the withdrawn components come back behind it.
  EXPECT_EQ(componentIds(published), (std::vector<std::string>{"gw/Tarn", "m1", "m2"}));
  EXPECT_EQ(endpoints(published).front()->EndpointExternalPORT, default_port);
  EXPECT_EQ(platform_double::countLogged("Removed old Service"), 4);
  EXPECT_EQ(platform_double::countLogged("Added new Service"), 4);
}

TEST_F(Reconciliation, MovedEndpointStaysWhereItWasPublished) {
  MachineComponentServices first = incomingModel({{"m1", {{"opc", {"opc:TCP:1:10.0.0.1:4840"}}}}});
  runCycle(first, published, forwarding);
  const std::vector<std::string> before = describe(published);
  settle();

  MachineComponentServices second = incomingModel({{"m9", {{"moved", {"opc:TCP:1:10.0.0.1:4840"}}}}});
  runCycle(second, published, forwarding);
  EXPECT_FALSE(new_registry_service_file);
  EXPECT_TRUE(forwarding.changes.empty());
  EXPECT_EQ(describe(published), before);
  EXPECT_EQ(componentIds(published), (std::vector<std::string>{"m1", "gw/Tarn"}));
}

TEST_F(Reconciliation, SuffixOnlyChangeIsMatchedAndKeepsThePublishedSuffix) {
  MachineComponentServices first = incomingModel({{"m1", {{"web", {"http:TCP:1:10.0.0.1:80/old"}}}}});
  runCycle(first, published, forwarding);
  settle();

  MachineComponentServices second = incomingModel({{"m1", {{"web", {"http:TCP:1:10.0.0.1:80[new]"}}}}});
  runCycle(second, published, forwarding);
  EXPECT_FALSE(new_registry_service_file);
  EXPECT_TRUE(forwarding.changes.empty());
  EXPECT_EQ(endpoints(published).front()->EndpointSuffix, "/old");
}

TEST_F(Reconciliation, DuplicateIncomingEndpointsPublishOnceAndMatchLater) {
  const std::vector<ComponentSpec> duplicates = {
      {"m1", {{"web", {"http:TCP:1:10.0.0.1:80", "http:TCP:1:10.0.0.1:80/other"}}}}};
  MachineComponentServices first = incomingModel(duplicates);
  runCycle(first, published, forwarding);
  EXPECT_EQ(published.ComponentList.front().ServiceList.front().EndpointList.size(), 1u);
  // One rule for the endpoint and one for the default service: a rule for
  // the dropped copy would never be withdrawn.
  EXPECT_EQ(forwarding.changes.size(), 2u);
  EXPECT_EQ(platform_double::countLogged("Added new Service: 10.0.0.1:80"), 1);
  settle();

  MachineComponentServices second = incomingModel(duplicates);
  runCycle(second, published, forwarding);
  EXPECT_FALSE(new_registry_service_file);
  EXPECT_TRUE(forwarding.changes.empty());
  for (ServiceEndpoint* e : endpoints(second)) EXPECT_EQ(e->EndpointStatus, ENDPOINT_STATUS_CURRENT);
}

TEST_F(Reconciliation, EqualEndpointsUnderTwoComponentsCollapseOntoTheFirst) {
  const std::vector<ComponentSpec> twice = {{"m1", {{"s", {"x:TCP:1:10.0.0.1:80"}}}},
                                            {"m2", {{"s", {"x:TCP:1:10.0.0.1:80"}}}}};
  MachineComponentServices first = incomingModel(twice);
  runCycle(first, published, forwarding);
  ASSERT_EQ(componentIds(published), (std::vector<std::string>{"m1", "m2", "gw/Tarn"}));
  const ServiceEndpoint second_copy = *endpoints(published)[1];
  settle();

  // Both incoming copies match the first published one; the second goes.
  MachineComponentServices second = incomingModel(twice);
  runCycle(second, published, forwarding);
  ASSERT_EQ(forwarding.changes.size(), 1u);
  EXPECT_FALSE(forwarding.changes[0].added);
  EXPECT_EQ(rule(forwarding.changes[0].endpoint), rule(second_copy));
  EXPECT_EQ(componentIds(published), (std::vector<std::string>{"m1", "gw/Tarn"}));
}

TEST_F(Reconciliation, StopCycleWithdrawsEverything) {
  MachineComponentServices incoming = incomingModel(two_machines);
  runCycle(incoming, published, forwarding);
  std::vector<uint32_t> ports;
  for (ServiceEndpoint* e : endpoints(published)) ports.push_back(e->EndpointExternalPORT);
  settle();

  clearComponentList(incoming);
  incoming.MgTrustedZoneIPAddress.clear();
  incoming.MgUntrustedZoneIPAddress.clear();
  runCycle(incoming, published, forwarding, /*running=*/false);

  EXPECT_TRUE(new_registry_service_file);
  EXPECT_TRUE(isEmpty(published));
  EXPECT_EQ(published.ComponentIDPrefix, "gw");
  EXPECT_EQ(published.MgTrustedZoneIPAddress, "");
  ASSERT_EQ(forwarding.changes.size(), ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_FALSE(forwarding.changes[i].added);
    EXPECT_EQ(forwarding.changes[i].endpoint.EndpointExternalPORT, ports[i]);
  }
  EXPECT_EQ(platform_double::countLogged("Removed empty Component"), 3);
  EXPECT_EQ(platform_double::countLogged("Added"), 0);
}

// A published endpoint with the given port, current.
void publishAt(MachineComponentServices& model, const std::string& text, uint32_t port) {
  if (model.ComponentList.empty())
    model.ComponentList.push_back(Component{"held", "false", {Service{"s", {}}}});
  ServiceEndpoint e = parseEndpointText(text, "false");
  e.EndpointExternalPORT = port;
  e.EndpointStatus = ENDPOINT_STATUS_CURRENT;
  model.ComponentList.front().ServiceList.front().EndpointList.push_back(e);
}

TEST_F(Reconciliation, PortHeldByPublishedEndpointIsNeverReused) {
  const std::vector<uint32_t> ports = candidatesAfterSeed(2);
  ASSERT_NE(ports[0], ports[1]);
  publishAt(published, "old:TCP:1:10.0.0.1:1", ports[0]);

  // The old endpoint is matched (and so carries no port in the incoming
  // model); the new one must not be handed the old one's port.
  MachineComponentServices incoming =
      incomingModel({{"held", {{"s", {"old:TCP:1:10.0.0.1:1", "new:TCP:1:10.0.0.1:2"}}}}});
  incoming.MgUntrustedZoneIPAddress.clear();
  runCycle(incoming, published, forwarding, /*running=*/false);

  ASSERT_EQ(forwarding.changes.size(), 1u);
  EXPECT_TRUE(forwarding.changes[0].added);
  EXPECT_EQ(forwarding.changes[0].endpoint.EndpointExternalPORT, ports[1]);
  EXPECT_EQ(endpoints(published)[0]->EndpointExternalPORT, ports[0]);
  EXPECT_EQ(endpoints(published)[1]->EndpointExternalPORT, ports[1]);
}

TEST_F(Reconciliation, PortDrawnTwiceInOnePassIsDrawnAgain) {
  // Find the first seeded draw that repeats an earlier one.
  const std::vector<uint32_t> draws = candidatesAfterSeed(2000);
  size_t repeat = 0;
  for (size_t j = 1; j < draws.size() && repeat == 0; ++j)
    for (size_t i = 0; i < j; ++i)
      if (draws[i] == draws[j]) repeat = j;
  ASSERT_GT(repeat, 0u);
  ASSERT_EQ(std::count(draws.begin(), draws.begin() + repeat + 2, draws[repeat + 1]), 1);

  // One new endpoint per draw up to the repeat: the last one skips the
  // repeated port and takes the next draw.
  std::vector<std::string> endpoint_texts;
  for (size_t i = 0; i <= repeat; ++i) endpoint_texts.push_back("e:TCP:1:10.0.0.1:" + std::to_string(i));
  MachineComponentServices incoming = incomingModel({{"m", {{"s", endpoint_texts}}}});
  runCycle(incoming, published, forwarding, /*running=*/false);

  const std::vector<ServiceEndpoint*> all = endpoints(published);
  ASSERT_EQ(all.size(), repeat + 1);
  std::set<uint32_t> seen;
  for (ServiceEndpoint* e : all) EXPECT_TRUE(seen.insert(e->EndpointExternalPORT).second);
  EXPECT_EQ(all[repeat - 1]->EndpointExternalPORT, draws[repeat - 1]);
  EXPECT_EQ(all[repeat]->EndpointExternalPORT, draws[repeat + 1]);
}

TEST_F(Reconciliation, AllotmentRedrawsPortsHeldInEitherModel) {
  const std::vector<uint32_t> ports = candidatesAfterSeed(3);
  ASSERT_EQ(std::set<uint32_t>(ports.begin(), ports.end()).size(), 3u);
  struct Case {
    const char* what;
    bool incoming_holds_first;
    bool published_holds_second;
    uint32_t expected;
  };
  const Case cases[] = {
      {"nothing held", false, false, ports[0]},
      {"incoming holds the first draw", true, false, ports[1]},
      {"incoming and published hold the first two draws", true, true, ports[2]},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MachineComponentServices incoming;
    MachineComponentServices held;
    if (c.incoming_holds_first) publishAt(incoming, "a:TCP:1:1.1.1.1:1", ports[0]);
    if (c.published_holds_second) publishAt(held, "b:TCP:1:1.1.1.1:2", ports[1]);
    ServiceEndpoint e = parseEndpointText("c:TCP:1:1.1.1.1:3", "false");
    srand(1);
    EXPECT_TRUE(allotExternalPort(incoming, held, e));
    EXPECT_EQ(e.EndpointExternalPORT, c.expected);
  }
}

// A model whose endpoints hold every port of the range except `spare`
// (0: all of them).
MachineComponentServices holdingPorts(uint32_t spare) {
  MachineComponentServices model;
  model.ComponentList.push_back(Component{"held", "false", {Service{"s", {}}}});
  std::list<ServiceEndpoint>& list = model.ComponentList.front().ServiceList.front().EndpointList;
  for (uint32_t port = EXTERNAL_PORT_BASE; port < EXTERNAL_PORT_BASE + EXTERNAL_PORT_COUNT; ++port) {
    if (port == spare) continue;
    ServiceEndpoint e = parseEndpointText("h:TCP:1:10.9.0.1:" + std::to_string(port), "false");
    e.EndpointExternalPORT = port;
    e.EndpointStatus = ENDPOINT_STATUS_CURRENT;
    list.push_back(e);
  }
  return model;
}

TEST_F(Reconciliation, LastFreePortIsFound) {
  for (uint32_t spare : {49152u, 55555u, 59998u}) {
    SCOPED_TRACE(spare);
    const MachineComponentServices held = holdingPorts(spare);
    EXPECT_TRUE(isExternalPortFree(held, spare));
    EXPECT_FALSE(isExternalPortFree(held, spare == 49152u ? 49153u : 49152u));
    ServiceEndpoint e = parseEndpointText("c:TCP:1:1.1.1.1:3", "false");
    EXPECT_TRUE(allotExternalPort(MachineComponentServices{}, held, e));
    EXPECT_EQ(e.EndpointExternalPORT, spare);
  }
}

TEST_F(Reconciliation, ExhaustedPortRangeLeavesTheEndpointUnpublished) {
  published = holdingPorts(0);
  const size_t held = endpoints(published).size();
  ASSERT_EQ(held, EXTERNAL_PORT_COUNT);

  ServiceEndpoint probe = parseEndpointText("c:TCP:1:1.1.1.1:3", "false");
  EXPECT_FALSE(allotExternalPort(MachineComponentServices{}, published, probe));
  EXPECT_EQ(probe.EndpointExternalPORT, 0u);

  MachineComponentServices incoming = incomingModel({{"late", {{"s", {"late:TCP:1:10.0.0.7:7"}}}}});
  EXPECT_EQ(addNewServices(incoming, published, forwarding), 0);
  EXPECT_TRUE(forwarding.changes.empty());
  EXPECT_FALSE(new_registry_service_file);
  EXPECT_EQ(endpoints(published).size(), held);
  const ServiceEndpoint& late = *endpoints(incoming).front();
  EXPECT_EQ(late.EndpointStatus, ENDPOINT_STATUS_NEW);
  EXPECT_EQ(late.EndpointExternalPORT, 0u);
  const std::vector<std::string> errors = platform_double::logTexts(3);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("10.0.0.7:7"), std::string::npos) << errors[0];
  EXPECT_EQ(platform_double::countLogged("Added new Service"), 0);

  // Once a port is given back, a later pass publishes the endpoint on it.
  std::list<ServiceEndpoint>& list = published.ComponentList.front().ServiceList.front().EndpointList;
  const uint32_t freed = std::next(list.begin(), 1234)->EndpointExternalPORT;
  list.erase(std::next(list.begin(), 1234));
  addNewServices(incoming, published, forwarding);
  ASSERT_EQ(forwarding.changes.size(), 1u);
  EXPECT_EQ(forwarding.changes[0].endpoint.EndpointExternalPORT, freed);
  EXPECT_TRUE(new_registry_service_file);
  EXPECT_EQ(published.ComponentList.back().ComponentID, "late");
}

TEST_F(Reconciliation, MatchingComparesWholeFieldsOnly) {
  // Pairs whose fields run together the same way under a joined text but
  // differ field by field, and one truly equal pair.
  struct Case {
    const char* what;
    ServiceEndpoint published_one;
    ServiceEndpoint incoming_one;
    bool match;
  };
  auto endpoint = [](const std::string& service, const std::string& prot, const std::string& ip,
                     const std::string& zone_ip, const std::string& port) {
    ServiceEndpoint e;
    e.EndpointService = service;
    e.EndpointPROT = prot;
    e.EndpointID = "1";
    e.EndpointIP = ip;
    e.EndpointZoneIP = zone_ip;
    e.EndpointPORT = port;
    return e;
  };
  const std::string nul(1, '\0');
  const Case cases[] = {
      {"colon", endpoint("a:b", "c", "i", "z", "p"), endpoint("a", "b:c", "i", "z", "p"), false},
      {"bar", endpoint("a|b", "c", "i", "z", "p"), endpoint("a", "b|c", "i", "z", "p"), false},
      {"nul", endpoint("a", "c", "1" + nul + "2", "3", "p"), endpoint("a", "c", "1", "2" + nul + "3", "p"),
       false},
      {"digits", endpoint("1", "2:x", "i", "z", "p"), endpoint("1:2", "x", "i", "z", "p"), false},
      {"equal", endpoint("a", "c", "i", "z", "p"), endpoint("a", "c", "i", "z", "p"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MachineComponentServices pub;
    pub.ComponentList.push_back(Component{"p", "false", {Service{"s", {c.published_one}}}});
    pub.ComponentList.front().ServiceList.front().EndpointList.front().EndpointExternalPORT = 50000;
    MachineComponentServices in;
    in.ComponentList.push_back(Component{"i", "false", {Service{"s", {c.incoming_one}}}});
    EXPECT_EQ(findEqualEndpoint(pub, c.incoming_one) != nullptr, c.match);

    matchEndpoints(in, pub, forwarding);
    EXPECT_EQ(endpoints(pub).front()->EndpointStatus,
              c.match ? ENDPOINT_STATUS_CURRENT : ENDPOINT_STATUS_STALE);
    EXPECT_EQ(endpoints(in).front()->EndpointStatus, c.match ? ENDPOINT_STATUS_CURRENT : ENDPOINT_STATUS_NEW);
  }
  EXPECT_TRUE(forwarding.changes.empty());
}

TEST_F(Reconciliation, FindEqualEndpointReturnsTheFirstInModelOrder) {
  MachineComponentServices model =
      incomingModel({{"a", {{"s", {"x:TCP:1:1.1.1.1:1"}}}},
                     {"b", {{"s", {"y:TCP:1:1.1.1.1:2"}}, {"t", {"y:TCP:1:1.1.1.1:2/z"}}}}});
  const ServiceEndpoint wanted = parseEndpointText("y:TCP:1:1.1.1.1:2[q]", "true");
  ServiceEndpoint* found = findEqualEndpoint(model, wanted);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found, &model.ComponentList.back().ServiceList.front().EndpointList.front());
  EXPECT_EQ(findEqualEndpoint(model, parseEndpointText("y:TCP:1:1.1.1.1:3", "false")), nullptr);
  EXPECT_TRUE(isExternalPortFree(MachineComponentServices{}, 0));
}

TEST_F(Reconciliation, InsertEndpointPlacesCopiesUnderComponentAndService) {
  const Component incoming_component{"c", "false", {}};
  const Service incoming_service{"s", {}};
  ServiceEndpoint e = parseEndpointText("x:TCP:1:1.1.1.1:1", "false");
  e.EndpointExternalPORT = 50001;
  e.EndpointStatus = ENDPOINT_STATUS_CURRENT;

  MachineComponentServices model;
  model.ComponentList.push_back(Component{"first", "true", {}});
  model.ComponentList.push_back(Component{"c", "true", {Service{"other", {}}}});
  insertEndpoint(model, incoming_component, incoming_service, e);
  insertEndpoint(model, incoming_component, incoming_service, e);  // equal: nothing added
  insertEndpoint(model, Component{"d", "false", {}}, incoming_service, e);

  EXPECT_EQ(describe(model), (std::vector<std::string>{
                                 "c(true)/s x:TCP:1:1.1.1.1:1 zone=Untrusted@ ext=50001 status=0 text=",
                                 "d(false)/s x:TCP:1:1.1.1.1:1 zone=Untrusted@ ext=50001 status=0 text=",
                             }));
  EXPECT_EQ(componentIds(model), (std::vector<std::string>{"first", "c", "d"}));
  EXPECT_EQ(model.ComponentList.begin()->ServiceList.size(), 0u);
  EXPECT_EQ(std::next(model.ComponentList.begin())->ServiceList.back().ServiceID, "s");
}

TEST_F(Reconciliation, PublishingPassEqualsTheOneByOneOperations) {
  // A published model with existing components and services, and an incoming
  // pass that adds to them, opens new ones and repeats itself.
  MachineComponentServices seed = incomingModel(two_machines);
  runCycle(seed, published, forwarding);
  MachineComponentServices incoming = incomingModel({
      {"m2",
       {{"web", {"http:TCP:2:10.0.0.2:81", "http:TCP:2:10.0.0.2:81/dup"}}, {"new", {"n:UDP:1:10.0.0.2:5"}}}},
      {"m3", {{"s", {"m:TCP:1:10.0.0.3:1"}}}},
      {"m1", {{"opc", {"opc:TCP:3:10.0.0.1:4842"}}}},
      {"m3", {{"s", {"m:TCP:1:10.0.0.3:1", "m:TCP:1:10.0.0.3:2"}}}},
  });
  assignZoneAddresses(incoming);
  MachineComponentServices reference_published = published;
  MachineComponentServices reference_incoming = incoming;

  srand(7);
  addNewServices(incoming, published, forwarding);

  srand(7);
  for (Component& c : reference_incoming.ComponentList)
    for (Service& s : c.ServiceList)
      for (ServiceEndpoint& e : s.EndpointList) {
        // A copy equal to one already published in the same service gets no
        // port and no rule of its own.
        bool held = false;
        for (const Component& pc : reference_published.ComponentList)
          for (const Service& ps : pc.ServiceList)
            for (const ServiceEndpoint& pe : ps.EndpointList)
              held |= pc.ComponentID == c.ComponentID && ps.ServiceID == s.ServiceID && endpointsEqual(e, pe);
        e.EndpointStatus = ENDPOINT_STATUS_CURRENT;
        if (held) continue;
        ASSERT_TRUE(allotExternalPort(reference_incoming, reference_published, e));
        insertEndpoint(reference_published, c, s, e);
      }
  EXPECT_EQ(describe(published), describe(reference_published));
  EXPECT_EQ(describe(incoming), describe(reference_incoming));
}

}  // namespace
