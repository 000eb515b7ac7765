#include "BenchSupport.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "Logging.h"

namespace {
std::atomic<bool> print_errors{false};
}  // namespace

// The benchmarks' logging library.
void Logging::SetName(const char*) {}

void Logging::Message(LOGGING_LEVEL level, const char*, int, const char* fmt, ...) {
  if (!print_errors.load(std::memory_order_relaxed) || level > LEVEL_ERROR) return;
  std::va_list args;
  va_start(args, fmt);
  std::fprintf(stderr, "log %d: ", static_cast<int>(level));
  std::vfprintf(stderr, fmt, args);
  std::fputc('\n', stderr);
  va_end(args);
}

namespace bench {

void logErrorsToStderr(bool on) { print_errors = on; }

TempDir::TempDir(const std::string& tag) {
  const std::filesystem::path base = access("/dev/shm", W_OK) == 0 ? std::filesystem::path("/dev/shm")
                                                                   : std::filesystem::temp_directory_path();
  std::string pattern = (base / ("mgm-" + tag + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot make a directory under " + base.string());
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string componentServiceFile(const std::string& component_id, const std::string& service_id,
                                 const std::vector<std::string>& endpoints) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<RegMachCompSvcReq>\n"
      "  <ComponentList>\n"
      "    <Component ComponentID=\"" +
      component_id +
      "\">\n"
      "      <ServiceList>\n"
      "        <Service ServiceID=\"" +
      service_id + "\">\n";
  for (const std::string& endpoint : endpoints)
    text += "          <ServiceEndpoint>" + endpoint + "</ServiceEndpoint>\n";
  text +=
      "        </Service>\n"
      "      </ServiceList>\n"
      "    </Component>\n"
      "  </ComponentList>\n"
      "</RegMachCompSvcReq>\n";
  return text;
}

bool writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out.flush());
}

}  // namespace bench
