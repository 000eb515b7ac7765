#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "env/TestEnv.h"
#include "system/IdentityProbes.h"
#include "system/NatForwarding.h"
#include "system/RegistryUpload.h"
#include "system/Shell.h"

using namespace ::testing;
namespace pd = platform_double;
using Strings = std::vector<std::string>;

namespace {

// The words the real shell hands to the program of `command`, as
// "<count>[word]...", in a scratch directory holding the files "a" and "b"
// for globs to match; " CANARY" follows when anything else ran.
std::string wordsOf(const std::string& command) {
  return PosixEnv().runCommand(
      "d=$(mktemp -d) && trap 'rm -rf \"$d\"' EXIT && cd \"$d\" && touch a b && set --" +
      command.substr(command.find(' ')) +
      "; printf %s $#; printf '[%s]' \"$@\"; test -e CANARY && printf ' CANARY'");
}

struct SystemTest : ::testing::Test {
  // One upload answered with `output`; true when the registry accepted it.
  bool acceptedAfter(const std::optional<std::string>& output) {
    env.next_outputs = {output};
    return sendRegistryServiceFile(model);
  }
  TestEnv env;
  MachineComponentServices model;
};

TEST(PosixEnv, KeepsTheWholeOutput) {
  // Lines beyond one read; a failing exit; a NUL drops the rest of its read.
  EXPECT_EQ(PosixEnv().runCommand("printf '%0300d\\n' 0"), std::string(300, '0') + "\n");
  EXPECT_EQ(PosixEnv().runCommand("printf 'partial\\n'; exit 3"), "partial\n");
  EXPECT_EQ(PosixEnv().runCommand("printf 'ab\\0cd\\nef\\n'"), "abef\n");
}

// A command that outlives its deadline is killed with everything it
// started, whether its output is read or not; the call returns what it
// printed so far and logs it. While it runs, the loop's action runs.
TEST(PosixEnv, EndsACommandAtItsDeadlineWithItsProcessGroup) {
  for (const bool capture : {true, false}) {
    int acted = 0;  // while it waits
    WhileCommandsRun count([&] { ++acted; });
    TestEnv env;
    const std::string pid_file = env.root + "/pid";
    const CommandOutcome outcome =
        runWithDeadline("sleep 60 & echo $! >" + pid_file + "; echo started; exec sleep 60", capture,
                        std::chrono::milliseconds(300));
    EXPECT_EQ(outcome.output, capture ? "started\n" : "");
    EXPECT_TRUE(outcome.overran && WIFSIGNALED(outcome.status) && acted > 0);
    EXPECT_TRUE(pd::logged("Command sleep did not end within 300 ms; its process group was killed.", 3));
    // The second overrun in a row puts sleep on probation.
    EXPECT_EQ(
        pd::logged("Command sleep gets a tenth of its deadline for 10 s: it did not end within it twice in a "
                   "row.",
                   3),
        !capture);
    const std::string stat = "/proc/" + std::to_string(std::stoi(env.read(pid_file))) + "/stat";
    EXPECT_TRUE(eventually([&] {  // gone, or dead and not yet reaped by its new parent
      return env.read(stat).empty() || env.read(stat).find(") Z") != std::string::npos;
    }));
  }
  // On probation, sleep gets a tenth of its deadline, until a call ends in time.
  const auto five_seconds = std::chrono::seconds(5);
  EXPECT_TRUE(runWithDeadline("sleep 2", true, five_seconds).overran);
  EXPECT_TRUE(pd::logged("Command sleep did not end within 500 ms; its process group was killed.", 3));
  EXPECT_FALSE(runWithDeadline("sleep 0", true, five_seconds).overran);
  EXPECT_FALSE(runWithDeadline("sleep 1", true, five_seconds).overran);
  // Run for its effect, a command ends with its shell, as with system(3).
  const CommandOutcome effect =
      runWithDeadline("true; sleep 2 & exit 3", false, std::chrono::milliseconds(500));
  EXPECT_TRUE(!effect.overran && effect.status == 3 << 8);
  // Ended while the loop had its turn past the deadline: not overrun.
  WhileCommandsRun slow([] { usleep(600 * 1000); });
  const CommandOutcome late =
      runWithDeadline("true; sleep 0.2; echo finished", true, std::chrono::milliseconds(500));
  EXPECT_TRUE(!late.overran && late.output == "finished\n");
}

// Each program's deadline, as the overrun's line names it; "exec" is skipped.
TEST(PosixEnv, EachProgramHasItsDeadline) {
  // clang-format off
  const std::pair<const char*, int> cases[] = {{"exec iptables -t nat -F IOT", 3000},
      {"/sbin/ifconfig Trusted", 2000}, {"echo 1 > f", 2000}, {"timeout -t 5 GSMUtil iccid", 7000},
      {"curl --cert c", 10000}, {"/usr/local/bin/tarn-vpn-manager -check", 10000}, {"sh -c x", 10000}};
  // clang-format on
  for (const auto& [command, ms] : cases) EXPECT_EQ(commandDeadline(command).count(), ms) << command;
}

// What an operator sees the daemon run, word for word (the delete's double
// blank included): the chain's set-up, one rule added and deleted, an upload.
TEST_F(SystemTest, ChainRuleAndUploadCommandsAreWordForWord) {
  ServiceEndpoint e = parseEndpointText("opcua:TCP:1:192.168.2.20:4840", "false");
  e.EndpointExternalPORT = 59402;
  model.ComponentIDPrefix = "Press4";
  setupNatChain(), addPortForwarding(e), deletePortForwarding(e), acceptedAfter("200\n");
  // clang-format off
  EXPECT_EQ(env.commands, (Strings{"echo 1 > /proc/sys/net/ipv4/ip_forward",
      "iptables -t nat -D PREROUTING -j IOT", "iptables -t nat -F IOT", "iptables -t nat -N IOT",
      "iptables -t nat -A PREROUTING -j IOT",
      "iptables -t nat -A IOT -i Untrusted -p TCP --dport 59402 -j DNAT --to-destination 192.168.2.20:4840",
      "iptables -t nat -D IOT -i Untrusted -p TCP --dport 59402 -j DNAT  --to-destination 192.168.2.20:4840",
      "curl --cert /var/provisioning/cert/private/ID_Bundle_Certificate.pem --cacert "
      "/var/provisioning/cert/public/IoT-ID-Bundle-RootCA.crt --fail --silent --show-error --globoff "
      "--connect-timeout 5 --max-time 8 -H \"Content-Type: application/xml\" -X POST --data-binary @" +
      env.path("RegisterMachineServices.xml") + " -o /dev/null -s -w \"%{http_code}\n\" https://" +
      registry_host + "/v2/machineservices/Press4"}));
  // clang-format on
}

TEST_F(SystemTest, NatRulesGetEachReceivedValueAsItsOwnWord) {
  // Every received value reaches iptables as its own unchanged word, and
  // nothing else runs.
  for (const std::string v :
       {"", " a b", "x; touch CANARY", "x && touch CANARY", "x | touch CANARY", "$(touch CANARY)",
        "`touch CANARY`", "'; touch CANARY; '", "\"", "x\ntouch CANARY", "*", "[ab]", "#"}) {
    ServiceEndpoint e;
    e.EndpointZone = e.EndpointPROT = e.EndpointIP = e.EndpointPORT = v;
    env.commands.clear();
    addPortForwarding(e);
    deletePortForwarding(e);
    ASSERT_EQ(env.commands.size(), 2u);
    for (const std::string& command : env.commands)
      EXPECT_THAT(wordsOf(command),
                  AllOf(StartsWith("14["), EndsWith("]"), HasSubstr("[-i][" + v + "][-p][" + v + "]"),
                        HasSubstr("[--dport][0][-j][DNAT][--to-destination][" + v + ":" + v + "]")));
  }
}

// Rules go only to components; trailing white space (a pretty-printed endpoint's line break and
// indentation) is no part of a rule's words.
TEST_F(SystemTest, ForwardsOnlyToComponentAddressesWithoutTrailingSpace) {
  const NatPortForwarding forwarding;
  auto refused = [&](const std::string& address) {
    return forwarding.refusal(parseEndpointText("s:TCP:1:" + address + ":80", "false")) != nullptr;
  };
  for (const char* address : {"192.168.2.20", "10.0.0.1 \t\r\n "}) EXPECT_FALSE(refused(address)) << address;
  for (const char* address : {"192.168.2.1", "198.51.100.1\n", "192.168.2.255", "127.0.0.1", "127.9.9.9",
                              "0.0.0.0", "255.255.255.255", "224.0.0.1", "239.9.9.9", "0177.0.0.1", "127.1",
                              "10.0.0.1-10.0.0.9", "gw.local", " 10.0.0.1"})
    EXPECT_TRUE(refused(address)) << address;
  addPortForwarding(parseEndpointText("opcua:TCP:1:192.168.2.20:4840\n        ", "false"));
  EXPECT_THAT(wordsOf(env.commands.back()), EndsWith("[--to-destination][192.168.2.20:4840]"));
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
    env.next_outputs = outputs;
    env.commands.clear();
    (iccid ? model.IccID : model.Imsi).clear();
    // A second created phase runs no tool.
    for (int phase = 0; phase < 2; ++phase) (iccid ? readIccID : readImsi)(model);
    EXPECT_EQ(iccid ? model.IccID : model.Imsi, expected);
    EXPECT_EQ(env.commands, Strings(runs, "timeout -t 5 /usr/local/bin/GSMUtil " +
                                              std::string(iccid ? "iccid" : "provider")));
  }
}

