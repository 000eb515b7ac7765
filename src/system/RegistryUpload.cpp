#include "system/RegistryUpload.h"

#include <stdexcept>
#include <string>

#include "Logging.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "system/Shell.h"

namespace {

using Clock = Env::Clock;

// A hung registry or network must not hold up the lifecycle loop: curl gives
// up connecting after 5 s and the whole transfer after 8 s, below the ten
// seconds a cycle may take (a request at the endpoint limit is about 40 KB).
// --globoff keeps curl from expanding {a,b} and [1-9] in the URL into many
// transfers, so the command makes exactly one and --max-time bounds the
// whole command.
const char* const CURL_OPTIONS = " --globoff --connect-timeout 5 --max-time 8";

constexpr std::chrono::seconds FIRST_RETRY_DELAY{10};
constexpr std::chrono::seconds MAX_RETRY_DELAY{600};

int failed_attempts = 0;  // since the last success or rewritten request
Clock::time_point next_attempt;

Clock::time_point now() { return Env::current().now(); }

// 10 s after the first failure, doubling up to 600 s.
std::chrono::seconds retryDelay(int failures) {
  std::chrono::seconds delay = FIRST_RETRY_DELAY;
  for (int i = 1; i < failures && delay < MAX_RETRY_DELAY; ++i) delay *= 2;
  return delay < MAX_RETRY_DELAY ? delay : MAX_RETRY_DELAY;
}

// The request stays pending; a later cycle posts it again.
void recordFailure() {
  registry_service_file_send_request = true;
  ++failed_attempts;
  const std::chrono::seconds delay = retryDelay(failed_attempts);
  next_attempt = now() + delay;
  MGM_LOG(3, "Registry did not accept the MachineComponentServices file; next attempt in %lld s",
          static_cast<long long>(delay.count()));
}

// The prefix as one URL path segment: every byte outside RFC 3986's
// unreserved set (A-Z a-z 0-9 - . _ ~) is percent-encoded, so ":" and blank
// still give "%3A" and "%20", and "/", "?", "#", "%" and non-ASCII bytes can
// neither leave the segment nor end the path. A prefix "." or ".." has its
// dots encoded too: curl would resolve it as a dot segment and post to a
// parent path.
std::string encodePathSegment(const std::string& prefix) {
  static const char hex[] = "0123456789ABCDEF";
  const bool dot_segment = prefix == "." || prefix == "..";
  std::string encoded;
  for (const unsigned char c : prefix) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '_' || c == '~' || (c == '.' && !dot_segment);
    if (unreserved) {
      encoded += static_cast<char>(c);
    } else {
      encoded += {'%', hex[c >> 4], hex[c & 0xF]};
    }
  }
  return encoded;
}

// curl printed exactly one status code, 2xx, and its line feed
// (-w "%{http_code}\n"); more than one code would mean more than one transfer.
bool isSuccessStatus(const std::string& output) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return (output.size() == 3 || (output.size() == 4 && output[3] == '\n')) && output[0] == '2' &&
         digit(output[1]) && digit(output[2]);
}

// The request is posted byte for byte (--data-binary): -d would drop every
// CR and LF of the file, changing values that hold them and breaking the XML.
std::string uploadCommand(const std::string& encoded_prefix) {
  const std::string request_file = spoolDirectory() + registry_file_name + xml_extension;
  const std::string url =
      "https://" + registry_host + "/" + registry_api_version + "/machineservices/" + encoded_prefix;
  return "curl --cert " + client_certificate_path + " --cacert " + ca_certificate_path +
         " --fail --silent --show-error" + CURL_OPTIONS +
         " -H \"Content-Type: application/xml\" -X POST --data-binary " + shellWord("@" + request_file) +
         " -o /dev/null -s -w \"%{http_code}\n\"" + " " + shellWord(url);
}

}  // namespace

int sendRegistryServiceFile(const MachineComponentServices& published) {
  MGM_LOG(6, "Sending MachineComponentServices file to registry.");
  const std::string encoded_prefix = encodePathSegment(published.ComponentIDPrefix);
  const std::string command = uploadCommand(encoded_prefix);
  MGM_LOG(6, "Helper logging; L6 for CURL: %s", encoded_prefix.c_str());

  std::string output;
  try {
    output = runCommand(command.c_str());
  } catch (const std::runtime_error& error) {
    MGM_LOG(3, "Could not start curl to send the MachineComponentServices file: %s", error.what());
    recordFailure();
    return 0;
  }
  MGM_LOG(6, "doSend responded with: %s", output.c_str());

  if (isSuccessStatus(output)) {
    registry_service_file_send_request = false;
    failed_attempts = 0;
  } else {
    recordFailure();
  }
  return 0;
}

bool registryUploadDue() { return failed_attempts == 0 || now() >= next_attempt; }

void resetRegistryBackOff() { failed_attempts = 0; }
