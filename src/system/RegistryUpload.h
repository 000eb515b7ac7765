// Posts the registry request file to the registry with curl.
#pragma once

#include <chrono>

#include "model/ServiceModel.h"

// Posts the registry request. A 2xx answer clears
// registry_service_file_send_request; any other outcome keeps it set and
// schedules the next attempt with a doubling back-off: 10 s after the first
// failure, then 20 s, 40 s ... at most 600 s. Returns 0.
int sendRegistryServiceFile(const MachineComponentServices& published);
// True when no failure is waiting out its back-off.
bool registryUploadDue();
// Forgets the failures: the next upload is due at once.
void resetRegistryBackOff();
