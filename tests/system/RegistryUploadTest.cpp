#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PlatformDouble.h"
#include "SystemTestSupport.h"
#include "model/Globals.h"
#include "system/RegistryUpload.h"

using platform_double::logged;
using platform_double::logTexts;
using system_test::RecordingShell;
using system_test::runInDirectory;
using system_test::TempDir;
using namespace std::chrono_literals;

namespace {

std::chrono::steady_clock::time_point fake_now;
std::chrono::steady_clock::time_point fakeClock() { return fake_now; }

class RegistryUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_double::resetAll();
    setShellRunner(&shell);
    setRegistryClockForTesting(&fakeClock);
    fake_now = std::chrono::steady_clock::time_point(1000s);
    registryRequestRewritten();
    registry_service_file_send_request = true;
    published.ComponentIDPrefix = "AB: CD";
  }
  void TearDown() override {
    setShellRunner(nullptr);
    setRegistryClockForTesting(nullptr);
    registryRequestRewritten();
    registry_service_file_send_request = false;
  }

  // One attempt answered with `output` (std::nullopt: curl cannot be started).
  void attempt(std::optional<std::string> output) {
    shell.outputs = {output};
    EXPECT_EQ(sendRegistryServiceFile(published), 0);
  }

  RecordingShell shell;
  MachineComponentServices published;
};

TEST_F(RegistryUploadTest, PostsTheRequestFileWithCurl) {
  attempt(std::string("200\n"));
  ASSERT_EQ(shell.calls.size(), 1u);
  EXPECT_TRUE(shell.calls[0].captured);
  EXPECT_EQ(
      shell.calls[0].command,
      "curl --cert /var/provisioning/cert/private/ID_Bundle_Certificate.pem"
      " --cacert /var/provisioning/cert/public/IoT-ID-Bundle-RootCA.crt"
      " --fail --silent --show-error --connect-timeout 10 --max-time 30"
      " -H \"Content-Type: application/xml\" -X POST -d @/var/volatile/tmp/iot/RegisterMachineServices.xml"
      " -o /dev/null -s -w \"%{http_code}\n\" https://" +
          registry_host + "/v2/machineservices/AB%3A%20CD");
  EXPECT_EQ(logTexts(6), (std::vector<std::string>{
                             "Sending MachineComponentServices file to registry.",
                             "Helper logging; L6 for CURL: AB%3A%20CD",
                             "doSend responded with: 200\n",
                         }));
  EXPECT_FALSE(registry_service_file_send_request);
}

TEST_F(RegistryUploadTest, RequestFileFollowsTheSpoolDirectory) {
  TempDir dir;
  setSpoolDirectoryForTesting(dir.path());
  attempt(std::string("200\n"));
  setSpoolDirectoryForTesting("");
  EXPECT_NE(shell.calls[0].command.find(" -d @" + dir.path() + "/RegisterMachineServices.xml -o "),
            std::string::npos);
}

// The shell hands curl the URL as one word whatever the prefix holds.
TEST_F(RegistryUploadTest, HostilePrefixStaysInsideTheUrl) {
  TempDir dir;
  for (const std::string prefix : {"x'; touch CANARY; '", "$(touch CANARY)", "a`touch CANARY`b",
                                   "a|b&c>CANARY", "a:b; c", "line\nfeed", "*", ""}) {
    shell.calls.clear();
    published.ComponentIDPrefix = prefix;
    attempt(std::string("200\n"));
    std::string command = shell.calls.at(0).command;
    ASSERT_EQ(command.compare(0, 5, "curl "), 0);
    command.replace(0, 5, "printf '[%s]' ");
    const std::string output = runInDirectory(dir.path(), command);
    std::string encoded;
    for (char c : prefix) encoded += c == ':' ? "%3A" : c == ' ' ? "%20" : std::string(1, c);
    const std::string url = "[https://" + registry_host + "/v2/machineservices/" + encoded + "]";
    ASSERT_GE(output.size(), url.size());
    EXPECT_EQ(output.substr(output.size() - url.size()), url) << prefix;
    EXPECT_NE(output.find("[%{http_code}\n]"), std::string::npos);
    EXPECT_FALSE(dir.exists("CANARY")) << prefix;
  }
}

TEST_F(RegistryUploadTest, OnlyATwoHundredStatusClearsTheRequest) {
  struct Case {
    std::string output;
    bool accepted;
  } cases[] = {
      {"200\n", true},   {"201\n", true},  {"299", true},    {"204\nextra", true},
      {"500\n", false},  {"000\n", false}, {"", false},      {"404\n", false},
      {"2000\n", false}, {"20\n", false},  {"2a0\n", false}, {" 200\n", false},
  };
  for (const Case& c : cases) {
    registryRequestRewritten();
    registry_service_file_send_request = true;
    platform_double::clearLog();
    attempt(c.output);
    EXPECT_EQ(registry_service_file_send_request, !c.accepted) << c.output;
    EXPECT_TRUE(logged("doSend responded with: " + c.output, 6)) << c.output;
    EXPECT_EQ(logTexts(3).size(), c.accepted ? 0u : 1u) << c.output;
  }
}

TEST_F(RegistryUploadTest, RetryIntervalDoublesUpToTenMinutes) {
  const std::chrono::seconds delays[] = {0s, 10s, 20s, 40s, 80s, 160s, 320s, 600s, 600s};
  for (std::chrono::seconds delay : delays) {
    ASSERT_TRUE(registryUploadDue());
    attempt(std::string("500\n"));
    EXPECT_TRUE(registry_service_file_send_request);
    if (delay > 0s) {
      EXPECT_FALSE(registryUploadDue()) << delay.count();
      fake_now += delay - 1s;
      EXPECT_FALSE(registryUploadDue()) << delay.count();
      fake_now += 1s;
    }
    EXPECT_TRUE(registryUploadDue()) << delay.count();
  }
  EXPECT_EQ(shell.calls.size(), std::size(delays));
}

TEST_F(RegistryUploadTest, RewriteOrSuccessResetsTheBackOff) {
  for (int i = 0; i < 4; ++i) {
    attempt(std::string("000\n"));
    fake_now += 1h;
  }
  attempt(std::string("000\n"));
  EXPECT_FALSE(registryUploadDue());
  registryRequestRewritten();
  EXPECT_TRUE(registryUploadDue());
  attempt(std::string("000\n"));  // counts as the first failure again
  EXPECT_TRUE(registryUploadDue());
  attempt(std::string("000\n"));
  EXPECT_FALSE(registryUploadDue());

  fake_now += 10s;
  attempt(std::string("200\n"));
  EXPECT_FALSE(registry_service_file_send_request);
  EXPECT_TRUE(registryUploadDue());
  registry_service_file_send_request = true;
  attempt(std::string("500\n"));
  EXPECT_TRUE(registryUploadDue());
}

TEST_F(RegistryUploadTest, UnstartableCurlKeepsTheRequestPending) {
  attempt(std::nullopt);
  EXPECT_TRUE(registry_service_file_send_request);
  EXPECT_EQ(logTexts(3).size(), 2u);
  EXPECT_EQ(platform_double::countLogged("popen() failed!"), 1);
  EXPECT_EQ(platform_double::countLogged("doSend responded with"), 0);
  EXPECT_TRUE(registryUploadDue());
  attempt(std::nullopt);
  EXPECT_FALSE(registryUploadDue());  // a failed start backs off like a failed post
}

}  // namespace
