// Helpers for the system tests: a ShellRunner that records every command and
// answers with scripted outputs, and a temporary directory.
#pragma once

#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "system/Shell.h"

namespace system_test {

class RecordingShell : public ShellRunner {
 public:
  struct Call {
    bool captured;  // runCommand (true) or runShell (false)
    std::string command;
  };

  // Outputs for the coming captures, in order; std::nullopt makes that
  // capture fail as popen() does. Once used up, captures return "".
  std::deque<std::optional<std::string>> outputs;
  std::vector<Call> calls;

  std::string capture(const std::string& command) override {
    calls.push_back({true, command});
    if (outputs.empty()) return std::string();
    std::optional<std::string> output = outputs.front();
    outputs.pop_front();
    if (!output) throw std::runtime_error("popen() failed!");
    return *output;
  }

  int execute(const std::string& command) override {
    calls.push_back({false, command});
    return 0;
  }

  std::vector<std::string> commands() const {
    std::vector<std::string> texts;
    for (const Call& call : calls) texts.push_back(call.command);
    return texts;
  }
};

// A fresh directory, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

// Runs `command` with the real shell inside `directory`.
std::string runInDirectory(const std::string& directory, const std::string& command);

}  // namespace system_test
