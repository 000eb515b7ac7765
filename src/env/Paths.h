// Where the daemon keeps its files on the device: the spool and the registry
// request in it. Header only, so the tools read the same paths without
// linking the daemon's libraries.
#pragma once

#include <string>

namespace mgm_paths {

inline constexpr const char* SPOOL_DIRECTORY = "/var/volatile/tmp/iot/";  // ends in "/"
inline constexpr const char* REGISTRY_FILE_NAME = "RegisterMachineServices";
inline constexpr const char* XML_EXTENSION = ".xml";

// The registry request the daemon last wrote.
inline std::string registryRequestPath() {
  return std::string(SPOOL_DIRECTORY) + REGISTRY_FILE_NAME + XML_EXTENSION;
}

}  // namespace mgm_paths
