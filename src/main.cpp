// MachineGatewayManager: forwards the services that machine components
// announce through the gateway and registers them with the registry.
// Takes no arguments and reads no configuration.
#include "ProcessEntry.h"

int main() { return processEntry(); }
