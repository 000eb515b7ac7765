#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "PlatformDouble.h"
#include "TempSpool.h"
#include "intake/Receiver.h"
#include "intake/Spool.h"
#include "model/Globals.h"
#include "system/Shell.h"

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// Waits up to a generous bound for `condition`; true when it came.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

int openDescriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// A UDP socket bound to `port` on every interface (0: any free port), or -1.
int boundSocket(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return fd;
  close(fd);
  return -1;
}

uint16_t portOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A UDP port that nobody uses right now.
uint16_t freePort() {
  const int fd = boundSocket(0);
  const uint16_t port = portOf(fd);
  close(fd);
  return port;
}

void sendDatagram(uint16_t port, const std::string& payload) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  ASSERT_EQ(sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                   sizeof(address)),
            static_cast<ssize_t>(payload.size()));
  close(fd);
}

std::string serviceFile(const std::string& component, const std::string& service,
                        const std::string& body = "") {
  return "<Component ComponentID=\"M1/" + component + "\">\n<Service ServiceID=\"" + service + "\">\n" + body;
}

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_double::resetAll();
    run_thread = true;
    port_ = freePort();
  }
  void TearDown() override {
    if (running_) stop();
    run_thread = true;
  }

  static void* entry(void* port) {
    return runReceiver(*static_cast<std::string*>(port), receive_buffer_size);
  }

  void start() {
    port_text_ = std::to_string(port_);
    std::remove(spool_.temporaryFile().c_str());
    ASSERT_EQ(pthread_create(&thread_, nullptr, &ReceiverTest::entry, &port_text_), 0);
    running_ = true;
    // Bound once the temporary file is there: it is opened after the bind.
    ASSERT_TRUE(eventually([&] { return spool_.exists(incoming_file_name + xml_extension); }));
  }
  // Stops the receiver the way the stop phase does.
  void* stop() {
    run_thread = false;
    pthread_cancel(thread_);
    void* result = nullptr;
    pthread_join(thread_, &result);
    running_ = false;
    return result;
  }
  bool spooled(const std::string& name) {
    return eventually([&] { return spool_.exists(name); });
  }

  TempSpool spool_;
  uint16_t port_ = 0;
  std::string port_text_;
  pthread_t thread_{};
  bool running_ = false;
};

TEST_F(ReceiverTest, OversizedDatagramKeepsItsFirst4096Bytes) {
  start();
  std::string payload = serviceFile("Big", "S");
  for (size_t i = payload.size(); i < 5000; ++i) payload += static_cast<char>('a' + i % 26);
  sendDatagram(port_, payload);
  ASSERT_TRUE(spooled("Big_S.xml"));
  EXPECT_EQ(spool_.read("Big_S.xml"), payload.substr(0, 4096));
  EXPECT_THAT(platform_double::logTexts(), IsEmpty());
}

TEST_F(ReceiverTest, EmptyDatagramBecomesUnderscoreFile) {
  start();
  sendDatagram(port_, "");
  ASSERT_TRUE(spooled("_.xml"));
  EXPECT_EQ(spool_.read("_.xml"), "");
}

TEST_F(ReceiverTest, BurstOfDatagramsBecomesOneFileEach) {
  start();
  const int kCount = 40;
  for (int i = 0; i < kCount; ++i) sendDatagram(port_, serviceFile("C" + std::to_string(i), "S", "body"));
  for (int i = 0; i < kCount; ++i) {
    const std::string name = "C" + std::to_string(i) + "_S.xml";
    ASSERT_TRUE(spooled(name)) << name;
    EXPECT_EQ(spool_.read(name), serviceFile("C" + std::to_string(i), "S", "body"));
  }
}

TEST_F(ReceiverTest, StoppedReceiverReleasesItsPortAndFileAndStartsAgain) {
  const int descriptors = openDescriptors();
  start();
  sendDatagram(port_, serviceFile("First", "S"));
  ASSERT_TRUE(spooled("First_S.xml"));
  // Once the next temporary file is open the receiver is past its run_thread
  // test: the cancel ends it in the wait that follows.
  ASSERT_TRUE(spooled(incoming_file_name + xml_extension));
  EXPECT_EQ(stop(), PTHREAD_CANCELED);
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(spool_.read(incoming_file_name + xml_extension), "");  // left behind while waiting

  run_thread = true;
  start();
  sendDatagram(port_, serviceFile("Second", "S"));
  ASSERT_TRUE(spooled("Second_S.xml"));
  stop();
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_THAT(platform_double::logTexts(), IsEmpty());
}

