#include "model/EndpointText.h"

EndpointFields splitEndpointText(const std::string& text) {
  EndpointFields fields;
  // The first four fields each end at the next ":"; without one the field is
  // the whole rest and the rest stays as it is.
  std::string rest = text;
  std::string* const leading[] = {&fields.service, &fields.protocol, &fields.id, &fields.address};
  for (std::string* field : leading) {
    const std::string::size_type colon = rest.find(':');
    if (colon == std::string::npos) {
      *field = rest;
    } else {
      *field = rest.substr(0, colon);
      rest.erase(0, colon + 1);
    }
  }

  // The port runs up to a suffix that starts at the first "[", or, when
  // there is none, at the first "/".
  std::string::size_type suffix = rest.find('[');
  if (suffix == std::string::npos) suffix = rest.find('/');
  if (suffix == std::string::npos) {
    fields.port = rest;
  } else {
    fields.port = rest.substr(0, suffix);
    fields.suffix = rest.substr(suffix);
  }
  return fields;
}
