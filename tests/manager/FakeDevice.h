// A ShellRunner standing in for the gateway's tools: it records every
// command, answers the probes and curl with scripted outputs, and really
// runs only the spool removals (they touch the test's temporary spool).
#pragma once

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "system/Shell.h"

class FakeDevice : public ShellRunner {
 public:
  std::vector<std::string> commands;
  std::map<std::string, std::string> outputs;  // exact command -> output
  int vpn_check_status = 0;
  std::vector<std::string> curl_outputs;  // one per post; the last one repeats
  bool fail_popen = false;

  static std::string ifconfig(const std::string& zone) {
    return "/sbin/ifconfig " + zone + " | grep 'inet addr' | cut -d: -f2 | awk '{print $1}'";
  }

  FakeDevice() {
    outputs[ifconfig("Untrusted")] = "198.51.100.1\n";
    outputs[ifconfig("Trusted")] = "192.168.2.1\n";
    outputs["timeout -t 5 /usr/local/bin/GSMUtil iccid"] = "8949 0200 0012 3456 7890\n";
    outputs["timeout -t 5 /usr/local/bin/GSMUtil provider"] = "262011234567890 Telekom\n";
    curl_outputs = {"200\n"};
  }

  std::string capture(const std::string& command) override {
    commands.push_back(command);
    if (fail_popen) throw std::runtime_error("popen() failed!");
    if (command.rfind("curl ", 0) == 0) {
      std::string out = curl_outputs.front();
      if (curl_outputs.size() > 1) curl_outputs.erase(curl_outputs.begin());
      return out;
    }
    auto it = outputs.find(command);
    return it == outputs.end() ? "" : it->second;
  }

  int execute(const std::string& command) override {
    commands.push_back(command);
    if (command == "/usr/local/bin/tarn-vpn-manager -check") return vpn_check_status;
    if (command.rfind("exec rm ", 0) == 0) return std::system(command.c_str());
    return 0;
  }

  // Commands that begin with `prefix`, in order.
  std::vector<std::string> starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& c : commands)
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }
};
