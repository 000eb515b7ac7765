// The grammar of an endpoint text, shared by the daemon's model and the
// tools (which read endpoints back from the registry request). Depends on
// nothing but the standard library.
#pragma once

#include <string>

// The fields of an endpoint text
//   service ":" protocol ":" id ":" address ":" port [suffix]
// The suffix starts at the first "[" of what follows the address, or, when
// there is none, at its first "/". Nothing is trimmed or validated.
struct EndpointFields {
  std::string service;
  std::string protocol;
  std::string id;
  std::string address;
  std::string port;
  std::string suffix;
};

EndpointFields splitEndpointText(const std::string& text);
