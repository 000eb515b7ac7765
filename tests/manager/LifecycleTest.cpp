#include <gtest/gtest.h>

#include <algorithm>

#include "RecordingManager.h"

namespace pd = platform_double;
using Steps = std::vector<pd::Step>;

namespace {

constexpr uint32_t kNoMessage = MB_NO_MESSAGE;

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pd::resetAll();
    tarn_is_iot = false;
  }
  void TearDown() override { tarn_is_iot = false; }

  // Connects `manager`, runs the scripted steps and returns run's result.
  uint32_t runScript(RecordingManager& manager, Steps steps) {
    pd::scriptSteps(std::move(steps));
    EXPECT_EQ(manager.connect(), 0u);
    return manager.run();
  }
};

// Where each status is reached by the steps before the request under test.
// Starting, the stop statuses and Exiting last only within one pass, so the
// request combines the step that reaches them with the request itself.
struct Transition {
  const char* name;
  Steps setup;                    // steps that lead to the status under test
  pd::Step request;               // the request, as one HandleMessage
  uint32_t result;                // the request's result code
  std::vector<uint32_t> replies;  // replies from the request to the end of its pass
  uint32_t status_after;          // status at the next HandleMessage
};

using LC = Interfaces::Lifecycle::AppStatus;
pd::Step startThen(std::function<uint32_t(Interfaces::Lifecycle::IRequestCallbacks&)> then) {
  return pd::request([then](auto& c) {
    c.RequestStart();
    return then(c);
  });
}

const Steps kReady = {pd::result(kNoMessage)};
const Steps kRunning = {pd::result(kNoMessage), pd::start()};

