// The message-bus library over libdbus: one private system-bus connection per
// DBusMessageBus, a dispatcher that pops one message at a time and offers it
// to its handlers, and proxies that send through the connection.
#include "MessageBus.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "BusWait.h"
#include "DBusMessage.h"

// ---- DBusMessageBus ----

DBusMessageBus::DBusMessageBus() = default;
DBusMessageBus::~DBusMessageBus() = default;

MessageBus* DBusMessageBus::Connect(const char* connectionName) {
  // A second Connect would pull the connection out from under the
  // dispatcher and proxies registered with the first one.
  if (connection_ || !connectionName) return nullptr;
  dbus_threads_init_default();

  DBusError error;
  dbus_error_init(&error);
  // Private, so that closing it never affects another user of libdbus in
  // the process; DBUS_SYSTEM_BUS_ADDRESS selects the bus.
  DBusConnection* raw = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
  if (!raw) {
    dbus_error_free(&error);
    return nullptr;
  }
  // A lost bus must reach the lifecycle as MB_CONNECTION_CLOSED instead of
  // ending the process from inside libdbus.
  dbus_connection_set_exit_on_disconnect(raw, FALSE);
  auto connection = std::make_unique<mgm_bus::Connection>(raw);

  int owner = dbus_bus_request_name(raw, connectionName, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error);
  dbus_error_free(&error);
  if (owner != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) return nullptr;

  connection_ = std::move(connection);
  return connection_.get();
}

uint32_t DBusMessageBus::Disconnect() {
  if (!connection_) return MB_NOT_CONNECTED;
  connection_.reset();
  return MB_OK;
}

// ---- MessageDispatcher ----

namespace {

constexpr const char* INTROSPECTABLE_XML =
    "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "    <method name=\"Introspect\"><arg name=\"xml_data\" type=\"s\" direction=\"out\"/></method>\n"
    "  </interface>\n"
    "  <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "    <method name=\"Ping\"/>\n"
    "    <method name=\"GetMachineId\"><arg name=\"machine_uuid\" type=\"s\" direction=\"out\"/></method>\n"
    "  </interface>\n";

// Answers an Introspect call from what the handlers offered: the interfaces
// of the object at the called path and the first path element of every
// served object below it.
void answerIntrospect(BusMessage& message) {
  std::string path = message.Path();
  std::string prefix = path == "/" ? "/" : path + "/";
  std::string interfaces;
  std::vector<std::string> children;
  for (const BusMessage::ObjectOffer& offer : message.Offers()) {
    if (offer.path == path) {
      interfaces += offer.interfaces_xml;
    } else if (offer.path.compare(0, prefix.size(), prefix) == 0) {
      std::string child = offer.path.substr(prefix.size());
      child = child.substr(0, child.find('/'));
      if (std::find(children.begin(), children.end(), child) == children.end()) children.push_back(child);
    }
  }
  std::string xml =
      "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n";
  xml += INTROSPECTABLE_XML;
  xml += interfaces;
  for (const std::string& child : children) xml += "  <node name=\"" + child + "\"/>\n";
  xml += "</node>\n";
  message.ReplyString(xml);
}

void answerPeer(BusMessage& message) {
  if (std::strcmp(message.Member(), "Ping") == 0) {
    message.ReplyEmpty();
  } else if (std::strcmp(message.Member(), "GetMachineId") == 0) {
    DBusError error;
    dbus_error_init(&error);
    char* id = dbus_try_get_local_machine_id(&error);
    if (id) {
      message.ReplyString(id);
      dbus_free(id);
    } else {
      message.ReplyError(DBUS_ERROR_FAILED, error.message ? error.message : "no machine id");
    }
    dbus_error_free(&error);
  } else {
    message.ReplyError(DBUS_ERROR_UNKNOWN_METHOD,
                       std::string("No method ") + message.Member() + " in org.freedesktop.DBus.Peer");
  }
}

// Dispatches one popped message; the result is HandleMessage's.
uint32_t dispatch(DBusConnection* connection, DBusMessage* raw,
                  const std::vector<MessageHandler*>& handlers) {
  BusMessage message(connection, raw);
  // libdbus queues this local signal as the last message of a closed
  // connection.
  if (dbus_message_is_signal(raw, DBUS_INTERFACE_LOCAL, "Disconnected")) return MB_CONNECTION_CLOSED;

  if (message.IsCall(DBUS_INTERFACE_INTROSPECTABLE, "Introspect")) {
    uint32_t ignored = 0;
    for (MessageHandler* handler : handlers) handler->Dispatch(message, ignored);
    if (!message.Replied()) answerIntrospect(message);
    return MB_OK;
  }
  if (message.IsMethodCall() && std::strcmp(message.Interface(), DBUS_INTERFACE_PEER) == 0) {
    answerPeer(message);
    return MB_OK;
  }

  for (MessageHandler* handler : handlers) {
    uint32_t rc = MB_OK;
    if (handler->Dispatch(message, rc)) return rc;
  }
  // Not ours: signals and calls of interfaces nobody serves. A caller that
  // waits for an answer is told so; the message counts as handled.
  if (message.IsMethodCall() && !message.Replied()) {
    message.ReplyError(DBUS_ERROR_UNKNOWN_METHOD, std::string("No method ") + message.Member() +
                                                      " of interface '" + message.Interface() +
                                                      "' at object path '" + message.Path() + "'");
  }
  return MB_OK;
}

}  // namespace

MessageDispatcher::MessageDispatcher() = default;
MessageDispatcher::~MessageDispatcher() = default;

uint32_t MessageDispatcher::RegisterBusConnection(MessageBus* bus) {
  if (!mgm_bus::connectionOf(bus)) return MB_NOT_CONNECTED;
  bus_ = bus;
  return MB_OK;
}

void MessageDispatcher::AddHandler(MessageHandler* handler) {
  if (handler && std::find(handlers_.begin(), handlers_.end(), handler) == handlers_.end())
    handlers_.push_back(handler);
}

uint32_t MessageDispatcher::HandleMessage(int timeout) {
  DBusConnection* connection = mgm_bus::connectionOf(bus_);
  if (!connection) return MB_NOT_CONNECTED;
  mgm_bus::BusWait wait(timeout);
  for (;;) {
    if (DBusMessage* raw = dbus_connection_pop_message(connection)) {
      uint32_t rc = dispatch(connection, raw, handlers_);
      dbus_message_unref(raw);
      return rc;
    }
    if (!dbus_connection_get_is_connected(connection)) return MB_CONNECTION_CLOSED;
    if (!wait.readMore(connection)) return MB_NO_MESSAGE;
  }
}

// ---- MessageProxy ----

MessageProxy::MessageProxy() = default;
MessageProxy::~MessageProxy() = default;

uint32_t MessageProxy::RegisterBusConnection(const MessageBus* bus) {
  if (!mgm_bus::connectionOf(bus)) return MB_NOT_CONNECTED;
  bus_ = bus;
  return MB_OK;
}
