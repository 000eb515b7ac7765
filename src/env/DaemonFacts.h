// Where the daemon is found on the device: its spool, the registry request
// in it, and the port its receiver listens on. Header only, so the tools use
// the same facts without linking the daemon's libraries.
#pragma once

#include <cstddef>
#include <string>

namespace daemon_facts {

inline constexpr const char* SPOOL_DIRECTORY = "/var/volatile/tmp/iot/";  // ends in "/"
inline constexpr const char* REGISTRY_FILE_NAME = "RegisterMachineServices";
inline constexpr const char* XML_EXTENSION = ".xml";

// The registry request the daemon last wrote.
inline std::string registryRequestPath() {
  return std::string(SPOOL_DIRECTORY) + REGISTRY_FILE_NAME + XML_EXTENSION;
}

// The receiver's UDP port, and the most it takes of one datagram.
inline constexpr const char* RECEIVER_PORT = "5600";
inline constexpr std::size_t MAX_DATAGRAM_SIZE = 4096;

}  // namespace daemon_facts
