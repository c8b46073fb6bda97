// How the factory delivers a NAND module: block 0 holds the bad-block table, in the format the
// module fixes (never taken from the launcher's own code):
//
//   BadBlockTable: magic 0x524E, a 16-bit value kept as it is, then entries of (LogicalBlock,
//   ReplacementBlock), 16 bits each, little-endian, up to LogicalBlock 0xFFFF (erased flash).
//   LogicalBlock 0 retires an entry; its replacement is never handed out again.
//
// A new image (or a flash in memory, at every power-on) is prepared here: an empty table with each
// factory-bad block mapped to a spare. The operating system's driver (sim/os/nand_os_driver.h)
// builds the shared map from the same table.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

class NandController;
struct NandBlockRef;
struct NandChipType;

inline constexpr std::uint16_t kBbmtTableMagic = 0x524E;
inline constexpr std::uint16_t kBbmtTableEnd = 0xFFFF;
inline constexpr std::uint16_t kBbmtEntryRetired = 0;
inline constexpr std::uint32_t kBbmtMapEntries = 8192;  // blocks the shared map can name

// Where a chip keeps its table (flash offset in block 0 as the driver addresses it, and length).
struct NandTablePlace {
  std::uint32_t offset;
  std::uint32_t length;
};
std::optional<NandTablePlace> NandTablePlaceOf(std::uint16_t chip_id);

// The factory's table: empty, with each factory-bad block mapped to a spare taken from the top of the
// pool down (the pool is the top block count / 50 blocks). Factory-bad blocks inside the pool are
// recorded as retired entries, so that no replacement ever lands on them. Throws std::invalid_argument
// naming the block when block 0 is bad, a block does not exist, the pool runs out or the table is
// full.
std::vector<std::uint8_t> MakeFactoryTable(std::uint32_t table_length, std::uint32_t blocks,
                                           const std::vector<std::uint32_t>& factory_bad);

// The live entries of a table in table order (retired ones left out), up to the end marker; nothing
// without the magic.
struct BbmtEntry {
  std::uint16_t logical;
  std::uint16_t replacement;
};
std::optional<std::vector<BbmtEntry>> ReadTableEntries(std::span<const std::uint8_t> table);

// The factory's table for a chip with these factory-bad blocks (MakeFactoryTable at the chip's table
// place); empty for a chip without a table place. Throws std::invalid_argument as MakeFactoryTable.
std::vector<std::uint8_t> FactoryTableFor(const NandChipType& chip, const std::vector<NandBlockRef>& factory_bad);

// The table on flash, through the model's back door (on the small-page chips in device 0's first
// block, as the driver's 8-bit access sees it); empty for a chip without a table place.
std::vector<std::uint8_t> ReadNandTable(const NandController& nand);
// Programs a table into its place as a program with ECC on would store it, and saves the image's
// sidecar. Nothing for a chip without a table place.
void WriteNandTable(NandController& nand, std::span<const std::uint8_t> table);

}  // namespace sim
