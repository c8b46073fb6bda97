// Physical windows and the processor's product number, on the simulated module's address space.
#include "hw/physwin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "hw/cpu_regs.h"
#include "sim/core/faults.h"
#include "sim/core/text.h"
#include "sim/module.h"
#include "tests/support/module_fixture.h"

namespace {

class PhysWinTest : public ::testing::Test {
 protected:
  PhysWinTest() : module_(testing_support::BareDescription(folder_.path())) {}

  const sim::AddressSpace& Space() { return module_.address_space(); }
  std::uintptr_t OnlyReservation() {
    EXPECT_EQ(Space().Reservations().size(), 1u);
    return Space().Reservations().empty() ? 0 : Space().Reservations().begin()->first;
  }
  // The pieces mapped into the one reservation, relative to its base, with their sizes.
  std::vector<std::tuple<std::uintptr_t, std::uint32_t, std::uint32_t>> Pieces() {
    std::vector<std::tuple<std::uintptr_t, std::uint32_t, std::uint32_t>> out;
    std::uintptr_t base = OnlyReservation();
    for (const auto& m : Space().Reservations().begin()->second.mappings) {
      out.push_back({m.address - base, m.physical, m.bytes});
    }
    return out;
  }
  void FailMapping(std::uint32_t physical) {
    module_.faults().Add({.op = sim::FaultOp::kVirtualCopy, .subject = sim::Hex(physical)});
  }

  testing_support::TempFolder folder_;
  sim::Module module_;
};

TEST_F(PhysWinTest, OnePageWindowPointsIntoThePageThatHoldsTheAddress) {
  volatile u32* window = MapPhysWindow(0x40E10124);
  ASSERT_NE(window, nullptr);
  std::uintptr_t base = OnlyReservation();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(window), base + 0x124);
  const sim::AddressSpace::MapCall& call = Space().MapCalls().back();
  EXPECT_EQ(call.physical, 0x40E10000u);
  EXPECT_EQ(call.bytes, 0x1000u);
  EXPECT_EQ(call.protect, 0x604u);

  volatile u32* same = MapPhysWindow(0x40E10126);  // the two lowest bits are dropped
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(same) & 0xFFF, 0x124u);
  UnmapPhysWindow(same);
  UnmapPhysWindow(window);
  EXPECT_TRUE(Space().Reservations().empty());
}

TEST_F(PhysWinTest, RegionsAreMappedInPiecesOfAtMost32MiB) {
  volatile u32* flash = MapPhysRegion(0, 0x4000000);
  ASSERT_NE(flash, nullptr);
  EXPECT_EQ(Space().Reservations().begin()->second.bytes, 0x4000000u);
  using Piece = std::tuple<std::uintptr_t, std::uint32_t, std::uint32_t>;
  EXPECT_EQ(Pieces(), (std::vector<Piece>{{0, 0, 0x2000000}, {0x2000000, 0x2000000, 0x2000000}}));
  UnmapPhysWindow(flash);

  volatile u32* odd = MapPhysRegion(0x800, 0x1000);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(odd), OnlyReservation() + 0x800);
  EXPECT_EQ(Pieces(), (std::vector<Piece>{{0, 0, 0x2000}}));
  UnmapPhysWindow(odd);

  volatile u32* more = MapPhysRegion(0x10000000, 0x2001000);
  ASSERT_NE(more, nullptr);
  EXPECT_EQ(Pieces(), (std::vector<Piece>{{0, 0x10000000, 0x2000000}, {0x2000000, 0x12000000, 0x1000}}));
  UnmapPhysWindow(more);
  EXPECT_TRUE(Space().Reservations().empty());
}

TEST_F(PhysWinTest, FailedMappingsReleaseEverythingAndYieldNull) {
  FailMapping(0x2000000);
  EXPECT_EQ(MapPhysRegion(0, 0x4000000), nullptr);
  EXPECT_TRUE(Space().Reservations().empty());

  FailMapping(0x40E10000);
  EXPECT_EQ(MapPhysWindow(0x40E100B4), nullptr);
  EXPECT_TRUE(Space().Reservations().empty());

  module_.faults().Add({.op = sim::FaultOp::kVirtualAlloc, .subject = ""});
  EXPECT_EQ(MapPhysWindow(0x43100000), nullptr);

  // Zero pages, and spans that would wrap or pass the top of the address space, map nothing.
  std::size_t calls = Space().MapCalls().size();
  EXPECT_EQ(MapPhysRegion(0x1000, 0), nullptr);
  EXPECT_EQ(MapPhysRegion(0x800, 0xFFFFF000), nullptr);
  EXPECT_EQ(MapPhysRegion(0xFFFFF000, 0x2000), nullptr);
  EXPECT_EQ(Space().MapCalls().size(), calls);
  EXPECT_TRUE(Space().Reservations().empty());
}

TEST(CpuProductNumber, IsBitsNineToFourOfTheMainId) {
  testing_support::TempFolder folder;
  for (std::uint32_t main_id : {0x00000110u, 0x69054117u, 0xFFFFFD1Fu, 0x12345510u}) {
    sim::Description d = testing_support::BareDescription(folder.path());
    d.cpu_main_id = main_id;
    sim::Module module(d);
    EXPECT_EQ(ReadCpuProductNumber(), 17u) << sim::Hex(main_id);
  }
  sim::Module module(testing_support::BareDescription(folder.path(), 8));
  EXPECT_EQ(ReadCpuProductNumber(), 8u);
}

}  // namespace
