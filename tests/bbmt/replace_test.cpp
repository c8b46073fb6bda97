// Remapped writes and erases meeting bad blocks: the spare search, the replacement with its table and
// map updates, the migration of the old block's data, and the mends around them.
#include <gtest/gtest.h>

#include "flash/bbmt/bbmt.h"
#include "flash/bbmt/bbmt_internal.h"
#include "flash/flash_ops.h"
#include "tests/bbmt/bbmt_fixture.h"

namespace bbmt_test {
namespace {

constexpr std::uint32_t kB = 0x20000;  // block of the large-page chips
constexpr std::uint32_t kPage = 0x800;

bool Write(std::uint32_t offset, const std::vector<std::uint8_t>& data) {
  auto words = Words(data);
  return FlashOps.Write(words.data(), offset, static_cast<std::uint32_t>(data.size())) != 0;
}

std::vector<std::uint8_t> Read(std::uint32_t offset, std::uint32_t bytes) {
  std::vector<std::uint32_t> words(bytes / 4);
  EXPECT_TRUE(FlashOps.Read(words.data(), offset, bytes)) << std::hex << offset;
  return Bytes(words);
}

TEST(BbmtSpare, SparesComeFromTheTopDownSkippingEveryRecordedReplacement) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  u32 spare = 0, count = 0;
  auto load = [&](const std::vector<sim::BbmtEntry>& entries) {
    std::vector<std::uint8_t> t = m.MakeTable(entries);
    std::memcpy(TableCopy, t.data(), t.size());
  };
  load({});
  ASSERT_EQ(FindSpareBlock(5, &spare, &count), 1);
  EXPECT_EQ(spare, 1023u);
  EXPECT_EQ(count, 0u);

  load({{5, 1023}});
  ASSERT_EQ(FindSpareBlock(6, &spare, &count), 1);
  EXPECT_EQ(spare, 1022u);
  EXPECT_EQ(count, 1u);

  // A retired entry's replacement is never handed out again; the block's own entry is retired, and
  // its replacement still lowers the candidate.
  load({{0, 1023}, {9, 1021}, {7, 1022}});
  ASSERT_EQ(FindSpareBlock(9, &spare, &count), 1);
  EXPECT_EQ(spare, 1020u);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(TableLogicalBlock(1), 0u);
  EXPECT_EQ(TableReplacementBlock(1), 1021u);
  EXPECT_EQ(TableLogicalBlock(2), 7u);

  // A retired high replacement above a live low one: the candidate stays below the live one.
  load({{3, 1010}, {0, 1009}});
  ASSERT_EQ(FindSpareBlock(4, &spare, &count), 1);
  EXPECT_EQ(spare, 1008u);

  // Exhausted: the candidate would fall below the pool (1004..1023).
  load({{3, 1004}});
  EXPECT_EQ(FindSpareBlock(4, &spare, &count), 0);
  load({{0, 1023}, {0, 1022}, {5, 1005}, {0, 1004}});
  EXPECT_EQ(FindSpareBlock(4, &spare, &count), 0);
}

TEST(BbmtReplace, AnEraseMeetingABadBlockOnAnEmptyTableMovesTheBlockToTheTopSpare) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  m.FailErase(5);
  EXPECT_EQ(FlashOps.Erase(5 * kB, kB), 1);

  std::vector<sim::BbmtEntry> entries = m.AllEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].logical, 5);
  EXPECT_EQ(entries[0].replacement, 1023);
  EXPECT_EQ(m.MapEntry(5), 1023);
  // Erased inside the replacement and once more by the repeated erase.
  EXPECT_EQ(m.Counters(1023).erases, 2u);
  EXPECT_EQ(m.Counters(5).erases, 1u);

  // The same block failing again: its entry is retired, a new one appended, and the old spare is
  // never used again.
  m.FailErase(1023);
  EXPECT_EQ(FlashOps.Erase(5 * kB, kB), 1);
  entries = m.AllEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].logical, 0);
  EXPECT_EQ(entries[0].replacement, 1023);
  EXPECT_EQ(entries[1].logical, 5);
  EXPECT_EQ(entries[1].replacement, 1022);
  EXPECT_EQ(m.MapEntry(5), 1022);
  m.FailErase(6);
  EXPECT_EQ(FlashOps.Erase(6 * kB, kB), 1);
  EXPECT_EQ(m.AllEntries().back().replacement, 1021);

  // A fresh start builds the same map from the table.
  std::vector<std::uint16_t> map = m.MapSnapshot();
  m.RebuildMap();
  EXPECT_EQ(m.MapSnapshot(), map);
}

