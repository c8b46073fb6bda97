// The factory's NAND image and the operating system's flash driver stand-in: the empty table in a new
// image, factory-bad blocks already mapped, the signed map and the controller left set up.
#include <gtest/gtest.h>

#include "flash/flash_ops.h"
#include "tests/bbmt/bbmt_fixture.h"

namespace bbmt_test {
namespace {

TEST(NandOsDriver, ANewImageHasAnEmptyTableAndTheDriverSignsTheMapAndSetsUpTheController) {
  const std::uint32_t registers[][3] = {{0x00080B0B, 0x06240061, 0x080A1FFF}, {0x00080B0B, 0x06240061, 0x080C1FFF},
                                        {0x0003090B, 0x0F4E0091, 0x010DDFFF}, {0x0002090A, 0x082C0061, 0x018DDFFF},
                                        {0x0002090A, 0x0A340061, 0x010CDFFF}};
  for (std::size_t i = 0; i < std::size(kChips); ++i) {
    SCOPED_TRACE(kChips[i].chip);
    NandModule m(kChips[i].chip, {{"os_driver", true}, {"factory_bad_blocks", {7}}});
    std::vector<std::uint8_t> expected = m.MakeTable({{7, static_cast<std::uint16_t>(m.blocks() - 1)}});
    EXPECT_EQ(m.TableBytes(), expected);
    if (m.nand().chip().lanes > 1) {  // device 0's own block, as the 8-bit access sees it
      std::vector<std::uint8_t> other = m.nand().RawReadPage(0, 1, 0x3E00 / 512);
      EXPECT_EQ(std::count(other.begin(), other.begin() + 512, 0xFF), 512);
    }
    sim::Bus& bus = m.module().bus();
    EXPECT_EQ(bus.Read32(0x43100004), registers[i][0]);
    EXPECT_EQ(bus.Read32(0x4310000C), registers[i][1]);
    EXPECT_EQ(bus.Read32(0x43100000), registers[i][2]);
    ASSERT_TRUE(m.Signed());
    EXPECT_EQ(m.MapEntry(7), m.blocks() - 1);
    EXPECT_EQ(m.MapEntry(8), 8);
    // The launcher takes the signed path and works through the controller as it was left.
    ASSERT_EQ(FlashInit(), 2);
    auto data = Pattern(0x400, 2);
    ASSERT_TRUE(WriteLogical(7 * m.block_bytes() + 0x400, data));
    EXPECT_EQ(m.Physical((m.blocks() - 1) * m.block_bytes() + 0x400, 0x400), data);
    EXPECT_EQ(m.Counters(7).programs, 0u);
    EXPECT_EQ(m.nand().ProtocolErrors(), 0u);
  }
}

TEST(NandOsDriver, FactoryBadSparesAreRetiredAndUnmappableListsAreRefused) {
  {
    NandModule m("0xF1EC", {{"factory_bad_blocks", {9, 5, 1023}}});
    std::vector<sim::BbmtEntry> e = m.AllEntries();
    ASSERT_EQ(e.size(), 3u);  // 1023 is a bad spare: recorded retired, never handed out
    EXPECT_EQ((std::vector<std::uint16_t>{e[0].logical, e[0].replacement, e[1].logical, e[1].replacement,
                                          e[2].logical, e[2].replacement}),
              (std::vector<std::uint16_t>{0, 1023, 5, 1022, 9, 1021}));
  }

  testing_support::TempFolder folder;
  auto start = [&](nlohmann::json flash) {
    sim::Description d = testing_support::BareDescription(folder.path(), kNandCpuProduct);
    d.flash = sim::ReadFlashConfig(flash, d.folder);
    sim::Module module(d);
  };
  nlohmann::json many = nlohmann::json::array();
  for (int b = 100; b < 121; ++b) many.push_back(b);  // 21 bad blocks, 20 spares
  for (const nlohmann::json& bad : {nlohmann::json::array({0}), many}) {
    EXPECT_THROW(start({{"type", "nand"}, {"chip", "0xF1EC"}, {"factory_bad_blocks", bad}}), sim::DescriptionError);
  }
  EXPECT_THROW(start({{"type", "nand"}, {"chip", "0xF1EC"}, {"os_driver", "yes"}}), sim::DescriptionError);

  // A refused list leaves no image behind that a later start would take as prepared.
  EXPECT_THROW(start({{"type", "nand"}, {"chip", "0xF1EC"}, {"image", "nand.img"}, {"factory_bad_blocks", many}}),
               sim::DescriptionError);
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "nand.img"));
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "nand.img.json"));
}

TEST(NandOsDriver, AnImageKeepsItsTableAcrossPowerCyclesAndATableWithoutMagicIsNotSigned) {
  NandModule m("0x75EC", {{"image", "nand.img"}});
  ASSERT_EQ(FlashInit(), 2);
  m.FailErase(33);
  ASSERT_EQ(FlashOps.Erase(33 * 0x8000, 0x8000), 1);
  m.PowerCycle();
  EXPECT_FALSE(m.Signed());  // a power-on starts without the shared map
  ASSERT_EQ(m.AllEntries().size(), 1u);
  ASSERT_EQ(FlashInit(), 2);
  EXPECT_EQ(m.MapEntry(33), 2047);

  m.WriteTable({}, /*magic=*/false);
  m.PowerCycle({{"os_driver", true}});
  EXPECT_FALSE(m.Signed());
  EXPECT_NE(m.module().Reports().back().find("no magic"), std::string::npos);
  EXPECT_EQ(FlashInit(), 0);
}

}  // namespace
}  // namespace bbmt_test
