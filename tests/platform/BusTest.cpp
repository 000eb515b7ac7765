// The message-bus and interface libraries against a private dbus-daemon:
// lifecycle requests in, status replies out, refused requests, a lost bus.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "Interfaces.h"
#include "MessageBus.h"

namespace {

using namespace Interfaces;

// Records the last request and answers it with 7.
struct FakeCallbacks : Lifecycle::IRequestCallbacks, Alarm::IReplyCallbacks {
  std::string call;
  uint32_t RequestStart() override { return record("Start"); }
  uint32_t RequestStop(Lifecycle::AppStatus to) override { return record("Stop " + std::to_string(to)); }
  uint32_t RequestRestart() override { return record("Restart"); }
  uint32_t RequestReset() override { return record("Reset"); }
  uint32_t RequestExit() override { return record("Exit"); }
  uint32_t RequestStatus(const MessageBusNames& to) override {
    return record(std::string("Status ") + to.GetConnectionName() + " " + to.GetObjectPath());
  }
  uint32_t HandleAlarmReply(uint32_t id, uint32_t result) override {
    return record("AlarmReply " + std::to_string(id) + " " + std::to_string(result));
  }
  uint32_t record(const std::string& text) { return call = text, 7; }
};

// A method call with (type, pointer) argument pairs.
template <typename... Args>
DBusMessage* call(const char* member, const char* interface, const char* path, Args... args) {
  DBusMessage* message = dbus_message_new_method_call("tarn.mgm", path, interface, member);
  dbus_message_append_args(message, args..., DBUS_TYPE_INVALID);
  return message;
}

// A private bus (a session dbus-daemon: it allows everything) as the system
// bus, the daemon's side wired on it as the daemon wires itself, and a plain
// client. libdbus reads DBUS_SYSTEM_BUS_ADDRESS once until dbus_shutdown, so
// each test ends with that, after all its connections.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // It prints its address once it listens, then its pid.
    bus_output_ = popen("dbus-daemon --session --nofork --print-address=1 --print-pid=1 2>/dev/null", "r");
    char address[512] = "", pid[32] = "";
    if (!bus_output_ || !fgets(address, sizeof address, bus_output_) || !fgets(pid, sizeof pid, bus_output_))
      GTEST_SKIP() << "dbus-daemon did not start (is it installed?)";
    bus_pid_ = atoi(pid);
    address[strcspn(address, "\n")] = 0;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address, 1);
    MessageBus* connection = bus_.Connect("tarn.mgm");
    ASSERT_TRUE(connection && dispatcher_.RegisterBusConnection(connection) == MB_OK &&
                lifecycle_.RegisterInterface(dispatcher_) == MB_OK &&
                proxy_.RegisterBusConnection(connection) == MB_OK &&
                alarm_.RegisterInterface(dispatcher_) == MB_OK);
    client_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    ASSERT_NE(client_, nullptr);
    dbus_connection_set_exit_on_disconnect(client_, FALSE);
  }
  void TearDown() override {
    bus_.Disconnect();
    if (client_) dbus_connection_close(client_), dbus_connection_unref(client_);
    dbus_shutdown();
    if (bus_pid_ > 0) kill(bus_pid_, SIGKILL);
    if (bus_output_) pclose(bus_output_);
  }

  // Sends `message` (consumed) from the client with the daemon's loop on its
  // own thread. Returns what HandleMessage said, then the error name or "u"
  // and the returned value ("0 u 7").
  std::string exchange(DBusMessage* message) {
    std::atomic<uint32_t> rc{MB_NO_MESSAGE};
    std::atomic<bool> done{false};
    std::thread loop([&] {
      while (!done)
        if (uint32_t r = dispatcher_.HandleMessage(50); r != MB_NO_MESSAGE) rc = r;
    });
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(client_, message, 20000, &error);
    done = true;
    loop.join();
    dbus_message_unref(message);
    dbus_uint32_t value = 0;
    if (reply) dbus_message_get_args(reply, nullptr, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID);
    std::string answer = std::to_string(rc) + " " + (reply ? "u " + std::to_string(value) : error.name);
    if (reply) dbus_message_unref(reply);
    dbus_error_free(&error);
    return answer;
  }

  FILE* bus_output_ = nullptr;
  pid_t bus_pid_ = 0;
  DBusConnection* client_ = nullptr;
  FakeCallbacks fake_;
  DBusMessageBus bus_;
  MessageDispatcher dispatcher_;
  MessageBusNames own_{"tarn.mgm", "/tarn/mgm", ""};
  Lifecycle::RequestHandlers lifecycle_{&fake_, own_};
  Lifecycle::ReplyProxy proxy_{own_};
  Alarm::ReplyHandlers alarm_{&fake_, own_};
};

