// The one place where the daemon runs shell command lines.
//
// Every command goes through the current ShellRunner: the real one runs
// /bin/sh; tests install a recorder that keeps every command text and
// returns scripted outputs and exit statuses. Command texts are built by the
// operation that owns them, with every value that came from outside passed
// through shellWord.
#pragma once

#include <string>

class ShellRunner {
 public:
  virtual ~ShellRunner();
  // Runs `command` and returns its whole standard output, unchanged.
  // Throws std::runtime_error("popen() failed!") when it cannot be started.
  virtual std::string capture(const std::string& command) = 0;
  // Runs `command` for its effect; returns the status as system(3) does.
  virtual int execute(const std::string& command) = 0;
};

// The runner that uses popen(3) and system(3).
class PosixShellRunner : public ShellRunner {
 public:
  std::string capture(const std::string& command) override;
  int execute(const std::string& command) override;
};

// Test seam: makes `runner` the current runner (it must remain live while
// installed); null restores the real one. Main thread only.
void setShellRunner(ShellRunner* runner);
ShellRunner& shellRunner();

// Runs one command line through the current runner and returns its whole
// standard output; throws std::runtime_error("popen() failed!").
std::string runCommand(const char* command);
// Runs one command line for its effect through the current runner.
int runShell(const std::string& command);

// Returns `value` as exactly one shell word that the shell turns back into
// `value` unchanged. A value made only of characters the shell never
// interprets stands as it is; any other value, and the empty one, is
// single-quoted.
std::string shellWord(const std::string& value);
