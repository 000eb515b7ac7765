// Posts the registry request file to the registry with curl.
#pragma once

#include <chrono>

#include "model/ServiceModel.h"

// Posts the registry request. A 2xx answer clears
// registry_service_file_send_request; any other outcome keeps it set and
// schedules the next attempt with a doubling back-off: the first retry is
// due at once (the next cycle), then after 10 s, 20 s, 40 s ... at most
// 600 s. Returns 0.
int sendRegistryServiceFile(const MachineComponentServices& published);
// True when no retry is waiting or its time has come.
bool registryUploadDue();
// A new request file was written: the next attempt is due at once.
void registryRequestRewritten();
