// The shared map and remapped reads: building the map, the signed-map path, the usable size,
// translation, chunks across blocks, the table-area rule on both page sizes, and the region's guards.
#include <gtest/gtest.h>

#include "flash/bbmt/bbmt.h"
#include "flash/flash_ops.h"
#include "tests/bbmt/bbmt_fixture.h"

namespace bbmt_test {
namespace {

TEST(BbmtMap, AFreshRegionIsBuiltFromTheTableUpToItsEndMarker) {
  NandModule m("0xF1EC");
  // Block 7 moved twice (the later entry wins), two retired entries, a block the chip does not have,
  // then the end marker and an entry behind it.
  std::vector<std::uint8_t> t = m.MakeTable({{7, 1023}, {0, 1022}, {0, 1021}, {7, 1020}, {5000, 1019}, {0xFFFF, 0}, {3, 1010}});
  m.WriteTableBytes(t);
  ASSERT_EQ(FlashInit(), 2);
  ASSERT_TRUE(m.Signed());
  EXPECT_EQ(m.MapEntry(0), 0);
  EXPECT_EQ(m.MapEntry(7), 1020);
  EXPECT_EQ(m.MapEntry(3), 3);
  EXPECT_EQ(m.MapEntry(1023), 1023);
  for (std::uint32_t i = 1024; i < 8192; ++i) ASSERT_EQ(m.MapEntry(i), 0) << i;  // nothing past the chip
}

TEST(BbmtMap, ASignedRegionIsTakenAsItStandsWithoutConfiguringTheControllerOrWritingTheFlash) {
  NandModule m("0xF1EC", {{"os_driver", true}});
  m.SetMapEntry(12, 1000);  // something only the map knows
  std::uint64_t commands = m.nand().CommandCount();
  bool timing_written = false;
  m.module().bus().SetTracer([&](const sim::BusAccess& a) {
    timing_written |= a.kind == sim::BusAccess::Kind::kWrite && (a.address == 0x43100004 || a.address == 0x4310000C);
  });
  ASSERT_EQ(FlashInit(), 2);
  m.module().bus().SetTracer({});
  EXPECT_FALSE(timing_written);
  EXPECT_EQ(m.MapEntry(12), 1000);
  // Two READ IDs, then only reads: the table's page, and the free spares, where a copy of the table
  // would wait if an erase of block 0 had been cut short.
  const auto& log = m.nand().CommandLog();
  ASSERT_GT(m.nand().CommandCount() - commands, 2u);
  for (std::size_t i = log.size() - (m.nand().CommandCount() - commands); i < log.size(); ++i) {
    EXPECT_TRUE(log[i].type() == sim::NandController::kTypeReadId || log[i].type() == sim::NandController::kTypeRead)
        << "command " << i;
  }
}

TEST(BbmtMap, ATableWithoutMagicFailsAndNothingReachesTheFlash) {
  NandModule m("0x75EC");
  m.WriteTable({{5, 2047}}, /*magic=*/false);
  EXPECT_EQ(FlashInit(), 0);
  EXPECT_EQ(FlashOps.FlashType, FLASH_TYPE_NONE);
  EXPECT_FALSE(m.Signed());
  std::uint64_t commands = m.nand().CommandCount();
  bool ok = true;
  ReadLogical(kTesterRegion, 40, &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(WriteLogical(0x40000, {1, 2, 3, 4}));
  EXPECT_EQ(FlashOps.Erase(kTesterRegion, 0x40000), 0);
  EXPECT_EQ(m.nand().CommandCount(), commands);
}

TEST(BbmtMap, ReservedBlocksUsableSizeAndGeometryFollowTheChip) {
  const std::uint32_t reserved[] = {40, 81, 20, 163, 163};
  for (std::size_t i = 0; i < std::size(kChips); ++i) {
    SCOPED_TRACE(kChips[i].chip);
    NandModule m(kChips[i].chip);
    ASSERT_EQ(FlashInit(), 2);
    EXPECT_EQ(FlashOps.UsableSize, (m.blocks() - reserved[i]) * m.block_bytes());
    EXPECT_EQ(FlashOps.DeviceClass, m.facts().device_class);
    EXPECT_EQ(FlashOps.GetBlockSize(0), m.block_bytes());
    EXPECT_EQ(FlashOps.GetPageSize(), m.facts().page_bytes);
  }
}

TEST(BbmtMap, TranslationLeadsToHigherAndLowerBlocksChunkByChunk) {
  NandModule m("0x76EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = m.block_bytes();
  m.SetMapEntry(10, 4000);  // higher
  m.SetMapEntry(11, 3);     // lower: the difference modulo 2^32
  EXPECT_EQ(LogicalToPhysical(5 * B + 0x40), 5 * B + 0x40);
  EXPECT_EQ(LogicalToPhysical(10 * B), 4000u * B);
  EXPECT_EQ(LogicalToPhysical(10 * B + B - 4), 4000u * B + B - 4);
  EXPECT_EQ(LogicalToPhysical(11 * B + 0x100), 3 * B + 0x100);
  // A read across the boundary: each chunk through its own block's entry.
  auto tail = Pattern(0x200, 3), head = Pattern(0x200, 4);
  m.ProgramPhysical(4000 * B + B - 0x200, tail);
  m.ProgramPhysical(3 * B, head);
  tail.insert(tail.end(), head.begin(), head.end());
  EXPECT_EQ(ReadLogical(11 * B - 0x200, 0x400), tail);
  EXPECT_EQ(BbmtReadWord(11 * B), head[0] | head[1] << 8 | head[2] << 16 | static_cast<std::uint32_t>(head[3]) << 24);
}

TEST(BbmtMap, OnSmallPagesTheTableIsAHoleAndACutReadFails) {
  NandModule m("0x75EC");
  ASSERT_EQ(FlashInit(), 2);
  auto before = Pattern(0x200, 5), after = Pattern(0x400, 6);
  m.ProgramPhysical(0x3C00, before);
  m.ProgramPhysical(0x4000, after);
  bool ok = true;
  for (std::uint32_t at : {0x3E00u, 0x3F00u, 0x3FFCu}) {
    ReadLogical(at, 4, &ok);
    EXPECT_FALSE(ok) << std::hex << at;
  }
  // Cut at the table: the bytes before it arrive, the table's never do, and the rest of the request,
  // which lies in the table, fails the call.
  std::uint64_t commands = m.nand().CommandCount();
  auto got = ReadLogical(0x3C00, 0x600, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.begin() + 0x200), before);
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin() + 0x200, got.end()), std::vector<std::uint8_t>(0x400, 0xA5));
  EXPECT_EQ(m.nand().CommandCount() - commands, 1u);
  EXPECT_EQ(ReadLogical(0x3C00, 0x200, &ok), before);
  EXPECT_TRUE(ok);
  // Past the table the 8-bit access would reach device 0's second block, where the flash's block 1
  // keeps its even bytes: the rest of block 0 is refused rather than read from there.
  ReadLogical(0x4000, 0x400, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(m.nand().ReadFlash(0x4000, 0x400, sim::NandView::kNarrow), after) << "nothing was written there";
}

TEST(BbmtMap, OnLargePagesTheFirst256KiBAreSeenWithoutTheTablesPage) {
  NandModule m("0xD3EC");
  ASSERT_EQ(FlashInit(), 2);
  auto data = Pattern(0x40800, 7);  // physical 0 to 0x407FF
  m.ProgramPhysical(0, std::span(data).subspan(0, 0x1F800));  // block 0 up to the table
  m.ProgramPhysical(0x20000, std::span(data).subspan(0x20000));
  auto phys = [&](std::uint32_t at, std::uint32_t n) { return std::vector<std::uint8_t>(&data[at], &data[at] + n); };
  bool ok = false;
  EXPECT_EQ(ReadLogical(0x1F000, 0x800, &ok), phys(0x1F000, 0x800));
  EXPECT_EQ(ReadLogical(0x1F800, 0x800, &ok), phys(0x20000, 0x800));  // the table's page skipped
  EXPECT_EQ(ReadLogical(0x3F000, 0x800, &ok), phys(0x3F800, 0x800));
  EXPECT_EQ(ReadLogical(0x40000, 0x800, &ok), phys(0x40000, 0x800));
  EXPECT_TRUE(ok);
  // Split at the table: 0x1F000..0x1F7FF, then 0x20000 on, and on into block 1 where a direct read
  // finds it.
  std::vector<std::uint8_t> split = phys(0x1F000, 0x800), rest = phys(0x20000, 0x2800);
  split.insert(split.end(), rest.begin(), rest.end());
  EXPECT_EQ(ReadLogical(0x1F000, 0x3000, &ok), split);
  EXPECT_TRUE(ok);
  // From the table's offset on into block 1: moved once, not again at the block boundary.
  EXPECT_EQ(ReadLogical(0x1FC00, 0x800, &ok), phys(0x20400, 0x800));
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadLogical(0x20000, 0x1000, &ok), phys(0x20800, 0x1000));
  EXPECT_TRUE(ok);
  for (auto [at, n] : {std::pair{0x3F000u, 0x1000u}, {0x3F800u, 4u}}) {
    ReadLogical(at, n, &ok);  // would reach beyond the shifted view
    EXPECT_FALSE(ok) << std::hex << at;
  }
}

TEST(BbmtMap, TheLargePageViewStaysWhenBlock1IsReplaced) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  auto tail0 = Pattern(0x800, 12), head1 = Pattern(0x1000, 13);
  ASSERT_TRUE(WriteLogical(0x1F800, tail0));  // lives in physical block 1
  ASSERT_TRUE(WriteLogical(0x20000, head1));
  m.FailProgram(1);
  ASSERT_TRUE(WriteLogical(0x30000, Pattern(0x800, 14)));
  ASSERT_EQ(m.MapEntry(1), 1023);
  bool ok = false;
  EXPECT_EQ(ReadLogical(0x1F800, 0x800, &ok), tail0);
  EXPECT_EQ(ReadLogical(0x20000, 0x1000, &ok), head1);
  EXPECT_EQ(ReadLogical(0x30000, 0x800, &ok), Pattern(0x800, 14));
  EXPECT_TRUE(ok);
  ReadLogical(0x3F800, 4, &ok);
  EXPECT_FALSE(ok);
}

