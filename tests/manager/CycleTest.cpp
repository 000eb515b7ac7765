// Whole cycles of the real phase handlers on the test's device (TestEnv) and
// the platform double's bus.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <sstream>

#include "MachineGatewayManager.h"
#include "env/TestEnv.h"

namespace pd = platform_double;
using Steps = std::vector<pd::Step>;
using Strings = std::vector<std::string>;

namespace {

constexpr uint32_t kNoMessage = MB_NO_MESSAGE;
const pd::Step kPass = pd::result(kNoMessage);

// The created phase starts the real receiver on UDP port 5600. Where the
// process may, it moves into a network namespace of its own first, so the
// port can be taken whatever else runs on the machine.
class PrivateNetwork : public ::testing::Environment {
 public:
  void SetUp() override {
    if (unshare(CLONE_NEWNET) != 0) return;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
      request.ifr_flags |= IFF_UP;
      ioctl(fd, SIOCSIFFLAGS, &request);
    }
    close(fd);
  }
};
const auto* const kPrivateNetwork = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

// True when no receiver holds port 5600.
bool receiverPortFree() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address{AF_INET, htons(5600), {}, {}};
  const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return bound;
}

const std::string kDrive = componentFile("Press4/Drive", "opcua", {"opcua:TCP:1:192.168.2.20:4840"});

class CycleTest : public ::testing::Test {
 protected:
  // Runs the lifecycle over `steps`; before HandleMessage number i, the
  // action at i (if any) runs.
  void run(Steps steps, std::map<size_t, std::function<void()>> before = {}) {
    pd::scriptSteps(std::move(steps));
    pd::onHandleMessage([&](size_t index) {
      auto it = before.find(index);
      if (it != before.end()) it->second();
    });
    ASSERT_EQ(manager_->connect(), 0u);
    manager_->run();
  }
  std::function<void()> announce(const std::string& text = kDrive) {
    return [this, text] { env_.write("Drive_opcua.xml", text); };
  }
  Strings adds() const { return env_.starting("iptables -t nat -A IOT "); }
  Strings deletes() const { return env_.starting("iptables -t nat -D IOT "); }
  // The words of a rule command from its -A or -D on, whatever the blanks.
  static Strings rule(const std::string& command) {
    std::istringstream in(command.substr(command.find(" nat ") + 5));
    return Strings(std::istream_iterator<std::string>(in), {});
  }
  // Every request posted was on file and complete.
  void expectPostsComplete(size_t count) {
    EXPECT_EQ(env_.posted.size(), count);
    for (const std::string& body : env_.posted)
      EXPECT_NE(body.find("</RegMachCompSvcReq>"), std::string::npos);
  }

  TestEnv env_;
  std::unique_ptr<MachineGatewayManager> manager_ = std::make_unique<MachineGatewayManager>();
};

// Idle mode: the created phase wipes the spool and reads the identity, then
// nothing runs, a start brings up no receiver and a stop withdraws nothing.
TEST_F(CycleTest, FailedVpnCheckLeavesDaemonIdle) {
  env_.vpn_check_status = 256;
  env_.write("stale.xml", "");
  bool port_free = false;
  run({kPass, pd::start(), kPass, pd::stop(4), pd::start(), kPass},
      {{2, announce()}, {5, [&] { port_free = receiverPortFree(); }}});
  EXPECT_TRUE(pd::logged("Tarn is not able to use IoT -> switch to idle mode", 6));
  EXPECT_TRUE(port_free);
  EXPECT_FALSE(env_.exists("stale.xml"));
  EXPECT_TRUE(env_.starting("/sbin/ifconfig").empty());
  EXPECT_TRUE(adds().empty());
  EXPECT_EQ(env_.starting("exec rm").size(), 1u);  // only the created phase's
  EXPECT_EQ(pd::repliedStatuses(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 1, 2, 3, 7}));
}

TEST_F(CycleTest, AnnouncedFileIsForwardedWrittenAndPostedInOneCycle) {
  run({kPass, pd::start(), kPass, kPass}, {{2, announce()}});
  const Strings rules = adds();
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_NE(rules[0].find("-i Untrusted -p TCP --dport "), std::string::npos);
  EXPECT_EQ(rule(rules[0]).back(), "192.168.2.20:4840");
  EXPECT_NE(rules[1].find("-i Trusted -p TCP --dport "), std::string::npos);
  EXPECT_EQ(rule(rules[1]).back(), "192.168.2.1:9080");

  // Rules first, then the post, all in the first cycle; the second cycle
  // changes nothing and sends nothing.
  const Strings curls = env_.starting("curl ");
  ASSERT_EQ(curls.size(), 1u);
  EXPECT_NE(curls[0].find("https://" + registry_host + "/v2/machineservices/Press4"), std::string::npos);
  expectPostsComplete(1);
  for (const char* text :
       {"<GatewayID>Press4/Tarn</GatewayID>", "<ICCID>89490200001234567890</ICCID>",
        "<IMSI>262011234567890</IMSI>", "opcua:TCP:1:198.51.100.1:", "gwiotsvc:TCP:1:192.168.2.1:"})
    EXPECT_NE(env_.posted[0].find(text), std::string::npos) << text;
  EXPECT_EQ(pd::countLogged("MachineComponentServices ready to send"), 1);
  EXPECT_EQ(pd::countLogged("Added new Service: "), 2);
}

