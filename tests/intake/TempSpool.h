// A throw-away spool for one test: a fresh directory "spool" inside a fresh
// temporary root, installed as the spool directory while the object lives.
#pragma once

#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "model/Globals.h"

class TempSpool {
 public:
  TempSpool() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mgm-intake-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    dir_ = root_ + "/spool/";
    std::filesystem::create_directory(dir_);
    setSpoolDirectoryForTesting(dir_);
  }
  TempSpool(const TempSpool&) = delete;
  TempSpool& operator=(const TempSpool&) = delete;
  ~TempSpool() {
    setSpoolDirectoryForTesting("");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  const std::string& root() const { return root_; }
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + name; }
  std::string temporaryFile() const { return path(incoming_file_name + xml_extension); }

  void write(const std::string& name, const std::string& content) const {
    std::ofstream(path(name), std::ios::binary) << content;
  }
  bool exists(const std::string& name) const {
    return std::filesystem::exists(std::filesystem::symlink_status(path(name)));
  }
  std::string read(const std::string& name) const { return readFile(path(name)); }
  static std::string readFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Sets the modification time of an entry to `seconds` before `now`.
  void age(const std::string& name, std::time_t now, long seconds) const {
    timeval times[2] = {{now - seconds, 0}, {now - seconds, 0}};
    utimes(path(name).c_str(), times);
  }
  // Entry names of a directory, sorted.
  static std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> entries() const { return entries(dir_); }

 private:
  std::string root_;
  std::string dir_;
};
