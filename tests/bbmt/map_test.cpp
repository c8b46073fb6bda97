// The shared map and remapped reads: building the map from the table, the signed-map path, the
// usable size, translation, chunks across blocks and the table-area rule on both page sizes.
#include <gtest/gtest.h>

#include "flash/bbmt/bbmt.h"
#include "flash/flash_ops.h"
#include "hw/devmem.h"
#include "tests/bbmt/bbmt_fixture.h"

namespace bbmt_test {
namespace {

std::vector<std::uint8_t> ReadLogical(std::uint32_t offset, std::uint32_t bytes, bool* ok = nullptr) {
  std::vector<std::uint32_t> words(bytes / 4, 0xA5A5A5A5);
  bool result = FlashOps.Read(words.data(), offset, bytes) != 0;
  if (ok) *ok = result;
  return Bytes(words);
}

TEST(BbmtMap, FreshRegionIsBuiltFromTheTableUpToItsEndMarker) {
  NandModule m("0xF1EC");
  // Block 7 moved twice (the later entry wins), two retired entries, one naming a block the chip
  // does not have, and an entry behind the end marker.
  std::vector<std::uint8_t> t = m.MakeTable({{7, 1023}, {0, 1022}, {0, 1021}, {7, 1020}, {5000, 1019}});
  t[4 + 5 * 4] = t[4 + 5 * 4 + 1] = 0xFF;  // the end marker
  t[4 + 6 * 4] = 3;                        // and an entry behind it
  t[4 + 6 * 4 + 1] = 0;
  t[4 + 6 * 4 + 2] = 0xF0;
  t[4 + 6 * 4 + 3] = 0x03;
  m.WriteTableBytes(t);

  ASSERT_EQ(FlashInit(), 2);
  ASSERT_TRUE(m.Signed());
  EXPECT_EQ(m.MapEntry(0), 0);
  EXPECT_EQ(m.MapEntry(7), 1020);
  EXPECT_EQ(m.MapEntry(3), 3);     // behind the end marker
  EXPECT_EQ(m.MapEntry(1023), 1023);
  EXPECT_EQ(m.MapEntry(1019), 1019);
  // Nothing beyond the block count was written, the region's tail is untouched.
  for (std::uint32_t i = 1024; i < 8192; ++i) ASSERT_EQ(m.MapEntry(i), 0) << i;
  EXPECT_EQ(FlashOps.FlashType, FLASH_TYPE_NAND);
  EXPECT_EQ(FlashOps.DeviceClass, 1u);
}

TEST(BbmtMap, SignedRegionIsUsedAsItStandsWithoutConfiguringOrReadingTheTable) {
  NandModule m("0xF1EC", {{"os_driver", true}});
  ASSERT_TRUE(m.Signed());
  m.SetMapEntry(12, 1000);  // something only the map knows
  std::vector<sim::BusAccess> writes;
  m.module().bus().SetTracer([&](const sim::BusAccess& a) {
    if (a.kind == sim::BusAccess::Kind::kWrite) writes.push_back(a);
  });
  std::uint64_t commands = m.nand().CommandCount();

  ASSERT_EQ(FlashInit(), 2);
  m.module().bus().SetTracer({});
  EXPECT_EQ(m.MapEntry(12), 1000);
  for (const sim::BusAccess& a : writes) {
    EXPECT_NE(a.address, 0x43100004u) << "timing register 0 written";
    EXPECT_NE(a.address, 0x4310000Cu) << "timing register 1 written";
    if (a.address == 0x43100000u) {
      EXPECT_NE(a.value & 0x10000000u, 0u) << "control register composed";
    }
  }
  // The probe's READ ID and the second READ ID: no table read, no reset.
  ASSERT_EQ(m.nand().CommandCount() - commands, 2u);
  for (const sim::NandCommandRecord& r : m.nand().CommandLog()) {
    if (r.sequence > commands) {
      EXPECT_EQ(r.type(), sim::NandController::kTypeReadId);
    }
  }
  EXPECT_EQ(FlashOps.UsableSize, 1004u * 0x20000);
}

TEST(BbmtMap, TableWithoutMagicFailsAndLeavesTheRegionUnsigned) {
  NandModule m("0x75EC");
  m.WriteTable({{5, 2047}}, /*magic=*/false);
  EXPECT_EQ(FlashInit(), 0);
  EXPECT_EQ(FlashOps.FlashType, FLASH_TYPE_NONE);
  EXPECT_FALSE(m.Signed());
  // The slots are filled, but nothing goes to the flash.
  std::uint64_t commands = m.nand().CommandCount();
  bool ok = true;
  ReadLogical(kTesterRegion, 40, &ok);
  EXPECT_FALSE(ok);
  std::uint32_t word = 0;
  EXPECT_EQ(FlashOps.Write(&word, 0x40000, 4), 0);
  EXPECT_EQ(FlashOps.Erase(kTesterRegion, 0x40000), 0);
  EXPECT_EQ(m.nand().CommandCount(), commands);
}

TEST(BbmtMap, ReservedBlocksAndUsableSizeFollowTheBlockCount) {
  struct Case {
    const char* chip;
    std::uint32_t reserved;
  };
  for (Case c : {Case{"0xF1EC", 20}, Case{"0x75EC", 40}, Case{"0x76EC", 81}, Case{"0xD3EC", 163}, Case{"0xDCAD", 163}}) {
    SCOPED_TRACE(c.chip);
    NandModule m(c.chip);
    ASSERT_EQ(FlashInit(), 2);
    EXPECT_EQ(FlashOps.UsableSize, (m.blocks() - c.reserved) * m.block_bytes());
    EXPECT_EQ(FlashOps.DeviceClass, m.facts().device_class);
    EXPECT_EQ(FlashOps.GetBlockSize(0), m.block_bytes());
    EXPECT_EQ(FlashOps.GetPageSize(), m.facts().page_bytes);
  }
}

TEST(BbmtMap, DisplacementLeadsToHigherAndLowerBlocksAndReadsFollowIt) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = m.block_bytes();
  m.SetMapEntry(7, 1023);   // to a higher block
  m.SetMapEntry(1000, 3);   // to a lower one
  EXPECT_EQ(LogicalToPhysical(5 * B + 0x40), 0u);
  EXPECT_EQ(LogicalToPhysical(7 * B), (1023u - 7) * B);
  EXPECT_EQ(LogicalToPhysical(1000 * B + 0x100), static_cast<std::uint32_t>((3u - 1000u) * B));
  EXPECT_EQ(1000 * B + 0x100 + LogicalToPhysical(1000 * B + 0x100), 3 * B + 0x100);

