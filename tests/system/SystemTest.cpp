#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "env/Globals.h"
#include "system/IdentityProbes.h"
#include "system/NatForwarding.h"
#include "system/RegistryUpload.h"
#include "system/Shell.h"

namespace {

using Strings = std::vector<std::string>;

// Keeps every command; captures answer with the scripted outputs in turn
// (std::nullopt: popen fails; none left: "").
struct Recorder : ShellRunner {
  std::string capture(const std::string& command) override {
    commands.push_back(command);
    const std::optional<std::string> output = outputs.empty() ? "" : outputs.front();
    if (!outputs.empty()) outputs.pop_front();
    return output ? *output : throw std::runtime_error("popen() failed!");
  }
  int execute(const std::string& command) override { return commands.push_back(command), 0; }
  std::deque<std::optional<std::string>> outputs;
  Strings commands;
};

// The words the real shell hands to the program of `command`, as
// "<count>[word]...", in a scratch directory holding the files "a" and "b"
// for globs to match; " CANARY" follows when anything else ran.
std::string wordsOf(const std::string& command) {
  return PosixShellRunner().capture(
      "d=$(mktemp -d) && trap 'rm -rf \"$d\"' EXIT && cd \"$d\" && touch a b && set --" +
      command.substr(command.find(' ')) +
      "; printf %s $#; printf '[%s]' \"$@\"; test -e CANARY && printf ' CANARY'");
}

std::chrono::steady_clock::time_point fake_now;

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setShellRunner(&shell);
    setRegistryClockForTesting([] { return fake_now; });
    registryRequestRewritten();
  }
  void TearDown() override { setShellRunner(nullptr); }
  // One upload answered with `output`; true when the request still waits.
  bool pendingAfter(const std::optional<std::string>& output) {
    registry_service_file_send_request = true;
    shell.outputs = {output};
    sendRegistryServiceFile(model);
    return registry_service_file_send_request;
  }
  Recorder shell;
  MachineComponentServices model;
};

TEST(PosixShellRunner, KeepsTheWholeOutput) {
  PosixShellRunner sh;
  EXPECT_EQ(sh.capture("printf '%0300d\\n' 0"), std::string(300, '0') + "\n");  // lines beyond one read
  EXPECT_EQ(sh.capture("printf 'partial\\n'; exit 3"), "partial\n");
  EXPECT_EQ(sh.capture("printf 'ab\\0cd\\nef\\n'"), "abef\n");  // a NUL drops the rest of its read
}

TEST_F(SystemTest, NatCommandsInOrderWithEachValueItsOwnWord) {
  setupNatChain();
  ServiceEndpoint e = parseEndpointText("s:TCP:1:192.168.2.1:9080", "false");
  e.EndpointExternalPORT = 49200;
  NatPortForwarding nat;
  nat.add(e);
  nat.remove(e);
  EXPECT_EQ(
      shell.commands,
      (Strings{"echo 1 > /proc/sys/net/ipv4/ip_forward", "iptables -t nat -D PREROUTING -j IOT",
               "iptables -t nat -F IOT", "iptables -t nat -N IOT", "iptables -t nat -A PREROUTING -j IOT",
               "iptables -t nat -A IOT -i Untrusted -p TCP --dport 49200 -j DNAT --to-destination "
               "192.168.2.1:9080",
               "iptables -t nat -D IOT -i Untrusted -p TCP --dport 49200 -j DNAT  --to-destination "
               "192.168.2.1:9080"}));

  // Every received value reaches iptables as its own unchanged word, and
  // nothing else runs.
  for (const std::string v :
       {"", " a b ", "x; touch CANARY", "x && touch CANARY", "x | touch CANARY", "$(touch CANARY)",
        "`touch CANARY`", "'; touch CANARY; '", "\"", "x\ntouch CANARY", "*", "[ab]", "#"}) {
    ServiceEndpoint e;
    e.EndpointZone = e.EndpointPROT = e.EndpointIP = e.EndpointPORT = v;
    shell.commands.clear();
    addPortForwarding(e);
    deletePortForwarding(e);
    for (const std::string& command : shell.commands)
      EXPECT_EQ(wordsOf(command), "14[-t][nat][" + command.substr(16, 2) + "][IOT][-i][" + v + "][-p][" + v +
                                      "][--dport][0][-j][DNAT][--to-destination][" + v + ":" + v + "]");
  }
}

