// The tester hand-off on NAND modules of every chip, through RunTesterHandOff: files written, the
// region erased with bad blocks met on the way replaced, the program started.
#include <gtest/gtest.h>

#include "flash/flash_ops.h"
#include "sim/services.h"
#include "tester/tester.h"
#include "tests/bbmt/bbmt_fixture.h"
#include "tools/bundle.h"

namespace bbmt_test {
namespace {

constexpr std::uint32_t kTesterFlag = 0x00800000;

class HandOffOnEveryChip : public ::testing::TestWithParam<const char*> {};

TEST_P(HandOffOnEveryChip, ServesTheBundleAndReplacesBadBlocksMetWhileErasingTheRegion) {
  NandModule m(GetParam(), {{"image", "nand.img"}, {"factory_bad_blocks", {3}}}, kTesterFlag);
  // Packed through the flash library, as a packing tool does.
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> notes(5000, 'n');
  std::vector<std::uint8_t> encoded = tools::EncodeBundle({{"\\notes.txt", notes}, {"\\tester.exe", {'M', 'Z', 0x90, 0, 3}}});
  encoded.resize((encoded.size() + 3) & ~std::size_t{3});
  ASSERT_EQ(FlashOps.Erase(kTesterRegion, TESTER_REGION_LENGTH), 1);
  ASSERT_TRUE(WriteLogical(kTesterRegion, encoded));

  // Next power-on: the operating system signs the map; the region's first block and the first spare
  // it gets (the top one went to block 3) fail their erase.
  m.PowerCycle({{"os_driver", true}});
  const std::uint32_t first = kTesterRegion / m.block_bytes();
  m.FailErase(first);
  m.FailErase(m.blocks() - 2);
  RunTesterHandOff();

  const std::string& out = m.module().DebugTranscript();
  EXPECT_EQ(out, "Looking for KalvoriTester...\r\nFound \\notes.txt\r\nFound \\tester.exe\r\nLaunching \\tester.exe\r\n");
  EXPECT_EQ(testing_support::ReadFile(m.module().description().root / "notes.txt"), std::string(5000, 'n'));
  ASSERT_EQ(m.module().os().processes.launches().size(), 1u);
  EXPECT_EQ(m.module().os().processes.launches()[0].image, u"\\tester.exe");
  EXPECT_EQ(ReadLogical(kTesterRegion, TESTER_REGION_LENGTH), std::vector<std::uint8_t>(TESTER_REGION_LENGTH, 0xFF));
  EXPECT_EQ(m.MapEntry(first), m.blocks() - 3);
  std::vector<sim::BbmtEntry> e = m.AllEntries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ((std::vector<std::uint32_t>{e[1].logical, e[1].replacement, e[2].logical}),
            (std::vector<std::uint32_t>{0, m.blocks() - 2, first}));
  std::vector<std::uint16_t> map = m.MapSnapshot();
  m.RebuildMap();
  EXPECT_EQ(m.MapSnapshot(), map);
  EXPECT_EQ(m.nand().ProtocolErrors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Chips, HandOffOnEveryChip, ::testing::Values("0x75EC", "0x76EC", "0xF1EC", "0xD3EC", "0xDCAD"),
                         [](const auto& info) { return std::string(info.param).substr(2); });

TEST(HandOffOnNand, AFailedFlashInitializationEndsWithTheReadError) {
  NandModule m("0xF1EC", nlohmann::json::object(), kTesterFlag);
  m.WriteTable({}, /*magic=*/false);
  RunTesterHandOff();
  EXPECT_EQ(m.module().DebugTranscript(),
            "Looking for KalvoriTester...\r\nCannot Initialize Flash Library\r\nERROR Reading Header from Flash\r\n");
}

}  // namespace
}  // namespace bbmt_test
