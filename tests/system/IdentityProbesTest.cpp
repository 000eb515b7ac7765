#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PlatformDouble.h"
#include "SystemTestSupport.h"
#include "system/IdentityProbes.h"

using platform_double::countLogged;
using platform_double::logged;
using platform_double::logTexts;
using system_test::RecordingShell;

namespace {

const std::string ICCID_COMMAND = "timeout -t 5 /usr/local/bin/GSMUtil iccid";
const std::string IMSI_COMMAND = "timeout -t 5 /usr/local/bin/GSMUtil provider";

class IdentityProbesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_double::resetAll();
    setShellRunner(&shell);
  }
  void TearDown() override { setShellRunner(nullptr); }

  RecordingShell shell;
  MachineComponentServices model;
};

TEST_F(IdentityProbesTest, IccidKeepsOnlyTheDigitsOfTheFirstUsefulAttempt) {
  shell.outputs = {std::string("8931 4404 0004 9738 8513\n")};
  EXPECT_EQ(readIccID(model), 0);
  EXPECT_EQ(model.IccID, "89314404000497388513");
  EXPECT_EQ(shell.commands(), std::vector<std::string>{ICCID_COMMAND});
  EXPECT_TRUE(shell.calls[0].captured);
  EXPECT_EQ(logTexts(), std::vector<std::string>{"Read ICCID from GSMUtil = 89314404000497388513"});
}

TEST_F(IdentityProbesTest, IccidFallsBackToTheMockAfterTwoAttempts) {
  shell.outputs = {std::string("ERROR\n"), std::string("\n"), std::string("1234\n")};
  readIccID(model);
  EXPECT_EQ(model.IccID, MOCK_ICCID);  // the third output is never read
  EXPECT_EQ(shell.commands(), (std::vector<std::string>{ICCID_COMMAND, ICCID_COMMAND}));
  EXPECT_EQ(logTexts(3),
            std::vector<std::string>{"Failed to read ICCID from GSMUtil use mock = 89314404000497388513"});
  EXPECT_EQ(logTexts(6), std::vector<std::string>{"Read ICCID from GSMUtil = 89314404000497388513"});
}

TEST_F(IdentityProbesTest, ImsiTakesThePartBeforeTheFirstBlank) {
  struct Case {
    std::vector<std::string> outputs;
    std::string expected;
    size_t runs;
  } cases[] = {
      {{"262011234567890 Telekom.de\n"}, "262011234567890", 1},
      {{"262011234567890\n"}, "262011234567890\n", 1},  // no blank: whole output
      {{" 262011234567890\n", "", "26201 x"}, "26201", 3},
      {{" leading", " blank", " again", "never read"}, MOCK_IMSI, 3},
  };
  for (const Case& c : cases) {
    platform_double::clearLog();
    shell.calls.clear();
    shell.outputs.assign(c.outputs.begin(), c.outputs.end());
    model.Imsi.clear();
    readImsi(model);
    EXPECT_EQ(model.Imsi, c.expected);
    EXPECT_EQ(shell.commands(), std::vector<std::string>(c.runs, IMSI_COMMAND));
    EXPECT_EQ(logged("Read IMSI from GSMUtil = " + c.expected, 6), true) << c.expected;
    EXPECT_EQ(logged("Failed to read IMSI from GSMUtil use mock = 123456789101112", 3),
              c.expected == MOCK_IMSI);
  }
}

TEST_F(IdentityProbesTest, SecondCreatedPhaseRunsNoTool) {
  model.IccID = "8931";
  model.Imsi = "26201";
  readIccID(model);
  readImsi(model);
  EXPECT_TRUE(shell.calls.empty());
  EXPECT_EQ(logTexts(),
            (std::vector<std::string>{"Read ICCID from GSMUtil = 8931", "Read IMSI from GSMUtil = 26201"}));
}

TEST_F(IdentityProbesTest, UnstartableToolCountsAsEmptyOutput) {
  shell.outputs = {std::nullopt, std::nullopt};
  EXPECT_NO_THROW(readIccID(model));
  EXPECT_EQ(model.IccID, MOCK_ICCID);
  EXPECT_EQ(shell.calls.size(), 2u);

  shell.calls.clear();
  shell.outputs = {std::nullopt, std::string("26201 x")};
  EXPECT_NO_THROW(readImsi(model));
  EXPECT_EQ(model.Imsi, "26201");
  EXPECT_EQ(shell.calls.size(), 2u);
  EXPECT_EQ(countLogged("popen() failed!"), 3);
}

TEST_F(IdentityProbesTest, ZoneAddressesLoseEveryNewline) {
  model.MgUntrustedZoneIPAddress = "old";
  model.MgTrustedZoneIPAddress = "old";
  shell.outputs = {std::string("10.1.2.3\n"), std::string("192.168.\n2.1\n\n")};
  EXPECT_EQ(readZoneIPAddresses(model), 0);
  EXPECT_EQ(model.MgUntrustedZoneIPAddress, "10.1.2.3");
  EXPECT_EQ(model.MgTrustedZoneIPAddress, "192.168.2.1");
  EXPECT_EQ(shell.commands(),
            (std::vector<std::string>{
                "/sbin/ifconfig Untrusted | grep 'inet addr' | cut -d: -f2 | awk '{print $1}'",
                "/sbin/ifconfig Trusted | grep 'inet addr' | cut -d: -f2 | awk '{print $1}'",
            }));
  EXPECT_TRUE(logTexts().empty());

  // Both are read even when the first cannot be started.
  shell.outputs = {std::nullopt, std::string("192.168.2.2\n")};
  EXPECT_NO_THROW(readZoneIPAddresses(model));
  EXPECT_EQ(model.MgUntrustedZoneIPAddress, "");
  EXPECT_EQ(model.MgTrustedZoneIPAddress, "192.168.2.2");
}

}  // namespace
