#include "sim/module.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "sim/core/device_state.h"
#include "sim/hw/nand_controller.h"
#include "sim/os/nand_os_driver.h"
#include "sim/core/text.h"
#include "sim/services.h"
#include "platform/platform.h"

namespace sim {

Module* Module::active_ = nullptr;

namespace {

// A device path or name pattern of the description's os_faults: one without a backslash is matched
// against the last part of the path only.
std::function<bool(std::string_view)> DevicePathMatcher(const std::string& pattern) {
  if (pattern.empty()) return {};
  std::u16string wide = ToUtf16(pattern);
  bool whole = wide.find(u'\\') != std::u16string::npos;
  return [wide, whole](std::string_view subject) {
    std::u16string path = ToUtf16(subject);
    std::u16string_view name = path;
    if (!whole) name = name.substr(name.rfind(u'\\') == std::u16string_view::npos ? 0 : name.rfind(u'\\') + 1);
    return MatchesPattern(name, wide);
  };
}

// The failures of the operating system's services that the description asks for.
void AddOsFaults(const OsFaultsDescription& d, Faults& faults) {
  for (const auto& f : d.program_start_fail) {
    FaultRule rule;
    rule.op = FaultOp::kCreateProcess;
    rule.error = f.error;
    rule.count = -1;
    rule.matches = DevicePathMatcher(f.image);
    faults.Add(rule);
  }
  for (const auto& f : d.write_fail) faults.AddWriteFailure({DevicePathMatcher(f.path), f.after_bytes, f.error});
  if (d.heap_fail_above) {
    FaultRule rule;
    rule.op = FaultOp::kLocalAlloc;
    rule.error = OS_ERROR_NOT_ENOUGH_MEMORY;
    rule.count = -1;
    std::uint32_t limit = *d.heap_fail_above;
    rule.matches = [limit](std::string_view bytes) { return std::stoull(std::string(bytes)) > limit; };
    faults.Add(rule);
  }
}

}  // namespace

Module::Module(Description description, ModuleOptions options) : Module(std::move(description), {}, options) {}

Module::Module(Description description, const BoardFitter& fit, ModuleOptions options)
    : ModuleCore(std::move(description), options), shared_memory_(this->description().folder) {
  if (active_) throw std::logic_error("a simulated module is already active");
  ResetDeviceState();
  board_ = BuildBoard(this->description(), clock(), [this](const std::string& line) { Report(line); },
                      TakeFlashImage());
  if (fit) fit(board_, *this);
  board_.AttachTo(bus());

  // The operating system starts before the launcher: its flash driver, when the description asks
  // for it, then the services.
  if (this->description().flash.os_driver) {
    if (const NandController* nand = FindDevice<NandController>()) RunNandOsDriver(*this, shared_memory_, *nand);
  }
  services_ = std::make_unique<Services>(*this);
  AddOsFaults(this->description().os_faults, faults());
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
