// The interface library over the message-bus library: lifecycle requests
// (tarn.Lifecycle method calls on the application's object path) turned into
// callback calls, status replies sent as StatusReply method calls, and the
// alarm reply handler. Wire format: docs/bus-protocol.md.
#include "Interfaces.h"

#include <cstring>
#include <string>

#include "DBusMessage.h"

namespace {

using Interfaces::Lifecycle::AppStatus;
using Interfaces::Lifecycle::IRequestCallbacks;

enum class LifecycleMember { Start, Stop, Restart, Reset, Exit, Status };

struct LifecycleMethod {
  const char* member;
  const char* signature;
  LifecycleMember which;
};

constexpr LifecycleMethod LIFECYCLE_METHODS[] = {
    {"Start", "", LifecycleMember::Start},     {"Stop", "u", LifecycleMember::Stop},
    {"Restart", "", LifecycleMember::Restart}, {"Reset", "", LifecycleMember::Reset},
    {"Exit", "", LifecycleMember::Exit},       {"Status", "ss", LifecycleMember::Status},
};

const LifecycleMethod* findLifecycleMethod(const char* member) {
  for (const LifecycleMethod& method : LIFECYCLE_METHODS)
    if (std::strcmp(method.member, member) == 0) return &method;
  return nullptr;
}

// The methods of each interface as introspection reports them.
constexpr const char* LIFECYCLE_METHODS_XML =
    "    <method name=\"Start\"><arg name=\"result\" type=\"u\" direction=\"out\"/></method>\n"
    "    <method name=\"Stop\"><arg name=\"target\" type=\"u\" direction=\"in\"/>"
    "<arg name=\"result\" type=\"u\" direction=\"out\"/></method>\n"
    "    <method name=\"Restart\"><arg name=\"result\" type=\"u\" direction=\"out\"/></method>\n"
    "    <method name=\"Reset\"><arg name=\"result\" type=\"u\" direction=\"out\"/></method>\n"
    "    <method name=\"Exit\"><arg name=\"result\" type=\"u\" direction=\"out\"/></method>\n"
    "    <method name=\"Status\"><arg name=\"connection_name\" type=\"s\" direction=\"in\"/>"
    "<arg name=\"object_path\" type=\"s\" direction=\"in\"/>"
    "<arg name=\"result\" type=\"u\" direction=\"out\"/></method>\n";

constexpr const char* ALARM_METHODS_XML =
    "    <method name=\"AlarmReply\"><arg name=\"alarm_id\" type=\"u\" direction=\"in\"/>"
    "<arg name=\"result\" type=\"u\" direction=\"in\"/>"
    "<arg name=\"code\" type=\"u\" direction=\"out\"/></method>\n";

std::string interfaceXml(const char* name, const char* methodsXml) {
  return std::string("  <interface name=\"") + name + "\">\n" + methodsXml + "  </interface>\n";
}

// Decides whether a method call on `path` belongs to the handler serving
// `interface` at `ownPath`. A call without an interface field belongs to it
// when it names one of its members (`known`).
bool addressedTo(const BusMessage& message, const std::string& ownPath, const char* interface, bool known) {
  if (!message.IsMethodCall() || ownPath != message.Path()) return false;
  if (message.HasInterface()) return std::strcmp(message.Interface(), interface) == 0;
  return known;
}

void refuseUnknown(BusMessage& message, const char* interface, uint32_t& rc) {
  message.ReplyError(DBUS_ERROR_UNKNOWN_METHOD,
                     std::string("No method ") + message.Member() + " in interface " + interface);
  rc = MB_UNKNOWN_MEMBER;
}

void refuseArguments(BusMessage& message, const std::string& why, uint32_t& rc) {
  message.ReplyError(DBUS_ERROR_INVALID_ARGS, why);
  rc = MB_INVALID_ARGUMENTS;
}

}  // namespace

