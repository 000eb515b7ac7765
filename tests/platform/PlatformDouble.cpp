#include "PlatformDouble.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "Logging.h"
#include "MessageBus.h"

namespace platform_double {
namespace {

using Interfaces::Lifecycle::IRequestCallbacks;

struct World {
  std::vector<std::pair<int, std::string>> log;  // level, formatted text
  bool fail_connect = false, disconnected = false;
  uint32_t disconnect_result = 0;
  std::deque<Step> steps;
  std::function<void(size_t)> hook;
  std::vector<uint32_t> request_results;
  size_t handle_calls = 0;
  std::vector<int> timeouts;
  std::deque<uint32_t> reply_results;
  std::vector<StatusReply> replies;
  IRequestCallbacks* callbacks = nullptr;
};

std::mutex log_mutex;
World& world() {
  static World w;
  return w;
}

template <typename... Args>
Step call(uint32_t (IRequestCallbacks::*member)(Args...), Args... args) {
  return request([=](IRequestCallbacks& c) { return (c.*member)(args...); });
}

}  // namespace

Step request(Request r) { return Step{std::move(r), 0}; }
Step result(uint32_t code) { return Step{Request{}, code}; }
Step start() { return call(&IRequestCallbacks::RequestStart); }
Step stop(uint32_t target) {
  return call(&IRequestCallbacks::RequestStop, static_cast<Interfaces::Lifecycle::AppStatus>(target));
}
Step restart() { return call(&IRequestCallbacks::RequestRestart); }
Step reset() { return call(&IRequestCallbacks::RequestReset); }
Step exit() { return call(&IRequestCallbacks::RequestExit); }
Step status(const char* connection, const char* path) {
  std::string conn = connection, obj = path;
  return request([conn, obj](IRequestCallbacks& c) {
    return c.RequestStatus({conn.c_str(), obj.c_str(), ""});
  });
}

void resetAll() {
  std::lock_guard<std::mutex> lock(log_mutex);
  IRequestCallbacks* callbacks = world().callbacks;
  world() = World{};
  world().callbacks = callbacks;
}

void clearLog() {
  std::lock_guard<std::mutex> lock(log_mutex);
  world().log.clear();
}
std::vector<std::string> logTexts(int level) {
  std::lock_guard<std::mutex> lock(log_mutex);
  std::vector<std::string> texts;
  for (const auto& [l, text] : world().log)
    if (level < 0 || l == level) texts.push_back(text);
  return texts;
}
bool logged(const std::string& text, int level) {
  for (const std::string& t : logTexts(level))
    if (t == text) return true;
  return false;
}
int countLogged(const std::string& fragment) {
  int n = 0;
  for (const std::string& t : logTexts()) n += t.find(fragment) != std::string::npos;
  return n;
}

void failConnect(bool fail) { world().fail_connect = fail; }
void setDisconnectResult(uint32_t code) { world().disconnect_result = code; }
void scriptSteps(std::vector<Step> steps) { world().steps.assign(steps.begin(), steps.end()); }
void onHandleMessage(std::function<void(size_t)> hook) { world().hook = std::move(hook); }
std::vector<uint32_t> requestResults() { return world().request_results; }
size_t handleMessageCalls() { return world().handle_calls; }
std::vector<int> handleMessageTimeouts() { return world().timeouts; }
void scriptReplyResults(std::vector<uint32_t> codes) {
  world().reply_results.assign(codes.begin(), codes.end());
}
std::vector<StatusReply> statusReplies() { return world().replies; }
std::vector<uint32_t> repliedStatuses() {
  std::vector<uint32_t> out;
  for (const StatusReply& r : world().replies) out.push_back(r.status);
  return out;
}
bool disconnected() { return world().disconnected; }

}  // namespace platform_double

using platform_double::world;

// ---- Logging ----
void Logging::SetName(const char*) {}

void Logging::Message(LOGGING_LEVEL level, const char*, int, const char* fmt, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  // MGM_TEST_LOG=1 echoes every record, for reading a failing test.
  static const bool echo = getenv("MGM_TEST_LOG") != nullptr;
  if (echo) fprintf(stderr, "log %d: %s\n", static_cast<int>(level), buffer);
  std::lock_guard<std::mutex> lock(platform_double::log_mutex);
  world().log.emplace_back(static_cast<int>(level), buffer);
}

