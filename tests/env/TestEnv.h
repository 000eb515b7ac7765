// The device of one test: a fresh temporary spool (in a temporary root that
// also holds anything a test puts beside it), a shell that records every
// command and answers from a script, a clock the test moves, and faults
// injected into file creation. Installed as the current Env while it
// lives (the previous one comes back after), with the process-wide flags
// and the registry back-off at their initial values.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PlatformDouble.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "system/RegistryUpload.h"

class TestEnv : public EnvWrapper {
 public:
  // Shell: every command, in order; exact command -> output; one curl output
  // per post (the last one repeats); the VPN manager's check status.
  std::vector<std::string> commands;
  std::map<std::string, std::string> outputs;
  std::vector<std::string> curl_outputs{"200\n"};
  // Answers of the next commands, in turn, before any other (nullopt: popen
  // fails).
  std::deque<std::optional<std::string>> next_outputs;
  // The registry request file as each post found it ("" when missing).
  std::vector<std::string> posted;
  int vpn_check_status = 0;
  // File creation and directory listing fail with these errnos when
  // non-zero; when `disk_full`, a file "opens" but every write fails with
  // ENOSPC.
  std::atomic<int> create_error{0}, list_error{0};
  std::atomic<bool> disk_full{false};
  // The gateway's own addresses, as the interfaces list them.
  std::vector<std::string> gateway_addresses{"127.0.0.1", "192.168.2.1", "192.168.2.255", "198.51.100.1"};
  // Called before every open, rename, unlink, mkdir and status read of a
  // directory entry, with the operation's name ("open", "rename", ...)
  // and the entry's: a test races the daemon here, or throws. Set it while
  // no receiver runs.
  std::function<void(const std::string& operation, const std::string& name)> before;

  TestEnv() : EnvWrapper(device()) {
    mkdir(dir.c_str(), 0700);
    run_thread = true;
    new_registry_service_file = registry_service_file_send_request = tarn_is_iot = false;
    resetRegistryBackOff();
    platform_double::resetAll();
    outputs["/sbin/ifconfig Untrusted | grep 'inet addr' | cut -d: -f2 | awk '{print $1}'"] =
        "198.51.100.1\n";
    outputs["/sbin/ifconfig Trusted | grep 'inet addr' | cut -d: -f2 | awk '{print $1}'"] = "192.168.2.1\n";
    outputs["timeout -t 5 /usr/local/bin/GSMUtil iccid"] = "8949 0200 0012 3456 7890\n";
    outputs["timeout -t 5 /usr/local/bin/GSMUtil provider"] = "262011234567890 Telekom\n";
  }
  ~TestEnv() override {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  std::string runCommand(const std::string& command) override {
    commands.push_back(command);
    if (!next_outputs.empty()) {
      const std::optional<std::string> out = next_outputs.front();
      next_outputs.pop_front();
      if (!out) throw std::runtime_error("popen() failed!");
      return *out;
    }
    if (command.rfind("curl ", 0) == 0) {
      posted.push_back(read(registry_file_name + xml_extension));  // "" when missing
      std::string out = curl_outputs.front();
      if (curl_outputs.size() > 1) curl_outputs.erase(curl_outputs.begin());
      return out;
    }
    auto it = outputs.find(command);
    return it == outputs.end() ? "" : it->second;
  }
  int runShell(const std::string& command) override {
    commands.push_back(command);
    if (command == "/usr/local/bin/tarn-vpn-manager -check") return vpn_check_status;
    return 0;
  }
  // Commands that begin with `prefix`, in order.
  std::vector<std::string> starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& c : commands)
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }

  Clock::time_point now() override { return start_ + std::chrono::seconds(seconds_.load()); }
  void advance(long seconds) { seconds_ += seconds; }

  const std::string& spoolDirectory() override { return dir; }
  // The real operations, after `before`; a file made for writing gets the
  // injected faults.
  int openAt(int dir, const std::string& name, int flags, mode_t mode) override {
    hook("open", name);
    if ((flags & O_CREAT) != 0 && create_error != 0) return errno = create_error, -1;
    if ((flags & O_CREAT) != 0 && disk_full) return open("/dev/full", O_WRONLY | O_CLOEXEC);
    return EnvWrapper::openAt(dir, name, flags, mode);
  }
  int mkdirAt(int dir, const std::string& name, mode_t mode) override {
    return hook("mkdir", name), EnvWrapper::mkdirAt(dir, name, mode);
  }
  int renameAt(int dir, const std::string& from, const std::string& to, unsigned flags) override {
    return hook("rename", from), EnvWrapper::renameAt(dir, from, to, flags);
  }
  int unlinkAt(int dir, const std::string& name, int flags) override {
    return hook("unlink", name), EnvWrapper::unlinkAt(dir, name, flags);
  }
  bool statAt(int dir, const std::string& name, struct stat& status) override {
    return hook("stat", name), EnvWrapper::statAt(dir, name, status);
  }

  bool listAt(int dir, std::vector<std::string>& names) override {
    return list_error ? (errno = list_error, false) : EnvWrapper::listAt(dir, names);
  }
  std::vector<std::string> gatewayAddresses() override { return gateway_addresses; }

  // The spool's files (an absolute name: that file).
  std::string path(const std::string& name) const { return name.rfind('/', 0) == 0 ? name : dir + name; }
  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }
  // Writes the file, its modification time `age` seconds in the past.
  void write(const std::string& name, const std::string& text, long age = 0) const {
    std::ofstream(path(name), std::ios::binary) << text;
    const auto now = std::filesystem::last_write_time(path(name));
    std::filesystem::last_write_time(path(name), now - std::chrono::seconds(age));
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
  }

  // A fresh temporary directory, removed with everything in it; the spool is
  // its subdirectory "spool".
  const std::string root =
      mkdtemp((std::filesystem::temp_directory_path() / "mgm-test-XXXXXX").string().data());
  const std::string dir = root + "/spool/";

 private:
  static PosixEnv& device() {
    static PosixEnv posix;
    return posix;
  }
  // An hour apart for every TestEnv: a once-a-minute report starts afresh.
  static inline int instances_ = 0;
  const Clock::time_point start_ = Clock::now() + std::chrono::hours(++instances_);
  std::atomic<long> seconds_{0};
  ScopedEnv scope_{*this};

  void hook(const char* operation, const std::string& name) {
    if (before) before(operation, name);
  }
};

// Waits up to a generous bound for `condition`; true when it came.
inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

// Sends one UDP datagram to `port` on loopback.
inline void sendDatagram(uint16_t port, const std::string& payload) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  close(fd);
}

// Sends `payload` every 10 ms until `condition` holds (a receiver may not
// have bound its port yet, or may drop some); true when it came.
inline bool sendUntil(uint16_t port, const std::string& payload, const std::function<bool()>& condition) {
  int sent = 0;
  return eventually([&] {
    if (condition()) return true;
    if (sent++ % 5 == 0) sendDatagram(port, payload);
    return false;
  });
}