TEST_F(BusTest, RequestsReachTheirCallbackOrAreRefusedWithAnError) {
  const dbus_uint32_t five = 5, id = 12, result = 34;
  const char *requester = ":1.999", *path = "/some/where", *text = "4", *badPath = "not a path";
  const char *L = "tarn.Lifecycle", *A = "tarn.Alarm", *P = "/tarn/mgm";
  const std::string ok = std::to_string(MB_OK) + " u 7",
                    invalid = std::to_string(MB_INVALID_ARGUMENTS) + " " + DBUS_ERROR_INVALID_ARGS;
  const struct {
    DBusMessage* message;
    std::string answer, call;  // call "": refused
  } cases[] = {
      {call("Start", L, P), ok, "Start"},
      {call("Stop", L, P, DBUS_TYPE_UINT32, &five), ok, "Stop 5"},
      {call("Restart", L, P), ok, "Restart"},
      {call("Reset", L, P), ok, "Reset"},
      {call("Exit", L, P), ok, "Exit"},
      {call("Status", L, P, DBUS_TYPE_STRING, &requester, DBUS_TYPE_STRING, &path), ok,
       "Status :1.999 /some/where"},
      {call("AlarmReply", A, P, DBUS_TYPE_UINT32, &id, DBUS_TYPE_UINT32, &result), ok, "AlarmReply 12 34"},
      {call("Start", nullptr, P), ok, "Start"},  // no interface field
      {call("Stop", L, P, DBUS_TYPE_STRING, &text), invalid, ""},
      {call("Stop", L, P), invalid, ""},
      {call("Status", L, P, DBUS_TYPE_STRING, &requester, DBUS_TYPE_STRING, &badPath), invalid, ""},
      {call("AlarmReply", A, P, DBUS_TYPE_UINT32, &id), invalid, ""},
      {call("Pause", L, P), std::to_string(MB_UNKNOWN_MEMBER) + " " + DBUS_ERROR_UNKNOWN_METHOD, ""},
      // Not the daemon's interface or object: answered, an ordinary message.
      {call("Start", "tarn.Other", P), std::to_string(MB_OK) + " " + DBUS_ERROR_UNKNOWN_METHOD, ""},
      {call("Start", L, "/tarn/other"), std::to_string(MB_OK) + " " + DBUS_ERROR_UNKNOWN_METHOD, ""},
  };
  for (const auto& c : cases) {
    fake_.call.clear();
    EXPECT_EQ(exchange(c.message), c.answer) << c.call;
    EXPECT_EQ(fake_.call, c.call);
  }
}

// A status reply, then a second daemon, then the bus gone.
TEST_F(BusTest, StatusReplyReachesTheSupervisorTakenNameOrLostBusRefuseTheConnection) {
  ASSERT_EQ(dbus_bus_request_name(client_, "tarn.main", DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr),
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
  EXPECT_EQ(proxy_.SendStatusReply({"tarn.main", "/tarn/main", ""}, Lifecycle::Exiting), MB_OK);
  DBusMessage* m = nullptr;
  for (int i = 0; i < 400 && !(m && dbus_message_is_method_call(m, "tarn.Lifecycle", "StatusReply")); ++i) {
    if (m) dbus_message_unref(m);
    dbus_connection_read_write(client_, 50);
    m = dbus_connection_pop_message(client_);
  }
  ASSERT_NE(m, nullptr);
  const char* sender = "";
  dbus_uint32_t status = 0;
  dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &sender, DBUS_TYPE_UINT32, &status, DBUS_TYPE_INVALID);
  EXPECT_EQ(std::string(dbus_message_get_path(m)) + " " + sender + " " + std::to_string(status) +
                (dbus_message_get_no_reply(m) ? " no reply" : " reply wanted"),
            "/tarn/main tarn.mgm 7 no reply");
  dbus_message_unref(m);
  DBusMessageBus second;
  EXPECT_EQ(second.Connect("tarn.mgm"), nullptr);
  // Idle: the wait ends without a message once the bus's greeting is read.
  uint32_t rc = MB_OK;
  for (int i = 0; i < 100 && rc == MB_OK; ++i) rc = dispatcher_.HandleMessage(100);
  EXPECT_EQ(rc, MB_NO_MESSAGE);
  kill(bus_pid_, SIGKILL);
  for (int i = 0; i < 400 && (rc == MB_NO_MESSAGE || rc == MB_OK); ++i) rc = dispatcher_.HandleMessage(50);
  EXPECT_EQ(rc, MB_CONNECTION_CLOSED);
  EXPECT_EQ(dispatcher_.HandleMessage(10), MB_CONNECTION_CLOSED);
  EXPECT_EQ(proxy_.SendStatusReply({"tarn.main", "/tarn/main", ""}, Lifecycle::Exiting),
            MB_CONNECTION_CLOSED);
  EXPECT_EQ(second.Connect("tarn.mgm"), nullptr);  // nothing listens any more
}

}  // namespace
