// Pin configuration against the GPIO and pin-mux model, on the plain layout and the pin-mux layouts
// of products 2 and 8.
#include "hw/pins.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/core/faults.h"
#include "sim/core/text.h"
#include "sim/hw/gpio.h"
#include "sim/hw/pin_mux.h"
#include "sim/module.h"
#include "tests/support/module_fixture.h"

namespace {

using sim::GpioModel;

constexpr std::uint32_t kPlainProduct = 17;
constexpr std::uint32_t kGpio = GpioModel::kGpioBase;
constexpr std::uint32_t kMuxPage = sim::PinMux::kBase;

std::string Access(char kind, std::uint32_t address, std::uint32_t value) {
  return std::string(1, kind) + " " + sim::Hex(address) + " " + sim::Hex(value);
}

class PinsTest : public ::testing::Test {
 protected:
  // Powers up a module whose processor reports the product number, and records every bus access.
  void Start(std::uint32_t product) {
    module_.emplace(testing_support::BareDescription(folder_.path(), product));
    gpio_ = module_->FindDevice<GpioModel>();
    ASSERT_NE(gpio_, nullptr);
    mux_ = module_->FindDevice<sim::PinMux>();
    ASSERT_EQ(mux_ != nullptr, gpio_->HasPinMux());
    module_->bus().SetTracer([this](const sim::BusAccess& a) {
      trace_.push_back(Access(a.kind == sim::BusAccess::Kind::kWrite ? 'W' : 'R', a.address, a.value));
    });
  }

  // What the boot loader left in a register before the launcher ran.
  void Preset(std::uint32_t physical, std::uint32_t value) {
    module_->bus().Write32(physical, value);
    trace_.clear();
  }

  // Accesses to physical addresses in [from, from + 0x1000).
  std::vector<std::string> TraceIn(std::uint32_t page) const {
    std::vector<std::string> out;
    for (const std::string& line : trace_) {
      std::uint32_t address = static_cast<std::uint32_t>(std::stoul(line.substr(2, 10), nullptr, 16));
      if (address >= page && address < page + GpioModel::kPageBytes) out.push_back(line);
    }
    return out;
  }

  // The pin's function, where its layout keeps it.
  std::uint32_t Function(std::uint32_t pin) const { return mux_ ? mux_->Function(pin) : gpio_->Function(pin); }

  std::size_t Reservations() { return module_->address_space().Reservations().size(); }
  std::size_t MapCalls() { return module_->address_space().MapCalls().size(); }

