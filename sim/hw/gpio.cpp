#include "sim/hw/gpio.h"

#include <span>
#include <stdexcept>

namespace sim {

namespace {

// A run of pins whose pin-mux registers follow one another, 4 bytes apart.
struct MuxRun {
  std::uint32_t first_pin;
  std::uint32_t last_pin;
  std::uint32_t first_offset;  // from the pin-mux page's base
};

// Product 2: pins 0 to 145.
constexpr MuxRun kMuxRunsProduct2[] = {
    {0, 4, 0x124},   {5, 9, 0x28C},   {10, 10, 0x458},  {11, 26, 0x2A0},   {27, 48, 0x400},   {49, 62, 0x45C},
    {63, 73, 0x4B4}, {74, 98, 0x4F0}, {99, 133, 0x600}, {134, 141, 0x494}, {142, 145, 0x4E0},
};

// Product 8: pins 0 to 138.
constexpr MuxRun kMuxRunsProduct8[] = {
    {0, 2, 0x0B4}, {3, 26, 0x27C}, {27, 98, 0x400}, {99, 129, 0x600}, {130, 134, 0x2DC}, {135, 138, 0x52C},
};

constexpr std::uint32_t kMuxRegisterStep = 4;

std::uint32_t Bit(std::uint32_t pin) { return 1u << (pin % GpioModel::kPinsPerBank); }

// Byte offset of bank k's register, given the register of bank 0.
std::uint32_t BankRegister(std::uint32_t bank0, std::uint32_t bank) {
  return bank0 + 4 * bank + (bank == GpioModel::kBanks - 1 ? GpioModel::kBank3Skip : 0);
}

const char* LayoutName(GpioModel::Layout layout) {
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

}  // namespace

GpioModel::Layout GpioModel::LayoutFor(std::uint32_t cpu_product) {
  if (cpu_product == kProductPinMux2) return Layout::kPinMuxProduct2;
  if (cpu_product == kProductPinMux8) return Layout::kPinMuxProduct8;
  return Layout::kPlain;
}

GpioModel::GpioModel(std::uint32_t cpu_product) : layout_(LayoutFor(cpu_product)) {
  std::span<const MuxRun> runs;
  if (layout_ == Layout::kPinMuxProduct2) runs = kMuxRunsProduct2;
  if (layout_ == Layout::kPinMuxProduct8) runs = kMuxRunsProduct8;
  for (const MuxRun& run : runs) {
    for (std::uint32_t pin = run.first_pin; pin <= run.last_pin; ++pin) {
      std::uint32_t offset = run.first_offset + kMuxRegisterStep * (pin - run.first_pin);
      if (pin != mux_offset_.size() || !mux_pin_.emplace(offset, pin).second) {
        throw std::logic_error("GPIO model: the pin-mux register map is not one register per pin");
      }
      mux_offset_.push_back(offset);
    }
  }
  mux_.assign(mux_offset_.size(), 0);
}

void GpioModel::AttachTo(Bus& bus) {
  bus.Attach(kGpioBase, kPageBytes, *this);
  if (HasPinMux()) bus.Attach(kMuxPageBase, kPageBytes, mux_page_);
}

std::uint32_t GpioModel::PinCount() const {
  return HasPinMux() ? static_cast<std::uint32_t>(mux_offset_.size()) : kGpioPins;
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
                   LayoutName(layout_));
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
                   LayoutName(layout_));
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

// --- pin-mux page ---

std::uint32_t GpioModel::MuxPin(std::uint32_t offset) const {
  auto it = mux_pin_.find(offset);
  if (it == mux_pin_.end()) {
    throw BusFault("bus fault: the pin-mux page has no register at offset " + Hex(offset) + " on the " +
                   LayoutName(layout_));
  }
  return it->second;
}

std::uint32_t GpioModel::MuxPage::Read32(std::uint32_t offset) { return gpio_.mux_[gpio_.MuxPin(offset)]; }

void GpioModel::MuxPage::Write32(std::uint32_t offset, std::uint32_t value) {
  gpio_.mux_[gpio_.MuxPin(offset)] = value;
}

// --- observation ---

std::uint32_t GpioModel::GpioPin(std::uint32_t pin) const {
  if (pin >= PinCount()) {
    throw std::out_of_range("GPIO model: no pin " + std::to_string(pin) + " on the " + LayoutName(layout_));
  }
  return pin % kGpioPins;  // the fold of the pin-mux layouts
}

std::uint32_t GpioModel::Function(std::uint32_t pin) const {
  GpioPin(pin);
  if (HasPinMux()) return mux_[pin] & kMuxFunctionMask;
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

std::uint32_t GpioModel::MuxRegisterAddress(std::uint32_t pin) const {
  GpioPin(pin);
  if (!HasPinMux()) throw std::logic_error("GPIO model: the plain layout has no pin-mux registers");
  return kMuxPageBase + mux_offset_[pin];
}

std::uint32_t GpioModel::Peek(std::uint32_t physical) const {
  if (physical >= kGpioBase && physical - kGpioBase < kPageBytes) return ReadGpio(physical - kGpioBase);
  if (HasPinMux() && physical >= kMuxPageBase && physical - kMuxPageBase < kPageBytes) {
    return mux_[MuxPin(physical - kMuxPageBase)];
  }
  throw BusFault("bus fault: no GPIO or pin-mux register at physical " + Hex(physical));
}

}  // namespace sim
