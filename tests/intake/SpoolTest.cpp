#include <gmock/gmock.h>

#include "env/TestEnv.h"
#include "intake/Spool.h"

using namespace ::testing;
using namespace std::string_literals;
namespace fs = std::filesystem;
namespace pd = platform_double;

namespace {

std::string temporary() { return incoming_file_name + xml_extension; }

// The received text, up to its first NUL, names the file after its last
// ComponentID and ServiceID lines; a newer file replaces the older one; a
// name that would leave the spool or hide in it is refused.
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
      {"ComponentID=\"a/q/x/f\"\nServiceID=\"s\"", ""}, {"ComponentID=\"x/P\"\nServiceID=\"S\"\0ComponentID=\"x/Q\""s, "P_S.xml"}};
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
  for (uint32_t i = 1; i < 128; ++i) env.write("C" + std::to_string(i) + "_S.xml", "old");
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

// A file ages on the device's wall clock; one dated in the future (the
// clock was set back) ages from when the cleanup first saw it, on the
// monotonic clock. Only regular files are listed or deleted.
TEST(Spool, CleanupDeletesExactlyTheRegularFilesOlderThanMaxAgeAndListsTheOthers) {
  TestEnv env;
  MachineComponentServices incoming;
  std::ofstream(env.root + "/outside.xml") << "outside";
  fs::create_symlink(env.root + "/outside.xml", env.path("link.xml"));
  fs::create_directory(env.path("dir.xml"));
  env.write("old.xml", "", 1201), env.write("young.xml", "", 1200),
      env.write("future.xml", "", -365L * 86400);
  env.write(temporary(), "", 5000), env.write(registry_file_name + xml_extension, "", 5000);
  // Seconds both clocks move on before a cleanup; the files it lists.
  const std::pair<long, std::set<std::string>> cleanups[] = {
      {0, {"young.xml", "future.xml"}}, {1, {"future.xml"}}, {1199, {"future.xml"}}, {1, {}}};
  for (const auto& [seconds, listed] : cleanups) {
    env.advance(seconds);
    EXPECT_EQ(cleanupServiceFiles(incoming), 0);
    EXPECT_EQ(std::set<std::string>(incoming.ServiceFileNames.begin(), incoming.ServiceFileNames.end()),
              listed);
  }
  EXPECT_TRUE(pd::logged("File: old.xml is older then 1200. Delete.", 6));
  EXPECT_EQ(env.entries(),
            (std::set<std::string>{temporary(), registry_file_name + xml_extension, "link.xml", "dir.xml"}));
}

// Under a parent that lets no one else swap the spool, the created phase
// ends with an empty private directory of the daemon there: anything else
// is moved aside under a name no one planted (in one step with making the
// new spool, so its owner cannot put it back) or removed, and nothing is
// removed through a link. Under any other parent nothing is
// touched and the spool is refused, said once however often it is asked.
TEST(Spool, PreparationReplacesAnythingButAPrivateDirectoryAndRefusesASwappableParent) {
  enum Outcome { KEPT, REPLACED, REFUSED };
  const std::string planted =
      "t=$(date +%s) && for s in 0 1 2 3; do mkdir -p spool.untrusted.$((t + s))/x; done && ";
  // Each made by one shell command in the spool's parent.
  // clang-format off
  const std::pair<std::string, Outcome> cases[] = {
      {"true", KEPT}, {"rm -r spool", KEPT}, {"chmod 1777 .", KEPT},
      {"rm -r spool && ln -s victim spool", REPLACED}, {"rm -r spool && echo x >spool", REPLACED},
      {planted + "chmod 770 spool", REPLACED}, {"chmod 1777 spool", REPLACED},
      {"chown 65534 spool", geteuid() == 0 ? REPLACED : KEPT}, {"chmod 777 .", REFUSED}, {"chmod 775 .", REFUSED},
      {"chown 65534 .", geteuid() == 0 ? REFUSED : KEPT}};
  // clang-format on
  for (const auto& [make, outcome] : cases) {
    SCOPED_TRACE(make);
    TestEnv env;
    pd::clearLog();
    const std::string spool = env.root + "/spool";
    ASSERT_EQ(
        std::system(("cd " + env.root + " && mkdir victim && touch victim/k spool/w && " + make).c_str()), 0);
    // The owner of a planted entry puts it back whenever the spool's name is free.
    struct stat planted {
    }, entry;
    lstat(spool.c_str(), &planted);
    env.before = [&](const std::string&, const std::string&) {
      for (const auto& aside : fs::directory_iterator(env.root))
        if (lstat(spool.c_str(), &entry) != 0 && lstat(aside.path().c_str(), &entry) == 0 &&
            entry.st_ino == planted.st_ino)
          fs::rename(aside.path(), spool);
    };
    EXPECT_EQ(prepareSpoolDirectory(), outcome == REFUSED ? 1 : 0);
    MachineComponentServices incoming;
    EXPECT_EQ(cleanupServiceFiles(incoming), outcome == REFUSED ? 1 : 0);
    struct stat status;
    ASSERT_EQ(lstat(spool.c_str(), &status), 0);
    EXPECT_TRUE(fs::exists(env.root + "/victim/k"));
    EXPECT_EQ(fs::is_empty(spool), outcome != REFUSED);
    EXPECT_EQ(pd::countLogged("refused: its parent " + env.root), outcome == REFUSED ? 1 : 0);
    EXPECT_EQ(pd::countLogged("Spool directory " + spool + " was no private directory"), outcome == REPLACED);
    if (outcome == REFUSED) continue;
    EXPECT_TRUE(S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 022) == 0);
  }
}

// Whatever a local user swaps the spool for between two operations, every
// operation stays in the spool it checked: here the spool and a link to
// another directory change places before each operation on an entry.
TEST(Spool, OperationsStayInTheCheckedSpoolWhileItIsSwappedForALink) {
  TestEnv env;
  const fs::path spool = env.root + "/spool", real = env.root + "/real", victim = env.root + "/victim";
  fs::create_directory(victim);
  for (const std::string& name : {std::string("aged.xml"), std::string("k"), temporary()})
    env.write(victim / name, "victim", 5000);
  // While racing, the link takes the spool's place before each operation on
  // an entry, and gives it back before the spool is opened.
  bool racing = false;
  const auto place = [&](bool link) {
    if (fs::is_symlink(spool) == link) return;
    if (link) return fs::rename(spool, real), fs::create_directory_symlink(victim, spool);
    fs::remove(spool), fs::rename(real, spool);
  };
  env.before = [&](const std::string& operation, const std::string& name) {
    if (racing && name != env.root && !(operation == "stat" && name.empty())) place(name != "spool");
  };
  const auto race = [&](bool on) { racing = on, place(false); };
  MachineComponentServices incoming;
  race(true);
  const int prepared = prepareSpoolDirectory();
  race(false);
  env.write("aged.xml", "", 5000), env.write(temporary(), "ComponentID=\"M1/Pump\"\nServiceID=\"S\"");
  race(true);
  const int handled = handleIncomingFile() + cleanupServiceFiles(incoming);
  race(false);
  EXPECT_EQ(prepared + handled, 0);
  EXPECT_EQ(env.entries(), std::set<std::string>{"Pump_S.xml"});
  race(true), emptySpoolDirectory(), race(false);
  EXPECT_TRUE(env.entries().empty());
  for (const auto& entry : fs::directory_iterator(victim)) EXPECT_EQ(env.read(entry.path()), "victim");
  EXPECT_EQ(std::distance(fs::directory_iterator(victim), {}), 3);
}

}  // namespace
