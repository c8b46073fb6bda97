// The typed configuration of the flash models, as the module description's "flash" object gives it
// (read and checked in one place: sim/core/config_reader.h). The models in sim/hw take these
// structs and know nothing of the description's JSON. Both flash models share one fault vocabulary:
// program_fail and erase_fail name blocks whose programs or erases fail, each from the start or
// after a number of operations that still succeed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "sim/core/flash_parts.h"
#include "sim/core/power_cut.h"

namespace sim {

// --- the NOR pair (sim/hw/nor_flash.h) ---

// A block of the flash (named by any bus offset in it) whose operations of one kind fail, on both
// devices.
struct NorBlockFailure {
  std::uint32_t offset = 0;
  std::uint32_t after = 0;  // operations of that kind on the block that still succeed first
};

struct NorFlashFaults {
  std::vector<NorBlockFailure> program_fail;
  std::vector<NorBlockFailure> erase_fail;
  std::vector<std::uint32_t> stays_locked;  // blocks (any offset in them) whose lock bit cannot be cleared
  bool never_ready = false;                 // no program or erase ever completes
  int manufacturer = -1;                    // >= 0: the manufacturer code both devices report
  // The power goes during the at-th operation of op's kind since power-on: a program (word or
  // buffer), an erase, either, or any bus write (one that starts no operation takes effect, and the
  // power goes right after it).
  struct PowerCutAt {
    enum class Op { kProgram, kErase, kAny, kWrite };
    std::uint32_t at = 1;
    Op op = Op::kAny;
    Tear tear;  // how the cut operation leaves the word, line or block (sim/core/power_cut.h)
  };
  std::optional<PowerCutAt> power_cut;
};

struct NorFlashConfig {
  std::uint16_t device_code = NorLayout::kDefaultDeviceCode;
  std::uint8_t size_code = NorLayout::kDefaultSizeCode;  // each device holds 2^size_code bytes
  std::filesystem::path image;                           // empty: the contents live in memory only
  NorFlashFaults faults;
};

// --- NAND behind the processor's controller (sim/hw/nand_controller.h) ---

enum class NandOperation { kProgram, kErase, kAny };

struct NandFaultPlan {
  struct BlockFailure {
    NandBlockRef block;
    std::uint32_t after = 0;  // operations of that kind on the block that still succeed first
  };
  struct BitFlips {
    NandBlockRef block;
    std::optional<std::uint32_t> page;  // absent: every page of the block
    std::uint32_t bits_per_256 = 1;
    std::uint64_t seed = 0;
  };
  struct PowerCutAt {
    std::uint32_t at = 1;  // the at-th program or erase (of op's kind) since power-on is cut
    NandOperation op = NandOperation::kAny;
    Tear tear;  // how the cut operation leaves the page or block (sim/core/power_cut.h)
  };
  std::vector<BlockFailure> program_fail;
  std::vector<BlockFailure> erase_fail;
  std::vector<BitFlips> bit_flips;
  std::uint32_t status_never = 0;               // status bits that never appear
  std::optional<std::vector<std::uint8_t>> id;  // READ ID delivers these bytes instead
  std::optional<PowerCutAt> power_cut;
};

struct NandConfig {
  const NandChipType* chip = nullptr;
  std::filesystem::path image;  // empty: cells in memory, lost with the module
  std::vector<NandBlockRef> factory_bad_blocks;
  NandFaultPlan faults;
  std::uint32_t busy_status_reads = 2;   // status reads that still miss a posted event
  std::uint32_t clock_mhz = 0;           // controller clock for the modelled time; 0: the chip's module
  std::size_t command_log_limit = 4096;  // newest commands kept in CommandLog()
};

// --- the boot flash of a module ---

struct FlashConfig {
  enum class Type { kNone, kNor, kNand };
  Type type = Type::kNone;
  NorFlashConfig nor;    // type kNor
  NandConfig nand;       // type kNand
  bool os_driver = false;  // type kNand: the operating system's flash driver runs before the launcher

  // The image file of the flash's type; empty: cells in memory, or no flash.
  const std::filesystem::path& image() const {
    static const std::filesystem::path kNoImage;
    return type == Type::kNand ? nand.image : type == Type::kNor ? nor.image : kNoImage;
  }
};

}  // namespace sim
