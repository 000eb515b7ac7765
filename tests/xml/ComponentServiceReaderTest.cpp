#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PlatformDouble.h"
#include "model/Globals.h"
#include "xml/ComponentServiceReader.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

std::string document(const std::string& components) {
  return "<?xml version=\"1.0\"?>\n<RegMachCompSvcReq>\n<ComponentList>\n" + components +
         "</ComponentList>\n</RegMachCompSvcReq>\n";
}

std::string component(const std::string& id, const std::string& services) {
  return "<Component ComponentID=\"" + id + "\"><ServiceList>" + services + "</ServiceList></Component>\n";
}

std::string service(const std::string& id, const std::vector<std::string>& endpoints) {
  std::string text = "<Service ServiceID=\"" + id + "\">";
  for (const std::string& endpoint : endpoints) text += "<ServiceEndpoint>" + endpoint + "</ServiceEndpoint>";
  return text + "</Service>";
}

std::vector<std::string> componentIds(const MachineComponentServices& model) {
  std::vector<std::string> ids;
  for (const Component& c : model.ComponentList) ids.push_back(c.ComponentID);
  return ids;
}

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_double::resetAll();
    std::string pattern = (std::filesystem::temp_directory_path() / "mgm-reader-XXXXXX").string();
    dir_ = std::string(mkdtemp(pattern.data())) + "/";
    setSpoolDirectoryForTesting(dir_);
  }
  void TearDown() override {
    setSpoolDirectoryForTesting("");
    std::filesystem::remove_all(dir_);
  }

  // Writes the file and lists it for the reader.
  void spool(const std::string& name, const std::string& content) {
    std::ofstream(dir_ + name, std::ios::binary) << content;
    incoming.ServiceFileNames.push_back(name);
  }

  std::string dir_;
  MachineComponentServices incoming;
};

TEST_F(ReaderTest, ReadsTheExampleFile) {
  incoming.ComponentIDPrefix = "Old";
  spool("Drive_opcua.xml",
        document(component("Press4/Drive", service("opcua", {"opcua:TCP:1:192.168.2.20:4840"}))));

  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 0u);
  ASSERT_EQ(incoming.ComponentList.size(), 1u);
  const Component& c = incoming.ComponentList.front();
  EXPECT_EQ(c.ComponentID, "Press4/Drive");
  EXPECT_EQ(c.Trusted, "false");
  ASSERT_EQ(c.ServiceList.size(), 1u);
  EXPECT_EQ(c.ServiceList.front().ServiceID, "opcua");
  ASSERT_EQ(c.ServiceList.front().EndpointList.size(), 1u);
  const ServiceEndpoint& e = c.ServiceList.front().EndpointList.front();
  EXPECT_EQ(e.EndpointText, "opcua:TCP:1:192.168.2.20:4840");
  EXPECT_EQ(e.EndpointService, "opcua");
  EXPECT_EQ(e.EndpointPROT, "TCP");
  EXPECT_EQ(e.EndpointID, "1");
  EXPECT_EQ(e.EndpointIP, "192.168.2.20");
  EXPECT_EQ(e.EndpointPORT, "4840");
  EXPECT_EQ(e.EndpointSuffix, "");
  EXPECT_EQ(e.EndpointZone, "Untrusted");
  EXPECT_EQ(e.EndpointZoneIP, "");
  EXPECT_EQ(e.EndpointExternalPORT, 0u);
  EXPECT_EQ(e.EndpointStatus, ENDPOINT_STATUS_NEW);
  EXPECT_EQ(incoming.ComponentIDPrefix, "Press4");
  EXPECT_THAT(platform_double::logTexts(), IsEmpty());
}

TEST_F(ReaderTest, EmptyListClearsComponentsAndKeepsThePrefix) {
  incoming.ComponentList.push_back(Component{"Old/One", "false", {}});
  incoming.ComponentIDPrefix = "Old";
  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 0u);
  EXPECT_THAT(incoming.ComponentList, IsEmpty());
  EXPECT_EQ(incoming.ComponentIDPrefix, "Old");
}

