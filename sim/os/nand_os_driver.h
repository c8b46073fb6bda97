// The operating system's NAND flash driver, as far as the launcher meets it. Written from the
// formats the module fixes, never from the launcher's own code:
//
// - BadBlockTable, on flash in block 0 (sim/hw/nand_factory.h).
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
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/core/module_core.h"
#include "sim/hw/nand_factory.h"
#include "sim/os/shared_memory.h"

namespace sim {

class NandController;

inline constexpr std::uint32_t kBbmtSignature = 0x544D4242;  // "BBMT"
inline constexpr std::uint32_t kBbmtRegionBytes = 0x4004;
inline constexpr char16_t kBbmtRegionName[] = u"NAND_FLASH_BBMT";

// An entry of the table that the driver does not use, and why.
struct UnusedTableEntry {
  std::uint32_t index;
  BbmtEntry entry;
  std::string reason;
};

// The shared map as the operating system builds it: the identity overlaid with the table's live
// entries, later entries winning; nothing when the table has no magic. A live entry is used only
// when it can be right: its block and its replacement on the chip, the replacement a spare block
// (the top blocks / 50 blocks; block 0 holds the table) that no earlier entry records, and its
// replacement written (not 0xFFFF, which an append cut short leaves). unused, when given, receives
// the others.
std::optional<std::vector<std::uint8_t>> BuildBadBlockMap(std::span<const std::uint8_t> table, std::uint32_t blocks,
                                                          std::vector<UnusedTableEntry>* unused = nullptr);

// The controller registers the operating system's driver leaves for a chip.
struct NandControllerSetup {
  std::uint32_t timing0;
  std::uint32_t timing1;
  std::uint32_t control;
};
std::optional<NandControllerSetup> NandControllerSetupOf(std::uint16_t chip_id);

// The stand-in at power-on, before the launcher starts: sets the controller up through the bus and
// builds and signs the shared map from the table the model holds in block 0. A table without the
// magic leaves the map unsigned (and a line in the module's reports), as the real driver cannot
// build it either.
void RunNandOsDriver(ModuleCore& core, SharedMemory& shared_memory, const NandController& nand);

}  // namespace sim
