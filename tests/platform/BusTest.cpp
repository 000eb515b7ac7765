// The message-bus and interface libraries against a private dbus-daemon:
// lifecycle requests in, status replies out, refused requests, a lost bus.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Interfaces.h"
#include "LifecycleClient.h"
#include "MessageBus.h"

namespace {

using namespace Interfaces;

// Records the requests it gets and answers each with `code`; a status
// request is answered through `proxy` like the daemon does.
struct FakeCallbacks : Lifecycle::IRequestCallbacks, Alarm::IReplyCallbacks {
  std::vector<std::string> calls;
  uint32_t code = 0;
  const Lifecycle::ReplyProxy* proxy = nullptr;
  uint32_t status_reply_result = 0xFFFFFFFF;

  uint32_t RequestStart() override { return record("Start"); }
  uint32_t RequestStop(Lifecycle::AppStatus target) override {
    return record("Stop " + std::to_string(target));
  }
  uint32_t RequestRestart() override { return record("Restart"); }
  uint32_t RequestReset() override { return record("Reset"); }
  uint32_t RequestExit() override { return record("Exit"); }
  uint32_t RequestStatus(const MessageBusNames& requester) override {
    status_reply_result = proxy->SendStatusReply(requester, Lifecycle::Running);
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

DBusMessage* call(const char* member, const char* interface = "tarn.Lifecycle",
                  const char* path = "/tarn/mgm") {
  return dbus_message_new_method_call("tarn.mgm", path, interface, member);
}

// Appends (type, pointer) argument pairs to `message`.
template <typename... Args>
DBusMessage* with(DBusMessage* message, Args... typesAndValues) {
  dbus_message_append_args(message, typesAndValues..., DBUS_TYPE_INVALID);
  return message;
}

const MessageBusNames SUPERVISOR("tarn.main", "/tarn/main", "");

// A private system bus (dbus-daemon allowing everything) with the daemon's
// side wired on it the way the daemon wires itself, and a plain client.
// libdbus reads DBUS_SYSTEM_BUS_ADDRESS once until dbus_shutdown, so each
// test ends with that, after all its connections.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/mgm-bus-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    std::ofstream(dir_ + "/bus.conf")
        << "<busconfig><type>system</type><listen>unix:path=" << dir_
        << "/socket</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
           "</policy></busconfig>";
    // It prints its address once it listens, then its pid.
    std::string command = "dbus-daemon --nofork --print-address=1 --print-pid=1 --config-file=" + dir_ +
                          "/bus.conf 2>" + dir_ + "/bus.log";
    bus_output_ = popen(command.c_str(), "r");
    char address[512] = "", pid[32] = "";
    if (!bus_output_ || !fgets(address, sizeof address, bus_output_) || !fgets(pid, sizeof pid, bus_output_))
      GTEST_SKIP() << "dbus-daemon did not start (is it installed?)";
    bus_pid_ = atoi(pid);
    address[strcspn(address, "\n")] = 0;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address, 1);

    MessageBus* connection = bus_.Connect("tarn.mgm");
    fake_.proxy = &proxy_;
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
    if (client_) {
      dbus_connection_close(client_);
      dbus_connection_unref(client_);
    }
    dbus_shutdown();
    KillBus();
    if (bus_output_) pclose(bus_output_);
    std::filesystem::remove_all(dir_);
  }
  void KillBus() {
    if (bus_pid_ > 0) kill(bus_pid_, SIGKILL);
    bus_pid_ = 0;
  }

  // Sends `message` (consumed) from the client and runs the daemon's loop
  // until the answer is in (bounded). `answer` is the error name or the
  // signature and value of the return ("u 7"); `rc` what HandleMessage said.
  struct Exchange {
    uint32_t rc = MB_NO_MESSAGE;
    std::string answer = "no answer";
  };
  Exchange exchange(DBusMessage* message) {
    Exchange result;
    DBusPendingCall* pending = nullptr;
    dbus_connection_send_with_reply(client_, message, &pending, 20000);
    dbus_message_unref(message);
    for (int i = 0; i < 400 && !dbus_pending_call_get_completed(pending); ++i) {
      uint32_t rc = dispatcher_.HandleMessage(50);
      if (rc != MB_NO_MESSAGE) result.rc = rc;
      dbus_connection_read_write_dispatch(client_, 0);
    }
    if (DBusMessage* reply =
            dbus_pending_call_get_completed(pending) ? dbus_pending_call_steal_reply(pending) : nullptr) {
      dbus_uint32_t value = 0;
      dbus_message_get_args(reply, nullptr, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID);
      result.answer = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR
                          ? dbus_message_get_error_name(reply)
                          : dbus_message_get_signature(reply) + (" " + std::to_string(value));
      dbus_message_unref(reply);
    }
    dbus_pending_call_unref(pending);
    return result;
  }