// A cycle ends early without a zone address (before reading) or without a
// prefix (after reading).
TEST(Cycle, EndsWithoutZoneAddressOrPrefix) {
  for (const bool address : {false, true}) {
    TestEnv env;
    MachineGatewayManager manager;
    if (!address) env.outputs[TestEnv::ifconfig("Trusted")] = "";
    pd::scriptSteps({kPass, pd::start(), kPass});
    pd::onHandleMessage([&](size_t index) {
      if (index != 2) return;
      env.write("broken.xml", "<not xml");
      env.write("x.xml", componentFile("/Drive", "opcua", {"a:TCP:1:10.0.0.2:80"}));
    });
    ASSERT_EQ(manager.connect(), 0u);
    manager.run();
    EXPECT_EQ(pd::countLogged("Error while trying to pares"), address ? 1 : 0);
    EXPECT_EQ(env.starting("/sbin/ifconfig").size(), 2u);
    EXPECT_TRUE(env.starting("iptables -t nat -A IOT").empty());
    EXPECT_TRUE(env.starting("curl").empty());
  }
}

// A refused upload is posted again in the next cycle, also when a reset has
// wiped the request file meanwhile; a stop withdraws every rule it added and
// posts the withdrawal. Every post finds a complete request on file.
TEST_F(CycleTest, UploadsGoOutCompleteThroughRefusalResetAndStop) {
  env_.curl_outputs = {"500\n", "200\n"};
  run({kPass, pd::start(), kPass, pd::reset(), pd::start(), kPass, pd::stop(4), kPass},
      {{2, announce()}, {5, announce()}});
  EXPECT_EQ(adds().size(), 4u);  // two restored by the reset
  const Strings withdrawn = deletes();
  ASSERT_EQ(withdrawn.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    Strings expected = rule(adds()[i]);
    expected[0] = "-D";
    EXPECT_TRUE(rule(withdrawn[0]) == expected || rule(withdrawn[1]) == expected) << adds()[i];
  }
  expectPostsComplete(3);
  const std::string& withdrawal = env_.posted.back();
  for (const char* text : {"<ComponentList/>", "<MGNetworkAddresses/>", "<GatewayID>Press4/Tarn</GatewayID>"})
    EXPECT_NE(withdrawal.find(text), std::string::npos) << text;
  EXPECT_FALSE(registry_service_file_send_request);
  EXPECT_EQ(pd::countLogged("MachineGatewayManager join receiver thread: OK"), 2);
  EXPECT_FALSE(env_.exists("Drive_opcua.xml"));
  EXPECT_EQ(pd::repliedStatuses(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 1, 7}));
}

// A registry request that cannot be written completely is neither put in
// place nor posted; the next cycle writes and posts it.
TEST_F(CycleTest, UnwritableRequestKeepsTheOldOneAndIsWrittenNextCycle) {
  env_.curl_outputs = {"500\n", "200\n"};  // a refused post waits for the next cycle
  std::string before;
  run({kPass, pd::start(), kPass, kPass, kPass},
      {{2, announce()},
       {3,
        [&] {
          before = env_.read("RegisterMachineServices.xml");
          announce(componentFile("Press4/Drive", "opcua", {"opcua:TCP:1:192.168.2.21:4840"}))();
          env_.disk_full = true;
        }},
       {4, [&] {
          EXPECT_EQ(env_.read("RegisterMachineServices.xml"), before);
          EXPECT_EQ(env_.posted.size(), 1u);
          env_.disk_full = false;
        }}});
  EXPECT_EQ(pd::countLogged("Could not write the registry request"), 1);
  expectPostsComplete(2);
  EXPECT_NE(env_.posted[1], env_.posted[0]);
}

// A reset empties the chain and adds the published forwards again; a reset
// into idle mode adds none and forgets them, so a later reset has none to add.
TEST_F(CycleTest, ResetRestoresPublishedForwardsUnlessIdle) {
  run({kPass, pd::start(), kPass, pd::reset(), pd::reset(), pd::reset(), kPass},
      {{2, announce()}, {4, [&] { env_.vpn_check_status = 1; }}, {5, [&] { env_.vpn_check_status = 0; }}});
  const Strings rules = adds();
  ASSERT_EQ(rules.size(), 4u);
  EXPECT_EQ(rules[2], rules[0]);
  EXPECT_EQ(rules[3], rules[1]);
  // The restored rules come after the reset's flush of the chain.
  const auto at = [&](const std::string& command, int nth) {
    for (size_t i = 0; i < env_.commands.size(); ++i)
      if (env_.commands[i] == command && --nth == 0) return i;
    return env_.commands.size();
  };
  EXPECT_LT(at("iptables -t nat -F IOT", 2), at(rules[0], 2));
  EXPECT_TRUE(deletes().empty());
}

// The receiver runs again after a reset and after a stop and start.
TEST_F(CycleTest, ReceiverSpoolsAgainAfterResetAndAfterStopStart) {
  bool spooled = false;
  run({kPass, pd::start(), pd::reset(), pd::start(), pd::stop(4), pd::start(), kPass},
      {{6, [&] { spooled = sendUntil(5600, kDrive, [&] { return env_.exists("Drive_opcua.xml"); }); }}});
  EXPECT_TRUE(spooled);
  EXPECT_EQ(pd::countLogged("Could not bind socket"), 0);
}

}  // namespace
