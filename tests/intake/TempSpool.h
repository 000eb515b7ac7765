// A throw-away spool for one test: a fresh temporary directory, installed as
// the spool directory while the object lives.
#pragma once

#include <sys/time.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "env/Globals.h"

struct TempSpool {
  TempSpool() { setSpoolDirectoryForTesting(dir); }
  ~TempSpool() {
    setSpoolDirectoryForTesting("");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::string path(const std::string& name) const { return dir + name; }
  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }
  // Writes the file, its modification time `age` seconds before `now` when given.
  void write(const std::string& name, const std::string& text, std::time_t now = 0, long age = 0) const {
    std::ofstream(path(name), std::ios::binary) << text;
    const timeval times[2] = {{now - age, 0}, {now - age, 0}};
    if (now != 0) utimes(path(name).c_str(), times);
  }
  std::string read(const std::string& name) const { return readFile(path(name)); }
  static std::string readFile(const std::string& file) {
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
  }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
  }

  const std::string dir =
      mkdtemp((std::filesystem::temp_directory_path() / "mgm-spool-XXXXXX").string().data()) +
      std::string("/");
};

// The receiver's temporary file name in the spool.
inline std::string temporaryName() { return incoming_file_name + xml_extension; }
