#include "sim/os/nand_os_driver.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

#include "sim/core/description.h"
#include "sim/module.h"
#include "sim/hw/nand_controller.h"

namespace sim {

namespace {

// The control bits the operating system's driver sets that the controller model does not interpret;
// the rest come from the controller's register contract (NandController).
constexpr std::uint32_t kCtrlDeviceOption = 0x00800000;
constexpr std::uint32_t kCtrlAlways19 = 0x00080000;
constexpr std::uint32_t kCtrlAlways12 = 0x00001000;
constexpr std::uint32_t kCtrlInterruptMasks = 0x00000FFF;

using C = NandController;

// One chip's record: interface times in ns, the controller clock and the control bits.
struct ChipRecord {
  std::uint16_t id;
  std::uint32_t tCH, tCS, tWH, tWP, tRH, tRP, tR, tWHR, tAR;
  std::uint32_t clock_mhz;
  std::uint32_t id_count;
  bool wide_bus, large_page, device_option;
  NandTablePlace table;
};

constexpr ChipRecord kRecords[] = {
    {0x75EC, 10, 0, 15, 35, 15, 35, 15120, 60, 10, 104, 2, true, false, false, {0x3E00, 512}},
    {0x76EC, 10, 0, 15, 35, 15, 35, 15120, 60, 10, 104, 4, true, false, false, {0x3E00, 512}},
    {0xD3EC, 5, 20, 10, 12, 10, 22, 20120, 60, 10, 104, 5, false, true, true, {0x1F800, 2048}},
    {0xF1EC, 5, 20, 10, 12, 10, 22, 25120, 60, 10, 156, 5, false, true, false, {0x1F800, 2048}},
    {0xDCAD, 5, 25, 10, 15, 10, 25, 25120, 60, 15, 104, 4, false, true, false, {0x1F800, 2048}},
};

const ChipRecord* FindRecord(std::uint16_t id) {
  for (const ChipRecord& r : kRecords) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

// Controller clock cycles for a time, as the controller counts them.
std::uint32_t Cycles(std::uint32_t ns, std::uint32_t mhz, std::uint32_t limit) {
  std::uint32_t cycles = ns > 1 ? (ns * mhz + 999) / 1000 - 1 : 0;
  return std::min(cycles, limit);
}

std::uint16_t Le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

void PutLe16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kEntryBytes = 4;

}  // namespace

std::optional<NandTablePlace> NandTablePlaceOf(std::uint16_t chip_id) {
  const ChipRecord* r = FindRecord(chip_id);
  if (!r) return std::nullopt;
  return r->table;
}

std::optional<NandControllerSetup> NandControllerSetupOf(std::uint16_t chip_id) {
  const ChipRecord* r = FindRecord(chip_id);
  if (!r) return std::nullopt;
  std::uint32_t f = r->clock_mhz;
  NandControllerSetup s{};
  s.timing0 = Cycles(r->tCH, f, 7) << 19 | Cycles(r->tCS, f, 7) << 16 | Cycles(r->tWH, f, 7) << 11 |
              Cycles(r->tWP, f, 7) << 8 | Cycles(r->tRH, f, 7) << 3 | Cycles(r->tRP, f, 7);
  s.timing1 = Cycles(r->tR, f, 65535) << 16 | Cycles(r->tWHR, f, 15) << 4 | Cycles(r->tAR, f, 15);
  s.control = kCtrlAlways19 | kCtrlAlways12 | kCtrlInterruptMasks | r->id_count << C::kCtrlIdCountShift;
  if (r->wide_bus) s.control |= C::kCtrlWideBus;
  if (r->device_option) s.control |= kCtrlDeviceOption;
  if (r->large_page) s.control |= C::kCtrlPage2K | C::kCtrlRowStart | C::kCtrlPages64;
  return s;
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

std::optional<std::vector<std::uint8_t>> BuildBadBlockMap(std::span<const std::uint8_t> table, std::uint32_t blocks) {
  auto entries = ReadTableEntries(table);
  if (!entries) return std::nullopt;
  blocks = std::min(blocks, kBbmtMapEntries);
  std::vector<std::uint8_t> map(kBbmtRegionBytes, 0);
  std::uint32_t signature = kBbmtSignature;
  for (int i = 0; i < 4; ++i) map[i] = static_cast<std::uint8_t>(signature >> (8 * i));
  for (std::uint32_t i = 0; i < blocks; ++i) PutLe16(map, 4 + 2 * i, static_cast<std::uint16_t>(i));
  for (const BbmtEntry& e : *entries) {
    if (e.logical < blocks) PutLe16(map, 4 + 2 * std::size_t{e.logical}, e.replacement);
  }
  return map;
}

void RunNandOsDriver(Module& module, std::uint16_t chip_id, std::span<const std::uint8_t> table,
                     std::uint32_t blocks) {
  if (auto setup = NandControllerSetupOf(chip_id)) {
    module.bus().Write32(C::kBase + C::kRegTiming0, setup->timing0);
    module.bus().Write32(C::kBase + C::kRegTiming1, setup->timing1);
    module.bus().Write32(C::kBase + C::kRegControl, setup->control);
  }

  bool created = false;
  auto region = module.shared_memory().CreateOrOpen(kBbmtRegionName, kBbmtRegionBytes, created);
  std::uint8_t* view = region ? module.shared_memory().MapView(*region, 0, true) : nullptr;
  if (!view || region->bytes < kBbmtRegionBytes) {
    module.Report("operating system's flash driver: cannot create the shared map NAND_FLASH_BBMT");
    return;
  }
  auto map = BuildBadBlockMap(table, blocks);
  if (!map) {
    module.Report("operating system's flash driver: the bad-block table has no magic; NAND_FLASH_BBMT left unsigned");
    return;
  }
  // The entries first: the map is valid from its signature on.
  std::memcpy(view + 4, map->data() + 4, map->size() - 4);
  std::memcpy(view, map->data(), 4);
}

bool NandImageIsNew(const nlohmann::json& flash, const std::filesystem::path& folder) {
  if (!flash.is_object() || !flash.contains("image") || !flash["image"].is_string()) return true;
  std::filesystem::path image(flash["image"].get<std::string>());
  if (!image.is_absolute()) image = folder / image;
  std::error_code ignored;
  return !std::filesystem::exists(image, ignored);
}

void PrepareNandFlash(Module& module, const nlohmann::json& flash, bool new_image) {
  bool os_driver = false;
  if (flash.contains("os_driver")) {
    if (!flash["os_driver"].is_boolean()) {
      throw DescriptionError("module description: field 'flash.os_driver': expected true or false");
    }
    os_driver = flash["os_driver"].get<bool>();
  }
  NandController* nand = module.FindDevice<NandController>();
  if (!nand) return;
  const NandChipType& chip = nand->chip();
  auto place = NandTablePlaceOf(chip.id);
  if (!place) return;
  // The small-page chips sit on the 16-bit bus, and the table is in device 0's first block, which
  // the driver reaches with the 8-bit access.
  NandView view = chip.lanes > 1 ? NandView::kNarrow : NandView::kWired;

  if (new_image) {
    std::set<std::uint32_t> bad;
    for (const NandBlockRef& ref : ParseNandConfig(flash, module.description().folder).factory_bad_blocks) {
      bad.insert(ref.chip_select * chip.blocks + ref.block);
    }
    std::vector<std::uint8_t> table;
    try {
      table = MakeFactoryTable(place->length, nand->FlashBlocks(), {bad.begin(), bad.end()});
    } catch (const std::invalid_argument& e) {
      throw DescriptionError(std::string("module description: field 'flash.factory_bad_blocks': ") + e.what());
    }
    nand->ProgramFlash(place->offset, table, /*ecc=*/true, view);
    nand->image().WriteSidecar();
  }

  if (os_driver) {
    std::vector<std::uint8_t> table = nand->ReadFlash(place->offset, place->length, view);
    RunNandOsDriver(module, chip.id, table, nand->FlashBlocks());
  }
}

}  // namespace sim