TEST(BbmtMap, OffsetsAndEntriesBeyondTheChipNeverLeaveTheRegionOrTheFlash) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = m.block_bytes();
  bool ok = true;
  for (std::uint32_t at : {1024 * B, 0xFFFFFFFCu}) {
    ReadLogical(at, 4, &ok);
    EXPECT_FALSE(ok);
  }
  EXPECT_EQ(LogicalToPhysical(0xFFFFFFFC), 0xFFFFFFFCu);  // beyond the map: to itself
  EXPECT_EQ(BbmtReadWord(0xFFFFFFFC), 0u);  // a failed read gives 0
  m.SetMapEntry(30, 5000);                  // an entry leading beyond the chip
  ReadLogical(30 * B, 4, &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(WriteLogical(30 * B, {1, 2, 3, 4}));
  EXPECT_EQ(BbmtEraseBlock(30 * B), 0);
  EXPECT_EQ(m.nand().ProtocolErrors(), 0u);
}

TEST(BbmtMap, OffsetsAndLengthsOffTheWordAreRefusedBeforeAnyFlashAccess) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  std::vector<u32> words(2, 0xA5A5A5A5);
  std::uint64_t commands = m.nand().CommandCount();
  EXPECT_EQ(FlashOps.Read(words.data(), 0x40000, 6), 0);  // the driver would move 4 bytes of the 6
  EXPECT_EQ(FlashOps.Write(words.data(), 0x40000, 6), 0);
  EXPECT_EQ(FlashOps.Read(words.data(), 0x40002, 4), 0);
  EXPECT_EQ(FlashOps.Write(words.data(), 0x40002, 4), 0);
  EXPECT_EQ(m.nand().CommandCount(), commands);
  EXPECT_EQ(words, std::vector<u32>(2, 0xA5A5A5A5));
}

