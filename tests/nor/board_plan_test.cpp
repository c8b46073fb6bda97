// The emulated board's plan (tests/arm_board) on our own model of the NOR devices: the same operations
// through FlashOps leave the image that QEMU's flash is held to, so the two models agree wherever the
// driver relies on the devices. Our model is the stricter one where the devices' contract is (lock
// bits at power-up, a 16-word write buffer inside one line, programs that only clear bits).
#include "tests/arm_board/board_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <vector>

#include "flash/flash_ops.h"
#include "sim/hw/nor_flash.h"
#include "sim/module.h"
#include "tests/arm_board/board_images.h"
#include "tests/support/module_fixture.h"

namespace {

// The board's flash: two devices of 2^25 bytes with device code 0x18.
constexpr std::uint16_t kBoardDeviceCode = 0x18;
constexpr std::uint8_t kBoardSizeCode = 25;
constexpr std::uint32_t kCompareBytes = 0x100000;

TEST(BoardPlanOnTheModel, LeavesTheImageTheBoardIsHeldTo) {
  testing_support::TempFolder folder;
  sim::Description d = testing_support::BareDescription(folder.path(), 17);
  d.flash.type = sim::FlashConfig::Type::kNor;
  d.flash.nor.device_code = kBoardDeviceCode;
  d.flash.nor.size_code = kBoardSizeCode;
  sim::Module module(std::move(d));
  sim::NorFlash* nor = module.FindDevice<sim::NorFlash>();
  ASSERT_NE(nor, nullptr);

  board::Image before = board::ImageBeforeRun();
  for (const BoardRange& range : BoardPrefill) {
    nor->Poke(range.Offset, std::span(before).subspan(range.Offset, range.Length));
  }

  ASSERT_EQ(FlashInit(), 1);
  EXPECT_EQ(FlashOps.DeviceClass, BOARD_DEVICE_CLASS);
  EXPECT_EQ(FlashOps.UsableSize, BOARD_FLASH_BYTES);

  EXPECT_TRUE(FlashOps.Erase(BOARD_ERASE_OFFSET, BOARD_ERASE_LENGTH));
  EXPECT_TRUE(FlashOps.Erase(BOARD_ERASE_INSIDE_14, 0));
  EXPECT_TRUE(FlashOps.Erase(BOARD_ERASE_START_15, 0));
  for (const BoardWord& word : BoardWords) EXPECT_TRUE(FlashOps.WriteWord(word.Offset, word.Value));
  std::vector<u32> source(BOARD_WRITE_MAX / 4 + 1);
  for (std::uint32_t l = 0; l < BOARD_WRITE_LENGTH_COUNT; ++l) {
    for (std::uint32_t a = 0; a < BOARD_WRITE_ALIGNMENTS; ++a) {
      std::uint32_t offset = BoardWriteOffset(l, a);
      auto* bytes = reinterpret_cast<std::uint8_t*>(source.data());
      for (std::uint32_t i = 0; i < BoardProgrammedBytes(BoardWriteLengths[l]); ++i) {
        bytes[i] = BoardPatternByte(offset + i, BoardWriteSeed(l, a));
      }
      EXPECT_TRUE(FlashOps.Write(source.data(), offset, BoardWriteLengths[l]))
          << BoardWriteLengths[l] << " at " << offset;
    }
  }
  // The bundle's cycle: the region erased, written, erased again.
  EXPECT_TRUE(FlashOps.Erase(BOARD_BUNDLE_OFFSET, BOARD_BUNDLE_LENGTH));
  EXPECT_TRUE(FlashOps.Write(source.data(), BOARD_BUNDLE_OFFSET, BOARD_WRITE_MAX));
  EXPECT_TRUE(FlashOps.Erase(BOARD_BUNDLE_OFFSET, BOARD_BUNDLE_LENGTH));

  // The blank blocks of the ranged erase were skipped, as on the board.
  EXPECT_EQ(nor->EraseCount(10 * BOARD_BLOCK_BYTES), 0u);
  EXPECT_EQ(nor->EraseCount(12 * BOARD_BLOCK_BYTES), 0u);
  EXPECT_EQ(nor->EraseCount(11 * BOARD_BLOCK_BYTES), 1u);

  board::Image expected = board::ImageAfterRun();
  for (std::uint32_t offset = 0; offset < BOARD_FLASH_BYTES; offset += kCompareBytes) {
    std::vector<std::uint8_t> held = nor->Peek(offset, kCompareBytes);
    ASSERT_TRUE(std::equal(held.begin(), held.end(), expected.begin() + offset))
        << "the model's flash differs from the plan in the MiB at 0x" << std::hex << offset;
  }
}

}  // namespace