  auto high = Pattern(0x100, 1);
  auto low = Pattern(0x100, 2);
  m.ProgramPhysical(1023 * B + 0x80, high);
  m.ProgramPhysical(3 * B + 0x80, low);
  EXPECT_EQ(ReadLogical(7 * B + 0x80, 0x100), high);
  EXPECT_EQ(ReadLogical(1000 * B + 0x80, 0x100), low);
  EXPECT_EQ(BbmtReadWord(7 * B + 0x80), high[0] | high[1] << 8 | high[2] << 16 | static_cast<std::uint32_t>(high[3]) << 24);
}

TEST(BbmtMap, AReadAcrossABlockBoundaryGoesThroughEachBlocksEntry) {
  NandModule m("0x76EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = m.block_bytes();
  m.SetMapEntry(10, 4000);
  m.SetMapEntry(11, 3999);
  auto tail = Pattern(0x200, 3);
  auto head = Pattern(0x200, 4);
  m.ProgramPhysical(4000 * B + B - 0x200, tail);
  m.ProgramPhysical(3999 * B, head);
  std::vector<std::uint8_t> both = tail;
  both.insert(both.end(), head.begin(), head.end());
  EXPECT_EQ(ReadLogical(11 * B - 0x200, 0x400), both);
}

TEST(BbmtMap, SmallPageTableIsAHoleInTheLogicalSpace) {
  NandModule m("0x75EC");
  ASSERT_EQ(FlashInit(), 2);
  auto before = Pattern(0x200, 5);
  auto after = Pattern(0x400, 6);
  m.ProgramPhysical(0x3C00, before);
  m.ProgramPhysical(0x4000, after);

  bool ok = true;
  for (std::uint32_t at : {0x3E00u, 0x3F00u, 0x3FFCu}) {
    ReadLogical(at, 4, &ok);
    EXPECT_FALSE(ok) << std::hex << at;
  }
  // Cut at the table: the bytes before it arrive, the table's never do, and the call fails since the
  // rest of the request lies in the table.
  std::uint64_t commands = m.nand().CommandCount();
  auto got = ReadLogical(0x3C00, 0x600, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.begin() + 0x200), before);
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin() + 0x200, got.end()), std::vector<std::uint8_t>(0x400, 0xA5));
  ASSERT_EQ(m.nand().CommandCount() - commands, 1u);  // one page, before the table
  EXPECT_EQ(m.nand().CommandLog().back().type(), sim::NandController::kTypeRead);
  EXPECT_EQ(ReadLogical(0x3C00, 0x200, &ok), before);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadLogical(0x4000, 0x400, &ok), after);
  EXPECT_TRUE(ok);
}

