// The board: the devices a module description names, at their bases, and a test's own devices put
// on the bus before power-on in their place.
#include "sim/hw/board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "flash/flash_ops.h"
#include "sim/hw/gpio.h"
#include "sim/hw/nand_controller.h"
#include "sim/hw/nor_flash.h"
#include "sim/hw/pin_mux.h"
#include "sim/module.h"
#include "tester/tester.h"
#include "tests/support/module_fixture.h"

namespace {

constexpr std::uint32_t kRegion = TESTER_REGION_OFFSET;
constexpr std::uint32_t kRegionBytes = TESTER_REGION_LENGTH;

// A NOR pair of the test's own: every access goes to two NOR models, one keeping its cells in an
// image file and one in memory, and every read compares them. What the device code sees comes from
// the image-backed one.
class MirroredNor : public sim::BusDevice {
 public:
  MirroredNor(sim::Clock& clock, const std::filesystem::path& image) {
    sim::NorFlashConfig config;
    config.image = image;
    persisted_ = std::make_unique<sim::NorFlash>(clock, config);
    config.image.clear();
    in_memory_ = std::make_unique<sim::NorFlash>(clock, config);
  }

  std::string Name() const override { return "mirrored NOR pair"; }
  std::uint32_t Read32(std::uint32_t offset) override {
    std::uint32_t value = persisted_->Read32(offset);
    if (in_memory_->Read32(offset) != value) disagreements_.push_back(offset);
    return value;
  }
  void Write32(std::uint32_t offset, std::uint32_t value) override {
    ++writes_;
    persisted_->Write32(offset, value);
    in_memory_->Write32(offset, value);
  }
  void ReadBlock(std::uint32_t offset, std::span<std::uint8_t> out) override {
    persisted_->ReadBlock(offset, out);
    std::vector<std::uint8_t> other(out.size());
    in_memory_->ReadBlock(offset, other);
    if (!std::equal(out.begin(), out.end(), other.begin())) disagreements_.push_back(offset);
  }
  std::uint64_t AccessNs() const override { return persisted_->AccessNs(); }

  std::uint32_t BusBytes() const { return persisted_->BusBytes(); }
  const sim::NorFlash& persisted() const { return *persisted_; }
  std::uint64_t writes() const { return writes_; }
  const std::vector<std::uint32_t>& disagreements() const { return disagreements_; }

