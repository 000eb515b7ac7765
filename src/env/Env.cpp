#include "env/Env.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "Logging.h"
#include "env/Globals.h"

Env::~Env() = default;

Env* Env::installed = nullptr;

Env& Env::current() {
  static PosixEnv device;
  return installed != nullptr ? *installed : device;
}

namespace {

using std::chrono::milliseconds;
using RealClock = std::chrono::steady_clock;

// Every program the daemon runs and the longest it may take. No cycle may
// hold the lifecycle loop for more than about ten seconds, and a stop that
// meets a hung tool is still to be answered within five.
struct ProgramDeadline {
  const char* program;
  milliseconds limit;
};
const ProgramDeadline DEADLINES[] = {
    // A rule change takes about 20 ms (nf_tables; legacy iptables fails at
    // once on a held lock instead of waiting).
    {"iptables", milliseconds(3000)},
    {"/sbin/ifconfig", milliseconds(2000)},  // the zone address pipelines
    {"echo", milliseconds(2000)},            // switching on IP forwarding
    // The modem utility runs under its own five-second timeout; this is the
    // backstop should timeout itself hang.
    {"timeout", milliseconds(7000)},
    // curl gives up by its own --max-time first and reports 000.
    {"curl", milliseconds(10000)},
    {"/usr/local/bin/tarn-vpn-manager", milliseconds(10000)},
};
constexpr milliseconds DEFAULT_DEADLINE(10000);

constexpr size_t OUTPUT_LIMIT = 64 * 1024;

// The program a command line runs ("exec" skipped). Always a word of the
// daemon's own command texts, never a received value.
std::string programOf(const std::string& command) {
  std::istringstream words(command);
  std::string word;
  words >> word;
  if (word == "exec") words >> word;
  return word;
}

// Commands killed at their deadline that had not ended a second later (a
// process stuck in the kernel ignores even SIGKILL for a while): reaped by
// a later run once they have ended.
std::vector<pid_t> unreaped;

void reapStragglers() {
  for (auto it = unreaped.begin(); it != unreaped.end();)
    it = waitpid(*it, nullptr, WNOHANG) == 0 ? it + 1 : unreaped.erase(it);
}

// Waits for `pid` until `until`; its status, or nothing when it still runs.
std::optional<int> reap(pid_t pid, RealClock::time_point until) {
  for (;;) {
    int status = 0;
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0 && errno != EINTR) return -1;
    if (RealClock::now() >= until) return std::nullopt;
    usleep(200);
  }
}

// The output as reading it with fgets into 128 bytes would give it: a NUL
// drops the rest of the read (at most 127 bytes, up to a newline) it is in.
std::string asReadInLines(const std::string& raw) {
  std::string result;
  for (size_t begin = 0; begin < raw.size();) {
    size_t end = begin;
    while (end < raw.size() && end - begin < 127)
      if (raw[end++] == '\n') break;
    const size_t nul = raw.find('\0', begin);
    result.append(raw, begin, (nul < end ? nul : end) - begin);
    begin = end;
  }
  return result;
}

// Starts /bin/sh -c `command` in a process group of its own. The write end
// of the pipe `ends` stays open in the command until it ends: as its
// standard output when `capture`, else as an extra descriptor.
pid_t startShell(const std::string& command, bool capture, const int ends[2]) {
  const char* const argv[] = {"sh", "-c", command.c_str(), nullptr};
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls from here on: other threads may hold locks.
  setpgid(0, 0);
  const int kept = capture ? STDOUT_FILENO : ends[1];
  if ((ends[1] != kept && dup2(ends[1], kept) < 0) || fcntl(kept, F_SETFD, 0) < 0) _exit(127);
  execv("/bin/sh", const_cast<char* const*>(argv));
  _exit(127);
}

// Programs that overran their deadline: how often in a row, and until when
// they run on probation, with a tenth of their deadline.
struct Overruns {
  int in_a_row = 0;
  RealClock::time_point probation_until{};
};
std::map<std::string, Overruns> overruns;
constexpr std::chrono::seconds PROBATION(10);
constexpr milliseconds LEAST_DEADLINE(100);

milliseconds deadlineFor(const std::string& program, milliseconds deadline) {
  const auto found = overruns.find(program);
  if (found == overruns.end() || RealClock::now() >= found->second.probation_until) return deadline;
  return std::max(deadline / 10, LEAST_DEADLINE);
}

