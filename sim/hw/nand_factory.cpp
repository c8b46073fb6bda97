#include "sim/hw/nand_factory.h"

#include <set>
#include <stdexcept>
#include <string>

#include "sim/hw/nand_controller.h"

namespace sim {

namespace {

// The table's place: the last page of block 0. The small-page chips sit in pairs on the 16-bit bus
// and keep it in device 0's own block, as the driver's 8-bit access addresses it.
constexpr struct {
  std::uint16_t id;
  NandTablePlace place;
} kTablePlaces[] = {
    {0x75EC, {0x3E00, 512}},   {0x76EC, {0x3E00, 512}},   {0xD3EC, {0x1F800, 2048}},
    {0xF1EC, {0x1F800, 2048}}, {0xDCAD, {0x1F800, 2048}},
};

constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kEntryBytes = 4;

std::uint16_t Le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

void PutLe16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

NandView TableView(const NandChipType& chip) { return chip.lanes > 1 ? NandView::kNarrow : NandView::kWired; }

}  // namespace

std::optional<NandTablePlace> NandTablePlaceOf(std::uint16_t chip_id) {
  for (const auto& entry : kTablePlaces) {
    if (entry.id == chip_id) return entry.place;
  }
  return std::nullopt;
}

std::vector<std::uint8_t> MakeFactoryTable(std::uint32_t table_length, std::uint32_t blocks,
                                           const std::vector<std::uint32_t>& factory_bad) {
  if (table_length < kHeaderBytes + 2 * kEntryBytes || blocks == 0 || blocks > kBbmtMapEntries) {
    throw std::invalid_argument("no table fits this chip");
  }
  const std::size_t slots = (table_length - kHeaderBytes) / kEntryBytes;
  const std::uint32_t pool_start = blocks - blocks / 50;
  std::set<std::uint32_t> bad(factory_bad.begin(), factory_bad.end());
  std::vector<BbmtEntry> entries;
  auto append = [&](std::uint32_t logical, std::uint32_t replacement) {
    if (entries.size() + 1 >= slots) throw std::invalid_argument("too many bad blocks for the table");
    entries.push_back({static_cast<std::uint16_t>(logical), static_cast<std::uint16_t>(replacement)});
  };

  for (std::uint32_t b : bad) {
    if (b == 0) throw std::invalid_argument("block 0 holds the bad-block table and cannot be bad");
    if (b >= blocks) throw std::invalid_argument("block " + std::to_string(b) + " does not exist");
    if (b >= pool_start) append(kBbmtEntryRetired, b);  // a spare that must never be handed out
  }
  for (std::uint32_t b : bad) {
    if (b >= pool_start) continue;
    // Below every live replacement, and unlike every block ever recorded as one.
    std::int64_t r = std::int64_t{blocks} - 1;
    for (const BbmtEntry& e : entries) {
      if (e.logical != kBbmtEntryRetired && e.replacement <= r) r = std::int64_t{e.replacement} - 1;
    }
    for (bool matched = true; matched;) {
      if (r < pool_start) throw std::invalid_argument("no good spare left for bad block " + std::to_string(b));
      matched = false;
      for (const BbmtEntry& e : entries) {
        if (e.replacement == r) {
          --r;
          matched = true;
        }
      }
    }
    append(b, static_cast<std::uint32_t>(r));
  }

  std::vector<std::uint8_t> table(table_length, 0xFF);
  PutLe16(table, 0, kBbmtTableMagic);
  PutLe16(table, 2, 0);
  for (std::size_t k = 0; k < entries.size(); ++k) {
    PutLe16(table, kHeaderBytes + k * kEntryBytes, entries[k].logical);
    PutLe16(table, kHeaderBytes + k * kEntryBytes + 2, entries[k].replacement);
  }
  return table;
}

std::optional<std::vector<BbmtEntry>> ReadTableEntries(std::span<const std::uint8_t> table) {
  if (table.size() < kHeaderBytes || Le16(table, 0) != kBbmtTableMagic) return std::nullopt;
  std::vector<BbmtEntry> entries;
  const std::size_t slots = (table.size() - kHeaderBytes) / kEntryBytes;
  for (std::size_t k = 0; k < slots; ++k) {
    BbmtEntry e{Le16(table, kHeaderBytes + k * kEntryBytes), Le16(table, kHeaderBytes + k * kEntryBytes + 2)};
    if (e.logical == kBbmtTableEnd) break;
    if (e.logical != kBbmtEntryRetired) entries.push_back(e);
  }
  return entries;
}

std::vector<std::uint8_t> ReadNandTable(const NandController& nand) {
  auto place = NandTablePlaceOf(nand.chip().id);
  if (!place) return {};
  return nand.ReadFlash(place->offset, place->length, TableView(nand.chip()));
}

std::vector<std::uint8_t> FactoryTableFor(const NandChipType& chip, const std::vector<NandBlockRef>& factory_bad) {
  auto place = NandTablePlaceOf(chip.id);
  if (!place) return {};
  std::set<std::uint32_t> bad;
  for (const NandBlockRef& ref : factory_bad) bad.insert(ref.chip_select * chip.blocks + ref.block);
  return MakeFactoryTable(place->length, chip.blocks * chip.chip_selects, {bad.begin(), bad.end()});
}

void WriteNandTable(NandController& nand, std::span<const std::uint8_t> table) {
  auto place = NandTablePlaceOf(nand.chip().id);
  if (!place) return;
  nand.ProgramFlash(place->offset, table, /*ecc=*/true, TableView(nand.chip()));
  nand.image().WriteSidecar();
}

}  // namespace sim
