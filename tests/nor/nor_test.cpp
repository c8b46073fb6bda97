// The flash library on a NOR module: FlashInit and the NOR operations reached through FlashOps, against
// the model of the two flash devices at physical 0.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "flash/flash_ops.h"
#include "sim/core/faults.h"
#include "sim/core/text.h"
#include "sim/hw/nor_flash.h"
#include "sim/module.h"
#include "tests/support/module_fixture.h"

namespace {

using sim::NorCycle;
using sim::NorFlash;

constexpr std::uint32_t kBlock = 0x40000;
constexpr std::uint32_t kSmallBlock = 0x10000;
constexpr std::uint32_t kRegion = 0x13C0000;  // the tester's region
constexpr std::uint32_t kReadArray = 0x00FF00FF;

std::vector<std::pair<u32, u32>> gProgressCalls;
i32 gProgressAnswer = 1;

i32 RecordProgress(u32 done, u32 total) {
  gProgressCalls.push_back({done, total});
  return gProgressAnswer;
}

class NorTest : public ::testing::Test {
 protected:
  // Powers up a NOR module (processor product 17) with the flash part.
  void PowerUp(std::uint16_t device_code = 0x8922, int size_code = 24) {
    sim::Description d = testing_support::BareDescription(folder_.path(), 17);
    d.flash = sim::ReadFlashConfig(
        nlohmann::json{{"type", "nor"}, {"device_code", device_code}, {"size_code", size_code}}, d.folder);
    module_.emplace(std::move(d));
    nor_ = module_->FindDevice<NorFlash>();
    ASSERT_NE(nor_, nullptr);
    gProgressCalls.clear();
    gProgressAnswer = 1;
  }
  void Start(std::uint16_t device_code = 0x8922, int size_code = 24) {
    PowerUp(device_code, size_code);
    ASSERT_EQ(FlashInit(), 1);
    nor_->StartLog();
  }

  // Data as the factory left it, so that a block is not blank.
  void Fill(std::uint32_t offset, std::uint32_t bytes, std::uint8_t value = 0x5A) {
    std::vector<std::uint8_t> data(bytes, value);
    nor_->Poke(offset, data);
  }

  // The bus words that both devices took as a buffered program's word count, with their offsets.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> CountWords() const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const sim::NorLogEntry& e : nor_->Log()) {
      if (e.cycle[0] == NorCycle::kBufferCount && e.cycle[1] == NorCycle::kBufferCount) out.push_back({e.offset, e.value});
    }
    return out;
  }
  std::size_t Commands(std::uint32_t value) const {
    std::size_t n = 0;
    for (const sim::NorLogEntry& e : nor_->Log()) n += e.value == value && e.cycle[0] == NorCycle::kCommand;
    return n;
  }
  bool AtRest() const {
    return nor_->ModeOf(0) == NorFlash::Mode::kReadArray && nor_->ModeOf(1) == NorFlash::Mode::kReadArray;
  }

  testing_support::TempFolder folder_;
  std::optional<sim::Module> module_;
  NorFlash* nor_ = nullptr;
};

// --- probe ---

TEST_F(NorTest, ProbeTakesClassFromDeviceZeroAndSizeFromTheQuery) {
  struct Case {
    std::uint16_t code;
    int size_code;
    u32 device_class;
    u32 usable;
  };
  for (Case c : {Case{0x8922, 24, 3, 0x2000000}, Case{0x881A, 25, 3, 0x4000000}, Case{0x0018, 26, 1, 0x4000000},
                 Case{0x8802, 20, 2, 0x200000}, Case{0x1234, 18, 0, 0x80000}}) {
    SCOPED_TRACE(c.code);
    PowerUp(c.code, c.size_code);
    EXPECT_EQ(FlashInit(), 1);
    EXPECT_EQ(FlashOps.FlashType, FLASH_TYPE_NOR);
    EXPECT_EQ(FlashOps.DeviceClass, c.device_class);
    EXPECT_EQ(FlashOps.UsableSize, c.usable);
    EXPECT_EQ(FlashOps.GetPageSize, nullptr);
    EXPECT_TRUE(AtRest());
    EXPECT_EQ(nor_->StatusOf(0), NorFlash::kStatusReady);
    module_.reset();
  }

  PowerUp(0x8922, 24);
  nor_->SetDeviceCodeAnswer(1, 0x0017);  // device 1's half is not looked at
  EXPECT_EQ(FlashInit(), 1);
  EXPECT_EQ(FlashOps.DeviceClass, 3u);

  std::uint64_t accesses = module_->bus().AccessCount();
  EXPECT_EQ(FlashInit(), 1);  // no second probe
  EXPECT_EQ(module_->bus().AccessCount(), accesses);
}

