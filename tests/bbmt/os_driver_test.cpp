// The factory's NAND image and the operating system's flash driver stand-in: the empty table in a new
// image, factory-bad blocks already mapped, the signed map and the controller left set up.
#include <gtest/gtest.h>

#include "flash/flash_ops.h"
#include "tests/bbmt/bbmt_fixture.h"

namespace bbmt_test {
namespace {

TEST(NandImage, ANewImageCarriesAnEmptyTableAtTheChipsPlace) {
  for (const ChipFacts& chip : kChips) {
    SCOPED_TRACE(chip.chip);
    NandModule m(chip.chip);
    std::vector<std::uint8_t> t = m.TableBytes();
    ASSERT_EQ(t.size(), chip.table_length);
    EXPECT_EQ(t[0], 0x4E);
    EXPECT_EQ(t[1], 0x52);
    EXPECT_EQ(t[4], 0xFF);  // the end marker in the first slot
    EXPECT_EQ(t[5], 0xFF);
    for (std::size_t i = 4; i < t.size(); ++i) ASSERT_EQ(t[i], 0xFF) << i;
    // Nothing else of block 0 is written.
    EXPECT_TRUE(m.PhysicalBlank(0, chip.table_offset));
    if (m.nand().chip().lanes > 1) {
      // Device 0's own first block, as the 8-bit access sees it; device 1 keeps its block erased.
      EXPECT_EQ(m.nand().ReadFlash(0x3E00, 2, sim::NandView::kNarrow), (std::vector<std::uint8_t>{0x4E, 0x52}));
      std::vector<std::uint8_t> raw = m.nand().RawReadPage(0, 1, 0x3E00 / 512);
      for (std::size_t i = 0; i < 512; ++i) ASSERT_EQ(raw[i], 0xFF) << i;
    }
    EXPECT_EQ(FlashInit(), 2);
    EXPECT_TRUE(m.Signed());
  }
}

TEST(NandImage, FactoryBadBlocksFailAndAreAlreadyMappedToSparesFromTheTopDown) {
  // 1023 is a bad spare: recorded as retired, so it is never handed out.
  NandModule m("0xF1EC", {{"factory_bad_blocks", {9, 5, 1023}}});
  std::vector<sim::BbmtEntry> entries = m.AllEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].logical, 0);
  EXPECT_EQ(entries[0].replacement, 1023);
  EXPECT_EQ(entries[1].logical, 5);
  EXPECT_EQ(entries[1].replacement, 1022);
  EXPECT_EQ(entries[2].logical, 9);
  EXPECT_EQ(entries[2].replacement, 1021);

  ASSERT_EQ(FlashInit(), 2);
  EXPECT_EQ(m.MapEntry(5), 1022);
  EXPECT_EQ(m.MapEntry(9), 1021);
  // Writes to logical block 5 land in its spare and never meet the bad block.
  auto data = Pattern(0x800, 1);
  auto words = Words(data);
  EXPECT_EQ(FlashOps.Write(words.data(), 5 * 0x20000, 0x800), 1);
  EXPECT_EQ(m.Physical(1022 * 0x20000, 0x800), data);
  EXPECT_EQ(m.Counters(5).programs, 0u);
}

TEST(NandImage, FactoryBadBlocksThatCannotBeMappedAreDescriptionErrors) {
  testing_support::TempFolder folder;
  auto make = [&](nlohmann::json bad) {
    sim::Description d = testing_support::BareDescription(folder.path(), kNandCpuProduct);
    d.flash = {{"type", "nand"}, {"chip", "0xF1EC"}, {"factory_bad_blocks", bad}};
    sim::Module module(d);
  };
  EXPECT_THROW(make({0}), sim::DescriptionError);  // the table's own block
  nlohmann::json many = nlohmann::json::array();
  for (int b = 100; b < 121; ++b) many.push_back(b);  // 21 bad blocks, 20 spares
  try {
    make(many);
    ADD_FAILURE() << "no error";
  } catch (const sim::DescriptionError& e) {
    EXPECT_NE(std::string(e.what()).find("flash.factory_bad_blocks"), std::string::npos) << e.what();
  }
}

