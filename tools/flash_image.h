// A module's flash image to and from a plain file in the layouts other tools use, through the flash
// models' own stores (the model's back door: no commands, no faults, no counts):
//
// - NAND: the raw page-plus-spare layout that Linux's MTD tools write and read (nanddump without
//   --omitoob, nandwrite --noecc --oob): every page of a device, in order, each followed at once by
//   its spare (out-of-band) bytes. Devices follow one another in the image's order (chip select 0
//   first; on a pair, the low-lane device 0 before device 1), or one device alone is chosen.
// - NOR: the flash as the processor reads it at physical 0, plain binary (the two devices' 16-bit
//   halves interleaved in each 32-bit bus word, device 0 in the low half).
//
// A load replaces the whole of the chosen flash or device; the file must have exactly its size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace tools {

struct FlashDevicePick {
  std::uint32_t chip_select = 0;
  std::uint32_t device = 0;  // the lane of a pair
};

struct FlashImageResult {
  std::uint64_t bytes = 0;  // written to the file, or taken from it
  std::uint64_t pages = 0;  // NAND: pages moved (a load skips blank pages of blank blocks)
};

// Throws FlashInspectError when the module, the pick or the file cannot be used (nothing written
// then), std::runtime_error when the host fails on the way.
FlashImageResult DumpFlash(const std::filesystem::path& module_folder, const std::filesystem::path& file,
                           std::optional<FlashDevicePick> pick);
FlashImageResult LoadFlash(const std::filesystem::path& module_folder, const std::filesystem::path& file,
                           std::optional<FlashDevicePick> pick);

}  // namespace tools
