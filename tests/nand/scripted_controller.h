// A register file standing at the NAND controller's address for tests that check the exact register
// traffic of the driver. It answers as a controller whose every command succeeds at once: each status
// read shows the configured bits, the FIFO hands out scripted words. It knows nothing of chips.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/bus.h"
#include "sim/module.h"
#include "sim/hw/nand_controller.h"
#include "tests/support/module_fixture.h"

namespace nand_test {

// The controller's register contract, as the controller model names it.
using C = sim::NandController;
inline constexpr std::uint32_t kBase = C::kBase;
inline constexpr std::uint32_t kControl = C::kRegControl;
inline constexpr std::uint32_t kTiming0 = C::kRegTiming0;
inline constexpr std::uint32_t kTiming1 = C::kRegTiming1;
inline constexpr std::uint32_t kStatus = C::kRegStatus;
inline constexpr std::uint32_t kData = C::kRegData;
inline constexpr std::uint32_t kCommand = C::kRegCommand;

inline constexpr std::uint32_t kCtrlSpare = C::kCtrlSpare;
inline constexpr std::uint32_t kCtrlEcc = C::kCtrlEcc;
inline constexpr std::uint32_t kCtrlRun = C::kCtrlRun;
inline constexpr std::uint32_t kCtrlWideBus = C::kCtrlWideBus;

inline constexpr std::uint32_t kStatusCmdRequest = C::kStatusCommandRequest;
inline constexpr std::uint32_t kStatusReadRequest = C::kStatusReadRequest;
inline constexpr std::uint32_t kStatusWriteRequest = C::kStatusWriteRequest;
inline constexpr std::uint32_t kStatusEccError = C::kStatusEccError;
inline constexpr std::uint32_t kStatusBadBlockCs1 = C::kStatusBadBlockCs1;
inline constexpr std::uint32_t kStatusBadBlockCs0 = C::kStatusBadBlockCs0;
inline constexpr std::uint32_t kStatusDoneCs1 = C::kStatusDoneCs1;
inline constexpr std::uint32_t kStatusDoneCs0 = C::kStatusDoneCs0;
inline constexpr std::uint32_t kStatusReady = C::kStatusReady;
inline constexpr std::uint32_t kStatusAllClear = kStatusCmdRequest | kStatusReadRequest | kStatusWriteRequest |
                                                 kStatusDoneCs0 | kStatusReady;

struct Access {
  bool write;
  std::uint32_t offset;
  std::uint32_t value;
};

class ScriptedController : public sim::BusDevice {
 public:
  std::string Name() const override { return "scripted NAND controller"; }

  std::uint32_t Read32(std::uint32_t offset) override {
    switch (offset) {
      case kControl: return control;
      case kTiming0: return timing0;
      case kTiming1: return timing1;
      case kStatus: return status;
      case kData: {
        if (fifo.empty()) return 0;
        std::uint32_t word = fifo.front();
        fifo.pop_front();
        return word;
      }
      default: return 0;
    }
  }

  void Write32(std::uint32_t offset, std::uint32_t value) override {
    switch (offset) {
      case kControl: control = value; break;
      case kTiming0: timing0 = value; break;
      case kTiming1: timing1 = value; break;
      default: break;
    }
  }

  std::uint32_t control = 0;
  std::uint32_t timing0 = 0;
  std::uint32_t timing1 = 0;
  std::uint32_t status = kStatusAllClear;  // every status read, whatever was written
  std::deque<std::uint32_t> fifo;          // words the data FIFO hands out; then 0
};

// A module with the scripted controller on its bus and every controller access traced.
class ScriptedModule {
 public:
  explicit ScriptedModule(std::uint32_t cpu_product = 5)
      : module_(testing_support::BareDescription(folder_.path(), cpu_product)) {
    module_.bus().Attach(kBase, 0x1000, controller);
    module_.bus().SetTracer([this](const sim::BusAccess& a) {
      if (a.address >= kBase && a.address < kBase + 0x1000) {
        trace.push_back({a.kind == sim::BusAccess::Kind::kWrite, a.address - kBase, a.value});
      }
    });
  }
  ~ScriptedModule() { module_.bus().SetTracer(nullptr); }

  sim::Module& module() { return module_; }

  // The values written to one register, in order.
  std::vector<std::uint32_t> Writes(std::uint32_t offset) const {
    std::vector<std::uint32_t> out;
    for (const Access& a : trace) {
      if (a.write && a.offset == offset) out.push_back(a.value);
    }
    return out;
  }
  std::size_t Reads(std::uint32_t offset) const {
    std::size_t n = 0;
    for (const Access& a : trace) n += !a.write && a.offset == offset;
    return n;
  }

  ScriptedController controller;
  std::vector<Access> trace;

 private:
  testing_support::TempFolder folder_;
  sim::Module module_;
};

}  // namespace nand_test