  testing_support::TempFolder folder_;
  std::optional<sim::Module> module_;
  GpioModel* gpio_ = nullptr;
  sim::PinMux* mux_ = nullptr;  // on the pin-mux layouts
  std::vector<std::string> trace_;
};

// --- pin 73, the pin the NAND probe drives ---

TEST_F(PinsTest, DrivePin73OnThePlainLayout) {
  Start(kPlainProduct);
  Preset(kGpio + 0x64, 0xFFFFFFFF);  // every pin of the register on function 3
  Preset(kGpio + 0x14, 0x00000001);  // pin 64 already an output

  DrivePinHigh(73);

  EXPECT_EQ(trace_, (std::vector<std::string>{
                        Access('R', kGpio + 0x64, 0xFFFFFFFF), Access('W', kGpio + 0x64, 0xFFF3FFFF),
                        Access('R', kGpio + 0x14, 0x00000001), Access('W', kGpio + 0x14, 0x00000201),
                        Access('W', kGpio + 0x20, 0x00000200)}));
  EXPECT_EQ(Function(73), 0u);
  EXPECT_TRUE(gpio_->IsOutput(73));
  EXPECT_TRUE(gpio_->Level(73));
  EXPECT_TRUE(gpio_->IsOutput(64));
  EXPECT_EQ(MapCalls(), 1u);  // no pin-mux page on this layout
  EXPECT_EQ(Reservations(), 0u);
}

struct PinMuxCase {
  std::uint32_t product;
  std::uint32_t mux_register;
};

class PinMuxLayouts : public PinsTest, public ::testing::WithParamInterface<PinMuxCase> {};

TEST_P(PinMuxLayouts, DrivePin73ClearsTheFunctionKeepingTheOtherBits) {
  Start(GetParam().product);
  const std::uint32_t mux = GetParam().mux_register;
  ASSERT_EQ(mux_->RegisterAddress(73), mux);
  Preset(mux, 0x0000C0A5);  // function 5 with pull and drive bits

  DrivePinHigh(73);

  EXPECT_EQ(trace_,
            (std::vector<std::string>{Access('R', mux, 0x0000C0A5), Access('W', mux, 0x0000C0A0),
                                      Access('R', kGpio + 0x408, 0), Access('W', kGpio + 0x408, 0x00000200),
                                      Access('W', kGpio + 0x20, 0x00000200)}));
  EXPECT_EQ(Function(73), 0u);
  EXPECT_TRUE(gpio_->IsOutput(73));
  EXPECT_TRUE(gpio_->Level(73));
  EXPECT_EQ(MapCalls(), 2u);
  EXPECT_EQ(Reservations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Products, PinMuxLayouts,
                         ::testing::Values(PinMuxCase{2, 0x40E104DC}, PinMuxCase{8, 0x40E104B8}),
                         [](const auto& info) { return "Product" + std::to_string(info.param.product); });

// --- the register maps, pin by pin ---

// Every pin's function write lands in that pin's own register and nowhere else; pins from 128 on
// share the direction bits of pin - 128.
TEST_P(PinMuxLayouts, EveryPinReachesItsOwnPinMuxRegister) {
  Start(GetParam().product);
  const std::uint32_t pins = gpio_->PinCount();
  for (std::uint32_t pin = 0; pin < pins; ++pin) SetPinFunction(pin, pin % 8, 1);
  for (std::uint32_t pin = 0; pin < pins; ++pin) {
    EXPECT_EQ(Function(pin), pin % 8) << "pin " << pin;
    EXPECT_TRUE(gpio_->IsOutput(pin)) << "pin " << pin;
  }
  for (std::uint32_t pin = 0; pin < 128; ++pin) SetPinDirection(pin, pin % 2);
  for (std::uint32_t pin = 0; pin < pins; ++pin)
    EXPECT_EQ(gpio_->IsOutput(pin), pin % 2 == 1) << "pin " << pin;
}

TEST_F(PinsTest, EveryPlainPinReachesItsOwnFunctionField) {
  Start(kPlainProduct);
  for (std::uint32_t pin = 0; pin < 128; ++pin) SetPinFunction(pin, pin % 4, pin % 3 == 0);
  for (std::uint32_t pin = 0; pin < 128; ++pin) {
    EXPECT_EQ(Function(pin), pin % 4) << "pin " << pin;
    EXPECT_EQ(gpio_->IsOutput(pin), pin % 3 == 0) << "pin " << pin;
  }
  for (std::uint32_t pin = 0; pin < 128; ++pin) SetPinLevel(pin, pin % 5 == 0);
  for (std::uint32_t pin = 0; pin < 128; ++pin) EXPECT_EQ(gpio_->Level(pin), pin % 5 == 0) << "pin " << pin;
}

TEST_F(PinsTest, Product8IndicesAreRebuiltFromTheRegisterOffsets) {
  Start(8);
  const std::uint32_t window = 0x40E100B4;
  for (int start = 0; start < 2; ++start) {  // the rebuild at a later open gives the same indices
    for (auto [pin, index] : {std::pair{0u, 0u}, {3u, 114u}, {73u, 257u}, {138u, 289u}}) {
      trace_.clear();
      SetPinFunction(pin, 6, 1);
      ASSERT_FALSE(TraceIn(kMuxPage).empty());
      EXPECT_EQ(TraceIn(kMuxPage).back(), Access('W', window + 4 * index, 6)) << "pin " << pin;
      EXPECT_EQ(Function(pin), 6u) << "pin " << pin;
      SetPinFunction(pin, 0, 1);
    }
    PinsClose();
  }
}

// --- the fold and bank 3 ---

TEST_F(PinsTest, Product2Pin130HasItsOwnPinMuxRegisterButTheBitsOfPin2) {
  Start(2);
  SetPinFunction(130, 3, 1);
  SetPinLevel(130, 1);
  EXPECT_EQ(TraceIn(kMuxPage).back(), Access('W', 0x40E1067C, 3));  // index 342
  EXPECT_EQ(TraceIn(kGpio),
            (std::vector<std::string>{Access('R', kGpio + 0x400, 0), Access('W', kGpio + 0x400, 4),
                                      Access('W', kGpio + 0x18, 4)}));
  EXPECT_EQ(Function(130), 3u);
  EXPECT_EQ(Function(2), 0u);
  EXPECT_TRUE(gpio_->IsOutput(2));
  EXPECT_TRUE(gpio_->Level(2));

  trace_.clear();
  SetPinDirection(130, 0);
  SetPinLevel(130, 0);
  EXPECT_EQ(trace_, (std::vector<std::string>{Access('R', kGpio + 0x420, 0), Access('W', kGpio + 0x420, 4),
                                              Access('W', kGpio + 0x24, 4)}));
  EXPECT_FALSE(gpio_->IsOutput(2));
  EXPECT_FALSE(gpio_->Level(2));
}

TEST_F(PinsTest, PlainPin100UsesTheBank3RegistersAndFunctionRegister0x6C) {
  Start(kPlainProduct);
  Preset(kGpio + 0x10C, 0x80000000);  // pin 127 an output
  SetPinFunction(100, 2, 1);
  SetPinLevel(100, 1);
  SetPinLevel(100, 0);
  SetPinDirection(100, 0);
  EXPECT_EQ(trace_, (std::vector<std::string>{
                        Access('R', kGpio + 0x6C, 0), Access('W', kGpio + 0x6C, 0x00000200),
                        Access('R', kGpio + 0x10C, 0x80000000), Access('W', kGpio + 0x10C, 0x80000010),
                        Access('W', kGpio + 0x118, 0x10), Access('W', kGpio + 0x124, 0x10),
                        Access('R', kGpio + 0x10C, 0x80000010), Access('W', kGpio + 0x10C, 0x80000000)}));
  EXPECT_EQ(Function(100), 2u);
  EXPECT_FALSE(gpio_->IsOutput(100));
  EXPECT_TRUE(gpio_->IsOutput(127));
}

// --- open and close ---

TEST_F(PinsTest, OpenAndCloseMapOnlyOnTheirTransitions) {
  Start(8);
  PinsClose();  // closed already: nothing to release
  EXPECT_EQ(MapCalls(), 0u);

  SetPinLevel(5, 1);  // opens lazily and stays open
  EXPECT_EQ(MapCalls(), 2u);
  EXPECT_EQ(Reservations(), 2u);
  PinsOpen();
  SetPinDirection(5, 1);
  EXPECT_EQ(MapCalls(), 2u);

  DrivePinHigh(73);  // finds the windows open and closes them
  EXPECT_EQ(MapCalls(), 2u);
  EXPECT_EQ(Reservations(), 0u);

  DrivePinHigh(73);  // maps again
  EXPECT_EQ(MapCalls(), 4u);
  EXPECT_EQ(Reservations(), 0u);
  EXPECT_TRUE(gpio_->IsOutput(5));
  EXPECT_TRUE(gpio_->Level(73));
}

// --- windows that cannot be mapped ---

TEST_F(PinsTest, AMissingPinMuxWindowLeavesFunctionAndDirectionAlone) {
  Start(2);
  module_->faults().Add({.op = sim::FaultOp::kVirtualCopy, .subject = sim::Hex(kMuxPage)});
  Preset(0x40E104DC, 0x00000005);

  DrivePinHigh(73);

  EXPECT_TRUE(TraceIn(kMuxPage).empty());
  EXPECT_EQ(Function(73), 5u);
  EXPECT_FALSE(gpio_->IsOutput(73));
  EXPECT_EQ(TraceIn(kGpio), (std::vector<std::string>{Access('W', kGpio + 0x20, 0x200)}));  // the latch only
  EXPECT_EQ(Reservations(), 0u);
}

TEST_F(PinsTest, AMissingGpioWindowTouchesNothing) {
  Start(kPlainProduct);
  module_->faults().Add({.op = sim::FaultOp::kVirtualCopy, .count = -1, .subject = sim::Hex(kGpio)});
  DrivePinHigh(73);
  SetPinDirection(10, 1);
  SetPinFunction(10, 1, 1);
  SetPinLevel(10, 1);
  EXPECT_TRUE(trace_.empty());
  PinsClose();
  EXPECT_EQ(Reservations(), 0u);
}

}  // namespace
