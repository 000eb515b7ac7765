#include "PlatformDouble.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "Logging.h"
#include "MessageBus.h"

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

// MessageBusNames and the interfaces' destructors: src/platform's own.

DBusMessageBus::DBusMessageBus() = default;
DBusMessageBus::~DBusMessageBus() = default;
MessageBus* DBusMessageBus::Connect(const char*) {
  return world().fail_connect ? nullptr : (connection_ = std::make_unique<MessageBus>()).get();
}
uint32_t DBusMessageBus::Disconnect() {
  connection_.reset();
  return world().disconnected = true, world().disconnect_result;
}

MessageDispatcher::MessageDispatcher() = default;
MessageDispatcher::~MessageDispatcher() = default;
uint32_t MessageDispatcher::RegisterBusConnection(MessageBus* bus) {
  return (bus_ = bus) ? MB_OK : MB_NOT_CONNECTED;
}

// Takes the next scripted step; none left reads as a lost bus.
uint32_t MessageDispatcher::HandleMessage(int timeout) {
  auto& w = world();
  w.timeouts.push_back(timeout);
  if (w.hook) w.hook(w.timeouts.size() - 1);
  if (w.steps.empty()) return MB_CONNECTION_CLOSED;
  const platform_double::Step step = w.steps.front();
  w.steps.pop_front();
  if (step.request && w.callbacks) w.request_results.push_back(step.request(*w.callbacks));
  return step.result;
}

MessageProxy::MessageProxy() = default;
MessageProxy::~MessageProxy() = default;
uint32_t MessageProxy::RegisterBusConnection(const MessageBus* bus) {
  return (bus_ = bus) ? MB_OK : MB_NOT_CONNECTED;
}

// ---- Interfaces ----
namespace Interfaces::Lifecycle {
IRequestCallbacks::~IRequestCallbacks() = default;
RequestHandlers::RequestHandlers(IRequestCallbacks* callbacks, const MessageBusNames&)
    : callbacks_(callbacks) {}
RequestHandlers::~RequestHandlers() {
  if (world().callbacks == callbacks_) world().callbacks = nullptr;
}
uint32_t RequestHandlers::RegisterInterface(MessageDispatcher&) {
  world().callbacks = callbacks_;
  return MB_OK;
}
bool RequestHandlers::Dispatch(BusMessage&, uint32_t&) { return false; }

ReplyProxy::ReplyProxy(const MessageBusNames&) {}
ReplyProxy::~ReplyProxy() = default;
uint32_t ReplyProxy::SendStatusReply(const MessageBusNames& to, AppStatus status) const {
  auto& w = world();
  w.replies.emplace_back(status, std::string(to.GetConnectionName()) + " " + to.GetObjectPath());
  if (w.reply_results.empty()) return bus_ ? MB_OK : MB_NOT_CONNECTED;
  const uint32_t code = w.reply_results.front();
  w.reply_results.pop_front();
  return code;
}
}  // namespace Interfaces::Lifecycle

// The double delivers no alarm replies.
namespace Interfaces::Alarm {
IReplyCallbacks::~IReplyCallbacks() = default;
ReplyHandlers::ReplyHandlers(IReplyCallbacks* callbacks, const MessageBusNames&) : callbacks_(callbacks) {}
ReplyHandlers::~ReplyHandlers() = default;
uint32_t ReplyHandlers::RegisterInterface(MessageDispatcher&) { return MB_OK; }
bool ReplyHandlers::Dispatch(BusMessage&, uint32_t&) { return (void)callbacks_, false; }
RequestProxy::RequestProxy(const MessageBusNames&, const MessageBusNames&) {}
RequestProxy::~RequestProxy() = default;
}  // namespace Interfaces::Alarm
