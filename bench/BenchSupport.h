// Helpers shared by the benchmarks and the intake throughput tool.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "env/Env.h"

namespace bench {

// The logging library of the benchmarks prints nothing, so that no time goes
// into formatting records; with `on` it prints records of level 3 and below
// to standard error.
void logErrorsToStderr(bool on);

// A fresh directory, removed with everything in it when the object goes.
// It lies on tmpfs (/dev/shm) when there is one, as the device's spool does.
class TempDir {
 public:
  explicit TempDir(const std::string& tag);
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  // Ends in "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The real device with the spool in `spool` (ends in "/").
class SpoolEnv : public PosixEnv {
 public:
  explicit SpoolEnv(std::string spool = "") : spool(std::move(spool)) {}
  const std::string& spoolDirectory() override { return spool; }
  std::string spool;
};

// A component service file as a component writes it, one element per line:
// one component with one service that lists `endpoints`.
std::string componentServiceFile(const std::string& component_id, const std::string& service_id,
                                 const std::vector<std::string>& endpoints);

// Writes `content` to `path`, replacing it; false on failure.
bool writeFile(const std::string& path, const std::string& content);

}  // namespace bench
