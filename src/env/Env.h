// The device as the daemon sees it. Every access the daemon makes to the
// device goes through Env::current(): the shell (every command it runs,
// under the real device's deadlines below), the monotonic clock (intervals,
// back-off, once-a-minute reports), the wall clock (the spool's ageing),
// the spool directory and the operations on its entries, and the gateway's
// own addresses. A test replaces the device by installing one object (see
// ScopedEnv); it never patches globals beside it.
//
// Left outside on purpose:
// - reading and writing a descriptor an Env opened (read, write, fstat,
//   fdopen): the Env decides what is opened, and may fail the open or hand
//   out a descriptor that fails every write;
// - the receiver's UDP socket (src/intake/Receiver): tests and the e2e
//   scenarios send real datagrams to a port of their own;
// - the bus and the log: the platform libraries are their seam;
// - the process's own state: its effective user (the spool's owner check),
//   libc rand() for the external ports (never seeded: its sequence is what
//   the registry sees), std::random_device for names no one can guess, and
//   the threads;
// - the shell runner's own clock: a deadline is real time a real command
//   takes, whatever clock a test installs.
//
// Threads: the main thread may call everything. The receiver thread calls
// only now(), spoolDirectory() and the entry operations (openAt, renameAt,
// unlinkAt, statAt, listAt), so an Env keeps those safe to call from both
// threads at once; PosixEnv's are plain system calls. runCommand and
// runForStatus are main thread only. An Env is installed and removed (and a
// test's hooks changed) only on the main thread while no receiver runs.
//
// Errors are reported as the system calls report them (-1 or false, errno
// set); the caller logs them. Only runCommand throws (the runner's "popen()
// failed!"), and only the runner's deadline lines are logged here.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

class Env {
 public:
  using Clock = std::chrono::steady_clock;

  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env();

  // Runs `command` with /bin/sh and returns its whole standard output,
  // unchanged. Throws std::runtime_error("popen() failed!") when it cannot
  // be started. The real device ends it at its deadline (runWithDeadline).
  virtual std::string runCommand(const std::string& command) = 0;
  // Runs `command` with /bin/sh for its exit status only: its output is not
  // captured (it goes where the daemon's goes). Returns the status as
  // system(3) does (-1 when it cannot be started). The real device ends it
  // at its deadline (runWithDeadline).
  virtual int runForStatus(const std::string& command) = 0;
  // The monotonic clock.
  virtual Clock::time_point now() = 0;
  // Seconds since the epoch, as time(2): the spool ages its files by it.
  virtual std::time_t wallClock() = 0;
  // The directory of the spool; always ends in "/".
  virtual const std::string& spoolDirectory() = 0;

  // Entries of one directory, named relative to its descriptor `dir`
  // (AT_FDCWD: the working directory), as openat(2), mkdirat(2),
  // renameat2(2), unlinkat(2) and fstatat(2) do. openAt adds O_CLOEXEC;
  // statAt never follows a link, and with an empty name reads `dir` itself.
  // -1 (false) with errno set on failure.
  virtual int openAt(int dir, const std::string& name, int flags, mode_t mode) = 0;
  virtual int mkdirAt(int dir, const std::string& name, mode_t mode) = 0;
  virtual int renameAt(int dir, const std::string& from, const std::string& to, unsigned flags) = 0;
  virtual int unlinkAt(int dir, const std::string& name, int flags) = 0;
  virtual bool statAt(int dir, const std::string& name, struct stat& status) = 0;
  // The names in directory `dir` other than "." and "..".
  virtual bool listAt(int dir, std::vector<std::string>& names) = 0;
  // Every IPv4 address of the gateway's own interfaces and each interface's
  // broadcast address, dotted; empty when they cannot be listed.
  virtual std::vector<std::string> gatewayAddresses() = 0;

  // The Env in use: the real device unless a ScopedEnv is alive.
  static Env& current();

 private:
  friend class ScopedEnv;
  static Env* installed;
};