TEST_F(NorTest, AFlashThatDoesNotIdentifyItselfFailsEveryOperation) {
  PowerUp();
  nor_->SetManufacturerCode(1, 0x0088);  // one half 0x0089 is not enough
  EXPECT_EQ(FlashInit(), 0);
  EXPECT_EQ(FlashOps.FlashType, FLASH_TYPE_NONE);
  EXPECT_EQ(FlashOps.UsableSize, 0u);
  EXPECT_TRUE(AtRest());

  nor_->StartLog();
  u32 buffer[10] = {};
  EXPECT_EQ(FlashOps.Read(buffer, kRegion, 40), 0);
  EXPECT_EQ(FlashOps.Erase(kRegion, kBlock), 0);
  EXPECT_EQ(FlashOps.Write(buffer, 0, 4), 0);
  EXPECT_EQ(FlashOps.WriteWord(0, 0), 0);
  EXPECT_EQ(FlashOps.ReadWord(0), 0u);
  EXPECT_TRUE(nor_->Log().empty());
}

TEST_F(NorTest, ProbeFailsCleanlyWhenTheSizeOrAMappingIsUnusable) {
  PowerUp();
  nor_->SetQuerySizeCode(0, 31);  // 2 * 2^31 overflows 32 bits
  EXPECT_EQ(FlashInit(), 0);
  EXPECT_EQ(FlashOps.UsableSize, 0u);
  EXPECT_TRUE(AtRest());

  PowerUp();
  module_->faults().Add({.op = sim::FaultOp::kVirtualCopy, .subject = "0x00000000"});
  EXPECT_EQ(FlashInit(), 0);
  EXPECT_TRUE(module_->address_space().Reservations().empty());

  // The whole-flash window fails after identification: the devices go back to read array.
  PowerUp();
  module_->faults().Add({.op = sim::FaultOp::kVirtualCopy, .skip = 1, .subject = "0x00000000"});
  EXPECT_EQ(FlashInit(), 0);
  EXPECT_EQ(FlashOps.UsableSize, 0u);
  EXPECT_TRUE(AtRest());
  u32 word;
  EXPECT_EQ(FlashOps.Read(&word, 0, 4), 0);
}

TEST_F(NorTest, ProbeUnlocksEveryBlockFromThe256KiBMarkUp) {
  for (std::uint16_t code : {std::uint16_t{0x8922}, std::uint16_t{0x0018}}) {
    SCOPED_TRACE(code);
    PowerUp(code, 24);  // 32 MiB
    ASSERT_EQ(FlashInit(), 1);
    int unlocked = 0;
    for (const NorFlash::Block& b : nor_->Blocks()) {
      bool open = !nor_->IsLocked(b.offset, 0) && !nor_->IsLocked(b.offset, 1);
      EXPECT_EQ(open, b.offset >= kBlock) << sim::Hex(b.offset);
      unlocked += open;
    }
    EXPECT_EQ(unlocked, 127);
    module_.reset();
  }
}

// --- program ---

TEST_F(NorTest, BufferedProgramKeepsChunksInside64ByteLines) {
  Start();
  u32 data[25];
  for (u32 i = 0; i < 25; ++i) data[i] = 0x01020304u * (i + 1);
  ASSERT_EQ(FlashOps.Erase(0, kSmallBlock), 1);  // unlocks block 0; it is blank, so no erase
  EXPECT_EQ(nor_->EraseCount(0), 0u);

  nor_->StartLog();
  ASSERT_EQ(FlashOps.Write(data, 0, 100), 1);
  EXPECT_EQ(CountWords(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 0x000F000F}, {0x40, 0x00080008}}));
  u32 back[25];
  ASSERT_EQ(FlashOps.Read(back, 0, 100), 1);
  EXPECT_EQ(std::vector<u32>(back, back + 25), std::vector<u32>(data, data + 25));
  EXPECT_TRUE(AtRest());

  nor_->StartLog();
  u32 two[3] = {0x11111111, 0x22222222, 0x33333333};
  ASSERT_EQ(FlashOps.Write(two, kRegion + 0x3C, 6), 1);  // 6 bytes: two words, one per line
  EXPECT_EQ(CountWords(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{kRegion + 0x3C, 0},
                                                                                 {kRegion + 0x40, 0}}));
  EXPECT_EQ(nor_->PeekWord(kRegion + 0x40), 0x22222222u);
  EXPECT_EQ(nor_->PeekWord(kRegion + 0x44), 0xFFFFFFFFu);

  nor_->StartLog();
  EXPECT_EQ(FlashOps.Write(two, kRegion, 0), 1);
  ASSERT_EQ(nor_->Log().size(), 1u);
  EXPECT_EQ(nor_->Log()[0].value, kReadArray);
}

