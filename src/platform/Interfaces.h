// Interface library of the device platform: the lifecycle protocol between
// the supervisor and its applications, and the alarm protocol.
#pragma once

#include <cstdint>
#include <string>

#include "BusProtocol.h"
#include "MessageBus.h"

namespace Interfaces {
namespace Lifecycle {

// Lifecycle status of an application (5 and 6 are further stop statuses).
enum AppStatus : uint32_t {
  Created = bus_protocol::STATUS_CREATED,
  Ready = bus_protocol::STATUS_READY,
  Starting = bus_protocol::STATUS_STARTING,
  Running = bus_protocol::STATUS_RUNNING,
  Stopped = bus_protocol::STATUS_STOPPED,
  Exiting = bus_protocol::STATUS_EXITING,
};

// Lifecycle requests, called inside MessageDispatcher::HandleMessage. Each
// returns a result code for the requester (0 = accepted).
class IRequestCallbacks {
 public:
  virtual uint32_t RequestStart() = 0;
  virtual uint32_t RequestStop(AppStatus target) = 0;
  virtual uint32_t RequestRestart() = 0;
  virtual uint32_t RequestReset() = 0;
  virtual uint32_t RequestExit() = 0;
  virtual uint32_t RequestStatus(const MessageBusNames& requester) = 0;
  virtual ~IRequestCallbacks();
};

// Turns lifecycle requests addressed to `own` into calls of `callbacks`.
// `callbacks` must remain live while this object is registered.
class RequestHandlers : public MessageHandler {
 public:
  RequestHandlers(IRequestCallbacks* callbacks, const MessageBusNames& own);
  ~RequestHandlers() override;
  uint32_t RegisterInterface(MessageDispatcher& dispatcher);
  bool Dispatch(BusMessage& message, uint32_t& rc) override;

 private:
  IRequestCallbacks* callbacks_;
  std::string own_path_;
};

// Sends status replies as `own`.
class ReplyProxy : public MessageProxy {
 public:
  explicit ReplyProxy(const MessageBusNames& own);
  ~ReplyProxy() override;
  // 0 once handed to the bus, MB_CONNECTION_CLOSED when the connection has
  // ended, MB_NOT_CONNECTED without a connection.
  uint32_t SendStatusReply(const MessageBusNames& target, AppStatus status) const;

 private:
  std::string own_connection_name_;
};

}  // namespace Lifecycle

namespace Alarm {

class IReplyCallbacks {
 public:
  virtual uint32_t HandleAlarmReply(uint32_t alarmId, uint32_t result) = 0;
  virtual ~IReplyCallbacks();
};

// Turns alarm replies addressed to `own` into calls of `callbacks`.
class ReplyHandlers : public MessageHandler {
 public:
  ReplyHandlers(IReplyCallbacks* callbacks, const MessageBusNames& own);
  ~ReplyHandlers() override;
  uint32_t RegisterInterface(MessageDispatcher& dispatcher);
  bool Dispatch(BusMessage& message, uint32_t& rc) override;

 private:
  IReplyCallbacks* callbacks_;
  std::string own_path_;
};

// Could send alarm requests from `own` to `alarmManager`.
class RequestProxy : public MessageProxy {
 public:
  RequestProxy(const MessageBusNames& own, const MessageBusNames& alarmManager);
  ~RequestProxy() override;
};

}  // namespace Alarm
}  // namespace Interfaces
