// The logging library writes each record as one whole line on standard
// error, also when two threads log at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <thread>

#include "Logging.h"

TEST(Logging, RecordsAreWholeLinesAlsoFromTwoThreads) {
  const std::string padding(600, 'x');  // past the formatter's short buffer
  Logging::SetName("LoggingTest");
  char path[] = "/tmp/mgm-log-XXXXXX";
  int file = mkstemp(path), saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  auto writer = [&](int thread) {  // line breaks inside become spaces, at the end go
    for (int i = 0; i < 400; ++i)
      MGM_LOG(thread == 1 ? 2 : 6, "%d record\n%d %s\n", thread, i, padding.c_str());
  };
  std::thread first(writer, 1), second(writer, 2);
  first.join(), second.join();
  dup2(saved, STDERR_FILENO), close(saved), close(file);
  // "2026-12-06 10:41:11.301 LoggingTest[42] INFO LoggingTest.cpp:29: 2 record 7 xxx..."
  const std::regex record(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} LoggingTest\[\d+\] (\w+) LoggingTest\.cpp:\d+: )"
      R"((([12]) record (\d+) x{600}))");
  std::ifstream in(path);
  std::string line;
  int next[3] = {0, 0, 0};
  for (std::smatch m; std::getline(in, line);) {
    ASSERT_TRUE(std::regex_match(line, m, record)) << line;
    const int thread = std::stoi(m.str(3));  // each thread's records in its order
    EXPECT_EQ(m.str(1) + " " + m.str(4), (thread == 1 ? "CRIT " : "INFO ") + std::to_string(next[thread]++));
  }
  EXPECT_EQ(next[1] + next[2], 800);
  unlink(path);
}
