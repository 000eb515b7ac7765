#include "LifecycleClient.h"

#include <dbus/dbus.h>

#include "BusWait.h"

namespace mgm_client {

using bus_protocol::LIFECYCLE_INTERFACE;

std::string describeStatus(uint32_t status) {
  std::string text = std::to_string(status);
  if (const char* name = bus_protocol::statusName(status)) text += std::string(" (") + name + ")";
  return text;
}

LifecycleClient::LifecycleClient() = default;

LifecycleClient::~LifecycleClient() {
  if (connection_) {
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
  }
}

bool LifecycleClient::Connect(const std::string& ownName, std::string& error) {
  if (connection_) {
    error = "already connected";
    return false;
  }
  DBusError err;
  dbus_error_init(&err);
  DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &err);
  if (!connection) {
    error = err.message ? err.message : "cannot connect to the system bus";
    dbus_error_free(&err);
    return false;
  }
  dbus_connection_set_exit_on_disconnect(connection, FALSE);
  connection_ = connection;
  if (ownName.empty()) return true;

  int owner = dbus_bus_request_name(connection, ownName.c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE, &err);
  if (owner == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) return true;
  if (dbus_error_is_set(&err))
    error = std::string("cannot own ") + ownName + ": " + err.message;
  else
    error = std::string("cannot own ") + ownName + ": another connection owns it";
  dbus_error_free(&err);
  dbus_connection_close(connection_);
  dbus_connection_unref(connection_);
  connection_ = nullptr;
  return false;
}

std::string LifecycleClient::UniqueName() const {
  const char* name = connection_ ? dbus_bus_get_unique_name(connection_) : nullptr;
  return name ? name : "";
}

CallResult LifecycleClient::Call(const char* member, const char* text1, const char* text2,
                                 const uint32_t* number, int timeoutMs) {
  CallResult result;
  if (!connection_) {
    result.error_name = DBUS_ERROR_DISCONNECTED;
    result.error_text = "not connected to the bus";
    return result;
  }
  DBusMessage* call = dbus_message_new_method_call(bus_protocol::DAEMON.name, bus_protocol::DAEMON.path,
                                                   LIFECYCLE_INTERFACE, member);
  if (!call) {
    result.error_name = DBUS_ERROR_NO_MEMORY;
    return result;
  }
  // The daemon is a service of its own, never activated by a request.
  dbus_message_set_auto_start(call, FALSE);
  bool built = true;
  if (number) {
    dbus_uint32_t value = *number;
    built = dbus_message_append_args(call, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID);
  }
  if (text1 && text2)
    built =
        dbus_message_append_args(call, DBUS_TYPE_STRING, &text1, DBUS_TYPE_STRING, &text2, DBUS_TYPE_INVALID);
  if (!built) {
    dbus_message_unref(call);
    result.error_name = DBUS_ERROR_INVALID_ARGS;
    result.error_text = "arguments are not valid D-Bus strings";
    return result;
  }

  DBusError err;
  dbus_error_init(&err);
  // Other incoming messages (a StatusReply sent before the answer) stay
  // queued for WaitStatusReply.
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection_, call, timeoutMs, &err);
  dbus_message_unref(call);
  if (!reply) {
    result.error_name = err.name ? err.name : DBUS_ERROR_FAILED;
    result.error_text = err.message ? err.message : "";
    dbus_error_free(&err);
    return result;
  }
  dbus_uint32_t code = 0;
  if (dbus_message_get_args(reply, &err, DBUS_TYPE_UINT32, &code, DBUS_TYPE_INVALID)) {
    result.answered = true;
    result.code = code;
  } else {
    result.error_name = err.name ? err.name : DBUS_ERROR_INVALID_SIGNATURE;
    result.error_text = err.message ? err.message : "";
    dbus_error_free(&err);
  }
  dbus_message_unref(reply);
  return result;
}

CallResult LifecycleClient::Start(int timeoutMs) {
  return Call("Start", nullptr, nullptr, nullptr, timeoutMs);
}
CallResult LifecycleClient::Stop(uint32_t target, int timeoutMs) {
  return Call("Stop", nullptr, nullptr, &target, timeoutMs);
}
CallResult LifecycleClient::Restart(int timeoutMs) {
  return Call("Restart", nullptr, nullptr, nullptr, timeoutMs);
}
CallResult LifecycleClient::Reset(int timeoutMs) {
  return Call("Reset", nullptr, nullptr, nullptr, timeoutMs);
}
CallResult LifecycleClient::Exit(int timeoutMs) { return Call("Exit", nullptr, nullptr, nullptr, timeoutMs); }
CallResult LifecycleClient::Status(const std::string& connectionName, const std::string& objectPath,
                                   int timeoutMs) {
  return Call("Status", connectionName.c_str(), objectPath.c_str(), nullptr, timeoutMs);
}

WaitResult LifecycleClient::WaitStatusReply(int timeoutMs, StatusReplyEvent& event) {
  if (!connection_) return WaitResult::Closed;
  mgm_bus::BusWait wait(timeoutMs);
  for (;;) {
    while (DBusMessage* message = dbus_connection_pop_message(connection_)) {
      if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        dbus_message_unref(message);
        return WaitResult::Closed;
      }
      if (dbus_message_is_method_call(message, LIFECYCLE_INTERFACE, bus_protocol::STATUS_REPLY_MEMBER)) {
        const char* from = nullptr;
        dbus_uint32_t status = 0;
        bool ok = dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &from, DBUS_TYPE_UINT32, &status,
                                        DBUS_TYPE_INVALID);
        if (ok) {
          event.from = from;
          event.status = status;
        }
        dbus_message_unref(message);
        if (ok) return WaitResult::Received;
        continue;
      }
      if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL &&
          !dbus_message_get_no_reply(message)) {
        DBusMessage* error =
            dbus_message_new_error(message, DBUS_ERROR_UNKNOWN_METHOD, "only StatusReply is served");
        if (error) {
          dbus_connection_send(connection_, error, nullptr);
          dbus_message_unref(error);
        }
      }
      dbus_message_unref(message);
    }
    if (!dbus_connection_get_is_connected(connection_)) return WaitResult::Closed;
    if (!wait.readMore(connection_)) return WaitResult::TimedOut;
  }
}

}  // namespace mgm_client