// A call that ends in time ends the probation; a second overrun in a row
// starts one (and one more overrun after it, the next).
void countOverrun(const std::string& program, bool overran) {
  if (!overran) {
    overruns.erase(program);
    return;
  }
  Overruns& count = overruns[program];
  if (++count.in_a_row < 2) return;
  count.in_a_row = 1;
  const RealClock::time_point now = RealClock::now();
  if (now >= count.probation_until)
    MGM_LOG(3, "Command %s gets a tenth of its deadline for %lld s: it did not end within it twice in a row.",
            program.c_str(), static_cast<long long>(PROBATION.count()));
  count.probation_until = now + PROBATION;
}

WhileCommandsRun* while_commands_run = nullptr;
bool acting = false;

enum class Waited { Ended, Reaped, Overran };

// Waits for a command until `until`: reads `fd` (its output, or a descriptor
// only it holds) to the end. For a command whose output is not read
// (`shell` not -1) it is enough that the shell has ended, as with system(3):
// a process it left behind may still hold the descriptor; its status is
// then in `status`. Once the command has run for a moment, waits in slices
// with the installed WhileCommandsRun action between them.
void appendOutput(std::string& raw, const char* data, ssize_t size) {
  raw.append(data, std::min(static_cast<size_t>(size), OUTPUT_LIMIT - std::min(OUTPUT_LIMIT, raw.size())));
}

// At the deadline: a command that ended meanwhile (while the loop had its
// turn, say) has not overrun. Reads what is there without waiting.
Waited lastLook(int fd, pid_t shell, std::string& raw, int& status) {
  char buffer[4096];
  pollfd ready{fd, POLLIN, 0};
  while (poll(&ready, 1, 0) > 0) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) return Waited::Ended;
    if (got < 0) break;
    appendOutput(raw, buffer, got);
  }
  if (shell != -1 && waitpid(shell, &status, WNOHANG) == shell) return Waited::Reaped;
  return Waited::Overran;
}

Waited waitForCommand(int fd, pid_t shell, RealClock::time_point until, std::string& raw, int& status) {
  const RealClock::time_point patient_until = RealClock::now() + milliseconds(100);
  char buffer[4096];
  for (;;) {
    const RealClock::time_point now = RealClock::now();
    const auto left = std::chrono::ceil<milliseconds>(until - now).count();
    if (left <= 0) return lastLook(fd, shell, raw, status);
    const auto slice =
        now < patient_until ? std::chrono::ceil<milliseconds>(patient_until - now).count() : 50;
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(std::min<long long>(left, slice)));
    if (polled < 0 && errno != EINTR) return Waited::Ended;
    if (polled == 0 && shell != -1 && waitpid(shell, &status, WNOHANG) == shell) return Waited::Reaped;
    if (polled == 0 && RealClock::now() >= patient_until) WhileCommandsRun::act();
    if (polled <= 0) continue;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return Waited::Ended;
    if (got > 0) appendOutput(raw, buffer, got);
  }
}

}  // namespace

WhileCommandsRun::WhileCommandsRun(std::function<void()> action)
    : action_(std::move(action)), previous_(while_commands_run) {
  while_commands_run = this;
}

WhileCommandsRun::~WhileCommandsRun() { while_commands_run = previous_; }

void WhileCommandsRun::act() {
  if (while_commands_run == nullptr || acting) return;
  acting = true;
  struct Done {
    ~Done() { acting = false; }
  } done;
  while_commands_run->action_();
}

milliseconds commandDeadline(const std::string& command) {
  const std::string program = programOf(command);
  for (const ProgramDeadline& entry : DEADLINES)
    if (program == entry.program) return entry.limit;
  return DEFAULT_DEADLINE;
}

