// A private dbus-daemon for bus tests: a system-like bus listening on a Unix
// socket in a temporary directory, with a policy that allows everything.
// While it runs, DBUS_SYSTEM_BUS_ADDRESS of this process points to it.
#pragma once

#include <sys/types.h>

#include <string>

class PrivateBus {
 public:
  PrivateBus() = default;
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Writes the configuration and starts dbus-daemon. False with a reason
  // when dbus-daemon is missing or does not come up within 20 s.
  bool Start(std::string& error);
  // Ends the bus daemon at once (SIGKILL) and reaps it.
  void Kill();

  const std::string& Address() const { return address_; }
  const std::string& Directory() const { return directory_; }

 private:
  std::string directory_;
  std::string address_;
  pid_t pid_ = -1;
  bool had_address_ = false;
  std::string previous_address_;
};