TEST_F(NorTest, WrittenDataReadsBackAndProgrammingOnlyClearsBits) {
  Start();
  const u32 bytes = 0x10000;
  std::vector<u32> data(bytes / 4);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<u32>(i * 2654435761u);
  ASSERT_EQ(FlashOps.Write(data.data(), kRegion, bytes), 1);
  std::vector<u32> back(data.size());
  ASSERT_EQ(FlashOps.Read(back.data(), kRegion, bytes), 1);
  EXPECT_EQ(back, data);
  EXPECT_EQ(nor_->ProgramOperations(0), bytes / 64);

  ASSERT_EQ(FlashOps.WriteWord(kRegion + kBlock, 0x0F0FFFFF), 1);
  ASSERT_EQ(FlashOps.WriteWord(kRegion + kBlock, 0xFFFF00FF), 1);
  EXPECT_EQ(FlashOps.ReadWord(kRegion + kBlock), 0x0F0F00FFu);
  EXPECT_TRUE(AtRest());
}

TEST_F(NorTest, ProgramErrorOfEitherDeviceFailsTheProgram) {
  Start();
  u32 word = 0x12345678;
  nor_->FailProgram(kRegion, 1);  // bit 4 only
  EXPECT_EQ(FlashOps.WriteWord(kRegion, word), 0);
  EXPECT_TRUE(AtRest());

  PowerUp();
  ASSERT_EQ(FlashInit(), 1);
  nor_->FailProgram(kRegion, 0);
  u32 data[20] = {};
  EXPECT_EQ(FlashOps.Write(data, kRegion, sizeof data), 0);
  EXPECT_EQ(nor_->ProgramOperations(0), 1u);  // stops after the failed chunk
  EXPECT_TRUE(AtRest());

  PowerUp();
  ASSERT_EQ(FlashInit(), 1);
  EXPECT_EQ(FlashOps.WriteWord(0, word), 0);  // block 0 is still locked
  EXPECT_EQ(nor_->PeekWord(0), 0xFFFFFFFFu);
}

// --- erase ---

TEST_F(NorTest, EraseCoversTheBlocksThatHoldTheRange) {
  Start();
  Fill(kRegion, 2 * kBlock);
  EXPECT_EQ(FlashOps.Erase(kRegion, kBlock), 1);
  EXPECT_EQ(nor_->EraseCount(kRegion), 1u);
  EXPECT_EQ(nor_->EraseCount(kRegion + kBlock), 0u);
  EXPECT_EQ(nor_->PeekWord(kRegion + kBlock - 4), 0xFFFFFFFFu);
  EXPECT_EQ(nor_->PeekWord(kRegion + kBlock), 0x5A5A5A5Au);
  EXPECT_TRUE(AtRest());

  // Length 0 at an unaligned offset still erases the block that holds it; at an aligned one, nothing.
  EXPECT_EQ(FlashOps.Erase(kRegion + kBlock + 0x100, 0), 1);
  EXPECT_EQ(nor_->EraseCount(kRegion + kBlock), 1u);
  nor_->StartLog();
  EXPECT_EQ(FlashOps.Erase(kRegion, 0), 1);
  EXPECT_TRUE(nor_->Log().empty());

  // An already blank block is unlocked but not erased; an unlocked one needs no lock commands.
  nor_->StartLog();
  EXPECT_EQ(FlashOps.Erase(kRegion, kBlock), 1);
  EXPECT_EQ(nor_->EraseCount(kRegion), 1u);
  EXPECT_EQ(Commands(0x00600060), 0u);
  EXPECT_EQ(Commands(0x00200020), 0u);
}