std::vector<Transition> transitions() {
  return {
      {"StartInReady", kReady, pd::start(), 0, {2, 3}, 3},
      {"StartInRunning", kRunning, pd::start(), LC_START_NOT_ALLOWED, {}, 3},
      {"StartInCreated", {}, pd::start(), LC_START_NOT_ALLOWED, {1}, 1},
      {"StopInRunning", kRunning, pd::stop(5), 0, {5, 1}, 1},
      {"StopInStarting", kReady, startThen([](auto& c) { return c.RequestStop(LC(6)); }), 0, {2, 6, 1}, 1},
      {"StopInReady", kReady, pd::stop(4), 0, {}, 1},
      {"StopInCreated", {}, pd::stop(4), LC_STOP_NOT_ALLOWED, {1}, 1},
      {"StopInStopStatus",
       kRunning,
       pd::request([](auto& c) {
         c.RequestStop(LC(4));
         return c.RequestStop(LC(5));
       }),
       LC_STOP_NOT_ALLOWED,
       {4, 1},
       1},
      {"StopInExiting",
       kRunning,
       pd::request([](auto& c) {
         c.RequestExit();
         return c.RequestStop(LC(4));
       }),
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

class TransitionTest : public LifecycleTest, public ::testing::WithParamInterface<Transition> {};

TEST_P(TransitionTest, RequestGivesResultRepliesAndStatus) {
  const Transition& t = GetParam();
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

  std::vector<uint32_t> all = pd::repliedStatuses();
  std::vector<uint32_t> replies(all.begin() + first, all.begin() + std::min(last, all.size()));
  EXPECT_EQ(pd::requestResults().back(), t.result);
  EXPECT_EQ(replies, t.replies);
  EXPECT_EQ(status_after, t.status_after);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, TransitionTest, ::testing::ValuesIn(transitions()),
                         [](const auto& info) { return std::string(info.param.name); });

// Only the statuses a pass ends in are logged, not those passed through.
TEST_F(LifecycleTest, TransitionsAreLoggedBetweenPassesOnly) {
  struct Case {
    Steps steps;
    std::vector<std::string> transitions;
    std::vector<std::string> phases;
  };
  const Case cases[] = {
      {{pd::result(kNoMessage), pd::start(), pd::result(kNoMessage)},
       {"0 to 1", "1 to 3"},
       {"created", "running", "exiting"}},
      {{pd::result(kNoMessage), pd::start(), pd::result(kNoMessage), pd::stop(5), pd::result(kNoMessage)},
       {"0 to 1", "1 to 3", "3 to 1"},
       {"created", "running", "stopped", "exiting"}},
      {{pd::result(kNoMessage), pd::start(), pd::result(kNoMessage), pd::restart(), pd::result(kNoMessage)},
       {"0 to 1", "1 to 3"},
       {"created", "running", "running", "exiting"}},  // restart's pass runs no cycle
  };
  for (const Case& c : cases) {
    pd::resetAll();
    RecordingManager manager;
    runScript(manager, c.steps);
    std::vector<std::string> expected;
    for (const std::string& t : c.transitions)
      expected.push_back("Lifecycle: Transition from state " + t + ".");
    expected.push_back("Program MachineGatewayManager terminated");
    EXPECT_EQ(pd::logTexts(6), expected);
    EXPECT_EQ(manager.phases, c.phases);
  }
}

TEST_F(LifecycleTest, InitialReplyFailureRunsNoPass) {
  RecordingManager manager;
  pd::scriptReplyResults({MB_NOT_CONNECTED, MB_NOT_CONNECTED});
  EXPECT_EQ(runScript(manager, {pd::start()}), MB_NOT_CONNECTED);
  EXPECT_EQ(pd::handleMessageCalls(), 0u);
  EXPECT_EQ(pd::repliedStatuses(), (std::vector<uint32_t>{0, 7}));
  EXPECT_TRUE(manager.phases.empty());
}

TEST_F(LifecycleTest, ConnectionClosedFromHandleMessageRunsExitPhaseOnce) {
  for (bool running : {false, true}) {
    pd::resetAll();
    RecordingManager manager;
    Steps steps = running ? kRunning : Steps{};
    steps.push_back(pd::result(MB_CONNECTION_CLOSED));
    steps.push_back(pd::result(kNoMessage));  // never reached
    EXPECT_EQ(runScript(manager, steps), 0u);
    EXPECT_EQ(manager.phases.back(), "exiting");
    EXPECT_EQ(std::count(manager.phases.begin(), manager.phases.end(), "exiting"), 1);
    EXPECT_EQ(std::count(manager.phases.begin(), manager.phases.end(), "running"), 0);
    EXPECT_EQ(pd::repliedStatuses().back(), 7u);
    EXPECT_EQ(pd::handleMessageCalls(), steps.size() - 1);
  }
}

TEST_F(LifecycleTest, ConnectionClosedFromReplyEndsLoop) {
  RecordingManager manager;
  pd::scriptReplyResults({0, MB_CONNECTION_CLOSED});  // the Ready reply after the created phase
  runScript(manager, {pd::result(kNoMessage), pd::result(kNoMessage)});
  EXPECT_EQ(pd::handleMessageCalls(), 1u);
  EXPECT_EQ(pd::repliedStatuses(), (std::vector<uint32_t>{0, 1, 7}));
}

TEST_F(LifecycleTest, ConnectionClosedFromPhaseEndsLoopOtherFailuresDoNot) {
  RecordingManager manager;
  manager.running_result = 0x12345678;
  manager.created_result = 0x1;
  manager.stopped_result = 0x2;
  runScript(manager, {pd::result(kNoMessage), pd::start(), pd::result(kNoMessage), pd::stop(4),
                      pd::result(kNoMessage)});
  EXPECT_TRUE(pd::logged("Failed to doCreated MGM (rc=0x00000001)!", 3));
  EXPECT_TRUE(pd::logged("Failed to doRunning MGM (rc=0x12345678)!", 3));
  EXPECT_TRUE(pd::logged("Failed to doStoppedStandby MGM (rc=0x00000002)!", 3));
  EXPECT_EQ(pd::repliedStatuses(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 1, 7}));

  pd::resetAll();
  RecordingManager closing;
  closing.running_result = MB_CONNECTION_CLOSED;
  runScript(closing, {pd::result(kNoMessage), pd::start(), pd::result(kNoMessage), pd::result(kNoMessage)});
  EXPECT_TRUE(pd::logged("Failed to doRunning MGM (rc=0x11000007)!", 3));
  EXPECT_EQ(pd::handleMessageCalls(), 3u);  // ended in the first running pass
  EXPECT_EQ(closing.phases, (std::vector<std::string>{"created", "running"}));
}

TEST_F(LifecycleTest, IdleModeRunsNeitherRunningNorStopPhase) {
  RecordingManager manager;
  manager.iot = false;
  runScript(manager, {pd::result(kNoMessage), pd::start(), pd::result(kNoMessage), pd::stop(4),
                      pd::result(kNoMessage)});
  EXPECT_EQ(manager.phases, (std::vector<std::string>{"created", "exiting"}));
  EXPECT_EQ(pd::repliedStatuses(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 1, 7}));
}

TEST_F(LifecycleTest, RefusedRequestsAreLoggedOthersAreNot) {
  RecordingManager manager;
  runScript(manager, {pd::result(MB_INVALID_ARGUMENTS), pd::result(MB_UNKNOWN_MEMBER), pd::result(kNoMessage),
                      pd::result(0x11000001)});
  EXPECT_TRUE(pd::logged("Failed to hanlde incoming message (error code 0x11000008).", 3));
  EXPECT_TRUE(pd::logged("Failed to hanlde incoming message (error code 0x1100000B).", 3));
  EXPECT_EQ(pd::countLogged("Failed to hanlde"), 2);
  for (int timeout : pd::handleMessageTimeouts()) EXPECT_EQ(timeout, 10000);
}

TEST_F(LifecycleTest, FailedStartReplyKeepsReadyAndIsLogged) {
  RecordingManager manager;
  pd::scriptReplyResults({0, 0, 0x11000009});
  runScript(manager, {pd::result(kNoMessage), pd::start(), pd::result(kNoMessage)});
  EXPECT_EQ(pd::requestResults(), (std::vector<uint32_t>{0x11000009}));
  EXPECT_TRUE(pd::logged("Could not send lifecycle status reply (error code 0x11000009).", 3));
  EXPECT_EQ(manager.phases, (std::vector<std::string>{"created", "exiting"}));
}

TEST_F(LifecycleTest, RunWithoutConnectionSendsNothing) {
  RecordingManager manager;
  EXPECT_EQ(manager.run(), MGM_NOT_CONNECTED);
  EXPECT_TRUE(pd::statusReplies().empty());
}

TEST_F(LifecycleTest, RepliesGoToSupervisorAndStatusToRequester) {
  RecordingManager manager;
  runScript(manager, {pd::status("tarn.req", "/tarn/req")});
  std::vector<pd::StatusReply> replies = pd::statusReplies();
  ASSERT_GE(replies.size(), 2u);
  EXPECT_EQ(replies[0].target_connection, "tarn.main");
  EXPECT_EQ(replies[0].target_path, "/tarn/main");
  EXPECT_EQ(replies[1].target_connection, "tarn.req");
  EXPECT_EQ(replies[1].status, 0u);
}

}  // namespace
