#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PlatformDouble.h"
#include "model/ServiceModel.h"

namespace {

struct SplitCase {
  const char* text;
  const char* trusted;
  const char* service;
  const char* prot;
  const char* id;
  const char* ip;
  const char* port;
  const char* suffix;
  const char* zone;
};

TEST(ParseEndpointText, SplitsFieldsSuffixAndZone) {
  const SplitCase cases[] = {
      {"gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/", "true", "gwiotsvc", "TCP", "1", "192.168.2.1",
       "9080", "/chkcompconnstatus/", "Trusted"},
      // No ":" at all: every field is the whole text.
      {"lonely", "false", "lonely", "lonely", "lonely", "lonely", "lonely", "", "Untrusted"},
      // Four fields: the port repeats the fourth field.
      {"svc:UDP:2:10.0.0.5", "false", "svc", "UDP", "2", "10.0.0.5", "10.0.0.5", "", "Untrusted"},
      // A "[" anywhere wins over an earlier "/".
      {"s:TCP:3:10.0.0.1:80/a[b]", "false", "s", "TCP", "3", "10.0.0.1", "80/a", "[b]", "Untrusted"},
      {"s:TCP:3:10.0.0.1:80[x]/y", "false", "s", "TCP", "3", "10.0.0.1", "80", "[x]/y", "Untrusted"},
      // Colons behind the fourth stay in the port, or in the suffix behind it.
      {"s:TCP:3:10.0.0.1:80:81:82", "false", "s", "TCP", "3", "10.0.0.1", "80:81:82", "", "Untrusted"},
      {"s:TCP:3:10.0.0.1:80/p:q", "false", "s", "TCP", "3", "10.0.0.1", "80", "/p:q", "Untrusted"},
      // Nothing is trimmed; empty fields stay empty.
      {" s :TCP::: 80 ", "false", " s ", "TCP", "", "", " 80 ", "", "Untrusted"},
      {"", "true", "", "", "", "", "", "", "Trusted"},
      // Only the exact text "true" is trusted.
      {"a:b:c:d:1", "True", "a", "b", "c", "d", "1", "", "Untrusted"},
      {"a:b:c:d:1", "true ", "a", "b", "c", "d", "1", "", "Untrusted"},
      {"a:b:c:d:1", "", "a", "b", "c", "d", "1", "", "Untrusted"},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\" trusted \"" + c.trusted + "\"");
    const ServiceEndpoint e = parseEndpointText(c.text, c.trusted);
    EXPECT_EQ(e.EndpointText, c.text);
    EXPECT_EQ(e.EndpointService, c.service);
    EXPECT_EQ(e.EndpointPROT, c.prot);
    EXPECT_EQ(e.EndpointID, c.id);
    EXPECT_EQ(e.EndpointIP, c.ip);
    EXPECT_EQ(e.EndpointPORT, c.port);
    EXPECT_EQ(e.EndpointSuffix, c.suffix);
    EXPECT_EQ(e.EndpointZone, c.zone);
    EXPECT_EQ(e.EndpointZoneIP, "");
    EXPECT_EQ(e.EndpointExternalPORT, 0u);
    EXPECT_EQ(e.EndpointStatus, ENDPOINT_STATUS_NEW);
  }
}

TEST(ParseEndpointText, KeepsEmbeddedNulBytes) {
  const std::string text("a\0b:TCP:1:10.0.0.1:80", 21);
  const ServiceEndpoint e = parseEndpointText(text, "false");
  EXPECT_EQ(e.EndpointService, std::string("a\0b", 3));
  EXPECT_EQ(e.EndpointPORT, "80");
}

