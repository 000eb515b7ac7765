// The lifecycle loop and requests, with phase handlers that only record that
// they ran (the receiver a start brings up runs on the test's spool).
#include <gtest/gtest.h>

#include <algorithm>

#include "MachineGatewayManager.h"
#include "ProcessEntry.h"
#include "env/TestEnv.h"

namespace pd = platform_double;
using Steps = std::vector<pd::Step>;
using Strings = std::vector<std::string>;
using Codes = std::vector<uint32_t>;

namespace {

constexpr uint32_t kNoMessage = MB_NO_MESSAGE;
constexpr uint32_t kClosed = MB_CONNECTION_CLOSED;

class RecordingManager : public MachineGatewayManager {
 public:
  Strings phases;
  bool iot = true;  // what the created phase decides
  uint32_t created_result = 0, running_result = 0, stopped_result = 0;

  uint32_t doCreated(MachineComponentServices&) override {
    phases.push_back("created");
    tarn_is_iot = iot;
    return created_result;
  }
  uint32_t doRunning(MachineComponentServices&, MachineComponentServices&) override {
    phases.push_back("running");
    return running_result;
  }
  uint32_t doStoppedStandby(MachineComponentServices&, MachineComponentServices&) override {
    phases.push_back("stopped");
    return stopped_result;
  }
  uint32_t doExiting() override {
    phases.push_back("exiting");
    return 0;
  }
};

// Connects `manager`, runs the scripted steps and returns run's result.
uint32_t runScript(RecordingManager& manager, Steps steps) {
  pd::scriptSteps(std::move(steps));
  EXPECT_EQ(manager.connect(), 0u);
  return manager.run();
}

// Where each status is reached by the steps before the request under test.
// Starting, the stop statuses and Exiting last only within one pass, so the
// request combines the step that reaches them with the request itself.
struct Transition {
  const char* name;
  Steps setup;            // steps that lead to the status under test
  pd::Step request;       // the request, as one HandleMessage
  uint32_t result;        // the request's result code
  Codes replies;          // replies from the request to the end of its pass
  uint32_t status_after;  // status at the next HandleMessage
};
// Printed by name in test listings.
void PrintTo(const Transition& row, std::ostream* out) { *out << row.name; }

using LC = Interfaces::Lifecycle::AppStatus;
pd::Step both(pd::Request first, pd::Request second) {
  return pd::request([=](auto& c) { return first(c), second(c); });
}
pd::Step stopThen(uint32_t status, pd::Request then) {
  return both([=](auto& c) { return c.RequestStop(LC(status)); }, then);
}

const Steps kReady = {pd::result(kNoMessage)};
const Steps kRunning = {pd::result(kNoMessage), pd::start()};

std::vector<Transition> transitions() {
  return {
      {"StartInReady", kReady, pd::start(), 0, {2, 3}, 3},
      {"StartInRunning", kRunning, pd::start(), LC_START_NOT_ALLOWED, {}, 3},
      {"StartInCreated", {}, pd::start(), LC_START_NOT_ALLOWED, {1}, 1},
      {"StopInRunning", kRunning, pd::stop(5), 0, {5, 1}, 1},
      {"StopInStarting",
       kReady,
       both([](auto& c) { return c.RequestStart(); }, [](auto& c) { return c.RequestStop(LC(6)); }),
       0,
       {2, 6, 1},
       1},
      {"StopInReady", kReady, pd::stop(4), 0, {}, 1},
      {"StopInCreated", {}, pd::stop(4), LC_STOP_NOT_ALLOWED, {1}, 1},
      {"StopInStopStatus",
       kRunning,
       stopThen(4, [](auto& c) { return c.RequestStop(LC(5)); }),
       LC_STOP_NOT_ALLOWED,
       {4, 1},
       1},
      {"StopInExiting",
       kRunning,
       both([](auto& c) { return c.RequestExit(); }, [](auto& c) { return c.RequestStop(LC(4)); }),
       LC_STOP_NOT_ALLOWED,
       {4, 7, 7},
       7},
      {"StopTarget3", kRunning, pd::stop(3), LC_INVALID_STOP_STATUS, {}, 3},
      {"StopTarget7", kRunning, pd::stop(7), LC_INVALID_STOP_STATUS, {}, 3},
      {"RestartInRunning", kRunning, pd::restart(), 0, {4, 1, 2, 3}, 3},
      {"RestartInReady", kReady, pd::restart(), LC_RESTART_NOT_ALLOWED, {}, 1},
      {"RestartInCreated", {}, pd::restart(), LC_STOP_NOT_ALLOWED, {1}, 1},
      {"ResetInRunning", kRunning, pd::reset(), 0, {4, 0, 1}, 1},
      {"ResetInReady", kReady, pd::reset(), 0, {0, 1}, 1},
      {"ExitInRunning", kRunning, pd::exit(), 0, {4, 7, 7}, 7},
      {"ExitInReady", kReady, pd::exit(), 0, {7, 7}, 7},
      {"StatusInRunning", kRunning, pd::status("tarn.other", "/tarn/other"), 0, {3}, 3},
  };
}

class TransitionTest : public ::testing::TestWithParam<Transition> {};

TEST_P(TransitionTest, RequestGivesResultRepliesAndStatus) {
  const Transition& t = GetParam();
  TestEnv env;
  RecordingManager manager;
  Steps steps = t.setup;
  steps.push_back(t.request);
  steps.push_back(pd::result(kNoMessage));  // the pass after the request

  // Replies of the request's pass lie between its HandleMessage and the next
  // one; when the loop ends in that pass, they run to the end.
  size_t first = 0, last = SIZE_MAX;
  uint32_t status_after = 7;
  const size_t index = t.setup.size();
  pd::onHandleMessage([&](size_t i) {
    if (i == index) first = pd::statusReplies().size();
    if (i == index + 1) {
      last = pd::statusReplies().size();
      status_after = manager.currentStatus();
    }
  });
  runScript(manager, steps);

  Codes all = pd::repliedStatuses();
  EXPECT_EQ(pd::requestResults().back(), t.result);
  EXPECT_EQ(Codes(all.begin() + first, all.begin() + std::min(last, all.size())), t.replies);
  EXPECT_EQ(status_after, t.status_after);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, TransitionTest, ::testing::ValuesIn(transitions()),
                         [](const auto& info) { return std::string(info.param.name); });

// Whole runs of the loop: the phases run, the replies sent, what is logged.
// Only the statuses a pass ends in are logged, not those passed through.
struct Scenario {
  const char* name;
  Steps steps;
  Codes reply_results;  // of the first status replies
  RecordingManager* (*configure)(RecordingManager&);
  uint32_t run_result;
  Codes replies;
  Strings phases;
  Strings logged;  // each exactly once, with nothing else at level 3
  size_t passes;   // HandleMessage calls, the one that found the script's end included
  bool connect = true;
};
// Printed by name in test listings.
void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }

