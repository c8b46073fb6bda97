#include "tests/bbmt/bbmt_fixture.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "flash/flash_ops.h"

namespace bbmt_test {

namespace {

const ChipFacts& Facts(const std::string& chip) {
  for (const ChipFacts& f : kChips) {
    if (chip == f.chip) return f;
  }
  throw std::invalid_argument("no such chip: " + chip);
}

}  // namespace

NandModule::NandModule(const std::string& chip, nlohmann::json flash, std::optional<std::uint32_t> item12)
    : description_(testing_support::BareDescription(folder_.path(), kNandCpuProduct)), facts_(Facts(chip)) {
  flash["type"] = "nand";
  flash["chip"] = chip;
  flash_ = flash;
  description_.boot_item12 = item12;
  Start();
}

void NandModule::Start() {
  description_.flash = sim::ReadFlashConfig(flash_, description_.folder);
  module_ = std::make_unique<sim::Module>(description_);
  nand_ = module_->FindDevice<sim::NandController>();
  region_ = nullptr;
}

void NandModule::PowerCycle(const nlohmann::json& flash_fields) {
  module_.reset();
  flash_.update(flash_fields);
  Start();
}

std::uint8_t* NandModule::Region() {
  if (!region_) {
    if (auto region = module_->shared_memory().Find(sim::kBbmtRegionName)) {
      region_ = module_->shared_memory().MapView(*region, 0, true);
    }
  }
  return region_;
}

bool NandModule::Signed() { return Region() && std::memcmp(Region(), "BBMT", 4) == 0; }

std::uint16_t NandModule::MapEntry(std::uint32_t block) {
  std::uint8_t* r = Region();
  return static_cast<std::uint16_t>(r[4 + 2 * block] | r[5 + 2 * block] << 8);
}

void NandModule::SetMapEntry(std::uint32_t block, std::uint16_t physical) {
  std::memcpy(Region() + 4 + 2 * block, &physical, 2);
}

std::vector<std::uint16_t> NandModule::MapSnapshot() {
  std::vector<std::uint16_t> map(blocks());
  for (std::uint32_t b = 0; b < blocks(); ++b) map[b] = MapEntry(b);
  return map;
}

void NandModule::RebuildMap() {
  std::memset(Region(), 0, sim::kBbmtRegionBytes);
  RestartProcess();
  EXPECT_EQ(FlashInit(), 2);
}

std::vector<std::uint8_t> NandModule::TableBytes() {
  // One whole page of device 0: on the small-page chips the last of its own first block.
  std::vector<std::uint8_t> page = nand_->RawReadPage(0, 0, facts_.table_offset / nand_->chip().page_bytes);
  return {page.begin(), page.begin() + facts_.table_length};
}

std::vector<sim::BbmtEntry> NandModule::AllEntries() {
  std::vector<std::uint8_t> t = TableBytes();
  std::vector<sim::BbmtEntry> entries;
  for (std::size_t at = 4; at + 4 <= t.size() && (t[at] != 0xFF || t[at + 1] != 0xFF); at += 4) {
    entries.push_back({static_cast<std::uint16_t>(t[at] | t[at + 1] << 8),
                       static_cast<std::uint16_t>(t[at + 2] | t[at + 3] << 8)});
  }
  return entries;
}

std::vector<std::uint8_t> NandModule::MakeTable(const std::vector<sim::BbmtEntry>& entries, bool magic) const {
  std::vector<std::uint8_t> t(facts_.table_length, 0xFF);
  t[0] = magic ? 0x4E : 0;
  t[1] = magic ? 0x52 : 0;
  t[2] = t[3] = 0;
  for (std::size_t k = 0; k < entries.size(); ++k) std::memcpy(&t[4 + 4 * k], &entries[k], 4);
  return t;
}

void NandModule::WriteTableBytes(const std::vector<std::uint8_t>& t) {
  if (nand_->chip().lanes > 1) {
    nand_->RawEraseBlock({0, 0, 0});
  } else {
    nand_->EraseFlashBlock(0);
  }
  ProgramPhysical(facts_.table_offset, t);
}

// On the 16-bit bus the driver reaches the first block with the 8-bit access.
static sim::NandView ViewAt(const sim::NandController& nand, std::uint32_t offset, std::uint32_t block_bytes) {
  return nand.chip().lanes > 1 && offset < block_bytes ? sim::NandView::kNarrow : sim::NandView::kWired;
}

std::vector<std::uint8_t> NandModule::Physical(std::uint32_t offset, std::uint32_t bytes) {
  return nand_->ReadFlash(offset, bytes, ViewAt(*nand_, offset, block_bytes()));
}

void NandModule::ProgramPhysical(std::uint32_t offset, std::span<const std::uint8_t> bytes) {
  // With the controller's code, as the library programs pages and reads them back.
  nand_->ProgramFlash(offset, bytes, true, ViewAt(*nand_, offset, block_bytes()));
}

std::vector<std::uint8_t> NandModule::SpareBytes(std::uint32_t page_offset) {
  std::vector<std::uint8_t> raw = nand_->RawReadPage(0, 0, page_offset / 2048);
  return {raw.begin() + 2048, raw.begin() + 2056};
}

void NandModule::ProgramSpare(std::uint32_t page_offset, std::span<const std::uint8_t> bytes) {
  nand_->RawProgramPage(0, 0, page_offset / 2048, bytes, 2048);
}

void NandModule::FailProgram(std::uint32_t block, std::uint32_t after) {
  for (const sim::NandBlockRef& ref : nand_->FlashBlockRefs(block)) nand_->FailProgram(ref, after);
}

void NandModule::FailErase(std::uint32_t block, std::uint32_t after) {
  for (const sim::NandBlockRef& ref : nand_->FlashBlockRefs(block)) nand_->FailErase(ref, after);
}

sim::NandBlockCounters NandModule::Counters(std::uint32_t block) {
  return nand_->Counters(nand_->FlashBlockRefs(block).front());
}

std::vector<std::uint8_t> Pattern(std::size_t bytes, std::uint32_t seed) {
  std::vector<std::uint8_t> out(bytes);
  std::uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : out) {
    x = x * 1103515245u + 12345;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return out;
}

std::vector<std::uint32_t> Words(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint32_t> words((bytes.size() + 3) / 4, 0);
  std::memcpy(words.data(), bytes.data(), bytes.size());
  return words;
}

std::vector<std::uint8_t> Bytes(const std::vector<std::uint32_t>& words) {
  std::vector<std::uint8_t> bytes(words.size() * 4);
  std::memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

std::vector<std::uint8_t> ReadLogical(std::uint32_t offset, std::uint32_t bytes, bool* ok) {
  std::vector<std::uint32_t> words(bytes / 4, 0xA5A5A5A5);
  bool result = FlashOps.Read(words.data(), offset, bytes) != 0;
  if (ok) *ok = result;
  return Bytes(words);
}

bool WriteLogical(std::uint32_t offset, const std::vector<std::uint8_t>& data) {
  auto words = Words(data);
  return FlashOps.Write(words.data(), offset, static_cast<std::uint32_t>(data.size())) != 0;
}

}  // namespace bbmt_test
