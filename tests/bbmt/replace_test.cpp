// Remapped writes and erases meeting bad blocks: the spare search, the replacement with its table and
// map updates, the migration of the old block's data, and the mends around them.
#include <gtest/gtest.h>

#include "flash/bbmt/bbmt.h"
#include "flash/bbmt/bbmt_internal.h"
#include "flash/flash_ops.h"
#include "tests/bbmt/bbmt_fixture.h"

namespace bbmt_test {
namespace {

constexpr std::uint32_t kB = 0x20000;  // a large-page block
constexpr std::uint32_t kPage = 0x800;

TEST(BbmtReplace, SparesComeFromTheTopDownSkippingEveryRecordedReplacement) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  auto find = [&](const std::vector<sim::BbmtEntry>& entries, u32 block) -> int {
    std::vector<std::uint8_t> t = m.MakeTable(entries);
    std::memcpy(BbmtTableCopy, t.data(), t.size());
    u32 spare = 0, count = 0;
    if (!FindSpareBlock(block, &spare, &count)) return -1;
    EXPECT_EQ(count, entries.size());
    return static_cast<int>(spare);
  };
  EXPECT_EQ(find({}, 5), 1023);
  EXPECT_EQ(find({{5, 1023}}, 6), 1022);
  // The block's own entry is retired, its replacement still lowers the candidate, and no retired
  // replacement is handed out again.
  EXPECT_EQ(find({{0, 1023}, {9, 1021}, {7, 1022}}, 9), 1020);
  EXPECT_EQ(BbmtTableLogicalBlock(1), 0u);
  EXPECT_EQ(BbmtTableReplacementBlock(1), 1021u);
  EXPECT_EQ(find({{3, 1010}, {0, 1009}}, 4), 1008);
  EXPECT_EQ(find({{3, 1004}}, 4), -1);  // below the pool (1004..1023)
  EXPECT_EQ(find({{0, 1023}, {0, 1022}, {5, 1005}, {0, 1004}}, 4), -1);
}

TEST(BbmtReplace, AnEraseMeetingABadBlockMovesItToTheTopSpareAndAgainWhenThatFails) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  m.FailErase(5);
  EXPECT_EQ(FlashOps.Erase(5 * kB, kB), 1);
  std::vector<sim::BbmtEntry> e = m.AllEntries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].logical, 5);
  EXPECT_EQ(e[0].replacement, 1023);
  EXPECT_EQ(m.MapEntry(5), 1023);
  EXPECT_EQ(m.Counters(1023).erases, 2u);  // inside the replacement, then by the repeated erase

  // The same block failing again: a new entry appended, which wins over the old one; the old entry
  // stays on flash as it was (a retirement torn by a power cut could remap another block), and the
  // old spare is never used again.
  m.FailErase(1023);
  EXPECT_EQ(FlashOps.Erase(5 * kB, kB), 1);
  m.FailErase(6);
  EXPECT_EQ(FlashOps.Erase(6 * kB, kB), 1);
  e = m.AllEntries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ((std::vector<std::uint16_t>{e[0].logical, e[1].logical, e[1].replacement, e[2].logical, e[2].replacement}),
            (std::vector<std::uint16_t>{5, 5, 1022, 6, 1021}));
  EXPECT_EQ(m.MapEntry(5), 1022);
  std::vector<std::uint16_t> map = m.MapSnapshot();
  m.RebuildMap();
  EXPECT_EQ(m.MapSnapshot(), map);
}

TEST(BbmtReplace, AWriteFailingMidBlockMigratesThePagesAroundItWithTheirSpareBytes) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t base = 10 * kB, spare = 1023 * kB;
  auto p0 = Pattern(kPage, 1), p1 = Pattern(kPage, 2), p40 = Pattern(kPage, 3);
  m.ProgramPhysical(base, p0);
  m.ProgramPhysical(base + kPage, p1);
  m.ProgramPhysical(base + 40 * kPage, p40);
  std::vector<std::uint8_t> tag{1, 2, 3, 4, 5, 6, 7, 8};
  m.ProgramSpare(base + kPage, tag);
  m.FailProgram(10);

  auto fresh = Pattern(2 * kPage, 4);
  ASSERT_TRUE(WriteLogical(base + 8 * kPage, fresh));
  ASSERT_EQ(m.MapEntry(10), 1023);
  EXPECT_EQ(m.Physical(spare, kPage), p0);
  EXPECT_EQ(m.Physical(spare + kPage, kPage), p1);
  EXPECT_EQ(m.SpareBytes(spare + kPage), tag);
  EXPECT_EQ(m.Physical(spare + 40 * kPage, kPage), p40);
  EXPECT_EQ(m.Physical(spare + 8 * kPage, 2 * kPage), fresh);
  // Blank pages untouched; a copied page programmed twice (data, spare bytes); the window once.
  for (std::uint32_t page = 0; page < 64; ++page) {
    std::uint32_t expected = page == 0 || page == 1 || page == 40 ? 2 : page == 8 || page == 9 ? 1 : 0;
    EXPECT_EQ(m.nand().device(0, 0)->ProgramsSinceErase(1023 * 64 + page), expected) << "page " << page;
  }
}

