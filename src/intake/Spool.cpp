#include "intake/Spool.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <istream>
#include <memory>
#include <sstream>

#include "Logging.h"
#include "model/Globals.h"
#include "system/Shell.h"

namespace {

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

// True when `file_name` names an entry of the spool directory itself: the
// text passed to the system holds exactly that name behind the directory.
bool staysInSpool(const std::string& file_name) {
  return isSafeSpoolName(file_name) && file_name.find('\0') == std::string::npos;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::string spoolNameFor(const std::string& text) {
  std::istringstream in(text);
  return spoolNameFrom(in);
}

bool isSafeSpoolName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

int handleIncomingFile() {
  const std::string temporary = spoolDirectory() + incoming_file_name + xml_extension;
  std::string name;
  try {
    std::ifstream in(temporary);
    name = spoolNameFrom(in);
  } catch (const std::exception&) {
    // Only failures of the reading itself land here; the forced unwind of a
    // thread cancellation is no std::exception and passes on.
    MGM_LOG(3, "Error in handling incoming file.");
    return 1;
  }

  // The name comes from received text: one that would address anything but
  // an entry of the spool is refused like a failed rename.
  const std::string file_name = name + xml_extension;
  if (!isSafeSpoolName(name) || !staysInSpool(file_name) ||
      std::rename(temporary.c_str(), (spoolDirectory() + file_name).c_str()) != 0) {
    MGM_LOG(3, "Error while renaming incoming service file");
    return 1;
  }
  return 0;
}

int cleanupServiceFiles(MachineComponentServices& incoming) {
  incoming.ServiceFileNames.clear();
  const std::string& directory = spoolDirectory();
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir) {
    std::perror("");
    return 0;
  }

  const std::string temporary = incoming_file_name + xml_extension;
  const std::string registry = registry_file_name + xml_extension;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == temporary || name == registry) continue;

    const std::time_t now = std::time(nullptr);
    struct stat status;
    // An entry that vanished or is a dangling link has no age: it is left
    // alone this cycle, neither listed nor deleted.
    if (stat((directory + name).c_str(), &status) != 0) continue;

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
