// The processor's GPIO block (the page at physical 0x40E00000), as the processor's register map
// describes it. On the processors with a pin-multiplexing page, the pins' functions live there
// (sim/hw/pin_mux.h, a bus device of its own).
//
// Two register layouts, fixed by the processor's product number (bits 9..4 of its main ID):
// - plain (every product but 2 and 8): four banks of 32 pins (0 to 127) with level, direction,
//   level-set and level-clear registers, and eight alternate-function registers holding a 2-bit
//   field per pin. There is no pin-mux page.
// - pin-mux (products 2 and 8): the same level, level-set and level-clear registers, direction
//   changed through direction-set and direction-clear registers; each pin's function is in its
//   pin-mux register (PinMux). Pins of 128 and more (product 2: up to 145; product 8: up to 138)
//   have a pin-mux register of their own but share the GPIO bits of pin - 128.
//
// Registers:            plain               pin-mux           access
//   level               0x00 + 4k, 0x100    same              read-only: the pins' levels
//   direction           0x0C + 4k, 0x10C    -                 read/write, bit set = output
//   level set           0x18 + 4k, 0x118    same              write: 1 bits drive the pins high
//   level clear         0x24 + 4k, 0x124    same              write: 1 bits drive the pins low
//   alternate function  0x54 + 4i (i 0..7)  -                 read/write, 2 bits per pin
//   direction set       -                   0x400 + 4k        write: 1 bits make pins outputs
//   direction clear     -                   0x420 + 4k        write: 1 bits make pins inputs
// (k: bank 0 to 3; bank 3 lies 0xF4 further than the regular step.)
// The set and clear registers read as 0. An access to an offset without a register, and a write to
// a read-only register, is a bus fault.
//
// Not modelled: external drive of input pins (a pin's level is its output latch), interrupts and
// edge detection.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/core/bus.h"

namespace sim {

class GpioModel : public BusDevice {
 public:
  // Physical placement.
  static constexpr std::uint32_t kGpioBase = 0x40E00000;
  static constexpr std::uint32_t kPageBytes = 0x1000;

  // GPIO block registers (byte offsets of bank 0).
  static constexpr std::uint32_t kRegLevel = 0x00;
  static constexpr std::uint32_t kRegDirection = 0x0C;
  static constexpr std::uint32_t kRegLevelSet = 0x18;
  static constexpr std::uint32_t kRegLevelClear = 0x24;
  static constexpr std::uint32_t kRegFunction = 0x54;
  static constexpr std::uint32_t kRegDirectionSet = 0x400;
  static constexpr std::uint32_t kRegDirectionClear = 0x420;
  static constexpr std::uint32_t kBank3Skip = 0xF4;  // level, direction, set and clear registers
  static constexpr std::uint32_t kBanks = 4;
  static constexpr std::uint32_t kPinsPerBank = 32;
  static constexpr std::uint32_t kFunctionRegisters = 8;
  static constexpr std::uint32_t kPinsPerFunctionRegister = 16;
  static constexpr std::uint32_t kFunctionFieldMask = 0x3;           // per pin, at bit 2 * (pin mod 16)
  static constexpr std::uint32_t kGpioPins = kBanks * kPinsPerBank;  // pins with GPIO bits

  // Products with the pin-mux layout, and their pins (those from 128 on fold onto pin - 128).
  static constexpr std::uint32_t kProductPinMux2 = 2;
  static constexpr std::uint32_t kProductPinMux8 = 8;
  static constexpr std::uint32_t kPinsProduct2 = 146;
  static constexpr std::uint32_t kPinsProduct8 = 139;

  enum class Layout { kPlain, kPinMuxProduct2, kPinMuxProduct8 };
  static Layout LayoutFor(std::uint32_t cpu_product);
  // Pins 0 to PinCountFor(layout) - 1 exist: 128 on the plain layout, 146 on product 2, 139 on product 8.
  static std::uint32_t PinCountFor(Layout layout);

  explicit GpioModel(std::uint32_t cpu_product);

  Layout layout() const { return layout_; }
  bool HasPinMux() const { return layout_ != Layout::kPlain; }
  std::uint32_t PinCount() const { return PinCountFor(layout_); }

  // --- observation (no bus time, no effect) ---
  // Plain layout: the pin's 2-bit alternate-function field. The pin-mux layouts keep the function
  // in the pin mux (PinMux::Function); asking here is a std::logic_error.
  std::uint32_t Function(std::uint32_t pin) const;
  bool IsOutput(std::uint32_t pin) const;
  bool Level(std::uint32_t pin) const;
  // What a 32-bit read at the physical address returns; BusFault where there is no register.
  std::uint32_t Peek(std::uint32_t physical) const;

  // --- BusDevice: the GPIO page ---
  std::string Name() const override { return "GPIO block"; }
  std::uint32_t Read32(std::uint32_t offset) override;
  void Write32(std::uint32_t offset, std::uint32_t value) override;
  std::uint64_t AccessNs() const override { return kRegisterAccessNs; }

 private:
  static constexpr std::uint64_t kRegisterAccessNs = 100;

  enum class Kind { kLevel, kDirection, kLevelSet, kLevelClear, kFunction, kDirectionSet, kDirectionClear };
  struct Register {
    Kind kind;
    std::uint32_t index;  // bank, or alternate-function register
  };

  std::optional<Register> Decode(std::uint32_t offset) const;
  std::uint32_t ReadGpio(std::uint32_t offset) const;
  std::uint32_t GpioPin(std::uint32_t pin) const;  // the pin whose GPIO bits it uses; checks it exists

  Layout layout_;
  std::array<std::uint32_t, kBanks> level_{};
  std::array<std::uint32_t, kBanks> direction_{};
  std::array<std::uint32_t, kFunctionRegisters> function_{};
};

// The name of a layout in messages: "plain layout", "pin-mux layout of product 2".
const char* GpioLayoutName(GpioModel::Layout layout);

}  // namespace sim
