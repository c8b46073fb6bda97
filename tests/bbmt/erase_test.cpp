// Erasing ranges through FlashOps on NAND: whole blocks, the range checks, the Progress protocol, and
// reads that fail where the table or a migration needs them.
#include <gtest/gtest.h>

#include "flash/bbmt/bbmt.h"
#include "flash/flash_ops.h"
#include "tests/bbmt/bbmt_fixture.h"

namespace bbmt_test {
namespace {

std::vector<std::uint32_t> ErasedBlocks(NandModule& m) {
  std::vector<std::uint32_t> erased;
  for (std::uint32_t b = 0; b < m.blocks(); ++b) {
    if (m.Counters(b).erases != 0) erased.push_back(b);
  }
  return erased;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> gCalls;
std::uint32_t gStopAt = 0xFFFFFFFF;

i32 RecordProgress(u32 done, u32 total) {
  gCalls.emplace_back(done, total);
  return gCalls.size() < gStopAt ? 1 : 0;
}

TEST(BbmtEraseRange, TheTesterRegionIsTwoLargeBlocksOrEightSmallOnes) {
  {
    NandModule m("0xF1EC");
    ASSERT_EQ(FlashInit(), 2);
    EXPECT_EQ(FlashOps.Erase(kTesterRegion, 0x40000), 1);
    EXPECT_EQ(ErasedBlocks(m), (std::vector<std::uint32_t>{0x13C0000 / 0x20000, 0x13E0000 / 0x20000}));
  }
  {
    NandModule m("0x75EC");
    ASSERT_EQ(FlashInit(), 2);
    EXPECT_EQ(FlashOps.Erase(kTesterRegion, 0x40000), 1);
    std::vector<std::uint32_t> eight;
    for (std::uint32_t b = 0x13C0000 / 0x8000; b < 0x1400000 / 0x8000; ++b) eight.push_back(b);
    EXPECT_EQ(ErasedBlocks(m), eight);
  }
}

TEST(BbmtEraseRange, ARangeIsWidenedToWholeBlocksAndChecked) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x20000;
  EXPECT_EQ(FlashOps.Erase(0x13C1000, 0x1000), 1);
  EXPECT_EQ(ErasedBlocks(m), (std::vector<std::uint32_t>{0x13C0000 / B}));

  std::uint64_t commands = m.nand().CommandCount();
  EXPECT_EQ(FlashOps.Erase(0x13E0000, 0), 1);  // nothing to erase
  const std::uint32_t usable = FlashOps.UsableSize;
  EXPECT_EQ(FlashOps.Erase(usable - B, B + 4), 0);  // takes in the block beyond the usable size
  EXPECT_EQ(FlashOps.Erase(usable, 4), 0);
  EXPECT_EQ(m.nand().CommandCount(), commands);
  EXPECT_EQ(FlashOps.Erase(usable - B, B), 1);  // the last usable block
}

TEST(BbmtEraseRange, ProgressIsReportedBeforeEachBlockAsTheStepAsks) {
  NandModule m("0x76EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x8000;
  FlashOps.Progress = RecordProgress;

  gCalls.clear();
  gStopAt = 0xFFFFFFFF;
  FlashOps.ProgressStep = 0;
  EXPECT_EQ(FlashOps.Erase(100 * B, 3 * B), 1);
  EXPECT_EQ(gCalls, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 3 * B}, {B, 3 * B}, {2 * B, 3 * B}}));

  gCalls.clear();
  FlashOps.ProgressStep = 2 * B;
  EXPECT_EQ(FlashOps.Erase(200 * B, 3 * B), 1);
  EXPECT_EQ(gCalls, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 3 * B}, {2 * B, 3 * B}}));

  // A step so large that the next mark would pass 2^32 reports once.
  gCalls.clear();
  FlashOps.ProgressStep = 0xFFFFFFF0;
  EXPECT_EQ(FlashOps.Erase(300 * B, 3 * B), 1);
  EXPECT_EQ(gCalls.size(), 1u);

  // A hook that says stop before the first block: nothing erased.
  gCalls.clear();
  gStopAt = 1;
  FlashOps.ProgressStep = 0;
  std::uint64_t erases = m.Counters(400).erases;
  EXPECT_EQ(FlashOps.Erase(400 * B, 3 * B), 0);
  EXPECT_EQ(m.Counters(400).erases, erases);
  EXPECT_EQ(gCalls.size(), 1u);

  // Stop before the third: the first two stay erased.
  gCalls.clear();
  gStopAt = 3;
  EXPECT_EQ(FlashOps.Erase(500 * B, 3 * B), 0);
  EXPECT_EQ(m.Counters(500).erases, 1u);
  EXPECT_EQ(m.Counters(501).erases, 1u);
  EXPECT_EQ(m.Counters(502).erases, 0u);
  FlashOps.Progress = nullptr;
}

TEST(BbmtEraseRange, ABadBlockMetInTheRangeIsReplacedAndTheRangeGoesOn) {
  NandModule m("0x75EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t first = kTesterRegion / 0x8000;
  m.FailErase(first + 2);
  m.FailErase(first + 5);
  EXPECT_EQ(FlashOps.Erase(kTesterRegion, 0x40000), 1);
  EXPECT_EQ(m.MapEntry(first + 2), 2047);
  EXPECT_EQ(m.MapEntry(first + 5), 2046);
  EXPECT_EQ(m.AllEntries().size(), 2u);
  for (std::uint32_t b = first; b < first + 8; ++b) EXPECT_GE(m.Counters(m.MapEntry(b)).erases, 1u) << b;
}

// --- reads that fail where the layer depends on them (each waits out the driver's poll bound) ---

// Makes every later read command time out from the moment the controller takes a command of the type.
void StopReadsAfterCommand(NandModule& m, std::uint32_t type) {
  sim::NandController* nand = &m.nand();
  m.module().bus().SetTracer([nand, type](const sim::BusAccess& a) {
    if (a.kind == sim::BusAccess::Kind::kWrite && a.address == sim::NandController::kBase + 0x48 &&
        ((a.value >> 21) & 7) == type && (a.value & 0xFF) != 0) {
      nand->SetStatusNever(sim::NandController::kStatusReadRequest);
    }
  });
}

TEST(BbmtEraseRange, BlockZeroIsNotErasedWhenItsTableCannotBeRead) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = m.TableBytes();
  m.nand().SetStatusNever(sim::NandController::kStatusReadRequest);
  EXPECT_EQ(FlashOps.Erase(0, 0x20000), 0);
  m.nand().SetStatusNever(0);
  EXPECT_EQ(m.Counters(0).erases, 0u);
  EXPECT_EQ(m.TableBytes(), table);
}

TEST(BbmtEraseRange, AMigrationPageThatCannotBeReadFailsTheReplacement) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x20000;
  m.ProgramPhysical(70 * B, Pattern(0x800, 1));
  m.FailProgram(70);
  std::vector<std::uint8_t> table = m.TableBytes();
  StopReadsAfterCommand(m, sim::NandController::kTypeErase);  // the spare's erase, then the copy
  auto data = Words(Pattern(0x800, 2));
  EXPECT_EQ(FlashOps.Write(data.data(), 70 * B + 0x800, 0x800), 0);
  m.module().bus().SetTracer({});
  m.nand().SetStatusNever(0);
  // Neither the table on flash nor the map took the replacement: the old block still holds the data.
  EXPECT_EQ(m.MapEntry(70), 70);
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(m.Physical(70 * B, 0x800), Pattern(0x800, 1));
}

}  // namespace
}  // namespace bbmt_test
