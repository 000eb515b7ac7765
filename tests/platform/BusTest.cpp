// The message-bus and interface libraries against a private dbus-daemon:
// lifecycle requests in, status replies out, refused requests, a lost bus.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Interfaces.h"
#include "LifecycleClient.h"
#include "MessageBus.h"
#include "PrivateBus.h"

namespace {

using Interfaces::Lifecycle::AppStatus;

// Records the requests it gets and answers each with `code`; a status
// request is answered through `proxy` like the daemon does.
struct FakeCallbacks : Interfaces::Lifecycle::IRequestCallbacks, Interfaces::Alarm::IReplyCallbacks {
  std::vector<std::string> calls;
  uint32_t code = 0;
  const Interfaces::Lifecycle::ReplyProxy* proxy = nullptr;
  uint32_t status_reply_result = 0xFFFFFFFF;

  uint32_t RequestStart() override { return record("Start"); }
  uint32_t RequestStop(AppStatus target) override { return record("Stop " + std::to_string(target)); }
  uint32_t RequestRestart() override { return record("Restart"); }
  uint32_t RequestReset() override { return record("Reset"); }
  uint32_t RequestExit() override { return record("Exit"); }
  uint32_t RequestStatus(const MessageBusNames& requester) override {
    if (proxy) status_reply_result = proxy->SendStatusReply(requester, Interfaces::Lifecycle::Running);
    return record(std::string("Status ") + requester.GetConnectionName() + " " + requester.GetObjectPath());
  }
  uint32_t HandleAlarmReply(uint32_t alarmId, uint32_t result) override {
    return record("AlarmReply " + std::to_string(alarmId) + " " + std::to_string(result));
  }
  uint32_t record(const std::string& call) {
    calls.push_back(call);
    return code;
  }
};

// The daemon's side, wired the way the daemon wires itself.
struct Daemon {
  FakeCallbacks fake;
  DBusMessageBus bus;
  MessageDispatcher dispatcher;
  MessageBusNames own{"tarn.mgm", "/tarn/mgm", ""};
  Interfaces::Lifecycle::RequestHandlers lifecycle{&fake, own};
  Interfaces::Lifecycle::ReplyProxy proxy{own};
  Interfaces::Alarm::ReplyHandlers alarm{&fake, own};

  bool Connect() {
    MessageBus* connection = bus.Connect("tarn.mgm");
    fake.proxy = &proxy;
    return connection && dispatcher.RegisterBusConnection(connection) == MB_OK &&
           lifecycle.RegisterInterface(dispatcher) == MB_OK &&
           proxy.RegisterBusConnection(connection) == MB_OK && alarm.RegisterInterface(dispatcher) == MB_OK;
  }
};

// A plain libdbus client on the private bus.
struct Client {
  DBusConnection* connection = nullptr;

