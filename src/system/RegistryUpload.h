// Posts the registry request file to the registry with curl.
#pragma once

#include "model/ServiceModel.h"

// Posts the registry request; true when the registry accepted it (curl
// printed one 2xx status), false on any other outcome, curl not started
// included.
bool sendRegistryServiceFile(const MachineComponentServices& published);