TEST_F(ReceiverTest, CancelDuringABurstLeavesOnlyCompleteFiles) {
  const int descriptors = openDescriptors();
  start();
  // Cancelled at once after a burst, most likely while a file is being
  // handled: the receiver ends at its next wait or run_thread test.
  for (int i = 0; i < 20; ++i) sendDatagram(port_, serviceFile("C" + std::to_string(i), "S"));
  stop();
  EXPECT_EQ(openDescriptors(), descriptors);
  for (const std::string& name : spool_.entries()) {
    if (name == incoming_file_name + xml_extension) continue;
    EXPECT_EQ(spool_.read(name), serviceFile(name.substr(0, name.find('_')), "S")) << name;
  }
  EXPECT_THAT(platform_double::logTexts(), IsEmpty());
}

// Runs the receiver while the main thread's cleanup lists the spool: every
// file shows up complete and the temporary file never does.
TEST_F(ReceiverTest, CleanupMeetsTheReceiverOnlyInCompleteFiles) {
  start();
  const int kCount = 30;
  std::set<std::string> expected;
  for (int i = 0; i < kCount; ++i) expected.insert("C" + std::to_string(i) + "_S.xml");

  std::thread sender([&] {
    for (int i = 0; i < kCount; ++i) sendDatagram(port_, serviceFile("C" + std::to_string(i), "S", "body"));
  });
  MachineComponentServices incoming;
  std::set<std::string> listed;
  const bool all_listed = eventually([&] {
    cleanupServiceFiles(incoming);
    for (const std::string& name : incoming.ServiceFileNames) {
      EXPECT_EQ(expected.count(name), 1u) << name;
      listed.insert(name);
    }
    return listed == expected;
  });
  sender.join();
  EXPECT_TRUE(all_listed);
  for (const std::string& name : expected)
    EXPECT_EQ(spool_.read(name), serviceFile(name.substr(0, name.find('_')), "S", "body"));
}

// The fatal paths end the process; the child writes its log to standard
// error on the way out so that the message can be matched.
void dumpLog() {
  for (const std::string& text : platform_double::logTexts()) std::fprintf(stderr, "%s\n", text.c_str());
}

class ReceiverDeathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    platform_double::resetAll();
    run_thread = true;
  }
  void TearDown() override { run_thread = true; }
  TempSpool spool_;
};

TEST_F(ReceiverDeathTest, PortAbove65535EndsTheProcess) {
  for (const char* port : {"65536", "0x10000", "0200000", "99999abc"}) {
    EXPECT_EXIT(
        {
          std::atexit(dumpLog);
          runReceiver(port, receive_buffer_size);
        },
        ::testing::ExitedWithCode(1), "UDP Port is to big! \\(cast to unsigned short: max is 65535\\)")
        << port;
  }
}

TEST_F(ReceiverDeathTest, Port65535Binds) {
  for (const char* port : {"65535", "0xFFFF"}) {
    const int probe = boundSocket(65535);
    if (probe < 0) GTEST_SKIP() << "port 65535 is in use on this machine";
    close(probe);
    EXPECT_EXIT(
        {
          std::atexit(dumpLog);
          run_thread = false;  // bind, then leave at once
          runReceiver(port, receive_buffer_size);
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "")
        << port;
  }
}

TEST_F(ReceiverDeathTest, PortInUseEndsTheProcess) {
  const int fd = boundSocket(0);
  ASSERT_GE(fd, 0);
  const std::string port = std::to_string(portOf(fd));
  EXPECT_EXIT(
      {
        std::atexit(dumpLog);
        runReceiver(port, receive_buffer_size);
      },
      ::testing::ExitedWithCode(1), "Error in UDPServer: Could not bind socket");
  close(fd);
}

TEST_F(ReceiverDeathTest, UnwritableSpoolEndsTheProcess) {
  setSpoolDirectoryForTesting(spool_.root() + "/missing");
  const std::string port = std::to_string(freePort());
  EXPECT_EXIT(
      {
        std::atexit(dumpLog);
        runReceiver(port, receive_buffer_size);
      },
      ::testing::ExitedWithCode(1), "Error in UDPServer: Could not open File");
}

TEST_F(ReceiverDeathTest, NoSocketEndsTheProcess) {
  const std::string port = std::to_string(freePort());
  EXPECT_EXIT(
      {
        std::atexit(dumpLog);
        rlimit none;
        getrlimit(RLIMIT_NOFILE, &none);
        none.rlim_cur = 0;
        setrlimit(RLIMIT_NOFILE, &none);
        runReceiver(port, receive_buffer_size);
      },
      ::testing::ExitedWithCode(1), "Error in UDPServer: Could not create socket");
}

}  // namespace