TEST(NandImage, AnImageFileKeepsItsTableAcrossPowerCycles) {
  NandModule m("0x75EC", {{"image", "nand.img"}});
  ASSERT_EQ(FlashInit(), 2);
  m.FailErase(33);
  ASSERT_EQ(FlashOps.Erase(33 * 0x8000, 0x8000), 1);  // replaced by the top block
  ASSERT_EQ(m.AllEntries().size(), 1u);

  m.PowerCycle();
  EXPECT_FALSE(m.Signed());  // a power-on starts without the shared map
  std::vector<sim::BbmtEntry> entries = m.AllEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].logical, 33);
  EXPECT_EQ(entries[0].replacement, 2047);
  ASSERT_EQ(FlashInit(), 2);
  EXPECT_EQ(m.MapEntry(33), 2047);
}

TEST(NandOsDriver, SignsTheMapFromTheTableAndLeavesTheControllerSetUp) {
  struct Case {
    const char* chip;
    std::uint32_t timing0, timing1, control;
  };
  const Case cases[] = {
      {"0x75EC", 0x00080B0B, 0x06240061, 0x080A1FFF}, {"0x76EC", 0x00080B0B, 0x06240061, 0x080C1FFF},
      {"0xD3EC", 0x0002090A, 0x082C0061, 0x018DDFFF}, {"0xF1EC", 0x0003090B, 0x0F4E0091, 0x010DDFFF},
      {"0xDCAD", 0x0002090A, 0x0A340061, 0x010CDFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chip);
    NandModule m(c.chip, {{"os_driver", true}, {"factory_bad_blocks", {7}}});
    sim::Bus& bus = m.module().bus();
    EXPECT_EQ(bus.Read32(0x43100004), c.timing0);
    EXPECT_EQ(bus.Read32(0x4310000C), c.timing1);
    EXPECT_EQ(bus.Read32(0x43100000), c.control);
    ASSERT_TRUE(m.Signed());
    EXPECT_EQ(m.MapEntry(7), m.blocks() - 1);
    EXPECT_EQ(m.MapEntry(8), 8);

    // The launcher takes the signed path and reads and writes through the controller as left.
    ASSERT_EQ(FlashInit(), 2);
    auto data = Pattern(0x400, 2);
    auto words = Words(data);
    ASSERT_EQ(FlashOps.Write(words.data(), 7 * m.block_bytes() + 0x400, 0x400), 1);
    std::vector<std::uint32_t> back(0x100);
    ASSERT_EQ(FlashOps.Read(back.data(), 7 * m.block_bytes() + 0x400, 0x400), 1);
    EXPECT_EQ(Bytes(back), data);
    EXPECT_EQ(m.nand().ProtocolErrors(), 0u);
  }
}

TEST(NandOsDriver, ATableWithoutMagicLeavesTheMapUnsignedAndTheLauncherFails) {
  NandModule m("0xF1EC", {{"image", "nand.img"}});
  m.WriteTable({}, /*magic=*/false);
  m.PowerCycle({{"os_driver", true}});
  EXPECT_FALSE(m.Signed());
  ASSERT_FALSE(m.module().Reports().empty());
  EXPECT_NE(m.module().Reports().back().find("no magic"), std::string::npos);
  EXPECT_EQ(FlashInit(), 0);
  EXPECT_FALSE(m.Signed());
}

TEST(NandOsDriver, OsDriverMustBeTrueOrFalse) {
  testing_support::TempFolder folder;
  sim::Description d = testing_support::BareDescription(folder.path(), kNandCpuProduct);
  d.flash = {{"type", "nand"}, {"chip", "0xF1EC"}, {"os_driver", "yes"}};
  EXPECT_THROW(sim::Module module(d), sim::DescriptionError);
}

}  // namespace
}  // namespace bbmt_test
