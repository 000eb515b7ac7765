#include "intake/Spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <istream>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "Logging.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "env/SpoolDirectory.h"

namespace {

// A received file is one datagram; anything longer is no file of ours.
constexpr size_t MAX_INCOMING_FILE_BYTES = 65536;

// Entries of the spool that are not component service files: the
// receiver's temporary file and the registry request with its temporary.
bool isServiceFileName(const std::string& name) {
  return name != "." && name != ".." && name != incoming_file_name + xml_extension &&
         name != registry_file_name + xml_extension &&
         name != registry_file_name + xml_extension + partial_extension;
}

// Collects the component and service parts from the lines of a received
// file; a later matching line replaces an earlier result.
class SpoolNameParts {
 public:
  void feed(const std::string& line) {
    if (line.find("ComponentID") != std::string::npos) {
      // After the first "/" (the whole line without one), up to the next quote.
      const std::string::size_type slash = line.find('/');
      const std::string::size_type begin = slash == std::string::npos ? 0 : slash + 1;
      component_ = line.substr(begin, line.find('"', begin) - begin);
    } else if (line.find("ServiceID") != std::string::npos) {
      // After the first quote (the whole line without one), up to the next one.
      const std::string::size_type quote = line.find('"');
      const std::string::size_type begin = quote == std::string::npos ? 0 : quote + 1;
      service_ = line.substr(begin, line.find('"', begin) - begin);
    }
  }

  std::string name() const {
    if (component_.rfind('.', 0) == 0 || service_.rfind('.', 0) == 0) return std::string();
    std::string name = component_ + "_" + service_;
    const std::string::size_type slash = name.find('/');
    if (slash != std::string::npos) name[slash] = '_';
    return name;
  }

