#include "SystemTestSupport.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>

namespace system_test {

TempDir::TempDir() {
  char pattern[] = "/tmp/mgm_system_test_XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  PosixShellRunner runner;
  runner.execute("rm -rf " + shellWord(path_));
}

bool TempDir::exists(const std::string& name) const {
  struct stat status;
  return lstat((path_ + "/" + name).c_str(), &status) == 0;
}

std::string runInDirectory(const std::string& directory, const std::string& command) {
  PosixShellRunner runner;
  return runner.capture("cd " + shellWord(directory) + " && " + command);
}

}  // namespace system_test
