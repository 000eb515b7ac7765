#include "system/Shell.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

ShellRunner::~ShellRunner() = default;

namespace {

struct PipeCloser {
  void operator()(FILE* pipe) const { pclose(pipe); }
};

PosixShellRunner& defaultRunner() {
  static PosixShellRunner runner;
  return runner;
}

ShellRunner* current_runner = nullptr;

// Characters no shell treats specially anywhere inside an argument word.
bool isPlainWordCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '.':
    case '_':
    case '-':
    case ':':
    case '/':
    case '@':
    case '+':
    case ',':
    case '=':
    case '%':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string PosixShellRunner::capture(const std::string& command) {
  std::string result;
  // Closed on every way out, so a failing append does not leak the pipe or
  // leave the child unreaped.
  std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
  if (!pipe) throw std::runtime_error("popen() failed!");
  char buffer[128];
  while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
    result.append(buffer, strnlen(buffer, sizeof buffer));
  }
  pipe.reset();  // pclose waits for the command to end; its status is not used
  return result;
}

int PosixShellRunner::execute(const std::string& command) { return system(command.c_str()); }

void setShellRunner(ShellRunner* runner) { current_runner = runner; }

ShellRunner& shellRunner() { return current_runner != nullptr ? *current_runner : defaultRunner(); }

std::string runCommand(const char* command) { return shellRunner().capture(command); }

int runShell(const std::string& command) { return shellRunner().execute(command); }

std::string shellWord(const std::string& value) {
  bool plain = !value.empty();
  for (char c : value) {
    if (!isPlainWordCharacter(c)) {
      plain = false;
      break;
    }
  }
  if (plain) return value;
  std::string word = "'";
  for (char c : value) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  word += '\'';
  return word;
}