  explicit Client(const std::string& address) {
    connection = dbus_connection_open_private(address.c_str(), nullptr);
    if (connection && !dbus_bus_register(connection, nullptr)) {
      dbus_connection_close(connection);
      dbus_connection_unref(connection);
      connection = nullptr;
    }
    if (connection) dbus_connection_set_exit_on_disconnect(connection, FALSE);
  }
  ~Client() {
    if (connection) {
      dbus_connection_close(connection);
      dbus_connection_unref(connection);
    }
  }
  bool Own(const char* name) {
    return dbus_bus_request_name(connection, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr) ==
           DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
  }
};

DBusMessage* lifecycleCall(const char* member, const char* interface = "tarn.Lifecycle",
                           const char* path = "/tarn/mgm") {
  return dbus_message_new_method_call("tarn.mgm", path, interface, member);
}

// Result of one request as both sides saw it.
struct Exchange {
  uint32_t handle_result = MB_NO_MESSAGE;  // of the HandleMessage that took it
  std::string error_name;                  // empty for a method return
  std::vector<uint32_t> returned;          // uint32 values of the return
  std::string returned_text;               // string value of the return
};

// Sends `call` from `client` and runs the daemon's HandleMessage until the
// answer is in (bounded).
Exchange exchange(Daemon& daemon, Client& client, DBusMessage* call) {
  Exchange result;
  DBusPendingCall* pending = nullptr;
  dbus_connection_send_with_reply(client.connection, call, &pending, 20000);
  dbus_message_unref(call);
  dbus_connection_flush(client.connection);
  for (int i = 0; i < 400 && pending && !dbus_pending_call_get_completed(pending); ++i) {
    uint32_t rc = daemon.dispatcher.HandleMessage(50);
    if (rc != MB_NO_MESSAGE) result.handle_result = rc;
    dbus_connection_read_write(client.connection, 0);
    while (dbus_connection_dispatch(client.connection) == DBUS_DISPATCH_DATA_REMAINS) {
    }
  }
  if (!pending || !dbus_pending_call_get_completed(pending)) {
    result.error_name = "no answer";
    if (pending) dbus_pending_call_unref(pending);
    return result;
  }
  DBusMessage* reply = dbus_pending_call_steal_reply(pending);
  dbus_pending_call_unref(pending);
  if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
    result.error_name = dbus_message_get_error_name(reply);
  } else {
    DBusMessageIter it;
    for (bool more = dbus_message_iter_init(reply, &it); more; more = dbus_message_iter_next(&it)) {
      if (dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_UINT32) {
        dbus_uint32_t value;
        dbus_message_iter_get_basic(&it, &value);
        result.returned.push_back(value);
      } else if (dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRING) {
        const char* text;
        dbus_message_iter_get_basic(&it, &text);
        result.returned_text = text;
      }
    }
  }
  dbus_message_unref(reply);
  return result;
}

// Pops messages arriving at `client` until one satisfies `match` (bounded).
DBusMessage* awaitMessage(Client& client, const std::function<bool(DBusMessage*)>& match) {
  for (int i = 0; i < 400; ++i) {
    dbus_connection_read_write(client.connection, 50);
    while (DBusMessage* message = dbus_connection_pop_message(client.connection)) {
      if (match(message)) return message;
      dbus_message_unref(message);
    }
  }
  return nullptr;
}

// Calls HandleMessage until it returns something other than MB_NO_MESSAGE
// and MB_OK (bounded); returns that.
uint32_t handleUntilNotHandled(Daemon& daemon) {
  uint32_t rc = MB_NO_MESSAGE;
  for (int i = 0; i < 400 && (rc == MB_NO_MESSAGE || rc == MB_OK); ++i)
    rc = daemon.dispatcher.HandleMessage(50);
  return rc;
}

// libdbus reads DBUS_SYSTEM_BUS_ADDRESS once and keeps it until
// dbus_shutdown, so every test ends with that, after all its connections.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    if (!bus_.Start(error)) GTEST_SKIP() << "no private bus: " << error;
    daemon_ = std::make_unique<Daemon>();
    ASSERT_TRUE(daemon_->Connect());
  }
  void TearDown() override {
    daemon_.reset();
    dbus_shutdown();
  }

  PrivateBus bus_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(BusTest, EachLifecycleRequestReachesItsCallbackAndReturnsItsCode) {
  struct Case {
    const char* member;
    std::function<void(DBusMessage*)> args;
    std::string call;
  };
  const char* requester = ":1.999";
  const char* requesterPath = "/some/where";
  const std::vector<Case> cases = {
      {"Start", nullptr, "Start"},
      {"Stop",
       [](DBusMessage* m) {
         dbus_uint32_t target = 5;
         dbus_message_append_args(m, DBUS_TYPE_UINT32, &target, DBUS_TYPE_INVALID);
       },
       "Stop 5"},
      {"Restart", nullptr, "Restart"},
      {"Reset", nullptr, "Reset"},
      {"Exit", nullptr, "Exit"},
      {"Status",
       [&](DBusMessage* m) {
         dbus_message_append_args(m, DBUS_TYPE_STRING, &requester, DBUS_TYPE_STRING, &requesterPath,
                                  DBUS_TYPE_INVALID);
       },
       "Status :1.999 /some/where"},
  };
  Client client(bus_.Address());
  ASSERT_NE(client.connection, nullptr);
  uint32_t code = 0x26000100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member);
    daemon_->fake.calls.clear();
    daemon_->fake.code = ++code;
    DBusMessage* call = lifecycleCall(c.member);
    if (c.args) c.args(call);
    Exchange e = exchange(*daemon_, client, call);
    EXPECT_EQ(e.handle_result, MB_OK);
    EXPECT_EQ(e.error_name, "");
    EXPECT_EQ(e.returned, std::vector<uint32_t>{code});
    EXPECT_EQ(daemon_->fake.calls, std::vector<std::string>{c.call});
  }
  // A status reply to a name that is not on the bus is not an error.
  EXPECT_EQ(daemon_->fake.status_reply_result, MB_OK);
}

