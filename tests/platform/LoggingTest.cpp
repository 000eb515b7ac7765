// The logging library writes each record as one whole line on standard
// error, also when two threads log at once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Logging.h"

namespace {

// Sends standard error to a temporary file while alive.
class CapturedStderr {
 public:
  CapturedStderr() {
    char pattern[] = "/tmp/mgm-log-XXXXXX";
    fd_ = mkstemp(pattern);
    path_ = pattern;
    saved_ = dup(STDERR_FILENO);
    dup2(fd_, STDERR_FILENO);
  }
  ~CapturedStderr() {
    Restore();
    close(fd_);
    unlink(path_.c_str());
  }
  void Restore() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
  std::string path_;
};

TEST(Logging, TwoThreadsWriteWholeLines) {
  constexpr int RECORDS = 400;
  const std::string padding(300, 'x');
  Logging::SetName("LoggingTest");
  CapturedStderr captured;
  auto writer = [&](int thread) {
    for (int i = 0; i < RECORDS; ++i)
      MGM_LOG(thread == 1 ? 3 : 6, "thread %d record %d %s", thread, i, padding.c_str());
  };
  std::thread first(writer, 1);
  std::thread second(writer, 2);
  first.join();
  second.join();
  captured.Restore();

  const std::regex record(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} LoggingTest\[\d+\] (ERROR|INFO) LoggingTest\.cpp:\d+: thread ([12]) record (\d+) x{300})");
  std::map<int, int> next{{1, 0}, {2, 0}};
  std::vector<std::string> lines = captured.Lines();
  ASSERT_EQ(lines.size(), 2u * RECORDS);
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, record)) << line;
    int thread = std::stoi(m[2]);
    EXPECT_EQ(m[1], thread == 1 ? "ERROR" : "INFO");
    // Each thread's records appear in the order it wrote them.
    EXPECT_EQ(std::stoi(m[3]), next[thread]++) << line;
  }
}

TEST(Logging, LineBreaksAndLongMessagesStayOneLine) {
  Logging::SetName("LoggingTest");
  const std::string longText(20000, 'y');
  CapturedStderr captured;
  MGM_LOG(6, "first\nsecond\n");
  MGM_LOG(2, "%s", longText.c_str());
  captured.Restore();
  std::vector<std::string> lines = captured.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" INFO LoggingTest.cpp:"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - 14), ": first second");
  EXPECT_NE(lines[1].find(" CRIT LoggingTest.cpp:"), std::string::npos);
  EXPECT_EQ(lines[1].substr(lines[1].size() - longText.size()), longText);
}

}  // namespace
