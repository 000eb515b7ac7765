// mgmctl: drives the MGM daemon's lifecycle over the system bus and watches
// its status replies in the supervisor's place.
//
//   mgmctl start | stop [4|5|6] | restart | reset | exit   prints the result code
//   mgmctl status    prints the result code and the status reply received
//   mgmctl watch     owns "tarn.main" and prints every StatusReply until
//                    SIGINT or SIGTERM
//
// Exit status: 0 done (result 0x00000000), 1 bus or daemon not reachable or
// a D-Bus error, 2 wrong usage, 3 the daemon refused (non-zero result code).
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LifecycleClient.h"

namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_UNREACHABLE = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_REFUSED = 3;

// A request waits this long for the daemon, which answers only between its
// running cycles.
constexpr int CALL_TIMEOUT_MS = 30000;
constexpr int STATUS_REPLY_TIMEOUT_MS = 5000;
// The object path that `status` asks the reply to be sent to.
constexpr const char* STATUS_OBJECT_PATH = "/tarn/mgmctl";

volatile sig_atomic_t stop_requested = 0;

void onSignal(int) { stop_requested = 1; }

int usage() {
  std::fprintf(
      stderr,
      "usage: mgmctl start | stop [4|5|6] | restart | reset | exit | status | watch\n"
      "Drives the MGM daemon (tarn.mgm) on the system bus; DBUS_SYSTEM_BUS_ADDRESS selects the bus.\n"
      "Exit status: 0 done, 1 bus or daemon not reachable, 2 usage, 3 request refused.\n");
  return EXIT_USAGE;
}

bool connect(mgm_client::LifecycleClient& client, const std::string& ownName) {
  std::string error;
  if (client.Connect(ownName, error)) return true;
  std::fprintf(stderr, "mgmctl: cannot use the system bus: %s\n", error.c_str());
  return false;
}

// Prints the outcome of a request and turns it into the exit status.
int report(const char* request, const mgm_client::CallResult& result) {
  if (result.answered) {
    std::printf("0x%08X\n", result.code);
    std::fflush(stdout);
    return result.code == 0 ? EXIT_DONE : EXIT_REFUSED;
  }
  if (result.error_name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      result.error_name == "org.freedesktop.DBus.Error.NameHasNoOwner")
    std::fprintf(stderr, "mgmctl: the MGM daemon (%s) is not on the bus\n", mgm_client::DAEMON_NAME);
  else
    std::fprintf(stderr, "mgmctl: %s failed: %s: %s\n", request, result.error_name.c_str(),
                 result.error_text.c_str());
  return EXIT_UNREACHABLE;
}

void printStatusReply(const mgm_client::StatusReplyEvent& event) {
  std::printf("StatusReply from %s: %s\n", event.from.c_str(),
              mgm_client::describeStatus(event.status).c_str());
  std::fflush(stdout);
}

int status() {
  mgm_client::LifecycleClient client;
  if (!connect(client, "")) return EXIT_UNREACHABLE;
  int rc = report("Status", client.Status(client.UniqueName(), STATUS_OBJECT_PATH, CALL_TIMEOUT_MS));
  if (rc != EXIT_DONE) return rc;
  mgm_client::StatusReplyEvent event;
  switch (client.WaitStatusReply(STATUS_REPLY_TIMEOUT_MS, event)) {
    case mgm_client::WaitResult::Received:
      printStatusReply(event);
      return EXIT_DONE;
    case mgm_client::WaitResult::TimedOut:
      std::fprintf(stderr, "mgmctl: no status reply within %d s\n", STATUS_REPLY_TIMEOUT_MS / 1000);
      return EXIT_UNREACHABLE;
    case mgm_client::WaitResult::Closed:
      break;
  }
  std::fprintf(stderr, "mgmctl: the bus connection was lost\n");
  return EXIT_UNREACHABLE;
}

int watch() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  mgm_client::LifecycleClient client;
  if (!connect(client, mgm_client::SUPERVISOR_NAME)) return EXIT_UNREACHABLE;
  std::fprintf(stderr, "mgmctl: watching status replies as %s %s\n", mgm_client::SUPERVISOR_NAME,
               mgm_client::SUPERVISOR_PATH);
  while (!stop_requested) {
    mgm_client::StatusReplyEvent event;
    // Short waits so that a signal ends the watch promptly.
    switch (client.WaitStatusReply(250, event)) {
      case mgm_client::WaitResult::Received:
        printStatusReply(event);
        break;
      case mgm_client::WaitResult::TimedOut:
        break;
      case mgm_client::WaitResult::Closed:
        std::fprintf(stderr, "mgmctl: the bus connection was lost\n");
        return EXIT_UNREACHABLE;
    }
  }
  return EXIT_DONE;
}

// Parses a stop status: a plain decimal number that fits 32 bits.
bool parseStopStatus(const char* text, uint32_t& target) {
  if (!text || !*text || std::strspn(text, "0123456789") != std::strlen(text)) return false;
  errno = 0;
  unsigned long long value = std::strtoull(text, nullptr, 10);
  if (errno != 0 || value > 0xFFFFFFFFull) return false;
  target = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "stop") {
    uint32_t target = 4;
    if (argc > 3 || (argc == 3 && !parseStopStatus(argv[2], target))) return usage();
    mgm_client::LifecycleClient client;
    if (!connect(client, "")) return EXIT_UNREACHABLE;
    return report("Stop", client.Stop(target, CALL_TIMEOUT_MS));
  }
  if (argc != 2) return usage();
  if (command == "status") return status();
  if (command == "watch") return watch();

  using Request = mgm_client::CallResult (mgm_client::LifecycleClient::*)(int);
  struct {
    const char* command;
    const char* member;
    Request request;
  } const requests[] = {
      {"start", "Start", &mgm_client::LifecycleClient::Start},
      {"restart", "Restart", &mgm_client::LifecycleClient::Restart},
      {"reset", "Reset", &mgm_client::LifecycleClient::Reset},
      {"exit", "Exit", &mgm_client::LifecycleClient::Exit},
  };
  for (const auto& r : requests) {
    if (command != r.command) continue;
    mgm_client::LifecycleClient client;
    if (!connect(client, "")) return EXIT_UNREACHABLE;
    return report(r.member, (client.*r.request)(CALL_TIMEOUT_MS));
  }
  return usage();
}
