#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "PlatformDouble.h"
#include "TempSpool.h"
#include "intake/Receiver.h"
#include "intake/Spool.h"

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// Waits up to a generous bound for `condition`; true when it came.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

int openDescriptors() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// A UDP socket bound to `port` on every interface (0: a free one, stored
// back into `port`), or -1.
int boundSocket(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{AF_INET, htons(port), {}, {}};
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) return close(fd), -1;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

void sendTo(uint16_t port, const std::string& payload) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  EXPECT_EQ(sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
            static_cast<ssize_t>(payload.size()));
  close(fd);
}

// Starts the receiver thread as the created phase does; it has bound its
// port once its temporary file is there, which it opens after the bind.
pthread_t startReceiver(const TempSpool& spool, std::string& port) {
  std::remove(spool.path(temporaryName()).c_str());
  pthread_t thread;
  pthread_create(
      &thread, nullptr,
      [](void* port) { return runReceiver(*static_cast<std::string*>(port), receive_buffer_size); }, &port);
  EXPECT_TRUE(eventually([&] { return spool.exists(temporaryName()); }));
  return thread;
}

// Stops it as the stop phase does; returns what the thread returned.
void* stopReceiver(pthread_t thread) {
  run_thread = false;
  pthread_cancel(thread);
  void* result = nullptr;
  pthread_join(thread, &result);
  run_thread = true;
  return result;
}

// Datagrams sent while the main thread's cleanup keeps listing the spool each
// become a file of their own, listed only once complete. A stopped receiver
// leaves no descriptor behind, and a new one binds the same port again.
TEST(Receiver, SpoolsEachDatagramAndStartsAgainOnTheSamePort) {
  platform_double::resetAll();
  const TempSpool spool;
  uint16_t port = 0;
  close(boundSocket(port));
  std::string port_text = std::to_string(port);
  const std::string big = "ComponentID=\"M1/Big\"\nServiceID=\"S\"\n" + std::string(5000, 'x');
  std::map<std::string, std::string> expected = {{"_.xml", ""}, {"Big_S.xml", big.substr(0, 4096)}};
  for (int i = 0; i < 30; ++i)
    expected["C" + std::to_string(i) + "_S.xml"] =
        "ComponentID=\"M1/C" + std::to_string(i) + "\"\nServiceID=\"S\"";
  const int descriptors = openDescriptors();

  pthread_t receiver = startReceiver(spool, port_text);
  std::thread sender([&] {
    for (const auto& [name, text] : expected) sendTo(port, name == "Big_S.xml" ? big : text);
  });
  MachineComponentServices incoming;
  std::map<std::string, std::string> listed;
  EXPECT_TRUE(eventually([&] {
    cleanupServiceFiles(incoming);
    for (const std::string& name : incoming.ServiceFileNames) listed.emplace(name, spool.read(name));
    return listed.size() >= expected.size();
  }));
  sender.join();
  EXPECT_EQ(listed, expected);
  // Once the next temporary file is open the receiver is past its run_thread
  // test: the cancel ends it in the wait that follows.
  EXPECT_TRUE(eventually([&] { return spool.exists(temporaryName()); }));
  EXPECT_EQ(stopReceiver(receiver), PTHREAD_CANCELED);
  EXPECT_EQ(openDescriptors(), descriptors);

  receiver = startReceiver(spool, port_text);
  sendTo(port, "ComponentID=\"M1/Again\"\nServiceID=\"S\"");
  EXPECT_TRUE(eventually([&] { return spool.exists("Again_S.xml"); }));
  stopReceiver(receiver);
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(platform_double::countLogged("Error in UDPServer"), 0);
}

// Runs the receiver on `port` and ends with status 0 once it has bound; the
// log goes to standard error on the way out, where the death test reads it.
[[noreturn]] void receiveOnce(const std::string& port) {
  std::atexit([] {
    for (const std::string& text : platform_double::logTexts()) std::fprintf(stderr, "%s\n", text.c_str());
  });
  run_thread = false;
  runReceiver(port, receive_buffer_size);
  std::exit(0);
}

TEST(ReceiverDeathTest, PortAbove65535OrInUseEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  platform_double::resetAll();
  uint16_t in_use = 0, top = 65535;
  const int in_use_fd = boundSocket(in_use), top_fd = boundSocket(top);
  EXPECT_EXIT(receiveOnce("65536"), ::testing::ExitedWithCode(1),
              "UDP Port is to big! \\(cast to unsigned short: max is 65535\\)");
  EXPECT_EXIT(receiveOnce(std::to_string(in_use)), ::testing::ExitedWithCode(1),
              "Error in UDPServer: Could not bind socket");
  close(in_use_fd);
  if (top_fd < 0) GTEST_SKIP() << "port 65535 is taken on this machine";
  close(top_fd);
  EXPECT_EXIT(receiveOnce("65535"), ::testing::ExitedWithCode(0), "");
}

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

TEST(TrustedArrival, OnlyTheTrustedInterfaceAndLoopbackAreSpooledAndDropsAreReportedAtMostOnceAMinute) {
  for (const char* name : {"Trusted", "lo"}) EXPECT_TRUE(isTrustedArrival(name)) << name;
  for (const char* name : {"Untrusted", "trusted", "Trusted0", ""})
    EXPECT_FALSE(isTrustedArrival(name)) << name;
  DropReport report;
  const std::pair<int, uint32_t> drops[] = {{0, 1}, {1, 0}, {59, 0}, {60, 3}, {61, 0}, {200, 2}};
  for (const auto& [second, reported] : drops)
    EXPECT_EQ(report.dropped(DropReport::Clock::time_point{} + std::chrono::seconds(second)), reported)
        << second;
}

}  // namespace
