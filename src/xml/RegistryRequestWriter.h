// Writes the published model as the registry request file in the spool.
#pragma once

#include <cstdint>
#include <string>

#include "model/ServiceModel.h"

namespace xml {
// The endpoint text the registry learns: the zone address and the external
// port in place of the component's own address and port.
std::string publishedEndpointText(const ServiceEndpoint& endpoint);
// Writes the registry request, clears new_registry_service_file and sets
// registry_service_file_send_request. Returns 0.
uint32_t writeRegistryServiceFile(const MachineComponentServices& published);
}  // namespace xml
