// The daemon's process entry: names the log, wires one MachineGatewayManager
// to the bus, runs its lifecycle and returns the process exit code:
// 0 normal end, 1 the bus wiring failed, 2 disconnecting failed.
#pragma once

int processEntry();
