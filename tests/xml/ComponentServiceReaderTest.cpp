#include <gmock/gmock.h>
#include <sys/stat.h>

#include "env/TestEnv.h"
#include "xml/ComponentServiceReader.h"

using namespace ::testing;

static std::string file(const std::string& components) {
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
// and is passed over, so the files after it still count; a file is read up
// to its first NUL, as a C sender's terminator ends it.
TEST_F(ReaderTest, ReadsFilesInOrderPassingOverOneThatFailsToLoad) {
  const uint32_t result = read(
      {file("<Component ComponentID=\"Press4/Drive\"><Trusted>true</Trusted><ServiceList><Service "
            "ServiceID=\"opcua\"><ServiceEndpoint>opcua:TCP:1:192.168.2.20:4840</ServiceEndpoint>"
            "<ServiceEndpoint>\nw:UDP:2:10.0.0.1:80/a&amp;b\n</ServiceEndpoint></Service></ServiceList></"
            "Component>"),
       file("<Component/><Component ComponentID=\"B/2\"><ServiceList><Service/><Service ServiceID=\"idle\">"
            "<ServiceEndpoint/></Service></ServiceList></Component><Component ComponentID=\"Master/3\"/>"),
       "<RegMachCompSvcReq><ComponentList>", file("<Component ComponentID=\"D/4\"/>"), file(""),
       file("<Component ComponentID=\"E/6\"/>") + '\0' + "<Component ComponentID=\"F/6\"/>"});
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(summary(),
            "E:Press4/Drive(false)[opcua{opcua:TCP:1:192.168.2.20:4840|Untrusted;\nw:UDP:2:10.0.0.1:80/a&b\n|"
            "Untrusted;}]B/2(false)[idle{}]Master/3(false)[]D/4(false)[]E/6(false)[]");
  EXPECT_THAT(platform_double::logTexts(3),
              ElementsAre(ContainsRegex("/2\\.xml: .*ComponentID"), ContainsRegex("/2\\.xml: .*ServiceID"),
                          ContainsRegex("/2\\.xml: .*ServiceEndpoint"),
                          "Error while trying to pares Component Service file: " + spool.path("3.xml")));
}

// The prefix rule (the last ComponentID not starting "Master", up to its
// first "/") is an invariant of the datagram_cycle fuzz target, over its
// prefix_* seeds.

// A value XML 1.0 cannot carry skips its Component, Service or endpoint with
// a message naming the file, and a refused ComponentID leaves the prefix.
TEST_F(ReaderTest, SkipsElementsWhoseValuesAreNotXmlText) {
  // The text put into each value, and the value read ("" when refused).
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"&#1;", ""}, {"\x01", ""}, {"&#x1F;", ""}, {"a&#0;b", ""}, {"a&#x00;b", ""}, {"a&#00;b", ""},
      {"&#x110000;", ""}, {"&#xD800;", ""}, {"&#xFFFE;", ""}, {"\xC3(", ""}, {"\xE0\x80\xAF", ""},
      {"\xED\xA0\x80", ""}, {"\xF4\x90\x80\x80", ""}, {"\xFF", ""},
      {"&#9;\xC3\xA9&#xE9;\xE2\x82\xAC\xF0\x9F\x98\x80", "\t\xC3\xA9\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}};
  // clang-format on
  for (const auto& [raw, value] : cases) {
    platform_double::resetAll();
    EXPECT_EQ(read({file("<Component ComponentID=\"Q\"><ServiceList><Service ServiceID=\"s" + raw +
                         "\"/><Service ServiceID=\"t\"><ServiceEndpoint>e" + raw +
                         "</ServiceEndpoint></Service></ServiceList></Component><Component ComponentID=\"P" +
                         raw + "\"/>")}),
              0u);
    const std::string& v = value;
    EXPECT_EQ(summary(), v.empty()
                             ? "Q:Q(false)[t{}]"
                             : "P" + v + ":Q(false)[s" + v + "{}t{e" + v + "|Untrusted;}]P" + v + "(false)[]")
        << raw;
    EXPECT_EQ(platform_double::logTexts(3).size(), v.empty() ? 3u : 0u) << raw;
    EXPECT_THAT(platform_double::logTexts(3), Each(HasSubstr(spool.path("1.xml: "))));
  }
}

// Each file has its own budget of endpoints; the rest are counted once.
TEST_F(ReaderTest, ReadsAtMostTheEndpointLimitOfEachFile) {
  std::string endpoints;
  for (uint32_t i = 0; i < xml::MAX_ENDPOINTS_PER_FILE + 2; ++i)
    endpoints += "<ServiceEndpoint>e:TCP:" + std::to_string(i) + ":10.0.0.1:1</ServiceEndpoint>";
  const std::string text = file("<Component ComponentID=\"A/1\"><ServiceList><Service ServiceID=\"s\">" +
                                endpoints + "</Service></ServiceList></Component>");
  read({text, text});
  EXPECT_EQ(incoming.ComponentList.back().ServiceList.front().EndpointList.size(),
            xml::MAX_ENDPOINTS_PER_FILE);
  EXPECT_THAT(platform_double::logTexts(3),
              ElementsAre(HasSubstr("1.xml: more than 32 ServiceEndpoints, 2 skipped"),
                          HasSubstr("2.xml: more than 32 ServiceEndpoints, 2 skipped")));
}

// A link in the spool is not followed, and a FIFO does not block the read;
// a spool that cannot be opened is no spool without files.
TEST_F(ReaderTest, ReadsOnlyRegularFilesOfTheSpool) {
  spool.write("target", file("<Component ComponentID=\"Linked/1\"/>"));
  ASSERT_EQ(symlink(spool.path("target").c_str(), spool.path("1.xml").c_str()), 0);
  ASSERT_EQ(mkfifo(spool.path("2.xml").c_str(), 0600), 0);
  incoming.ServiceFileNames = {"1.xml", "2.xml"};
  EXPECT_EQ(xml::readComponentServiceFiles(incoming), 1u);
  EXPECT_THAT(platform_double::logTexts(3),
              ElementsAre("Error while trying to pares Component Service file: " + spool.path("1.xml"),
                          "Error while trying to pares Component Service file: " + spool.path("2.xml")));
  chmod(spool.root.c_str(), 0777);
  EXPECT_EQ(xml::readComponentServiceFiles(incoming), xml::SPOOL_UNREADABLE);
}
