#include "system/IdentityProbes.h"

#include <stdexcept>
#include <string>

#include "Logging.h"
#include "env/Globals.h"
#include "system/Shell.h"

const char* const MOCK_ICCID = "89314404000497388513";
const char* const MOCK_IMSI = "123456789101112";

namespace {

constexpr int ICCID_ATTEMPTS = 2;
constexpr int IMSI_ATTEMPTS = 3;

const char* const ICCID_COMMAND = "timeout -t 5 /usr/local/bin/GSMUtil iccid";
const char* const IMSI_COMMAND = "timeout -t 5 /usr/local/bin/GSMUtil provider";

// The command's output; a command that cannot be started counts as one that
// printed nothing, so the probe goes on (and ends in its fallback).
std::string probeOutput(const char* command) {
  try {
    return runCommand(command);
  } catch (const std::runtime_error& error) {
    MGM_LOG(3, "Could not start probe command \"%s\": %s", command, error.what());
    return std::string();
  }
}

std::string digitsOnly(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return digits;
}

std::string withoutNewlines(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c != '\n') result += c;
  }
  return result;
}

std::string zoneAddressCommand(const std::string& zone) {
  return "/sbin/ifconfig " + zone + " | grep 'inet addr' | cut -d: -f2 | awk '{print $1}'";
}

}  // namespace

int readIccID(MachineComponentServices& model) {
  if (model.IccID.empty()) {
    for (int attempt = 0; attempt < ICCID_ATTEMPTS && model.IccID.empty(); ++attempt) {
      model.IccID = digitsOnly(probeOutput(ICCID_COMMAND));
    }
    if (model.IccID.empty()) {
      model.IccID = MOCK_ICCID;
      MGM_LOG(3, "Failed to read ICCID from GSMUtil use mock = %s", model.IccID.c_str());
    }
  }
  MGM_LOG(6, "Read ICCID from GSMUtil = %s", model.IccID.c_str());
  return 0;
}

int readImsi(MachineComponentServices& model) {
  if (model.Imsi.empty()) {
    for (int attempt = 0; attempt < IMSI_ATTEMPTS && model.Imsi.empty(); ++attempt) {
      const std::string output = probeOutput(IMSI_COMMAND);
      model.Imsi = output.substr(0, output.find(' '));  // whole output when there is no blank
    }
    if (model.Imsi.empty()) {
      model.Imsi = MOCK_IMSI;
      MGM_LOG(3, "Failed to read IMSI from GSMUtil use mock = %s", model.Imsi.c_str());
    }
  }
  MGM_LOG(6, "Read IMSI from GSMUtil = %s", model.Imsi.c_str());
  return 0;
}

int readZoneIPAddresses(MachineComponentServices& model) {
  const std::string untrusted = probeOutput(zoneAddressCommand(untrusted_zone).c_str());
  const std::string trusted = probeOutput(zoneAddressCommand(trusted_zone).c_str());
  model.MgUntrustedZoneIPAddress = withoutNewlines(untrusted);
  model.MgTrustedZoneIPAddress = withoutNewlines(trusted);
  return 0;
}

bool checkIotAllowed() { return runForStatus("/usr/local/bin/tarn-vpn-manager -check") == 0; }
