#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "PlatformDouble.h"
#include "TempSpool.h"
#include "intake/Spool.h"
#include "model/Globals.h"
#include "system/Shell.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using namespace std::string_literals;

namespace {

// Records every command; with a working directory set it also runs them
// through the real shell there.
class RecordingShell : public ShellRunner {
 public:
  std::string capture(const std::string& command) override {
    commands.push_back(command);
    return "";
  }
  int execute(const std::string& command) override {
    commands.push_back(command);
    if (run_in.empty()) return 0;
    return PosixShellRunner().execute("cd " + shellWord(run_in) + " && " + command);
  }
  std::vector<std::string> commands;
  std::string run_in;
};

struct NamingCase {
  const char* what;
  std::string text;
  std::string name;
};

const NamingCase kNamingCases[] = {
    {"empty file", "", "_"},
    {"no ID lines", "<RegMachCompSvcReq>\n<ComponentList>\n", "_"},
    {"example", "<Component ComponentID=\"M1/Pump\">\n<Service ServiceID=\"Status\">\n", "Pump_Status"},
    {"two slashes, first one replaced",
     "<Component ComponentID=\"M1/Line/Pump\">\n<Service ServiceID=\"Status\">", "Line_Pump_Status"},
    {"ComponentID line without slash", "<Component ComponentID=\"Pump\">\n<Service ServiceID=\"S\">",
     "<Component ComponentID=_S"},
    {"last of several components and services",
     "<Component ComponentID=\"M1/A\">\n<Service ServiceID=\"X\">\n"
     "<Component ComponentID=\"M1/B\">\n<Service ServiceID=\"Y\">\n",
     "B_Y"},
    {"line with both names sets only the component",
     "<Service ServiceID=\"Old\">\n<Component ComponentID=\"M1/Pump\"><Service ServiceID=\"Status\">",
     "Pump_Old"},
    {"no closing quotes", "ComponentID=M1/Pump\nServiceID=\"Status", "Pump_Status"},
    {"ServiceID without quote takes the line", "ServiceID", "_ServiceID"},
    {"last line without line feed", "\n\nComponentID=\"a/b\"", "b_"},
    {"carriage returns stay", "ComponentID=\"a/b\r\nServiceID=\"s\r\n", "b\r_s\r"},
    {"dot-dot component", "ComponentID=\"a/..\"\nServiceID=\"s\"", ".._s"},
    {"slash in service stays after first replacement", "ComponentID=\"a/b\"\nServiceID=\"x/y\"", "b_x_y"},
    {"second slash stays", "ComponentID=\"a/../../etc\"\nServiceID=\"s\"", ".._../etc_s"},
};

TEST(SpoolNameFor, FollowsTheLineRules) {
  for (const NamingCase& c : kNamingCases) EXPECT_EQ(spoolNameFor(c.text), c.name) << c.what;
}

TEST(IsSafeSpoolName, RefusesNamesThatLeaveTheDirectory) {
  EXPECT_FALSE(isSafeSpoolName(""));
  EXPECT_FALSE(isSafeSpoolName("."));
  EXPECT_FALSE(isSafeSpoolName(".."));
  EXPECT_FALSE(isSafeSpoolName(".._../etc_s"));
  EXPECT_FALSE(isSafeSpoolName("/abs"));
  EXPECT_TRUE(isSafeSpoolName(".._s"));
  EXPECT_TRUE(isSafeSpoolName("..."));
  EXPECT_TRUE(isSafeSpoolName("my pump_$(rm -rf x) 'q\""));
}

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_double::resetAll();
    setShellRunner(&shell);
  }
  void TearDown() override { setShellRunner(nullptr); }

  int handle(const std::string& content) {
    spool.write(incoming_file_name + xml_extension, content);
    return handleIncomingFile();
  }

  TempSpool spool;
  RecordingShell shell;
  MachineComponentServices incoming;
};

TEST_F(SpoolTest, RenamesTheTemporaryFileAfterItsNames) {
  const std::string content = "<Component ComponentID=\"M1/Pump\">\n<Service ServiceID=\"Status\">\n";
  EXPECT_EQ(handle(content), 0);
  EXPECT_THAT(spool.entries(), ElementsAre("Pump_Status.xml"));
  EXPECT_EQ(spool.read("Pump_Status.xml"), content);
  EXPECT_THAT(platform_double::logTexts(), IsEmpty());
}

