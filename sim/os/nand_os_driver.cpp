#include "sim/os/nand_os_driver.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

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
};

constexpr ChipRecord kRecords[] = {
    {0x75EC, 10, 0, 15, 35, 15, 35, 15120, 60, 10, 104, 2, true, false, false},
    {0x76EC, 10, 0, 15, 35, 15, 35, 15120, 60, 10, 104, 4, true, false, false},
    {0xD3EC, 5, 20, 10, 12, 10, 22, 20120, 60, 10, 104, 5, false, true, true},
    {0xF1EC, 5, 20, 10, 12, 10, 22, 25120, 60, 10, 156, 5, false, true, false},
    {0xDCAD, 5, 25, 10, 15, 10, 25, 25120, 60, 15, 104, 4, false, true, false},
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

void PutLe16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

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

std::optional<std::vector<std::uint8_t>> BuildBadBlockMap(std::span<const std::uint8_t> table, std::uint32_t blocks,
                                                          std::vector<UnusedTableEntry>* unused) {
  constexpr std::size_t kHeaderBytes = 4;
  constexpr std::size_t kEntryBytes = 4;
  auto le16 = [&](std::size_t at) { return static_cast<std::uint16_t>(table[at] | table[at + 1] << 8); };
  if (table.size() < kHeaderBytes || le16(0) != kBbmtTableMagic) return std::nullopt;
  blocks = std::min(blocks, kBbmtMapEntries);
  const std::uint32_t pool_start = blocks - blocks / 50;

  std::vector<std::uint8_t> map(kBbmtRegionBytes, 0);
  std::uint32_t signature = kBbmtSignature;
  for (int i = 0; i < 4; ++i) map[i] = static_cast<std::uint8_t>(signature >> (8 * i));
  for (std::uint32_t i = 0; i < blocks; ++i) PutLe16(map, 4 + 2 * i, static_cast<std::uint16_t>(i));

  std::set<std::uint16_t> recorded;  // every replacement so far, retired entries' included
  for (std::size_t at = kHeaderBytes, k = 0; at + kEntryBytes <= table.size(); at += kEntryBytes, ++k) {
    BbmtEntry e{le16(at), le16(at + 2)};
    if (e.logical == kBbmtTableEnd) break;
    std::string reason;
    if (e.logical == kBbmtEntryRetired) {
    } else if (e.replacement == kBbmtTableEnd) {
      reason = "its replacement was never written";
    } else if (e.logical >= blocks) {
      reason = "its block lies beyond the chip";
    } else if (e.replacement >= blocks) {
      reason = "its replacement lies beyond the chip";
    } else if (e.replacement == 0) {
      reason = "its replacement is block 0, which holds the table";
    } else if (e.replacement < pool_start) {
      reason = "its replacement is not a spare block";
    } else if (recorded.count(e.replacement)) {
      reason = "its replacement is recorded by an earlier entry";
    } else {
      PutLe16(map, 4 + 2 * std::size_t{e.logical}, e.replacement);
    }
    recorded.insert(e.replacement);
    if (!reason.empty() && unused) unused->push_back({static_cast<std::uint32_t>(k), e, reason});
  }
  return map;
}

void RunNandOsDriver(ModuleCore& core, SharedMemory& shared_memory, const NandController& nand) {
  if (auto setup = NandControllerSetupOf(nand.chip().id)) {
    core.bus().Write32(C::kBase + C::kRegTiming0, setup->timing0);
    core.bus().Write32(C::kBase + C::kRegTiming1, setup->timing1);
    core.bus().Write32(C::kBase + C::kRegControl, setup->control);
  }

  bool created = false;
  auto region = shared_memory.CreateOrOpen(kBbmtRegionName, kBbmtRegionBytes, created);
  std::uint8_t* view = region ? shared_memory.MapView(*region, 0, true) : nullptr;
  if (!view || region->bytes < kBbmtRegionBytes) {
    core.Report("operating system's flash driver: cannot create the shared map NAND_FLASH_BBMT");
    return;
  }
  std::vector<UnusedTableEntry> unused;
  auto map = BuildBadBlockMap(ReadNandTable(nand), nand.FlashBlocks(), &unused);
  if (!map) {
    core.Report("operating system's flash driver: the bad-block table has no magic; NAND_FLASH_BBMT left unsigned");
    return;
  }
  for (const UnusedTableEntry& u : unused) {
    core.Report("operating system's flash driver: bad-block table entry " + std::to_string(u.index) + " (block " +
                std::to_string(u.entry.logical) + " to block " + std::to_string(u.entry.replacement) +
                ") not used: " + u.reason);
  }
  // The entries first: the map is valid from its signature on.
  std::memcpy(view + 4, map->data() + 4, map->size() - 4);
  std::memcpy(view, map->data(), 4);
}

}  // namespace sim
