// Power cuts in the NOR flash model: the cut operation torn at bit level over what it was changing
// (a word, a buffer line, a block), the same way for the same seed, and the flash dead until the
// module starts again.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "sim/core/power_cut.h"
#include "sim/module.h"
#include "sim/hw/nor_flash.h"
#include "tests/support/module_fixture.h"

namespace {

using sim::NorFlash;
using Op = sim::NorFlashFaults::PowerCutAt::Op;

constexpr std::uint32_t kData = 0x1000000;  // a 256 KiB block
constexpr std::uint32_t kBlockBytes = 0x40000;

constexpr std::uint32_t Both(std::uint8_t command) { return command * 0x00010001u; }

class NorPowerCut : public ::testing::Test {
 protected:
  void PowerUp(nlohmann::json faults = nlohmann::json::object()) {
    nlohmann::json flash = {{"type", "nor"}, {"size_code", 25}, {"image", "nor.img"}};
    if (!faults.empty()) flash["faults"] = faults;
    sim::Description d = testing_support::BareDescription(folder_.path());
    d.flash = sim::ReadFlashConfig(std::move(flash), d.folder);
    module_.reset();
    module_.emplace(std::move(d));
    nor_ = module_->FindDevice<NorFlash>();
  }
  void Write(std::uint32_t offset, std::uint32_t value) { module_->bus().Write32(offset, value); }
  void Unlock(std::uint32_t block) {
    Write(block, Both(NorFlash::kCmdLockSetup));
    Write(block, Both(NorFlash::kCmdConfirm));
  }
  void Erase(std::uint32_t block) {
    Write(block, Both(NorFlash::kCmdEraseSetup));
    Write(block, Both(NorFlash::kCmdConfirm));
  }
  // A buffered program of 16 words of zeros at the line.
  void ProgramLine(std::uint32_t line) {
    Write(line, Both(NorFlash::kCmdWriteToBuffer));
    Write(line, 15 * 0x00010001u);
    for (std::uint32_t i = 0; i < 16; ++i) Write(line + 4 * i, 0);
    Write(line, Both(NorFlash::kCmdConfirm));
    module_->clock().Advance(NorFlash::kBufferProgramNs);  // busy devices ignore the next command
  }

  testing_support::TempFolder folder_;
  std::optional<sim::Module> module_;
  NorFlash* nor_ = nullptr;
};

TEST_F(NorPowerCut, ACutEraseLeavesTheBlockPartlyErasedAndTheFlashDeadUntilTheNextStart) {
  PowerUp();
  nor_->Poke(kData, std::vector<std::uint8_t>(kBlockBytes, 0x00));
  nor_->SchedulePowerCut(1, Op::kErase, {sim::TearShape::kBits, 5});
  Unlock(kData);
  Erase(kData);
  EXPECT_FALSE(nor_->Powered());
  EXPECT_THROW(module_->bus().Read32(kData), sim::PowerCut);
  EXPECT_THROW(Write(kData, Both(NorFlash::kCmdReadArray)), sim::PowerCut);

  // Some words erased, some as they were, some with only part of their bits back at 1.
  std::vector<std::uint8_t> cells = nor_->Peek(kData, kBlockBytes);
  std::size_t erased = 0, old = 0, torn = 0;
  for (std::uint32_t at = 0; at < kBlockBytes; at += 4) {
    std::uint32_t w = nor_->PeekWord(kData + at);
    if (w == 0xFFFFFFFFu) {
      ++erased;
    } else if (w == 0) {
      ++old;
    } else {
      ++torn;
    }
  }
  EXPECT_GT(erased + torn, 0u);
  EXPECT_GT(old + torn, 0u);
  EXPECT_EQ(nor_->PeekWord(kData + kBlockBytes), 0xFFFFFFFFu);  // nothing beyond the block

  // The image keeps the torn block; the next start works.
  PowerUp();
  EXPECT_EQ(nor_->Peek(kData, kBlockBytes), cells);
  EXPECT_EQ(module_->bus().Read32(kData), nor_->PeekWord(kData));

  // The same seed tears the same way.
  nor_->Poke(kData, std::vector<std::uint8_t>(kBlockBytes, 0x00));
  nor_->SchedulePowerCut(1, Op::kErase, {sim::TearShape::kBits, 5});
  Unlock(kData);
  Erase(kData);
  EXPECT_EQ(nor_->Peek(kData, kBlockBytes), cells);
}

TEST_F(NorPowerCut, ACutBufferedProgramTearsOnlyItsLineAndOnlyTowardTheData) {
  PowerUp({{"power_cut", {{"at", 2}, {"op", "program"}, {"seed", 77}}}});
  Unlock(kData);
  ProgramLine(kData);  // the first program completes
  EXPECT_EQ(nor_->PeekWord(kData + 60), 0u);
  ProgramLine(kData + 64);
  EXPECT_FALSE(nor_->Powered());
  std::vector<std::uint8_t> line = nor_->Peek(kData + 64, 64);
  EXPECT_NE(line, std::vector<std::uint8_t>(64, 0x00));
  EXPECT_EQ(nor_->PeekWord(kData + 128), 0xFFFFFFFFu);
  EXPECT_EQ(nor_->ArrayOperations(), 2u);
}

TEST_F(NorPowerCut, TheHalfShapeProgramsTheFirstHalfOfTheLine) {
  PowerUp({{"power_cut", {{"at", 1}, {"op", "any"}, {"tear", "half"}}}});
  Unlock(kData);
  ProgramLine(kData);
  std::vector<std::uint8_t> want(64, 0xFF);
  std::fill_n(want.begin(), 32, 0x00);
  EXPECT_EQ(nor_->Peek(kData, 64), want);
}

TEST_F(NorPowerCut, AWriteCutThatStartsNoOperationOnlyEndsThePower) {
  PowerUp({{"power_cut", {{"at", 2}, {"op", "write"}}}});
  Write(kData, Both(NorFlash::kCmdReadArray));
  Write(kData, Both(NorFlash::kCmdReadIdentifier));
  EXPECT_FALSE(nor_->Powered());
  EXPECT_EQ(nor_->PeekWord(kData), 0xFFFFFFFFu);
}

TEST(NorPowerCutDescription, BadFieldsAreNamed) {
  testing_support::TempFolder folder;
  for (const nlohmann::json& cut : {nlohmann::json{{"op", "erase"}}, nlohmann::json{{"at", 1}, {"op", "read"}},
                                     nlohmann::json{{"at", 1}, {"tear", "most"}}}) {
    try {
      sim::ReadFlashConfig({{"type", "nor"}, {"faults", {{"power_cut", cut}}}}, folder.path());
      ADD_FAILURE() << cut.dump();
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find("flash.faults.power_cut"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