 private:
  std::string component_;
  std::string service_;
};

std::string spoolNameFrom(std::istream& in) {
  SpoolNameParts parts;
  std::string line;
  while (std::getline(in, line)) parts.feed(line);
  return parts.name();
}

// The number of component service files in the spool.
uint32_t countSpoolFiles(int spool) {
  std::vector<std::string> names;
  Env::current().listAt(spool, names);
  uint32_t count = 0;
  for (const std::string& name : names)
    if (isServiceFileName(name)) ++count;
  return count;
}

// True when `file_name` names an entry of the spool directory itself: the
// text passed to the system holds exactly that name behind the directory.
bool staysInSpool(const std::string& file_name) {
  return isSafeSpoolName(file_name) && file_name.find('\0') == std::string::npos;
}

// Says at level 3 why the spool is refused, again only when the reason
// changes; says at level 6 when it is fit again. Main thread only.
void reportSpoolState(const SpoolDirectory& spool) {
  static std::string reported;
  if (spool.problem() == reported) return;
  if (spool.valid()) {
    MGM_LOG(6, "Spool directory %s is fit for use again", spoolDirectory().c_str());
  } else {
    MGM_LOG(3, "Spool directory %s refused: %s. Datagrams are dropped and cycles skipped while it is.",
            spoolDirectory().c_str(), spool.problem().c_str());
  }
  reported = spool.problem();
}

// The spool of the main thread's phases and cycles, its state reported.
SpoolDirectory openReportedSpool() {
  SpoolDirectory spool = SpoolDirectory::open();
  reportSpoolState(spool);
  return spool;
}

// The tries at putting the spool in place while a race changes what stands
// at its name.
constexpr int MAX_INSTALL_ATTEMPTS = 8;

// A name for moving an entry aside that no one can guess beforehand.
std::string asideName() {
  std::random_device random;
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%08x%08x", random(), random());
  return spoolEntryName() + ".untrusted." + suffix;
}

// Puts a private directory of the daemon at the spool's name in `parent`.
// The directory is made under an unpredictable name first and then swapped
// in, so whatever stood at the name ends up under that name in the same
// step and its owner cannot put it back in between; what cannot be swapped
// and is no directory is removed (a link itself, never its target). A race
// that changes what stands at the name is met by trying again. The log says
// what became of a foreign entry.
void installSpool(int parent, const std::string& parent_path) {
  Env& env = Env::current();
  const std::string name = spoolEntryName();
  std::string outcome;
  struct stat status;
  bool foreign = false;
  for (int attempt = 0; attempt < MAX_INSTALL_ATTEMPTS; ++attempt) {
    const bool present = env.statAt(parent, name, status);
    if (present && isOwnPrivateDirectory(status)) break;
    foreign = foreign || present;
    const std::string fresh = asideName();
    int error = 0;
    if (env.mkdirAt(parent, fresh, 0755) != 0) {
      error = errno;
    } else if (env.renameAt(parent, fresh, name, present ? RENAME_EXCHANGE : RENAME_NOREPLACE) == 0) {
      if (!present) break;
      // The log tells of what was swapped out, whatever stood there by then.
      env.statAt(parent, fresh, status);
      outcome = "moved aside to " + parent_path + "/" + fresh;
      break;
    } else {
      error = errno;
      env.unlinkAt(parent, fresh, AT_REMOVEDIR);
    }
    outcome = error == ENOENT && present
                  ? "gone before it was moved aside"
                  : std::string("neither moved aside nor removed (") + std::strerror(error) + ")";
    if (present && error != ENOENT && !S_ISDIR(status.st_mode) && env.unlinkAt(parent, name, 0) == 0)
      outcome = "removed";
  }
  if (!foreign) return;
  MGM_LOG(3, "Spool directory %s was no private directory of the daemon (mode %o, owner %u): %s",
          (parent_path + "/" + name).c_str(), static_cast<unsigned>(status.st_mode),
          static_cast<unsigned>(status.st_uid), outcome.c_str());
}

// Removes every entry of directory `dir`, directories with what they hold,
// never following a link; `depth` bounds the descent.
void removeEntries(int dir, int depth) {
  Env& env = Env::current();
  std::vector<std::string> names;
  if (!env.listAt(dir, names)) return;
  for (const std::string& name : names) {
    struct stat status;
    if (!env.statAt(dir, name, status)) continue;
    if (!S_ISDIR(status.st_mode)) {
      env.unlinkAt(dir, name, 0);
    } else if (depth > 0) {
      const UniqueFd sub(env.openAt(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0));
      if (sub.get() >= 0) removeEntries(sub.get(), depth - 1);
      env.unlinkAt(dir, name, AT_REMOVEDIR);
    }
  }
}
constexpr int MAX_WIPE_DEPTH = 16;

// Spool files dated in the future (the clock was set back) age from when the
// cleanup first saw them, on the monotonic clock. Main thread only.
class FutureDates {
 public:
  // The seconds `name` with this status has been seen dated in the future.
  int64_t secondsSeen(const std::string& name, const struct stat& status, Env::Clock::time_point now) {
    Sighting& sighting = seen_[name];
    if (sighting.inode != status.st_ino || sighting.mtime != status.st_mtime || !sighting.known)
      sighting = Sighting{true, status.st_ino, status.st_mtime, now};
    kept_.push_back(name);
    return std::chrono::duration_cast<std::chrono::seconds>(now - sighting.first_seen).count();
  }
  // Forgets the files not met since the last call.
  void forgetOthers() {
    std::map<std::string, Sighting> kept;
    for (const std::string& name : kept_) kept[name] = seen_[name];
    seen_.swap(kept);
    kept_.clear();
  }

 private:
  struct Sighting {
    bool known = false;
    ino_t inode = 0;
    time_t mtime = 0;
    Env::Clock::time_point first_seen{};
  };
  std::map<std::string, Sighting> seen_;
  std::vector<std::string> kept_;
};

// True when the file with this status is older than max_file_age. The test
// runs in 32-bit signed arithmetic, wrapping like the device's time_t does.
bool isAged(const std::string& name, const struct stat& status, FutureDates& future) {
  const int32_t now32 = static_cast<int32_t>(Env::current().wallClock());
  const int32_t mtime32 = static_cast<int32_t>(status.st_mtime);
  if (mtime32 > now32) return future.secondsSeen(name, status, Env::current().now()) > max_file_age;
  const int32_t limit =
      static_cast<int32_t>(static_cast<uint32_t>(status.st_mtime) + static_cast<uint32_t>(max_file_age));
  return now32 > limit;
}

}  // namespace

uint32_t DropReport::dropped(Clock::time_point now) {
  ++unreported_;
  if (reported_ && now - last_report_ < std::chrono::minutes(1)) return 0;
  reported_ = true;
  last_report_ = now;
  const uint32_t count = unreported_;
  unreported_ = 0;
  return count;
}