TEST_F(SpoolTest, EmptyFileBecomesUnderscore) {
  EXPECT_EQ(handle(""), 0);
  EXPECT_THAT(spool.entries(), ElementsAre("_.xml"));
}

TEST_F(SpoolTest, NewerFileOfTheSameComponentServiceReplacesTheOlder) {
  spool.write("Other_Status.xml", "other");
  EXPECT_EQ(handle("ComponentID=\"M1/Pump\"\nServiceID=\"Status\"\nfirst"), 0);
  EXPECT_EQ(handle("ComponentID=\"M2/Pump\"\nServiceID=\"Status\"\nsecond"), 0);
  EXPECT_THAT(spool.entries(), ElementsAre("Other_Status.xml", "Pump_Status.xml"));
  EXPECT_EQ(spool.read("Pump_Status.xml"), "ComponentID=\"M2/Pump\"\nServiceID=\"Status\"\nsecond");
}

TEST_F(SpoolTest, MissingTemporaryFileFailsTheRename) {
  EXPECT_EQ(handleIncomingFile(), 1);
  EXPECT_TRUE(platform_double::logged("Error while renaming incoming service file", 3));
  EXPECT_THAT(spool.entries(), IsEmpty());
}

TEST_F(SpoolTest, HostileNamesAreRefusedOrKeptInsideTheSpool) {
  struct Case {
    std::string text;
    const char* kept_as;  // null: refused
  };
  const Case cases[] = {
      {"ComponentID=\"x/../evil\"\nServiceID=\"s\"", ".._evil_s.xml"},
      {"ComponentID=\"x/..\"\nServiceID=\"\"", ".._.xml"},
      {"ComponentID=\"x/My Pump\"\nServiceID=\"a 'b' $(touch injected)\"",
       "My Pump_a 'b' $(touch injected).xml"},
      {"ComponentID=\"x/../../evil\"\nServiceID=\"s\"", nullptr},
      {"ServiceID=\"/../../evil\"", nullptr},
      {"ComponentID=\"a/q/x/f\"\nServiceID=\"s\"", nullptr},  // would be q_x/f_s.xml
      {"ComponentID=\"x/..\0\"\nServiceID=\"s\""s, nullptr},
      {"ComponentID=\"x/" + std::string(300, 'n') + "\"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    platform_double::clearLog();
    std::filesystem::remove_all(spool.dir());
    std::filesystem::create_directory(spool.dir());
    std::filesystem::create_directory(spool.path("q_x"));

    const int result = handle(c.text);
    EXPECT_THAT(TempSpool::entries(spool.root()), ElementsAre("spool"));
    EXPECT_THAT(TempSpool::entries(spool.path("q_x")), IsEmpty());
    if (c.kept_as) {
      EXPECT_EQ(result, 0);
      EXPECT_THAT(spool.entries(), UnorderedElementsAre(c.kept_as, "q_x"));
    } else {
      EXPECT_EQ(result, 1);
      EXPECT_THAT(platform_double::logTexts(3), ElementsAre("Error while renaming incoming service file"));
      EXPECT_THAT(spool.entries(), UnorderedElementsAre(incoming_file_name + xml_extension, "q_x"));
    }
  }
}

TEST_F(SpoolTest, FileExactlyMaxAgeOldStaysOneSecondOlderGoes) {
  // The cleanup reads the clock itself; retried until it ran within the
  // second the ages were set against.
  for (int attempt = 0; attempt < 10; ++attempt) {
    shell.commands.clear();
    platform_double::clearLog();
    spool.write("young.xml", "");
    spool.write("old.xml", "");
    const std::time_t now = std::time(nullptr);
    spool.age("young.xml", now, 1200);
    spool.age("old.xml", now, 1201);
    EXPECT_EQ(cleanupServiceFiles(incoming), 0);
    if (std::time(nullptr) != now) continue;

    EXPECT_THAT(incoming.ServiceFileNames, ElementsAre("young.xml"));
    EXPECT_THAT(shell.commands, ElementsAre("exec rm " + spool.path("old.xml")));
    EXPECT_THAT(platform_double::logTexts(6), ElementsAre("File: old.xml is older then 1200. Delete."));
    return;
  }
  FAIL() << "the clock kept moving on";
}

TEST_F(SpoolTest, TemporaryAndRegistryFilesAreNeitherListedNorDeleted) {
  const std::time_t now = std::time(nullptr);
  for (const std::string& name : {incoming_file_name + xml_extension, registry_file_name + xml_extension}) {
    spool.write(name, "");
    spool.age(name, now, 100000);
  }
  spool.write("registermachineservices.xml", "");  // the comparison is exact
  incoming.ServiceFileNames = {"stale"};
  EXPECT_EQ(cleanupServiceFiles(incoming), 0);
  EXPECT_THAT(incoming.ServiceFileNames, ElementsAre("registermachineservices.xml"));
  EXPECT_THAT(shell.commands, IsEmpty());
}

TEST_F(SpoolTest, AnyOtherEntryIsListedWhileYoungAndDeletedWhenOld) {
  const std::time_t now = std::time(nullptr);
  spool.write("noext", "");
  std::filesystem::create_directory(spool.path("youngdir"));
  std::filesystem::create_directory(spool.path("olddir"));
  spool.age("olddir", now, 5000);
  spool.write("target.xml", "");
  std::filesystem::create_symlink("target.xml", spool.path("link.xml"));
  std::filesystem::create_symlink("nowhere.xml", spool.path("dangling.xml"));

  EXPECT_EQ(cleanupServiceFiles(incoming), 0);
  EXPECT_THAT(incoming.ServiceFileNames, UnorderedElementsAre("noext", "youngdir", "target.xml", "link.xml"));
  EXPECT_THAT(shell.commands, ElementsAre("exec rm " + spool.path("olddir")));
}

TEST_F(SpoolTest, ListsInDirectoryOrder) {
  for (const char* name : {"c.xml", "a.xml", "b.xml"}) spool.write(name, "");
  EXPECT_EQ(cleanupServiceFiles(incoming), 0);
  std::vector<std::string> listed(incoming.ServiceFileNames.begin(), incoming.ServiceFileNames.end());
  std::vector<std::string> expected;
  for (const auto& entry : std::filesystem::directory_iterator(spool.dir()))  // readdir order
    expected.push_back(entry.path().filename().string());
  EXPECT_EQ(listed, expected);
}

TEST_F(SpoolTest, MissingDirectoryEmptiesTheListAndReportsOnStandardError) {
  setSpoolDirectoryForTesting(spool.root() + "/missing");
  incoming.ServiceFileNames = {"stale.xml"};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(cleanupServiceFiles(incoming), 0);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), ::testing::HasSubstr("No such file or directory"));
  EXPECT_THAT(incoming.ServiceFileNames, IsEmpty());
  EXPECT_THAT(shell.commands, IsEmpty());
}

TEST_F(SpoolTest, DeletionRemovesExactlyTheAgedFileWhateverItsName) {
  shell.run_in = spool.root();
  const std::vector<std::string> hostile = {
      "my pump_s.xml",
      "q'uote\"_s.xml",
      "$(touch injected)_s.xml",
      "`touch injected`_s.xml",
      "x;touch injected_s",
      "*",
      "-rf _s.xml",
      "new\nline_s.xml",
  };
  const std::time_t now = std::time(nullptr);
  for (const std::string& name : hostile) {
    spool.write(name, "");
    spool.age(name, now, 5000);
  }
  for (const char* bystander : {"my", "pump_s.xml", "x", "q", "-rf", "new"}) spool.write(bystander, "");

  EXPECT_EQ(cleanupServiceFiles(incoming), 0);
  EXPECT_EQ(shell.commands.size(), hostile.size());
  EXPECT_THAT(spool.entries(), ElementsAre("-rf", "my", "new", "pump_s.xml", "q", "x"));
  EXPECT_THAT(TempSpool::entries(spool.root()), ElementsAre("spool"));
}

}  // namespace
