// The GPIO and pin-mux models' register contracts, seen from the bus.
#include <gtest/gtest.h>

#include "sim/hw/gpio.h"
#include "sim/hw/pin_mux.h"
#include "sim/module.h"
#include "tests/support/module_fixture.h"

namespace {

using sim::GpioModel;

constexpr std::uint32_t kGpio = GpioModel::kGpioBase;

TEST(GpioModel, EveryModuleCarriesTheLayoutOfItsProcessor) {
  testing_support::TempFolder folder;
  for (auto [product, layout, pins] : {std::tuple{17u, GpioModel::Layout::kPlain, 128u},
                                       {2u, GpioModel::Layout::kPinMuxProduct2, 146u},
                                       {8u, GpioModel::Layout::kPinMuxProduct8, 139u}}) {
    sim::Module module(testing_support::BareDescription(folder.path(), product));
    GpioModel* gpio = module.FindDevice<GpioModel>();
    ASSERT_NE(gpio, nullptr);
    EXPECT_EQ(gpio->layout(), layout) << "product " << product;
    EXPECT_EQ(gpio->PinCount(), pins) << "product " << product;
    // The pin-mux page is a device of its own, on the layouts that have one.
    sim::PinMux* mux = module.FindDevice<sim::PinMux>();
    ASSERT_EQ(mux != nullptr, layout != GpioModel::Layout::kPlain) << "product " << product;
    if (mux) {
      EXPECT_EQ(mux->PinCount(), pins) << "product " << product;
      EXPECT_EQ(module.board().At(sim::PinMux::kBase), mux);
    }
  }
}

TEST(GpioModel, SetAndClearRegistersActOnTheirOneBitsAndReadAsZero) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path(), 2));
  sim::Bus& bus = module.bus();
  GpioModel& gpio = *module.FindDevice<GpioModel>();
  sim::PinMux& mux = *module.FindDevice<sim::PinMux>();

  bus.Write32(kGpio + 0x118, 0x00000011);  // bank 3 level set: pins 96 and 100
  bus.Write32(kGpio + 0x124, 0x00000001);  // bank 3 level clear: pin 96
  EXPECT_EQ(bus.Read32(kGpio + 0x100), 0x00000010u);
  EXPECT_TRUE(gpio.Level(100));
  EXPECT_EQ(bus.Read32(kGpio + 0x118), 0u);
  bus.Write32(kGpio + 0x18, 0x00000010);  // bank 0 level set: pin 4
  EXPECT_TRUE(gpio.Level(132));           // the fold: pin 132 has pin 4's bits

  bus.Write32(kGpio + 0x404, 0x00000003);
  bus.Write32(kGpio + 0x424, 0x00000001);
  EXPECT_FALSE(gpio.IsOutput(32));
  EXPECT_TRUE(gpio.IsOutput(33));
  EXPECT_EQ(bus.Read32(kGpio + 0x404), 0u);
  EXPECT_EQ(bus.Read32(kGpio + 0x424), 0u);

  // A pin-mux register keeps every bit; the function is bits 0..2.
  bus.Write32(mux.RegisterAddress(145), 0xABCD1236);
  EXPECT_EQ(mux.Peek(0x40E104EC), 0xABCD1236u);
  EXPECT_EQ(mux.Function(145), 6u);
  EXPECT_THROW(gpio.Function(145), std::logic_error) << "the function is the pin mux's";
}

TEST(GpioModel, AccessesWithoutARegisterAreBusFaults) {
  testing_support::TempFolder folder;
  {
    sim::Module plain(testing_support::BareDescription(folder.path(), 17));
    EXPECT_THROW(plain.bus().Read32(kGpio + 0x400), sim::BusFault);     // direction set: pin-mux layouts only
    EXPECT_THROW(plain.bus().Read32(kGpio + 0x74), sim::BusFault);      // past the function registers
    EXPECT_THROW(plain.bus().Read32(0x40E104DC), sim::BusFault);        // no pin-mux page
    EXPECT_THROW(plain.bus().Write32(kGpio + 0x04, 1), sim::BusFault);  // the level registers are read-only
    EXPECT_NO_THROW(plain.bus().Write32(kGpio + 0x70, 0x0000000C));     // function register of pins 112..127
    EXPECT_EQ(plain.FindDevice<GpioModel>()->Function(113), 3u);
  }
  sim::Module product8(testing_support::BareDescription(folder.path(), 8));
  EXPECT_THROW(product8.bus().Read32(kGpio + 0x0C), sim::BusFault);      // no plain direction register
  EXPECT_THROW(product8.bus().Write32(kGpio + 0x54, 0), sim::BusFault);  // no alternate-function fields
  EXPECT_THROW(product8.bus().Read32(0x40E10124), sim::BusFault);        // product 2's pin 0, not product 8's
  EXPECT_NO_THROW(product8.bus().Read32(0x40E100B4));
  EXPECT_THROW(product8.bus().Read32(0x40E10520), sim::BusFault);  // the gap between pins 98 and 135
}

}  // namespace
