// The one reader of module.json. Every field of the description, the "flash" object with its faults
// included, is read and checked here, before power-on, into the typed description
// (sim/core/description.h) and the models' configurations (sim/core/flash_config.h); no model reads
// JSON. Every mistake is a DescriptionError naming the field, in one form:
//
//   module description: field 'flash.faults.program_fail[0].after': out of range for a 32-bit unsigned number
//
// Numbers may be JSON integers or strings ("0x13C0000", "17"). Any field a part of the description
// does not know is refused with the fields it does know.
//
// The "flash" object:
//   {"type": "nor", "image": "flash.img", "device_code": "0x8922", "size_code": 25, "faults": {...}}
//   {"type": "nand", "chip": "0xF1EC", "image": "nand.img", "factory_bad_blocks": [blocks],
//    "busy_status_reads": 2, "clock_mhz": 156, "command_log_limit": n, "os_driver": true, "faults": {...}}
//   {"type": "none"} or no "flash": no flash.
// "image" counts from the module folder; absent, the cells live in memory (NOR and NAND alike).
//
// Faults, in one vocabulary for both flash models:
//   "program_fail", "erase_fail": failures, each a block or an object naming one with an optional
//     "after": n (the first n operations of that kind on the block still succeed):
//       57                                   a block of the flash, counted from 0 at the bottom
//       {"block": 57, "after": 3}            the same, failing from its fourth operation
//       {"offset": "0x13C0000", "after": 0}  the block that holds a flash offset
//     NAND blocks count as the driver counts them (on a pair both devices' block, on two chip selects
//     chip select 1 from the per-select block count on); {"chip_select": c, "device": d, "block": b}
//     names one device's block (device absent: both of a pair). NOR blocks count the parameter blocks
//     at the bottom one by one.
//   NOR only: "stays_locked" (flash offsets), "never_ready" (true), "manufacturer" (a 16-bit code),
//     "power_cut" {"at": n, "op": "program"|"erase"|"any"|"write", "tear": "bits"|"half", "seed": s};
//     the older "program_fails" and "erase_fails" (flash offsets) mean what "program_fail" and
//     "erase_fail" with offsets mean.
//   NAND only: "bit_flips" [{block..., "page": p, "bits_per_256": k, "seed": s}], "status_never"
//     (status bits), "id" ("0x12AB" or [bytes]),
//     "power_cut" {"at": n, "op": "program"|"erase"|"any", "tear": "bits"|"half", "seed": s}.
#pragma once

#include <filesystem>
#include <string_view>

#include <nlohmann/json.hpp>

#include "sim/core/description.h"

namespace sim {

// The JSON of a description's text (comments allowed). Refused, with a DescriptionError naming the
// line or the field: text that is not JSON, a number no field could hold (1e400), and a field given
// twice in one object (the library would keep the last without a word).
nlohmann::json ReadDescriptionText(std::string_view text);

// The whole description; relative paths count from folder.
Description ParseDescription(const nlohmann::json& json, const std::filesystem::path& folder);

// The "flash" object alone (null: no flash); a relative image counts from folder.
FlashConfig ReadFlashConfig(const nlohmann::json& flash, const std::filesystem::path& folder);

// Reads a number given either as a JSON integer or as a string ("0x00800000", "17").
std::uint32_t JsonU32(const nlohmann::json& value, const std::string& field);

}  // namespace sim
