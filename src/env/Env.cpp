#include "env/Env.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "env/Globals.h"

Env::~Env() = default;

Env* Env::installed = nullptr;

Env& Env::current() {
  static PosixEnv device;
  return installed != nullptr ? *installed : device;
}

namespace {
struct PipeCloser {
  void operator()(FILE* pipe) const { pclose(pipe); }
};
}  // namespace

std::string PosixEnv::runCommand(const std::string& command) {
  std::string result;
  // Closed on every way out, so a failing append does not leak the pipe or
  // leave the child unreaped. "e": no later command inherits the pipe.
  std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "re"));
  if (!pipe) throw std::runtime_error("popen() failed!");
  char buffer[128];
  while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr)
    result.append(buffer, strnlen(buffer, sizeof buffer));
  pipe.reset();  // pclose waits for the command to end; its status is not used
  return result;
}

int PosixEnv::runShell(const std::string& command) { return system(command.c_str()); }

Env::Clock::time_point PosixEnv::now() { return Clock::now(); }

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
