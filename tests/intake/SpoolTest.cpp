#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <iterator>

#include "env/TestEnv.h"
#include "intake/Spool.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAreArray;
using namespace std::string_literals;
namespace fs = std::filesystem;
namespace pd = platform_double;

namespace {

// The receiver's temporary file (a function: the name is built before main).
std::string temporary() { return incoming_file_name + xml_extension; }

// The received text names the file; a newer file replaces the older one, and
// a name that would address anything but a spool entry, or hide from the
// shell's "*", is refused.
TEST(Spool, HandledFileIsNamedAfterItsLastComponentAndServiceLines) {
  const TestEnv env;
  const std::pair<std::string, const char*> cases[] = {
      // text, name kept as (null: refused)
      {"", "_.xml"},
      {"<Component ComponentID=\"M1/Pump\">\n<Service ServiceID=\"Status\">\n", "Pump_Status.xml"},
      {"ComponentID=\"M1/Line/Pump\"\nServiceID=\"Status\"", "Line_Pump_Status.xml"},
      {"<C ComponentID=\"Pump\">\nServiceID=\"S\"", "<C ComponentID=_S.xml"},
      {"ComponentID=\"M1/A\"\nServiceID=\"X\"\nComponentID=\"M1/B\"\nServiceID=\"Y\"", "B_Y.xml"},
      {"ServiceID=\"Old\"\nComponentID=\"M1/Pump\" ServiceID=\"Status\"", "Pump_Old.xml"},
      {"ComponentID=\"x/../evil\"\nServiceID=\"s\"", nullptr},   // .._evil_s.xml
      {"ComponentID=\"x/.Pump\"\nServiceID=\"S\"", nullptr},     // hidden from "*"
      {"ComponentID=\"x/Pump\"\nServiceID=\".S\"", nullptr},     // hidden from "*"
      {"ComponentID=\"a/q/x/f\"\nServiceID=\"s\"", nullptr},     // q_x/f_s.xml: into a subdirectory
      {"ComponentID=\"x/f.xml\0\"\nServiceID=\"s\""s, nullptr},  // the system would see "f.xml"
  };
  for (const auto& [text, kept_as] : cases) {
    SCOPED_TRACE(text);
    pd::clearLog();
    fs::remove_all(env.dir);
    fs::create_directories(env.path("q_x"));
    if (kept_as) env.write(kept_as, "older");
    env.write(temporary(), text);
    EXPECT_EQ(handleIncomingFile(), kept_as ? 0 : 1);
    EXPECT_THAT(env.entries(), ElementsAre(kept_as ? kept_as : temporary(), "q_x"));
    EXPECT_TRUE(fs::is_empty(env.path("q_x")));
    EXPECT_EQ(env.read(kept_as ? kept_as : temporary()), text);
    EXPECT_EQ(pd::countLogged("Error while renaming incoming service file"), kept_as ? 0 : 1);
  }
}

// The spool holds at most MAX_SPOOL_FILES component service files: up to the
// limit a new name is taken, at the limit only renewals are; drops are
// reported at once, then at most once a minute with their count.
TEST(Spool, AtItsLimitTheSpoolTakesRenewalsAndDropsNewNamesReportingOnceAMinute) {
  TestEnv env;
  for (uint32_t i = 1; i < MAX_SPOOL_FILES; ++i) env.write("C" + std::to_string(i) + "_S.xml", "old");
  env.write(registry_file_name + xml_extension, "");
  const auto receive = [&](const std::string& component) {
    env.write(temporary(), "ComponentID=\"M1/" + component + "\"\nServiceID=\"S\"");
    EXPECT_EQ(handleIncomingFile(), 0) << component;
    return env.exists(component + "_S.xml");
  };
  EXPECT_TRUE(receive("Last"));  // the limit reached
  EXPECT_TRUE(receive("C1"));    // a renewal
  EXPECT_EQ(env.read("C1_S.xml"), "ComponentID=\"M1/C1\"\nServiceID=\"S\"");
  const std::pair<long, const char*> drops[] = {{0, "dropped 1 "}, {59, nullptr}, {1, "dropped 2 "}};
  for (const auto& [seconds, report] : drops) {
    pd::clearLog();
    env.advance(seconds);
    EXPECT_FALSE(receive("New"));
    EXPECT_FALSE(env.exists(temporary()));
    ASSERT_EQ(pd::logTexts(3).size(), report ? 1u : 0u);
    if (report) {
      EXPECT_THAT(pd::logTexts(3)[0], HasSubstr(report));
    }
  }
  EXPECT_EQ(env.entries().size(), MAX_SPOOL_FILES + 1);
}

// The cleanup reads the clock itself: retried until it ran within the second
// the ages were set against.
TEST(Spool, CleanupDeletesExactlyTheRegularFilesOlderThanMaxAgeAndListsTheOthers) {
  TestEnv env;
  MachineComponentServices incoming;
  // Each deleted alone whatever its name; bystanders named after its words stay.
  const std::string deleted[] = {"old.xml", "my pump_s.xml", "it's_s.xml", "$(touch injected)_s.xml",
                                 "*",       "-rf x",         "new\nline"};
  const std::string listed[] = {"young.xml", "my", "pump_s.xml", "-rf", "x", "new"};
  // Neither listed nor deleted: the receiver's and the registry's files, and
  // entries that are no regular files (a link's target is never read).
  const std::string kept[] = {temporary(), registry_file_name + xml_extension, "dangling.xml", "link.xml",
                              "dir.xml"};
  std::ofstream(env.root + "/outside.xml") << "outside";
  fs::create_symlink("nowhere.xml", env.path("dangling.xml"));
  fs::create_symlink(env.root + "/outside.xml", env.path("link.xml"));
  fs::create_directory(env.path("dir.xml"));
  for (int attempt = 0; attempt < 10; ++attempt) {
    env.commands.clear();
    pd::clearLog();
    incoming.ServiceFileNames = {"stale.xml"};
    const std::time_t now = std::time(nullptr);
    for (const std::string& name : deleted) env.write(name, "", 1201);
    for (const std::string& name : listed) env.write(name, "", 1200);
    for (const std::string& name : {kept[0], kept[1]}) env.write(name, "", 5000);
    EXPECT_EQ(cleanupServiceFiles(incoming), 0);
    if (std::time(nullptr) != now) continue;

    EXPECT_THAT(incoming.ServiceFileNames, UnorderedElementsAreArray(listed));
    EXPECT_EQ(env.commands.size(), std::size(deleted));
    EXPECT_TRUE(pd::logged("File: old.xml is older then 1200. Delete.", 6));
    std::set<std::string> remaining(std::begin(listed), std::end(listed));
    remaining.insert(std::begin(kept), std::end(kept));
    EXPECT_EQ(env.entries(), remaining);
    EXPECT_EQ(env.read("link.xml"), "outside");
    return;
  }
  FAIL() << "the clock kept moving on";
}

// Whatever stands at the spool's path, the created phase ends with a private
// directory of the daemon there, and never removes anything through a link.
TEST(Spool, PreparationReplacesAnythingButAPrivateDirectoryOfItsOwn) {
  const struct {
    const char* name;
    std::function<void(const std::string& spool)> make;
    bool replaced;
  } cases[] = {
      {"private", [](const std::string&) {}, false},
      {"missing", [](const std::string& spool) { fs::remove_all(spool); }, false},
      {"link",
       [](const std::string& spool) { fs::remove_all(spool), fs::create_directory_symlink("victim", spool); },
       true},
      {"plain file", [](const std::string& spool) { fs::remove_all(spool), std::ofstream(spool) << "x"; },
       true},
      {"group-writable", [](const std::string& spool) { chmod(spool.c_str(), 0770); }, true},
      {"other-writable", [](const std::string& spool) { chmod(spool.c_str(), 01777); }, true},
      {"foreign owner", [](const std::string& spool) { EXPECT_EQ(chown(spool.c_str(), 65534, 65534), 0); },
       true},
  };
  for (const auto& c : cases) {
    if (geteuid() != 0 && std::string(c.name) == "foreign owner") continue;
    SCOPED_TRACE(c.name);
    const TestEnv env;
    fs::create_directory(env.root + "/victim");
    std::ofstream(env.root + "/victim/kept.xml") << "kept";
    env.write("wiped.xml", "");
    const std::string spool = env.dir.substr(0, env.dir.size() - 1);
    c.make(spool);
    EXPECT_EQ(prepareSpoolDirectory(), 0);
    struct stat status;
    ASSERT_EQ(lstat(spool.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_uid, geteuid());
    EXPECT_EQ(status.st_mode & 022, 0u);
    EXPECT_TRUE(fs::is_empty(spool));
    EXPECT_TRUE(fs::exists(env.root + "/victim/kept.xml"));
    EXPECT_EQ(pd::countLogged("Spool directory " + spool + " was no private directory"), c.replaced ? 1 : 0);
    EXPECT_EQ(pd::logTexts(3).size(), c.replaced ? 1u : 0u);
  }
}

}  // namespace
