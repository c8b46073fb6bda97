// The NOR flash model on its own, driven through the bus as the devices' command set defines it.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "sim/module.h"
#include "sim/hw/nor_flash.h"
#include "tests/support/module_fixture.h"

namespace {

using sim::NorFlash;

constexpr std::uint32_t kBlock = 0x40000;
constexpr std::uint32_t kData = 0x1000000;  // a 256 KiB block

// A command to both devices.
constexpr std::uint32_t Both(std::uint8_t command) { return command * 0x00010001u; }

class NorModelTest : public ::testing::Test {
 protected:
  void PowerUp(nlohmann::json flash = {{"type", "nor"}, {"size_code", 25}}) {
    sim::Description d = testing_support::BareDescription(folder_.path());
    d.flash = sim::ReadFlashConfig(std::move(flash), d.folder);
    module_.reset();
    module_.emplace(std::move(d));
    nor_ = module_->FindDevice<NorFlash>();
  }
  void Write(std::uint32_t offset, std::uint32_t value) { module_->bus().Write32(offset, value); }
  std::uint32_t Read(std::uint32_t offset) { return module_->bus().Read32(offset); }
  void Unlock(std::uint32_t block) {
    Write(block, Both(NorFlash::kCmdLockSetup));
    Write(block, Both(NorFlash::kCmdConfirm));
  }
  std::uint32_t StatusAfterBusy() {
    module_->clock().Advance(NorFlash::kBlockEraseNs);
    Write(kData, Both(NorFlash::kCmdReadStatus));
    return Read(kData);
  }

