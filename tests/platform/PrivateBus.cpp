#include "PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

constexpr int START_TIMEOUT_MS = 20000;

const char* CONFIG_TEMPLATE =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>system</type>\n"
    "  <listen>unix:path=@DIR@/system_bus_socket</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow user=\"*\"/>\n"
    "    <allow own=\"*\"/>\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

}  // namespace

PrivateBus::~PrivateBus() {
  Kill();
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  if (had_address_)
    setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_address_.c_str(), 1);
  else
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

bool PrivateBus::Start(std::string& error) {
  char pattern[] = "/tmp/mgm-bus-XXXXXX";
  if (!mkdtemp(pattern)) {
    error = "mkdtemp failed";
    return false;
  }
  directory_ = pattern;
  std::string config = CONFIG_TEMPLATE;
  config.replace(config.find("@DIR@"), 5, directory_);
  std::string configPath = directory_ + "/bus.conf";
  std::ofstream(configPath) << config;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return false;
  }
  pid_ = fork();
  if (pid_ == 0) {
    if (fds[1] == 3)
      fcntl(3, F_SETFD, 0);
    else
      dup2(fds[1], 3);  // the copy is not close-on-exec
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    // Its warnings (an fd limit it may not raise) go to a file beside it.
    int log = open((directory_ + "/bus.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(log, 2);
    std::string configArg = "--config-file=" + configPath;
    execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--print-address=3",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  if (pid_ < 0) {
    close(fds[0]);
    error = "fork failed";
    return false;
  }

  // The address comes as one line once the bus listens.
  std::string line;
  pollfd pfd{fds[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&pfd, 1, START_TIMEOUT_MS) > 0) {
    char buffer[256];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (line.find('\n') == std::string::npos) {
    Kill();
    error = "dbus-daemon did not start (is it installed?)";
    return false;
  }
  address_ = line.substr(0, line.find('\n'));

  if (const char* previous = getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
    had_address_ = true;
    previous_address_ = previous;
  }
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
  return true;
}

void PrivateBus::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}