TEST(BbmtReplace, AMigrationCorrectsAFlippedBitAndRefusesAPageItCannotRead) {
  for (std::uint32_t bits : {1u, 2u}) {
    SCOPED_TRACE(bits);
    NandModule m("0xF1EC");
    ASSERT_EQ(FlashInit(), 2);
    const std::uint32_t base = 10 * kB;
    auto earlier = Pattern(2 * kPage, 8);
    ASSERT_TRUE(WriteLogical(base, earlier));
    std::vector<std::uint8_t> table = m.TableBytes();
    for (const sim::NandBlockRef& ref : m.nand().FlashBlockRefs(10)) m.nand().AddBitFlips(ref, std::nullopt, bits, 3);
    m.FailProgram(10);

    const bool written = WriteLogical(base + 8 * kPage, Pattern(kPage, 9));
    if (bits == 1) {
      // Corrected as read: the spare holds the pages as they were written.
      ASSERT_TRUE(written);
      ASSERT_EQ(m.MapEntry(10), 1023);
      EXPECT_EQ(m.Physical(1023 * kB, 2 * kPage), earlier);
    } else {
      // Two bits in 256 bytes: the copy would vouch for wrong data, so the write fails instead and the
      // block keeps its place and its table.
      EXPECT_FALSE(written);
      EXPECT_EQ(m.MapEntry(10), 10);
      EXPECT_EQ(m.TableBytes(), table);
      bool ok = true;
      ReadLogical(base, kPage, &ok);
      EXPECT_FALSE(ok);
    }
  }
}

TEST(BbmtReplace, AfterAReplacementTheRestOfTheRequestIsWrittenToo) {
  NandModule m("0x75EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x8000;
  auto data = Pattern(3 * B - 0x400, 5);  // three blocks; the first fails
  m.FailProgram(20);
  ASSERT_TRUE(WriteLogical(20 * B + 0x400, data));
  EXPECT_EQ(m.MapEntry(20), 2047);
  EXPECT_EQ(ReadLogical(20 * B + 0x400, static_cast<std::uint32_t>(data.size())), data);
}

TEST(BbmtReplace, ThreeFailuresWithoutTheBadBlockBitFailTheWriteAndChangeNoTable) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = m.TableBytes();
  m.nand().SetStatusNever(sim::NandController::kStatusWriteRequest);  // every program times out
  std::uint64_t commands = m.nand().CommandCount();
  EXPECT_FALSE(WriteLogical(12 * kB, Pattern(kPage, 6)));
  EXPECT_EQ(m.nand().CommandCount() - commands, 3u);
  m.nand().SetStatusNever(0);
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(m.MapEntry(12), 12);
}

