#include "intake/Spool.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <istream>
#include <memory>
#include <sstream>

#include "Logging.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "system/Shell.h"

namespace {

// A received file is one datagram; anything longer is no file of ours.
constexpr size_t MAX_INCOMING_FILE_BYTES = 65536;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

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

// The spool directory's path without its closing "/".
std::string spoolPath() {
  std::string path = spoolDirectory();
  if (path.size() > 1) path.pop_back();
  return path;
}

bool isOwnPrivateDirectory(const struct stat& status) {
  return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isPrivateSpool() {
  struct stat status;
  return lstat(spoolPath().c_str(), &status) == 0 && isOwnPrivateDirectory(status);
}

// A parent that others may write without the sticky bit lets them swap the
// verified spool for a link later: say so once.
void warnAboutParent(const std::string& path) {
  static bool warned = false;
  struct stat status;
  const std::string parent = path.substr(0, path.rfind('/') + 1);
  if (warned || lstat(parent.c_str(), &status) != 0) return;
  if ((status.st_mode & S_IWOTH) != 0 && (status.st_mode & S_ISVTX) == 0) {
    MGM_LOG(3, "Spool parent %s is writable by everyone without the sticky bit: others can replace the spool",
            parent.c_str());
    warned = true;
  }
}

// The number of component service files in the spool.
uint32_t countSpoolFiles() {
  std::unique_ptr<DIR, DirCloser> dir(opendir(spoolDirectory().c_str()));
  uint32_t count = 0;
  while (dir) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    if (isServiceFileName(entry->d_name)) ++count;
  }
  return count;
}

// True when `file_name` names an entry of the spool directory itself: the
// text passed to the system holds exactly that name behind the directory.
bool staysInSpool(const std::string& file_name) {
  return isSafeSpoolName(file_name) && file_name.find('\0') == std::string::npos;
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
  std::istringstream in(text);
  return spoolNameFrom(in);
}

bool isSafeSpoolName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

bool verifySpoolDirectory() {
  const std::string path = spoolPath();
  struct stat status;
  warnAboutParent(path);
  if (lstat(path.c_str(), &status) == 0) {
    if (isOwnPrivateDirectory(status)) return true;
    const std::string aside =
        path + ".untrusted." + std::to_string(static_cast<long long>(std::time(nullptr)));
    const bool moved = std::rename(path.c_str(), aside.c_str()) == 0;
    if (!moved && !S_ISDIR(status.st_mode)) unlink(path.c_str());
    MGM_LOG(3, "Spool directory %s was no private directory of the daemon (mode %o, owner %u): %s",
            path.c_str(), static_cast<unsigned>(status.st_mode), static_cast<unsigned>(status.st_uid),
            moved ? ("moved aside to " + aside).c_str() : "removed");
  }
  mkdir(path.c_str(), 0755);
  return lstat(path.c_str(), &status) == 0 && isOwnPrivateDirectory(status);
}

int prepareSpoolDirectory() {
  verifySpoolDirectory();
  emptySpoolDirectory();
  return 0;
}

void emptySpoolDirectory() {
  if (verifySpoolDirectory()) runShell("exec rm -r " + shellWord(spoolDirectory()) + "*");
}

int handleIncomingFile() {
  const std::string temporary = spoolDirectory() + incoming_file_name + xml_extension;
  std::string text;
  if (!readRegularFile(temporary, MAX_INCOMING_FILE_BYTES, text)) {
    MGM_LOG(3, "Error in handling incoming file.");
    return 1;
  }

  // The name comes from received text: one that would address anything but
  // an entry of the spool is refused like a failed rename.
  const std::string name = spoolNameFor(text);
  const std::string file_name = name + xml_extension;
  if (!isSafeSpoolName(name) || !staysInSpool(file_name)) {
    MGM_LOG(3, "Error while renaming incoming service file");
    return 1;
  }
  const std::string target = spoolDirectory() + file_name;
  struct stat status;
  if (lstat(target.c_str(), &status) != 0 && countSpoolFiles() >= MAX_SPOOL_FILES) {
    unlink(temporary.c_str());
    static DropReport full;  // receiver thread only
    if (const uint32_t count = full.dropped(Env::current().now()))
      MGM_LOG(3,
              "Spool holds its limit of %u component service files: dropped %u file(s) with a new name, "
              "latest %s",
              MAX_SPOOL_FILES, count, file_name.c_str());
    return 0;
  }
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    MGM_LOG(3, "Error while renaming incoming service file");
    return 1;
  }
  return 0;
}

int cleanupServiceFiles(MachineComponentServices& incoming) {
  incoming.ServiceFileNames.clear();
  // Checked, not repaired: a spool removed while running is the receiver's
  // to notice.
  if (!isPrivateSpool()) return 0;
  const std::string& directory = spoolDirectory();
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir) {
    std::perror("");
    return 0;
  }

  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (!isServiceFileName(name)) continue;

    const std::time_t now = std::time(nullptr);
    struct stat status;
    // Only regular files are service files; an entry that vanished meanwhile
    // is left alone this cycle, neither listed nor deleted.
    if (lstat((directory + name).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;

    // The age test runs in 32-bit signed arithmetic, wrapping like the
    // device's time_t does.
    const int32_t now32 = static_cast<int32_t>(now);
    const int32_t limit =
        static_cast<int32_t>(static_cast<uint32_t>(status.st_mtime) + static_cast<uint32_t>(max_file_age));
    if (now32 > limit) {
      MGM_LOG(6, "File: %s is older then %d. Delete.", name.c_str(), max_file_age);
      runShell("exec rm " + shellWord(directory + name));
    } else {
      incoming.ServiceFileNames.push_back(name);
    }
  }
  return 0;
}
