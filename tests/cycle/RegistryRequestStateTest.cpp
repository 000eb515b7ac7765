#include <gtest/gtest.h>

#include "cycle/RegistryRequestState.h"
#include "env/TestEnv.h"

namespace {

// A refused post is due again exactly when its delay has passed, the first
// retry too, each delay said at level 3; an accepted post starts the delays
// afresh. A stop's withdrawal never waits.
TEST(RegistryRequestState, RefusedPostsBackOffDoublingUpToTenMinutesUntilAccepted) {
  TestEnv env;
  registryRequestWritten(true);
  for (int delay : {10, 20, 40, 80, 160, 320, 600, 600, 0, 10}) {
    ASSERT_TRUE(registryRequestSendDue(true)) << delay;
    registryRequestPosted(delay == 0);
    if (delay == 0) {
      EXPECT_FALSE(registryRequestSendDue(false));
      registryRequestWritten(true);
      continue;
    }
    const std::string said = "Registry did not accept the MachineComponentServices file; next attempt in ";
    EXPECT_TRUE(platform_double::logged(said + std::to_string(delay) + " s", 3));
    env.advance(delay - 1);
    EXPECT_FALSE(registryRequestSendDue(true)) << delay;
    EXPECT_TRUE(registryRequestSendDue(false)) << delay;
    env.advance(1);
  }
}

// A pending request whose rewrite fails (it was wiped from the spool) is
// written again, not dropped until the published model changes.
TEST(RegistryRequestState, ARequestThatCouldNotBeWrittenIsWrittenAgain) {
  TestEnv env;
  registryRequestWritten(true);
  registryRequestWritten(false);
  EXPECT_TRUE(new_registry_service_file);
  EXPECT_FALSE(registryRequestSendDue(false));
}

}  // namespace
