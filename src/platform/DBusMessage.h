// D-Bus side of the message-bus library: the live connection behind a
// MessageBus pointer and the received message behind a BusMessage. Private
// to libmessagebus and libinterfaces; the daemon never sees libdbus.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <string>
#include <vector>

#include "MessageBus.h"

namespace mgm_bus {

// A message could not be built or queued (out of memory inside libdbus).
constexpr uint32_t MB_SEND_FAILED = 0x11000001;

// One private connection to the bus. Owns it: closes and unrefs it when
// destroyed.
class Connection : public MessageBus {
 public:
  explicit Connection(DBusConnection* connection);
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  DBusConnection* Get() const { return connection_; }

 private:
  DBusConnection* connection_;
};

// The libdbus connection behind a pointer that DBusMessageBus::Connect
// returned; null for null or a foreign MessageBus.
DBusConnection* connectionOf(const MessageBus* bus);

// True when both names are well formed for a StatusReply target.
bool validTarget(const char* connectionName, const char* objectPath);

}  // namespace mgm_bus

// One received message with the connection it came in on. Handlers read it
// and answer it through these helpers; answers are flushed at once and
// suppressed when the caller asked for no reply.
class BusMessage {
 public:
  // Takes a reference of its own on `message`.
  BusMessage(DBusConnection* connection, DBusMessage* message);
  ~BusMessage();
  BusMessage(const BusMessage&) = delete;
  BusMessage& operator=(const BusMessage&) = delete;

  DBusMessage* Raw() const { return message_; }
  bool IsMethodCall() const;
  // Never null: "" where the header field is absent.
  const char* Path() const;
  const char* Interface() const;
  const char* Member() const;
  const char* Signature() const;
  const char* Sender() const;
  // True when the bus says the sender's connection belongs to root.
  bool SenderIsRoot() const;
  bool HasInterface() const;

  // A method call of `interface`.`member` (any path).
  bool IsCall(const char* interface, const char* member) const;

  // Method return carrying one uint32.
  void ReplyCode(uint32_t code);
  // Method return without arguments.
  void ReplyEmpty();
  // Method return carrying one string.
  void ReplyString(const std::string& text);
  // Error reply.
  void ReplyError(const char* errorName, const std::string& text);
  bool Replied() const { return replied_; }

  // Introspection: while the dispatcher asks its handlers about an
  // Introspect call, each handler names the object path it serves and the
  // <interface> elements it implements there.
  struct ObjectOffer {
    std::string path;
    std::string interfaces_xml;
  };
  void OfferObject(const std::string& path, const std::string& interfacesXml);
  const std::vector<ObjectOffer>& Offers() const { return offers_; }

 private:
  void Send(DBusMessage* reply);

  DBusConnection* connection_;
  DBusMessage* message_;
  bool replied_ = false;
  std::vector<ObjectOffer> offers_;
};
