// The device as the daemon sees it: the shell, the monotonic clock, the
// spool directory and the creation of files in it. Every part that touches
// the device does so through Env::current(), so a test replaces the device
// by installing one object (see ScopedEnv) instead of patching globals.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

class Env {
 public:
  using Clock = std::chrono::steady_clock;

  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env();

  // Runs `command` with /bin/sh and returns its whole standard output,
  // unchanged. Throws std::runtime_error("popen() failed!") when it cannot
  // be started. The real device ends it at its deadline (commandDeadline).
  virtual std::string runCommand(const std::string& command) = 0;
  // Runs `command` with /bin/sh for its effect; returns the status as
  // system(3) does (-1 when it cannot be started). The real device ends it
  // at its deadline (commandDeadline).
  virtual int runShell(const std::string& command) = 0;
  virtual Clock::time_point now() = 0;
  // The directory of the spool; always ends in "/".
  virtual const std::string& spoolDirectory() = 0;
  // Creates `path` afresh for writing: an entry already at the path is
  // unlinked first (a link itself, never its target), and the new file is
  // made exclusively, without following a link, close-on-exec, mode 0644.
  // Returns the descriptor, or -1 with errno set.
  virtual int createFile(const std::string& path) = 0;

  // The Env in use: the real device unless a ScopedEnv is alive.
  static Env& current();

 private:
  friend class ScopedEnv;
  static Env* installed;
};

// The real device: /bin/sh, std::chrono::steady_clock and the constant
// spool directory.
class PosixEnv : public Env {
 public:
  std::string runCommand(const std::string& command) override;
  int runShell(const std::string& command) override;
  Clock::time_point now() override;
  const std::string& spoolDirectory() override;
  int createFile(const std::string& path) override;
};

// Forwards every call to another Env, so a test overrides only what it
// needs. `target` must outlive the wrapper.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  std::string runCommand(const std::string& command) override { return target_.runCommand(command); }
  int runShell(const std::string& command) override { return target_.runShell(command); }
  Clock::time_point now() override { return target_.now(); }
  const std::string& spoolDirectory() override { return target_.spoolDirectory(); }
  int createFile(const std::string& path) override { return target_.createFile(path); }

 private:
  Env& target_;
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
// line names the program. Throws std::runtime_error("popen() failed!") when
// the command cannot be started.
CommandOutcome runWithDeadline(const std::string& command, bool capture, std::chrono::milliseconds deadline);

// Reads the file at `path` into `text` when it is a regular file of at most
// `limit` bytes, opened without following a link (and without blocking on
// a FIFO someone planted). False otherwise.
bool readRegularFile(const std::string& path, size_t limit, std::string& text);
