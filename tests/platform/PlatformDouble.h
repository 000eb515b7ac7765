// Test double of the platform libraries: logging, message bus and the
// lifecycle interfaces, all in memory. Unit tests link it in place of the
// real libraries, script what HandleMessage delivers and read back the
// status replies and log records.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Interfaces.h"

namespace platform_double {

using Interfaces::Lifecycle::AppStatus;
using Interfaces::Lifecycle::IRequestCallbacks;

// One HandleMessage call: a lifecycle request delivered to the registered
// callbacks (its result is recorded), or a plain result code.
using Request = std::function<uint32_t(IRequestCallbacks&)>;
struct Step {
  Request request;      // empty: no request
  uint32_t result = 0;  // what HandleMessage returns
};
inline Step request(Request r) { return Step{std::move(r), 0}; }     // HandleMessage returns 0
inline Step result(uint32_t code) { return Step{Request{}, code}; }  // no request
// A step whose request calls `member` with `args`.
template <typename... Args>
Step call(uint32_t (IRequestCallbacks::*member)(Args...), std::decay_t<Args>... args) {
  return request([=](IRequestCallbacks& c) { return (c.*member)(args...); });
}
inline Step start() { return call(&IRequestCallbacks::RequestStart); }
inline Step restart() { return call(&IRequestCallbacks::RequestRestart); }
inline Step reset() { return call(&IRequestCallbacks::RequestReset); }
inline Step exit() { return call(&IRequestCallbacks::RequestExit); }
inline Step stop(uint32_t target) { return call(&IRequestCallbacks::RequestStop, AppStatus(target)); }
inline Step status(const char* connection, const char* path) {
  return call(&IRequestCallbacks::RequestStatus, MessageBusNames(connection, path, ""));
}

// Everything the double records and is scripted with.
struct World {
  std::vector<std::pair<int, std::string>> log;  // level, text; under log_mutex: threads log
  bool fail_connect = false, disconnected = false;
  uint32_t disconnect_result = 0;
  std::deque<Step> steps;
  std::function<void(size_t)> hook;
  std::vector<uint32_t> request_results;
  std::vector<int> timeouts;  // one per HandleMessage call
  std::deque<uint32_t> reply_results;
  std::vector<std::pair<uint32_t, std::string>> replies;  // statuses sent, to "name path"
  IRequestCallbacks* callbacks = nullptr;
};
inline std::mutex log_mutex;
inline World& world() {
  static World w;
  return w;
}

// Forgets every script, reply and record; the bus connects again.
inline void resetAll() {
  std::lock_guard<std::mutex> lock(log_mutex);
  IRequestCallbacks* callbacks = world().callbacks;  // the daemon's handlers stay registered
  world() = World{};
  world().callbacks = callbacks;
}

// Log records, in the order written (thread-safe).
inline void clearLog() {
  std::lock_guard<std::mutex> lock(log_mutex);
  world().log.clear();
}
// Texts of the records at `level` (all levels when negative).
inline std::vector<std::string> logTexts(int level = -1) {
  std::lock_guard<std::mutex> lock(log_mutex);
  std::vector<std::string> texts;
  for (const auto& [l, text] : world().log)
    if (level < 0 || l == level) texts.push_back(text);
  return texts;
}
// True when a record at `level` (any when negative) has exactly `text`.
inline bool logged(const std::string& text, int level = -1) {
  for (const std::string& t : logTexts(level))
    if (t == text) return true;
  return false;
}
// Number of records whose text holds `fragment`.
inline int countLogged(const std::string& fragment) {
  int n = 0;
  for (const std::string& t : logTexts()) n += t.find(fragment) != std::string::npos;
  return n;
}

// The bus. Connect returns null when failing; Disconnect returns its result
// (default 0).
inline void failConnect(bool fail) { world().fail_connect = fail; }
inline void setDisconnectResult(uint32_t code) { world().disconnect_result = code; }
// Steps taken by HandleMessage in order; when they run out HandleMessage
// returns MB_CONNECTION_CLOSED, so every scripted loop ends.
inline void scriptSteps(std::vector<Step> steps) { world().steps.assign(steps.begin(), steps.end()); }
// Called at the start of HandleMessage number `index` (0-based), before its
// step is taken; lets a test look at the world between passes.
inline void onHandleMessage(std::function<void(size_t index)> hook) { world().hook = std::move(hook); }
inline std::vector<uint32_t> requestResults() { return world().request_results; }  // of scripted requests
inline std::vector<int> handleMessageTimeouts() { return world().timeouts; }
// Results of the coming SendStatusReply calls in order; 0 once used up.
inline void scriptReplyResults(std::vector<uint32_t> c) { world().reply_results.assign(c.begin(), c.end()); }
inline std::vector<std::pair<uint32_t, std::string>> repliedStatuses() { return world().replies; }
inline bool disconnected() { return world().disconnected; }

}  // namespace platform_double
