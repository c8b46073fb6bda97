// The NAND driver against the controller and chip models: data in and out of the cells, the spare
// area, ECC, failing blocks, the narrow first-block access and a status bit that never comes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "flash/nand/nand.h"
#include "sim/module.h"
#include "sim/hw/nand_controller.h"
#include "tests/support/module_fixture.h"

namespace {

using C = sim::NandController;

// A module with the given chip behind the controller, probed and configured as on a first start.
class ModelModule {
 public:
  explicit ModelModule(const char* chip) {
    sim::Description d = testing_support::BareDescription(folder_.path(), 5);
    d.flash = sim::ReadFlashConfig(nlohmann::json{{"type", "nand"}, {"chip", chip}}, d.folder);
    module_ = std::make_unique<sim::Module>(std::move(d));
    nand_ = module_->FindDevice<C>();
    EXPECT_EQ(NandProbe(1), 0);
  }
  ~ModelModule() {
    // The driver never misuses the controller.
    EXPECT_EQ(nand_->ProtocolErrors(), 0u) << (nand_->ProtocolLog().empty() ? "" : nand_->ProtocolLog()[0]);
  }

  C& nand() { return *nand_; }
  sim::Module& module() { return *module_; }

 private:
  testing_support::TempFolder folder_;
  std::unique_ptr<sim::Module> module_;
  C* nand_ = nullptr;
};

std::vector<u32> Pattern(std::size_t words, u32 seed) {
  std::vector<u32> out(words);
  for (std::size_t i = 0; i < words; ++i) out[i] = seed * 0x9E3779B9u + static_cast<u32>(i) * 0x01000193u;
  return out;
}

std::vector<std::uint8_t> Bytes(const std::vector<u32>& words) {
  std::vector<std::uint8_t> out(words.size() * 4);
  std::memcpy(out.data(), words.data(), out.size());
  return out;
}

bool AllErased(const std::vector<std::uint8_t>& bytes) {
  for (std::uint8_t b : bytes) {
    if (b != 0xFF) return false;
  }
  return true;
}

TEST(NandOnModel, ProgramThenReadBackAcrossPagesDevicesAndChipSelects) {
  struct Case {
    const char* chip;
    std::uint32_t offset, length;
  } cases[] = {
      {"0xDCAD", 0x1FFFF700, 0x1200},  // the last page of chip select 0 into the first two of chip select 1
      {"0x76EC", 0x8200, 0x1000},      // a pair of devices on the 16-bit bus
      {"0xF1EC", 0x13C0000, 0x2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chip);
    ModelModule m(c.chip);
    std::vector<u32> data = Pattern(c.length / 4, c.offset);
    EXPECT_EQ(NandProgramPage(data.data(), c.offset, c.length), 0);
    std::vector<u32> back(data.size());
    EXPECT_EQ(NandReadPage(back.data(), c.offset, c.length), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(m.nand().ReadFlash(c.offset, c.length), Bytes(data));
    // The bytes around the range were written as all ones: still erased.
    std::uint32_t page = m.nand().FlashPageBytes();
    std::uint32_t start = c.offset & ~(page - 1);
    EXPECT_TRUE(AllErased(m.nand().ReadFlash(start, c.offset - start)));
    EXPECT_TRUE(AllErased(m.nand().ReadFlash(c.offset + c.length, page - (c.offset + c.length) % page)));
  }
}

TEST(NandOnModel, SpareProgramThenSpareRead) {
  for (const char* chip : {"0xF1EC", "0x75EC"}) {
    SCOPED_TRACE(chip);
    ModelModule m(chip);
    const std::uint32_t offset = 2 * NandBlockSize() + NandPageSize();  // block 2, page 1
    NandSetEcc(1);
    std::vector<u32> spare = Pattern(8, 7);  // 32 bytes: within the spare area with ECC off
    EXPECT_EQ(NandWriteSpare(spare.data(), offset + 0x24, 32), 0);  // any byte of the page will do
    std::vector<u32> back(8);
    EXPECT_EQ(NandReadSpare(back.data(), offset, 32), 0);
    EXPECT_EQ(back, spare);
    EXPECT_TRUE(AllErased(m.nand().ReadFlash(offset, NandPageSize()))) << "the page data stays erased";

    // Spare transfer and ECC are off again.
    EXPECT_EQ(NandSpareSize(), 0u);
    NandSetSpare(1);
    EXPECT_EQ(NandSpareSize(), NandPageSize() == 2048 ? 64u : 32u);
    NandSetSpare(0);
    std::vector<u32> too_long(20);
    EXPECT_EQ(NandReadSpare(too_long.data(), offset, 80), 1);
  }
}

TEST(NandOnModel, EccCorrectsOneFlippedBitAndReportsTwo) {
  ModelModule m("0xD3EC");
  const std::uint32_t block = NandBlockSize();
  std::vector<u32> data = Pattern(512, 3);
  NandSetEcc(1);
  NandSetSpare(1);
  ASSERT_EQ(NandProgramPage(data.data(), 3 * block, 2048), 0);
  ASSERT_EQ(NandProgramPage(data.data(), 4 * block, 2048), 0);
  NandSetSpare(0);
  m.nand().AddBitFlips({0, 0, 3}, 0, 1, 11);
  m.nand().AddBitFlips({0, 0, 4}, 0, 2, 12);

  std::vector<u32> back(512);
  EXPECT_EQ(NandReadPage(back.data(), 3 * block, 2048), 0);
  EXPECT_EQ(back, data);
  EXPECT_EQ(m.nand().CorrectedBits(), 8u);  // one in each 256 bytes
  EXPECT_EQ(NandReadPage(back.data(), 4 * block, 2048), 2);
  EXPECT_NE(back, data);
}

TEST(NandOnModel, EccErrorOnTheFirstOfTwoPagesStillDeliversBoth) {
  ModelModule m("0xF1EC");
  const std::uint32_t offset = 8 * NandBlockSize();
  std::vector<u32> data = Pattern(1024, 5);
  NandSetEcc(1);
  NandSetSpare(1);
  ASSERT_EQ(NandProgramPage(data.data(), offset, 4096), 0);
  NandSetSpare(0);
  m.nand().AddBitFlips({0, 0, 8}, 0, 2, 1);

  std::vector<u32> back(1024, 0);
  EXPECT_EQ(NandReadPage(back.data(), offset, 4096), 2);
  EXPECT_TRUE(std::equal(back.begin() + 512, back.end(), data.begin() + 512)) << "the second page is clean";
  int differing = 0;
  for (int i = 0; i < 512; ++i) differing += __builtin_popcount(back[i] ^ data[i]);
  EXPECT_EQ(differing, 16) << "the first page as the cells hold it: two flips in each 256 bytes";
}

TEST(NandOnModel, FailingProgramOrEraseReportsABadBlockAndStopsTheWalk) {
  ModelModule m("0xF1EC");
  const std::uint32_t block = NandBlockSize(), page = NandPageSize();
  m.nand().FailProgram({0, 0, 6});
  m.nand().FailErase({0, 0, 7});
  // Three pages: the last of block 5, then the first two of block 6.
  std::vector<u32> data = Pattern(3 * page / 4, 9);
  EXPECT_EQ(NandProgramPage(data.data(), 6 * block - page, 3 * page), 5);
  EXPECT_EQ(m.nand().Counters({0, 0, 6}).programs, 1u) << "stopped before the third page";
  EXPECT_EQ(m.nand().ReadFlash(6 * block - page, page), Bytes(std::vector<u32>(data.begin(), data.begin() + page / 4)));

  EXPECT_EQ(NandEraseBlock(7 * block + 0x1234), 4);
  // The last page of a walk reporting the failure gives 4 alone.
  EXPECT_EQ(NandProgramPage(data.data(), 6 * block, page), 4);
}

TEST(NandOnModel, EraseLeavesTheBlockReadingAllOnes) {
  ModelModule m("0xDCAD");
  const std::uint32_t offset = 0x20000000 + 10 * NandBlockSize();  // on chip select 1
  std::vector<u32> data = Pattern(1024, 2);
  NandSetEcc(1);
  NandSetSpare(1);
  ASSERT_EQ(NandProgramPage(data.data(), offset + 0x800, 4096), 0);
  NandSetSpare(0);
  EXPECT_EQ(NandEraseBlock(offset + 0x1000), 0);
  EXPECT_EQ(m.nand().CommandLog().back().chip_select(), 1u);
  std::vector<u32> back(1024, 0);
  EXPECT_EQ(NandReadPage(back.data(), offset + 0x800, 4096), 0) << "an erased page reads clean with ECC on";
  EXPECT_EQ(back, std::vector<u32>(1024, 0xFFFFFFFF));
}

TEST(NandOnModel, NarrowFirstBlockAccessReachesDeviceZeroAlone) {
  ModelModule m("0x75EC");
  const std::uint32_t block = NandBlockSize();  // 32 KiB: two 16 KiB device blocks side by side
  ASSERT_EQ(NandEraseBlock(0), 0);
  std::vector<u32> data = Pattern(0x6000 / 4, 4);
  const std::uint64_t commands = m.nand().CommandCount();
  EXPECT_EQ(NandProgramPage(data.data(), 0, 0x6000), 0);
  EXPECT_EQ(m.nand().CommandCount() - commands, 32u) << "32 pages of 512 bytes: half the block";
  for (const sim::NandCommandRecord& r : m.nand().CommandLog()) {
    if (r.sequence > commands) {
      EXPECT_EQ(r.control & C::kCtrlWideBus, 0u);
    }
  }
  EXPECT_EQ(m.nand().ReadFlash(0, 0x4000, sim::NandView::kNarrow),
            Bytes(std::vector<u32>(data.begin(), data.begin() + 0x1000)));

  std::vector<u32> back(0x6000 / 4, 0x5A5A5A5A);
  EXPECT_EQ(NandReadPage(back.data(), 0, 0x6000), 0);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 0x1000, data.begin()));
  EXPECT_EQ(back[0x1000], 0x5A5A5A5Au) << "the excess length is left alone";

