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

#include "sim/bus.h"
#include "sim/module.h"
#include "tests/support/module_fixture.h"

namespace nand_test {

// The controller's register contract.
inline constexpr std::uint32_t kBase = 0x43100000;
inline constexpr std::uint32_t kControl = 0x00;
inline constexpr std::uint32_t kTiming0 = 0x04;
inline constexpr std::uint32_t kTiming1 = 0x0C;
inline constexpr std::uint32_t kStatus = 0x14;
inline constexpr std::uint32_t kData = 0x40;
inline constexpr std::uint32_t kCommand = 0x48;

inline constexpr std::uint32_t kCtrlSpare = 1u << 31;
inline constexpr std::uint32_t kCtrlEcc = 1u << 30;
inline constexpr std::uint32_t kCtrlRun = 1u << 28;
inline constexpr std::uint32_t kCtrlWideBus = 1u << 27;

inline constexpr std::uint32_t kStatusCmdRequest = 0x001;
inline constexpr std::uint32_t kStatusReadRequest = 0x002;
inline constexpr std::uint32_t kStatusWriteRequest = 0x004;
inline constexpr std::uint32_t kStatusEccError = 0x010;
inline constexpr std::uint32_t kStatusBadBlockCs1 = 0x020;
inline constexpr std::uint32_t kStatusBadBlockCs0 = 0x040;
inline constexpr std::uint32_t kStatusDoneCs1 = 0x080;
inline constexpr std::uint32_t kStatusDoneCs0 = 0x100;
inline constexpr std::uint32_t kStatusReady = 0x800;
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
