#include <gtest/gtest.h>
#include <stdlib.h>
#include <tinyxml2.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "PlatformDouble.h"
#include "model/Globals.h"
#include "xml/RegistryRequestWriter.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// An endpoint as the reconciliation publishes it. The component's own
// address and port are set to values that must never reach the request.
ServiceEndpoint endpoint(const std::string& service, const std::string& suffix, const std::string& zoneIp,
                         uint32_t externalPort) {
  ServiceEndpoint e;
  e.EndpointService = service;
  e.EndpointPROT = "TCP";
  e.EndpointID = "1";
  e.EndpointIP = "172.31.99.99";
  e.EndpointPORT = "7777";
  e.EndpointSuffix = suffix;
  e.EndpointText = service + ":TCP:1:172.31.99.99:7777" + suffix;
  e.EndpointZoneIP = zoneIp;
  e.EndpointExternalPORT = externalPort;
  e.EndpointStatus = ENDPOINT_STATUS_CURRENT;
  return e;
}

// The gateway's own component and one read component, full identity.
MachineComponentServices fullModel() {
  MachineComponentServices model;
  model.GatewayId = "not-written";
  model.ComponentIDPrefix = "Press4";
  model.MgUntrustedZoneIPAddress = "10.0.0.1";
  model.MgTrustedZoneIPAddress = "192.168.2.1";
  model.IccID = "89490200001234567890";
  model.Imsi = "262011234567890";

  Component gateway{"Press4/Tarn", "true", {}};
  Service check{"component-online-check", {}};
  ServiceEndpoint own = endpoint("gwiotsvc", "/chkcompconnstatus/", "192.168.2.1", 49152);
  own.EndpointIP = "192.168.2.1";
  own.EndpointPORT = "9080";
  own.EndpointText = "gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/";
  check.EndpointList.push_back(own);
  gateway.ServiceList.push_back(check);

  Component drive{"Press4/Drive", "false", {}};
  Service opcua{"opcua", {}};
  opcua.EndpointList.push_back(endpoint("opcua", "", "10.0.0.1", 53011));
  drive.ServiceList.push_back(opcua);

  model.ComponentList = {gateway, drive};
  return model;
}

class RegistryRequestWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mgm_writer_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setSpoolDirectoryForTesting(dir_);
    platform_double::resetAll();
  }
  void TearDown() override {
    setSpoolDirectoryForTesting("");
    std::filesystem::remove_all(dir_);
  }

  std::string requestPath() const { return dir_ + "/RegisterMachineServices.xml"; }

  // Writes `model` and parses the file back.
  void writeAndLoad(const MachineComponentServices& model, tinyxml2::XMLDocument& doc) {
    ASSERT_EQ(xml::writeRegistryServiceFile(model), 0u);
    ASSERT_EQ(doc.LoadFile(requestPath().c_str()), tinyxml2::XML_SUCCESS);
  }

  std::string dir_;
};

std::vector<std::string> childNames(const tinyxml2::XMLElement* parent) {
  std::vector<std::string> names;
  for (const tinyxml2::XMLElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement()) {
    names.push_back(e->Name());
  }
  return names;
}