TEST(BbmtReplace, AWriteFailingMidBlockMigratesThePagesAroundItWithTheirSpareBytes) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t block = 10;
  const std::uint32_t base = block * kB;
  // Pages 0, 1 and 40 hold data (page 1 with spare bytes), page 2 is blank, pages 8 and 9 are
  // written by the failing call.
  auto p0 = Pattern(kPage, 1), p1 = Pattern(kPage, 2), p40 = Pattern(kPage, 3);
  m.ProgramPhysical(base, p0);
  m.ProgramPhysical(base + kPage, p1);
  m.ProgramPhysical(base + 40 * kPage, p40);
  std::vector<std::uint8_t> spare{1, 2, 3, 4, 5, 6, 7, 8};
  m.ProgramSpare(base + kPage, spare);
  m.FailProgram(block);

  auto fresh = Pattern(2 * kPage, 4);
  ASSERT_TRUE(Write(base + 8 * kPage, fresh));

  ASSERT_EQ(m.MapEntry(block), 1023);
  ASSERT_EQ(m.AllEntries().size(), 1u);
  const std::uint32_t spare_base = 1023 * kB;
  EXPECT_EQ(m.Physical(spare_base, kPage), p0);
  EXPECT_EQ(m.Physical(spare_base + kPage, kPage), p1);
  EXPECT_EQ(m.SpareBytes(spare_base + kPage), spare);
  EXPECT_EQ(m.Physical(spare_base + 40 * kPage, kPage), p40);
  EXPECT_EQ(m.Physical(spare_base + 8 * kPage, 2 * kPage), fresh);
  // Blank pages are not programmed; a copied page twice (its data, then its spare bytes); the
  // window's pages once, by the write itself.
  for (std::uint32_t page = 0; page < 64; ++page) {
    std::uint32_t expected = page == 0 || page == 1 || page == 40 ? 2 : page == 8 || page == 9 ? 1 : 0;
    EXPECT_EQ(m.nand().device(0, 0)->ProgramsSinceErase(1023 * 64 + page), expected) << "page " << page;
  }
  EXPECT_EQ(Read(base, kPage), p0);
  EXPECT_EQ(Read(base + 8 * kPage, 2 * kPage), fresh);
}

TEST(BbmtReplace, AfterAReplacementTheRestOfTheRequestIsWrittenToo) {
  NandModule m("0x75EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x8000;
  // Three blocks; the first fails.
  auto data = Pattern(3 * B - 0x400, 5);
  m.FailProgram(20);
  ASSERT_TRUE(Write(20 * B + 0x400, data));
  EXPECT_EQ(m.MapEntry(20), 2047);
  EXPECT_EQ(Read(20 * B + 0x400, static_cast<std::uint32_t>(data.size())), data);
  EXPECT_EQ(m.Physical(21 * B, B), std::vector<std::uint8_t>(data.begin() + (B - 0x400), data.begin() + (2 * B - 0x400)));
}

TEST(BbmtReplace, ThreeFailuresWithoutTheBadBlockBitFailTheWriteAndChangeNoTable) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = m.TableBytes();
  m.nand().SetStatusNever(sim::NandController::kStatusWriteRequest);
  std::uint64_t commands = m.nand().CommandCount();
  EXPECT_FALSE(Write(12 * kB, Pattern(kPage, 6)));
  EXPECT_EQ(m.nand().CommandCount() - commands, 3u);  // three tries, no replacement
  m.nand().SetStatusNever(0);
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(m.MapEntry(12), 12);
}