namespace {

TEST(TrustedArrival, OnlyTheTrustedInterfaceAndLoopbackAreSpooled) {
  for (const char* name : {"Trusted", "lo"}) EXPECT_TRUE(isTrustedArrival(name)) << name;
  for (const char* name : {"Untrusted", "trusted", "Trusted0", "eth0", ""})
    EXPECT_FALSE(isTrustedArrival(name)) << name;
}

TEST(TrustedArrival, DropsAreReportedAtOnceThenAtMostOnceAMinuteWithTheirCount) {
  DropReport report;
  const DropReport::Clock::time_point start{};
  using std::chrono::seconds;
  EXPECT_EQ(report.dropped(start), 1u);
  EXPECT_EQ(report.dropped(start + seconds(1)), 0u);
  EXPECT_EQ(report.dropped(start + seconds(59)), 0u);
  EXPECT_EQ(report.dropped(start + seconds(60)), 3u);
  EXPECT_EQ(report.dropped(start + seconds(61)), 0u);
  EXPECT_EQ(report.dropped(start + seconds(200)), 2u);
}

}  // namespace

namespace {

// What sizeReceiveBuffer granted on a fresh socket, what getsockopt then
// reports, and the level-3 records it left.
struct Sizing {
  int granted = 0;
  int reported = 0;
  std::vector<std::string> errors;
};

Sizing sizeFreshSocket(int needed) {
  platform_double::clearLog();
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  Sizing sizing;
  sizing.granted = sizeReceiveBuffer(fd, needed);
  socklen_t length = sizeof(sizing.reported);
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &sizing.reported, &length);
  close(fd);
  sizing.errors = platform_double::logTexts(3);
  return sizing;
}

// Capabilities belong to a thread: this drops CAP_NET_ADMIN for the calling
// thread only. False when the capabilities cannot be read or set.
bool dropNetAdminInThisThread(bool* had_it) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  *had_it = (data[0].effective & (1u << CAP_NET_ADMIN)) != 0;
  data[0].effective &= ~(1u << CAP_NET_ADMIN);
  return syscall(SYS_capset, &header, data) == 0;
}

TEST(ReceiveBuffer, PrivilegedReceiverGetsTheBurstBufferAndAnUnprivilegedOneSaysWhatItGot) {
  platform_double::resetAll();
  long rmem_max = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> rmem_max;
  ASSERT_GT(rmem_max, 0);
  ASSERT_LT(rmem_max, 1L << 28);

  // Without the privilege SO_RCVBUF is bounded by rmem_max: ask for more.
  const int beyond_rmem_max = static_cast<int>(4 * rmem_max);
  bool privileged = false;
  Sizing plain;
  std::thread([&] {
    ASSERT_TRUE(dropNetAdminInThisThread(&privileged));
    plain = sizeFreshSocket(beyond_rmem_max);
  }).join();
  EXPECT_EQ(plain.granted, 2 * rmem_max);
  EXPECT_EQ(plain.reported, plain.granted);
  EXPECT_THAT(plain.errors, ElementsAre(AllOf(HasSubstr(std::to_string(plain.granted) + " bytes"),
                                              HasSubstr(std::to_string(beyond_rmem_max) + " needed"))));

  if (!privileged) GTEST_SKIP() << "no CAP_NET_ADMIN: SO_RCVBUFFORCE is not available";
  for (const int needed : {RECEIVE_BUFFER_NEEDED, beyond_rmem_max}) {
    const Sizing forced = sizeFreshSocket(needed);
    EXPECT_GE(forced.granted, needed);
    EXPECT_EQ(forced.reported, forced.granted);
    EXPECT_THAT(forced.errors, IsEmpty());
  }
}

}  // namespace