// ---- Message bus ----
class BusMessage {};

MessageBusNames::MessageBusNames(const char* connectionName, const char* objectPath, const char* third)
    : connection_name_(connectionName), object_path_(objectPath), third_(third) {}
MessageBusNames::~MessageBusNames() = default;
const char* MessageBusNames::GetConnectionName() const { return connection_name_.c_str(); }
const char* MessageBusNames::GetObjectPath() const { return object_path_.c_str(); }
const char* MessageBusNames::GetThirdName() const { return third_.c_str(); }

MessageBus::~MessageBus() = default;
MessageHandler::~MessageHandler() = default;

DBusMessageBus::DBusMessageBus() = default;
DBusMessageBus::~DBusMessageBus() = default;
MessageBus* DBusMessageBus::Connect(const char*) {
  if (world().fail_connect) return nullptr;
  connection_ = std::make_unique<MessageBus>();
  return connection_.get();
}
uint32_t DBusMessageBus::Disconnect() {
  world().disconnected = true;
  connection_.reset();
  return world().disconnect_result;
}

MessageDispatcher::MessageDispatcher() = default;
MessageDispatcher::~MessageDispatcher() = default;
uint32_t MessageDispatcher::RegisterBusConnection(MessageBus* bus) {
  bus_ = bus;
  return bus ? MB_OK : MB_NOT_CONNECTED;
}
void MessageDispatcher::AddHandler(MessageHandler* handler) { handlers_.push_back(handler); }

// Takes the next scripted step; none left reads as a lost bus.
uint32_t MessageDispatcher::HandleMessage(int timeout) {
  auto& w = world();
  size_t index = w.handle_calls++;
  w.timeouts.push_back(timeout);
  if (w.hook) w.hook(index);
  if (w.steps.empty()) return MB_CONNECTION_CLOSED;
  platform_double::Step step = w.steps.front();
  w.steps.pop_front();
  if (step.request && w.callbacks) w.request_results.push_back(step.request(*w.callbacks));
  return step.result;
}

MessageProxy::MessageProxy() = default;
MessageProxy::~MessageProxy() = default;
uint32_t MessageProxy::RegisterBusConnection(const MessageBus* bus) {
  bus_ = bus;
  return bus ? MB_OK : MB_NOT_CONNECTED;
}

// ---- Interfaces ----
namespace Interfaces {
namespace Lifecycle {

IRequestCallbacks::~IRequestCallbacks() = default;
RequestHandlers::RequestHandlers(IRequestCallbacks* callbacks, const MessageBusNames& own)
    : callbacks_(callbacks), own_path_(own.GetObjectPath()) {}
RequestHandlers::~RequestHandlers() {
  if (world().callbacks == callbacks_) world().callbacks = nullptr;
}
uint32_t RequestHandlers::RegisterInterface(MessageDispatcher& dispatcher) {
  dispatcher.AddHandler(this);
  world().callbacks = callbacks_;
  return MB_OK;
}
bool RequestHandlers::Dispatch(BusMessage&, uint32_t&) { return false; }

ReplyProxy::ReplyProxy(const MessageBusNames& own) : own_connection_name_(own.GetConnectionName()) {}
ReplyProxy::~ReplyProxy() = default;
uint32_t ReplyProxy::SendStatusReply(const MessageBusNames& target, AppStatus status) const {
  auto& w = world();
  w.replies.push_back({target.GetConnectionName(), target.GetObjectPath(), static_cast<uint32_t>(status)});
  if (w.reply_results.empty()) return bus_ ? MB_OK : MB_NOT_CONNECTED;
  uint32_t code = w.reply_results.front();
  w.reply_results.pop_front();
  return code;
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
bool ReplyHandlers::Dispatch(BusMessage&, uint32_t&) {
  (void)callbacks_;  // the double delivers no alarm replies
  return false;
}
RequestProxy::RequestProxy(const MessageBusNames& own, const MessageBusNames& alarmManager)
    : own_connection_name_(own.GetConnectionName()),
      alarm_manager_connection_name_(alarmManager.GetConnectionName()) {}
RequestProxy::~RequestProxy() = default;
}  // namespace Alarm
}  // namespace Interfaces
