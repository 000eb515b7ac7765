// Whole cycles of the real phase handlers on a temporary spool, with the
// gateway's tools replaced by FakeDevice and the bus by the platform double.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "FakeDevice.h"
#include "MachineGatewayManager.h"
#include "PlatformDouble.h"
#include "env/Globals.h"

namespace fs = std::filesystem;
namespace pd = platform_double;
using Steps = std::vector<pd::Step>;

namespace {

constexpr uint32_t kNoMessage = MB_NO_MESSAGE;

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

const char* const kRuleTail = " -j DNAT --to-destination ";

std::string componentFile(const std::string& component, const std::string& service,
                          const std::vector<std::string>& endpoints) {
  std::string xml = "<RegMachCompSvcReq>\n<ComponentList>\n<Component ComponentID=\"" + component +
                    "\">\n<ServiceList>\n<Service ServiceID=\"" + service + "\">\n";
  for (const std::string& e : endpoints) xml += "<ServiceEndpoint>" + e + "</ServiceEndpoint>\n";
  return xml + "</Service>\n</ServiceList>\n</Component>\n</ComponentList>\n</RegMachCompSvcReq>\n";
}

class CycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pd::resetAll();
    char pattern[] = "/tmp/mgm-cycle-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    spool_ = root_ + "/spool/";
    setSpoolDirectoryForTesting(spool_);
    setShellRunner(&device_);
    new_registry_service_file = false;
    registry_service_file_send_request = false;
    tarn_is_iot = false;
  }
  void TearDown() override {
    manager_.reset();  // ends the receiver before its spool goes
    setShellRunner(nullptr);
    setSpoolDirectoryForTesting("");
    fs::remove_all(root_);
    registry_service_file_send_request = false;
    new_registry_service_file = false;
  }

  void put(const std::string& name, const std::string& text) { std::ofstream(spool_ + name) << text; }
  std::string registryRequest() {
    std::ifstream in(spool_ + "RegisterMachineServices.xml");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
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
  // Steps up to the first running cycle: created, start, then `cycles`
  // passes in Running.
  static Steps startedWith(size_t cycles) {
    Steps steps = {pd::result(kNoMessage), pd::start()};
    for (size_t i = 0; i < cycles; ++i) steps.push_back(pd::result(kNoMessage));
    return steps;
  }
  static constexpr size_t kFirstCycle = 2;  // HandleMessage index of the first cycle's pass

  FakeDevice device_;
  std::unique_ptr<MachineGatewayManager> manager_ = std::make_unique<MachineGatewayManager>();
  std::string root_, spool_;
};

TEST_F(CycleTest, CreatedPhaseRunsItsCommandsInOrder) {
  device_.vpn_check_status = 1;  // no receiver: keep the test off port 5600
  run({pd::result(kNoMessage)});
  const std::vector<std::string> expected = {
      "exec rm -r " + spool_ + "*",
      "echo 1 > /proc/sys/net/ipv4/ip_forward",
      "iptables -t nat -D PREROUTING -j IOT",
      "iptables -t nat -F IOT",
      "iptables -t nat -N IOT",
      "iptables -t nat -A PREROUTING -j IOT",
      "timeout -t 5 /usr/local/bin/GSMUtil iccid",
      "timeout -t 5 /usr/local/bin/GSMUtil provider",
      "/usr/local/bin/tarn-vpn-manager -check",
  };
  EXPECT_EQ(device_.commands, expected);
  EXPECT_TRUE(fs::is_directory(spool_));
}

TEST_F(CycleTest, FailedVpnCheckLeavesDaemonIdle) {
  device_.vpn_check_status = 256;
  run(Steps{pd::result(kNoMessage), pd::start(), pd::result(kNoMessage), pd::stop(4), pd::result(kNoMessage)},
      {{kFirstCycle, [&] {
          put("Press4_opcua.xml", componentFile("Press4/Drive", "opcua", {"opcua:TCP:1:192.168.2.20:4840"}));
        }}});
  EXPECT_TRUE(pd::logged("Tarn is not able to use IoT -> switch to idle mode", 6));
  EXPECT_FALSE(tarn_is_iot);
  EXPECT_TRUE(device_.starting("/sbin/ifconfig").empty());
  EXPECT_TRUE(device_.starting("iptables -t nat -A IOT").empty());
  EXPECT_EQ(device_.starting("exec rm").size(), 1u);  // only the created phase's
  EXPECT_EQ(pd::repliedStatuses(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 1, 7}));
}

