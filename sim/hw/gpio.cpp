#include "sim/hw/gpio.h"

#include <stdexcept>

#include "sim/core/text.h"

namespace sim {

namespace {

std::uint32_t Bit(std::uint32_t pin) { return 1u << (pin % GpioModel::kPinsPerBank); }

// Byte offset of bank k's register, given the register of bank 0.
std::uint32_t BankRegister(std::uint32_t bank0, std::uint32_t bank) {
  return bank0 + 4 * bank + (bank == GpioModel::kBanks - 1 ? GpioModel::kBank3Skip : 0);
}

}  // namespace

const char* GpioLayoutName(GpioModel::Layout layout) {
  switch (layout) {
    case GpioModel::Layout::kPlain:
      return "plain layout";
    case GpioModel::Layout::kPinMuxProduct2:
      return "pin-mux layout of product 2";
    case GpioModel::Layout::kPinMuxProduct8:
      return "pin-mux layout of product 8";
  }
  return "?";
}

GpioModel::Layout GpioModel::LayoutFor(std::uint32_t cpu_product) {
  if (cpu_product == kProductPinMux2) return Layout::kPinMuxProduct2;
  if (cpu_product == kProductPinMux8) return Layout::kPinMuxProduct8;
  return Layout::kPlain;
}

GpioModel::GpioModel(std::uint32_t cpu_product) : layout_(LayoutFor(cpu_product)) {}

std::uint32_t GpioModel::PinCountFor(Layout layout) {
  switch (layout) {
    case Layout::kPlain:
      return kGpioPins;
    case Layout::kPinMuxProduct2:
      return kPinsProduct2;
    case Layout::kPinMuxProduct8:
      return kPinsProduct8;
  }
  return kGpioPins;
}

// --- register decoding ---

std::optional<GpioModel::Register> GpioModel::Decode(std::uint32_t offset) const {
  for (std::uint32_t bank = 0; bank < kBanks; ++bank) {
    if (offset == BankRegister(kRegLevel, bank)) return Register{Kind::kLevel, bank};
    if (offset == BankRegister(kRegLevelSet, bank)) return Register{Kind::kLevelSet, bank};
    if (offset == BankRegister(kRegLevelClear, bank)) return Register{Kind::kLevelClear, bank};
    if (HasPinMux()) {
      if (offset == kRegDirectionSet + 4 * bank) return Register{Kind::kDirectionSet, bank};
      if (offset == kRegDirectionClear + 4 * bank) return Register{Kind::kDirectionClear, bank};
    } else if (offset == BankRegister(kRegDirection, bank)) {
      return Register{Kind::kDirection, bank};
    }
  }
  if (!HasPinMux() && offset >= kRegFunction && offset < kRegFunction + 4 * kFunctionRegisters &&
      offset % 4 == 0) {
    return Register{Kind::kFunction, (offset - kRegFunction) / 4};
  }
  return std::nullopt;
}

std::uint32_t GpioModel::ReadGpio(std::uint32_t offset) const {
  auto reg = Decode(offset);
  if (!reg) {
    throw BusFault("bus fault: the GPIO block has no register at offset " + Hex(offset) + " on the " +
                   GpioLayoutName(layout_));
  }
  switch (reg->kind) {
    case Kind::kLevel:
      return level_[reg->index];
    case Kind::kDirection:
      return direction_[reg->index];
    case Kind::kFunction:
      return function_[reg->index];
    case Kind::kLevelSet:
    case Kind::kLevelClear:
    case Kind::kDirectionSet:
    case Kind::kDirectionClear:
      return 0;  // write-only: reads as 0
  }
  return 0;
}

std::uint32_t GpioModel::Read32(std::uint32_t offset) { return ReadGpio(offset); }

void GpioModel::Write32(std::uint32_t offset, std::uint32_t value) {
  auto reg = Decode(offset);
  if (!reg) {
    throw BusFault("bus fault: the GPIO block has no register at offset " + Hex(offset) + " on the " +
                   GpioLayoutName(layout_));
  }
  std::uint32_t k = reg->index;
  switch (reg->kind) {
    case Kind::kLevel:
      throw BusFault("bus fault: write of " + Hex(value) + " to the read-only pin level register at offset " +
                     Hex(offset));
    case Kind::kDirection:
      direction_[k] = value;
      break;
    case Kind::kFunction:
      function_[k] = value;
      break;
    case Kind::kLevelSet:
      level_[k] |= value;
      break;
    case Kind::kLevelClear:
      level_[k] &= ~value;
      break;
    case Kind::kDirectionSet:
      direction_[k] |= value;
      break;
    case Kind::kDirectionClear:
      direction_[k] &= ~value;
      break;
  }
}

// --- observation ---

std::uint32_t GpioModel::GpioPin(std::uint32_t pin) const {
  if (pin >= PinCount()) {
    throw std::out_of_range("GPIO model: no pin " + std::to_string(pin) + " on the " + GpioLayoutName(layout_));
  }
  return pin % kGpioPins;  // the fold of the pin-mux layouts
}

std::uint32_t GpioModel::Function(std::uint32_t pin) const {
  GpioPin(pin);
  if (HasPinMux()) {
    throw std::logic_error("GPIO model: on the " + std::string(GpioLayoutName(layout_)) +
                           " a pin's function is in the pin mux");
  }
  std::uint32_t shift = 2 * (pin % kPinsPerFunctionRegister);
  return function_[pin / kPinsPerFunctionRegister] >> shift & kFunctionFieldMask;
}

bool GpioModel::IsOutput(std::uint32_t pin) const {
  std::uint32_t p = GpioPin(pin);
  return (direction_[p / kPinsPerBank] & Bit(p)) != 0;
}

bool GpioModel::Level(std::uint32_t pin) const {
  std::uint32_t p = GpioPin(pin);
  return (level_[p / kPinsPerBank] & Bit(p)) != 0;
}

std::uint32_t GpioModel::Peek(std::uint32_t physical) const {
  if (physical >= kGpioBase && physical - kGpioBase < kPageBytes) return ReadGpio(physical - kGpioBase);
  throw BusFault("bus fault: no GPIO register at physical " + Hex(physical));
}

}  // namespace sim