  // Back on the wide bus afterwards: a wide read of block 1 goes through as usual.
  EXPECT_EQ(NandReadPage(back.data(), block, 0x400), 0);
  EXPECT_NE(m.nand().CommandLog().back().control & C::kCtrlWideBus, 0u);

  // A range running past the first block is refused before any register access.
  const std::uint64_t accesses = m.module().bus().AccessCount();
  EXPECT_EQ(NandReadPage(back.data(), block - 0x200, 0x400), 1);
  EXPECT_EQ(NandProgramPage(data.data(), block - 0x200, 0x400), 1);
  EXPECT_EQ(m.module().bus().AccessCount(), accesses);

  // Past device 0's first block the 8-bit access would land in the device's second block, where
  // the even bytes of the flash's block 1 live: refused too, and block 1 keeps its data.
  std::vector<u32> block1 = Pattern(0x400 / 4, 9);
  ASSERT_EQ(NandEraseBlock(block), 0);
  ASSERT_EQ(NandProgramPage(block1.data(), block, 0x400), 0);
  EXPECT_EQ(NandProgramPage(data.data(), block / 2, 0x200), 1);
  EXPECT_EQ(NandReadPage(back.data(), block / 2 - 0x200, 0x400), 1);
  EXPECT_EQ(NandReadPage(back.data(), block, 0x400), 0);
  EXPECT_TRUE(std::equal(block1.begin(), block1.end(), back.begin()));
}

TEST(NandOnModel, AStatusBitThatNeverComesEndsEachWaitAfterItsBound) {
  ModelModule m("0xF1EC");
  m.nand().SetStatusNever(C::kStatusReady);
  EXPECT_EQ(NandReset(), 1);  // its command cleared the status; ready never shows again
  const std::uint64_t before = m.nand().StatusReads();
  EXPECT_EQ(NandWaitStatus(C::kStatusReady), -1);
  EXPECT_EQ(m.nand().StatusReads() - before, 1400002u);
  std::vector<u32> buffer(512);
  EXPECT_EQ(NandReadPage(buffer.data(), 0x40000, 2048), 1);
  m.nand().SetStatusNever(0);
  EXPECT_EQ(NandReadPage(buffer.data(), 0x40000, 2048), 0) << "the next command starts afresh";
}

}  // namespace
