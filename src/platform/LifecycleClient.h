// Client side of the lifecycle protocol (docs/bus-protocol.md) for tools
// that drive the daemon: sends lifecycle requests to the daemon and
// receives StatusReply calls. One thread; talks to the system bus
// (DBUS_SYSTEM_BUS_ADDRESS honoured).
#pragma once

#include <cstdint>
#include <string>

#include "BusProtocol.h"

struct DBusConnection;

namespace mgm_client {

// "3 (Running)", or just "5" for a value without a name.
std::string describeStatus(uint32_t status);

// Outcome of one request.
struct CallResult {
  bool answered = false;   // true: the daemon returned `code`
  uint32_t code = 0;       // the daemon's result code
  std::string error_name;  // D-Bus error when not answered
  std::string error_text;
};

struct StatusReplyEvent {
  std::string from;  // the sender_connection_name argument
  uint32_t status = 0;
};

enum class WaitResult { Received, TimedOut, Closed };

class LifecycleClient {
 public:
  LifecycleClient();
  ~LifecycleClient();
  LifecycleClient(const LifecycleClient&) = delete;
  LifecycleClient& operator=(const LifecycleClient&) = delete;

  // Connects privately to the system bus; with a non-empty `ownName` also
  // becomes its primary owner. False with a reason in `error` otherwise.
  bool Connect(const std::string& ownName, std::string& error);
  // The connection's unique name (":1.42"); "" before Connect.
  std::string UniqueName() const;

  // Lifecycle requests to the daemon; each waits up to `timeoutMs` for
  // the answer.
  CallResult Start(int timeoutMs);
  CallResult Stop(uint32_t target, int timeoutMs);
  CallResult Restart(int timeoutMs);
  CallResult Reset(int timeoutMs);
  CallResult Exit(int timeoutMs);
  // Asks the daemon to send its status as a StatusReply to the given names.
  CallResult Status(const std::string& connectionName, const std::string& objectPath, int timeoutMs);

  // Waits up to `timeoutMs` for the next StatusReply call addressed to this
  // connection. Other calls that want an answer are refused with
  // UnknownMethod; signals are dropped.
  WaitResult WaitStatusReply(int timeoutMs, StatusReplyEvent& event);

 private:
  CallResult Call(const char* member, const char* text1, const char* text2, const uint32_t* number,
                  int timeoutMs);

  DBusConnection* connection_ = nullptr;
};

}  // namespace mgm_client
