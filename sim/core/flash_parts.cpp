#include "sim/core/flash_parts.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace sim {

namespace {

// ID bytes after maker and device code: an organisation byte, and for large pages a geometry byte
// (bits 1..0 page size 1 = 2 KiB, bit 2 spare 1 = 16 bytes per 512, bits 5..4 block size 1 = 128 KiB,
// bit 6 bus width 0 = 8 bits) and a plane byte.
constexpr NandChipType kChips[] = {
    {0x75EC, "0x75EC", 512, 16, 32, 2048, 1, 2, 2, {0xEC, 0x75}, 2, 12000, 200000, 2000000, 2, 5, 104},
    {0x76EC, "0x76EC", 512, 16, 32, 4096, 1, 2, 3, {0xEC, 0x76, 0xA5, 0x3C}, 4, 12000, 200000, 2000000, 2, 5, 104},
    {0xD3EC, "0xD3EC", 2048, 64, 64, 8192, 1, 1, 3, {0xEC, 0xD3, 0x00, 0x15, 0x40}, 5, 20000, 200000, 1500000, 4, 0,
     104},
    {0xF1EC, "0xF1EC", 2048, 64, 64, 1024, 1, 1, 2, {0xEC, 0xF1, 0x00, 0x15, 0x40}, 5, 25000, 250000, 2000000, 4, 0,
     156},
    {0xDCAD, "0xDCAD", 2048, 64, 64, 4096, 2, 1, 3, {0xAD, 0xDC, 0x00, 0x15}, 4, 25000, 250000, 2000000, 4, 0, 104},
};

constexpr std::array<std::uint16_t, 4> kParameterBlockCodes = {0x881A, 0x881B, 0x891C, 0x8922};

constexpr std::uint32_t kBusBlockBytes = NorLayout::kDeviceBlockBytes * NorLayout::kDevices;
constexpr std::uint32_t kBusParameterBlockBytes = NorLayout::kDeviceParameterBlockBytes * NorLayout::kDevices;
constexpr std::uint32_t kBusParameterAreaBytes = NorLayout::kDeviceParameterAreaBytes * NorLayout::kDevices;
constexpr std::size_t kParameterBlocks = kBusParameterAreaBytes / kBusParameterBlockBytes;

}  // namespace

const NandChipType* FindNandChip(std::uint16_t id) {
  for (const NandChipType& chip : kChips) {
    if (chip.id == id) return &chip;
  }
  return nullptr;
}

std::span<const NandChipType> NandChipTypes() { return kChips; }

std::vector<NandBlockRef> NandFlashBlockRefs(const NandChipType& chip, std::uint32_t flash_block) {
  if (flash_block >= chip.flash_blocks()) {
    throw std::out_of_range("NAND: block " + std::to_string(flash_block) + " beyond the flash's " +
                            std::to_string(chip.flash_blocks()) + " blocks");
  }
  std::vector<NandBlockRef> refs;
  for (std::uint32_t lane = 0; lane < chip.lanes; ++lane) {
    refs.push_back({flash_block / chip.blocks, lane, flash_block % chip.blocks});
  }
  return refs;
}

// --- NOR ---

NorLayout::NorLayout(std::uint16_t device_code, std::uint8_t size_code) : parameter_blocks_(HasParameterBlocks(device_code)) {
  if (size_code < kSmallestSizeCode || size_code > kLargestSizeCode) {
    throw std::invalid_argument("NOR flash: size code " + std::to_string(size_code) + " is out of range");
  }
  bus_bytes_ = kDevices << size_code;
}

bool NorLayout::HasParameterBlocks(std::uint16_t device_code) {
  return std::find(kParameterBlockCodes.begin(), kParameterBlockCodes.end(), device_code) != kParameterBlockCodes.end();
}

NorLayout::Block NorLayout::BlockAt(std::uint32_t offset) const {
  std::uint32_t bytes = parameter_blocks_ && offset < kBusParameterAreaBytes ? kBusParameterBlockBytes : kBusBlockBytes;
  return {offset & ~(bytes - 1), bytes};
}

std::size_t NorLayout::BlockIndex(std::uint32_t offset) const {
  if (!parameter_blocks_) return offset / kBusBlockBytes;
  if (offset < kBusParameterAreaBytes) return offset / kBusParameterBlockBytes;
  return kParameterBlocks + (offset - kBusParameterAreaBytes) / kBusBlockBytes;
}

std::size_t NorLayout::BlockCount() const { return BlockIndex(bus_bytes_ - 1) + 1; }

NorLayout::Block NorLayout::BlockNumber(std::size_t index) const {
  if (index >= BlockCount()) throw std::out_of_range("NOR flash: no block " + std::to_string(index));
  if (!parameter_blocks_) return {static_cast<std::uint32_t>(index * kBusBlockBytes), kBusBlockBytes};
  if (index < kParameterBlocks) return {static_cast<std::uint32_t>(index * kBusParameterBlockBytes), kBusParameterBlockBytes};
  return {static_cast<std::uint32_t>(kBusParameterAreaBytes + (index - kParameterBlocks) * kBusBlockBytes), kBusBlockBytes};
}

}  // namespace sim
