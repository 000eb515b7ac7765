#include "system/RegistryUpload.h"

#include <stdexcept>
#include <string>

#include "Logging.h"
#include "env/Globals.h"
#include "system/Shell.h"

namespace {

// A hung registry or network must not hold up the lifecycle loop: curl gives
// up connecting after 5 s and the whole transfer after 8 s, below the ten
// seconds a cycle may take (a request at the endpoint limit is about 40 KB).
// --globoff keeps curl from expanding {a,b} and [1-9] in the URL into many
// transfers, so the command makes exactly one and --max-time bounds the
// whole command.
const char* const CURL_OPTIONS = " --globoff --connect-timeout 5 --max-time 8";

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

bool sendRegistryServiceFile(const MachineComponentServices& published) {
  MGM_LOG(6, "Sending MachineComponentServices file to registry.");
  const std::string encoded_prefix = encodePathSegment(published.ComponentIDPrefix);
  const std::string command = uploadCommand(encoded_prefix);
  MGM_LOG(6, "Helper logging; L6 for CURL: %s", encoded_prefix.c_str());

  std::string output;
  try {
    output = runCommand(command.c_str());
  } catch (const std::runtime_error& error) {
    MGM_LOG(3, "Could not start curl to send the MachineComponentServices file: %s", error.what());
    return false;
  }
  MGM_LOG(6, "doSend responded with: %s", output.c_str());
  return isSuccessStatus(output);
}