 private:
  std::unique_ptr<sim::NorFlash> persisted_;
  std::unique_ptr<sim::NorFlash> in_memory_;
  std::uint64_t writes_ = 0;
  std::vector<std::uint32_t> disagreements_;
};

std::vector<std::uint32_t> Pattern(std::uint32_t words) {
  std::vector<std::uint32_t> out(words);
  for (std::uint32_t i = 0; i < words; ++i) out[i] = i * 0x9E3779B9u ^ 0x5A5A0000u;
  return out;
}

// Erases the tester region, writes a pattern into it and reads it back through the flash library.
void WriteAndReadBackTheRegion() {
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  std::vector<std::uint32_t> pattern = Pattern(kRegionBytes / 4);
  ASSERT_NE(FlashOps.Erase(kRegion, kRegionBytes), 0);
  ASSERT_NE(FlashOps.Write(pattern.data(), kRegion, kRegionBytes), 0);
  std::vector<std::uint32_t> back(pattern.size());
  ASSERT_NE(FlashOps.Read(back.data(), kRegion, kRegionBytes), 0);
  EXPECT_EQ(back, pattern);
}

TEST(Board, TheDescriptionNamesEachDeviceAtItsBase) {
  testing_support::TempFolder folder;
  sim::Clock clock(sim::Clock::Kind::kVirtual);
  std::vector<std::string> reports;
  sim::Reporter report = [&](const std::string& line) { reports.push_back(line); };

  sim::Description nor = testing_support::BareDescription(folder.path(), 17);
  nor.flash = sim::ReadFlashConfig(nlohmann::json{{"type", "nor"}, {"size_code", 24}}, nor.folder);
  sim::Board board = sim::BuildBoard(nor, clock, report);
  ASSERT_EQ(board.slots().size(), 2u);
  EXPECT_EQ(board.slots()[0].base, sim::GpioModel::kGpioBase);
  EXPECT_EQ(board.slots()[0].bytes, sim::GpioModel::kPageBytes);
  EXPECT_NE(dynamic_cast<sim::GpioModel*>(board.At(sim::GpioModel::kGpioBase)), nullptr);
  EXPECT_EQ(board.slots()[1].base, sim::NorFlash::kBusBase);
  EXPECT_EQ(board.slots()[1].bytes, 2u << 24);
  EXPECT_NE(board.Find<sim::NorFlash>(), nullptr);
  EXPECT_EQ(board.Find<sim::PinMux>(), nullptr) << "the plain layout has no pin-mux page";

  sim::Description nand = testing_support::BareDescription(folder.path(), 2);
  nand.flash = sim::ReadFlashConfig(nlohmann::json{{"type", "nand"}, {"chip", "0xF1EC"}}, nand.folder);
  board = sim::BuildBoard(nand, clock, report);
  ASSERT_EQ(board.slots().size(), 3u);
  EXPECT_EQ(board.At(sim::PinMux::kBase), board.Find<sim::PinMux>());
  EXPECT_EQ(board.At(sim::NandController::kBase), board.Find<sim::NandController>());
  EXPECT_EQ(board.slots()[2].bytes, sim::NandController::kWindowBytes);
  EXPECT_EQ(board.At(sim::NorFlash::kBusBase), nullptr);
  EXPECT_TRUE(reports.empty());
}

TEST(Board, DevicesMayNotOverlapAndOnlyAPlacedOneIsReplaced) {
  sim::Clock clock(sim::Clock::Kind::kVirtual);
  sim::Board board;
  board.Add(0x1000, 0x1000, std::make_unique<sim::GpioModel>(17));
  EXPECT_THROW(board.Add(0x1800, 0x1000, std::make_unique<sim::GpioModel>(17)), std::logic_error);
  EXPECT_THROW(board.Replace(0x2000, std::make_unique<sim::GpioModel>(2)), std::invalid_argument);
  auto& replaced = board.Replace(0x1000, std::make_unique<sim::GpioModel>(2));
  EXPECT_EQ(board.At(0x1000), &replaced);
  EXPECT_EQ(board.slots().size(), 1u);
  EXPECT_NE(board.Remove(0x1000), nullptr);
  EXPECT_EQ(board.Remove(0x1000), nullptr);
  EXPECT_TRUE(board.slots().empty());
}

// The description names a NOR pair; the test puts its own device in the pair's place, and the flash
// library runs over it.
TEST(Board, ATestsOwnNorInPlaceOfTheDescribedOneCarriesTheFlashLibrary) {
  testing_support::TempFolder folder;
  sim::Description d = testing_support::BareDescription(folder.path(), 17);
  d.flash = sim::ReadFlashConfig(nlohmann::json{{"type", "nor"}}, d.folder);
  MirroredNor* mirror = nullptr;
  sim::Module module(d, [&](sim::Board& board, sim::ModuleCore& core) {
    mirror = &board.Replace(sim::NorFlash::kBusBase,
                            std::make_unique<MirroredNor>(core.clock(), folder.path() / "mirror.img"));
  });
  ASSERT_NE(mirror, nullptr);
  EXPECT_EQ(module.FindDevice<sim::NorFlash>(), nullptr) << "the described NOR pair left the board";
  EXPECT_EQ(module.FindDevice<MirroredNor>(), mirror);

  WriteAndReadBackTheRegion();

  EXPECT_GT(mirror->writes(), 0u);
  EXPECT_TRUE(mirror->disagreements().empty()) << mirror->disagreements().size() << " reads disagree";
  std::vector<std::uint32_t> pattern = Pattern(kRegionBytes / 4);
  std::vector<std::uint8_t> cells = mirror->persisted().Peek(kRegion, kRegionBytes);
  EXPECT_EQ(std::memcmp(cells.data(), pattern.data(), kRegionBytes), 0);
}

// A module without flash in its description gets a NOR pair added by the test.
TEST(Board, ATestAddsADeviceTheDescriptionDoesNotName) {
  testing_support::TempFolder folder;
  MirroredNor* mirror = nullptr;
  sim::Module module(testing_support::BareDescription(folder.path(), 17),
                     [&](sim::Board& board, sim::ModuleCore& core) {
                       auto nor = std::make_unique<MirroredNor>(core.clock(), folder.path() / "added.img");
                       std::uint32_t bytes = nor->BusBytes();
                       mirror = &board.Add(sim::NorFlash::kBusBase, bytes, std::move(nor));
                     });
  EXPECT_EQ(module.board().At(sim::NorFlash::kBusBase), mirror);

  WriteAndReadBackTheRegion();

  EXPECT_TRUE(mirror->disagreements().empty());
}

}  // namespace