RecordingManager* plain(RecordingManager& m) { return &m; }

std::vector<Scenario> scenarios() {
  const Steps stopped = {pd::result(kNoMessage), pd::start(), pd::result(kNoMessage), pd::stop(4),
                         pd::result(kNoMessage)};
  return {
      {"StartedAndEnded",
       {pd::result(kNoMessage), pd::start(), pd::result(kNoMessage)},
       {},
       plain,
       0,
       {0, 1, 2, 3, 7},
       {"created", "running", "exiting"},
       {"Lifecycle: Transition from state 0 to 1.", "Lifecycle: Transition from state 1 to 3.",
        "Program MachineGatewayManager terminated"},
       4},
      {"Stopped",
       stopped,
       {},
       plain,
       0,
       {0, 1, 2, 3, 4, 1, 7},
       {"created", "running", "stopped", "exiting"},
       {"Lifecycle: Transition from state 0 to 1.", "Lifecycle: Transition from state 1 to 3.",
        "Lifecycle: Transition from state 3 to 1."},
       6},
      {"RestartPassRunsNoCycle",
       {pd::result(kNoMessage), pd::start(), pd::result(kNoMessage), pd::restart(), pd::result(kNoMessage)},
       {},
       plain,
       0,
       {0, 1, 2, 3, 4, 1, 2, 3, 7},
       {"created", "running", "running", "exiting"},
       {"Lifecycle: Transition from state 0 to 1.", "Lifecycle: Transition from state 1 to 3."},
       6},
      {"IdleRunsNeitherRunningNorStopPhase",
       stopped,
       {},
       [](RecordingManager& m) { return m.iot = false, &m; },
       0,
       {0, 1, 2, 3, 4, 1, 7},
       {"created", "exiting"},
       {},
       6},
      {"PhaseFailuresAreLogged",
       stopped,
       {},
       [](RecordingManager& m) {
         m.created_result = 1, m.running_result = 0x12345678, m.stopped_result = 2;
         return &m;
       },
       0,
       {0, 1, 2, 3, 4, 1, 7},
       {"created", "running", "stopped", "exiting"},
       {"Failed to doCreated MGM (rc=0x00000001)!", "Failed to doRunning MGM (rc=0x12345678)!",
        "Failed to doStoppedStandby MGM (rc=0x00000002)!"},
       6},
      {"ClosedFromPhaseEndsLoop",
       {pd::result(kNoMessage), pd::start(), pd::result(kNoMessage), kReady[0]},
       {},
       [](RecordingManager& m) { return m.running_result = kClosed, &m; },
       0,
       {0, 1, 2, 3, 7},
       {"created", "running"},
       {"Failed to doRunning MGM (rc=0x11000007)!"},
       3},
      {"ClosedInCreated", {pd::result(kClosed), kReady[0]}, {}, plain, 0, {0, 7}, {"exiting"}, {}, 1},
      {"ClosedInRunning",
       {pd::result(kNoMessage), pd::start(), pd::result(kClosed), kReady[0]},
       {},
       plain,
       0,
       {0, 1, 2, 3, 7},
       {"created", "exiting"},
       {},
       3},
      {"ClosedFromReply",
       {pd::result(kNoMessage), kReady[0]},
       {0, kClosed},
       plain,
       0,
       {0, 1, 7},
       {"created"},
       {},
       1},
      {"InitialReplyFails",
       {pd::start()},
       {MB_NOT_CONNECTED, MB_NOT_CONNECTED},
       plain,
       MB_NOT_CONNECTED,
       {0, 7},
       {},
       {},
       0},
      {"FailedStartReplyKeepsReady",
       {pd::result(kNoMessage), pd::start(), pd::result(kNoMessage)},
       {0, 0, 0x11000009},
       plain,
       0,
       {0, 1, 2, 7},
       {"created", "exiting"},
       {"Could not send lifecycle status reply (error code 0x11000009)."},
       4},
      {"RefusedRequestsAreLogged",
       {pd::result(MB_INVALID_ARGUMENTS), pd::result(MB_UNKNOWN_MEMBER), pd::result(kNoMessage),
        pd::result(0x11000001), pd::status("tarn.req", "/tarn/req")},
       {},
       plain,
       0,
       {0, 1, 1, 7},
       {"created", "exiting"},
       {"Failed to hanlde incoming message (error code 0x11000008).",
        "Failed to hanlde incoming message (error code 0x1100000B)."},
       6},
      {"Unconnected", {}, {}, plain, MGM_NOT_CONNECTED, {}, {}, {}, 0, false},
  };
}

class RunTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(RunTest, PhasesRepliesAndLog) {
  const Scenario& r = GetParam();
  TestEnv env;
  RecordingManager manager;
  pd::scriptSteps(r.steps);
  pd::scriptReplyResults(r.reply_results);
  if (r.connect) {
    ASSERT_EQ(r.configure(manager)->connect(), 0u);
  }
  EXPECT_EQ(manager.run(), r.run_result);
  EXPECT_EQ(pd::repliedStatuses(), r.replies);
  EXPECT_EQ(manager.phases, r.phases);
  const auto counted = [&](const char* prefix) {
    return std::count_if(r.logged.begin(), r.logged.end(), [&](auto& t) { return t.rfind(prefix, 0) == 0; });
  };
  for (const std::string& text : r.logged) EXPECT_EQ(pd::countLogged(text), 1) << text;
  if (counted("Lifecycle") > 0) {
    EXPECT_EQ(pd::countLogged("Lifecycle: Transition"), counted("Lifecycle"));
  }
  EXPECT_EQ(pd::logTexts(3).size(), r.logged.size() - counted("Lifecycle") - counted("Program"));
  EXPECT_EQ(pd::handleMessageCalls(), r.passes);
  for (int timeout : pd::handleMessageTimeouts()) EXPECT_EQ(timeout, 10000);
  // Every reply goes to the supervisor, but the status asked for by another.
  for (const pd::StatusReply& reply : pd::statusReplies())
    EXPECT_EQ(reply.target_connection + reply.target_path,
              reply.status == 1 && reply.target_connection != "tarn.main" ? "tarn.req/tarn/req"
                                                                          : "tarn.main/tarn/main");
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, RunTest, ::testing::ValuesIn(scenarios()),
                         [](const auto& info) { return std::string(info.param.name); });