TEST_F(BusTest, RefusedRequestsAnswerWithAnErrorAndReachNoCallback) {
  const char* text = "4";
  const char* badPath = "not a path";
  const char* name = "tarn.main";
  dbus_uint32_t number = 4;
  struct Case {
    const char* what;
    DBusMessage* call;
    uint32_t handle_result;
    const char* error;
  };
  auto with = [](DBusMessage* m, int type, const void* value) {
    dbus_message_append_args(m, type, value, DBUS_TYPE_INVALID);
    return m;
  };
  DBusMessage* badStatus = lifecycleCall("Status");
  dbus_message_append_args(badStatus, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &badPath, DBUS_TYPE_INVALID);
  const std::vector<Case> cases = {
      {"Stop with a string", with(lifecycleCall("Stop"), DBUS_TYPE_STRING, &text), MB_INVALID_ARGUMENTS,
       DBUS_ERROR_INVALID_ARGS},
      {"Stop without a target", lifecycleCall("Stop"), MB_INVALID_ARGUMENTS, DBUS_ERROR_INVALID_ARGS},
      {"Start with an argument", with(lifecycleCall("Start"), DBUS_TYPE_UINT32, &number),
       MB_INVALID_ARGUMENTS, DBUS_ERROR_INVALID_ARGS},
      {"Status with no object path", badStatus, MB_INVALID_ARGUMENTS, DBUS_ERROR_INVALID_ARGS},
      {"AlarmReply with one number",
       with(lifecycleCall("AlarmReply", "tarn.Alarm"), DBUS_TYPE_UINT32, &number), MB_INVALID_ARGUMENTS,
       DBUS_ERROR_INVALID_ARGS},
      {"unknown lifecycle member", lifecycleCall("Pause"), MB_UNKNOWN_MEMBER, DBUS_ERROR_UNKNOWN_METHOD},
      {"unknown alarm member", lifecycleCall("Raise", "tarn.Alarm"), MB_UNKNOWN_MEMBER,
       DBUS_ERROR_UNKNOWN_METHOD},
      // Not a daemon interface, or not the daemon's object: answered, and
      // counted as an ordinary message.
      {"unknown interface", lifecycleCall("Start", "tarn.Other"), MB_OK, DBUS_ERROR_UNKNOWN_METHOD},
      {"other object path", lifecycleCall("Start", "tarn.Lifecycle", "/tarn/other"), MB_OK,
       DBUS_ERROR_UNKNOWN_METHOD},
  };
  Client client(bus_.Address());
  ASSERT_NE(client.connection, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Exchange e = exchange(*daemon_, client, c.call);
    EXPECT_EQ(e.handle_result, c.handle_result);
    EXPECT_EQ(e.error_name, c.error);
  }
  EXPECT_TRUE(daemon_->fake.calls.empty());
}

TEST_F(BusTest, CallsWithoutInterfaceFieldAndAlarmRepliesAreServed) {
  Client client(bus_.Address());
  ASSERT_NE(client.connection, nullptr);
  daemon_->fake.code = 7;
  Exchange start =
      exchange(*daemon_, client, dbus_message_new_method_call("tarn.mgm", "/tarn/mgm", nullptr, "Start"));
  EXPECT_EQ(start.returned, std::vector<uint32_t>{7});

  DBusMessage* alarm = lifecycleCall("AlarmReply", "tarn.Alarm");
  dbus_uint32_t id = 12, result = 34;
  dbus_message_append_args(alarm, DBUS_TYPE_UINT32, &id, DBUS_TYPE_UINT32, &result, DBUS_TYPE_INVALID);
  Exchange reply = exchange(*daemon_, client, alarm);
  EXPECT_EQ(reply.handle_result, MB_OK);
  EXPECT_EQ(reply.returned, std::vector<uint32_t>{7});
  EXPECT_EQ(daemon_->fake.calls, (std::vector<std::string>{"Start", "AlarmReply 12 34"}));
}

