// The message-bus and interface libraries against a private dbus-daemon,
// for what the end-to-end lifecycle test does not send or see: alarm
// replies, calls without an interface field, malformed ones, calls for
// another interface or object, the status reply's form, a taken name, an
// idle wait and what follows a lost bus. That a caller other than root hears
// a status answer itself, whatever it names, is e2e.loop's.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "Interfaces.h"
#include "MessageBus.h"

namespace {

using namespace Interfaces;

// Records the last request (an alarm reply as id * 100 + result) and
// answers it with 7.
struct FakeCallbacks : Lifecycle::IRequestCallbacks, Alarm::IReplyCallbacks {
  std::string call;
  uint32_t RequestStart() override { return record("Start"); }
  uint32_t RequestStop(Lifecycle::AppStatus) override { return record("Stop"); }
  uint32_t RequestRestart() override { return record("Restart"); }
  uint32_t RequestReset() override { return record("Reset"); }
  uint32_t RequestExit() override { return record("Exit"); }
  uint32_t RequestStatus(const MessageBusNames& to) override {
    return record(std::string(to.GetConnectionName()) + " " + to.GetObjectPath());
  }
  uint32_t HandleAlarmReply(uint32_t a, uint32_t b) override { return record(std::to_string(a * 100 + b)); }
  uint32_t record(const std::string& text) { return call = text, 7; }
};

// A private bus that allows everything to every user as the system bus, the
// daemon's side wired on it as the daemon wires itself, and a plain client.
// libdbus reads DBUS_SYSTEM_BUS_ADDRESS once until dbus_shutdown, so the test
// ends with that, after all its connections.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // It prints its address once it listens, then its pid.
    bus_output_ = popen(
        "echo '<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth><policy "
        "context=\"default\"><allow user=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/><allow "
        "eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>' >/tmp/mgm-bus-test.conf && exec "
        "dbus-daemon --config-file=/tmp/mgm-bus-test.conf "
        "--nofork --print-address=1 --print-pid=1 2>/dev/null",
        "r");
    char address[512] = "";
    if (!bus_output_ || !fgets(address, sizeof address, bus_output_) || !fgets(pid_, 32, bus_output_))
      GTEST_SKIP() << "dbus-daemon did not start (is it installed?)";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", strtok(address, "\n"), 1);
    MessageBus* connection = bus_.Connect("tarn.mgm");
    ASSERT_TRUE(connection && !dispatcher_.RegisterBusConnection(connection) &&
                !lifecycle_.RegisterInterface(dispatcher_) && !proxy_.RegisterBusConnection(connection) &&
                !alarm_.RegisterInterface(dispatcher_));  // all MB_OK
    ASSERT_NE(client_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr), nullptr);
    dbus_connection_set_exit_on_disconnect(client_, FALSE);
  }
  void TearDown() override {
    bus_.Disconnect();
    if (client_) dbus_connection_close(client_), dbus_connection_unref(client_);
    dbus_shutdown();
    if (atoi(pid_) > 0) kill(atoi(pid_), SIGKILL);
    if (bus_output_) pclose(bus_output_);
  }

  // Sends `member` with (type, pointer) argument pairs from the client and
  // runs the daemon's loop until the answer comes. Returns what
  // HandleMessage said last, the error name or "u" and the returned value,
  // and after "/" the callback called ("0 u 7/Start").
  template <typename... Args>
  std::string exchange(const char* member, const char* interface, const char* path, Args... args) {
    DBusMessage* message = dbus_message_new_method_call("tarn.mgm", path, interface, member);
    fake_.call.clear();
    DBusPendingCall* pending = nullptr;
    dbus_message_append_args(message, args..., DBUS_TYPE_INVALID);
    dbus_connection_send_with_reply(client_, message, &pending, 20000);
    dbus_connection_flush(client_);
    dbus_message_unref(message);
    uint32_t rc = MB_NO_MESSAGE;
    for (int i = 0; i < 400 && !dbus_pending_call_get_completed(pending);
         ++i, dbus_connection_read_write_dispatch(client_, 0))
      if (uint32_t r = dispatcher_.HandleMessage(50); r != MB_NO_MESSAGE) rc = r;
    DBusMessage* reply = dbus_pending_call_steal_reply(pending);
    dbus_uint32_t value = 0;
    const char* error = dbus_message_get_error_name(reply);
    dbus_message_get_args(reply, nullptr, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID);
    const std::string answer =
        std::to_string(rc) + " " + (error ? error : "u " + std::to_string(value)) + "/" + fake_.call;
    dbus_message_unref(reply), dbus_pending_call_unref(pending);
    return answer;
  }

  FILE* bus_output_ = nullptr;
  char pid_[32] = "";  // the bus's
  DBusConnection* client_ = nullptr;
  FakeCallbacks fake_;
  DBusMessageBus bus_;
  MessageDispatcher dispatcher_;
  Lifecycle::RequestHandlers lifecycle_{&fake_, {"tarn.mgm", "/tarn/mgm", ""}};
  Lifecycle::ReplyProxy proxy_{{"tarn.mgm", "/tarn/mgm", ""}};
  Alarm::ReplyHandlers alarm_{&fake_, {"tarn.mgm", "/tarn/mgm", ""}};
};

