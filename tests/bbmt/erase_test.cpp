// Erasing ranges through FlashOps on NAND: whole blocks, the range checks, the Progress protocol,
// and reads that fail where the table, a replacement or a migration needs them.
#include <gtest/gtest.h>

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

std::vector<std::pair<u32, u32>> gCalls;
std::size_t gStopAt = 0;

i32 RecordProgress(u32 done, u32 total) {
  gCalls.emplace_back(done, total);
  return gCalls.size() != gStopAt;
}

TEST(BbmtEraseRange, RangesAreWidenedToWholeBlocksAndChecked) {
  {
    NandModule small("0x75EC");
    ASSERT_EQ(FlashInit(), 2);
    EXPECT_EQ(FlashOps.Erase(kTesterRegion, 0x40000), 1);
    std::vector<std::uint32_t> eight;
    for (std::uint32_t b = kTesterRegion / 0x8000; b < (kTesterRegion + 0x40000) / 0x8000; ++b) eight.push_back(b);
    EXPECT_EQ(ErasedBlocks(small), eight);
  }

  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x20000, usable = FlashOps.UsableSize;
  EXPECT_EQ(FlashOps.Erase(kTesterRegion, 0x40000), 1);
  EXPECT_EQ(FlashOps.Erase(0x13C1000, 0x1000), 1);
  EXPECT_EQ(ErasedBlocks(m), (std::vector<std::uint32_t>{0x9E, 0x9F}));
  EXPECT_EQ(m.Counters(0x9E).erases, 2u);

  std::uint64_t commands = m.nand().CommandCount();
  EXPECT_EQ(FlashOps.Erase(0x13E0000, 0), 1);       // nothing to erase
  EXPECT_EQ(FlashOps.Erase(usable - B, B + 4), 0);  // takes in a block beyond the usable size
  EXPECT_EQ(FlashOps.Erase(0xFFFFF000, 0x2000), 0);  // sums that would pass 2^32
  EXPECT_EQ(FlashOps.Erase(0x100, 0xFFFFFFF0), 0);
  EXPECT_EQ(FlashOps.Erase(B, 0xFFFFFFFC), 0);
  EXPECT_EQ(m.nand().CommandCount(), commands);
  EXPECT_EQ(FlashOps.Erase(usable - B, B), 1);
}

TEST(BbmtEraseRange, ProgressIsReportedBeforeEachBlockAsTheStepAsks) {
  NandModule m("0x76EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x8000;
  FlashOps.Progress = RecordProgress;
  struct Case {
    u32 step;
    std::size_t stop;
    i32 result;
    std::vector<std::pair<u32, u32>> calls;
    std::uint32_t erased;
  };
  const Case cases[] = {
      {0, 0, 1, {{0, 3 * B}, {B, 3 * B}, {2 * B, 3 * B}}, 3},
      {2 * B, 0, 1, {{0, 3 * B}, {2 * B, 3 * B}}, 3},
      {0xFFFFFFF0, 0, 1, {{0, 3 * B}}, 3},  // the next mark would pass 2^32
      {0, 1, 0, {{0, 3 * B}}, 0},           // stop before the first block: nothing erased
      {0, 3, 0, {{0, 3 * B}, {B, 3 * B}, {2 * B, 3 * B}}, 2},
  };
  std::uint32_t first = 100;
  for (const Case& c : cases) {
    gCalls.clear();
    gStopAt = c.stop;
    FlashOps.ProgressStep = c.step;
    EXPECT_EQ(FlashOps.Erase(first * B, 3 * B), c.result);
    EXPECT_EQ(gCalls, c.calls);
    std::uint32_t erased = 0;
    for (std::uint32_t b = first; b < first + 3; ++b) erased += static_cast<std::uint32_t>(m.Counters(b).erases);
    EXPECT_EQ(erased, c.erased) << "step " << c.step;
    first += 10;
  }
}

// --- reads that fail where the layer depends on them (each waits out the driver's poll bound) ---

TEST(BbmtEraseRange, BlockZeroIsNotErasedWhenItsTableCannotBeRead) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  m.nand().SetStatusNever(sim::NandController::kStatusReadRequest);
  EXPECT_EQ(FlashOps.Erase(0, 0x20000), 0);
  EXPECT_EQ(m.Counters(0).erases, 0u);
}

TEST(BbmtEraseRange, AReplacementThatCannotReadTheTableFailsAndHandsOutNoSpare) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);  // the copy in memory: an empty table
  const std::uint32_t B = 0x20000;
  // Since then the operating system's driver has given the top spare to block 9, on flash only.
  m.ProgramPhysical(0x1F800 + 4, std::vector<std::uint8_t>{9, 0, 0xFF, 0x03});
  m.SetMapEntry(9, 1023);
  std::vector<std::uint8_t> table = m.TableBytes();
  m.FailErase(5);
  m.nand().SetStatusNever(sim::NandController::kStatusReadRequest);
  EXPECT_EQ(FlashOps.Erase(5 * B, B), 0);
  m.nand().SetStatusNever(0);
  EXPECT_EQ(m.MapEntry(5), 5);
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(m.Counters(1023).erases, 0u);  // block 9's data untouched
}

TEST(BbmtEraseRange, AMigrationPageThatCannotBeReadFailsTheReplacement) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x20000;
  m.ProgramPhysical(70 * B, Pattern(0x800, 1));
  m.FailProgram(70);
  std::vector<std::uint8_t> table = m.TableBytes();
  // Reads stop working once the controller takes an erase command: the spare's, before the copy.
  sim::NandController* nand = &m.nand();
  m.module().bus().SetTracer([nand](const sim::BusAccess& a) {
    if (a.kind == sim::BusAccess::Kind::kWrite && a.address == sim::NandController::kBase + 0x48 &&
        (a.value >> 21 & 7) == sim::NandController::kTypeErase && (a.value & 0xFF) != 0) {
      nand->SetStatusNever(sim::NandController::kStatusReadRequest);
    }
  });
  EXPECT_FALSE(WriteLogical(70 * B + 0x800, Pattern(0x800, 2)));
  m.module().bus().SetTracer({});
  m.nand().SetStatusNever(0);
  EXPECT_EQ(m.MapEntry(70), 70);  // neither map nor table took the replacement
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(m.Physical(70 * B, 0x800), Pattern(0x800, 1));
}

}  // namespace
}  // namespace bbmt_test
