// The processor's pin-multiplexing page (physical 0x40E10000), on the processors whose GPIO block
// has the pin-mux layout (products 2 and 8; sim/hw/gpio.h): one 32-bit register per pin, the pin's
// function in bits 0..2 and the other bits (pulls, drive) stored as written. The two products place
// the registers differently (product 2: pins 0 to 145; product 8: pins 0 to 138), in runs of
// consecutive registers 4 bytes apart.
//
// An access to an offset without a pin's register is a bus fault. Not modelled: what the pull and
// drive bits do to the pins.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/core/bus.h"
#include "sim/hw/gpio.h"

namespace sim {

class PinMux : public BusDevice {
 public:
  static constexpr std::uint32_t kBase = 0x40E10000;
  static constexpr std::uint32_t kPageBytes = 0x1000;
  static constexpr std::uint32_t kFunctionMask = 0x7;  // bits 0..2 of a pin's register

  // layout: one of the pin-mux layouts (std::invalid_argument for the plain one).
  explicit PinMux(GpioModel::Layout layout);

  GpioModel::Layout layout() const { return layout_; }
  std::uint32_t PinCount() const { return static_cast<std::uint32_t>(offset_.size()); }

  // --- observation (no bus time, no effect) ---
  // Bits 0..2 of the pin's register.
  std::uint32_t Function(std::uint32_t pin) const;
  // The physical address of the pin's register.
  std::uint32_t RegisterAddress(std::uint32_t pin) const;
  // What a 32-bit read at the physical address returns; BusFault where there is no register.
  std::uint32_t Peek(std::uint32_t physical) const;

  // --- BusDevice ---
  std::string Name() const override { return "pin-mux page"; }
  std::uint32_t Read32(std::uint32_t offset) override;
  void Write32(std::uint32_t offset, std::uint32_t value) override;
  std::uint64_t AccessNs() const override { return kRegisterAccessNs; }

 private:
  static constexpr std::uint64_t kRegisterAccessNs = 100;

  std::uint32_t PinAt(std::uint32_t offset) const;  // BusFault when no pin's register is there
  std::uint32_t CheckPin(std::uint32_t pin) const;

  GpioModel::Layout layout_;
  std::vector<std::uint32_t> registers_;        // per pin
  std::vector<std::uint32_t> offset_;           // per pin: its register's offset in the page
  std::map<std::uint32_t, std::uint32_t> pin_;  // offset -> pin
};

}  // namespace sim