TEST(BbmtReplace, WriteWordStoresTheValueLittleEndian) {
  NandModule m("0xDCAD");
  ASSERT_EQ(FlashInit(), 2);
  ASSERT_EQ(FlashOps.WriteWord(0x20000800, 0x12345678), 1);  // chip select 1's first block, one page in
  EXPECT_EQ(m.Physical(0x20000800, 4), (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(FlashOps.ReadWord(0x20000800), 0x12345678u);
}

TEST(BbmtReplace, ASpareFailingWhileBeingFilledIsReplacedAndTheCopyStartsAgain) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t base = 10 * kB;
  std::vector<std::vector<std::uint8_t>> pages;
  for (std::uint32_t p = 0; p < 6; ++p) {
    pages.push_back(Pattern(kPage, 100 + p));
    m.ProgramPhysical(base + p * kPage, pages.back());
  }
  m.FailProgram(10);
  m.FailProgram(1023, 3);  // takes three pages, then goes bad
  auto fresh = Pattern(kPage, 7);
  ASSERT_TRUE(Write(base + 20 * kPage, fresh));

  std::vector<sim::BbmtEntry> entries = m.AllEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].logical, 0);
  EXPECT_EQ(entries[0].replacement, 1023);
  EXPECT_EQ(entries[1].logical, 10);
  EXPECT_EQ(entries[1].replacement, 1022);
  for (std::uint32_t p = 0; p < 6; ++p) EXPECT_EQ(Read(base + p * kPage, kPage), pages[p]) << "page " << p;
  EXPECT_EQ(Read(base + 20 * kPage, kPage), fresh);
}

TEST(BbmtReplace, ASpareThatCannotBeErasedIsReplacedInTurn) {
  NandModule m("0x76EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x8000;
  auto old = Pattern(0x400, 8);
  m.ProgramPhysical(30 * B, old);
  m.FailProgram(30);
  m.FailErase(4095);
  auto fresh = Pattern(0x400, 9);
  ASSERT_TRUE(Write(30 * B + 0x400, fresh));
  EXPECT_EQ(m.MapEntry(30), 4094);
  std::vector<sim::BbmtEntry> entries = m.AllEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].logical, 0);
  EXPECT_EQ(entries[1].logical, 30);
  EXPECT_EQ(Read(30 * B, 0x400), old);
  EXPECT_EQ(Read(30 * B + 0x400, 0x400), fresh);
}

TEST(BbmtReplace, AWindowThatIsNotPageAlignedCopiesThePagesItCoversInPartAndNothingBeyondTheBlock) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t base = 40 * kB;
  // Pages 3 and 4 hold data except for 0x100 erased bytes in page 3, which the failing call writes.
  std::vector<std::uint8_t> expected = Pattern(2 * kPage, 10);
  std::vector<std::uint8_t> stored = expected;
  std::fill(stored.begin() + 0x200, stored.begin() + 0x300, 0xFF);
  m.ProgramPhysical(base + 3 * kPage, stored);
  auto last = Pattern(kPage, 11);
  m.ProgramPhysical(base + 63 * kPage, last);
  m.FailProgram(40);

  ASSERT_TRUE(Write(base + 3 * kPage + 0x200, {expected.begin() + 0x200, expected.begin() + 0x300}));
  EXPECT_EQ(m.MapEntry(40), 1023);
  EXPECT_EQ(Read(base + 3 * kPage, 2 * kPage), expected);
  EXPECT_EQ(Read(base + 63 * kPage, kPage), last);
  // Nothing reached the blocks after the old one or after the spare.
  EXPECT_EQ(m.Counters(41).programs, 0u);
  EXPECT_EQ(m.Counters(1023).programs, 7u);  // pages 3, 4 and 63 with their spare bytes, the window
}