TEST(BbmtMap, LargePageFirst256KiBAreSeenWithoutTheTablesPage) {
  NandModule m("0xD3EC");
  ASSERT_EQ(FlashInit(), 2);
  auto a = Pattern(0x800, 7);
  auto b = Pattern(0x800, 8);
  auto c = Pattern(0x800, 9);
  auto d = Pattern(0x800, 10);
  m.ProgramPhysical(0x1F000, a);
  m.ProgramPhysical(0x20000, b);
  m.ProgramPhysical(0x3F800, c);
  m.ProgramPhysical(0x40000, d);

  bool ok = false;
  EXPECT_EQ(ReadLogical(0x1F000, 0x800, &ok), a);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadLogical(0x1F800, 0x800, &ok), b);  // the table's page is skipped
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadLogical(0x3F000, 0x800, &ok), c);
  EXPECT_TRUE(ok);
  ReadLogical(0x3F000, 0x1000, &ok);  // would reach beyond the shifted view
  EXPECT_FALSE(ok);
  ReadLogical(0x3F800, 4, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(ReadLogical(0x40000, 0x800, &ok), d);
  EXPECT_TRUE(ok);

  // Split at the table: physical 0x1F000..0x1F7FF, then 0x20000..0x207FF.
  std::vector<std::uint8_t> split = a;
  split.insert(split.end(), b.begin(), b.end());
  EXPECT_EQ(ReadLogical(0x1F000, 0x1000, &ok), split);
  EXPECT_TRUE(ok);
}

TEST(BbmtMap, LargePageSplitThatRunsOnIntoBlock1ReadsTheRestWhereADirectReadFindsIt) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  auto data = Pattern(0x3000, 11);
  // Logical 0x1F000..0x21FFF as the layer places it: physical 0x1F000..0x1F7FF, then 0x20000 on.
  m.ProgramPhysical(0x1F000, std::span(data).subspan(0, 0x800));
  m.ProgramPhysical(0x20000, std::span(data).subspan(0x800));
  bool ok = false;
  EXPECT_EQ(ReadLogical(0x1F000, 0x3000, &ok), data);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadLogical(0x20000, 0x1000, &ok), std::vector<std::uint8_t>(data.begin() + 0x1000, data.end() - 0x1000));
  EXPECT_TRUE(ok);
}