TEST_F(NorTest, BottomBlocksOfClassThreeEraseOneByOne) {
  Start(0x8922);
  Fill(0, 2 * kBlock);
  EXPECT_EQ(FlashOps.GetBlockSize(0x3FFFF), kSmallBlock);
  EXPECT_EQ(FlashOps.GetBlockSize(0x40000), kBlock);

  EXPECT_EQ(FlashOps.Erase(0x8000, 0x100), 1);
  EXPECT_EQ(nor_->EraseCount(0), 1u);
  EXPECT_EQ(nor_->EraseCount(kSmallBlock), 0u);

  // From a small block above 0 up to the first large block: stops after the last byte's block.
  EXPECT_EQ(FlashOps.Erase(kSmallBlock, 3 * kSmallBlock), 1);
  for (std::uint32_t b = kSmallBlock; b < kBlock; b += kSmallBlock) EXPECT_EQ(nor_->EraseCount(b), 1u);
  EXPECT_EQ(nor_->EraseCount(kBlock), 0u);
  EXPECT_EQ(nor_->PeekWord(kBlock), 0x5A5A5A5Au);

  Fill(0, kBlock);
  EXPECT_EQ(FlashOps.Erase(0x18000, 0x28001), 1);  // its last byte lies in the block at 0x40000
  EXPECT_EQ(nor_->EraseCount(0), 1u);
  EXPECT_EQ(nor_->EraseCount(0x30000), 2u);
  EXPECT_EQ(nor_->EraseCount(kBlock), 1u);
  EXPECT_EQ(nor_->EraseCount(2 * kBlock), 0u);

  Fill(0, kBlock);
  EXPECT_EQ(FlashOps.Erase(0, kBlock), 1);
  for (std::uint32_t b = 0; b < kBlock; b += kSmallBlock) EXPECT_EQ(nor_->PeekWord(b + kSmallBlock - 4), 0xFFFFFFFFu);
  EXPECT_EQ(nor_->EraseCount(0), 2u);
}

TEST_F(NorTest, ProgressHookSeesEachBlockBeforeItIsErased) {
  Start(0x0018);
  const u32 three = 3 * kBlock;
  FlashOps.Progress = RecordProgress;
  EXPECT_EQ(FlashOps.Erase(kRegion, three), 1);
  EXPECT_EQ(gProgressCalls, (std::vector<std::pair<u32, u32>>{{0, three}, {kBlock, three}, {2 * kBlock, three}}));

  gProgressCalls.clear();
  FlashOps.ProgressStep = 2 * kBlock;
  EXPECT_EQ(FlashOps.Erase(kRegion, three), 1);
  EXPECT_EQ(gProgressCalls, (std::vector<std::pair<u32, u32>>{{0, three}, {2 * kBlock, three}}));

  gProgressCalls.clear();
  gProgressAnswer = 0;
  Fill(kRegion, three);
  EXPECT_EQ(FlashOps.Erase(kRegion, three), 0);
  EXPECT_EQ(gProgressCalls.size(), 1u);
  EXPECT_EQ(nor_->EraseCount(kRegion), 0u);

  // One byte beyond the flash widens to a block beyond it: nothing happens.
  gProgressCalls.clear();
  nor_->StartLog();
  EXPECT_EQ(FlashOps.Erase(FlashOps.UsableSize - kBlock, kBlock + 1), 0);
  EXPECT_TRUE(gProgressCalls.empty());
  EXPECT_TRUE(nor_->Log().empty());
}

// --- ranges, time-outs, failures ---

TEST_F(NorTest, RangesMustLieInsideTheFlashWithoutWrapping) {
  Start();
  const u32 usable = FlashOps.UsableSize;
  u32 buffer[4] = {};
  EXPECT_EQ(FlashOps.Read(buffer, usable - 1, 1), 1);
  EXPECT_EQ(FlashOps.Read(buffer, usable - 1, 2), 0);
  EXPECT_EQ(FlashOps.Read(buffer, 4, 0xFFFFFFFC), 0);
  EXPECT_EQ(FlashOps.ReadWord(usable), 0u);
  EXPECT_EQ(FlashOps.ReadWord(usable - 4), 0xFFFFFFFFu);

  nor_->StartLog();
  EXPECT_EQ(FlashOps.Write(buffer, usable - 4, 8), 0);
  EXPECT_EQ(FlashOps.Write(buffer, kRegion, 0xFFFFFFFC), 0);
  EXPECT_EQ(FlashOps.Write(buffer, kRegion + 2, 4), 0);  // not on a word: chunks count whole words
  EXPECT_EQ(FlashOps.WriteWord(usable, 0), 0);
  EXPECT_EQ(FlashOps.Erase(usable, 4), 0);
  EXPECT_EQ(FlashOps.Erase(kBlock, 0xFFFFFFFF), 0);       // the end passes 2^32
  EXPECT_EQ(FlashOps.Erase(4, 0xFFFFFFF0), 0);            // rounding up to blocks would wrap to 0
  EXPECT_EQ(FlashOps.Erase(kBlock + 4, 0xFFFBFFF0), 0);   // start plus widened length wraps
  EXPECT_TRUE(nor_->Log().empty());
}

