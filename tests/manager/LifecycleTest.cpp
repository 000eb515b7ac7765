// The lifecycle loop, its requests and the process entry, with phase handlers
// that only record that they ran (a start brings up the real receiver, on the
// test's spool).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "MachineGatewayManager.h"
#include "ProcessEntry.h"
#include "env/TestEnv.h"

namespace pd = platform_double;

namespace {

// Phases as letters: c(reated), r(unning), s(topped), e(xiting).
class RecordingManager : public MachineGatewayManager {
 public:
  std::string phases;
  bool iot = true;                      // what the created phase decides
  uint32_t fail = 0;                    // what the created, running and stop phases return
  bool slow = false, in_cycle = false;  // a cycle waits for a command long enough to answer the bus
  uint32_t doCreated(MachineComponentServices&) override { return tarn_is_iot = iot, phases += 'c', fail; }
  uint32_t doRunning(MachineComponentServices&, MachineComponentServices&) override {
    phases += 'r';
    if (slow) in_cycle = true, WhileCommandsRun::act(), in_cycle = false;
    return fail;
  }
  uint32_t doStoppedStandby(MachineComponentServices&, MachineComponentServices&) override {
    return phases += 's', fail;
  }
  uint32_t doExiting() override { return phases += 'e', 0; }
};

// One script word: one HandleMessage. "." delivers nothing, "lost" reports
// the bus gone, a 0x code is returned as is; otherwise the requests named,
// joined by "+" when one message delivers two ("stopN" asks for status N,
// "status" comes from tarn.req).
pd::Step step(const std::string& word) {
  const size_t plus = word.find('+');
  if (plus != std::string::npos) {
    const pd::Request first = step(word.substr(0, plus)).request, then = step(word.substr(plus + 1)).request;
    return pd::request([=](auto& c) { return first(c), then(c); });
  }
  if (word.rfind("0x", 0) == 0) return pd::result(std::stoul(word, nullptr, 16));
  if (word.rfind("stop", 0) == 0) return pd::stop(std::stoul(word.substr(4)));
  const std::map<std::string, pd::Step> named = {{".", pd::result(MB_NO_MESSAGE)},
                                                 {"lost", pd::result(MB_CONNECTION_CLOSED)},
                                                 {"start", pd::start()},
                                                 {"restart", pd::restart()},
                                                 {"reset", pd::reset()},
                                                 {"exit", pd::exit()},
                                                 {"status", pd::status("tarn.req", "/tarn/req")}};
  return named.at(word);
}

// Runs the lifecycle over `script`, whose words are steps or settings: "idle"
// (the created phase chooses idle mode), "slow" (each cycle waits for a
// command; a message handled meanwhile is a "*" among the phases), "fail:C"
// (the phases return C),
// "reply:C" (the result of the next status reply, in turn). Returns
// "results|replies|phases" and each error logged after a "|"; results are 0
// or S, T, R, I for the refusals of start, stop, restart and a stop status;
// replies go to the supervisor, those in parentheses to the requester.
std::string run(const std::string& script) {
  TestEnv env;
  RecordingManager manager;
  std::vector<pd::Step> steps;
  std::vector<uint32_t> replies;
  std::istringstream words(script);
  for (std::string w; words >> w;) {
    const std::string value = w.substr(w.find(':') + 1);
    if (w == "idle" || w == "slow") {
      (w == "idle" ? manager.iot : manager.slow) = w == "slow";
    } else if (w.rfind("fail:", 0) == 0) {
      manager.fail = std::stoul(value, nullptr, 16);
    } else if (w.rfind("reply:", 0) == 0) {
      replies.push_back(std::stoul(value, nullptr, 16));
    } else {
      steps.push_back(step(w));
    }
  }
  pd::scriptSteps(steps);
  pd::scriptReplyResults(replies);
  // A wait that ends without a message takes its whole time-out.
  pd::onHandleMessage([&](size_t i) {
    if (manager.in_cycle) manager.phases += '*';
    if (i < steps.size() && !steps[i].request && steps[i].result == MB_NO_MESSAGE)
      env.advance(pd::handleMessageTimeouts().back() / 1000);
  });
  EXPECT_EQ(manager.connect(), 0u);
  manager.run();
  // The codes as the supervisor receives them.
  const uint32_t codes[] = {0, 0x26000101, 0x26000100, 0x26000104, 0x26000002};
  std::string trace;
  for (uint32_t r : pd::requestResults()) trace += "0STRI?"[std::find(codes, codes + 5, r) - codes];
  trace += "|";
  for (const auto& [s, to] : pd::repliedStatuses()) {
    const std::string status(1, char('0' + s));
    trace += to == "tarn.main /tarn/main" ? status : to == "tarn.req /tarn/req" ? "(" + status + ")" : "?";
  }
  trace += "|" + manager.phases;
  for (const std::string& error : pd::logTexts(3)) trace += "|" + error;
  return trace;
}

TEST(Lifecycle, RequestsInEachStatusAndWholeRuns) {
  const std::pair<const char*, const char*> rows[] = {
      // A request in Created, Ready, Starting, Running, a stop status, Exiting.
      {". start .", "0|01237|cre"},
      {". start start .", "0S|01237|cre"},
      {"start .", "S|017|ce"},
      {". start stop5 .", "00|0123517|cse"},
      {". start+stop6 .", "0|012617|cse"},
      {". stop4 .", "0|017|ce"},
      {"stop4 .", "T|017|ce"},
      {". start stop4+stop5 .", "0T|0123417|cse"},
      {". start exit+stop4 .", "0T|0123477|ce"},
      {". start stop3 stop7 .", "0II|01237|cre"},
      {". start restart .", "00|012341237|cre"},
      {". restart .", "R|017|ce"},
      {"restart .", "T|017|ce"},
      {". start reset .", "00|01234017|cce"},
      {". reset .", "0|01017|cce"},
      {". start exit .", "00|0123477|ce"},
      {". exit .", "0|0177|ce"},
      {". start status .", "00|0123(3)7|cre"},
      // Whole runs: the pass of a restart runs no cycle; idle mode runs
      // neither a running nor a stop phase.
      {". start . stop4 .", "00|0123417|crse"},
      // Requests answered while a cycle waits for a command; a changed
      // status's action follows the cycle at once.
      {"slow . start . stop4 .", "00|0123417|cr*se"},
      {"slow . start . exit", "00|0123477|cr*e"},
      {". start . restart .", "00|012341237|crre"},
      {"idle . start . stop4 .", "00|0123417|ce"},
      // A lost bus ends the loop, from HandleMessage, a reply or the running
      // phase; a phase failure is logged.
      {"fail:0x11000007 . start stop4 . start .",
       "000|012341237|csr|Failed to doCreated MGM (rc=0x11000007)!|Failed to doStoppedStandby MGM "
       "(rc=0x11000007)!|Failed to doRunning MGM (rc=0x11000007)!"},
      {"lost .", "|07|e"},
      {". start lost .", "0|01237|ce"},
      {"reply:0 reply:0x11000007 . .", "|017|c"},
      {"reply:0x11000003 reply:0x11000003 start", "|07|"},
      // A failed reply to a start leaves the daemon Ready.
      {"reply:0 reply:0 reply:0x11000009 . start .",
       "?|0127|ce|Could not send lifecycle status reply (error code 0x11000009)."},
      // Messages that cannot be handled are logged at most once a minute.
      {"0x11000008 0x1100000B . 0x11000001 status",
       "0|01(1)7|ce|Failed to hanlde incoming message (error code 0x11000008)."},
      {"0x11000008 0x1100000B . . . . . . . 0x11000008",
       "|017|ce|Failed to hanlde incoming message (error code 0x11000008).|Failed to hanlde incoming message "
       "(error "
       "code 0x11000008).|2 messages could not be handled since the last report."},
  };
  for (const auto& [script, trace] : rows) EXPECT_EQ(run(script), trace) << script;
}

// A wake handles every queued message, then runs at most one cycle, and that
// only a second after the last one ended: the pass waits for the rest of it.
// The loop waits 10000 when idle, not at all while an action is due.
TEST(Lifecycle, HandlesWhatIsQueuedThenRunsAtMostOneCycleASecond) {
  EXPECT_EQ(run(". start . status status . ."), "000|0123(3)(3)7|crre");
  EXPECT_EQ(pd::handleMessageTimeouts(), (std::vector<int>{0, 10000, 0, 10000, 0, 0, 1000, 10000}));
  // A flood: 100 requests are handled before the cycle, 100 while it runs.
  std::string flood = "slow . start";
  for (int i = 0; i < 250; ++i) flood += " status";
  const std::string trace = run(flood + " .");
  EXPECT_EQ(std::count(trace.begin(), trace.end(), '*'), 100);
}

// Only the statuses a pass ends in are logged, not those passed through.
TEST(Lifecycle, LogsTheStatusEachPassEndsIn) {
  run(". start . stop4 .");
  EXPECT_EQ(pd::logTexts(6),
            (std::vector<std::string>{
                "Lifecycle: Transition from state 0 to 1.", "Lifecycle: Transition from state 1 to 3.",
                "Lifecycle: Transition from state 3 to 1.", "Program MachineGatewayManager terminated"}));
  EXPECT_EQ(RecordingManager().run(), MGM_NOT_CONNECTED);
}

TEST(ProcessEntry, ExitCodeAndLogFollowTheBus) {
  // Bus, result of the last status reply, of the disconnect -> exit code,
  // disconnected, a text logged. HandleMessage reports the bus gone at once.
  const std::tuple<bool, uint32_t, uint32_t, int, bool, const char*> rows[] = {
      {false, 0, 0, 1, false, "Connection to message bus failed (error code 0x11000003)."},
      {true, MB_NOT_CONNECTED, 0, 0, false, "Stopping Module MachineGatewayManager (error code 0x11000003)."},
      {true, MB_CONNECTION_CLOSED, 0, 0, true,
       "Stopping Module MachineGatewayManager (error code 0x11000007)."},
      {true, 0, MB_NOT_CONNECTED, 0, true, "Stopping Module MachineGatewayManager."},
      {true, 0, 0x11000005, 2, true, "Error while disconnecting from message bus (error code 0x11000005)."},
  };
  for (const auto& [bus, last_reply, disconnect, exit_code, disconnected, text] : rows) {
    TestEnv env;
    pd::failConnect(!bus);
    pd::scriptReplyResults({0, last_reply});
    pd::setDisconnectResult(disconnect);
    EXPECT_EQ(processEntry(), exit_code) << text;
    EXPECT_EQ(pd::disconnected(), disconnected) << text;
    EXPECT_TRUE(pd::logged(text)) << text;
    EXPECT_EQ(pd::countLogged("Program MachineGatewayManager terminated."), disconnected) << text;
  }
}

}  // namespace
