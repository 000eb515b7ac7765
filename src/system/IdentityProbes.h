// Reads the gateway's identity: the SIM card's ICCID and IMSI from the modem
// tool, and the addresses of the two zone interfaces.
#pragma once

#include "model/ServiceModel.h"

extern const char* const MOCK_ICCID;  // "89314404000497388513"
extern const char* const MOCK_IMSI;   // "123456789101112"

// Each returns 0. ICCID and IMSI are read only while the field is empty.
int readIccID(MachineComponentServices& model);
int readImsi(MachineComponentServices& model);
int readZoneIPAddresses(MachineComponentServices& model);

// Asks the device's VPN manager whether the device may use the IoT
// function: true when its check exits with status 0.
bool checkIotAllowed();