TEST_F(SystemTest, ZoneAddressesLoseNewlinesAndAnUnstartableReadIsEmpty) {
  model.MgUntrustedZoneIPAddress = "old", env.next_outputs = {std::nullopt, "192.168.\n2.1\n\n"};
  readZoneIPAddresses(model);
  EXPECT_EQ(model.MgUntrustedZoneIPAddress + "|" + model.MgTrustedZoneIPAddress, "|192.168.2.1");
}

TEST_F(SystemTest, UploadIsAcceptedOnlyOnTwoHundreds) {
  for (const char* output : {"200\n", "201\n", "299", "204"}) EXPECT_TRUE(acceptedAfter(output)) << output;
  for (const char* output : {"500\n", "000\n", "", "2000\n", "20\n", " 200\n", "200 200 200", "200\n200\n"})
    EXPECT_FALSE(acceptedAfter(output)) << output;
  EXPECT_FALSE(acceptedAfter(std::nullopt));
}

// The prefix stays one literal path segment of the URL whatever it holds:
// curl sees no glob, query, fragment, further segment or dot segment, and
// the shell runs nothing else.
TEST_F(SystemTest, UploadUrlEndsWithThePrefixAsOneEncodedSegment) {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"Plant:1 A", "Plant%3A1%20A"}, {"a-b.c_d~9Z", "a-b.c_d~9Z"}, {"{a,b}", "%7Ba%2Cb%7D"},
      {"[1-9]", "%5B1-9%5D"}, {"a?b#c", "a%3Fb%23c"}, {"100%", "100%25"}, {"../x/y", "..%2Fx%2Fy"},
      {"..", "%2E%2E"}, {".", "%2E"}, {"\xC3\xA9\x7F", "%C3%A9%7F"},
      {"x';touch CANARY;'", "x%27%3Btouch%20CANARY%3B%27"}};
  // clang-format on
  for (const auto& [prefix, segment] : cases) {
    model.ComponentIDPrefix = prefix;
    acceptedAfter("200\n");
    EXPECT_THAT(wordsOf(env.commands.back()),
                EndsWith("[https://" + registry_host + "/v2/machineservices/" + segment + "]"));
  }
}

}  // namespace
