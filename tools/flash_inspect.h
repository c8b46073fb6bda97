// What a module's boot flash holds, gathered through the module's own flash library on the simulated
// module: FlashInit, the tester region read with FlashOps, and on NAND the bad-block layer's map,
// on-flash table and spare choice (flash/bbmt). Nothing is written to the flash; a module whose image
// does not exist yet is looked at as the factory delivers it, in memory, and no image is made.
//
// NAND blocks are physical blocks of the flash as the driver counts them (a pair's block once, both
// chip selects), each of one kind:
//   table       block 0, which holds the bad-block table
//   factory-bad a block of module.json's factory_bad_blocks
//   grown-bad   a block the table shows went bad later: the block a later entry moved a logical
//               block away from, or the replacement of a later entry that was retired
//   tester      a block holding part of the tester region (0x13C0000, 256 KiB) through the map
//   spare-used  a spare (the top block count / 50 blocks) that the map leads a block to
//   spare-free  a spare no table entry has ever named
//   good        every other block
// in that order of precedence.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/core/description.h"

namespace tools {

// The module cannot be looked at: no flash, a description the reader refuses, a flash that does
// not come up.
struct FlashInspectError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class BlockKind { kTable, kFactoryBad, kGrownBad, kTester, kSpareUsed, kSpareFree, kGood };
inline constexpr std::size_t kBlockKinds = 7;

// "table", "factory-bad", ... as above; also the SVG classes and JSON keys.
const char* BlockKindName(BlockKind kind);
// The map's character for the kind: T F G t S - .
char BlockKindLetter(BlockKind kind);

struct TableEntryInfo {
  std::uint32_t index = 0;
  std::uint32_t logical = 0;      // 0: retired
  std::uint32_t replacement = 0;
  bool factory = false;           // the factory's table held it (module.json's factory_bad_blocks)
  std::string state;              // "live", "retired", or why the bad-block layer does not use it
};

// What the flash's blocks have been through over the image's life (the sidecar's "wear"): the
// devices' own counts, and per block as the rest of the info counts them (NAND: the driver's blocks;
// NOR: the blocks on the bus, lowest first) the most erases any device behind it had.
struct WearInfo {
  struct Device {
    std::uint32_t chip_select = 0;        // NAND
    std::uint32_t device = 0;             // byte lane (NAND) or half of the bus word (NOR)
    std::vector<std::uint64_t> programs;  // per device block
    std::vector<std::uint64_t> erases;
  };
  std::vector<Device> devices;
  std::uint64_t programs = 0;  // every device's together
  std::uint64_t erases = 0;
  std::vector<std::uint64_t> block_erases;
};

struct NandInfo {
  std::string chip;  // "0xF1EC"
  std::uint32_t page_bytes = 0;
  std::uint32_t spare_bytes = 0;  // per device page
  std::uint32_t pages_per_block = 0;
  std::uint32_t blocks = 0;       // flash blocks, as the driver counts them
  std::uint32_t block_bytes = 0;  // of a flash block (both devices of a pair)
  std::uint32_t chip_selects = 0;
  std::uint32_t lanes = 0;        // 2: a pair of 8-bit devices on the 16-bit bus
  bool os_driver = false;         // the operating system's driver built the map
  std::uint32_t reserved_blocks = 0;
  std::uint32_t table_offset = 0;
  std::uint32_t table_length = 0;
  bool table_valid = false;       // carries the magic
  std::uint32_t table_slots = 0;  // entries it can hold, the end marker's slot included
  std::vector<TableEntryInfo> entries;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> remapped;  // logical -> physical, where they differ
  std::uint32_t spares_left = 0;
  std::optional<std::uint32_t> next_spare;  // what the next replacement takes
  std::vector<BlockKind> kinds;             // per physical block
  WearInfo wear;
  std::uint32_t pool_first() const { return blocks - reserved_blocks; }
};

struct NorInfo {
  std::uint16_t device_code = 0;
  std::uint8_t size_code = 0;
  std::uint32_t bus_bytes = 0;
  std::uint32_t parameter_blocks = 0;  // small blocks at the bottom
  std::uint32_t parameter_block_bytes = 0;
  std::uint32_t main_blocks = 0;
  std::uint32_t main_block_bytes = 0;
  WearInfo wear;
};

struct TesterRegionInfo {
  std::string state;  // "erased", "bundle", "no-bundle" (data without a record), "problem"
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  std::optional<std::string> launched;
  std::string problem;
};

struct FlashInfo {
  std::string type;  // "nor" or "nand"
  std::uint32_t usable_size = 0;
  std::uint32_t device_class = 0;
  std::uint32_t page_size = 0;   // as FlashOps reports it
  std::uint32_t block_size = 0;
  std::optional<NorInfo> nor;
  std::optional<NandInfo> nand;
  TesterRegionInfo tester;
  std::vector<std::string> reports;  // what the flash library said on the way (unusable table entries)
};

FlashInfo InspectFlash(const std::filesystem::path& module_folder);

// The module's description for looking at or moving its flash: the flash's faults left out (they are
// for runs: a flipped bit or a wrong ID would hide what the flash holds), and, unless make_image, an
// image that does not exist yet kept in memory rather than made.
sim::Description FlashDescription(const std::filesystem::path& module_folder, bool make_image);

// `flash info` as text and as JSON.
std::string InfoText(const FlashInfo& info);
nlohmann::ordered_json InfoJson(const FlashInfo& info);

// The NAND block map: rows of 64 blocks, one character a block, with a legend and the counts.
std::string MapText(const NandInfo& nand);
// The same as an SVG picture: one square a block (class = the kind's name, a title naming the block),
// 64 a row, and a legend with the counts.
std::string MapSvg(const NandInfo& nand);

}  // namespace tools