struct Entry {
  const char* name;
  bool bus;
  uint32_t final_reply, disconnect;
  int exit_code;
  bool disconnected;
  Strings logged;
};
// Printed by name in test listings.
void PrintTo(const Entry& row, std::ostream* out) { *out << row.name; }

class ProcessEntryTest : public ::testing::TestWithParam<Entry> {};

// The first HandleMessage reports the bus gone, so no phase but the exit
// phase runs.
TEST_P(ProcessEntryTest, ExitCodeAndLogFollowTheBus) {
  const Entry& e = GetParam();
  TestEnv env;
  pd::failConnect(!e.bus);
  pd::scriptReplyResults({0, e.final_reply});
  pd::setDisconnectResult(e.disconnect);
  EXPECT_EQ(processEntry(), e.exit_code);
  EXPECT_EQ(pd::disconnected(), e.disconnected);
  for (const std::string& text : e.logged) EXPECT_TRUE(pd::logged(text)) << text;
  EXPECT_EQ(pd::countLogged("Program MachineGatewayManager terminated."), e.disconnected ? 1 : 0);
  EXPECT_EQ(pd::countLogged("Stopping Module"), e.bus ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Entry, ProcessEntryTest,
    ::testing::Values(Entry{"NoBus",
                            false,
                            0,
                            0,
                            1,
                            false,
                            {"Could not connect to message bus (error code 0x11000003).",
                             "Connection to message bus failed (error code 0x11000003)."}},
                      Entry{"BusGoneAtFinalReply",
                            true,
                            MB_NOT_CONNECTED,
                            0,
                            0,
                            false,
                            {"Stopping Module MachineGatewayManager (error code 0x11000003)."}},
                      Entry{"Normal", true, 0, 0, 0, true, {"Stopping Module MachineGatewayManager."}},
                      Entry{"RunFailedDisconnectOk",
                            true,
                            kClosed,
                            0,
                            0,
                            true,
                            {"Stopping Module MachineGatewayManager (error code 0x11000007).",
                             "Program MachineGatewayManager terminated."}},
                      Entry{"DisconnectNotConnected",
                            true,
                            0,
                            MB_NOT_CONNECTED,
                            0,
                            true,
                            {"Stopping Module MachineGatewayManager."}},
                      Entry{"DisconnectFails",
                            true,
                            0,
                            0x11000005,
                            2,
                            true,
                            {"Error while disconnecting from message bus (error code 0x11000005).",
                             "Program MachineGatewayManager terminated."}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
