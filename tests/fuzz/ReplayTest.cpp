// Runs every stored seed and every input a fuzz run found through its
// target: none may break an invariant or crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "FuzzTargets.h"

class Replay : public ::testing::TestWithParam<const char*> {};

TEST_P(Replay, EveryStoredInputKeepsTheInvariants) {
  const FuzzFunction target = fuzzTarget(GetParam());
  ASSERT_NE(target, nullptr);
  int inputs = 0;
  for (const char* set : {"corpus", "regressions"}) {
    std::error_code missing;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             std::string(FUZZ_DIR "/") + set + "/" + GetParam(), missing)) {
      if (!entry.is_regular_file()) continue;
      std::ostringstream bytes;
      bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
      std::cerr << "replaying " << entry.path() << "\n";  // names the input when it aborts
      target(reinterpret_cast<const uint8_t*>(bytes.str().data()), bytes.str().size());
      ++inputs;
    }
  }
  EXPECT_GT(inputs, 0) << "no stored inputs for " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay,
                         ::testing::Values("endpoint_text", "spool_name", "reader", "datagram_cycle"));