TEST_F(ReaderTest, ComponentsAndServicesWithoutChildrenAreKept) {
  spool("a.xml", document(component("P/Empty", "") + "<Component ComponentID=\"P/NoList\"/>\n" +
                          component("P/Quiet", service("idle", {}))));
  spool("b.xml", document(""));

  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 0u);
  EXPECT_THAT(componentIds(incoming), ElementsAre("P/Empty", "P/NoList", "P/Quiet"));
  auto it = incoming.ComponentList.begin();
  EXPECT_THAT(it->ServiceList, IsEmpty());
  EXPECT_THAT((++it)->ServiceList, IsEmpty());
  ASSERT_EQ((++it)->ServiceList.size(), 1u);
  EXPECT_THAT(it->ServiceList.front().EndpointList, IsEmpty());
  EXPECT_THAT(platform_double::logTexts(), IsEmpty());
}

TEST_F(ReaderTest, NothingIsMergedAndDocumentOrderIsKept) {
  spool("1.xml",
        document(component("Press4/Drive", service("a", {"a:TCP:1:10.0.0.1:1", "a:UDP:2:10.0.0.1:2"}) +
                                               service("b", {"b:TCP:1:10.0.0.1:3"}))));
  spool("2.xml", document(component("Press4/Drive", service("a", {"a:TCP:1:10.0.0.1:1"})) +
                          component("Press5/Drive", "")));

  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 0u);
  EXPECT_THAT(componentIds(incoming), ElementsAre("Press4/Drive", "Press4/Drive", "Press5/Drive"));
  const Component& first = incoming.ComponentList.front();
  ASSERT_EQ(first.ServiceList.size(), 2u);
  std::vector<std::string> ports;
  for (const ServiceEndpoint& e : first.ServiceList.front().EndpointList) ports.push_back(e.EndpointPORT);
  EXPECT_THAT(ports, ElementsAre("1", "2"));
  EXPECT_EQ(first.ServiceList.back().ServiceID, "b");
  EXPECT_EQ(incoming.ComponentIDPrefix, "Press5");
}

TEST_F(ReaderTest, PrefixComesFromComponentsNotStartingWithMaster) {
  const struct {
    const char* id;
    const char* prefix;
  } cases[] = {
      {"Press4/Drive", "Press4"},
      {"Press4", "Press4"},
      {"Line1/Master", "Line1"},
      {"master/Drive", "master"},
      {"Master/Drive", "Old"},
      {"MasterPanel", "Old"},
      {"Master", "Old"},
      {"", ""},
      {"/Drive", ""},
      {"a/b/c", "a"},
  };
  for (const auto& c : cases) {
    incoming.ServiceFileNames.clear();
    incoming.ComponentIDPrefix = "Old";
    spool("f.xml", document(component(c.id, "")));
    EXPECT_EQ(xml::readComponentServiceFiles(incoming), 0u);
    EXPECT_EQ(incoming.ComponentIDPrefix, c.prefix) << c.id;
  }
}

TEST_F(ReaderTest, TheLastQualifyingComponentAcrossFilesSetsThePrefix) {
  spool("1.xml", document(component("Press4/Drive", "")));
  spool("2.xml", document(component("Press5/Drive", "") + component("Master/Panel", "")));
  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 0u);
  EXPECT_EQ(incoming.ComponentIDPrefix, "Press5");
}

TEST_F(ReaderTest, ThirdOfFiveMalformedStopsReadingThere) {
  spool("1.xml", document(component("A/1", "")));
  spool("2.xml", document(component("B/2", "")));
  spool("3.xml", "<RegMachCompSvcReq><ComponentList>");
  spool("4.xml", document(component("D/4", "")));
  spool("5.xml", document(component("E/5", "")));

  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 1u);
  EXPECT_THAT(componentIds(incoming), ElementsAre("A/1", "B/2"));
  EXPECT_THAT(platform_double::logTexts(3),
              ElementsAre("Error while trying to pares Component Service file: " + dir_ + "3.xml"));
  EXPECT_EQ(incoming.ComponentIDPrefix, "B");
  EXPECT_TRUE(std::filesystem::exists(dir_ + "3.xml"));
}

TEST_F(ReaderTest, MissingOrEmptyFileFailsToLoad) {
  for (const char* content : {static_cast<const char*>(""), static_cast<const char*>(nullptr)}) {
    platform_double::clearLog();
    incoming.ServiceFileNames.clear();
    if (content) {
      spool("x.xml", content);
    } else {
      incoming.ServiceFileNames.push_back("gone.xml");
    }
    EXPECT_EQ(xml::readComponentServiceFiles(incoming), 1u);
    EXPECT_EQ(platform_double::countLogged("Error while trying to pares Component Service file: " + dir_), 1);
  }
}

