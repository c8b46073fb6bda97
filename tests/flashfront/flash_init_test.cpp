// FlashInit on the two kinds of module: the driver is fixed by the processor, the table is filled once,
// a later call after success probes nothing, and a failed probe leaves the way open for another try.
#include <gtest/gtest.h>

#include "flash/flash_ops.h"
#include "sim/core/faults.h"
#include "sim/module.h"
#include "tests/support/module_fixture.h"

namespace {

TEST(FlashInit, NandModuleReportsNandOnceThenOneWithoutProbing) {
  testing_support::TempFolder folder;
  sim::Description d = testing_support::BareDescription(folder.path(), 5);
  d.flash = sim::ReadFlashConfig(nlohmann::json{{"type", "nand"}, {"chip", "0xF1EC"}}, d.folder);
  sim::Module module(d);

  ASSERT_EQ(FlashInit(), 2);
  EXPECT_EQ(FlashOps.FlashType, FLASH_TYPE_NAND);
  ASSERT_NE(FlashOps.GetPageSize, nullptr);
  EXPECT_EQ(FlashOps.GetPageSize(), 2048u);
  EXPECT_EQ(FlashOps.GetBlockSize(0), 0x20000u);  // one size for the whole chip
  EXPECT_EQ(FlashOps.GetBlockSize(0x13C0000), 0x20000u);
  EXPECT_EQ(FlashOps.Progress, nullptr);  // the client's slots are left alone
  EXPECT_EQ(FlashOps.ProgressStep, 0u);

  std::uint64_t accesses = module.bus().AccessCount();
  std::size_t maps = module.address_space().MapCalls().size();
  EXPECT_EQ(FlashInit(), 1);
  EXPECT_EQ(module.bus().AccessCount(), accesses);
  EXPECT_EQ(module.address_space().MapCalls().size(), maps);
  EXPECT_EQ(FlashOps.FlashType, FLASH_TYPE_NAND);
}

TEST(FlashInit, AFailedProbeIsRunAgainByTheNextCall) {
  testing_support::TempFolder folder;
  sim::Description d = testing_support::BareDescription(folder.path(), 17);
  d.flash = sim::ReadFlashConfig(nlohmann::json{{"type", "nor"}}, d.folder);
  sim::Module module(d);
  module.faults().Add({.op = sim::FaultOp::kVirtualCopy, .subject = "0x00000000"});  // once

  EXPECT_EQ(FlashInit(), 0);
  EXPECT_EQ(FlashOps.FlashType, FLASH_TYPE_NONE);
  ASSERT_NE(FlashOps.Read, nullptr);  // filled whatever the probe said
  EXPECT_EQ(FlashOps.GetPageSize, nullptr);

  EXPECT_EQ(FlashInit(), 1);  // probes again, and this time the flash answers
  EXPECT_EQ(FlashOps.FlashType, FLASH_TYPE_NOR);
  EXPECT_NE(FlashOps.UsableSize, 0u);
}

}  // namespace
