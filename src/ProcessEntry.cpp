#include "ProcessEntry.h"

#include "Logging.h"
#include "MachineGatewayManager.h"

int processEntry() {
  Logging::SetName("MachineGatewayManager");
  MGM_LOG(6, "Starting module MachineGatewayManager.");

  MachineGatewayManager manager;
  uint32_t rc = manager.connect();
  if (rc != 0) {
    MGM_LOG(3, "Connection to message bus failed (error code 0x%08X).", rc);
    return 1;
  }

  rc = manager.run();
  if (rc == 0) {
    MGM_LOG(6, "Stopping Module MachineGatewayManager.");
  } else {
    MGM_LOG(3, "Stopping Module MachineGatewayManager (error code 0x%08X).", rc);
    // The bus is gone: there is nothing left to disconnect from.
    if (rc == MB_NOT_CONNECTED) return 0;
  }

  rc = manager.disconnect();
  MGM_LOG(6, "Program MachineGatewayManager terminated.");
  if (rc != 0) {
    MGM_LOG(3, "Error while disconnecting from message bus (error code 0x%08X).", rc);
    return 2;
  }
  return 0;
}