TEST_F(ReaderTest, IncompleteElementsAreSkippedWithAMessageNamingTheFile) {
  spool("noroot.xml", "<Other><ComponentList>" + component("X/1", "") + "</ComponentList></Other>");
  spool("nolist.xml", "<RegMachCompSvcReq><Components/></RegMachCompSvcReq>");
  spool("parts.xml",
        document(
            "<Component><ServiceList>" + service("s", {"s:TCP:1:1.1.1.1:1"}) + "</ServiceList></Component>" +
            component("P/Kept", "<Service><ServiceEndpoint>x:TCP:1:1.1.1.1:1</ServiceEndpoint></Service>" +
                                    service("ok", {"", "<!-- none -->", "ok:TCP:1:1.1.1.1:2"}))));

  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 0u);
  EXPECT_THAT(componentIds(incoming), ElementsAre("P/Kept"));
  const Component& kept = incoming.ComponentList.front();
  ASSERT_EQ(kept.ServiceList.size(), 1u);
  EXPECT_EQ(kept.ServiceList.front().ServiceID, "ok");
  ASSERT_EQ(kept.ServiceList.front().EndpointList.size(), 1u);
  EXPECT_EQ(kept.ServiceList.front().EndpointList.front().EndpointPORT, "2");

  const std::vector<std::string> errors = platform_double::logTexts(3);
  ASSERT_EQ(errors.size(), 6u);
  const char* files[] = {"noroot.xml", "nolist.xml", "parts.xml", "parts.xml", "parts.xml", "parts.xml"};
  for (size_t i = 0; i < errors.size(); ++i) EXPECT_THAT(errors[i], HasSubstr(dir_ + files[i]));
  EXPECT_THAT(errors[2], HasSubstr("ComponentID"));
  EXPECT_THAT(errors[3], HasSubstr("ServiceID"));
  EXPECT_THAT(errors[4], HasSubstr("ServiceEndpoint"));
}

TEST_F(ReaderTest, OnlyTheFirstListsAreReadAndUnknownPartsIgnored) {
  spool("f.xml",
        "<!-- c --><Other/><RegMachCompSvcReq><GatewayID>G/Tarn</GatewayID><ComponentList>"
        "<Component ComponentID=\"P/A\" Extra=\"1\"><Trusted>true</Trusted><ServiceList>" +
            service("s1", {"s:TCP:1:1.1.1.1:1"}) + "</ServiceList><ServiceList>" + service("s2", {}) +
            "</ServiceList></Component></ComponentList><ComponentList>" + component("P/B", "") +
            "</ComponentList></RegMachCompSvcReq><RegMachCompSvcReq><ComponentList>" + component("P/C", "") +
            "</ComponentList></RegMachCompSvcReq>");

  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 0u);
  EXPECT_THAT(componentIds(incoming), ElementsAre("P/A"));
  const Component& a = incoming.ComponentList.front();
  EXPECT_EQ(a.Trusted, "false");
  ASSERT_EQ(a.ServiceList.size(), 1u);
  EXPECT_EQ(a.ServiceList.front().ServiceID, "s1");
  EXPECT_EQ(a.ServiceList.front().EndpointList.front().EndpointZone, "Untrusted");
}

TEST_F(ReaderTest, EndpointTextIsTakenAsTheLibraryGivesIt) {
  spool("f.xml", document(component(
                     "P/A", service("s", {"\nweb:TCP:1:10.0.0.1:80\n", "web:TCP:2:10.0.0.1:8080/a&amp;b/\n",
                                          "  web:TCP:3:10.0.0.1:81[x]  "}))));
  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 0u);
  const std::list<ServiceEndpoint>& endpoints =
      incoming.ComponentList.front().ServiceList.front().EndpointList;
  ASSERT_EQ(endpoints.size(), 3u);
  auto e = endpoints.begin();
  EXPECT_EQ(e->EndpointText, "\nweb:TCP:1:10.0.0.1:80\n");
  EXPECT_EQ(e->EndpointService, "\nweb");
  EXPECT_EQ(e->EndpointPORT, "80\n");
  ++e;
  EXPECT_EQ(e->EndpointPORT, "8080");
  EXPECT_EQ(e->EndpointSuffix, "/a&b/\n");
  ++e;
  EXPECT_EQ(e->EndpointService, "  web");
  EXPECT_EQ(e->EndpointSuffix, "[x]  ");
}

}  // namespace