TEST(BbmtMap, LargePageViewOfTheFirst256KiBStaysWhenBlock1IsReplaced) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  auto tail0 = Pattern(0x800, 12);   // logical 0x1F800: lives in physical block 1
  auto head1 = Pattern(0x1000, 13);  // logical 0x20000
  auto words = Words(tail0);
  ASSERT_EQ(FlashOps.Write(words.data(), 0x1F800, 0x800), 1);
  words = Words(head1);
  ASSERT_EQ(FlashOps.Write(words.data(), 0x20000, 0x1000), 1);

  // Block 1 goes bad on the next program: its data moves to the top spare.
  m.FailProgram(1);
  words = Words(Pattern(0x800, 14));
  ASSERT_EQ(FlashOps.Write(words.data(), 0x30000, 0x800), 1);
  ASSERT_EQ(m.MapEntry(1), 1023);

  bool ok = false;
  EXPECT_EQ(ReadLogical(0x1F800, 0x800, &ok), tail0);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadLogical(0x20000, 0x1000, &ok), head1);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadLogical(0x30000, 0x800, &ok), Pattern(0x800, 14));
  EXPECT_TRUE(ok);
  ReadLogical(0x3F800, 4, &ok);  // still refused
  EXPECT_FALSE(ok);
}

TEST(BbmtMap, OffsetsAndEntriesBeyondTheChipNeverLeaveTheRegionOrTheFlash) {
  NandModule m("0xF1EC");
  ASSERT_EQ(FlashInit(), 2);
  const std::uint32_t B = m.block_bytes();
  bool ok = true;
  ReadLogical(1024 * B, 4, &ok);  // the first block the chip does not have
  EXPECT_FALSE(ok);
  ReadLogical(0xFFFFFFFC, 4, &ok);  // far beyond the region's 8192 entries
  EXPECT_FALSE(ok);
  EXPECT_EQ(LogicalToPhysical(0xFFFFFFFC), 0u);
  EXPECT_EQ(BbmtReadWord(0xFFFFFFFC), 0u);  // a failed read gives 0
  // A map entry leading beyond the chip.
  m.SetMapEntry(30, 5000);
  ReadLogical(30 * B, 4, &ok);
  EXPECT_FALSE(ok);
  std::uint32_t word = 0;
  EXPECT_EQ(FlashOps.Write(&word, 30 * B, 4), 0);
  EXPECT_EQ(BbmtEraseBlock(30 * B), 0);
  EXPECT_EQ(m.nand().ProtocolErrors(), 0u);
}

TEST(BbmtMap, ARegionThatCannotBeCreatedOrMappedFailsTheInitialisation) {
  NandModule m("0xF1EC");
  m.module().faults().Add({.op = sim::FaultOp::kCreateFileMapping, .error = 8, .subject = "NAND_FLASH_BBMT"});
  EXPECT_EQ(FlashInit(), 0);
  m.module().faults().Add({.op = sim::FaultOp::kMapViewOfFile, .error = 8, .subject = ""});
  EXPECT_EQ(FlashInit(), 0);
  EXPECT_EQ(FlashOps.Read, &BbmtRead);
  bool ok = true;
  ReadLogical(kTesterRegion, 40, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(FlashInit(), 2);  // the faults are spent: a later call succeeds
}

TEST(BbmtMap, AMapSignedByAnotherUserAfterAFailedProbeNeverDrivesTheController) {
  // The controller cannot be mapped, so the probe fails; the operating system's driver has signed
  // the map all the same.
  NandModule m("0xF1EC", {{"os_driver", true}});
  m.module().faults().Add({.op = sim::FaultOp::kVirtualCopy, .error = 87, .count = -1, .subject = "0x43100000"});
  ASSERT_TRUE(m.Signed());
  EXPECT_EQ(FlashInit(), 0);
  std::uint64_t accesses = m.module().bus().AccessCount();
  bool ok = true;
  ReadLogical(kTesterRegion, 40, &ok);
  EXPECT_FALSE(ok);
  std::uint32_t word = 0;
  EXPECT_EQ(FlashOps.Write(&word, kTesterRegion, 4), 0);
  EXPECT_EQ(FlashOps.WriteWord(kTesterRegion, 1), 0);
  EXPECT_EQ(FlashOps.Erase(kTesterRegion, 0x20000), 0);
  EXPECT_EQ(FlashOps.ReadWord(kTesterRegion), 0u);
  EXPECT_EQ(ReplaceBadBlock(kTesterRegion, 0), 0);
  EXPECT_EQ(m.module().bus().AccessCount(), accesses);
}

}  // namespace
}  // namespace bbmt_test
