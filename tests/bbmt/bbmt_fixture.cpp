#include "tests/bbmt/bbmt_fixture.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "flash/flash_ops.h"

namespace bbmt_test {

const ChipFacts& Facts(const std::string& chip) {
  for (const ChipFacts& f : kChips) {
    if (chip == f.chip) return f;
  }
  throw std::invalid_argument("no such chip: " + chip);
}

NandModule::NandModule(const std::string& chip, nlohmann::json flash, std::optional<std::uint32_t> item12)
    : description_(testing_support::BareDescription(folder_.path(), kNandCpuProduct)), facts_(Facts(chip)) {
  flash["type"] = "nand";
  flash["chip"] = chip;
  description_.flash = flash;
  description_.boot_item12 = item12;
  Start();
}

NandModule::~NandModule() = default;

void NandModule::Start() {
  module_ = std::make_unique<sim::Module>(description_);
  nand_ = module_->FindDevice<sim::NandController>();
  region_ = nullptr;
}

void NandModule::PowerCycle() {
  module_.reset();
  Start();
}

void NandModule::PowerCycle(const nlohmann::json& flash_fields) {
  module_.reset();
  description_.flash.update(flash_fields);
  Start();
}

std::uint8_t* NandModule::Region() {
  if (!region_) {
    auto region = module_->shared_memory().Find(sim::kBbmtRegionName);
    if (region) region_ = module_->shared_memory().MapView(*region, 0, true);
  }
  return region_;
}

bool NandModule::Signed() {
  std::uint8_t* r = Region();
  return r && std::memcmp(r, "BBMT", 4) == 0;
}

std::uint16_t NandModule::MapEntry(std::uint32_t block) {
  std::uint8_t* r = Region();
  if (!r) throw std::logic_error("no shared map");
  return static_cast<std::uint16_t>(r[4 + 2 * block] | r[5 + 2 * block] << 8);
}

void NandModule::SetMapEntry(std::uint32_t block, std::uint16_t physical) {
  std::uint8_t* r = Region();
  if (!r) throw std::logic_error("no shared map");
  r[4 + 2 * block] = static_cast<std::uint8_t>(physical);
  r[5 + 2 * block] = static_cast<std::uint8_t>(physical >> 8);
}

void NandModule::SignMapFromTable() {
  sim::RunNandOsDriver(*module_, static_cast<std::uint16_t>(nand_->chip().id), TableBytes(), blocks());
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

sim::NandView NandModule::ViewAt(std::uint32_t offset) const {
  // On the 16-bit bus the driver reaches the first block with the 8-bit access.
  return nand_->chip().lanes > 1 && offset < facts_.block_bytes ? sim::NandView::kNarrow : sim::NandView::kWired;
}

std::vector<std::uint8_t> NandModule::TableBytes() {
  // The table is one whole page of device 0: on the small-page chips its last page of block 0.
  const sim::NandChipType& c = nand_->chip();
  std::vector<std::uint8_t> page = nand_->RawReadPage(0, 0, facts_.table_offset / c.page_bytes);
  return {page.begin(), page.begin() + facts_.table_length};
}

std::vector<sim::BbmtEntry> NandModule::AllEntries() {
  std::vector<std::uint8_t> t = TableBytes();
  std::vector<sim::BbmtEntry> entries;
  for (std::size_t at = 4; at + 4 <= t.size(); at += 4) {
    sim::BbmtEntry e{static_cast<std::uint16_t>(t[at] | t[at + 1] << 8),
                     static_cast<std::uint16_t>(t[at + 2] | t[at + 3] << 8)};
    if (e.logical == sim::kBbmtTableEnd) break;
    entries.push_back(e);
  }
  return entries;
}

std::vector<std::uint8_t> NandModule::MakeTable(const std::vector<sim::BbmtEntry>& entries, bool magic) const {
  std::vector<std::uint8_t> t(facts_.table_length, 0xFF);
  if (magic) {
    t[0] = 0x4E;
    t[1] = 0x52;
  } else {
    t[0] = t[1] = 0;
  }
  t[2] = t[3] = 0x00;
  std::size_t at = 4;
  for (const sim::BbmtEntry& e : entries) {
    t[at] = static_cast<std::uint8_t>(e.logical);
    t[at + 1] = static_cast<std::uint8_t>(e.logical >> 8);
    t[at + 2] = static_cast<std::uint8_t>(e.replacement);
    t[at + 3] = static_cast<std::uint8_t>(e.replacement >> 8);
    at += 4;
  }
  return t;
}

void NandModule::WriteTableBytes(const std::vector<std::uint8_t>& t) {
  // The factory's table sits in block 0: erase the page's block first, then program.
  if (nand_->chip().lanes > 1) {
    nand_->RawEraseBlock({0, 0, 0});
  } else {
    nand_->EraseFlashBlock(0);
  }
  ProgramPhysical(facts_.table_offset, t);
}

std::vector<std::uint8_t> NandModule::Physical(std::uint32_t offset, std::uint32_t bytes) {
  return nand_->ReadFlash(offset, bytes, ViewAt(offset));
}

void NandModule::ProgramPhysical(std::uint32_t offset, std::span<const std::uint8_t> bytes) {
  nand_->ProgramFlash(offset, bytes, false, ViewAt(offset));
}

bool NandModule::PhysicalBlank(std::uint32_t offset, std::uint32_t bytes) {
  for (std::uint8_t b : Physical(offset, bytes)) {
    if (b != 0xFF) return false;
  }
  return true;
}

std::vector<std::uint8_t> NandModule::SpareBytes(std::uint32_t physical_page) {
  const sim::NandChipType& c = nand_->chip();
  std::uint32_t device_offset = c.lanes > 1 ? physical_page / 2 : physical_page;
  std::uint32_t cs = 0;
  std::uint64_t device_bytes = std::uint64_t{c.page_bytes} * c.rows();
  if (device_offset >= device_bytes) {
    cs = 1;
    device_offset -= static_cast<std::uint32_t>(device_bytes);
  }
  std::vector<std::uint8_t> raw = nand_->RawReadPage(cs, 0, device_offset / c.page_bytes);
  return {raw.begin() + c.page_bytes, raw.begin() + c.page_bytes + 8};
}

void NandModule::ProgramSpare(std::uint32_t physical_page, std::span<const std::uint8_t> bytes) {
  const sim::NandChipType& c = nand_->chip();
  std::uint32_t device_offset = c.lanes > 1 ? physical_page / 2 : physical_page;
  nand_->RawProgramPage(0, 0, device_offset / c.page_bytes, bytes, c.page_bytes);
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

}  // namespace bbmt_test
