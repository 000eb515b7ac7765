// The spool directory as one descriptor. The daemon runs as root beside
// unprivileged users; a path it resolved anew for every operation could be
// steered by whoever can swap a directory on the way. Every operation on a
// spool entry therefore goes through a descriptor of the spool that was
// checked when it was opened: its parent lets nobody else swap the spool,
// and the spool is a real directory of the daemon's own that nobody else
// may write. Entries are then named relative to it and never followed when
// they are links.
#pragma once

#include <sys/stat.h>

#include <string>

#include "env/Env.h"

class SpoolDirectory {
 public:
  // Opens and checks the spool of the current Env. When refused, fd() is
  // -1, problem() says why and error() holds errno when a directory could
  // not be opened (ENOENT: the spool is gone).
  static SpoolDirectory open();

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.get() >= 0; }
  const std::string& problem() const { return problem_; }
  int error() const { return error_; }

 private:
  UniqueFd fd_;
  std::string problem_;
  int error_ = 0;
};

// The spool's parent directory and the spool's name in it.
std::string spoolParentPath();
std::string spoolEntryName();

// Why a spool parent with this status would let someone other than the
// daemon swap the spool ("" when it would not): owned by another user than
// root or the daemon's own, or writable by group or others without the
// sticky bit.
std::string spoolParentProblem(const std::string& path, const struct stat& status);
// True for a real directory owned by the daemon's user that no one else may
// write.
bool isOwnPrivateDirectory(const struct stat& status);
