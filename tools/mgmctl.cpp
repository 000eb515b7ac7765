// mgmctl: drives the MGM daemon's lifecycle over the system bus and watches
// its status replies in the supervisor's place.
//
//   mgmctl start | stop [4|5|6] | restart | reset | exit   prints the result code
//   mgmctl status    prints the result code and the status reply received
//   mgmctl watch     owns "tarn.main" and prints every StatusReply until
//                    SIGINT or SIGTERM
//   mgmctl supervise like watch, and brings the daemon to Running: Start
//                    whenever it reports Ready after Created; on SIGINT or
//                    SIGTERM, Stop, then waits for Ready (at most 45 s) and
//                    ends, leaving the daemon up with nothing forwarded
//   mgmctl shutdown [PID]
//                    Stop, wait for Ready, Exit, then wait for process PID to
//                    end: the daemon withdraws before it ends (at most 75 s)
//   mgmctl forwards [--json]
//                    the published endpoints joined with the IOT chain's rules
//
// Exit status: 0 done (result 0x00000000), 1 bus or daemon not reachable or
// a D-Bus error (forwards: the request or the chain could not be read),
// 2 wrong usage, 3 the daemon refused (non-zero result code).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Forwards.h"
#include "LifecycleClient.h"
#include "env/DaemonFacts.h"
#include "xml/RegistryRequestReader.h"

extern char** environ;

namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_UNREACHABLE = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_REFUSED = 3;

// A request waits this long for the daemon, which answers only between its
// running cycles.
constexpr int CALL_TIMEOUT_MS = 30000;
constexpr int STATUS_REPLY_TIMEOUT_MS = 5000;

// The longest supervise's stop may take, all requests included: within
// mgm-supervise.service's TimeoutStopSec (60 s).
constexpr int SUPERVISE_STOP_BUDGET_MS = 45000;
// The longest `shutdown` may take: within mgm.service's TimeoutStopSec (90 s).
constexpr int SHUTDOWN_BUDGET_MS = 75000;

using bus_protocol::DAEMON;
using bus_protocol::SUPERVISOR;

volatile sig_atomic_t stop_requested = 0;

// A point in time a series of requests must not pass.
class Deadline {
 public:
  explicit Deadline(int budgetMs)
      : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs)) {}
  // Milliseconds left, at most `capMs`; 0 once passed.
  int left(int capMs) const {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), capMs));
  }
  bool passed() const { return left(1) == 0; }

 private:
  std::chrono::steady_clock::time_point end_;
};

void onSignal(int) { stop_requested = 1; }

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int usage() {
  std::fprintf(stderr,
               "usage: mgmctl start | stop [4|5|6] | restart | reset | exit | status | watch | supervise\n"
               "       mgmctl shutdown [PID] | forwards [--json]\n"
               "Drives the MGM daemon (%s) on the system bus; DBUS_SYSTEM_BUS_ADDRESS selects the bus.\n"
               "Exit status: 0 done, 1 bus, daemon, registry request or IOT chain not reachable, 2 usage,\n"
               "3 request refused.\n",
               DAEMON.name);
  return EXIT_USAGE;
}

bool connect(mgm_client::LifecycleClient& client, const std::string& ownName) {
  std::string error;
  if (client.Connect(ownName, error)) return true;
  std::fprintf(stderr, "mgmctl: cannot use the system bus: %s\n", error.c_str());
  return false;
}

