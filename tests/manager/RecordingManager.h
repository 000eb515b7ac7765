// A MachineGatewayManager whose phase handlers only record that they ran,
// so the lifecycle can be driven without touching spool, shell or network.
#pragma once

#include <string>
#include <vector>

#include "MachineGatewayManager.h"
#include "PlatformDouble.h"
#include "env/Globals.h"

class RecordingManager : public MachineGatewayManager {
 public:
  std::vector<std::string> phases;
  bool iot = true;  // what the created phase decides
  uint32_t created_result = 0, running_result = 0, stopped_result = 0, exiting_result = 0;

  uint32_t doCreated(MachineComponentServices&) override {
    phases.push_back("created");
    tarn_is_iot = iot;
    return created_result;
  }
  uint32_t doRunning(MachineComponentServices&, MachineComponentServices&) override {
    phases.push_back("running");
    return running_result;
  }
  uint32_t doStoppedStandby(MachineComponentServices&, MachineComponentServices&) override {
    phases.push_back("stopped");
    return stopped_result;
  }
  uint32_t doExiting() override {
    phases.push_back("exiting");
    return exiting_result;
  }
};