TEST(BbmtReplace, WriteWordStoresTheValueLittleEndian) {
  NandModule m("0xDCAD");
  ASSERT_EQ(FlashInit(), 2);
  ASSERT_EQ(FlashOps.WriteWord(0x20000800, 0x12345678), 1);  // on chip select 1
  EXPECT_EQ(m.Physical(0x20000800, 4), (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(FlashOps.ReadWord(0x20000800), 0x12345678u);
}

TEST(BbmtReplace, SparesFailingWhileErasedOrFilledAreReplacedAndTheCopyStartsAgain) {
  NandModule m("0x76EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = 0x8000;
  auto old = Pattern(6 * 0x400, 7);
  m.ProgramPhysical(30 * B, old);
  m.FailProgram(30);
  m.FailErase(4095);       // the first spare cannot be erased
  m.FailProgram(4094, 3);  // the second takes a page and a half, then goes bad
  auto fresh = Pattern(0x400, 8);
  ASSERT_TRUE(WriteLogical(30 * B + 0x2000, fresh));
  EXPECT_EQ(m.MapEntry(30), 4093);
  std::vector<sim::BbmtEntry> e = m.AllEntries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ((std::vector<std::uint16_t>{e[0].logical, e[1].logical, e[2].logical}), (std::vector<std::uint16_t>{0, 0, 30}));
  EXPECT_EQ(ReadLogical(30 * B, 6 * 0x400), old);
  EXPECT_EQ(ReadLogical(30 * B + 0x2000, 0x400), fresh);
}

TEST(BbmtReplace, AWindowNotOnPageBoundsCopiesThePagesItCoversInPartAndNothingBeyondTheBlock) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t base = 40 * kB;
  std::vector<std::uint8_t> expected = Pattern(2 * kPage, 10), stored = expected;
  std::fill(stored.begin() + 0x200, stored.begin() + 0x300, 0xFF);  // the bytes the failing call writes
  m.ProgramPhysical(base + 3 * kPage, stored);
  m.ProgramPhysical(base + 63 * kPage, Pattern(kPage, 11));
  m.FailProgram(40);
  ASSERT_TRUE(WriteLogical(base + 3 * kPage + 0x200, {expected.begin() + 0x200, expected.begin() + 0x300}));
  EXPECT_EQ(m.MapEntry(40), 1023);
  EXPECT_EQ(ReadLogical(base + 3 * kPage, 2 * kPage), expected);
  EXPECT_EQ(ReadLogical(base + 63 * kPage, kPage), Pattern(kPage, 11));
  EXPECT_EQ(m.Counters(41).programs, 0u);
  EXPECT_EQ(m.Counters(1023).programs, 7u);  // pages 3, 4 and 63 with their spare bytes, the window
}

TEST(BbmtReplace, AFullTableRefusesAndAnExhaustedPoolFailsChangingNothing) {
  {
    NandModule m("0x75EC");
    // 126 entries fill a 512-byte table; with 127 there is no end marker, and nothing beyond counts.
    for (std::size_t n : {126, 127}) {
      m.WriteTable(std::vector<sim::BbmtEntry>(n, sim::BbmtEntry{0, 1}));
      m.RestartProcess();
      ASSERT_EQ(FlashInit(), 2);
      std::vector<std::uint8_t> table = m.TableBytes(), behind = m.Physical(0x4000, 0x200);
      m.FailErase(50);
      EXPECT_EQ(FlashOps.Erase(50 * 0x8000, 0x8000), 0);
      EXPECT_EQ(m.TableBytes(), table);
      EXPECT_EQ(m.Physical(0x4000, 0x200), behind);
      EXPECT_EQ(m.MapEntry(50), 50);
    }
  }

  NandModule big("0xF1EC");
  std::vector<sim::BbmtEntry> used;
  for (std::uint16_t b = 1004; b < 1024; ++b) used.push_back({static_cast<std::uint16_t>(b - 900), b});
  big.WriteTable(used);
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = big.TableBytes();
  big.ProgramPhysical(60 * kB, Pattern(kPage, 14));
  big.FailProgram(60);
  EXPECT_FALSE(WriteLogical(60 * kB + kPage, Pattern(kPage, 15)));
  EXPECT_EQ(big.MapEntry(60), 60);
  EXPECT_EQ(big.TableBytes(), table);
  EXPECT_EQ(ReadLogical(60 * kB, kPage), Pattern(kPage, 14));
}

TEST(BbmtReplace, AReplacementFailingAfterTheMapChangedPutsTheEntryBack) {
  NandModule m("0xF1EC");
  std::vector<sim::BbmtEntry> used;  // one spare left, and it cannot be erased
  for (std::uint16_t b = 1004; b < 1023; ++b) used.push_back({0, b});
  m.WriteTable(used);
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = m.TableBytes();
  m.ProgramPhysical(61 * kB, Pattern(kPage, 17));
  m.FailProgram(61);
  m.FailErase(1023);
  EXPECT_FALSE(WriteLogical(61 * kB + kPage, Pattern(kPage, 18)));
  EXPECT_EQ(m.MapEntry(61), 61);  // as the table says, where the data still is
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(ReadLogical(61 * kB, kPage), Pattern(kPage, 17));
}

TEST(BbmtReplace, BlockZeroIsNeverReplacedAndItsTableSurvivesEveryErase) {
  {
    // A table that cannot be programmed back after the erase is gone with the block: the erase says so.
    NandModule small("0x75EC");
    ASSERT_EQ(FlashInit(), 2);
    small.FailProgram(0);
    EXPECT_EQ(FlashOps.Erase(0, 0x8000), 0);
    EXPECT_EQ(small.Counters(0).erases, 1u);
  }

  NandModule m("0xF1EC");
  m.WriteTable({{7, 1023}});
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> table = m.TableBytes();
  m.ProgramPhysical(0, Pattern(kPage, 16));
  EXPECT_EQ(BbmtEraseBlock(0x100), 1);  // anywhere in block 0
  EXPECT_EQ(m.Physical(0, kPage), std::vector<std::uint8_t>(kPage, 0xFF));
  EXPECT_EQ(m.TableBytes(), table);
  // An erase ending with the bad-block bit still writes the table back, and fails.
  std::uint64_t programs = m.Counters(0).programs;
  m.FailErase(0);
  EXPECT_EQ(FlashOps.Erase(0, kB), 0);
  EXPECT_EQ(m.Counters(0).programs, programs + 1);
  EXPECT_EQ(m.TableBytes(), table);
  EXPECT_EQ(ReplaceBadBlock(0x100, 0), 0);
}

}  // namespace
}  // namespace bbmt_test
