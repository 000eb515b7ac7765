// The names and numbers of the lifecycle protocol (docs/bus-protocol.md),
// shared by the daemon, our platform libraries and the tools. Depends on
// nothing, so the daemon also uses it when built against the device's own
// platform headers.
#pragma once

#include <cstdint>

namespace bus_protocol {

// A participant on the bus.
struct Participant {
  const char* name;
  const char* path;
};
inline constexpr Participant DAEMON{"tarn.mgm", "/tarn/mgm"};
inline constexpr Participant SUPERVISOR{"tarn.main", "/tarn/main"};
inline constexpr Participant ALARM_MANAGER{"tarn.alarm", "/tarn/alarm"};
// Where mgmctl has status replies sent to its own connection.
inline constexpr const char* MGMCTL_PATH = "/tarn/mgmctl";

inline constexpr const char* LIFECYCLE_INTERFACE = "tarn.Lifecycle";
inline constexpr const char* ALARM_INTERFACE = "tarn.Alarm";
inline constexpr const char* STATUS_REPLY_MEMBER = "StatusReply";

// Lifecycle statuses. A stop request may ask for Stopped or for one of the
// two further stop statuses the supervisor tells apart (5 and 6, unnamed);
// the daemon treats all three alike.
enum Status : uint32_t {
  STATUS_CREATED = 0,
  STATUS_READY = 1,
  STATUS_STARTING = 2,
  STATUS_RUNNING = 3,
  STATUS_STOPPED = 4,
  STATUS_EXITING = 7,
};
inline constexpr uint32_t FIRST_STOP_STATUS = STATUS_STOPPED;
inline constexpr uint32_t LAST_STOP_STATUS = 6;

// Name of a lifecycle status ("Running"), or null for a value without one.
constexpr const char* statusName(uint32_t status) {
  switch (status) {
    case STATUS_CREATED:
      return "Created";
    case STATUS_READY:
      return "Ready";
    case STATUS_STARTING:
      return "Starting";
    case STATUS_RUNNING:
      return "Running";
    case STATUS_STOPPED:
      return "Stopped";
    case STATUS_EXITING:
      return "Exiting";
    default:
      return nullptr;
  }
}

}  // namespace bus_protocol

// The daemon's result codes for lifecycle requests (0 = accepted) and for a
// lifecycle that could not begin.
constexpr uint32_t LC_INVALID_STOP_STATUS = 0x26000002;
constexpr uint32_t LC_STOP_NOT_ALLOWED = 0x26000100;
constexpr uint32_t LC_START_NOT_ALLOWED = 0x26000101;
constexpr uint32_t LC_RESTART_NOT_ALLOWED = 0x26000104;
constexpr uint32_t MGM_NOT_CONNECTED = 0x29000001;