TEST_F(CycleTest, AnnouncedFileIsForwardedWrittenAndPostedInOneCycle) {
  run(startedWith(2), {{kFirstCycle, [&] {
                          put("Drive_opcua.xml",
                              componentFile("Press4/Drive", "opcua", {"opcua:TCP:1:192.168.2.20:4840"}));
                        }}});
  std::vector<std::string> adds = device_.starting("iptables -t nat -A IOT ");
  ASSERT_EQ(adds.size(), 2u);
  EXPECT_NE(adds[0].find("-i Untrusted -p TCP --dport "), std::string::npos);
  EXPECT_NE(adds[0].find(std::string(kRuleTail) + "192.168.2.20:4840"), std::string::npos);
  EXPECT_NE(adds[1].find("-i Trusted -p TCP --dport "), std::string::npos);
  EXPECT_NE(adds[1].find(std::string(kRuleTail) + "192.168.2.1:9080"), std::string::npos);

  // Rules first, then the post, all in the first cycle; the second cycle
  // changes nothing and sends nothing.
  std::vector<std::string> curls = device_.starting("curl ");
  ASSERT_EQ(curls.size(), 1u);
  EXPECT_NE(curls[0].find("https://" + registry_host + "/v2/machineservices/Press4"), std::string::npos);
  std::string request = registryRequest();
  EXPECT_NE(request.find("<GatewayID>Press4/Tarn</GatewayID>"), std::string::npos);
  EXPECT_NE(request.find("<ICCID>89490200001234567890</ICCID>"), std::string::npos);
  EXPECT_NE(request.find("<IMSI>262011234567890</IMSI>"), std::string::npos);
  EXPECT_NE(request.find("opcua:TCP:1:198.51.100.1:"), std::string::npos);
  EXPECT_NE(request.find("gwiotsvc:TCP:1:192.168.2.1:"), std::string::npos);
  EXPECT_TRUE(pd::logged("MachineComponentServices ready to send to registry.", 6));
  EXPECT_EQ(pd::countLogged("MachineComponentServices ready to send"), 1);
  EXPECT_EQ(pd::countLogged("Added new Service: "), 2);
}

TEST_F(CycleTest, MissingZoneAddressEndsCycleBeforeReading) {
  device_.outputs[FakeDevice::ifconfig("Trusted")] = "";
  run(startedWith(1), {{kFirstCycle, [&] { put("broken.xml", "<not xml"); }}});
  EXPECT_EQ(device_.starting("/sbin/ifconfig").size(), 2u);
  EXPECT_EQ(pd::countLogged("Error while trying to pares"), 0);
  EXPECT_TRUE(device_.starting("iptables -t nat -A IOT").empty());
}

TEST_F(CycleTest, EmptyPrefixEndsCycleAfterReading) {
  run(startedWith(1),
      {{kFirstCycle, [&] { put("x.xml", componentFile("/Drive", "opcua", {"a:TCP:1:10.0.0.2:80"})); }}});
  EXPECT_TRUE(device_.starting("iptables -t nat -A IOT").empty());
  EXPECT_TRUE(device_.starting("curl").empty());
}

TEST_F(CycleTest, StopWithdrawsEverythingAndTellsTheRegistry) {
  Steps steps = startedWith(1);
  steps.push_back(pd::stop(4));
  steps.push_back(pd::result(kNoMessage));
  run(steps, {{kFirstCycle, [&] {
                 put("Drive_opcua.xml",
                     componentFile("Press4/Drive", "opcua", {"opcua:TCP:1:192.168.2.20:4840"}));
               }}});
  std::vector<std::string> adds = device_.starting("iptables -t nat -A IOT ");
  std::vector<std::string> deletes = device_.starting("iptables -t nat -D IOT ");
  ASSERT_EQ(deletes.size(), 2u);
  // Each delete names the same rule as its add: only -A/-D and the blank
  // before --to-destination differ.
  for (size_t i = 0; i < 2; ++i) {
    std::string expected = adds[i];
    expected.replace(expected.find(" -A "), 4, " -D ");
    expected.replace(expected.find(kRuleTail), std::string(kRuleTail).size(), " -j DNAT  --to-destination ");
    EXPECT_NE(std::find(deletes.begin(), deletes.end(), expected), deletes.end()) << expected;
  }
  EXPECT_EQ(device_.starting("curl ").size(), 2u);
  std::string request = registryRequest();
  EXPECT_NE(request.find("<ComponentList/>"), std::string::npos) << request;
  EXPECT_NE(request.find("<MGNetworkAddresses/>"), std::string::npos) << request;
  EXPECT_NE(request.find("<GatewayID>Press4/Tarn</GatewayID>"), std::string::npos);
  EXPECT_TRUE(pd::logged("MachineGatewayManager join receiver thread: OK", 6));
  EXPECT_FALSE(fs::exists(spool_ + "Drive_opcua.xml"));
  EXPECT_EQ(pd::repliedStatuses(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 1, 7}));
}