TEST(BbmtMap, WithoutTheRegionOrAProbedControllerEveryOperationFails) {
  NandModule m("0xF1EC", {{"os_driver", true}});
  m.module().faults().Add({.op = sim::FaultOp::kCreateFileMapping, .error = 8, .subject = "NAND_FLASH_BBMT"});
  EXPECT_EQ(FlashInit(), 0);
  m.module().faults().Add({.op = sim::FaultOp::kMapViewOfFile, .error = 8, .subject = ""});
  EXPECT_EQ(FlashInit(), 0);
  // The map is signed by the operating system, but the controller cannot be mapped: the probe fails
  // and no operation may drive it.
  m.module().faults().Add({.op = sim::FaultOp::kVirtualCopy, .error = 87, .count = -1, .subject = "0x43100000"});
  EXPECT_EQ(FlashInit(), 0);
  ASSERT_TRUE(m.Signed());
  std::uint64_t accesses = m.module().bus().AccessCount();
  bool ok = true;
  ReadLogical(kTesterRegion, 40, &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(WriteLogical(kTesterRegion, {1, 2, 3, 4}));
  EXPECT_EQ(FlashOps.WriteWord(kTesterRegion, 1), 0);
  EXPECT_EQ(FlashOps.Erase(kTesterRegion, 0x20000), 0);
  EXPECT_EQ(FlashOps.ReadWord(kTesterRegion), 0u);
  EXPECT_EQ(ReplaceBadBlock(kTesterRegion, 0), 0);
  EXPECT_EQ(m.module().bus().AccessCount(), accesses);
  m.module().faults().Clear();
  EXPECT_EQ(FlashInit(), 2);  // a later call succeeds
}

}  // namespace
}  // namespace bbmt_test
