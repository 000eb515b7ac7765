// The logging library writes each record as one whole line on standard
// error, also when two threads log at once.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Logging.h"

namespace {

TEST(Logging, RecordsAreWholeLinesAlsoFromTwoThreads) {
  constexpr int RECORDS = 400;
  const std::string padding(600, 'x');  // past the formatter's short buffer
  Logging::SetName("LoggingTest");
  char path[] = "/tmp/mgm-log-XXXXXX";
  int file = mkstemp(path);
  int saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  MGM_LOG(2, "first\nsecond\n");
  auto writer = [&](int thread) {
    for (int i = 0; i < RECORDS; ++i)
      MGM_LOG(thread == 1 ? 3 : 6, "thread %d record %d %s", thread, i, padding.c_str());
  };
  std::thread first(writer, 1), second(writer, 2);
  first.join();
  second.join();
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(file);

  std::ifstream in(path);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_NE(line.find(" LoggingTest["), std::string::npos) << line;
  EXPECT_NE(line.find("] CRIT LoggingTest.cpp:"), std::string::npos) << line;
  EXPECT_EQ(line.substr(line.size() - 14), ": first second") << line;
  int next[3] = {0, 0, 0}, lines = 0;
  for (; std::getline(in, line); ++lines) {
    // "2026-12-06 10:41:11.301 LoggingTest[42] INFO LoggingTest.cpp:29: thread 2 record 7 xxx..."
    char level[8] = {};
    int thread = 0, index = 0, consumed = 0;
    ASSERT_EQ(sscanf(line.c_str(),
                     "%*4d-%*2d-%*2d %*2d:%*2d:%*2d.%*3d LoggingTest[%*d] %7s LoggingTest.cpp:%*d: thread %d "
                     "record %d %n",
                     level, &thread, &index, &consumed),
              3)
        << line;
    ASSERT_TRUE(thread == 1 || thread == 2) << line;
    EXPECT_EQ(line.substr(static_cast<size_t>(consumed)), padding) << line;
    EXPECT_STREQ(level, thread == 1 ? "ERROR" : "INFO");
    EXPECT_EQ(index, next[thread]++) << line;  // each thread's records in its order
  }
  EXPECT_EQ(lines, 2 * RECORDS);
  unlink(path);
}

}  // namespace