TEST_F(BusTest, IntrospectionListsTheDaemonInterfacesAndPeerPingAnswers) {
  Client client(bus_.Address());
  ASSERT_NE(client.connection, nullptr);
  Exchange own = exchange(*daemon_, client, lifecycleCall("Introspect", DBUS_INTERFACE_INTROSPECTABLE));
  EXPECT_NE(own.returned_text.find("<interface name=\"tarn.Lifecycle\">"), std::string::npos);
  EXPECT_NE(own.returned_text.find("<interface name=\"tarn.Alarm\">"), std::string::npos);
  Exchange root = exchange(*daemon_, client, lifecycleCall("Introspect", DBUS_INTERFACE_INTROSPECTABLE, "/"));
  EXPECT_NE(root.returned_text.find("<node name=\"tarn\"/>"), std::string::npos);
  EXPECT_EQ(root.returned_text.find("tarn.Lifecycle"), std::string::npos);
  Exchange ping = exchange(*daemon_, client, lifecycleCall("Ping", DBUS_INTERFACE_PEER));
  EXPECT_EQ(ping.error_name, "");
  EXPECT_EQ(ping.handle_result, MB_OK);
}

TEST_F(BusTest, StatusReplyReachesTheSupervisorWithSenderAndStatus) {
  Client supervisor(bus_.Address());
  ASSERT_NE(supervisor.connection, nullptr);
  ASSERT_TRUE(supervisor.Own("tarn.main"));
  MessageBusNames target("tarn.main", "/tarn/main", "");
  EXPECT_EQ(daemon_->proxy.SendStatusReply(target, static_cast<AppStatus>(5)), MB_OK);

  DBusMessage* message = awaitMessage(supervisor, [](DBusMessage* m) {
    return dbus_message_is_method_call(m, "tarn.Lifecycle", "StatusReply");
  });
  ASSERT_NE(message, nullptr);
  EXPECT_STREQ(dbus_message_get_path(message), "/tarn/main");
  EXPECT_STREQ(dbus_message_get_signature(message), "su");
  EXPECT_TRUE(dbus_message_get_no_reply(message));
  EXPECT_FALSE(dbus_message_get_auto_start(message));
  const char* sender = nullptr;
  dbus_uint32_t status = 0;
  ASSERT_TRUE(dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &sender, DBUS_TYPE_UINT32, &status,
                                    DBUS_TYPE_INVALID));
  EXPECT_STREQ(sender, "tarn.mgm");
  EXPECT_EQ(status, 5u);
  dbus_message_unref(message);

  // A target that cannot be addressed is refused before anything is sent.
  EXPECT_EQ(daemon_->proxy.SendStatusReply(MessageBusNames("tarn.main", "relative", ""),
                                           Interfaces::Lifecycle::Ready),
            MB_INVALID_ARGUMENTS);
}

// The round trip of `mgmctl status`: the client asks with its unique name
// and gets the answer and the status reply; the daemon runs on its own
// thread meanwhile.
TEST_F(BusTest, ClientStatusRequestGetsResultAndStatusReply) {
  mgm_client::LifecycleClient client;
  std::string error;
  ASSERT_TRUE(client.Connect("", error)) << error;
  std::atomic<bool> done{false};
  std::thread daemonThread([&] {
    while (!done) daemon_->dispatcher.HandleMessage(50);
  });
  mgm_client::CallResult result = client.Status(client.UniqueName(), "/tarn/mgmctl", 20000);
  mgm_client::StatusReplyEvent event;
  mgm_client::WaitResult waited = client.WaitStatusReply(20000, event);
  done = true;
  daemonThread.join();

  EXPECT_TRUE(result.answered) << result.error_name;
  EXPECT_EQ(result.code, 0u);
  ASSERT_EQ(waited, mgm_client::WaitResult::Received);
  EXPECT_EQ(event.from, "tarn.mgm");
  EXPECT_EQ(event.status, 3u);
  EXPECT_EQ(mgm_client::describeStatus(event.status), "3 (Running)");
  EXPECT_EQ(mgm_client::describeStatus(6), "6");
}

