#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "env/TestEnv.h"
#include "xml/ComponentServiceReader.h"

using ::testing::ContainsRegex;
using ::testing::ElementsAre;

namespace {

std::string file(const std::string& components) {
  return "<RegMachCompSvcReq><ComponentList>" + components + "</ComponentList></RegMachCompSvcReq>";
}

struct ReaderTest : ::testing::Test {
  // Spools the files as 1.xml, 2.xml, ..., lists and reads them; returns the result.
  uint32_t read(const std::vector<std::string>& files) {
    incoming.ServiceFileNames.clear();
    for (const std::string& text : files) {
      incoming.ServiceFileNames.push_back(std::to_string(incoming.ServiceFileNames.size() + 1) + ".xml");
      spool.write(incoming.ServiceFileNames.back(), text);
    }
    return xml::readComponentServiceFiles(incoming);
  }
  // The prefix, then each component as id(trusted)[service{endpoint text|zone;}].
  std::string summary() const {
    std::string out = incoming.ComponentIDPrefix + ":";
    for (const Component& c : incoming.ComponentList) {
      out += c.ComponentID + "(" + c.Trusted + ")[";
      for (const Service& s : c.ServiceList) {
        out += s.ServiceID + "{";
        for (const ServiceEndpoint& e : s.EndpointList) out += e.EndpointText + "|" + e.EndpointZone + ";";
        out += "}";
      }
      out += "]";
    }
    return out;
  }
  TestEnv spool;
  MachineComponentServices incoming;
};

// Texts are taken as the library gives them (newlines kept, entities
// translated); incomplete elements are skipped; the third file fails to load
// and is passed over, so the files after it still count.
TEST_F(ReaderTest, ReadsFilesInOrderPassingOverOneThatFailsToLoad) {
  incoming.ComponentList.push_back(Component{"Old/One", "true", {}});
  const uint32_t result = read(
      {file("<Component ComponentID=\"Press4/Drive\"><Trusted>true</Trusted><ServiceList><Service "
            "ServiceID=\"opcua\"><ServiceEndpoint>opcua:TCP:1:192.168.2.20:4840</ServiceEndpoint>"
            "<ServiceEndpoint>\nw:UDP:2:10.0.0.1:80/a&amp;b\n</ServiceEndpoint></Service></ServiceList></"
            "Component>"),
       file("<Component/><Component ComponentID=\"B/2\"><ServiceList><Service/><Service ServiceID=\"idle\">"
            "<ServiceEndpoint/></Service></ServiceList></Component><Component ComponentID=\"Master/3\"/>"),
       "<RegMachCompSvcReq><ComponentList>", file("<Component ComponentID=\"D/4\"/>"), file("")});
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(summary(),
            "D:Press4/Drive(false)[opcua{opcua:TCP:1:192.168.2.20:4840|Untrusted;\nw:UDP:2:10.0.0.1:80/a&b\n|"
            "Untrusted;}]B/2(false)[idle{}]Master/3(false)[]D/4(false)[]");
  EXPECT_THAT(platform_double::logTexts(3),
              ElementsAre(ContainsRegex("/2\\.xml: .*ComponentID"), ContainsRegex("/2\\.xml: .*ServiceID"),
                          ContainsRegex("/2\\.xml: .*ServiceEndpoint"),
                          "Error while trying to pares Component Service file: " + spool.path("3.xml")));
}

TEST_F(ReaderTest, PrefixComesFromComponentsNotStartingWithMaster) {
  // Pairs of a ComponentID and the prefix it leaves after "Old".
  const std::string cases[] = {"Press4/Drive", "Press4", "Press4",       "Press4", "Line1/Master", "Line1",
                               "master/Drive", "master", "Master/Drive", "Old",    "MasterPanel",  "Old",
                               "/Drive",       ""};
  for (size_t i = 0; i < std::size(cases); i += 2) {
    incoming.ComponentIDPrefix = "Old";
    EXPECT_EQ(read({file("<Component ComponentID=\"" + cases[i] + "\"/>")}), 0u);
    EXPECT_EQ(incoming.ComponentIDPrefix, cases[i + 1]) << cases[i];
  }
}

}  // namespace
