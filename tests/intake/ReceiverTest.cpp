#include <gmock/gmock.h>

#include "env/TestEnv.h"
#include "intake/Receiver.h"
#include "intake/Spool.h"

using namespace ::testing;
namespace fs = std::filesystem;
namespace pd = platform_double;

namespace {

std::string temporary() { return incoming_file_name + xml_extension; }
std::string text(const std::string& c) { return "ComponentID=\"M1/" + c + "\"\nServiceID=\"S\""; }
int openDescriptors() { return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {})); }
// Each datagram becomes a file of its own, listed by the concurrent cleanup
// only once complete; one longer than 4096 bytes is dropped, not cut; one
// that ends in a NUL is named as the parser reads it. A link planted at the
// temporary name is not followed; neither the socket nor the temporary file
// reaches a command. A full spool, a shortage of descriptors, an exception
// while handling the file or a refused spool costs the datagram, not the
// receiver: a full spool or a shortage is reported at once, then at most
// once a minute. A stopped receiver keeps its socket (the port stays the
// daemon's) and leaves no other descriptor behind.
TEST(Receiver, SpoolsEachDatagramGoesOnThroughShortagesAndKeepsItsSocket) {
  TestEnv env;
  std::ofstream(env.root + "/victim") << "victim";
  fs::create_symlink(env.root + "/victim", env.path(temporary()));
  std::atomic<bool> throw_once{false};
  env.before = [&](const std::string& operation, const std::string& name) {
    if (operation == "open" && name == temporary() && throw_once.exchange(false)) throw std::bad_alloc();
  };
  std::map<std::string, std::string> expected = {{"_.xml", ""}, {"Nul_S.xml", text("Nul") + '\0'}}, listed;
  for (int i = 0; i < 20; ++i) expected["C" + std::to_string(i) + "_S.xml"] = text("C" + std::to_string(i));
  expected["Max_S.xml"] = text("Max") + std::string(4096 - text("Max").size(), 'x');
  const int descriptors = openDescriptors();
  const uint16_t port = 5611;  // the cycle tests' receiver has 5600
  pthread_t thread;
  pthread_create(
      &thread, nullptr, [](void*) { return runReceiver("5611", receive_buffer_size); }, nullptr);
  // It has bound once its temporary file is there, a fresh regular file.
  EXPECT_TRUE(eventually([&] { return fs::is_regular_file(fs::symlink_status(env.path(temporary()))); }));
  EXPECT_THAT(PosixEnv().runCommand("ls -l /proc/self/fd/"),
              Not(AnyOf(HasSubstr("socket:"), HasSubstr(temporary()))));
  sendDatagram(port, text("Big") + std::string(4097 - text("Big").size(), 'x'));
  for (const auto& [name, text] : expected) sendDatagram(port, text);
  MachineComponentServices incoming;
  EXPECT_TRUE(eventually([&] {
    cleanupServiceFiles(incoming);
    for (const std::string& name : incoming.ServiceFileNames) listed.emplace(name, env.read(name));
    return listed.size() >= expected.size();
  }));
  EXPECT_EQ(listed, expected);

  const auto reports = [] { return pd::countLogged("the spool is full or out of descriptors"); };
  env.disk_full = true;
  EXPECT_TRUE(sendUntil(port, text("Full"), [&] { return reports() == 1; }));
  // The next file is open on the full disk: this datagram is lost without a word.
  const std::string fds = "ls -l /proc/" + std::to_string(getpid()) + "/fd/";
  EXPECT_TRUE(eventually([&] { return PosixEnv().runCommand(fds).find("/dev/full") != std::string::npos; }));
  sendDatagram(port, text("Lost"));
  env.disk_full = false;
  EXPECT_TRUE(sendUntil(port, text("Back"), [&] { return env.exists("Back_S.xml"); }));
  env.create_error = EMFILE;
  env.advance(60);
  EXPECT_TRUE(sendUntil(port, text("Emfile"), [&] { return reports() == 2; }));
  env.create_error = 0;
  EXPECT_TRUE(sendUntil(port, text("Again"), [&] { return env.exists("Again_S.xml"); }));
  EXPECT_THAT(pd::logTexts(3),
              ElementsAre(HasSubstr("longer than 4096 bytes; latest 4097 bytes from 127.0.0.1:"),
                          HasSubstr("(No space left on device)"), HasSubstr("(Too many open files)")));
  throw_once = true;
  EXPECT_TRUE(sendUntil(port, text("Thrown"), [&] { return !throw_once; }));
  EXPECT_TRUE(sendUntil(port, text("After"), [&] { return env.exists("After_S.xml"); }));
  EXPECT_EQ(pd::countLogged("Error in handling incoming file."), 1);
  // While the spool's parent lets others swap it, datagrams are dropped.
  chmod(env.root.c_str(), 0777);
  EXPECT_TRUE(
      sendUntil(port, text("Refused"), [&] { return pd::countLogged("spool directory " + env.dir) == 1; }));
  chmod(env.root.c_str(), 0700);
  EXPECT_TRUE(sendUntil(port, text("Fit"), [&] { return env.exists("Fit_S.xml"); }));

  // Once the next temporary file is open the cancel ends the receiver in its
  // wait; its socket stays.
  EXPECT_TRUE(eventually([&] { return env.exists(temporary()); }));
  run_thread = false;
  pthread_cancel(thread);
  void* result = nullptr;
  pthread_join(thread, &result);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  EXPECT_EQ(openDescriptors(), descriptors + 1);
  env.before = nullptr;
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
  EXPECT_EXIT(receiveOnce("65536"), ExitedWithCode(1), "UDP Port is to big! \\(cast to unsigned short");
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in top{AF_INET, htons(65535), {}, {}};
  const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&top), sizeof(top)) == 0;
  EXPECT_EXIT(receiveOnce("65535"), ExitedWithCode(1), "Error in UDPServer: Could not bind socket");
  close(fd);
  if (!free) GTEST_SKIP() << "port 65535 is taken on this machine";
  EXPECT_EXIT(receiveOnce("65535"), ExitedWithCode(0), "");
}

// The buffer is forced beyond rmem_max where CAP_NET_ADMIN allows, and a
// shortfall is reported.
TEST(ReceiveBuffer, ForcedBeyondRmemMaxAndAShortfallReported) {
  pd::clearLog();
  long rmem_max = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> rmem_max;
  const int beyond = static_cast<int>(4 * rmem_max), fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  EXPECT_LT(sizeReceiveBuffer(fd, INT_MAX), INT_MAX);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &beyond, sizeof(beyond)) != 0)
    GTEST_SKIP() << "no CAP_NET_ADMIN";
  EXPECT_GE(sizeReceiveBuffer(fd, beyond), beyond);
  EXPECT_EQ(pd::logTexts(3).size(), 1u);
  close(fd);
}

}  // namespace