TEST_F(BusTest, ClientSeesWhenTheDaemonIsMissing) {
  mgm_client::LifecycleClient client;
  std::string error;
  ASSERT_TRUE(client.Connect("", error)) << error;
  ASSERT_EQ(daemon_->bus.Disconnect(), MB_OK);
  Client observer(bus_.Address());
  for (int i = 0; i < 400 && dbus_bus_name_has_owner(observer.connection, "tarn.mgm", nullptr); ++i)
    usleep(50000);
  mgm_client::CallResult result = client.Start(20000);
  EXPECT_FALSE(result.answered);
  EXPECT_EQ(result.error_name, DBUS_ERROR_NAME_HAS_NO_OWNER);
}

TEST_F(BusTest, WaitWithoutMessageEndsWithNoMessage) {
  // Drain what the bus sent on connecting (NameAcquired).
  uint32_t rc = MB_OK;
  for (int i = 0; i < 100 && rc == MB_OK; ++i) rc = daemon_->dispatcher.HandleMessage(100);
  EXPECT_EQ(rc, MB_NO_MESSAGE);
  EXPECT_EQ(daemon_->dispatcher.HandleMessage(0), MB_NO_MESSAGE);
  EXPECT_EQ(daemon_->dispatcher.HandleMessage(-1), MB_NO_MESSAGE);
}

TEST_F(BusTest, SecondOwnerOfTheNameCannotConnect) {
  DBusMessageBus second;
  EXPECT_EQ(second.Connect("tarn.mgm"), nullptr);
  EXPECT_EQ(second.Disconnect(), MB_NOT_CONNECTED);
  // One connection per object: a second Connect leaves the first in place.
  EXPECT_EQ(daemon_->bus.Connect("tarn.other"), nullptr);
  EXPECT_EQ(daemon_->proxy.SendStatusReply(MessageBusNames("tarn.main", "/tarn/main", ""),
                                           Interfaces::Lifecycle::Ready),
            MB_OK);
}

TEST_F(BusTest, LostBusEndsHandlingAndReplies) {
  bus_.Kill();
  EXPECT_EQ(handleUntilNotHandled(*daemon_), MB_CONNECTION_CLOSED);
  EXPECT_EQ(daemon_->dispatcher.HandleMessage(10), MB_CONNECTION_CLOSED);
  EXPECT_EQ(daemon_->proxy.SendStatusReply(MessageBusNames("tarn.main", "/tarn/main", ""),
                                           Interfaces::Lifecycle::Exiting),
            MB_CONNECTION_CLOSED);
  EXPECT_EQ(daemon_->bus.Disconnect(), MB_OK);
  EXPECT_EQ(daemon_->bus.Disconnect(), MB_NOT_CONNECTED);
}

TEST(BusWithoutConnection, EverythingReportsNotConnected) {
  MessageDispatcher dispatcher;
  Interfaces::Lifecycle::ReplyProxy proxy(MessageBusNames("tarn.mgm", "/tarn/mgm", ""));
  EXPECT_EQ(dispatcher.RegisterBusConnection(nullptr), MB_NOT_CONNECTED);
  EXPECT_EQ(proxy.RegisterBusConnection(nullptr), MB_NOT_CONNECTED);
  EXPECT_EQ(dispatcher.HandleMessage(0), MB_NOT_CONNECTED);
  EXPECT_EQ(
      proxy.SendStatusReply(MessageBusNames("tarn.main", "/tarn/main", ""), Interfaces::Lifecycle::Ready),
      MB_NOT_CONNECTED);

  // No bus at the address: Connect gives null.
  dbus_shutdown();
  const char* previous = getenv("DBUS_SYSTEM_BUS_ADDRESS");
  std::string saved = previous ? previous : "";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/mgm-test-socket", 1);
  DBusMessageBus bus;
  EXPECT_EQ(bus.Connect("tarn.mgm"), nullptr);
  if (previous)
    setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
  else
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  dbus_shutdown();
}

}  // namespace
