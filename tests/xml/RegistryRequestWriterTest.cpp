#include <gmock/gmock.h>

#include "env/TestEnv.h"
#include "xml/RegistryRequestWriter.h"

using ::testing::HasSubstr;

struct WriterTest : ::testing::Test {
  std::string request() const { return spool.read("RegisterMachineServices.xml"); }
  TestEnv spool;
};

// The full request, then the withdrawal request that replaces it as a whole,
// then one with a single zone address. Special characters in the values are
// escaped.
TEST_F(WriterTest, RequestsMatchTheGoldenFiles) {
  // Published endpoints: the component's own address and port are never written.
  const ServiceEndpoint own{"", "gwiotsvc",    "TCP", "1", "192.168.2.1", "9080", "/chkcompconnstatus/",
                            "", "192.168.2.1", 49152, 0};
  const ServiceEndpoint drive{"", "opcua",    "TCP", "1", "172.31.99.99", "7777", "/<x>&\"'",
                              "", "10.0.0.1", 53011, 0};
  MachineComponentServices model{"not-written",     "10.0.0.1", "192.168.2.1", "89490200001234567890",
                                 "262011234567890", {},         "Press4",      {}};
  model.ComponentList = {{"Press4/Tarn", "true", {{"component-online-check", {own}}}},
                         {"Press4/<Drive>&\"'", "false", {{"opc<ua>&\"'", {drive}}}}};
  EXPECT_EQ(xml::writeRegistryServiceFile(model), 0u);
  EXPECT_EQ(request(), spool.read(GOLDEN_DIR "/registry_request_full.xml"));
  EXPECT_TRUE(platform_double::logged("MachineComponentServices ready to send to registry.", 6));

  EXPECT_EQ(xml::writeRegistryServiceFile({"", "", "", "89490200001234567890", "", {}, "Press4", {}}), 0u);
  EXPECT_EQ(request(), spool.read(GOLDEN_DIR "/registry_request_withdrawal.xml"));
  // Only a zone address that is set gets an element.
  xml::writeRegistryServiceFile({"", "10.0.0.1", "", "", "", {}, "", {}});
  EXPECT_THAT(request(), HasSubstr("<MGNetworkAddresses>\n        <MGUntrustedZoneIPAddress>10.0.0.1</"
                                   "MGUntrustedZoneIPAddress>\n    </MGNetworkAddresses>"));
}
