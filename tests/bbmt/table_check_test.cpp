// The table on flash is checked before it is trusted: entries that cannot be right (outside the chip,
// a replacement that is block 0, outside the spare pool or already recorded) are not used, said once
// on the debug output, kept on flash as they are, and no write goes through them. Tables made by hand.
#include <gtest/gtest.h>

#include "flash/bbmt/bbmt.h"
#include "flash/flash_ops.h"
#include "tests/bbmt/bbmt_fixture.h"

namespace bbmt_test {
namespace {

constexpr std::uint32_t kB = 0x20000;  // 0xF1EC: 1024 blocks, spares 1004..1023

// Every kind of entry that cannot be used, between usable ones. Block 8's first entry is usable; its
// second (replacement taken) is not, so block 8 keeps 1023 but is refused.
const std::vector<sim::BbmtEntry> kHandMade = {
    {5, 0},        // 0: replacement is block 0, where the table lives
    {6, 3},        // 1: replacement below the spare pool
    {7, 1500},     // 2: replacement beyond the chip
    {1400, 1022},  // 3: block beyond the chip
    {8, 1023},     // 4: usable
    {9, 1023},     // 5: replacement recorded by entry 4
    {10, 0xFFFF},  // 6: an append that never finished
    {11, 1021},    // 7: usable
    {8, 1022},     // 8: replacement recorded by entry 3 (a bad entry still records its block)
};

const char* const kSaid =
    "Bad-block table entry 0 (block 5 to block 0) not used: its replacement block is block 0, which holds the table\r\n"
    "Bad-block table entry 1 (block 6 to block 3) not used: its replacement block is not a spare block\r\n"
    "Bad-block table entry 2 (block 7 to block 1500) not used: its replacement block lies beyond the chip\r\n"
    "Bad-block table entry 3 (block 1400 to block 1022) not used: the block lies beyond the chip\r\n"
    "Bad-block table entry 5 (block 9 to block 1023) not used: its replacement block is taken by an earlier entry\r\n"
    "Bad-block table entry 6 (block 10 to block 65535) not used: its replacement block was never written\r\n"
    "Bad-block table entry 8 (block 8 to block 1022) not used: its replacement block is taken by an earlier entry\r\n";

std::vector<std::uint16_t> ExpectedMap(std::uint32_t blocks) {
  std::vector<std::uint16_t> map(blocks);
  for (std::uint32_t b = 0; b < blocks; ++b) map[b] = static_cast<std::uint16_t>(b);
  map[8] = 1023;
  map[11] = 1021;
  return map;
}

// Writes and erases of the refused blocks fail without a command reaching the chip; the others work.
void ExpectRefusalsAndNothingElse(NandModule& m) {
  const std::vector<std::uint8_t> data = Pattern(0x800, 1);
  // An append that never finished moved no data: its block is written where it always was.
  EXPECT_TRUE(WriteLogical(10 * kB, data));
  EXPECT_EQ(m.Physical(10 * kB, 0x800), data);
  for (std::uint32_t block : {5u, 6u, 7u, 8u, 9u}) {
    SCOPED_TRACE(block);
    std::uint64_t commands = m.nand().CommandCount();
    EXPECT_FALSE(WriteLogical(block * kB, data));
    EXPECT_EQ(FlashOps.Erase(block * kB, kB), 0);
    EXPECT_EQ(FlashOps.WriteWord(block * kB + 0x800, 0), 0);
    EXPECT_EQ(m.nand().CommandCount(), commands);
  }
  EXPECT_EQ(FlashOps.Erase(11 * kB, kB), 1);
  EXPECT_TRUE(WriteLogical(11 * kB, data));
  EXPECT_EQ(m.Physical(1021 * kB, 0x800), data);
  EXPECT_EQ(m.Counters(0).erases, 0u);
  EXPECT_EQ(m.Counters(3).erases + m.Counters(3).programs, 0u);
}

TEST(BbmtTableChecks, EntriesThatCannotBeRightAreNotUsedSaidOnceAndNeverWrittenThrough) {
  NandModule m("0xF1EC");
  std::vector<std::uint8_t> table = m.MakeTable(kHandMade);
  m.WriteTableBytes(table);
  ASSERT_EQ(FlashInit(), 2);
  EXPECT_EQ(m.MapSnapshot(), ExpectedMap(m.blocks()));
  EXPECT_EQ(m.module().DebugTranscript(), kSaid);

  ExpectRefusalsAndNothingElse(m);
  EXPECT_EQ(m.module().DebugTranscript(), kSaid);  // said once
  EXPECT_EQ(m.TableBytes(), table);                // kept as it is

  // A replacement elsewhere appends its entry and leaves the bad ones alone. None of them lowers the
  // spare search (entry 0 names block 0, entry 1 block 3): the spare is the highest not recorded.
  m.FailErase(20);
  EXPECT_EQ(FlashOps.Erase(20 * kB, kB), 1);
  std::vector<sim::BbmtEntry> entries = m.AllEntries();
  ASSERT_EQ(entries.size(), kHandMade.size() + 1);
  EXPECT_EQ(entries.back().logical, 20);
  EXPECT_EQ(entries.back().replacement, 1020);
  std::vector<std::uint8_t> now = m.TableBytes();
  EXPECT_TRUE(std::equal(table.begin(), table.begin() + 4 + 4 * kHandMade.size(), now.begin()));

  // The next start reads the same table and makes the same map.
  m.RebuildMap();
  std::vector<std::uint16_t> expected = ExpectedMap(m.blocks());
  expected[20] = 1020;
  EXPECT_EQ(m.MapSnapshot(), expected);
}

TEST(BbmtTableChecks, TheOperatingSystemsStandInBuildsTheSameMapAndTheLibraryStillRefuses) {
  NandModule m("0xF1EC");
  std::vector<std::uint8_t> table = m.MakeTable(kHandMade);
  m.WriteTableBytes(table);
  // The operating system's driver starts first and signs the map.
  sim::RunNandOsDriver(m.module(), m.module().shared_memory(), m.nand());
  EXPECT_EQ(m.MapSnapshot(), ExpectedMap(m.blocks()));
  std::size_t said = 0;
  for (const std::string& line : m.module().Reports()) said += line.find("not used") != std::string::npos;
  EXPECT_EQ(said, 7u);

  // The map is signed: the library takes it as it stands and checks the table at its first write.
  ASSERT_EQ(FlashInit(), 2);
  EXPECT_EQ(m.module().DebugTranscript(), "");
  ExpectRefusalsAndNothingElse(m);
  EXPECT_EQ(m.module().DebugTranscript(), kSaid);
}

TEST(BbmtTableChecks, ALaterUsableEntryTakesBackTheRefusal) {
  NandModule m("0xF1EC");
  m.WriteTable({{5, 0}, {5, 1023}});
  ASSERT_EQ(FlashInit(), 2);
  EXPECT_EQ(m.MapEntry(5), 1023);
  EXPECT_TRUE(WriteLogical(5 * kB, Pattern(16, 2)));
  EXPECT_EQ(m.Physical(1023 * kB, 16), Pattern(16, 2));
}

// A map from elsewhere that leads a block to block 0, or below the spare pool, is never written
// through: the table in block 0 survives, and so does the other block's data.
TEST(BbmtTableChecks, NoWriteFollowsAMapToBlockZeroOrToAnotherDataBlock) {
  NandModule m("0xF1EC", {{"os_driver", true}});
  ASSERT_EQ(FlashInit(), 2);
  m.SetMapEntry(5, 0);
  m.SetMapEntry(6, 7);
  std::vector<std::uint8_t> table = m.TableBytes();
  std::uint64_t commands = m.nand().CommandCount();
  for (std::uint32_t block : {5u, 6u}) {
    EXPECT_FALSE(WriteLogical(block * kB, Pattern(16, 3)));
    EXPECT_EQ(FlashOps.Erase(block * kB, kB), 0);
  }
  EXPECT_EQ(m.nand().CommandCount() - commands, 1u);  // the table's read, once
  EXPECT_EQ(m.TableBytes(), table);
}

}  // namespace
}  // namespace bbmt_test
