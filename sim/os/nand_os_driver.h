// The operating system's NAND flash driver, as far as the launcher meets it, and the factory's
// preparation of a NAND image. Both are written from the formats the module fixes, never from the
// launcher's own code:
//
// - BadBlockTable, on flash in block 0: magic 0x524E, a 16-bit value kept as it is, then entries of
//   (LogicalBlock, ReplacementBlock), 16 bits each, little-endian, up to LogicalBlock 0xFFFF (erased
//   flash). LogicalBlock 0 retires an entry; its replacement is never handed out again.
// - BadBlockMap, the shared region "NAND_FLASH_BBMT" of 0x4004 bytes: the signature "BBMT", then one
//   16-bit physical block per logical block.
//
// On the module the operating system's driver starts before the launcher: it sets the NAND
// controller up for the chip (timing and control registers) and builds and signs the shared map from
// the table. The stand-in does the same at power-on when the module description asks for it
// ("flash": {..., "os_driver": true}); the launcher's probe then finds a signed map and does not
// configure the controller.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

class Module;

inline constexpr std::uint16_t kBbmtTableMagic = 0x524E;
inline constexpr std::uint16_t kBbmtTableEnd = 0xFFFF;
inline constexpr std::uint16_t kBbmtEntryRetired = 0;
inline constexpr std::uint32_t kBbmtSignature = 0x544D4242;  // "BBMT"
inline constexpr std::uint32_t kBbmtRegionBytes = 0x4004;
inline constexpr std::uint32_t kBbmtMapEntries = 8192;
inline constexpr char16_t kBbmtRegionName[] = u"NAND_FLASH_BBMT";

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

// The shared map as the operating system builds it: the identity overlaid with the table's live
// entries, later entries winning; nothing when the table has no magic.
std::optional<std::vector<std::uint8_t>> BuildBadBlockMap(std::span<const std::uint8_t> table, std::uint32_t blocks);

// The controller registers the operating system's driver leaves for a chip.
struct NandControllerSetup {
  std::uint32_t timing0;
  std::uint32_t timing1;
  std::uint32_t control;
};
std::optional<NandControllerSetup> NandControllerSetupOf(std::uint16_t chip_id);

// --- at power-on, around the model's construction (sim/hardware.cpp) ---

// True when the "flash" object's image does not exist yet (or the cells live in memory): the model
// is about to create it.
bool NandImageIsNew(const nlohmann::json& flash, const std::filesystem::path& folder);

// After the NAND model is attached: a new image gets the factory's table (through the model's back
// door, at the chip's table place in block 0; on the small-page chips in device 0's block as the
// 8-bit access sees it); then, with "os_driver": true, the operating system's driver stand-in runs.
// Errors are DescriptionErrors naming the field.
void PrepareNandFlash(Module& module, const nlohmann::json& flash, bool new_image);

// The stand-in at power-on: sets the controller up through the bus and builds and signs the shared
// map from the table read out of the image. A table without the magic leaves the map unsigned (and a
// line in the module's reports), as the real driver cannot build it either.
void RunNandOsDriver(Module& module, std::uint16_t chip_id, std::span<const std::uint8_t> table,
                     std::uint32_t blocks);

}  // namespace sim
