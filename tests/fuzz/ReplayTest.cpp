// Runs every stored seed and every input a fuzz run found through its
// target: none may break an invariant or crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "FuzzTargets.h"

namespace fs = std::filesystem;

class Replay : public ::testing::TestWithParam<const char*> {};

TEST_P(Replay, EveryStoredInputKeepsTheInvariants) {
  const FuzzFunction target = fuzzTarget(GetParam());
  ASSERT_NE(target, nullptr);
  int inputs = 0;
  for (const char* set : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(FUZZ_DIR) / set / GetParam();
    if (!fs::is_directory(dir)) continue;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::cerr << "replaying " << entry.path() << "\n";  // names the input when it aborts
      target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++inputs;
    }
  }
  EXPECT_GT(inputs, 0) << "no stored inputs for " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay,
                         ::testing::Values("endpoint_text", "spool_name", "reader", "datagram_cycle"));
