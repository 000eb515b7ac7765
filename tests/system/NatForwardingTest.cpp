#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SystemTestSupport.h"
#include "system/NatForwarding.h"

using system_test::RecordingShell;
using system_test::runInDirectory;
using system_test::TempDir;

namespace {

ServiceEndpoint endpoint(const std::string& zone, const std::string& protocol, uint32_t external_port,
                         const std::string& address, const std::string& port) {
  ServiceEndpoint e;
  e.EndpointZone = zone;
  e.EndpointPROT = protocol;
  e.EndpointExternalPORT = external_port;
  e.EndpointIP = address;
  e.EndpointPORT = port;
  return e;
}

class NatForwardingTest : public ::testing::Test {
 protected:
  void SetUp() override { setShellRunner(&shell); }
  void TearDown() override { setShellRunner(nullptr); }
  RecordingShell shell;
};

TEST_F(NatForwardingTest, SetupRunsTheFiveCommandsInOrder) {
  EXPECT_EQ(setupNatChain(), 0);
  EXPECT_EQ(shell.commands(), (std::vector<std::string>{
                                  "echo 1 > /proc/sys/net/ipv4/ip_forward",
                                  "iptables -t nat -D PREROUTING -j IOT",
                                  "iptables -t nat -F IOT",
                                  "iptables -t nat -N IOT",
                                  "iptables -t nat -A PREROUTING -j IOT",
                              }));
  for (const auto& call : shell.calls) EXPECT_FALSE(call.captured);
}

TEST_F(NatForwardingTest, AddAndDeleteTextsForAnOrdinaryEndpoint) {
  const ServiceEndpoint e = endpoint("Untrusted", "TCP", 49200, "192.168.2.1", "9080");
  EXPECT_EQ(addPortForwarding(e), 0);
  EXPECT_EQ(deletePortForwarding(e), 0);
  NatPortForwarding forwarding;
  forwarding.add(endpoint("Trusted", "UDP", 59998, "10.0.0.7", "1"));
  forwarding.remove(endpoint("Trusted", "UDP", 4294967295u, "10.0.0.7", "1"));
  EXPECT_EQ(shell.commands(),
            (std::vector<std::string>{
                "iptables -t nat -A IOT -i Untrusted -p TCP --dport 49200 -j DNAT --to-destination "
                "192.168.2.1:9080",
                "iptables -t nat -D IOT -i Untrusted -p TCP --dport 49200 -j DNAT  --to-destination "
                "192.168.2.1:9080",
                "iptables -t nat -A IOT -i Trusted -p UDP --dport 59998 -j DNAT --to-destination 10.0.0.7:1",
                "iptables -t nat -D IOT -i Trusted -p UDP --dport 4294967295 -j DNAT  --to-destination "
                "10.0.0.7:1",
            }));
}

// The words the real shell hands to iptables: each value arrives as one
// unchanged word, and nothing else runs.
TEST_F(NatForwardingTest, HostileEndpointValuesNeverChangeTheCommand) {
  const ServiceEndpoint cases[] = {
      endpoint("Untrusted; touch CANARY", "TCP", 49200, "192.168.2.1", "9080"),
      endpoint("Trusted", "TCP && touch CANARY", 49201, "192.168.2.1", "9080"),
      endpoint("Trusted", "TCP", 49202, "$(touch CANARY)", "9080"),
      endpoint("Trusted", "TCP", 49203, "1.2.3.4", "80 `touch CANARY`"),
      endpoint("Trusted", "", 49204, "", ""),
      endpoint("", "TCP", 49205, "1.2.3.4 -j ACCEPT", "'80'"),
      endpoint("Trusted", "TCP", 49206, "1.2.3.4\ntouch CANARY", "*"),
      endpoint("Trusted", "T|CP", 49207, "a\"b", "9080 > CANARY"),
  };
  TempDir dir;
  for (const ServiceEndpoint& e : cases) {
    for (bool add : {true, false}) {
      shell.calls.clear();
      add ? addPortForwarding(e) : deletePortForwarding(e);
      ASSERT_EQ(shell.calls.size(), 1u);
      std::string command = shell.calls[0].command;
      const std::string program = "iptables ";
      ASSERT_EQ(command.compare(0, program.size(), program), 0);
      command.replace(0, program.size(), "printf '[%s]' ");
      const std::string expected = std::string("[-t][nat][") + (add ? "-A" : "-D") + "][IOT][-i][" +
                                   e.EndpointZone + "][-p][" + e.EndpointPROT + "][--dport][" +
                                   std::to_string(e.EndpointExternalPORT) + "][-j][DNAT][--to-destination][" +
                                   e.EndpointIP + ":" + e.EndpointPORT + "]";
      EXPECT_EQ(runInDirectory(dir.path(), command), expected) << shell.calls[0].command;
      EXPECT_FALSE(dir.exists("CANARY")) << shell.calls[0].command;
    }
  }
}

}  // namespace