TEST_F(BusTest, RequestsAndRepliesTheLifecycleTestDoesNotCover) {
  const dbus_uint32_t id = 12, result = 34;
  const char *requester = ":1.999", *path = "/some/where", *badPath = "not a path", *L = "tarn.Lifecycle",
             *A = "tarn.Alarm", *P = "/tarn/mgm";
  const std::string invalid = std::to_string(MB_INVALID_ARGUMENTS) + " " + DBUS_ERROR_INVALID_ARGS + "/",
                    unknown = std::string(" ") + DBUS_ERROR_UNKNOWN_METHOD + "/";
  EXPECT_EQ(exchange("AlarmReply", A, P, DBUS_TYPE_UINT32, &id, DBUS_TYPE_UINT32, &result), "0 u 7/1234");
  EXPECT_EQ(exchange("Start", nullptr, P), "0 u 7/Start");  // no interface field
  EXPECT_EQ(exchange("Status", L, P, DBUS_TYPE_STRING, &requester, DBUS_TYPE_STRING, &path),
            "0 u 7/:1.999 /some/where");
  EXPECT_EQ(exchange("Stop", L, P), invalid);
  EXPECT_EQ(exchange("Status", L, P, DBUS_TYPE_STRING, &requester, DBUS_TYPE_STRING, &badPath), invalid);
  EXPECT_EQ(exchange("AlarmReply", A, P, DBUS_TYPE_UINT32, &id), invalid);
  EXPECT_EQ(exchange("Pause", L, P), std::to_string(MB_UNKNOWN_MEMBER) + unknown);
  // Not the daemon's interface or object: answered, an ordinary message.
  EXPECT_EQ(exchange("Start", "tarn.Other", P), "0" + unknown);
  EXPECT_EQ(exchange("Start", L, "/tarn/other"), "0" + unknown);

  // A status reply: a call nobody answers, naming the daemon.
  const char* me = dbus_bus_get_unique_name(client_);
  EXPECT_EQ(proxy_.SendStatusReply({me, "/tarn/main", ""}, Lifecycle::Exiting), MB_OK);
  DBusMessage* m = nullptr;
  for (int i = 0; i < 400 && !(m = dbus_connection_pop_message(client_)); ++i)
    dbus_connection_read_write(client_, 50);
  ASSERT_TRUE(m && dbus_message_is_method_call(m, L, "StatusReply"));
  // Its sender and status: e2e.lifecycle.
  EXPECT_EQ(std::string(dbus_message_get_path(m)) + (dbus_message_get_no_reply(m) ? " no reply" : ""),
            "/tarn/main no reply");
  dbus_message_unref(m);

  // A second daemon finds the name taken; an idle wait ends without a
  // message once the bus's greeting is read; with the bus gone a status
  // reply fails so.
  DBusMessageBus second;
  EXPECT_EQ(second.Connect("tarn.mgm"), nullptr);
  uint32_t rc = MB_OK;
  for (int i = 0; i < 100 && rc == MB_OK; ++i) rc = dispatcher_.HandleMessage(100);
  EXPECT_EQ(rc, MB_NO_MESSAGE);
  kill(atoi(pid_), SIGKILL);
  for (int i = 0; i < 400 && (rc == MB_NO_MESSAGE || rc == MB_OK); ++i) rc = dispatcher_.HandleMessage(50);
  EXPECT_EQ(proxy_.SendStatusReply({me, "/tarn/main", ""}, Lifecycle::Exiting), MB_CONNECTION_CLOSED);
}

}  // namespace
