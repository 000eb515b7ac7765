#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "SystemTestSupport.h"
#include "system/Shell.h"

using system_test::RecordingShell;
using system_test::runInDirectory;
using system_test::TempDir;

namespace {

TEST(PosixShellRunner, ReturnsTheWholeStandardOutputUnchanged) {
  PosixShellRunner runner;
  struct Case {
    const char* command;
    std::string expected;
  } cases[] = {
      {"true", ""},
      {"printf '%0300d\\n' 0", std::string(300, '0') + "\n"},  // several 127-byte reads
      {"printf 'first\\nsecond\\n'", "first\nsecond\n"},
      {"printf 'no newline'", "no newline"},
      {"printf 'partial\\n'; exit 3", "partial\n"},
      {"echo hidden >&2; echo shown", "shown\n"},
      {"printf 'a b' | tr ' ' '_'", "a_b"},
  };
  for (const Case& c : cases) EXPECT_EQ(runner.capture(c.command), c.expected) << c.command;
}

TEST(PosixShellRunner, NulByteDropsTheRestOfThatRead) {
  PosixShellRunner runner;
  EXPECT_EQ(runner.capture("printf 'ab\\0cd\\n'"), "ab");
  EXPECT_EQ(runner.capture("printf 'ab\\0cd\\nef\\n'"), "abef\n");
}

TEST(PosixShellRunner, ExecuteReportsTheStatusLikeSystem) {
  PosixShellRunner runner;
  TempDir dir;
  const int status = runner.execute("touch " + dir.path() + "/made; exit 4");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_TRUE(dir.exists("made"));
}

TEST(ShellRunnerSeam, CommandsGoToTheInstalledRunnerUntilRestored) {
  RecordingShell recorder;
  recorder.outputs = {std::string("scripted")};
  setShellRunner(&recorder);
  EXPECT_EQ(runCommand("anything"), "scripted");
  EXPECT_EQ(runShell("other"), 0);
  recorder.outputs = {std::nullopt};
  EXPECT_THROW(runCommand("failing"), std::runtime_error);
  setShellRunner(nullptr);
  ASSERT_EQ(recorder.calls.size(), 3u);
  EXPECT_TRUE(recorder.calls[0].captured);
  EXPECT_FALSE(recorder.calls[1].captured);
  EXPECT_EQ(recorder.calls[1].command, "other");
  EXPECT_NE(&shellRunner(), &recorder);
  EXPECT_EQ(runCommand("printf real"), "real");
}

TEST(ShellWord, PlainValuesStandAsTheyAre) {
  for (const char* value : {"Untrusted", "TCP", "192.168.2.1:9080", "a-b_c.d/e@f+g,h=i%j", "-n"}) {
    EXPECT_EQ(shellWord(value), value);
  }
}

// Every value must come back from the real shell as exactly one word,
// unchanged, without running anything.
TEST(ShellWord, HostileValuesStayOneUnchangedWord) {
  TempDir dir;
  runInDirectory(dir.path(), "touch a b");  // something for globs to match
  const std::string hostile[] = {
      "",
      " ",
      "a b",
      "x; touch CANARY",
      "x && touch CANARY",
      "x || touch CANARY",
      "x | touch CANARY",
      "$(touch CANARY)",
      "`touch CANARY`",
      "x\ntouch CANARY",
      "x\n",
      "'; touch CANARY; '",
      "\"; touch CANARY; \"",
      "\\",
      "'",
      "''",
      "*",
      "[ab]",
      "?",
      "~",
      "~root",
      "$HOME",
      "${PATH}",
      "x > CANARY",
      "< /etc/passwd",
      "x & touch CANARY",
      "#comment",
      "{a,b}",
      "!",
      "\t",
      "a=b c",
  };
  for (const std::string& value : hostile) {
    const std::string output = runInDirectory(
        dir.path(), "set -- " + shellWord(value) + "; printf '%s:' \"$#\"; printf '[%s]' \"$@\"");
    EXPECT_EQ(output, "1:[" + value + "]") << "value: " << value;
    EXPECT_FALSE(dir.exists("CANARY")) << "value: " << value;
  }
}

}  // namespace