TEST(PublishedEndpointTextTest, ZoneAddressAndExternalPortReplaceTheComponentsOwn) {
  struct Case {
    std::string suffix;
    std::string zoneIp;
    uint32_t port;
    std::string expected;
  } cases[] = {
      {"/chkcompconnstatus/", "10.0.0.1", 49152, "gwiotsvc:TCP:1:10.0.0.1:49152/chkcompconnstatus/"},
      {"", "10.0.0.1", 59998, "gwiotsvc:TCP:1:10.0.0.1:59998"},
      {"[x]", "192.168.2.1", 0, "gwiotsvc:TCP:1:192.168.2.1:0[x]"},
      {"", "", 4294967295u, "gwiotsvc:TCP:1::4294967295"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(xml::publishedEndpointText(endpoint("gwiotsvc", c.suffix, c.zoneIp, c.port)), c.expected);
  }
}

TEST_F(RegistryRequestWriterTest, FullModelMatchesGoldenFile) {
  ASSERT_EQ(xml::writeRegistryServiceFile(fullModel()), 0u);
  EXPECT_EQ(readFile(requestPath()), readFile(GOLDEN_DIR "/registry_request_full.xml"));
  EXPECT_TRUE(platform_double::logged("MachineComponentServices ready to send to registry.", 6));
  EXPECT_EQ(platform_double::logRecords().size(), 1u);
}

// The request after a stop: no components, no zone addresses, the last
// prefix kept. It also replaces a larger earlier request as a whole.
TEST_F(RegistryRequestWriterTest, WithdrawalReplacesEarlierRequestAndMatchesGoldenFile) {
  ASSERT_EQ(xml::writeRegistryServiceFile(fullModel()), 0u);
  MachineComponentServices model;
  model.ComponentIDPrefix = "Press4";
  model.IccID = "89490200001234567890";
  ASSERT_EQ(xml::writeRegistryServiceFile(model), 0u);
  EXPECT_EQ(readFile(requestPath()), readFile(GOLDEN_DIR "/registry_request_withdrawal.xml"));
}

TEST_F(RegistryRequestWriterTest, ZoneAddressElementsOnlyForAddressesThatAreSet) {
  struct Case {
    std::string untrusted;
    std::string trusted;
    std::vector<std::string> children;
  } cases[] = {
      {"", "", {}},
      {"", "192.168.2.1", {"MGTrustedZoneIPAddress"}},
      {"10.0.0.1", "", {"MGUntrustedZoneIPAddress"}},
      {"10.0.0.1", "192.168.2.1", {"MGUntrustedZoneIPAddress", "MGTrustedZoneIPAddress"}},
  };
  for (const Case& c : cases) {
    MachineComponentServices model;
    model.MgUntrustedZoneIPAddress = c.untrusted;
    model.MgTrustedZoneIPAddress = c.trusted;
    tinyxml2::XMLDocument doc;
    writeAndLoad(model, doc);
    const tinyxml2::XMLElement* addresses =
        doc.FirstChildElement("RegMachCompSvcReq")->FirstChildElement("MGNetworkAddresses");
    ASSERT_NE(addresses, nullptr);
    EXPECT_EQ(childNames(addresses), c.children) << c.untrusted << "|" << c.trusted;
  }
}

TEST_F(RegistryRequestWriterTest, EmptyListsGiveElementsWithoutChildren) {
  MachineComponentServices model;
  model.ComponentIDPrefix = "Line1";
  Component bare{"Line1/Bare", "false", {}};
  Component withService{"Line1/Drive", "false", {Service{"idle", {}}}};
  Service zero{"zero", {endpoint("svc", "", "10.0.0.1", 0)}};
  withService.ServiceList.push_back(zero);
  model.ComponentList = {bare, withService};

  tinyxml2::XMLDocument doc;
  writeAndLoad(model, doc);
  const tinyxml2::XMLElement* list =
      doc.FirstChildElement("RegMachCompSvcReq")->FirstChildElement("ComponentList");
  const tinyxml2::XMLElement* first = list->FirstChildElement("Component");
  EXPECT_STREQ(first->Attribute("ComponentID"), "Line1/Bare");
  EXPECT_EQ(childNames(first), (std::vector<std::string>{"Trusted", "ServiceList"}));
  EXPECT_EQ(first->FirstChildElement("ServiceList")->FirstChild(), nullptr);

  const tinyxml2::XMLElement* idle =
      first->NextSiblingElement("Component")->FirstChildElement("ServiceList")->FirstChildElement("Service");
  EXPECT_STREQ(idle->Attribute("ServiceID"), "idle");
  EXPECT_EQ(idle->FirstChild(), nullptr);
  EXPECT_STREQ(idle->NextSiblingElement("Service")->FirstChildElement("ServiceEndpoint")->GetText(),
               "svc:TCP:1:10.0.0.1:0");
}

TEST_F(RegistryRequestWriterTest, FlagsEndAsPendingSendWhateverTheyWereBefore) {
  for (int before = 0; before < 4; ++before) {
    new_registry_service_file = (before & 1) != 0;
    registry_service_file_send_request = (before & 2) != 0;
    EXPECT_EQ(xml::writeRegistryServiceFile(MachineComponentServices{}), 0u);
    EXPECT_FALSE(new_registry_service_file) << before;
    EXPECT_TRUE(registry_service_file_send_request) << before;
  }
  registry_service_file_send_request = false;
}

// A failed save is not detected: message, flags and result as usual.
TEST_F(RegistryRequestWriterTest, UnwritableSpoolStillLogsAndRaisesSendFlag) {
  setSpoolDirectoryForTesting(dir_ + "/missing");
  new_registry_service_file = true;
  registry_service_file_send_request = false;
  EXPECT_EQ(xml::writeRegistryServiceFile(fullModel()), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing"));
  EXPECT_TRUE(platform_double::logged("MachineComponentServices ready to send to registry.", 6));
  EXPECT_FALSE(new_registry_service_file);
  EXPECT_TRUE(registry_service_file_send_request);
  registry_service_file_send_request = false;
}

TEST_F(RegistryRequestWriterTest, SpecialCharactersAreEscapedAndReadBackUnchanged) {
  const std::string nasty = "a<b&c\"d'e>f";
  MachineComponentServices model;
  model.ComponentIDPrefix = nasty;
  model.MgTrustedZoneIPAddress = nasty;
  model.IccID = nasty;
  model.Imsi = nasty;
  Component component{nasty, nasty, {}};
  Service service{nasty, {endpoint("s&", "/<x>&\"", "1.2.3.4", 5)}};
  component.ServiceList.push_back(service);
  model.ComponentList.push_back(component);

  tinyxml2::XMLDocument doc;
  writeAndLoad(model, doc);
  EXPECT_EQ(readFile(requestPath()).find("a<b"), std::string::npos);

  const tinyxml2::XMLElement* root = doc.FirstChildElement("RegMachCompSvcReq");
  EXPECT_EQ(std::string(root->FirstChildElement("GatewayID")->GetText()), nasty + "/Tarn");
  EXPECT_EQ(root->FirstChildElement("MGNetworkAddresses")->FirstChildElement()->GetText(), nasty);
  const tinyxml2::XMLElement* comm = root->FirstChildElement("GatewayCommAddrs");
  EXPECT_EQ(comm->FirstChildElement("ICCID")->GetText(), nasty);
  EXPECT_EQ(comm->FirstChildElement("IMSI")->GetText(), nasty);
  const tinyxml2::XMLElement* c = root->FirstChildElement("ComponentList")->FirstChildElement("Component");
  EXPECT_EQ(c->Attribute("ComponentID"), nasty);
  EXPECT_EQ(c->FirstChildElement("Trusted")->GetText(), nasty);
  const tinyxml2::XMLElement* s = c->FirstChildElement("ServiceList")->FirstChildElement("Service");
  EXPECT_EQ(s->Attribute("ServiceID"), nasty);
  EXPECT_STREQ(s->FirstChildElement("ServiceEndpoint")->GetText(), "s&:TCP:1:1.2.3.4:5/<x>&\"");
}

}  // namespace