namespace Interfaces {
namespace Lifecycle {

IRequestCallbacks::~IRequestCallbacks() = default;

RequestHandlers::RequestHandlers(IRequestCallbacks* callbacks, const MessageBusNames& own)
    : callbacks_(callbacks), own_path_(own.GetObjectPath()) {}
RequestHandlers::~RequestHandlers() = default;

uint32_t RequestHandlers::RegisterInterface(MessageDispatcher& dispatcher) {
  dispatcher.AddHandler(this);
  return MB_OK;
}

bool RequestHandlers::Dispatch(BusMessage& message, uint32_t& rc) {
  const LifecycleMethod* method = findLifecycleMethod(message.Member());
  if (message.IsCall(DBUS_INTERFACE_INTROSPECTABLE, "Introspect")) {
    message.OfferObject(own_path_, interfaceXml(bus_protocol::LIFECYCLE_INTERFACE, LIFECYCLE_METHODS_XML));
    return false;
  }
  if (!addressedTo(message, own_path_, bus_protocol::LIFECYCLE_INTERFACE, method != nullptr)) return false;
  if (!method) {
    refuseUnknown(message, bus_protocol::LIFECYCLE_INTERFACE, rc);
    return true;
  }
  if (std::strcmp(message.Signature(), method->signature) != 0) {
    refuseArguments(
        message,
        std::string(method->member) + " takes (" + method->signature + "), not (" + message.Signature() + ")",
        rc);
    return true;
  }

  uint32_t code = 0;
  switch (method->which) {
    case LifecycleMember::Start:
      code = callbacks_->RequestStart();
      break;
    case LifecycleMember::Stop: {
      dbus_uint32_t target = 0;
      dbus_message_get_args(message.Raw(), nullptr, DBUS_TYPE_UINT32, &target, DBUS_TYPE_INVALID);
      code = callbacks_->RequestStop(static_cast<AppStatus>(target));
      break;
    }
    case LifecycleMember::Restart:
      code = callbacks_->RequestRestart();
      break;
    case LifecycleMember::Reset:
      code = callbacks_->RequestReset();
      break;
    case LifecycleMember::Exit:
      code = callbacks_->RequestExit();
      break;
    case LifecycleMember::Status: {
      const char* connectionName = nullptr;
      const char* objectPath = nullptr;
      dbus_message_get_args(message.Raw(), nullptr, DBUS_TYPE_STRING, &connectionName, DBUS_TYPE_STRING,
                            &objectPath, DBUS_TYPE_INVALID);
      // An empty connection name stands for the requester itself. A caller
      // other than root is answered itself whatever name it gave: it may
      // not have the daemon send status replies into another name, such as
      // the supervisor's.
      if (connectionName && (*connectionName == '\0' || !message.SenderIsRoot()))
        connectionName = message.Sender();
      if (!mgm_bus::validTarget(connectionName, objectPath)) {
        refuseArguments(message, "Status needs a bus name and an object path to reply to", rc);
        return true;
      }
      code = callbacks_->RequestStatus(MessageBusNames(connectionName, objectPath, ""));
      break;
    }
  }
  message.ReplyCode(code);
  rc = MB_OK;
  return true;
}

ReplyProxy::ReplyProxy(const MessageBusNames& own) : own_connection_name_(own.GetConnectionName()) {}
ReplyProxy::~ReplyProxy() = default;

uint32_t ReplyProxy::SendStatusReply(const MessageBusNames& target, AppStatus status) const {
  DBusConnection* connection = mgm_bus::connectionOf(bus_);
  if (!connection) return MB_NOT_CONNECTED;
  if (!dbus_connection_get_is_connected(connection)) return MB_CONNECTION_CLOSED;
  if (!mgm_bus::validTarget(target.GetConnectionName(), target.GetObjectPath())) return MB_INVALID_ARGUMENTS;

  DBusMessage* call =
      dbus_message_new_method_call(target.GetConnectionName(), target.GetObjectPath(),
                                   bus_protocol::LIFECYCLE_INTERFACE, bus_protocol::STATUS_REPLY_MEMBER);
  if (!call) return mgm_bus::MB_SEND_FAILED;
  // Nobody answers a status reply, and a target that is not on the bus is
  // not started for it.
  dbus_message_set_no_reply(call, TRUE);
  dbus_message_set_auto_start(call, FALSE);
  const char* sender = own_connection_name_.c_str();
  dbus_uint32_t value = status;
  bool queued = dbus_message_append_args(call, DBUS_TYPE_STRING, &sender, DBUS_TYPE_UINT32, &value,
                                         DBUS_TYPE_INVALID) &&
                dbus_connection_send(connection, call, nullptr);
  dbus_message_unref(call);
  if (queued) dbus_connection_flush(connection);
  // Writing is where a vanished bus shows.
  if (!dbus_connection_get_is_connected(connection)) return MB_CONNECTION_CLOSED;
  return queued ? MB_OK : mgm_bus::MB_SEND_FAILED;
}

}  // namespace Lifecycle

namespace Alarm {

IReplyCallbacks::~IReplyCallbacks() = default;

ReplyHandlers::ReplyHandlers(IReplyCallbacks* callbacks, const MessageBusNames& own)
    : callbacks_(callbacks), own_path_(own.GetObjectPath()) {}
ReplyHandlers::~ReplyHandlers() = default;

uint32_t ReplyHandlers::RegisterInterface(MessageDispatcher& dispatcher) {
  dispatcher.AddHandler(this);
  return MB_OK;
}

bool ReplyHandlers::Dispatch(BusMessage& message, uint32_t& rc) {
  if (message.IsCall(DBUS_INTERFACE_INTROSPECTABLE, "Introspect")) {
    message.OfferObject(own_path_, interfaceXml(bus_protocol::ALARM_INTERFACE, ALARM_METHODS_XML));
    return false;
  }
  bool isAlarmReply = std::strcmp(message.Member(), "AlarmReply") == 0;
  if (!addressedTo(message, own_path_, bus_protocol::ALARM_INTERFACE, isAlarmReply)) return false;
  if (!isAlarmReply) {
    refuseUnknown(message, bus_protocol::ALARM_INTERFACE, rc);
    return true;
  }
  if (std::strcmp(message.Signature(), "uu") != 0) {
    refuseArguments(message, std::string("AlarmReply takes (uu), not (") + message.Signature() + ")", rc);
    return true;
  }
  dbus_uint32_t alarmId = 0;
  dbus_uint32_t result = 0;
  dbus_message_get_args(message.Raw(), nullptr, DBUS_TYPE_UINT32, &alarmId, DBUS_TYPE_UINT32, &result,
                        DBUS_TYPE_INVALID);
  message.ReplyCode(callbacks_->HandleAlarmReply(alarmId, result));
  rc = MB_OK;
  return true;
}

// Nothing is sent yet: the names are not kept.
RequestProxy::RequestProxy(const MessageBusNames&, const MessageBusNames&) {}
RequestProxy::~RequestProxy() = default;

}  // namespace Alarm
}  // namespace Interfaces
