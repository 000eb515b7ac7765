#include <gmock/gmock.h>

#include "env/TestEnv.h"
#include "intake/Spool.h"

using namespace ::testing;
using namespace std::string_literals;
namespace fs = std::filesystem;
namespace pd = platform_double;

namespace {

std::string temporary() { return incoming_file_name + xml_extension; }

// The received text names the file after its last ComponentID and ServiceID
// lines; a newer file replaces the older one; a name that would leave the
// spool, hide from the shell's "*" or be cut at a NUL is refused.
TEST(Spool, HandledFileIsNamedAfterItsLastComponentAndServiceLines) {
  const TestEnv env;
  // Received text, name kept as ("": refused).
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"", "_.xml"}, {"<Component ComponentID=\"M1/Pump\">\n<Service ServiceID=\"Status\">\n", "Pump_Status.xml"},
      {"ComponentID=\"M1/Line/Pump\"\nServiceID=\"Status\"", "Line_Pump_Status.xml"},
      {"<C ComponentID=\"Pump\">\nServiceID=\"S\"", "<C ComponentID=_S.xml"},
      {"ComponentID=\"M1/A\"\nServiceID=\"X\"\nComponentID=\"M1/B\"\nServiceID=\"Y\"", "B_Y.xml"},
      {"ServiceID=\"Old\"\nComponentID=\"M1/Pump\" ServiceID=\"Status\"", "Pump_Old.xml"},
      {"ComponentID=\"x/.P\"\nServiceID=\"S\"", ""}, {"ComponentID=\"x/P\"\nServiceID=\".S\"", ""},
      {"ComponentID=\"a/q/x/f\"\nServiceID=\"s\"", ""}, {"ComponentID=\"x/f.xml\0\"\nServiceID=\"s\""s, ""}};
  // clang-format on
  for (const auto& [text, name] : cases) {
    const std::string& kept = name.empty() ? temporary() : name;
    SCOPED_TRACE(text);
    pd::clearLog();
    fs::remove_all(env.dir);
    fs::create_directories(env.path("q_x"));
    if (!name.empty()) env.write(name, "older");
    env.write(temporary(), text);
    EXPECT_EQ(handleIncomingFile(), name.empty() ? 1 : 0);
    EXPECT_THAT(env.entries(), ElementsAre(kept, "q_x"));
    EXPECT_TRUE(fs::is_empty(env.path("q_x")) && env.read(kept) == text);
    EXPECT_EQ(pd::countLogged("Error while renaming incoming service file"), name.empty() ? 1 : 0);
  }
}

// At its limit the spool takes renewals and drops new names, reporting at
// once, then at most once a minute with the count.
TEST(Spool, AtItsLimitTheSpoolTakesRenewalsAndDropsNewNamesReportingOnceAMinute) {
  TestEnv env;
  for (uint32_t i = 1; i < MAX_SPOOL_FILES; ++i) env.write("C" + std::to_string(i) + "_S.xml", "old");
  env.write(registry_file_name + xml_extension, "");
  const auto receive = [&](const std::string& component) {
    env.write(temporary(), "ComponentID=\"M1/" + component + "\"\nServiceID=\"S\"");
    EXPECT_EQ(handleIncomingFile(), 0) << component;
    return env.exists(component + "_S.xml") && !env.exists(temporary());
  };
  EXPECT_TRUE(receive("Last") && receive("C1"));  // the limit reached, a renewal
  EXPECT_EQ(env.read("C1_S.xml"), "ComponentID=\"M1/C1\"\nServiceID=\"S\"");
  for (const auto& [seconds, reports] : {std::pair{0, 1}, {59, 0}, {1, 1}}) {
    pd::clearLog();
    env.advance(seconds);
    EXPECT_FALSE(receive("New") || env.exists(temporary()));
    EXPECT_EQ(pd::countLogged(seconds ? "dropped 2 " : "dropped 1 "), reports) << seconds;
  }
}

// The cleanup reads the clock itself: retried until it ran within the second
// the ages were set against. A file dated within 1200 s of the 32-bit end
// of time is past its age once the sum wraps, as on the device.
TEST(Spool, CleanupDeletesExactlyTheRegularFilesOlderThanMaxAgeAndListsTheOthers) {
  TestEnv env;
  MachineComponentServices incoming;
  std::ofstream(env.root + "/outside.xml") << "outside";
  fs::create_symlink(env.root + "/outside.xml", env.path("link.xml"));
  fs::create_directory(env.path("dir.xml"));
  for (int attempt = 0; attempt < 10; ++attempt) {
    const std::time_t now = std::time(nullptr);
    env.write("old.xml", "", 1201);
    env.write("young.xml", "", 1200);
    env.write("2038.xml", "", now - INT32_MAX + 100);
    env.write(temporary(), "", 5000), env.write(registry_file_name + xml_extension, "", 5000);
    EXPECT_EQ(cleanupServiceFiles(incoming), 0);
    if (std::time(nullptr) != now) continue;
    EXPECT_THAT(incoming.ServiceFileNames, ElementsAre("young.xml"));
    EXPECT_TRUE(pd::logged("File: old.xml is older then 1200. Delete.", 6));
    EXPECT_EQ(env.entries(),
              (std::set<std::string>{"young.xml", temporary(), registry_file_name + xml_extension, "link.xml",
                                     "dir.xml"}));
    return;
  }
  FAIL() << "the clock kept moving on";
}

// Whatever stands at the spool's path, the created phase ends with an empty
// private directory of the daemon there, and removes nothing through a link.
TEST(Spool, PreparationReplacesAnythingButAPrivateDirectoryOfItsOwn) {
  // Each made by one shell command; the first two are no replacement.
  std::istringstream cases(
      "true,rm -r spool,rm -r spool && ln -s victim spool,rm -r spool && echo x >spool,"
      "chmod 770 spool,chmod 1777 spool,chown 65534 spool 2>/dev/null || :");
  std::string make;
  for (int i = 0; std::getline(cases, make, ','); ++i) {
    const bool replaced = i >= 2 && (i < 6 || geteuid() == 0);
    SCOPED_TRACE(make);
    const TestEnv env;
    const std::string spool = env.root + "/spool";
    ASSERT_EQ(
        std::system(("cd " + env.root + " && mkdir victim && touch victim/k spool/w && " + make).c_str()), 0);
    EXPECT_EQ(prepareSpoolDirectory(), 0);
    struct stat status;
    ASSERT_EQ(lstat(spool.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 022) == 0);
    EXPECT_TRUE(fs::is_empty(spool) && fs::exists(env.root + "/victim/k"));
    EXPECT_EQ(pd::countLogged("Spool directory " + spool + " was no private directory"), replaced ? 1 : 0);
  }
}

}  // namespace
