// Whole cycles of the real phase handlers on the test's device (TestEnv) and
// the platform double's bus.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <cstring>
#include <iterator>
#include <sstream>

#include "MachineGatewayManager.h"
#include "env/TestEnv.h"

namespace pd = platform_double;
using Strings = std::vector<std::string>;

namespace {

const pd::Step kPass = pd::result(MB_NO_MESSAGE);

// The created phase binds the real receiver to UDP port 5600. Where the
// process may, it moves into a network namespace of its own first (loopback
// up), so the port is free whatever else runs on the machine.
const bool kPrivateNetwork = [] {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  request.ifr_flags = IFF_UP;
  const bool up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up;
}();

// A service file of `component` with one opcua endpoint at `ip`.
std::string announcement(const std::string& component, const std::string& ip = "192.168.2.20") {
  return "<RegMachCompSvcReq><ComponentList><Component ComponentID=\"" + component +
         "\">\n<ServiceList><Service ServiceID=\"opcua\"><ServiceEndpoint>opcua:TCP:1:" + ip +
         ":4840</ServiceEndpoint></Service></ServiceList></Component></ComponentList></RegMachCompSvcReq>";
}

// Runs the lifecycle over `steps`; before HandleMessage number i, the action
// at i (if any) runs. A step without a message takes its whole time-out.
void run(MachineGatewayManager& manager, std::vector<pd::Step> steps,
         std::map<size_t, std::function<void()>> before) {
  pd::scriptSteps(steps);
  pd::onHandleMessage([&](size_t index) {
    if (before.count(index)) before[index]();
    if (index < steps.size() && !steps[index].request && steps[index].result == MB_NO_MESSAGE)
      dynamic_cast<TestEnv&>(Env::current()).advance(pd::handleMessageTimeouts().back() / 1000);
  });
  ASSERT_EQ(manager.connect(), 0u);
  manager.run();
}

class CycleTest : public ::testing::Test {
 protected:
  void run(std::vector<pd::Step> steps, std::map<size_t, std::function<void()>> before) {
    ::run(manager_, std::move(steps), std::move(before));
  }
  std::function<void()> announce(const std::string& ip = "192.168.2.20") {
    return [this, ip] { env_.write("Drive_opcua.xml", announcement("Press4/Drive", ip)); };
  }
  Strings adds() const { return env_.starting("iptables -t nat -A IOT "); }
  // The words of the rules added (-A) or deleted (-D), from the chain on.
  std::set<Strings> rules(const std::string& action) const {
    std::set<Strings> words;
    for (const std::string& command : env_.starting("iptables -t nat " + action + " IOT ")) {
      std::istringstream in(command.substr(19));
      words.emplace(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
    }
    return words;
  }
  // Every request posted was on file and complete.
  void expectPostsComplete(size_t count) {
    EXPECT_EQ(env_.posted.size(), count);
    for (const std::string& body : env_.posted)
      EXPECT_NE(body.find("</RegMachCompSvcReq>"), std::string::npos);
  }

  TestEnv env_;
  MachineGatewayManager manager_;
};

// Idle mode (the created phase wipes the spool, then no receiver and no
// cycle) is e2e.faults' idle reset.

// A cycle ends early without a zone address (before reading) or without a
// prefix (after reading).
TEST(Cycle, EndsWithoutZoneAddressOrPrefix) {
  for (const bool address : {false, true}) {
    TestEnv env;
    MachineGatewayManager manager;
    run(manager, {kPass, pd::start(), kPass}, {{2, [&] {
                                                  if (!address) env.next_outputs = {"", ""};
                                                  env.write("broken.xml", "<not xml");
                                                  env.write("x.xml", announcement("/Drive"));
                                                }}});
    EXPECT_EQ(pd::countLogged("Error while trying to pares"), address ? 1 : 0);
    EXPECT_EQ(env.starting("/sbin/ifconfig").size(), 2u);
    EXPECT_TRUE(env.starting("iptables -t nat -A IOT").empty() && env.starting("curl").empty());
  }
}

// The first cycle forwards an announced file and posts the request; a refused
// upload goes out again after its back-off, also when a reset has wiped the
// request file meanwhile (the reset puts the forwards back after emptying the
// chain); a stop withdraws every rule added and posts the withdrawal. Every
// post finds a complete request on file. The receiver spools again after the
// reset and the stop.
TEST_F(CycleTest, UploadsGoOutCompleteThroughRefusalResetAndStop) {
  env_.curl_outputs = {"500\n", "200\n"};
  bool spooled = false;
  run({kPass, pd::start(), kPass, pd::reset(), pd::start(), kPass, pd::stop(4), pd::start()},
      {{2, announce()},
       {3, [&] { EXPECT_EQ(std::to_string(adds().size()) + std::to_string(env_.posted.size()), "21"); }},
       {4,
        [&] {
          const Strings added = adds();
          EXPECT_EQ(Strings(env_.commands.end() - 2, env_.commands.end()),
                    Strings(added.begin(), added.begin() + 2));
        }},
       {5, [&] { announce()(), env_.advance(10); }},  // past the refused upload's back-off
       {8, [&] {
          spooled =
              sendUntil(5600, announcement("Press4/Pump"), [&] { return env_.exists("Pump_opcua.xml"); });
        }}});
  EXPECT_EQ(adds().size(), 4u);
  EXPECT_EQ(env_.starting("iptables -t nat -D IOT ").size(), 2u);
  EXPECT_EQ(rules("-D"), rules("-A"));
  expectPostsComplete(3);
  EXPECT_EQ(pd::countLogged("MachineGatewayManager join receiver thread: OK"), 2);
  EXPECT_TRUE(spooled);
  EXPECT_EQ(pd::countLogged("Could not bind socket"), 0);
}

// A registry request that cannot be written completely is neither put in
// place nor posted; the next cycle writes and posts it.
TEST_F(CycleTest, UnwritableRequestKeepsTheOldOneAndIsWrittenNextCycle) {
  env_.curl_outputs = {"500\n", "200\n"};  // a refused post waits for the next cycle
  std::string before;
  const auto fill_disk = [&] {
    before = env_.read("RegisterMachineServices.xml");
    announce("192.168.2.21")();
    env_.disk_full = true;
  };
  const auto kept = [&] {
    EXPECT_EQ(env_.read("RegisterMachineServices.xml"), before);
    EXPECT_EQ(env_.posted.size(), 1u);
    env_.disk_full = false;
  };
  run({kPass, pd::start(), kPass, kPass, kPass}, {{2, announce()}, {3, fill_disk}, {4, kept}});
  EXPECT_EQ(pd::countLogged("Could not write the registry request"), 1);
  expectPostsComplete(2);
  EXPECT_NE(env_.posted[1], env_.posted[0]);
}

// A spool that cannot be listed (out of descriptors, say) skips the running
// cycle, said at level 3, rather than withdrawing every forward; a stop still
// withdraws them.
TEST_F(CycleTest, UnlistableSpoolSkipsTheRunningCycleButNotTheStop) {
  run({kPass, pd::start(), kPass, kPass, pd::stop(4)},
      {{2, announce()}, {3, [&] { env_.list_error = EMFILE; }}});
  expectPostsComplete(2);  // the first cycle's and the stop's withdrawal
  EXPECT_EQ(pd::countLogged("could not be listed: Too many open files"), 2);  // the cycle and the stop
}

// So do the gateway's own addresses: no forward is withdrawn or added anew.
TEST_F(CycleTest, UnlistedGatewayAddressesSkipTheRunningCycleButNotTheStop) {
  run({kPass, pd::start(), kPass, kPass, pd::stop(4)},
      {{2, announce()}, {3, [&] { env_.gateway_addresses.clear(); }}});
  expectPostsComplete(2);
  EXPECT_EQ(pd::countLogged("Could not list the gateway's own addresses: the running cycle is skipped"), 1);
}

// A reset into idle mode adds no forward and forgets the published ones, so
// the reset after it has none to put back.
TEST_F(CycleTest, ResetIntoIdleModeDropsTheForwards) {
  run({kPass, pd::start(), kPass, pd::reset(), pd::reset()},
      {{2, announce()}, {3, [&] { env_.vpn_check_status = 1; }}, {4, [&] { env_.vpn_check_status = 0; }}});
  EXPECT_EQ(adds().size(), 2u);
}

}  // namespace
