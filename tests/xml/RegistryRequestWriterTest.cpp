#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "env/TestEnv.h"
#include "xml/ComponentServiceReader.h"
#include "xml/RegistryRequestWriter.h"

using ::testing::HasSubstr;

namespace {

struct WriterTest : ::testing::Test {
  std::string request() const { return spool.read("RegisterMachineServices.xml"); }
  TestEnv spool;
};

// The full request, then the withdrawal request that replaces it as a whole.
TEST_F(WriterTest, RequestsMatchTheGoldenFilesAndTurnAPendingWriteIntoAPendingSend) {
  // Published endpoints: the component's own address and port are never written.
  const ServiceEndpoint own{"", "gwiotsvc",    "TCP", "1", "192.168.2.1", "9080", "/chkcompconnstatus/",
                            "", "192.168.2.1", 49152, 0};
  const ServiceEndpoint drive{"", "opcua", "TCP", "1", "172.31.99.99", "7777", "", "", "10.0.0.1", 53011, 0};
  MachineComponentServices model{"not-written",     "10.0.0.1", "192.168.2.1", "89490200001234567890",
                                 "262011234567890", {},         "Press4",      {}};
  model.ComponentList = {{"Press4/Tarn", "true", {{"component-online-check", {own}}}},
                         {"Press4/Drive", "false", {{"opcua", {drive}}}}};
  new_registry_service_file = true;
  EXPECT_EQ(xml::writeRegistryServiceFile(model), 0u);
  EXPECT_EQ(request(), spool.read(GOLDEN_DIR "/registry_request_full.xml"));
  EXPECT_FALSE(new_registry_service_file);
  EXPECT_TRUE(registry_service_file_send_request);
  EXPECT_TRUE(platform_double::logged("MachineComponentServices ready to send to registry.", 6));

  EXPECT_EQ(xml::writeRegistryServiceFile({"", "", "", "89490200001234567890", "", {}, "Press4", {}}), 0u);
  EXPECT_EQ(request(), spool.read(GOLDEN_DIR "/registry_request_withdrawal.xml"));
}

// Both addresses and none are in the golden files. Texts read back unchanged.
TEST_F(WriterTest, OnlyAZoneAddressThatIsSetGetsAnElementAndSpecialCharactersAreEscaped) {
  const std::string nasty = "a<b&c\"d'e>f";
  for (const char* element : {"MGUntrustedZoneIPAddress", "MGTrustedZoneIPAddress"}) {
    MachineComponentServices model, read;
    (element[2] == 'U' ? model.MgUntrustedZoneIPAddress : model.MgTrustedZoneIPAddress) = "10.0.0.1";
    model.ComponentList = {
        {nasty, "false", {{nasty, {{"", "s", "TCP", "1", "", "", "/<x>&\"'", "", "1.2.3.4", 5, 0}}}}}};
    xml::writeRegistryServiceFile(model);
    EXPECT_THAT(request(), HasSubstr("<MGNetworkAddresses>\n        <" + std::string(element) +
                                     ">10.0.0.1</" + element + ">\n    </MGNetworkAddresses>"));
    read.ServiceFileNames = {"RegisterMachineServices.xml"};
    ASSERT_EQ(xml::readComponentServiceFiles(read), 0u);
    ASSERT_EQ(read.ComponentList.size(), 1u);
    const Component& component = read.ComponentList.front();
    const Service& service = component.ServiceList.front();
    EXPECT_EQ(
        component.ComponentID + "|" + service.ServiceID + "|" + service.EndpointList.front().EndpointText,
        nasty + "|" + nasty + "|s:TCP:1:1.2.3.4:5/<x>&\"'");
  }
}

}  // namespace
