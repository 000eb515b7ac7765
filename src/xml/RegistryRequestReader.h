// Reads back the registry request the daemon last wrote, for tools that
// show what is published. Knows nothing of the model or the platform, so a
// tool links it without the daemon's libraries.
#pragma once

#include <string>
#include <vector>

namespace xml {

// One ServiceEndpoint of the request, with the names that own it.
struct PublishedEndpoint {
  std::string component;  // ComponentID
  std::string service;    // ServiceID
  std::string text;       // the endpoint text as published
};

struct RegistryRequest {
  std::string gateway_id;
  std::string untrusted_address;             // MGUntrustedZoneIPAddress, "" when absent
  std::string trusted_address;               // MGTrustedZoneIPAddress, "" when absent
  std::vector<PublishedEndpoint> endpoints;  // in document order
};

// Parses the RegMachCompSvcReq document at `path`. False with a reason in
// `error` when the file cannot be read or is not such a document.
bool readRegistryRequest(const std::string& path, RegistryRequest& request, std::string& error);

}  // namespace xml