std::string spoolNameFor(const std::string& text) {
  // Read up to the first NUL, as the parser reads the file.
  std::istringstream in(text.substr(0, text.find('\0')));
  return spoolNameFrom(in);
}

bool isSafeSpoolName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

int prepareSpoolDirectory() {
  Env& env = Env::current();
  const std::string parent_path = spoolParentPath();
  const UniqueFd parent(env.openAt(AT_FDCWD, parent_path, O_RDONLY | O_DIRECTORY, 0));
  struct stat status;
  // Under a parent others may change, nothing is moved or made: the checked
  // open below refuses the spool and says why.
  if (parent.get() >= 0 && env.statAt(parent.get(), "", status) &&
      spoolParentProblem(parent_path, status).empty()) {
    installSpool(parent.get(), parent_path);
  }
  const SpoolDirectory spool = openReportedSpool();
  if (!spool.valid()) return 1;
  removeEntries(spool.fd(), MAX_WIPE_DEPTH);
  return 0;
}

bool isSpoolFit() {
  const SpoolDirectory spool = openReportedSpool();
  return spool.valid();
}

void emptySpoolDirectory() {
  const SpoolDirectory spool = openReportedSpool();
  if (spool.valid()) removeEntries(spool.fd(), MAX_WIPE_DEPTH);
}

int handleIncomingFile() {
  const SpoolDirectory spool = SpoolDirectory::open();
  if (!spool.valid()) {
    MGM_LOG(3, "Error while renaming incoming service file");
    return 1;
  }
  return handleIncomingFile(spool.fd());
}

int handleIncomingFile(int spool) {
  const std::string temporary = incoming_file_name + xml_extension;
  std::string name;
  try {
    std::string text;
    if (!readRegularFileAt(spool, temporary, MAX_INCOMING_FILE_BYTES, text)) {
      MGM_LOG(3, "Error in handling incoming file.");
      return 1;
    }
    name = spoolNameFor(text);
  } catch (const std::exception&) {
    // Memory exhausted, for example: the file stays, the receiver goes on.
    MGM_LOG(3, "Error in handling incoming file.");
    return 1;
  }

  // The name comes from received text: one that would address anything but
  // an entry of the spool is refused like a failed rename.
  const std::string file_name = name + xml_extension;
  if (!isSafeSpoolName(name) || !staysInSpool(file_name)) {
    MGM_LOG(3, "Error while renaming incoming service file");
    return 1;
  }
  Env& env = Env::current();
  struct stat status;
  if (!env.statAt(spool, file_name, status) && countSpoolFiles(spool) >= MAX_SPOOL_FILES) {
    env.unlinkAt(spool, temporary, 0);
    static DropReport full;  // receiver thread only
    if (const uint32_t count = full.dropped(env.now()))
      MGM_LOG(3,
              "Spool holds its limit of %u component service files: dropped %u file(s) with a new name, "
              "latest %s",
              MAX_SPOOL_FILES, count, file_name.c_str());
    return 0;
  }
  if (env.renameAt(spool, temporary, file_name, 0) != 0) {
    MGM_LOG(3, "Error while renaming incoming service file");
    return 1;
  }
  return 0;
}

int cleanupServiceFiles(MachineComponentServices& incoming) {
  incoming.ServiceFileNames.clear();
  const SpoolDirectory spool = openReportedSpool();
  if (!spool.valid()) return 1;
  Env& env = Env::current();
  std::vector<std::string> names;
  // Out of descriptors or memory, say: not a spool without components.
  if (!env.listAt(spool.fd(), names)) {
    MGM_LOG(3, "Spool directory %s could not be listed: %s", spoolDirectory().c_str(), std::strerror(errno));
    return 1;
  }

  static FutureDates future;  // main thread only
  for (const std::string& name : names) {
    if (!isServiceFileName(name)) continue;
    struct stat status;
    // Only regular files are service files; an entry that vanished meanwhile
    // is left alone this cycle, neither listed nor deleted.
    if (!env.statAt(spool.fd(), name, status) || !S_ISREG(status.st_mode)) continue;
    if (isAged(name, status, future)) {
      // "older then": the log's readers match this text as it has always been.
      MGM_LOG(6, "File: %s is older then %d. Delete.", name.c_str(), max_file_age);
      env.unlinkAt(spool.fd(), name, 0);
    } else {
      incoming.ServiceFileNames.push_back(name);
    }
  }
  future.forgetOthers();
  return 0;
}
