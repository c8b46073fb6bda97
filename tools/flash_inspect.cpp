#include "tools/flash_inspect.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "flash/bbmt/bbmt.h"
#include "flash/bbmt/bbmt_internal.h"
#include "flash/flash_ops.h"
#include "flash/nand/nand.h"
#include "sim/core/description.h"
#include "sim/core/text.h"
#include "sim/hw/nand_controller.h"
#include "sim/hw/nand_factory.h"
#include "sim/hw/nor_flash.h"
#include "tester/tester.h"
#include "tools/bundle.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kMapRow = 64;
constexpr std::uint32_t kMapGroup = 16;

std::string Hex16(std::uint32_t value) { return "0x" + sim::Hex(value).substr(6); }

std::string Size(std::uint64_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

const char* CheckName(BbmtEntryCheck check) {
  switch (check) {
    case BBMT_ENTRY_USABLE: return "live";
    case BBMT_ENTRY_IS_RETIRED: return "retired";
    case BBMT_ENTRY_INCOMPLETE: return "not used: its replacement block was never written";
    case BBMT_ENTRY_BLOCK_OUTSIDE: return "not used: the block lies beyond the chip";
    case BBMT_ENTRY_TARGET_OUTSIDE: return "not used: its replacement block lies beyond the chip";
    case BBMT_ENTRY_TARGET_TABLE: return "not used: its replacement block is block 0";
    case BBMT_ENTRY_TARGET_NOT_SPARE: return "not used: its replacement block is not a spare block";
    case BBMT_ENTRY_TARGET_TAKEN: return "not used: its replacement block is taken by an earlier entry";
  }
  return "?";
}

TesterRegionInfo InspectTester(ModuleFlash& flash) {
  TesterRegionInfo t;
  BundleContents contents = ReadBundle(flash);
  t.files = contents.records.size();
  for (const BundleRecord& r : contents.records) t.bytes += r.file.payload.size();
  if (contents.program) t.launched = DeviceNameToUtf8(contents.records[*contents.program].file.name);
  if (!contents.problem.empty()) {
    t.state = "problem";
    t.problem = contents.problem;
  } else if (!contents.records.empty()) {
    t.state = "bundle";
  } else {
    std::vector<std::uint8_t> region(TESTER_REGION_LENGTH);
    bool erased = flash.Read(TESTER_REGION_OFFSET, region) &&
                  std::all_of(region.begin(), region.end(), [](std::uint8_t b) { return b == 0xFF; });
    t.state = erased ? "erased" : "no-bundle";
  }
  return t;
}

// Adds one device's counts; its blocks stand behind the info's blocks as block_of says.
template <typename WearOf, typename BlockOf>
void AddDeviceWear(WearInfo& wear, WearInfo::Device device, std::uint32_t blocks, WearOf wear_of,
                   BlockOf block_of) {
  device.programs.resize(blocks);
  device.erases.resize(blocks);
  for (std::uint32_t b = 0; b < blocks; ++b) {
    const sim::ImageStore::BlockWear& w = wear_of(b);
    device.programs[b] = w.programs;
    device.erases[b] = w.erases;
    wear.programs += w.programs;
    wear.erases += w.erases;
    std::uint64_t& shown = wear.block_erases[block_of(b)];
    shown = std::max(shown, w.erases);
  }
  wear.devices.push_back(std::move(device));
}

NandInfo InspectNand(sim::Module& module) {
  const sim::NandController* controller = module.FindDevice<sim::NandController>();
  if (!controller) throw FlashInspectError("the module has no NAND controller");
  const sim::NandChipType& chip = controller->chip();
  NandInfo n;
  n.chip = chip.name;
  n.page_bytes = chip.page_bytes;
  n.spare_bytes = chip.spare_bytes;
  n.pages_per_block = chip.pages_per_block;
  n.blocks = NandBlockCount();
  n.block_bytes = NandBlockSize();
  n.chip_selects = chip.chip_selects;
  n.lanes = chip.lanes;
  n.os_driver = module.description().flash.os_driver;
  n.reserved_blocks = BbmtReservedBlocks;
  n.table_offset = BbmtTableOffset;
  n.table_length = BbmtTableLength;

  // The table as the bad-block layer reads it, the map as it stands in the shared region.
  BbmtReadAs(BbmtTableCopy, BbmtTableOffset, BbmtTableLength, BBMT_RAW_TABLE_ACCESS);
  n.table_valid = BbmtTableMagic() == BBMT_TABLE_MAGIC;
  n.table_slots = BbmtTableSlots();
  for (std::uint32_t b = 0; b < n.blocks; ++b) {
    if (BbmtMapEntry(b) != b) n.remapped.emplace_back(b, BbmtMapEntry(b));
  }

  std::set<std::uint32_t> factory_bad;
  for (const sim::NandBlockRef& ref : module.description().flash.nand.factory_bad_blocks) {
    factory_bad.insert(ref.chip_select * chip.blocks + ref.block);
  }
  std::vector<sim::BbmtEntry> factory;
  std::vector<std::uint8_t> factory_table;
  try {
    factory_table = sim::FactoryTableFor(chip, module.description().flash.nand.factory_bad_blocks);
  } catch (const std::exception&) {
    // The factory could not have delivered this chip; no entry counts as the factory's then.
  }
  // The factory's entries, retired ones included (ReadTableEntries leaves those out).
  for (std::size_t at = 4; at + 4 <= factory_table.size(); at += 4) {
    std::uint16_t logical = static_cast<std::uint16_t>(factory_table[at] | factory_table[at + 1] << 8);
    std::uint16_t replacement = static_cast<std::uint16_t>(factory_table[at + 2] | factory_table[at + 3] << 8);
    if (logical == sim::kBbmtTableEnd) break;
    factory.push_back({logical, replacement});
  }

  std::set<std::uint32_t> grown_bad, recorded;
  std::map<std::uint32_t, std::uint32_t> holding;  // logical block -> the physical block that held it
  if (n.table_valid) {
    const std::uint32_t count = BbmtTableEntryCount();
    for (std::uint32_t k = 0; k < count; ++k) {
      TableEntryInfo e;
      e.index = k;
      e.logical = BbmtTableLogicalBlock(k);
      e.replacement = BbmtTableReplacementBlock(k);
      e.factory = k < factory.size() && factory[k].replacement == e.replacement &&
                  (e.logical == factory[k].logical || e.logical == BBMT_ENTRY_RETIRED);
      BbmtEntryCheck check = BbmtCheckEntry(k);
      e.state = CheckName(check);
      recorded.insert(e.replacement);
      if (check == BBMT_ENTRY_IS_RETIRED) {
        // A replacement retired: it went bad itself (or is a factory-bad spare the factory set aside).
        if (!factory_bad.count(e.replacement)) grown_bad.insert(e.replacement);
      } else if (check == BBMT_ENTRY_USABLE) {
        auto held = holding.find(e.logical);
        std::uint32_t failed = held == holding.end() ? e.logical : held->second;
        if (!factory_bad.count(failed)) grown_bad.insert(failed);
        holding[e.logical] = e.replacement;
      }
      n.entries.push_back(e);
    }
    std::uint32_t next = 0, entries = 0;
    if (FindSpareBlock(BBMT_ENTRY_RETIRED, &next, &entries) == FLASH_OK) {
      n.next_spare = next;
      for (std::uint32_t b = n.pool_first(); b <= next; ++b) n.spares_left += recorded.count(b) ? 0 : 1;
    }
  }

  const std::uint32_t first_tester = TESTER_REGION_OFFSET / n.block_bytes;
  const std::uint32_t last_tester = (TESTER_REGION_OFFSET + TESTER_REGION_LENGTH - 1) / n.block_bytes;
  std::set<std::uint32_t> tester, used;
  for (std::uint32_t b = first_tester; b <= last_tester && b < n.blocks; ++b) tester.insert(BbmtMapEntry(b));
  for (const auto& [logical, physical] : n.remapped) used.insert(physical);
  n.kinds.resize(n.blocks);
  for (std::uint32_t b = 0; b < n.blocks; ++b) {
    BlockKind kind = BlockKind::kGood;
    if (b == 0) {
      kind = BlockKind::kTable;
    } else if (factory_bad.count(b)) {
      kind = BlockKind::kFactoryBad;
    } else if (grown_bad.count(b)) {
      kind = BlockKind::kGrownBad;
    } else if (tester.count(b)) {
      kind = BlockKind::kTester;
    } else if (b >= n.pool_first()) {
      kind = used.count(b) ? BlockKind::kSpareUsed : recorded.count(b) ? BlockKind::kGrownBad : BlockKind::kSpareFree;
    }
    n.kinds[b] = kind;
  }

  const sim::NandImage& image = controller->image();
  n.wear.block_erases.resize(n.blocks);
  for (std::uint32_t region = 0; region < image.layout().regions.size(); ++region) {
    const sim::NandImage::Region& r = image.layout().regions[region];
    // The driver's blocks run over the chip selects; a pair's devices share theirs.
    AddDeviceWear(
        n.wear, {r.chip_select, r.device, {}, {}}, chip.blocks,
        [&](std::uint32_t b) -> const sim::ImageStore::BlockWear& { return image.Wear(region, b); },
        [&](std::uint32_t b) { return r.chip_select * chip.blocks + b; });
  }
  return n;
}

NorInfo InspectNor(sim::Module& module) {
  const sim::NorFlash* flash = module.FindDevice<sim::NorFlash>();
  if (!flash) throw FlashInspectError("the module has no NOR flash");
  const sim::NorFlashConfig& config = module.description().flash.nor;
  NorInfo n;
  n.device_code = config.device_code;
  n.size_code = config.size_code;
  n.bus_bytes = flash->BusBytes();
  const sim::NorLayout& layout = flash->layout();
  for (std::size_t i = 0; i < layout.BlockCount(); ++i) {
    sim::NorLayout::Block block = layout.BlockNumber(i);
    if (layout.parameter_blocks() && block.offset < sim::NorLayout::kDeviceParameterAreaBytes * sim::NorLayout::kDevices) {
      ++n.parameter_blocks;
      n.parameter_block_bytes = block.bytes;
    } else {
      ++n.main_blocks;
      n.main_block_bytes = block.bytes;
    }
  }
  const std::uint32_t blocks = static_cast<std::uint32_t>(layout.BlockCount());
  n.wear.block_erases.resize(blocks);
  for (unsigned lane = 0; lane < sim::NorFlash::kLanes; ++lane) {
    AddDeviceWear(
        n.wear, {0, lane, {}, {}}, blocks,
        [&](std::uint32_t b) -> const sim::ImageStore::BlockWear& {
          return flash->Wear(layout.BlockNumber(b).offset, lane);
        },
        [](std::uint32_t b) { return b; });
  }
  return n;
}

// The blocks erased most, most first (the lower block first among equals).
std::vector<std::uint32_t> MostErased(const WearInfo& wear, std::size_t count) {
  std::vector<std::uint32_t> blocks;
  for (std::uint32_t b = 0; b < wear.block_erases.size(); ++b) {
    if (wear.block_erases[b] != 0) blocks.push_back(b);
  }
  std::stable_sort(blocks.begin(), blocks.end(), [&](std::uint32_t a, std::uint32_t b) {
    return wear.block_erases[a] > wear.block_erases[b];
  });
  if (blocks.size() > count) blocks.resize(count);
  return blocks;
}

std::uint32_t BlocksErased(const WearInfo& wear) {
  return static_cast<std::uint32_t>(std::count_if(wear.block_erases.begin(), wear.block_erases.end(),
                                                  [](std::uint64_t e) { return e != 0; }));
}

constexpr std::size_t kMostErasedShown = 3;

std::string WearText(const WearInfo& wear) {
  std::ostringstream out;
  out << "wear:          ";
  if (wear.programs == 0 && wear.erases == 0) {
    out << "no block programmed or erased yet\n";
    return out.str();
  }
  out << wear.programs << (wear.programs == 1 ? " program, " : " programs, ") << wear.erases
      << (wear.erases == 1 ? " erase" : " erases") << " in all; " << BlocksErased(wear)
      << (BlocksErased(wear) == 1 ? " block" : " blocks") << " ever erased";
  std::vector<std::uint32_t> most = MostErased(wear, kMostErasedShown);
  if (!most.empty()) {
    out << "; most erased:";
    for (std::size_t i = 0; i < most.size(); ++i) {
      out << (i ? ", " : " ") << "block " << most[i] << " (" << wear.block_erases[most[i]] << ")";
    }
  }
  out << "\n";
  return out.str();
}

nlohmann::ordered_json WearJson(const WearInfo& wear, bool chip_selects) {
  using Json = nlohmann::ordered_json;
  Json most = Json::array();
  for (std::uint32_t b : MostErased(wear, kMostErasedShown))
    most.push_back({{"block", b}, {"erases", wear.block_erases[b]}});
  Json devices = Json::array();
  for (const WearInfo::Device& d : wear.devices) {
    Json device = Json::object();
    if (chip_selects) device["chip_select"] = d.chip_select;
    device["device"] = d.device;
    device["programs"] = d.programs;
    device["erases"] = d.erases;
    devices.push_back(std::move(device));
  }
  return {{"programs", wear.programs},
          {"erases", wear.erases},
          {"blocks_erased", BlocksErased(wear)},
          {"most_erased", most},
          {"devices", devices}};
}

std::array<std::uint32_t, kBlockKinds> Counts(const NandInfo& nand) {
  std::array<std::uint32_t, kBlockKinds> counts{};
  for (BlockKind k : nand.kinds) ++counts[static_cast<std::size_t>(k)];
  return counts;
}

constexpr std::array<BlockKind, kBlockKinds> kAllKinds = {BlockKind::kGood,      BlockKind::kTable,
                                                          BlockKind::kTester,    BlockKind::kFactoryBad,
                                                          BlockKind::kGrownBad,  BlockKind::kSpareUsed,
                                                          BlockKind::kSpareFree};

const char* KindColour(BlockKind kind) {
  switch (kind) {
    case BlockKind::kTable: return "#2b6cb0";
    case BlockKind::kFactoryBad: return "#4a4a4a";
    case BlockKind::kGrownBad: return "#d62828";
    case BlockKind::kTester: return "#f4a261";
    case BlockKind::kSpareUsed: return "#7b2cbf";
    case BlockKind::kSpareFree: return "#c8b6e2";
    case BlockKind::kGood: return "#8fd694";
  }
  return "#ffffff";
}

const char* KindLegend(BlockKind kind) {
  switch (kind) {
    case BlockKind::kTable: return "table block";
    case BlockKind::kFactoryBad: return "factory-bad";
    case BlockKind::kGrownBad: return "grown-bad";
    case BlockKind::kTester: return "tester region";
    case BlockKind::kSpareUsed: return "spare in use";
    case BlockKind::kSpareFree: return "spare free";
    case BlockKind::kGood: return "good";
  }
  return "?";
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

sim::Description FlashDescription(const fs::path& module_folder, bool make_image) {
  sim::Description d = sim::LoadDescription(module_folder);
  std::error_code error;
  if (d.flash.type == sim::FlashConfig::Type::kNor) {
    d.flash.nor.faults = {};
    if (!make_image && !d.flash.nor.image.empty() && !fs::exists(d.flash.nor.image, error)) d.flash.nor.image.clear();
  } else if (d.flash.type == sim::FlashConfig::Type::kNand) {
    d.flash.nand.faults = {};
    if (!make_image && !d.flash.nand.image.empty() && !fs::exists(d.flash.nand.image, error)) d.flash.nand.image.clear();
  }
  return d;
}

const char* BlockKindName(BlockKind kind) {
  switch (kind) {
    case BlockKind::kTable: return "table";
    case BlockKind::kFactoryBad: return "factory-bad";
    case BlockKind::kGrownBad: return "grown-bad";
    case BlockKind::kTester: return "tester";
    case BlockKind::kSpareUsed: return "spare-used";
    case BlockKind::kSpareFree: return "spare-free";
    case BlockKind::kGood: return "good";
  }
  return "?";
}

char BlockKindLetter(BlockKind kind) {
  switch (kind) {
    case BlockKind::kTable: return 'T';
    case BlockKind::kFactoryBad: return 'F';
    case BlockKind::kGrownBad: return 'G';
    case BlockKind::kTester: return 't';
    case BlockKind::kSpareUsed: return 'S';
    case BlockKind::kSpareFree: return '-';
    case BlockKind::kGood: return '.';
  }
  return '?';
}

FlashInfo InspectFlash(const fs::path& module_folder) {
  sim::Description description = FlashDescription(module_folder, false);
  FlashInfo info;
  std::unique_ptr<ModuleFlash> flash;
  try {
    flash = std::make_unique<ModuleFlash>(std::move(description));
  } catch (const BundleError& e) {
    throw FlashInspectError(e.what());
  } catch (const sim::ImageError& e) {
    throw FlashInspectError(e.what());
  }
  info.usable_size = FlashOps.UsableSize;
  info.device_class = FlashOps.DeviceClass;
  info.page_size = FlashOps.GetPageSize ? FlashOps.GetPageSize() : 0;
  info.block_size = FlashOps.GetBlockSize ? FlashOps.GetBlockSize(TESTER_REGION_OFFSET) : 0;
  if (FlashOps.FlashType == FLASH_TYPE_NAND) {
    info.type = "nand";
    info.nand = InspectNand(flash->module());
  } else {
    info.type = "nor";
    info.nor = InspectNor(flash->module());
  }
  if (info.usable_size >= TESTER_REGION_OFFSET + TESTER_REGION_LENGTH) {
    info.tester = InspectTester(*flash);
  } else {
    info.tester.state = "beyond";
  }
  std::istringstream lines(flash->module().DebugTranscript());
  for (std::string line; std::getline(lines, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (!line.empty()) info.reports.push_back(line);
  }
  return info;
}

std::string InfoText(const FlashInfo& info) {
  std::ostringstream out;
  if (info.nor) {
    const NorInfo& n = *info.nor;
    out << "flash:         NOR, two 16-bit devices side by side on the 32-bit bus, device code "
        << Hex16(n.device_code) << ", " << Size(n.bus_bytes / 2) << " each\n";
    out << "geometry:      " << Size(n.bus_bytes) << " on the bus; ";
    if (n.parameter_blocks) out << n.parameter_blocks << " blocks of " << Size(n.parameter_block_bytes) << ", then ";
    out << n.main_blocks << " blocks of " << Size(n.main_block_bytes) << "\n";
  } else if (info.nand) {
    const NandInfo& n = *info.nand;
    out << "flash:         NAND, chip " << n.chip << ": " << n.chip_selects * n.lanes
        << (n.chip_selects * n.lanes == 1 ? " device" : " devices");
    if (n.lanes == 2) out << " side by side on the 16-bit bus";
    if (n.chip_selects == 2) out << " on two chip selects";
    out << "\n";
    out << "geometry:      " << n.page_bytes << "-byte pages with " << n.spare_bytes << " spare bytes, "
        << n.pages_per_block << " pages a block; " << n.blocks << " blocks of " << Size(n.block_bytes) << " ("
        << Size(std::uint64_t{n.blocks} * n.block_bytes) << ")\n";
  }
  out << "usable size:   " << info.usable_size << " bytes (" << sim::Hex(info.usable_size) << ")";
  if (info.nand) {
    out << ", " << info.nand->pool_first() << " blocks; " << info.nand->reserved_blocks << " spare blocks ("
        << info.nand->pool_first() << " to " << info.nand->blocks - 1 << ")";
  }
  out << "\ndevice class:  " << info.device_class << "\n";
  out << "tester region: " << sim::Hex(TESTER_REGION_OFFSET) << ", " << Size(TESTER_REGION_LENGTH) << ": ";
  const TesterRegionInfo& t = info.tester;
  if (t.state == "erased") {
    out << "erased (no bundle, or served already)\n";
  } else if (t.state == "no-bundle") {
    out << "holds data but no bundle record\n";
  } else if (t.state == "beyond") {
    out << "beyond the flash's usable size\n";
  } else {
    out << "a bundle of " << t.files << (t.files == 1 ? " file, " : " files, ") << t.bytes << " bytes";
    out << (t.launched ? ", launches " + sim::Printable(*t.launched) : std::string(", no program to launch"));
    if (t.state == "problem") out << "; " << t.problem;
    out << "\n";
  }
  if (info.nand) {
    const NandInfo& n = *info.nand;
    out << "map:           " << (n.os_driver ? "built by the operating system's driver" : "built by the flash library");
    if (n.remapped.empty()) {
      out << "; every block at its own place\n";
    } else {
      out << "; " << n.remapped.size() << (n.remapped.size() == 1 ? " block" : " blocks") << " moved:";
      for (const auto& [logical, physical] : n.remapped) out << " " << logical << "->" << physical;
      out << "\n";
    }
    out << "table:         " << sim::Hex(n.table_offset) << ", " << n.table_length << " bytes: ";
    if (!n.table_valid) {
      out << "no valid table (the magic 0x524E is missing)\n";
    } else {
      out << n.entries.size() << " of " << n.table_slots - 1 << " entries\n";
      for (const TableEntryInfo& e : n.entries) {
        char line[96];
        std::snprintf(line, sizeof line, "  %4u  block %5u -> %5u  %-8s ", e.index, e.logical, e.replacement,
                      e.factory ? "factory" : "later");
        out << line << e.state << "\n";
      }
    }
    out << "spares:        " << n.spares_left << " of " << n.reserved_blocks << " left";
    if (n.next_spare) out << ", the next replacement takes block " << *n.next_spare;
    out << "\n";
    std::array<std::uint32_t, kBlockKinds> counts = Counts(n);
    out << "blocks:       ";
    for (BlockKind k : kAllKinds) out << " " << counts[static_cast<std::size_t>(k)] << " " << BlockKindName(k);
    out << "\n";
    out << WearText(n.wear);
  }
  if (info.nor) out << WearText(info.nor->wear);
  for (const std::string& report : info.reports) out << "library:       " << sim::Printable(report) << "\n";
  return out.str();
}

nlohmann::ordered_json InfoJson(const FlashInfo& info) {
  using Json = nlohmann::ordered_json;
  Json out;
  out["type"] = info.type;
  out["usable_size"] = info.usable_size;
  out["device_class"] = info.device_class;
  out["page_size"] = info.page_size;
  out["block_size"] = info.block_size;
  if (info.nor) {
    const NorInfo& n = *info.nor;
    out["nor"] = {{"device_code", Hex16(n.device_code)},
                  {"size_code", n.size_code},
                  {"devices", 2},
                  {"bytes", n.bus_bytes},
                  {"parameter_blocks", n.parameter_blocks},
                  {"parameter_block_bytes", n.parameter_block_bytes},
                  {"main_blocks", n.main_blocks},
                  {"main_block_bytes", n.main_block_bytes},
                  {"wear", WearJson(n.wear, false)}};
  }
  if (info.nand) {
    const NandInfo& n = *info.nand;
    Json entries = Json::array();
    for (const TableEntryInfo& e : n.entries) {
      entries.push_back({{"index", e.index},
                         {"logical", e.logical},
                         {"replacement", e.replacement},
                         {"origin", e.factory ? "factory" : "later"},
                         {"state", e.state}});
    }
    Json remapped = Json::array();
    for (const auto& [logical, physical] : n.remapped) remapped.push_back({{"logical", logical}, {"physical", physical}});
    Json counts = Json::object();
    std::array<std::uint32_t, kBlockKinds> c = Counts(n);
    for (BlockKind k : kAllKinds) counts[BlockKindName(k)] = c[static_cast<std::size_t>(k)];
    out["nand"] = {{"chip", n.chip},
                   {"page_bytes", n.page_bytes},
                   {"spare_bytes", n.spare_bytes},
                   {"pages_per_block", n.pages_per_block},
                   {"blocks", n.blocks},
                   {"block_bytes", n.block_bytes},
                   {"chip_selects", n.chip_selects},
                   {"devices_per_chip_select", n.lanes},
                   {"map_built_by", n.os_driver ? "os_driver" : "library"},
                   {"reserved_blocks", n.reserved_blocks},
                   {"spare_pool_first", n.pool_first()},
                   {"table",
                    {{"offset", n.table_offset},
                     {"bytes", n.table_length},
                     {"valid", n.table_valid},
                     {"capacity", n.table_slots == 0 ? 0 : n.table_slots - 1},
                     {"entries", entries}}},
                   {"remapped", remapped},
                   {"spares_left", n.spares_left},
                   {"next_spare", n.next_spare ? Json(*n.next_spare) : Json(nullptr)},
                   {"blocks_by_kind", counts},
                   {"wear", WearJson(n.wear, true)}};
  }
  const TesterRegionInfo& t = info.tester;
  out["tester_region"] = {{"offset", TESTER_REGION_OFFSET},
                          {"bytes", TESTER_REGION_LENGTH},
                          {"state", t.state},
                          {"files", t.files},
                          {"payload_bytes", t.bytes},
                          {"launched", t.launched ? Json(*t.launched) : Json(nullptr)},
                          {"problem", t.problem.empty() ? Json(nullptr) : Json(t.problem)}};
  out["library_reports"] = info.reports;
  return out;
}

std::string MapText(const NandInfo& nand) {
  std::ostringstream out;
  out << "blocks of chip " << nand.chip << ", " << kMapRow << " a row:\n";
  for (std::uint32_t row = 0; row < nand.blocks; row += kMapRow) {
    char label[16];
    std::snprintf(label, sizeof label, "%5u ", row);
    out << label;
    for (std::uint32_t b = row; b < row + kMapRow && b < nand.blocks; ++b) {
      if (b != row && (b - row) % kMapGroup == 0) out << ' ';
      out << BlockKindLetter(nand.kinds[b]);
    }
    out << "\n";
  }
  std::array<std::uint32_t, kBlockKinds> counts = Counts(nand);
  out << "legend:";
  for (BlockKind k : kAllKinds) {
    out << "  " << BlockKindLetter(k) << " " << KindLegend(k) << " (" << counts[static_cast<std::size_t>(k)] << ")";
  }
  out << "\n";
  return out.str();
}

std::string MapSvg(const NandInfo& nand) {
  constexpr int kCell = 10, kGap = 2, kMargin = 10, kLabel = 44, kLegendLine = 18;
  const std::uint32_t rows = (nand.blocks + kMapRow - 1) / kMapRow;
  const int grid_width = static_cast<int>(kMapRow) * (kCell + kGap);
  const int width = kMargin * 2 + kLabel + grid_width;
  const int title_height = 24;
  const int grid_top = kMargin + title_height;
  const int legend_top = grid_top + static_cast<int>(rows) * (kCell + kGap) + kMargin;
  const int height = legend_top + static_cast<int>(kBlockKinds) * kLegendLine + kMargin;
  std::array<std::uint32_t, kBlockKinds> counts = Counts(nand);

  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << " " << height << "\" font-family=\"sans-serif\" font-size=\"11\">\n";
  out << "<title>" << Escaped("NAND blocks of chip " + nand.chip) << "</title>\n";
  out << "<rect class=\"background\" x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height
      << "\" fill=\"#ffffff\"/>\n";
  out << "<text x=\"" << kMargin << "\" y=\"" << kMargin + 12 << "\" font-size=\"14\">"
      << Escaped("Chip " + nand.chip + ": " + std::to_string(nand.blocks) + " blocks of " +
                 Size(nand.block_bytes) + ", " + std::to_string(nand.reserved_blocks) + " spares, " +
                 std::to_string(nand.spares_left) + " left")
      << "</text>\n";
  out << "<g class=\"blocks\">\n";
  for (std::uint32_t b = 0; b < nand.blocks; ++b) {
    const std::uint32_t row = b / kMapRow, column = b % kMapRow;
    if (column == 0) {
      out << "<text x=\"" << kMargin + kLabel - 4 << "\" y=\"" << grid_top + static_cast<int>(row) * (kCell + kGap) + kCell - 1
          << "\" text-anchor=\"end\" font-size=\"9\">" << b << "</text>\n";
    }
    BlockKind kind = nand.kinds[b];
    out << "<rect class=\"" << BlockKindName(kind) << "\" x=\"" << kMargin + kLabel + static_cast<int>(column) * (kCell + kGap)
        << "\" y=\"" << grid_top + static_cast<int>(row) * (kCell + kGap) << "\" width=\"" << kCell << "\" height=\""
        << kCell << "\" fill=\"" << KindColour(kind) << "\"><title>block " << b << ": " << KindLegend(kind)
        << "</title></rect>\n";
  }
  out << "</g>\n<g class=\"legend\">\n";
  int y = legend_top;
  for (BlockKind k : kAllKinds) {
    out << "<rect class=\"legend-" << BlockKindName(k) << "\" x=\"" << kMargin << "\" y=\"" << y << "\" width=\"" << kCell
        << "\" height=\"" << kCell << "\" fill=\"" << KindColour(k) << "\"/>\n";
    out << "<text x=\"" << kMargin + kCell + 6 << "\" y=\"" << y + kCell - 1 << "\">" << KindLegend(k) << ": "
        << counts[static_cast<std::size_t>(k)] << "</text>\n";
    y += kLegendLine;
  }
  out << "</g>\n</svg>\n";
  return out.str();
}

}  // namespace tools