bool daemonAbsent(const mgm_client::CallResult& result) {
  return result.error_name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         result.error_name == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

// Prints the outcome of a request and turns it into the exit status.
int report(const char* request, const mgm_client::CallResult& result) {
  if (result.answered) {
    std::printf("0x%08X\n", result.code);
    std::fflush(stdout);
    return result.code == 0 ? EXIT_DONE : EXIT_REFUSED;
  }
  if (daemonAbsent(result))
    std::fprintf(stderr, "mgmctl: the MGM daemon (%s) is not on the bus\n", DAEMON.name);
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
  int rc = report("Status", client.Status(client.UniqueName(), bus_protocol::MGMCTL_PATH, CALL_TIMEOUT_MS));
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

// Prints every status reply and hands it to `onReply` until SIGINT or
// SIGTERM; then returns `onStop()`. EXIT_UNREACHABLE when the bus connection
// is lost.
template <typename OnReply, typename OnStop>
int followStatusReplies(mgm_client::LifecycleClient& client, OnReply onReply, OnStop onStop) {
  for (;;) {
    if (stop_requested) return onStop();
    mgm_client::StatusReplyEvent event;
    // Short waits so that a signal ends the wait promptly.
    switch (client.WaitStatusReply(250, event)) {
      case mgm_client::WaitResult::Received:
        printStatusReply(event);
        onReply(event);
        break;
      case mgm_client::WaitResult::TimedOut:
        break;
      case mgm_client::WaitResult::Closed:
        std::fprintf(stderr, "mgmctl: the bus connection was lost\n");
        return EXIT_UNREACHABLE;
    }
  }
}

int watch() {
  catchStopSignals();
  mgm_client::LifecycleClient client;
  if (!connect(client, SUPERVISOR.name)) return EXIT_UNREACHABLE;
  std::fprintf(stderr, "mgmctl: watching status replies as %s %s\n", SUPERVISOR.name, SUPERVISOR.path);
  return followStatusReplies(
      client, [](const mgm_client::StatusReplyEvent&) {}, [] { return EXIT_DONE; });
}

// Sends one request on supervise's behalf and logs its outcome on stderr.
// True when the daemon answered (whatever its result code).
bool superviseRequest(const char* member, const mgm_client::CallResult& result) {
  if (result.answered)
    std::fprintf(stderr, "mgmctl: %s: 0x%08X\n", member, result.code);
  else
    std::fprintf(stderr, "mgmctl: %s failed: %s\n", member, result.error_name.c_str());
  return result.answered;
}

bool timedOut(const mgm_client::CallResult& result) {
  return result.error_name == "org.freedesktop.DBus.Error.NoReply" ||
         result.error_name == "org.freedesktop.DBus.Error.Timeout";
}

int giveUp(const char* what) {
  std::fprintf(stderr, "mgmctl: the daemon did not %s in time; giving up\n", what);
  return EXIT_UNREACHABLE;
}

// Stops the daemon and waits, within `deadline`, until it reports Ready (the
// stop phase withdrew every forward and told the registry) or Exiting, or
// is gone. `replyName`/`replyPath` are where this connection receives status
// replies. EXIT_DONE then; EXIT_UNREACHABLE when the deadline passed or the
// bus failed.
int stopAndAwaitReady(mgm_client::LifecycleClient& client, const std::string& replyName,
                      const char* replyPath, const Deadline& deadline) {
  mgm_client::CallResult stop = client.Stop(bus_protocol::STATUS_STOPPED, deadline.left(CALL_TIMEOUT_MS));
  if (!superviseRequest("Stop", stop)) {
    if (daemonAbsent(stop)) return EXIT_DONE;
    // Refused by the bus (no policy, say): nothing to wait for.
    if (!timedOut(stop)) return EXIT_UNREACHABLE;
    if (deadline.passed()) return giveUp("answer Stop");
  }
  // Answered after the pass that ran the stop phase; a daemon already in
  // Ready (or still in its created phase) sends no reply of its own.
  while (!deadline.passed()) {
    mgm_client::CallResult asked = client.Status(replyName, replyPath, deadline.left(CALL_TIMEOUT_MS));
    if (!asked.answered) {
      if (daemonAbsent(asked)) return EXIT_DONE;
      if (!timedOut(asked)) {
        std::fprintf(stderr, "mgmctl: Status failed: %s\n", asked.error_name.c_str());
        return EXIT_UNREACHABLE;
      }
      continue;
    }
    mgm_client::StatusReplyEvent event;
    for (;;) {
      mgm_client::WaitResult waited = client.WaitStatusReply(deadline.left(1000), event);
      if (waited == mgm_client::WaitResult::Closed) {
        std::fprintf(stderr, "mgmctl: the bus connection was lost\n");
        return EXIT_UNREACHABLE;
      }
      if (waited == mgm_client::WaitResult::TimedOut) break;
      printStatusReply(event);
      if (event.status == bus_protocol::STATUS_READY || event.status == bus_protocol::STATUS_EXITING)
        return EXIT_DONE;
    }
  }
  return giveUp("report Ready");
}

int superviseStop(mgm_client::LifecycleClient& client) {
  std::fprintf(stderr, "mgmctl: stopping the daemon\n");
  return stopAndAwaitReady(client, SUPERVISOR.name, SUPERVISOR.path, Deadline(SUPERVISE_STOP_BUDGET_MS));
}

// True when process `pid` is gone or a zombie (its parent has yet to reap it).
bool processEnded(pid_t pid) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* stat = std::fopen(path, "re");
  if (!stat) return true;
  char line[512] = "";
  bool read = std::fgets(line, sizeof line, stat) != nullptr;
  std::fclose(stat);
  const char* close = read ? std::strrchr(line, ')') : nullptr;
  return !close || close[1] != ' ' || close[2] == 'Z' || close[2] == 'X';
}

// Stop, Ready, Exit, and the daemon's process (when given) ended.
int shutdown(pid_t pid) {
  const Deadline deadline(SHUTDOWN_BUDGET_MS);
  mgm_client::LifecycleClient client;
  if (!connect(client, "")) return EXIT_UNREACHABLE;
  int rc = stopAndAwaitReady(client, client.UniqueName(), bus_protocol::MGMCTL_PATH, deadline);
  if (rc != EXIT_DONE) return rc;
  mgm_client::CallResult exit = client.Exit(deadline.left(CALL_TIMEOUT_MS));
  if (!superviseRequest("Exit", exit) && !daemonAbsent(exit)) return EXIT_UNREACHABLE;
  while (pid > 0 && !processEnded(pid)) {
    if (deadline.passed()) return giveUp("end");
    usleep(100000);
  }
  return EXIT_DONE;
}

// A minimal supervisor: owns "tarn.main", prints every status reply, sends
// Start when the daemon reports Ready after Created (or when Ready is the
// first status it learns, so a supervisor started after the daemon works
// too). On SIGINT or SIGTERM: Stop, then wait for Ready (the stop phase has
// withdrawn everything) and end, all within SUPERVISE_STOP_BUDGET_MS. The
// daemon stays up in Ready, so a supervisor started again starts it.
int supervise() {
  catchStopSignals();
  mgm_client::LifecycleClient client;
  if (!connect(client, SUPERVISOR.name)) return EXIT_UNREACHABLE;
  std::fprintf(stderr, "mgmctl: supervising %s as %s %s\n", DAEMON.name, SUPERVISOR.name, SUPERVISOR.path);
  // Learn the status of a daemon that is already running; its answer comes
  // as a StatusReply like any other. A daemon not yet there reports itself.
  client.Status(SUPERVISOR.name, SUPERVISOR.path, CALL_TIMEOUT_MS);

  bool known = false;
  uint32_t last = 0;
  auto startWhenReady = [&](const mgm_client::StatusReplyEvent& event) {
    if (event.status == bus_protocol::STATUS_READY && (!known || last == bus_protocol::STATUS_CREATED))
      superviseRequest("Start", client.Start(CALL_TIMEOUT_MS));
    known = true;
    last = event.status;
  };
  return followStatusReplies(client, startWhenReady, [&] { return superviseStop(client); });
}

// Runs argv (looked up in PATH, no shell) and collects its standard output
// and error together. False with a reason when it did not run or failed.
bool runCapture(const char* const argv[], std::string& output) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    output = std::string(argv[0]) + ": " + std::strerror(rc);
    close(fds[0]);
    return false;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) output.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What the gateway forwards. Whatever of the request and the chain can be
