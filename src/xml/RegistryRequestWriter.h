// Writes the published model as the registry request file in the spool.
#pragma once

#include <cstdint>
#include <string>

#include "model/ServiceModel.h"

namespace xml {
// The endpoint text the registry learns: the zone address and the external
// port in place of the component's own address and port.
std::string publishedEndpointText(const ServiceEndpoint& endpoint);
// Writes the registry request (completely, or not at all); returns 0. When
// the file cannot be written, logs at level 3, leaves the request on file
// as it was and returns 1.
uint32_t writeRegistryServiceFile(const MachineComponentServices& published);
// True when the registry request is on file in the spool.
bool registryRequestPresent();
}  // namespace xml
