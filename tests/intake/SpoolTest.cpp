#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "PlatformDouble.h"
#include "TempSpool.h"
#include "intake/Spool.h"
#include "system/Shell.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;
using namespace std::string_literals;

namespace {

// Installed while it lives: records every command and runs it through the
// real shell in the spool.
struct RecordingShell : ShellRunner {
  RecordingShell() { setShellRunner(this); }
  ~RecordingShell() override { setShellRunner(nullptr); }
  std::string capture(const std::string&) override { return ""; }
  int execute(const std::string& command) override {
    commands.push_back(command);
    return PosixShellRunner().execute("cd " + shellWord(spoolDirectory()) + " && " + command);
  }
  std::vector<std::string> commands;
};

// The received text names the file; a newer file replaces the older one, and
// a name that would address anything but a spool entry is refused.
TEST(Spool, HandledFileIsNamedAfterItsLastComponentAndServiceLines) {
  platform_double::resetAll();
  const TempSpool spool;
  const std::pair<std::string, const char*> cases[] = {
      // text, name kept as (null: refused)
      {"", "_.xml"},
      {"<Component ComponentID=\"M1/Pump\">\n<Service ServiceID=\"Status\">\n", "Pump_Status.xml"},
      {"ComponentID=\"M1/Line/Pump\"\nServiceID=\"Status\"", "Line_Pump_Status.xml"},
      {"<C ComponentID=\"Pump\">\nServiceID=\"S\"", "<C ComponentID=_S.xml"},
      {"ComponentID=\"M1/A\"\nServiceID=\"X\"\nComponentID=\"M1/B\"\nServiceID=\"Y\"", "B_Y.xml"},
      {"ServiceID=\"Old\"\nComponentID=\"M1/Pump\" ServiceID=\"Status\"", "Pump_Old.xml"},
      {"ComponentID=\"x/../evil\"\nServiceID=\"s\"", ".._evil_s.xml"},
      {"ComponentID=\"a/q/x/f\"\nServiceID=\"s\"", nullptr},     // q_x/f_s.xml: into a subdirectory
      {"ComponentID=\"x/f.xml\0\"\nServiceID=\"s\""s, nullptr},  // the system would see "f.xml"
  };
  for (const auto& [text, kept_as] : cases) {
    SCOPED_TRACE(text);
    platform_double::clearLog();
    std::filesystem::remove_all(spool.dir);
    std::filesystem::create_directories(spool.path("q_x"));
    if (kept_as) spool.write(kept_as, "older");
    spool.write(temporaryName(), text);
    EXPECT_EQ(handleIncomingFile(), kept_as ? 0 : 1);
    EXPECT_THAT(spool.entries(), ElementsAre(kept_as ? kept_as : temporaryName(), "q_x"));
    EXPECT_TRUE(std::filesystem::is_empty(spool.path("q_x")));
    EXPECT_EQ(spool.read(kept_as ? kept_as : temporaryName()), text);
    EXPECT_EQ(platform_double::countLogged("Error while renaming incoming service file"), kept_as ? 0 : 1);
  }
}

// The cleanup reads the clock itself: retried until it ran within the second
// the ages were set against.
TEST(Spool, CleanupDeletesExactlyTheFilesOlderThanMaxAgeAndListsTheOthers) {
  const TempSpool spool;
  RecordingShell shell;
  MachineComponentServices incoming;
  // Each deleted alone whatever its name; bystanders named after its words stay.
  const std::string deleted[] = {"old.xml", "my pump_s.xml", "it's_s.xml", "$(touch injected)_s.xml",
                                 "*",       "-rf x",         "new\nline"};
  const std::string listed[] = {"young.xml", "my", "pump_s.xml", "-rf", "x", "new"};
  // Neither listed nor deleted: the receiver's and the registry's files, and
  // an entry without a status.
  const std::string kept[] = {temporaryName(), registry_file_name + xml_extension, "dangling.xml"};
  std::filesystem::create_symlink("nowhere.xml", spool.path("dangling.xml"));
  for (int attempt = 0; attempt < 10; ++attempt) {
    shell.commands.clear();
    platform_double::clearLog();
    incoming.ServiceFileNames = {"stale.xml"};
    const std::time_t now = std::time(nullptr);
    for (const std::string& name : deleted) spool.write(name, "", now, 1201);
    for (const std::string& name : listed) spool.write(name, "", now, 1200);
    for (const std::string& name : {kept[0], kept[1]}) spool.write(name, "", now, 5000);
    EXPECT_EQ(cleanupServiceFiles(incoming), 0);
    if (std::time(nullptr) != now) continue;

    EXPECT_THAT(incoming.ServiceFileNames, UnorderedElementsAreArray(listed));
    EXPECT_EQ(shell.commands.size(), std::size(deleted));
    EXPECT_THAT(shell.commands, Contains("exec rm " + spool.path("old.xml")));
    EXPECT_THAT(platform_double::logTexts(6), Contains("File: old.xml is older then 1200. Delete."));
    std::set<std::string> remaining(std::begin(listed), std::end(listed));
    remaining.insert(std::begin(kept), std::end(kept));
    EXPECT_EQ(spool.entries(), remaining);
    return;
  }
  FAIL() << "the clock kept moving on";
}

}  // namespace
