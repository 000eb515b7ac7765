#include "env/SpoolDirectory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "env/Globals.h"

namespace {

// The spool's path without its closing "/".
std::string spoolPath() {
  std::string path = spoolDirectory();
  if (path.size() > 1) path.pop_back();
  return path;
}

std::string octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::string spoolParentPath() {
  const std::string path = spoolPath();
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string spoolEntryName() {
  const std::string path = spoolPath();
  return path.substr(path.rfind('/') + 1);
}

std::string spoolParentProblem(const std::string& path, const struct stat& status) {
  if (status.st_uid != 0 && status.st_uid != geteuid())
    return "its parent " + path + " is owned by user " + std::to_string(status.st_uid);
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0)
    return "its parent " + path + " is writable by others without the sticky bit (mode " +
           octal(status.st_mode) + ")";
  return std::string();
}

bool isOwnPrivateDirectory(const struct stat& status) {
  return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

SpoolDirectory SpoolDirectory::open() {
  Env& env = Env::current();
  SpoolDirectory spool;
  const std::string parent_path = spoolParentPath();
  // The parent is taken as the path names it; what counts is its status,
  // read from the very descriptor the spool is then opened from.
  const UniqueFd parent(env.openAt(AT_FDCWD, parent_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  struct stat status;
  if (parent.get() < 0 || !env.statAt(parent.get(), "", status)) {
    spool.error_ = errno;
    spool.problem_ = "its parent " + parent_path + " cannot be opened (" + std::strerror(spool.error_) + ")";
    return spool;
  }
  spool.problem_ = spoolParentProblem(parent_path, status);
  if (!spool.problem_.empty()) return spool;

  UniqueFd fd(env.openAt(parent.get(), spoolEntryName(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
  if (fd.get() < 0) {
    spool.error_ = errno;
    spool.problem_ = std::string("it cannot be opened as a directory (") + std::strerror(spool.error_) + ")";
    return spool;
  }
  if (!env.statAt(fd.get(), "", status) || !isOwnPrivateDirectory(status)) {
    spool.problem_ = "it is no private directory of the daemon (mode " + octal(status.st_mode) + ", owner " +
                     std::to_string(status.st_uid) + ")";
    return spool;
  }
  spool.fd_ = std::move(fd);
  return spool;
}