TEST_F(NorTest, ADeviceThatNeverGetsReadyTimesOutOnTheModuleClock) {
  Start();
  nor_->NeverReady(1);
  Fill(kRegion + kBlock, kBlock);
  sim::Clock& clock = module_->clock();
  struct Case {
    std::function<i32()> operation;
    std::uint64_t limit_ms;
  };
  u32 data[4] = {};
  for (Case c : {Case{[] { return FlashOps.WriteWord(kRegion, 0); }, 1000},
                 Case{[&] { return FlashOps.Write(data, kRegion + 0x100, 16); }, 2000},
                 Case{[] { return FlashOps.Erase(kRegion + kBlock, kBlock); }, 10000}}) {
    std::uint64_t before = clock.NowMs();
    EXPECT_EQ(c.operation(), 0);
    EXPECT_GE(clock.NowMs() - before, c.limit_ms);
    EXPECT_LE(clock.NowMs() - before, c.limit_ms + 110);
  }
  EXPECT_EQ(nor_->ModeOf(0), NorFlash::Mode::kReadArray);  // the device that did finish
}

TEST_F(NorTest, EraseFailsOnAnErrorStatusOrABlockThatStaysLocked) {
  Start();
  Fill(kRegion, 3 * kBlock);
  nor_->FailErase(kRegion, 1);
  EXPECT_EQ(FlashOps.Erase(kRegion, kBlock), 0);
  EXPECT_TRUE(AtRest());

  PowerUp();
  ASSERT_EQ(FlashInit(), 1);
  Fill(kRegion, 3 * kBlock);
  nor_->FailErase(kRegion + kBlock, 0, NorFlash::kStatusVoltageError);
  EXPECT_EQ(FlashOps.Erase(kRegion, 3 * kBlock), 0);
  EXPECT_EQ(nor_->EraseCount(kRegion), 1u);  // erased blocks stay erased
  EXPECT_EQ(nor_->EraseCount(kRegion + 2 * kBlock), 0u);

  PowerUp();
  Fill(kRegion, kBlock);
  nor_->KeepLocked(kRegion, 1);
  ASSERT_EQ(FlashInit(), 1);
  EXPECT_EQ(FlashOps.Erase(kRegion, kBlock), 0);
  EXPECT_EQ(nor_->EraseCount(kRegion, 0), 0u);
  EXPECT_EQ(nor_->PeekWord(kRegion), 0x5A5A5A5Au);
}

}  // namespace

namespace {

// The devices keep their error bits until told to clear them: a failure must not be read again as
// the failure of every later operation that worked.
TEST_F(NorTest, AFailureLeavesNoErrorBitsBehindForTheOperationsAfterIt) {
  Start();
  Fill(kRegion + kBlock, kBlock);
  nor_->FailProgram(kRegion, 1);
  nor_->FailErase(kRegion + 2 * kBlock, 0);
  Fill(kRegion + 2 * kBlock, kBlock);

  u32 words[20];
  for (u32 i = 0; i < 20; ++i) words[i] = 0x01010101u * i;
  EXPECT_EQ(FlashOps.WriteWord(kRegion, 0x12345678), 0);
  EXPECT_EQ(nor_->StatusOf(0) & 0x7F, 0u);
  EXPECT_EQ(nor_->StatusOf(1) & 0x7F, 0u);
  EXPECT_EQ(FlashOps.WriteWord(kRegion + 3 * kBlock, 0x12345678), 1);
  EXPECT_EQ(FlashOps.Write(words, kRegion, sizeof words), 0);
  EXPECT_EQ(FlashOps.Write(words, kRegion + 3 * kBlock + 0x40, sizeof words), 1);
  EXPECT_EQ(FlashOps.Erase(kRegion + 2 * kBlock, kBlock), 0);
  EXPECT_EQ(FlashOps.Erase(kRegion + kBlock, kBlock), 1);
  EXPECT_EQ(nor_->PeekWord(kRegion + kBlock), 0xFFFFFFFFu);
  EXPECT_EQ(FlashOps.ReadWord(kRegion + 3 * kBlock), 0x12345678u);
  EXPECT_EQ(FlashOps.ReadWord(kRegion + 3 * kBlock + 0x40 + 4 * 19), words[19]);
  EXPECT_TRUE(AtRest());

  // A time-out clears nothing while the device is still busy; the next operation after it is ready works.
  PowerUp();
  ASSERT_EQ(FlashInit(), 1);
  Fill(kRegion, kBlock);
  nor_->FailErase(kRegion, 0, NorFlash::kStatusVoltageError);
  EXPECT_EQ(FlashOps.Erase(kRegion, kBlock), 0);
  EXPECT_EQ(FlashOps.WriteWord(kRegion + kBlock, 0), 1);
}

}  // namespace
