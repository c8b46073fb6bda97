#include "sim/module.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "sim/core/device_state.h"
#include "sim/hw/nand_controller.h"
#include "sim/os/nand_os_driver.h"
#include "sim/services.h"

namespace sim {

Module* Module::active_ = nullptr;

Module::Module(Description description, ModuleOptions options) : Module(std::move(description), {}, options) {}

Module::Module(Description description, const BoardFitter& fit, ModuleOptions options)
    : ModuleCore(std::move(description), options), shared_memory_(this->description().folder) {
  if (active_) throw std::logic_error("a simulated module is already active");
  ResetDeviceState();
  board_ = BuildBoard(this->description(), clock(), [this](const std::string& line) { Report(line); });
  if (fit) fit(board_, *this);
  board_.AttachTo(bus());

  // The operating system starts before the launcher: its flash driver, when the description asks
  // for it, then the services.
  if (this->description().flash.os_driver) {
    if (const NandController* nand = FindDevice<NandController>()) RunNandOsDriver(*this, shared_memory_, *nand);
  }
  services_ = std::make_unique<Services>(*this);
  active_ = this;
}

Module::~Module() { active_ = nullptr; }

void Module::StartLauncherProcess() {
  EndProcess();
  ResetDeviceState();
}

Module& Module::Active() {
  if (!active_) {
    std::fputs("kalvori: the device code called the platform with no simulated module active\n", stderr);
    std::abort();
  }
  return *active_;
}

bool Module::HasActive() { return active_ != nullptr; }

Services& Module::os() { return *services_; }

}  // namespace sim
