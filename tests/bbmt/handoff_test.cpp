// The tester hand-off on NAND modules of every chip: the bundle is read through the map, its files
// written, the region erased (bad blocks met on the way replaced) and the program started.
#include <gtest/gtest.h>

#include "flash/flash_ops.h"
#include "sim/services.h"
#include "tester/tester.h"
#include "tests/bbmt/bbmt_fixture.h"
#include "tools/bundle.h"

namespace bbmt_test {
namespace {

constexpr std::uint32_t kTesterFlag = 0x00800000;

std::vector<tools::BundleFile> TwoFiles() {
  std::vector<std::uint8_t> text(5000);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>('a' + i % 26);
  return {{"\\notes.txt", text}, {"\\tester.exe", {'M', 'Z', 0x90, 0, 3}}};
}

// Packs the bundle as a packing tool would: through the flash library in a launcher process of its
// own, then a fresh process for the launcher.
void PackBundle(NandModule& m, const std::vector<tools::BundleFile>& files) {
  ASSERT_EQ(FlashInit(), 2);
  std::vector<std::uint8_t> encoded = tools::EncodeBundle(files);
  encoded.resize((encoded.size() + 3) & ~std::size_t{3}, 0);
  ASSERT_EQ(FlashOps.Erase(kTesterRegion, TESTER_REGION_LENGTH), 1);
  auto words = Words(encoded);
  ASSERT_EQ(FlashOps.Write(words.data(), kTesterRegion, static_cast<std::uint32_t>(encoded.size())), 1);
  m.RestartProcess();
}

void ExpectServed(NandModule& m) {
  const std::string& out = m.module().DebugTranscript();
  EXPECT_NE(out.find("Found \\notes.txt\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Launching \\tester.exe\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
  EXPECT_EQ(testing_support::ReadFile(m.module().description().root / "notes.txt").size(), 5000u);
  EXPECT_EQ(testing_support::ReadFile(m.module().description().root / "tester.exe"), std::string("MZ\x90\x00\x03", 5));
  ASSERT_EQ(m.module().os().processes.launches().size(), 1u);
  EXPECT_EQ(m.module().os().processes.launches()[0].image, u"\\tester.exe");
  // The region reads erased through the map.
  std::vector<std::uint32_t> region(TESTER_REGION_LENGTH / 4);
  ASSERT_EQ(FlashOps.Read(region.data(), kTesterRegion, TESTER_REGION_LENGTH), 1);
  for (std::uint32_t w : region) ASSERT_EQ(w, 0xFFFFFFFFu);
  EXPECT_EQ(m.nand().ProtocolErrors(), 0u);
}

class HandOffOnEveryChip : public ::testing::TestWithParam<const char*> {};

TEST_P(HandOffOnEveryChip, ServesTheBundleBuildingTheMapItself) {
  NandModule m(GetParam(), nlohmann::json::object(), kTesterFlag);
  PackBundle(m, TwoFiles());
  std::memset(m.Region(), 0, 4);  // as after a power-on: nobody has signed the map
  RunTesterHandOff();
  ExpectServed(m);
}

TEST_P(HandOffOnEveryChip, ServesTheBundleThroughTheMapTheOperatingSystemSigned) {
  NandModule m(GetParam(), {{"image", "nand.img"}}, kTesterFlag);
  PackBundle(m, TwoFiles());
  m.PowerCycle({{"os_driver", true}});
  ASSERT_TRUE(m.Signed());
  RunTesterHandOff();
  ExpectServed(m);
}

TEST_P(HandOffOnEveryChip, BadBlocksMetWhileErasingTheRegionAreReplaced) {
  NandModule m(GetParam(), {{"image", "nand.img"}, {"factory_bad_blocks", {3}}}, kTesterFlag);
  PackBundle(m, TwoFiles());
  const std::uint32_t first = kTesterRegion / m.block_bytes();
  m.PowerCycle({{"os_driver", true}});
  m.FailErase(first);           // the block holding the bundle's start
  m.FailErase(m.blocks() - 2);  // and the first spare it gets (the top one went to block 3)
  RunTesterHandOff();
  ExpectServed(m);
  EXPECT_EQ(m.MapEntry(first), m.blocks() - 3);
  // Both the map and the table on flash know it: a fresh build gives the same map.
  std::vector<std::uint16_t> map = m.MapSnapshot();
  m.RebuildMap();
  EXPECT_EQ(m.MapSnapshot(), map);
  std::vector<sim::BbmtEntry> entries = m.AllEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].logical, 0);
  EXPECT_EQ(entries[1].replacement, m.blocks() - 2);
  EXPECT_EQ(entries[2].logical, first);
}

INSTANTIATE_TEST_SUITE_P(Chips, HandOffOnEveryChip, ::testing::Values("0x75EC", "0x76EC", "0xF1EC", "0xD3EC", "0xDCAD"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param).substr(2); });

TEST(HandOffOnNand, AFailedFlashInitializationEndsWithTheReadError) {
  NandModule m("0xF1EC", nlohmann::json::object(), kTesterFlag);
  m.WriteTable({}, /*magic=*/false);
  RunTesterHandOff();
  EXPECT_EQ(m.module().DebugTranscript(),
            "Looking for KalvoriTester...\r\nCannot Initialize Flash Library\r\nERROR Reading Header from Flash\r\n");
}

}  // namespace
}  // namespace bbmt_test
