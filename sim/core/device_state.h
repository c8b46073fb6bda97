// The device code's module-level variables, put back to their values at process start whenever a
// simulated launcher process starts (sim/core/device_state.cpp says how).
#pragma once

namespace sim {

void ResetDeviceState();

}  // namespace sim
