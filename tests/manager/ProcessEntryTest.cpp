#include <gtest/gtest.h>

#include "PlatformDouble.h"
#include "ProcessEntry.h"

namespace pd = platform_double;

namespace {

class ProcessEntryTest : public ::testing::Test {
 protected:
  // The first HandleMessage reports the bus gone, so no phase but the exit
  // phase runs.
  void SetUp() override { pd::resetAll(); }
};

TEST_F(ProcessEntryTest, NoBusExitsWithOne) {
  pd::failConnect(true);
  EXPECT_EQ(processEntry(), 1);
  EXPECT_EQ(pd::logTexts(2),
            (std::vector<std::string>{"Could not connect to message bus (error code 0x11000003)."}));
  EXPECT_EQ(pd::logTexts(3),
            (std::vector<std::string>{"Connection to message bus failed (error code 0x11000003)."}));
  EXPECT_EQ(pd::countLogged("Stopping Module"), 0);
  EXPECT_EQ(pd::countLogged("Program MachineGatewayManager terminated."), 0);
  EXPECT_FALSE(pd::disconnected());
}

TEST_F(ProcessEntryTest, BusGoneAtFinalReplyExitsWithZeroWithoutDisconnecting) {
  pd::scriptReplyResults({0, MB_NOT_CONNECTED});
  EXPECT_EQ(processEntry(), 0);
  EXPECT_TRUE(pd::logged("Stopping Module MachineGatewayManager (error code 0x11000003).", 3));
  EXPECT_FALSE(pd::disconnected());
  EXPECT_EQ(pd::countLogged("Program MachineGatewayManager terminated."), 0);
}

struct EndCase {
  const char* name;
  uint32_t final_reply;
  uint32_t disconnect;
  int exit_code;
};

class ProcessEndTest : public ProcessEntryTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(ProcessEndTest, ExitCodeComesFromDisconnect) {
  const EndCase& c = GetParam();
  pd::scriptReplyResults({0, c.final_reply});
  pd::setDisconnectResult(c.disconnect);
  EXPECT_EQ(processEntry(), c.exit_code);
  EXPECT_TRUE(pd::disconnected());
  EXPECT_TRUE(pd::logged("Program MachineGatewayManager terminated.", 6));
  EXPECT_EQ(pd::logged("Stopping Module MachineGatewayManager.", 6), c.final_reply == 0);
  EXPECT_EQ(pd::countLogged("Error while disconnecting"), c.exit_code == 2 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Entry, ProcessEndTest,
                         ::testing::Values(EndCase{"Normal", 0, 0, 0},
                                           EndCase{"RunFailedDisconnectOk", MB_CONNECTION_CLOSED, 0, 0},
                                           EndCase{"DisconnectNotConnected", 0, MB_NOT_CONNECTED, 0},
                                           EndCase{"DisconnectFails", 0, 0x11000005, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
