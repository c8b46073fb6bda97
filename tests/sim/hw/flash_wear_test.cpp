// Wear of the flash models: what a device performs counts for its block, failed and cut operations
// included, what it refuses or never takes does not, and the counts stay with the image.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <tuple>

#include "sim/hw/nor_flash.h"
#include "tests/sim/hw/nand_port.h"

namespace {

using nandmodel_test::C;
using nandmodel_test::Cmd;
using nandmodel_test::Control;
using nandmodel_test::J;
using nandmodel_test::NandModule;
using sim::ImageStore;

using Wear = ImageStore::BlockWear;
// (region, block) -> counts; every block not named counts nothing.
using WearMap = std::map<std::pair<std::uint32_t, std::uint32_t>, Wear>;

void ExpectWear(const sim::NandImage& image, const WearMap& want) {
  for (std::uint32_t region = 0; region < image.layout().regions.size(); ++region) {
    for (std::uint32_t b = 0; b < image.layout().blocks; ++b) {
      auto it = want.find({region, b});
      const Wear expected = it == want.end() ? Wear{} : it->second;
      const Wear& have = image.Wear(region, b);
      if (have != expected) {
        ADD_FAILURE() << "region " << region << " block " << b << ": " << have.programs << " programs, "
                      << have.erases << " erases; expected " << expected.programs << ", " << expected.erases;
      }
    }
  }
}

TEST(NandWear, EveryProgramAndEraseTheDevicePerformsCountsFailedAndCutOnesTooAndStaysWithTheImage) {
  const nlohmann::json flash = J(R"({"chip": "0xF1EC", "image": "nand.img"})");
  nlohmann::json faulty = flash;
  faulty["faults"] = J(R"({"program_fail": [{"block": 9}]})");
  NandModule m(faulty);
  m.SetReg(C::kRegControl, Control({}));
  const std::vector<std::uint32_t> zeros(512, 0);
  for (std::uint32_t page = 0; page < 3; ++page)
    EXPECT_EQ(m.ProgramLarge(5 * 64 + page, zeros) & 0x1F0, C::kStatusDoneCs0);
  EXPECT_EQ(m.EraseLarge(5 * 64 + 7) & 0x1F0, C::kStatusDoneCs0);
  EXPECT_EQ(m.EraseLarge(5 * 64) & 0x1F0, C::kStatusDoneCs0);
  EXPECT_EQ(m.ProgramLarge(9 * 64, zeros) & C::kStatusBadBlockCs0, C::kStatusBadBlockCs0);
  m.ReadLarge(20 * 64, 512);  // reads wear nothing
  // An erase confirm with no setup before it: the device does not take it.
  m.Issue(Cmd(C::kTypeErase, 0xD0, 0, 0));
  m.Outcome();
  m.ExpectErrors(1);
  ExpectWear(m.nand().image(), {{{0, 5}, {3, 2}}, {{0, 9}, {1, 0}}});

  // The counts outlive the power and the fault plan; a cut erase counts.
  m.Restart(flash);
  m.ExpectErrors(0);
  m.SetReg(C::kRegControl, Control({}));
  ExpectWear(m.nand().image(), {{{0, 5}, {3, 2}}, {{0, 9}, {1, 0}}});
  m.nand().SchedulePowerCut(1, sim::NandOperation::kErase);
  EXPECT_THROW(m.EraseLarge(12 * 64), sim::PowerCut);
  m.Restart(flash);
  ExpectWear(m.nand().image(), {{{0, 5}, {3, 2}}, {{0, 9}, {1, 0}}, {{0, 12}, {0, 1}}});
  // The back door (the factory, the tools) wears nothing.
  m.nand().RawEraseBlock({0, 0, 30});
  m.nand().RawProgramPage(0, 0, 30 * 64, std::vector<std::uint8_t>(16, 0));
  ExpectWear(m.nand().image(), {{{0, 5}, {3, 2}}, {{0, 9}, {1, 0}}, {{0, 12}, {0, 1}}});
}

TEST(NandWear, EachDeviceCountsItsOwnBlocksPerLaneAndChipSelect) {
  {
    NandModule pair(J(R"({"chip": "0x75EC"})"));
    const std::uint32_t program = Cmd(C::kTypeProgram, 0x80, 0x10, 3, 0, true);
    pair.SetReg(C::kRegControl, Control({.large = false, .wide = true}));
    pair.Issue(program, (32 * 3 + 1) << 8);  // block 3 of 32-page blocks
    pair.WriteFifo(std::vector<std::uint32_t>(2 * 512 / 4, 0));
    pair.Outcome();
    // The 8-bit bus reaches device 0 alone.
    pair.SetReg(C::kRegControl, Control({.large = false}));
    pair.Issue(program, (32 * 4) << 8);
    pair.WriteFifo(std::vector<std::uint32_t>(512 / 4, 0));
    pair.Outcome();
    ExpectWear(pair.nand().image(), {{{0, 3}, {1, 0}}, {{1, 3}, {1, 0}}, {{0, 4}, {1, 0}}});
  }

  NandModule two(J(R"({"chip": "0xDCAD"})"));
  two.SetReg(C::kRegControl, Control({}));
  two.EraseLarge(2 * 64, 1);
  two.EraseLarge(2 * 64, 1);
  two.EraseLarge(3 * 64, 0);
  ExpectWear(two.nand().image(), {{{1, 2}, {0, 2}}, {{0, 3}, {0, 1}}});
}

// A command to both devices of the NOR pair.
constexpr std::uint32_t Both(std::uint8_t command) { return command * 0x00010001u; }

TEST(NorWear, ProgramsAndErasesADeviceStartsCountPerDeviceAndBlockALockedBlocksRefusalDoesNot) {
  testing_support::TempFolder folder;
  sim::Clock clock(sim::Clock::Kind::kVirtual);
  sim::NorFlashConfig config;
  config.image = folder.path() / "flash.img";
  constexpr std::uint32_t kBlock = 0x1000000;  // a 256 KiB block on the bus
  {
    sim::NorFlash nor(clock, config);
    auto write = [&](std::uint32_t offset, std::uint32_t value) {
      nor.Write32(offset, value);
      clock.Advance(sim::NorFlash::kBlockEraseNs);
    };
    write(kBlock, Both(sim::NorFlash::kCmdEraseSetup));  // locked: refused, touches nothing
    write(kBlock, Both(sim::NorFlash::kCmdConfirm));
    write(kBlock, Both(sim::NorFlash::kCmdClearStatus));
    EXPECT_EQ(nor.Wear(kBlock, 0), Wear{});
    write(kBlock, Both(sim::NorFlash::kCmdLockSetup));
    write(kBlock, Both(sim::NorFlash::kCmdConfirm));
    write(kBlock, Both(sim::NorFlash::kCmdEraseSetup));
    write(kBlock, Both(sim::NorFlash::kCmdConfirm));
    // A word program on device 1 alone, a buffered program of two words on both.
    write(kBlock + 8, 0x0040'00FF);
    write(kBlock + 8, 0x1234'FFFF);
    write(kBlock, Both(sim::NorFlash::kCmdWriteToBuffer));
    write(kBlock, 0x0001'0001);
    write(kBlock, 0);
    write(kBlock + 4, 0);
    write(kBlock, Both(sim::NorFlash::kCmdConfirm));
    EXPECT_EQ(nor.PeekWord(kBlock + 8), 0x1234'FFFFu);
    EXPECT_EQ(nor.Wear(kBlock, 0), (Wear{1, 1}));
    EXPECT_EQ(nor.Wear(kBlock + 0x3FFFC, 1), (Wear{2, 1})) << "anywhere in the block";
    EXPECT_EQ(nor.Wear(0, 0), Wear{});
    EXPECT_EQ(nor.Wear(kBlock + 0x40000, 0), Wear{});
    nor.Poke(0, std::vector<std::uint8_t>(4, 0));
    EXPECT_EQ(nor.Wear(0, 0), Wear{}) << "the factory's writing wears nothing";
  }
  sim::NorFlash again(clock, config);
  EXPECT_EQ(again.Wear(kBlock, 0), (Wear{1, 1}));
  EXPECT_EQ(again.Wear(kBlock, 1), (Wear{2, 1}));
}

}  // namespace