TEST(BbmtReplace, AFullTableRefusesTheReplacementAndNothingIsWrittenPastIt) {
  NandModule m("0x75EC");
  // 126 retired entries fill a 512-byte table (127 slots, the last for the end marker).
  std::vector<sim::BbmtEntry> retired(126, sim::BbmtEntry{0, 1});
  m.WriteTable(retired);
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = m.TableBytes();
  std::vector<std::uint8_t> behind = m.Physical(0x4000, 0x200);
  m.FailErase(50);
  EXPECT_EQ(FlashOps.Erase(50 * 0x8000, 0x8000), 0);
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(m.Physical(0x4000, 0x200), behind);
  EXPECT_EQ(m.MapEntry(50), 50);

  // A table whose every slot is taken has no end marker: nothing beyond its length is counted.
  std::vector<sim::BbmtEntry> all(127, sim::BbmtEntry{0, 1});
  m.WriteTable(all);
  m.RestartProcess();
  ASSERT_EQ(FlashInit(), 2);
  EXPECT_EQ(FlashOps.Erase(50 * 0x8000, 0x8000), 0);
  EXPECT_EQ(m.MapEntry(50), 50);
  EXPECT_EQ(m.Physical(0x4000, 0x200), behind);
}

TEST(BbmtReplace, PoolExhaustionFailsAndChangesNeitherMapNorTable) {
  NandModule m("0xF1EC");
  std::vector<sim::BbmtEntry> used;
  for (std::uint16_t b = 1004; b < 1024; ++b) used.push_back({static_cast<std::uint16_t>(b - 900), b});
  m.WriteTable(used);
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = m.TableBytes();
  auto old = Pattern(kPage, 14);
  m.ProgramPhysical(60 * kB, old);
  m.FailProgram(60);
  EXPECT_FALSE(Write(60 * kB + kPage, Pattern(kPage, 15)));
  EXPECT_EQ(m.MapEntry(60), 60);
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(Read(60 * kB, kPage), old);
}

TEST(BbmtReplace, AReplacementFailingAfterTheMapChangedPutsTheEntryBack) {
  NandModule m("0xF1EC");
  // One spare left, and it cannot be erased.
  std::vector<sim::BbmtEntry> used;
  for (std::uint16_t b = 1004; b < 1023; ++b) used.push_back({0, b});
  m.WriteTable(used);
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = m.TableBytes();
  auto old = Pattern(kPage, 17);
  m.ProgramPhysical(61 * kB, old);
  m.FailProgram(61);
  m.FailErase(1023);
  EXPECT_FALSE(Write(61 * kB + kPage, Pattern(kPage, 18)));
  // The map is what the table on flash says, and the data is where it was.
  EXPECT_EQ(m.MapEntry(61), 61);
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(Read(61 * kB, kPage), old);
  // The spare went to nobody: no other block can end up sharing it.
  m.FailErase(62);
  EXPECT_EQ(FlashOps.Erase(62 * kB, kB), 0);
  EXPECT_EQ(m.MapEntry(62), 62);
}

TEST(BbmtReplace, BlockZeroIsNeverReplacedAndItsTableSurvivesEveryErase) {
  NandModule m("0xF1EC");
  m.WriteTable({{7, 1023}});
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = m.TableBytes();
  auto data = Pattern(kPage, 16);
  m.ProgramPhysical(0, data);

  // An erase anywhere in block 0 keeps the table.
  EXPECT_EQ(BbmtEraseBlock(0x100), 1);
  EXPECT_TRUE(m.PhysicalBlank(0, kPage));
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(FlashOps.Erase(0, kB), 1);
  EXPECT_EQ(m.TableBytes(), table);

  // An erase of block 0 that ends with the bad-block bit still writes the table back, and fails.
  std::uint64_t programs = m.Counters(0).programs;
  m.FailErase(0);
  EXPECT_EQ(FlashOps.Erase(0, kB), 0);
  EXPECT_EQ(m.Counters(0).programs, programs + 1);
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(m.AllEntries().size(), 1u);
  EXPECT_EQ(ReplaceBadBlock(0x100, 0), 0);
}

TEST(BbmtReplace, EraseRangesWhoseArithmeticWouldWrapFailWithoutErasing) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  std::uint64_t commands = m.nand().CommandCount();
  EXPECT_EQ(FlashOps.Erase(0xFFFFF000, 0x2000), 0);
  EXPECT_EQ(FlashOps.Erase(0x100, 0xFFFFFFF0), 0);
  EXPECT_EQ(FlashOps.Erase(kB, 0xFFFFFFFC), 0);
  EXPECT_EQ(m.nand().CommandCount(), commands);
}

}  // namespace
}  // namespace bbmt_test
