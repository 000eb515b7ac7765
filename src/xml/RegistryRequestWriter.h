// Writes the published model as the registry request file in the spool.
#pragma once

#include <cstdint>
#include <string>

#include "model/ServiceModel.h"

namespace xml {
// The endpoint text the registry learns: the zone address and the external
// port in place of the component's own address and port.
std::string publishedEndpointText(const ServiceEndpoint& endpoint);
// Writes the registry request (completely, or not at all), clears
// new_registry_service_file and sets registry_service_file_send_request;
// returns 0. When the file cannot be written, logs at level 3, leaves
// new_registry_service_file set and clears the send request: nothing is
// posted and the next cycle writes again. Returns 1 then.
uint32_t writeRegistryServiceFile(const MachineComponentServices& published);
// True when the registry request is on file in the spool.
bool registryRequestPresent();
}  // namespace xml