// read is listed; each part that cannot is named on stderr and makes the
// exit status 1.
int listForwards(bool json) {
  int rc = EXIT_DONE;
  xml::RegistryRequest request;
  std::string error;
  if (!xml::readRegistryRequest(daemon_facts::registryRequestPath(), request, error)) {
    std::fprintf(stderr, "mgmctl: cannot read the registry request the daemon last wrote (%s)\n",
                 error.c_str());
    rc = EXIT_UNREACHABLE;
  }
  const char* const iptables[] = {"iptables", "-t", "nat", "-S", "IOT", nullptr};
  std::string output;
  if (!runCapture(iptables, output)) {
    while (!output.empty() && output.back() == '\n') output.pop_back();
    std::fprintf(stderr, "mgmctl: cannot list the IOT chain (iptables -t nat -S IOT: %s)\n", output.c_str());
    output.clear();
    rc = EXIT_UNREACHABLE;
  }
  const std::vector<forwards::Forward> rows =
      forwards::join(request.endpoints, forwards::parseIotRules(output));
  std::fputs((json ? forwards::formatJson(rows) : forwards::formatTable(rows)).c_str(), stdout);
  return rc;
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

// A process id: a plain positive decimal number.
bool parsePid(const char* text, long& pid) {
  if (!text || !*text || std::strspn(text, "0123456789") != std::strlen(text) || std::strlen(text) > 9)
    return false;
  pid = std::strtol(text, nullptr, 10);
  return pid > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "stop") {
    uint32_t target = bus_protocol::STATUS_STOPPED;
    if (argc > 3 || (argc == 3 && !parseStopStatus(argv[2], target))) return usage();
    mgm_client::LifecycleClient client;
    if (!connect(client, "")) return EXIT_UNREACHABLE;
    return report("Stop", client.Stop(target, CALL_TIMEOUT_MS));
  }
  if (command == "shutdown" && argc <= 3) {
    long pid = 0;
    if (argc == 3 && !parsePid(argv[2], pid)) return usage();
    return shutdown(static_cast<pid_t>(pid));
  }
  if (command == "forwards" && argc == 3)
    return std::strcmp(argv[2], "--json") == 0 ? listForwards(true) : usage();
  if (argc != 2) return usage();
  if (command == "status") return status();
  if (command == "watch") return watch();
  if (command == "supervise") return supervise();
  if (command == "forwards") return listForwards(false);

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
