// Wear through the bad-block layer: what its erases and writes cost each physical block, the failed
// operation of a block it replaces included, kept with the image across power cycles.
#include <gtest/gtest.h>

#include "flash/flash_ops.h"
#include "tests/bbmt/bbmt_fixture.h"

namespace bbmt_test {
namespace {

constexpr std::uint32_t kB = 0x20000;  // a large-page block

sim::ImageStore::BlockWear WearOf(NandModule& m, std::uint32_t block) {
  const sim::NandBlockRef ref = m.nand().FlashBlockRefs(block).front();
  return m.nand().image().Wear(ref.chip_select * m.nand().chip().lanes + ref.device, ref.block);
}

std::vector<sim::NandBlockCounters> AllCounters(NandModule& m) {
  std::vector<sim::NandBlockCounters> counters;
  for (std::uint32_t b = 0; b < m.blocks(); ++b) counters.push_back(m.Counters(b));
  return counters;
}

TEST(BbmtWear, AReplacementWearsTheFailedBlockTheSpareAndTheTableBlockAndTheImageKeepsIt) {
  NandModule m("0xF1EC", {{"image", "nand.img"}});
  ASSERT_EQ(FlashInit(), 2);
  m.FailErase(5);
  EXPECT_EQ(FlashOps.Erase(5 * kB, kB), 1);
  ASSERT_EQ(m.MapEntry(5), 1023);
  EXPECT_EQ(WearOf(m, 5), (sim::ImageStore::BlockWear{0, 1})) << "the failed erase";
  EXPECT_EQ(WearOf(m, 1023).erases, 2u);
  EXPECT_GE(WearOf(m, 0).programs, 1u) << "the new table entry";
  const std::vector<sim::NandBlockCounters> first = AllCounters(m);

  m.PowerCycle();
  ASSERT_EQ(FlashInit(), 2);
  EXPECT_EQ(FlashOps.Erase(5 * kB, kB), 1);
  ASSERT_TRUE(WriteLogical(5 * kB + 0x800, Pattern(0x800, 1)));
  const std::vector<sim::NandBlockCounters> second = AllCounters(m);
  EXPECT_EQ(WearOf(m, 1023), (sim::ImageStore::BlockWear{1, 3}));
  for (std::uint32_t b = 0; b < m.blocks(); ++b) {
    const sim::ImageStore::BlockWear want{first[b].programs + second[b].programs,
                                          first[b].erases + second[b].erases};
    ASSERT_EQ(WearOf(m, b), want) << "block " << b << ": the counts of both power-ons";
  }
}

}  // namespace
}  // namespace bbmt_test