  std::string dir_;
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
  struct Case {
    DBusMessage* message;
    uint32_t rc;
    const char* callback;  // null: refused with `error`
    const char* error;
  };
  const Case cases[] = {
      {call("Start"), MB_OK, "Start", nullptr},
      {with(call("Stop"), DBUS_TYPE_UINT32, &five), MB_OK, "Stop 5", nullptr},
      {call("Restart"), MB_OK, "Restart", nullptr},
      {call("Reset"), MB_OK, "Reset", nullptr},
      {call("Exit"), MB_OK, "Exit", nullptr},
      {with(call("Status"), DBUS_TYPE_STRING, &requester, DBUS_TYPE_STRING, &path), MB_OK,
       "Status :1.999 /some/where", nullptr},
      {with(call("AlarmReply", "tarn.Alarm"), DBUS_TYPE_UINT32, &id, DBUS_TYPE_UINT32, &result), MB_OK,
       "AlarmReply 12 34", nullptr},
      {call("Start", nullptr), MB_OK, "Start", nullptr},  // no interface field
      {with(call("Stop"), DBUS_TYPE_STRING, &text), MB_INVALID_ARGUMENTS, nullptr, DBUS_ERROR_INVALID_ARGS},
      {call("Stop"), MB_INVALID_ARGUMENTS, nullptr, DBUS_ERROR_INVALID_ARGS},
      {with(call("Status"), DBUS_TYPE_STRING, &requester, DBUS_TYPE_STRING, &badPath), MB_INVALID_ARGUMENTS,
       nullptr, DBUS_ERROR_INVALID_ARGS},
      {with(call("AlarmReply", "tarn.Alarm"), DBUS_TYPE_UINT32, &id), MB_INVALID_ARGUMENTS, nullptr,
       DBUS_ERROR_INVALID_ARGS},
      {call("Pause"), MB_UNKNOWN_MEMBER, nullptr, DBUS_ERROR_UNKNOWN_METHOD},
      // Not the daemon's interface or object: answered, an ordinary message.
      {call("Start", "tarn.Other"), MB_OK, nullptr, DBUS_ERROR_UNKNOWN_METHOD},
      {call("Start", "tarn.Lifecycle", "/tarn/other"), MB_OK, nullptr, DBUS_ERROR_UNKNOWN_METHOD},
  };
  uint32_t code = 0x26000100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.callback ? c.callback : c.error);
    fake_.calls.clear();
    fake_.code = ++code;
    Exchange e = exchange(c.message);
    EXPECT_EQ(e.rc, c.rc);
    EXPECT_EQ(e.answer, c.callback ? "u " + std::to_string(fake_.code) : c.error);
    EXPECT_EQ(fake_.calls, c.callback ? std::vector<std::string>{c.callback} : std::vector<std::string>{});
  }
  // A status reply to a name that is not on the bus is not an error.
  EXPECT_EQ(fake_.status_reply_result, MB_OK);
}

TEST_F(BusTest, StatusReplyReachesTheSupervisor) {
  ASSERT_EQ(dbus_bus_request_name(client_, "tarn.main", DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr),
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
  EXPECT_EQ(proxy_.SendStatusReply(SUPERVISOR, static_cast<Lifecycle::AppStatus>(5)), MB_OK);
  DBusMessage* message = nullptr;
  for (int i = 0; i < 400 && !message; ++i) {
    dbus_connection_read_write(client_, 50);
    while (DBusMessage* m = dbus_connection_pop_message(client_)) {
      if (!message && dbus_message_is_method_call(m, "tarn.Lifecycle", "StatusReply"))
        message = m;
      else
        dbus_message_unref(m);
    }
  }
  ASSERT_NE(message, nullptr);
  const char* sender = nullptr;
  dbus_uint32_t status = 0;
  EXPECT_TRUE(dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &sender, DBUS_TYPE_UINT32, &status,
                                    DBUS_TYPE_INVALID));
  EXPECT_EQ(std::string(dbus_message_get_path(message)) + " " + dbus_message_get_signature(message) + " " +
                sender + " " + std::to_string(status),
            "/tarn/main su tarn.mgm 5");
  EXPECT_TRUE(dbus_message_get_no_reply(message));
  dbus_message_unref(message);
  // A target that cannot be addressed is refused before anything is sent.
  EXPECT_EQ(proxy_.SendStatusReply(MessageBusNames("tarn.main", "relative", ""), Lifecycle::Ready),
            MB_INVALID_ARGUMENTS);
}

// The round trip of `mgmctl status`, with the daemon on its own thread.
TEST_F(BusTest, ClientStatusGetsTheAnswerAndTheStatusReply) {
  mgm_client::LifecycleClient client;
  std::string error;
  ASSERT_TRUE(client.Connect("", error)) << error;
  std::atomic<bool> done{false};
  std::thread loop([&] {
    while (!done) dispatcher_.HandleMessage(50);
  });
  mgm_client::CallResult result = client.Status(client.UniqueName(), "/tarn/mgmctl", 20000);
  mgm_client::StatusReplyEvent event;
  mgm_client::WaitResult waited = client.WaitStatusReply(20000, event);
  done = true;
  loop.join();
  EXPECT_TRUE(result.answered && result.code == 0) << result.error_name;
  ASSERT_EQ(waited, mgm_client::WaitResult::Received);
  EXPECT_EQ(event.from + " " + mgm_client::describeStatus(event.status), "tarn.mgm 3 (Running)");
}

TEST_F(BusTest, TakenNameOrLostBusRefuseTheConnection) {
  DBusMessageBus second;
  EXPECT_EQ(second.Connect("tarn.mgm"), nullptr);
  // Idle: the wait ends without a message once the bus's greeting is read.
  uint32_t rc = MB_OK;
  for (int i = 0; i < 100 && rc == MB_OK; ++i) rc = dispatcher_.HandleMessage(100);
  EXPECT_EQ(rc, MB_NO_MESSAGE);

  KillBus();
  for (int i = 0; i < 400 && (rc == MB_NO_MESSAGE || rc == MB_OK); ++i) rc = dispatcher_.HandleMessage(50);
  EXPECT_EQ(rc, MB_CONNECTION_CLOSED);
  EXPECT_EQ(dispatcher_.HandleMessage(10), MB_CONNECTION_CLOSED);
  EXPECT_EQ(proxy_.SendStatusReply(SUPERVISOR, Lifecycle::Exiting), MB_CONNECTION_CLOSED);
  EXPECT_EQ(second.Connect("tarn.mgm"), nullptr);  // nothing listens any more
}

}  // namespace
