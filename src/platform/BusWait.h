// Waiting on a private libdbus connection for a message, up to a deadline:
// shared by the dispatcher and the tools' client.
#pragma once

#include <dbus/dbus.h>
#include <time.h>

#include <algorithm>

namespace mgm_bus {

inline long long monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A wait of at most `timeoutMs` (a negative one: no wait at all, so every
// wait stays bounded).
class BusWait {
 public:
  explicit BusWait(int timeoutMs) : deadline_(monotonicMs() + std::max(timeoutMs, 0)) {}

  // Reads and writes what the socket allows, waiting at most until the
  // deadline; it returns early on any traffic (also part of a message, also
  // an interrupted poll), so the caller looks at the queue again after each
  // call. The socket is looked at once even with no time left. False once
  // the deadline has passed after that.
  bool readMore(DBusConnection* connection) {
    long long remaining = deadline_ - monotonicMs();
    if (remaining <= 0) {
      if (polled_) return false;
      remaining = 0;
    }
    polled_ = true;
    dbus_connection_read_write(connection, static_cast<int>(remaining));
    return true;
  }

 private:
  const long long deadline_;
  bool polled_ = false;
};

}  // namespace mgm_bus