  testing_support::TempFolder folder_;
  std::optional<sim::Module> module_;
  NorFlash* nor_ = nullptr;
};

TEST_F(NorModelTest, EachDeviceTakesItsOwnHalfOfACommandWord) {
  PowerUp();
  Write(0, 0x00FF0090);  // device 0: read identifier; device 1: read array
  EXPECT_EQ(Read(0), 0xFFFF0089u);
  EXPECT_EQ(Read(4), 0xFFFF8922u);
  EXPECT_EQ(Read(kData + 8), 0xFFFF0001u);  // block locked at power-up

  Write(0, Both(NorFlash::kCmdQuery));
  EXPECT_EQ(Read(0x40), 0x00510051u);  // "Q"
  EXPECT_EQ(Read(0x9C), 0x00190019u);  // size code 25
}

TEST_F(NorModelTest, MisusedWriteBufferIsASequenceErrorThatProgramsNothing) {
  PowerUp();
  Unlock(kData);
  const std::uint32_t error = Both(NorFlash::kStatusReady | NorFlash::kStatusSequenceError);
  struct Misuse {
    const char* what;
    std::uint32_t count;
    std::uint32_t second_data;  // offset of the second data word
    std::uint8_t confirm;
  };
  for (Misuse m : {Misuse{"count above 15", 16, 4, NorFlash::kCmdConfirm},
                   Misuse{"word outside the line", 1, 0x40, NorFlash::kCmdConfirm},
                   Misuse{"wrong confirm", 1, 4, NorFlash::kCmdReadArray}}) {
    SCOPED_TRACE(m.what);
    Write(kData, Both(NorFlash::kCmdWriteToBuffer));
    EXPECT_EQ(Read(kData), Both(NorFlash::kStatusReady));  // a buffer is available
    Write(kData, m.count * 0x00010001u);
    Write(kData, 0);
    Write(kData + m.second_data, 0);
    Write(kData + 4, Both(m.confirm));
    EXPECT_EQ(StatusAfterBusy(), error);
    EXPECT_EQ(nor_->PeekWord(kData), 0xFFFFFFFFu);
    Write(kData, Both(NorFlash::kCmdClearStatus));
  }

  // A locked block refuses a program with the locked-block bit.
  Write(0, Both(NorFlash::kCmdProgramSetup));
  Write(0, 0);
  EXPECT_EQ(Read(0), Both(NorFlash::kStatusReady | NorFlash::kStatusLockedError | NorFlash::kStatusProgramError));
  EXPECT_EQ(nor_->PeekWord(0), 0xFFFFFFFFu);
}

TEST_F(NorModelTest, ProgramAndEraseStayBusyForTheirDurations) {
  PowerUp();
  Unlock(kData);
  Write(kData, Both(NorFlash::kCmdProgramSetup));
  Write(kData, 0x12345678);
  EXPECT_EQ(Read(kData), 0u);  // busy: status with bit 7 clear
  Write(kData, Both(NorFlash::kCmdReadArray));  // ignored while busy
  module_->clock().Advance(NorFlash::kWordProgramNs);
  EXPECT_EQ(Read(kData), Both(NorFlash::kStatusReady));
  Write(kData, Both(NorFlash::kCmdReadArray));
  EXPECT_EQ(Read(kData), 0x12345678u);

  Write(kData, Both(NorFlash::kCmdEraseSetup));
  Write(kData, Both(NorFlash::kCmdConfirm));
  module_->clock().Advance(NorFlash::kBlockEraseNs / 2);
  EXPECT_EQ(Read(kData), 0u);
  EXPECT_EQ(StatusAfterBusy(), Both(NorFlash::kStatusReady));
  EXPECT_EQ(nor_->PeekWord(kData), 0xFFFFFFFFu);
  EXPECT_EQ(nor_->EraseCount(kData, 1), 1u);
}

// The faults of the description: a failing block lets its first `after` operations of the kind
// succeed, in every spelling the description allows.
TEST_F(NorModelTest, DescribedFailuresStartAfterTheirCount) {
  const std::uint32_t erase_failed = Both(NorFlash::kStatusReady | NorFlash::kStatusEraseError);
  const std::uint32_t program_failed = Both(NorFlash::kStatusReady | NorFlash::kStatusProgramError);
  auto erase = [&](std::uint32_t block) {
    Write(block, Both(NorFlash::kCmdClearStatus));
    Write(block, Both(NorFlash::kCmdEraseSetup));
    Write(block, Both(NorFlash::kCmdConfirm));
    return StatusAfterBusy();
  };
  auto program = [&](std::uint32_t offset, std::uint32_t value) {
    Write(offset, Both(NorFlash::kCmdClearStatus));
    Write(offset, Both(NorFlash::kCmdProgramSetup));
    Write(offset, value);
    return StatusAfterBusy();
  };
  // Block 67 is 0x1000000: four 64 KiB parameter blocks, then 256 KiB blocks.
  for (const char* faults :
       {R"({"erase_fail": [{"offset": "0x1000000", "after": 1}], "program_fail": [{"block": 67, "after": 2}]})",
        R"({"erase_fail": [{"block": 67, "after": 1}], "program_fail": [{"offset": "0x1000040", "after": 2}]})"}) {
    SCOPED_TRACE(faults);
    PowerUp({{"type", "nor"}, {"faults", nlohmann::json::parse(faults)}});
    Unlock(kData);
    EXPECT_EQ(erase(kData), Both(NorFlash::kStatusReady));
    EXPECT_EQ(erase(kData), erase_failed);
    EXPECT_EQ(erase(kData), erase_failed) << "every later one fails too";
    EXPECT_EQ(program(kData, 0xFFFF0000), Both(NorFlash::kStatusReady));
    EXPECT_EQ(program(kData + 4, 0x0000FFFF), Both(NorFlash::kStatusReady));
    EXPECT_EQ(program(kData + 8, 0), program_failed);
    EXPECT_EQ(nor_->PeekWord(kData + 8), 0xFFFFFFFFu) << "a failed program changes nothing";
    EXPECT_EQ(nor_->PeekWord(kData), 0xFFFF0000u);
    Unlock(kData + kBlock);
    EXPECT_EQ(erase(kData + kBlock), Both(NorFlash::kStatusReady)) << "the next block is sound";
  }

  // The older spelling: offsets whose blocks fail from the start.
  PowerUp({{"type", "nor"}, {"faults", {{"erase_fails", {"0x1000000"}}}}});
  Unlock(kData);
  EXPECT_EQ(erase(kData), erase_failed);
}

TEST_F(NorModelTest, ImageKeepsTheDataButNotTheLocks) {
  nlohmann::json flash = {{"type", "nor"}, {"image", "flash.img"}, {"device_code", "0x8922"}, {"size_code", 25}};
  PowerUp(flash);
  std::filesystem::path image = folder_.path() / "flash.img";
  struct stat st {};
  ASSERT_EQ(stat(image.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0x4000000);
  EXPECT_LT(st.st_blocks * 512, 0x100000);  // sparse

  Unlock(kData);
  Write(kData + 8, Both(NorFlash::kCmdProgramSetup));
  Write(kData + 8, 0xCAFEF00D);
  module_->clock().Advance(NorFlash::kWordProgramNs);

  PowerUp(flash);
  EXPECT_EQ(Read(kData + 8), 0xCAFEF00Du);
  EXPECT_EQ(Read(kData), 0xFFFFFFFFu);
  EXPECT_TRUE(nor_->IsLocked(kData, 0));

  module_.reset();
  flash["size_code"] = 24;
  EXPECT_THROW(
      {
        try {
          PowerUp(flash);
        } catch (const sim::DescriptionError& e) {
          EXPECT_NE(std::string(e.what()).find("'flash.size_code'"), std::string::npos) << e.what();
          throw;
        }
      },
      sim::DescriptionError);

  std::filesystem::remove(folder_.path() / "flash.img.json");
  flash["size_code"] = 25;
  EXPECT_THROW(PowerUp(flash), sim::DescriptionError);
}

TEST_F(NorModelTest, ABlockReadCopiesWhatWordReadsSeeAndIsChargedAByteCopy) {
  PowerUp();
  // Data in two granules with an erased one between, the copy starting and ending inside words.
  std::vector<std::uint8_t> pattern(0x100);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 13 + 1);
  nor_->Poke(kData + NorFlash::kGranuleBytes - 0x80, pattern);
  nor_->Poke(kData + 3 * NorFlash::kGranuleBytes, pattern);
  const std::uint32_t from = kData + NorFlash::kGranuleBytes - 0x83;
  const std::uint32_t bytes = 2 * NorFlash::kGranuleBytes + 0x107;
  std::vector<std::uint8_t> words;
  for (std::uint32_t at = from & ~3u; at < from + bytes; at += 4) {
    std::uint32_t w = Read(at);
    for (int i = 0; i < 4; ++i) words.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  }
  std::vector<std::uint8_t> block(bytes);
  const std::uint64_t t0 = module_->clock().NowNs();
  const std::uint64_t accesses = module_->bus().AccessCount();
  module_->bus().ReadBlock(from, block);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), words.begin() + (from & 3u)));
  EXPECT_EQ(module_->clock().NowNs() - t0, std::uint64_t{bytes} * NorFlash::kAccessNs);
  EXPECT_EQ(module_->bus().AccessCount() - accesses, bytes);

  // Outside read-array mode the copy shows what the devices answer: their status.
  Write(kData, Both(NorFlash::kCmdReadStatus));
  module_->bus().ReadBlock(kData, std::span<std::uint8_t>(block.data(), 8));
  EXPECT_EQ(block[0], NorFlash::kStatusReady);
  EXPECT_EQ(block[2], NorFlash::kStatusReady);
}

TEST(NorDescription, ErrorsNameTheField) {
  auto message = [](nlohmann::json flash) -> std::string {
    try {
      sim::ReadFlashConfig(flash, "/tmp");
    } catch (const sim::DescriptionError& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_NE(message({{"type", "nor"}, {"size_code", 40}}).find("'flash.size_code'"), std::string::npos);
  EXPECT_NE(message({{"type", "nor"}, {"device_code", "0x12345"}}).find("'flash.device_code'"), std::string::npos);
  EXPECT_NE(message({{"type", "nor"}, {"sise_code", 25}}).find("'flash.sise_code'"), std::string::npos);
  EXPECT_NE(message({{"type", "nor"}, {"faults", {{"erase_fails", {"0x8000000"}}}}}).find("erase_fails[0]"),
            std::string::npos);

  sim::NorFlashConfig config =
      sim::ReadFlashConfig({{"type", "nor"}, {"faults", {{"never_ready", true}, {"manufacturer", "0x88"}}}}, "/tmp").nor;
  EXPECT_TRUE(config.faults.never_ready);
  EXPECT_EQ(config.faults.manufacturer, 0x88);
  EXPECT_EQ(config.size_code, 25);
}

}  // namespace