TEST(EndpointsEqual, ComparesExactlyTheSixIdentityFields) {
  ServiceEndpoint base = parseEndpointText("svc:TCP:1:10.0.0.1:80/x", "false");
  base.EndpointZoneIP = "172.16.0.1";

  using Change = void (*)(ServiceEndpoint&);
  struct Case {
    const char* what;
    Change change;
    bool equal;
  };
  const Case cases[] = {
      {"text", [](ServiceEndpoint& e) { e.EndpointText = "other"; }, true},
      {"suffix", [](ServiceEndpoint& e) { e.EndpointSuffix = "[y]"; }, true},
      {"zone", [](ServiceEndpoint& e) { e.EndpointZone = "Trusted"; }, true},
      {"external port", [](ServiceEndpoint& e) { e.EndpointExternalPORT = 50000; }, true},
      {"status", [](ServiceEndpoint& e) { e.EndpointStatus = ENDPOINT_STATUS_STALE; }, true},
      {"service", [](ServiceEndpoint& e) { e.EndpointService = "svd"; }, false},
      {"protocol", [](ServiceEndpoint& e) { e.EndpointPROT = "tcp"; }, false},
      {"id", [](ServiceEndpoint& e) { e.EndpointID = "2"; }, false},
      {"address", [](ServiceEndpoint& e) { e.EndpointIP = "10.0.0.2"; }, false},
      {"zone address", [](ServiceEndpoint& e) { e.EndpointZoneIP = "172.16.0.2"; }, false},
      {"port", [](ServiceEndpoint& e) { e.EndpointPORT = "81"; }, false},
      {"port with a trailing NUL", [](ServiceEndpoint& e) { e.EndpointPORT.push_back('\0'); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ServiceEndpoint changed = base;
    c.change(changed);
    EXPECT_EQ(endpointsEqual(base, changed), c.equal);
    EXPECT_EQ(endpointsEqual(changed, base), c.equal);
  }
}

MachineComponentServices modelWithOneEndpoint() {
  MachineComponentServices model;
  model.GatewayId = "gw/Tarn";
  model.MgUntrustedZoneIPAddress = "10.1.1.1";
  model.MgTrustedZoneIPAddress = "192.168.2.254";
  model.IccID = "8949";
  model.Imsi = "2620";
  model.ComponentIDPrefix = "gw";
  model.ServiceFileNames = {"c_s.xml"};
  Component component{"c", "false", {Service{"s", {parseEndpointText("e:TCP:1:10.0.0.1:80", "false")}}}};
  model.ComponentList.push_back(component);
  return model;
}

TEST(ModelOperations, ClearAndEmptinessLookOnlyAtComponents) {
  MachineComponentServices model = modelWithOneEndpoint();
  EXPECT_FALSE(isEmpty(model));
  clearComponentList(model);
  EXPECT_TRUE(isEmpty(model));
  EXPECT_EQ(model.ComponentIDPrefix, "gw");
  EXPECT_EQ(model.GatewayId, "gw/Tarn");
  EXPECT_EQ(model.ServiceFileNames.size(), 1u);

  MachineComponentServices components_only;
  components_only.ComponentList.push_back(Component{});
  EXPECT_FALSE(isEmpty(components_only));
}

TEST(ModelOperations, IdentityCopyLeavesComponentsAndFileNames) {
  const MachineComponentServices source = modelWithOneEndpoint();
  MachineComponentServices target;
  target.ComponentList.push_back(Component{"kept", "true", {}});
  target.ServiceFileNames = {"mine.xml"};
  target.IccID = "old";

  EXPECT_EQ(copyGatewayIdentity(target, source), 0);
  EXPECT_EQ(target.GatewayId, "gw/Tarn");
  EXPECT_EQ(target.MgUntrustedZoneIPAddress, "10.1.1.1");
  EXPECT_EQ(target.MgTrustedZoneIPAddress, "192.168.2.254");
  EXPECT_EQ(target.IccID, "8949");
  EXPECT_EQ(target.Imsi, "2620");
  EXPECT_EQ(target.ComponentIDPrefix, "gw");
  ASSERT_EQ(target.ComponentList.size(), 1u);
  EXPECT_EQ(target.ComponentList.front().ComponentID, "kept");
  EXPECT_EQ(target.ServiceFileNames, std::list<std::string>{"mine.xml"});

  // An empty source empties the identity but still leaves the components.
  copyGatewayIdentity(target, MachineComponentServices{});
  EXPECT_EQ(target.GatewayId, "");
  EXPECT_EQ(target.ComponentList.size(), 1u);
}

TEST(DumpModel, EmptyModelWritesTheMarkerAndTheIdentityOnly) {
  platform_double::resetAll();
  MachineComponentServices model = modelWithOneEndpoint();
  clearComponentList(model);
  EXPECT_EQ(dumpModel(model), 0);
  const std::vector<std::string> expected = {"Request File is EMPTY!",
                                             "GatewayId: gw/Tarn",
                                             "MgUntrustedZoneIPAddress: 10.1.1.1",
                                             "MgTrustedZoneIPAddress: 192.168.2.254",
                                             "IccID: 8949",
                                             "Imsi: 2620"};
  EXPECT_EQ(platform_double::logTexts(6), expected);
  EXPECT_TRUE(platform_double::logTexts(3).empty());
}

TEST(DumpModel, WritesEndpointsInOrderWithStaleStatusAsUnsigned) {
  platform_double::resetAll();
  MachineComponentServices model = modelWithOneEndpoint();
  model.ComponentList.front().ServiceList.front().EndpointList.front().EndpointStatus = ENDPOINT_STATUS_STALE;
  dumpModel(model);
  const std::vector<std::string> expected = {"GatewayId: gw/Tarn",
                                             "MgUntrustedZoneIPAddress: 10.1.1.1",
                                             "MgTrustedZoneIPAddress: 192.168.2.254",
                                             "IccID: 8949",
                                             "Imsi: 2620",
                                             "ComponentID: c",
                                             "ServiceID: s",
                                             "EndpointService: e",
                                             "EndpointPROT: TCP",
                                             "EndpointID: 1",
                                             "EndpointIP: 10.0.0.1",
                                             "EndpointPORT: 80",
                                             "EndpointStatus: 4294967295"};
  EXPECT_EQ(platform_double::logTexts(6), expected);
}

}  // namespace
