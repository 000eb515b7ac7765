// The logging library writes each record as one whole line on standard
// error, also when two threads log at once.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <regex>
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
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(\S+ \S+ LoggingTest\[\d+\] CRIT LoggingTest\.cpp:\d+: first second)")))
      << line;
  const std::regex record(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} LoggingTest\[\d+\] (ERROR|INFO) LoggingTest\.cpp:\d+: thread ([12]) record (\d+) x{600})");
  int next[3] = {0, 0, 0}, lines = 0;
  for (; std::getline(in, line); ++lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, record)) << line;
    int thread = std::stoi(m[2]);
    EXPECT_EQ(m[1], thread == 1 ? "ERROR" : "INFO");
    EXPECT_EQ(std::stoi(m[3]), next[thread]++) << line;  // each thread's records in its order
  }
  EXPECT_EQ(lines, 2 * RECORDS);
  unlink(path);
}

}  // namespace
