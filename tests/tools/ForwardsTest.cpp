// The join of the published endpoints and the IOT chain's rules.
#include <gtest/gtest.h>

#include "Forwards.h"

namespace {

const char* const kChainHead = "# Warning: iptables-legacy tables present\n-N IOT\n";

// Each row as "state port component destination".
std::string summary(const std::vector<forwards::Forward>& rows) {
  std::string out;
  for (const auto& row : rows)
    out += std::string(forwards::stateName(row.state)) + " " + std::to_string(row.external_port) + " " +
           (row.component.empty() ? "-" : row.component) + " " +
           (row.destination.empty() ? "-" : row.destination) + "\n";
  return out;
}

std::string rule(int port, const char* destination) {
  return "-A IOT -i Untrusted -p tcp -m tcp --dport " + std::to_string(port) + " -j DNAT --to-destination " +
         destination + "\n";
}

TEST(Forwards, JoinsEndpointsAndRulesByExternalPort) {
  const xml::PublishedEndpoint tarn{"P/Tarn", "check", "gwiotsvc:TCP:1:192.168.2.1:49152/chk/"};
  const xml::PublishedEndpoint drive{"P/Drive", "opcua", "opcua:TCP:1:10.0.0.1:50000"};
  const xml::PublishedEndpoint twin{"P/Twin", "opcua", "opcua:TCP:1:10.0.0.1:50000[x]"};
  struct Case {
    const char* name;
    std::vector<xml::PublishedEndpoint> endpoints;
    std::string chain;
    const char* expected;
  } const cases[] = {
      // clang-format off
      {"both agree", {tarn, drive}, rule(50000, "d:1") + rule(49152, "t:2"),
       "ok 49152 P/Tarn t:2\nok 50000 P/Drive d:1\n"},
      {"no rules", {tarn, drive}, "", "no-rule 49152 P/Tarn -\nno-rule 50000 P/Drive -\n"},
      {"no request", {}, rule(50000, "d:1"), "no-endpoint 50000 - d:1\n"},
      {"a rule for an unknown port", {drive}, rule(50001, "x:1") + rule(50000, "d:1"),
       "ok 50000 P/Drive d:1\nno-endpoint 50001 - x:1\n"},
      {"duplicate ports", {drive, twin}, rule(50000, "d:1") + rule(50000, "d:2"),
       "ok 50000 P/Drive d:1\nduplicate 50000 P/Twin -\nduplicate 50000 - d:2\n"},
      // clang-format on
  };
  for (const Case& c : cases)
    EXPECT_EQ(summary(forwards::join(c.endpoints, forwards::parseIotRules(kChainHead + c.chain))), c.expected)
        << c.name;
}

// Line breaks in an id cannot forge rows of the table.
TEST(Forwards, TableKeepsEveryRowOnOneLine) {
  forwards::Forward row;
  row.component = "P/a\nP/forged ok\r\x01\\";
  const std::string table = forwards::formatTable({row});
  EXPECT_EQ(table.substr(table.find('\n') + 1, 25), "P/a\\nP/forged ok\\r\\x01\\\\ ");
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 2);
}

}  // namespace
