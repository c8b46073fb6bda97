#include "sim/hw/pin_mux.h"

#include <span>
#include <stdexcept>

#include "sim/core/text.h"

namespace sim {

namespace {

// A run of pins whose registers follow one another, 4 bytes apart.
struct Run {
  std::uint32_t first_pin;
  std::uint32_t last_pin;
  std::uint32_t first_offset;  // from the page's base
};

// Product 2: pins 0 to 145.
constexpr Run kRunsProduct2[] = {
    {0, 4, 0x124},   {5, 9, 0x28C},   {10, 10, 0x458},  {11, 26, 0x2A0},   {27, 48, 0x400},   {49, 62, 0x45C},
    {63, 73, 0x4B4}, {74, 98, 0x4F0}, {99, 133, 0x600}, {134, 141, 0x494}, {142, 145, 0x4E0},
};

// Product 8: pins 0 to 138.
constexpr Run kRunsProduct8[] = {
    {0, 2, 0x0B4}, {3, 26, 0x27C}, {27, 98, 0x400}, {99, 129, 0x600}, {130, 134, 0x2DC}, {135, 138, 0x52C},
};

constexpr std::uint32_t kRegisterStep = 4;

}  // namespace

PinMux::PinMux(GpioModel::Layout layout) : layout_(layout) {
  std::span<const Run> runs;
  if (layout_ == GpioModel::Layout::kPinMuxProduct2) runs = kRunsProduct2;
  if (layout_ == GpioModel::Layout::kPinMuxProduct8) runs = kRunsProduct8;
  if (runs.empty()) {
    throw std::invalid_argument(std::string("pin mux: the ") + GpioLayoutName(layout_) + " has no pin-mux page");
  }
  for (const Run& run : runs) {
    for (std::uint32_t pin = run.first_pin; pin <= run.last_pin; ++pin) {
      std::uint32_t offset = run.first_offset + kRegisterStep * (pin - run.first_pin);
      if (pin != offset_.size() || !pin_.emplace(offset, pin).second) {
        throw std::logic_error("pin mux: the register map is not one register per pin");
      }
      offset_.push_back(offset);
    }
  }
  if (offset_.size() != GpioModel::PinCountFor(layout_)) {
    throw std::logic_error("pin mux: the register map and the GPIO block disagree on the pins");
  }
  registers_.assign(offset_.size(), 0);
}

std::uint32_t PinMux::PinAt(std::uint32_t offset) const {
  auto it = pin_.find(offset);
  if (it == pin_.end()) {
    throw BusFault("bus fault: the pin-mux page has no register at offset " + Hex(offset) + " on the " +
                   GpioLayoutName(layout_));
  }
  return it->second;
}

std::uint32_t PinMux::CheckPin(std::uint32_t pin) const {
  if (pin >= PinCount()) {
    throw std::out_of_range("pin mux: no pin " + std::to_string(pin) + " on the " + GpioLayoutName(layout_));
  }
  return pin;
}

std::uint32_t PinMux::Read32(std::uint32_t offset) { return registers_[PinAt(offset)]; }

void PinMux::Write32(std::uint32_t offset, std::uint32_t value) { registers_[PinAt(offset)] = value; }

std::uint32_t PinMux::Function(std::uint32_t pin) const { return registers_[CheckPin(pin)] & kFunctionMask; }

std::uint32_t PinMux::RegisterAddress(std::uint32_t pin) const { return kBase + offset_[CheckPin(pin)]; }

std::uint32_t PinMux::Peek(std::uint32_t physical) const {
  if (physical >= kBase && physical - kBase < kPageBytes) return registers_[PinAt(physical - kBase)];
  throw BusFault("bus fault: no pin-mux register at physical " + Hex(physical));
}

}  // namespace sim
