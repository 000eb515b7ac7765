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

#include "env/TestEnv.h"
#include "intake/Receiver.h"
#include "intake/Spool.h"

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

namespace pd = platform_double;
// The receiver's temporary file (a function: the name is built before main).
std::string temporary() { return incoming_file_name + xml_extension; }

int openDescriptors() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// True when a descriptor of this process is open on `path`.
bool openOn(const std::string& path) {
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", error))
    if (std::filesystem::read_symlink(fd.path(), error) == path) return true;
  return false;
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

std::string announcement(const std::string& component) {
  return "ComponentID=\"M1/" + component + "\"\nServiceID=\"S\"";
}

// Runs the receiver thread on a free port as the created phase does, and
// stops it as the stop phase does.
struct RunningReceiver {
  explicit RunningReceiver(const TestEnv& env) {
    close(boundSocket(port));
    port_text = std::to_string(port);
    pthread_create(
        &thread, nullptr,
        [](void* port) { return runReceiver(*static_cast<std::string*>(port), receive_buffer_size); },
        &port_text);
    // It has bound its port once its temporary file is there: a fresh
    // regular file, whatever stood at the name before.
    EXPECT_TRUE(eventually([&] {
      return std::filesystem::is_regular_file(std::filesystem::symlink_status(env.path(temporary())));
    }));
  }
  // Returns what the thread returned.
  void* stop() {
    run_thread = false;
    pthread_cancel(thread);
    void* result = nullptr;
    pthread_join(thread, &result);
    run_thread = true;
    return result;
  }
  uint16_t port = 0;
  std::string port_text;
  pthread_t thread;
};

// Datagrams sent while the main thread's cleanup keeps listing the spool each
// become a file of their own, listed only once complete. The temporary file
// is made afresh, never through a link planted at its name; neither it nor
// the socket reaches a command the daemon runs. A stopped receiver leaves no
// descriptor behind, and a new one binds the same port again.
TEST(Receiver, SpoolsEachDatagramAndStartsAgainOnTheSamePort) {
  const TestEnv env;
  std::ofstream(env.root + "/victim") << "victim";
  std::filesystem::create_symlink(env.root + "/victim", env.path(temporary()));
  const std::string big = announcement("Big") + std::string(5000, 'x');
  std::map<std::string, std::string> expected = {{"_.xml", ""}, {"Big_S.xml", big.substr(0, 4096)}};
  for (int i = 0; i < 30; ++i)
    expected["C" + std::to_string(i) + "_S.xml"] = announcement("C" + std::to_string(i));
  const int descriptors = openDescriptors();

  RunningReceiver receiver(env);
  const std::string child_descriptors = PosixEnv().runCommand("ls -l /proc/self/fd/");
  EXPECT_THAT(child_descriptors, AllOf(Not(HasSubstr("socket:")), Not(HasSubstr(temporary()))));
  std::thread sender([&] {
    for (const auto& [name, text] : expected) sendDatagram(receiver.port, name == "Big_S.xml" ? big : text);
  });
  MachineComponentServices incoming;
  std::map<std::string, std::string> listed;
  EXPECT_TRUE(eventually([&] {
    cleanupServiceFiles(incoming);
    for (const std::string& name : incoming.ServiceFileNames) listed.emplace(name, env.read(name));
    return listed.size() >= expected.size();
  }));
  sender.join();
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(env.read("../victim"), "victim");
  // Once the next temporary file is open the receiver is past its run_thread
  // test: the cancel ends it in the wait that follows.
  EXPECT_TRUE(eventually([&] { return env.exists(temporary()); }));
  EXPECT_EQ(receiver.stop(), PTHREAD_CANCELED);
  EXPECT_EQ(openDescriptors(), descriptors);

  RunningReceiver again(env);
  EXPECT_TRUE(sendUntil(again.port, announcement("Again"), [&] { return env.exists("Again_S.xml"); }));
  again.stop();
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(pd::countLogged("Error in UDPServer"), 0);
}

// A full spool or a shortage of descriptors costs the datagram, not the
// receiver: one report at once, then at most one a minute.
TEST(Receiver, GoesOnThroughAFullSpoolAndTooManyOpenFiles) {
  TestEnv env;
  RunningReceiver receiver(env);
  const auto reports = [] { return pd::countLogged("the spool is full or out of descriptors"); };
  env.disk_full = true;
  EXPECT_TRUE(sendUntil(receiver.port, announcement("Full"), [&] { return reports() == 1; }));
  // The next file is open on the full disk: this datagram is lost without a word.
  EXPECT_TRUE(eventually([] { return openOn("/dev/full"); }));
  sendDatagram(receiver.port, announcement("Lost"));
  env.disk_full = false;
  EXPECT_TRUE(sendUntil(receiver.port, announcement("Back"), [&] { return env.exists("Back_S.xml"); }));
  env.create_error = EMFILE;
  env.advance(60);
  EXPECT_TRUE(sendUntil(receiver.port, announcement("Emfile"), [&] { return reports() == 2; }));
  env.create_error = 0;
  EXPECT_TRUE(sendUntil(receiver.port, announcement("Again"), [&] { return env.exists("Again_S.xml"); }));
  receiver.stop();
  EXPECT_FALSE(env.exists("Lost_S.xml"));
  EXPECT_THAT(pd::logTexts(3),
              ElementsAre(HasSubstr("(No space left on device)"), HasSubstr("(Too many open files)")));
}

// Runs the receiver on `port` and ends with status 0 once it has bound.
[[noreturn]] void receiveOnce(const std::string& port) {
  run_thread = false;
  runReceiver(port, receive_buffer_size);
  std::exit(0);
}

TEST(ReceiverDeathTest, PortAbove65535OrInUseEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setenv("MGM_TEST_LOG", "1", 1);  // the log goes to standard error, where the death test reads it
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

TEST(DropReport, ReportsTheFirstDropAtOnceThenAtMostOnceAMinuteWithTheCount) {
  DropReport report;
  const std::pair<int, uint32_t> drops[] = {{0, 1}, {1, 0}, {59, 0}, {60, 3}, {61, 0}, {200, 2}};
  for (const auto& [second, reported] : drops)
    EXPECT_EQ(report.dropped(DropReport::Clock::time_point{} + std::chrono::seconds(second)), reported)
        << second;
}

}  // namespace
