#include "DBusMessage.h"

#include <cstring>
#include <string>

namespace mgm_bus {

Connection::Connection(DBusConnection* connection) : connection_(connection) {}

Connection::~Connection() {
  // A private connection must be closed before its last reference goes.
  dbus_connection_close(connection_);
  dbus_connection_unref(connection_);
}

DBusConnection* connectionOf(const MessageBus* bus) {
  const Connection* connection = dynamic_cast<const Connection*>(bus);
  return connection ? connection->Get() : nullptr;
}

bool validTarget(const char* connectionName, const char* objectPath) {
  return connectionName && objectPath && dbus_validate_bus_name(connectionName, nullptr) &&
         dbus_validate_path(objectPath, nullptr);
}

}  // namespace mgm_bus

namespace {
const char* orEmpty(const char* text) { return text ? text : ""; }
}  // namespace

BusMessage::BusMessage(DBusConnection* connection, DBusMessage* message)
    : connection_(connection), message_(dbus_message_ref(message)) {}

BusMessage::~BusMessage() { dbus_message_unref(message_); }

bool BusMessage::IsMethodCall() const {
  return dbus_message_get_type(message_) == DBUS_MESSAGE_TYPE_METHOD_CALL;
}
const char* BusMessage::Path() const { return orEmpty(dbus_message_get_path(message_)); }
const char* BusMessage::Interface() const { return orEmpty(dbus_message_get_interface(message_)); }
const char* BusMessage::Member() const { return orEmpty(dbus_message_get_member(message_)); }
const char* BusMessage::Signature() const { return orEmpty(dbus_message_get_signature(message_)); }
const char* BusMessage::Sender() const { return orEmpty(dbus_message_get_sender(message_)); }
bool BusMessage::SenderIsRoot() const {
  // Unique names are never given out twice on a bus, so the last answer
  // holds for as long as the same caller keeps calling (a flood costs one
  // question to the bus).
  static std::string last_sender;
  static bool last_is_root = false;
  if (*Sender() == '\0') return false;
  if (last_sender != Sender()) {
    DBusError error;
    dbus_error_init(&error);
    last_is_root = dbus_bus_get_unix_user(connection_, Sender(), &error) == 0;
    dbus_error_free(&error);
    last_sender = Sender();
  }
  return last_is_root;
}
bool BusMessage::HasInterface() const { return dbus_message_get_interface(message_) != nullptr; }

bool BusMessage::IsCall(const char* interface, const char* member) const {
  return IsMethodCall() && std::strcmp(Interface(), interface) == 0 && std::strcmp(Member(), member) == 0;
}

void BusMessage::Send(DBusMessage* reply) {
  replied_ = true;
  if (!reply) return;
  if (!dbus_message_get_no_reply(message_)) {
    dbus_connection_send(connection_, reply, nullptr);
    dbus_connection_flush(connection_);
  }
  dbus_message_unref(reply);
}

void BusMessage::ReplyCode(uint32_t code) {
  DBusMessage* reply = dbus_message_new_method_return(message_);
  dbus_uint32_t value = code;
  if (reply) dbus_message_append_args(reply, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID);
  Send(reply);
}

void BusMessage::ReplyEmpty() { Send(dbus_message_new_method_return(message_)); }

void BusMessage::ReplyString(const std::string& text) {
  DBusMessage* reply = dbus_message_new_method_return(message_);
  const char* value = text.c_str();
  if (reply) dbus_message_append_args(reply, DBUS_TYPE_STRING, &value, DBUS_TYPE_INVALID);
  Send(reply);
}

void BusMessage::ReplyError(const char* errorName, const std::string& text) {
  Send(dbus_message_new_error(message_, errorName, text.c_str()));
}

void BusMessage::OfferObject(const std::string& path, const std::string& interfacesXml) {
  offers_.push_back({path, interfacesXml});
}