// The real device: /bin/sh through runWithDeadline, std::chrono::steady_clock,
// time(2), the constant spool directory, the *at(2) system calls and
// getifaddrs(3).
class PosixEnv : public Env {
 public:
  std::string runCommand(const std::string& command) override;
  int runForStatus(const std::string& command) override;
  Clock::time_point now() override;
  std::time_t wallClock() override;
  const std::string& spoolDirectory() override;
  int openAt(int dir, const std::string& name, int flags, mode_t mode) override;
  int mkdirAt(int dir, const std::string& name, mode_t mode) override;
  int renameAt(int dir, const std::string& from, const std::string& to, unsigned flags) override;
  int unlinkAt(int dir, const std::string& name, int flags) override;
  bool statAt(int dir, const std::string& name, struct stat& status) override;
  bool listAt(int dir, std::vector<std::string>& names) override;
  std::vector<std::string> gatewayAddresses() override;
};

// Makes `env` the current Env for the object's life and restores the
// previous one after. `env` must outlive this object. Install and remove
// only on the main thread while no receiver thread runs.
class ScopedEnv {
 public:
  explicit ScopedEnv(Env& env) : previous_(Env::installed) { Env::installed = &env; }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() { Env::installed = previous_; }

 private:
  Env* previous_;
};

// Owns one file descriptor; closed when the object goes.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_;
};

// Creates `name` in directory `dir` afresh for writing: an entry already
// there is unlinked first (a link itself, never its target), and the new
// file is made exclusively, without following a link, close-on-exec, mode
// 0644. Returns the descriptor, or -1 with errno set.
int createFileAt(int dir, const std::string& name);

// Reads the entry `name` of directory `dir` into `text` when it is a
// regular file of at most `limit` bytes, opened without following a link
// (and without blocking on a FIFO someone planted). False otherwise.
bool readRegularFileAt(int dir, const std::string& name, size_t limit, std::string& text);

// ---- The real device's shell runner ----
// PosixEnv::runCommand and runForStatus run every command through
// runWithDeadline with the command's commandDeadline; WhileCommandsRun lets
// the lifecycle loop answer the bus while one runs. An Env that replaces
// those two calls (a test's) runs none of this. Main thread only, all of it.

// The longest a command may run before the runner ends it: by the program
// the command line starts with (see Env.cpp for each one's reason).
std::chrono::milliseconds commandDeadline(const std::string& command);

// While it lives, `action` runs about every 50 ms during a command that has
// run for more than 100 ms, on the thread that waits for the command: the
// lifecycle loop answers the bus meanwhile. Never re-entered. Main thread
// only.
class WhileCommandsRun {
 public:
  explicit WhileCommandsRun(std::function<void()> action);
  WhileCommandsRun(const WhileCommandsRun&) = delete;
  WhileCommandsRun& operator=(const WhileCommandsRun&) = delete;
  ~WhileCommandsRun();
  // Runs the installed action, if any.
  static void act();

 private:
  std::function<void()> action_;
  WhileCommandsRun* previous_;
};

struct CommandOutcome {
  std::string output;  // standard output, when captured (at most 64 KiB)
  int status = -1;     // as waitpid reports it; -1 when never reaped
  bool overran = false;
};
// Runs `command` with /bin/sh in a process group of its own, capturing its
// standard output when `capture` (else it goes where the daemon's goes).
// When `deadline` passes first, the whole group is killed and a level-3
// line names the program. A program that overran its deadline twice in a
// row runs on probation for the next 10 s, with a tenth of the deadline (at
// least 100 ms; one level-3 line), until a call ends in time: a hung tool
// would otherwise cost its whole deadline per call, minutes for a stop at
// the endpoint limit, while a recovered one runs at once. Throws
// std::runtime_error("popen() failed!") when the command cannot be started.
// Main thread only.
CommandOutcome runWithDeadline(const std::string& command, bool capture, std::chrono::milliseconds deadline);
