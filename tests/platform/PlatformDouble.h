// Test double of the platform libraries: logging, message bus and the
// lifecycle interfaces, all in memory. Unit tests link it in place of the
// real libraries, script what HandleMessage delivers and read back the
// status replies and log records.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Interfaces.h"

namespace platform_double {

struct StatusReply {
  std::string target_connection;
  std::string target_path;
  uint32_t status;
};

// One HandleMessage call: a lifecycle request delivered to the registered
// callbacks (its result is recorded), or a plain result code.
using Request = std::function<uint32_t(Interfaces::Lifecycle::IRequestCallbacks&)>;
struct Step {
  Request request;      // empty: no request
  uint32_t result = 0;  // what HandleMessage returns
};
Step request(Request r);     // a request, HandleMessage returns 0
Step result(uint32_t code);  // no request, HandleMessage returns `code`
Step start();
Step stop(uint32_t target);
Step restart();
Step reset();
Step exit();
Step status(const char* connection, const char* path);

// Forgets every script, reply and record; the bus connects again.
void resetAll();

// Log records, in the order written (thread-safe).
void clearLog();
// Texts of the records at `level` (all levels when negative).
std::vector<std::string> logTexts(int level = -1);
// True when a record at `level` (any when negative) has exactly `text`.
bool logged(const std::string& text, int level = -1);
// Number of records whose text holds `fragment`.
int countLogged(const std::string& fragment);

// The bus.
void failConnect(bool fail);              // Connect returns null
void setDisconnectResult(uint32_t code);  // default 0
// Steps taken by HandleMessage in order; when they run out HandleMessage
// returns MB_CONNECTION_CLOSED, so every scripted loop ends.
void scriptSteps(std::vector<Step> steps);
// Called at the start of HandleMessage number `index` (0-based), before its
// step is taken; lets a test look at the world between passes.
void onHandleMessage(std::function<void(size_t index)> hook);
std::vector<uint32_t> requestResults();  // results of scripted requests
size_t handleMessageCalls();
std::vector<int> handleMessageTimeouts();
// Results of the coming SendStatusReply calls in order; 0 once used up.
void scriptReplyResults(std::vector<uint32_t> codes);
std::vector<StatusReply> statusReplies();
std::vector<uint32_t> repliedStatuses();
bool disconnected();

}  // namespace platform_double