TEST_F(SystemTest, IdentityProbesRetryThenFallBackToTheMock) {
  const std::tuple<bool, std::deque<std::optional<std::string>>, std::string, size_t> cases[] = {
      // ICCID?, outputs, read, tool runs
      {true, {"8931 4404 0004 9738 8513\n"}, "89314404000497388513", 1},
      {true, {"ERROR\n", "\n", "1234\n"}, MOCK_ICCID, 2},
      {false, {"262011234567890\n"}, "262011234567890\n", 1},  // no blank: the whole output
      {false, {" 26201 x\n", std::nullopt, "26201 x"}, "26201", 3},
      {false, {" a", " b", " c", "26201 x"}, MOCK_IMSI, 3},
  };
  for (const auto& [iccid, outputs, expected, runs] : cases) {
    shell.outputs = outputs;
    shell.commands.clear();
    (iccid ? model.IccID : model.Imsi).clear();
    const auto probe = iccid ? readIccID : readImsi;
    probe(model);
    probe(model);  // a second created phase runs no tool
    EXPECT_EQ(iccid ? model.IccID : model.Imsi, expected);
    EXPECT_EQ(shell.commands, Strings(runs, "timeout -t 5 /usr/local/bin/GSMUtil " +
                                                std::string(iccid ? "iccid" : "provider")));
  }
}

TEST_F(SystemTest, ZoneAddressesLoseNewlinesAndAnUnstartableReadIsEmpty) {
  shell.outputs = {std::nullopt, "192.168.\n2.1\n\n"};
  model.MgUntrustedZoneIPAddress = "old";
  readZoneIPAddresses(model);
  EXPECT_EQ(model.MgUntrustedZoneIPAddress + "|" + model.MgTrustedZoneIPAddress, "|192.168.2.1");
  EXPECT_EQ(shell.commands[1], "/sbin/ifconfig Trusted | grep 'inet addr' | cut -d: -f2 | awk '{print $1}'");
}

TEST_F(SystemTest, UploadPostsTheRequestFileAndClearsTheFlagOnlyOnTwoHundreds) {
  model.ComponentIDPrefix = "AB: CD";
  EXPECT_FALSE(pendingAfter("200\n"));
  EXPECT_EQ(
      shell.commands.at(0),
      "curl --cert /var/provisioning/cert/private/ID_Bundle_Certificate.pem"
      " --cacert /var/provisioning/cert/public/IoT-ID-Bundle-RootCA.crt"
      " --fail --silent --show-error --globoff --connect-timeout 10 --max-time 30"
      " -H \"Content-Type: application/xml\" -X POST -d @/var/volatile/tmp/iot/RegisterMachineServices.xml"
      " -o /dev/null -s -w \"%{http_code}\n\" https://" +
          registry_host + "/v2/machineservices/AB%3A%20CD");
  for (const char* output : {"201\n", "299", "204"}) EXPECT_FALSE(pendingAfter(output)) << output;
  for (const char* output : {"500\n", "000\n", "", "2000\n", "20\n", " 200\n", "200 200 200", "200\n200\n"})
    EXPECT_TRUE(pendingAfter(output)) << output;
  EXPECT_TRUE(pendingAfter(std::nullopt));
}

// The prefix stays one literal path segment whatever it holds: curl sees no
// glob, query, fragment, further segment or dot segment, and the shell runs
// nothing else.
TEST_F(SystemTest, UploadUrlEndsWithThePrefixAsOneEncodedSegment) {
  const std::pair<std::string, std::string> cases[] = {{"Plant:1 A", "Plant%3A1%20A"},
                                                       {"a-b.c_d~9Z", "a-b.c_d~9Z"},
                                                       {"{a,b}", "%7Ba%2Cb%7D"},
                                                       {"[1-9]", "%5B1-9%5D"},
                                                       {"a?b#c", "a%3Fb%23c"},
                                                       {"100%", "100%25"},
                                                       {"../x/y", "..%2Fx%2Fy"},
                                                       {"..", "%2E%2E"},
                                                       {".", "%2E"},
                                                       {"\xC3\xA9\x7F", "%C3%A9%7F"},
                                                       {"x';touch CANARY;'", "x%27%3Btouch%20CANARY%3B%27"}};
  for (const auto& [prefix, segment] : cases) {
    model.ComponentIDPrefix = prefix;
    pendingAfter("200\n");
    EXPECT_THAT(wordsOf(shell.commands.back()),
                testing::EndsWith("[https://" + registry_host + "/v2/machineservices/" + segment + "]"));
  }
}

TEST_F(SystemTest, UploadRetriesBackOffDoublingUpToTenMinutesUntilRewritten) {
  // Due again exactly when its delay has passed; the first retry at once.
  for (int delay : {0, 10, 20, 40, 80, 160, 320, 600, 600}) {
    ASSERT_TRUE(registryUploadDue()) << delay;
    pendingAfter("500\n");
    fake_now += std::chrono::seconds(delay - 1);
    EXPECT_FALSE(delay > 0 && registryUploadDue()) << delay;
    fake_now += std::chrono::seconds(1);
  }
  registryRequestRewritten();
  pendingAfter("500\n");  // the first failure again
  EXPECT_TRUE(registryUploadDue());
}

}  // namespace