TEST_F(CycleTest, SecondStopFindsNoReceiver) {
  run({pd::result(kNoMessage), pd::start(), pd::stop(4), pd::start(), pd::stop(4), pd::result(kNoMessage)});
  EXPECT_EQ(pd::countLogged("MachineGatewayManager join receiver thread: OK"), 1);
  EXPECT_TRUE(pd::logged("Could not join reviever thread (error code 0x00000000).", 3));
}

TEST_F(CycleTest, ResetRestoresPublishedForwardsAfterEmptyingTheChain) {
  Steps steps = startedWith(1);
  steps.push_back(pd::reset());
  steps.push_back(pd::result(kNoMessage));
  run(steps, {{kFirstCycle, [&] {
                 put("Drive_opcua.xml",
                     componentFile("Press4/Drive", "opcua", {"opcua:TCP:1:192.168.2.20:4840"}));
               }}});
  std::vector<std::string> adds = device_.starting("iptables -t nat -A IOT ");
  ASSERT_EQ(adds.size(), 4u);
  EXPECT_EQ(adds[2], adds[0]);
  EXPECT_EQ(adds[3], adds[1]);
  // The second flush of the chain comes before the restored rules.
  size_t last_flush = 0, first_restore = 0;
  for (size_t i = 0; i < device_.commands.size(); ++i) {
    if (device_.commands[i] == "iptables -t nat -F IOT") last_flush = i;
  }
  for (size_t i = 0, seen = 0; i < device_.commands.size(); ++i)
    if (device_.commands[i].rfind("iptables -t nat -A IOT ", 0) == 0 && ++seen == 3) first_restore = i;
  EXPECT_LT(last_flush, first_restore);
  EXPECT_EQ(pd::countLogged("Removed old Service"), 0);
}

TEST_F(CycleTest, RefusedUploadIsPostedAgainInALaterCycle) {
  device_.curl_outputs = {"500\n", "200\n"};
  run(startedWith(2), {{kFirstCycle, [&] {
                          put("Drive_opcua.xml",
                              componentFile("Press4/Drive", "opcua", {"opcua:TCP:1:192.168.2.20:4840"}));
                        }}});
  EXPECT_EQ(device_.starting("curl ").size(), 2u);
  EXPECT_FALSE(registry_service_file_send_request);
  EXPECT_EQ(pd::countLogged("MachineComponentServices ready to send"), 1);
}

// The receiver binds the real port 5600 here (these tests run serially).
int sendDatagram(const std::string& text) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(5600);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ssize_t n = sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(fd);
  return n < 0 ? -1 : 0;
}

// Sends `text` until `path` appears in the spool (the receiver may not have
// bound its port yet), for at most about 20 s.
bool announceUntilSpooled(const std::string& text, const std::string& path) {
  for (int i = 0; i < 200 && !fs::exists(path); ++i) {
    sendDatagram(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return fs::exists(path);
}

TEST_F(CycleTest, ReceiverSpoolsAgainAfterResetStartResetStart) {
  bool spooled = false;
  Steps steps = {pd::result(kNoMessage), pd::start(), pd::reset(),
                 pd::result(kNoMessage), pd::start(), pd::reset(),
                 pd::result(kNoMessage), pd::start(), pd::result(kNoMessage)};
  run(steps, {{8, [&] {
                 spooled = announceUntilSpooled(
                     componentFile("Line1/Press", "opcua", {"opcua:TCP:1:192.168.2.20:4840"}),
                     spool_ + "Press_opcua.xml");
               }}});
  EXPECT_TRUE(spooled);
  EXPECT_EQ(pd::countLogged("Could not bind socket"), 0);
}

}  // namespace