CommandOutcome runWithDeadline(const std::string& command, bool capture, milliseconds deadline) {
  reapStragglers();
  const std::string program = programOf(command);
  deadline = deadlineFor(program, deadline);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("popen() failed!");
  UniqueFd read_end(ends[0]);
  const pid_t pid = startShell(command, capture, ends);
  close(ends[1]);
  if (pid < 0) throw std::runtime_error("popen() failed!");
  setpgid(pid, pid);  // here too: the group exists before any kill
  const RealClock::time_point until = RealClock::now() + deadline;

  CommandOutcome outcome;
  std::string raw;
  int reaped = 0;
  const Waited waited = waitForCommand(read_end.get(), capture ? -1 : pid, until, raw, reaped);
  read_end.reset();
  std::optional<int> status;
  if (waited == Waited::Reaped) status = reaped;
  // Its output closed, the command is ending: a moment to become reapable.
  if (waited == Waited::Ended) status = reap(pid, std::max(until, RealClock::now() + milliseconds(200)));
  if (!status) {
    kill(-pid, SIGKILL);
    outcome.overran = true;
    MGM_LOG(3, "Command %s did not end within %lld ms; its process group was killed.", program.c_str(),
            static_cast<long long>(deadline.count()));
    status = reap(pid, RealClock::now() + std::chrono::seconds(1));
    if (!status) unreaped.push_back(pid);
  }
  countOverrun(program, outcome.overran);
  outcome.status = status.value_or(-1);
  outcome.output = asReadInLines(raw);
  return outcome;
}

std::string PosixEnv::runCommand(const std::string& command) {
  return runWithDeadline(command, true, commandDeadline(command)).output;
}

int PosixEnv::runForStatus(const std::string& command) {
  try {
    return runWithDeadline(command, false, commandDeadline(command)).status;
  } catch (const std::runtime_error&) {
    return -1;  // as system(3) when no shell could be started
  }
}

Env::Clock::time_point PosixEnv::now() { return Clock::now(); }

std::time_t PosixEnv::wallClock() { return std::time(nullptr); }

const std::string& PosixEnv::spoolDirectory() { return spool_directory; }

int PosixEnv::openAt(int dir, const std::string& name, int flags, mode_t mode) {
  return openat(dir, name.c_str(), flags | O_CLOEXEC, mode);
}

std::vector<std::string> PosixEnv::gatewayAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    const sockaddr* broadcast = (entry->ifa_flags & IFF_BROADCAST) != 0 ? entry->ifa_broadaddr : nullptr;
    const sockaddr* const own[] = {entry->ifa_addr, broadcast};
    for (const sockaddr* address : own) {
      char text[INET_ADDRSTRLEN];
      if (address != nullptr && address->sa_family == AF_INET &&
          inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text))
        addresses.push_back(text);
    }
  }
  return addresses;
}

int PosixEnv::mkdirAt(int dir, const std::string& name, mode_t mode) {
  return mkdirat(dir, name.c_str(), mode);
}

int PosixEnv::renameAt(int dir, const std::string& from, const std::string& to, unsigned flags) {
  return renameat2(dir, from.c_str(), dir, to.c_str(), flags);
}

int PosixEnv::unlinkAt(int dir, const std::string& name, int flags) {
  return unlinkat(dir, name.c_str(), flags);
}

bool PosixEnv::statAt(int dir, const std::string& name, struct stat& status) {
  if (name.empty()) return fstat(dir, &status) == 0;
  return fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

namespace {
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
}  // namespace

bool PosixEnv::listAt(int dir, std::vector<std::string>& names) {
  // A descriptor of its own: closedir closes it, and the listing starts at
  // the first entry whatever an earlier listing read.
  const int own = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return false;
  std::unique_ptr<DIR, DirCloser> listing(fdopendir(own));
  if (!listing) {
    close(own);
    return false;
  }
  names.clear();
  while (const dirent* entry = readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return true;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

int createFileAt(int dir, const std::string& name) {
  Env& env = Env::current();
  if (env.unlinkAt(dir, name, 0) != 0 && errno != ENOENT) return -1;
  return env.openAt(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
}

bool readRegularFileAt(int dir, const std::string& name, size_t limit, std::string& text) {
  const UniqueFd file(Env::current().openAt(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0));
  const int fd = file.get();
  if (fd < 0) return false;
  struct stat status;
  bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  text.resize(limit + 1);
  size_t length = 0;
  while (ok && length < text.size()) {
    const ssize_t got = read(fd, &text[length], text.size() - length);
    if (got < 0 && errno == EINTR) continue;
    ok = got >= 0;
    if (got <= 0) break;
    length += static_cast<size_t>(got);
  }
  text.resize(length);
  return ok && length <= limit;
}
