// Message-bus library of the device platform (a D-Bus based bus).
//
// A DBusMessageBus owns one connection. A MessageDispatcher waits for
// incoming messages on it and offers each one to the handlers registered
// with it; a MessageProxy sends through it. All calls come from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Result codes of the message-bus family (high byte 0x11).
constexpr uint32_t MB_OK = 0;
constexpr uint32_t MB_NOT_CONNECTED = 0x11000003;
constexpr uint32_t MB_NO_MESSAGE = 0x11000004;  // a wait ended without one
constexpr uint32_t MB_CONNECTION_CLOSED = 0x11000007;
constexpr uint32_t MB_INVALID_ARGUMENTS = 0x11000008;
constexpr uint32_t MB_UNKNOWN_MEMBER = 0x1100000B;

// Names one bus participant: its connection name and its object path; the
// third name is reserved (pass "").
class MessageBusNames {
 public:
  MessageBusNames(const char* connectionName, const char* objectPath, const char* third);
  virtual ~MessageBusNames();

  const char* GetConnectionName() const;
  const char* GetObjectPath() const;

 private:
  std::string connection_name_;
  std::string object_path_;
};

// One received message. Defined by the bus implementation.
class BusMessage;

// One live bus connection. Defined by the bus implementation; callers only
// pass the pointer that DBusMessageBus::Connect returned.
class MessageBus {
 public:
  virtual ~MessageBus();
};

// An interface that a dispatcher offers incoming messages to.
class MessageHandler {
 public:
  virtual ~MessageHandler();
  // Returns true when the message belonged to this handler, with the
  // dispatch result in `rc` (0, or an MB_ code after answering the caller
  // with an error).
  virtual bool Dispatch(BusMessage& message, uint32_t& rc) = 0;
};

class DBusMessageBus {
 public:
  DBusMessageBus();
  ~DBusMessageBus();
  DBusMessageBus(const DBusMessageBus&) = delete;
  DBusMessageBus& operator=(const DBusMessageBus&) = delete;

  // Connects privately to the system bus and becomes the primary owner of
  // `connectionName`. Returns the connection, owned by this object and live
  // until Disconnect, or null when either step failed.
  MessageBus* Connect(const char* connectionName);
  // Closes the connection. MB_NOT_CONNECTED when there was none.
  uint32_t Disconnect();

 private:
  std::unique_ptr<MessageBus> connection_;
};

class MessageDispatcher {
 public:
  MessageDispatcher();
  ~MessageDispatcher();
  MessageDispatcher(const MessageDispatcher&) = delete;
  MessageDispatcher& operator=(const MessageDispatcher&) = delete;

  // `bus` must remain live while this dispatcher is in use.
  uint32_t RegisterBusConnection(MessageBus* bus);
  // Waits at most `timeout` milliseconds for one message and dispatches it;
  // handler callbacks run inside this call. 0 when a message was handled,
  // MB_NO_MESSAGE when the wait ended without one, MB_CONNECTION_CLOSED when
  // the connection has ended, MB_INVALID_ARGUMENTS or MB_UNKNOWN_MEMBER when
  // a request was refused, MB_NOT_CONNECTED without a bus.
  uint32_t HandleMessage(int timeout);
  // `handler` must remain live while this dispatcher is in use.
  void AddHandler(MessageHandler* handler);

 private:
  MessageBus* bus_ = nullptr;
  std::vector<MessageHandler*> handlers_;
};

class MessageProxy {
 public:
  MessageProxy();
  virtual ~MessageProxy();
  MessageProxy(const MessageProxy&) = delete;
  MessageProxy& operator=(const MessageProxy&) = delete;

  // `bus` must remain live while this proxy is in use.
  uint32_t RegisterBusConnection(const MessageBus* bus);

 protected:
  const MessageBus* bus_ = nullptr;
};
