// The flash parts the simulator models, as their datasheets give them: the NAND chips (ID,
// geometry, timing) and the layout of the NOR pair (size codes, blocks). The module description
// names a part and is checked against this catalogue before power-on (sim/core/config_reader.h);
// the models in sim/hw take their geometry from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

// --- NAND ---

// A device type, per device (one die on one chip select and one byte lane).
struct NandChipType {
  std::uint16_t id;  // as the probe reads it: maker code in bits 7..0, device code in bits 15..8
  const char* name;  // "0xF1EC"
  std::uint32_t page_bytes;
  std::uint32_t spare_bytes;
  std::uint32_t pages_per_block;
  std::uint32_t blocks;         // per device
  std::uint32_t chip_selects;   // devices on chip select 0 and 1
  std::uint32_t lanes;          // 2: a pair of 8-bit devices side by side on the 16-bit bus
  std::uint32_t row_cycles;     // address cycles of the page number
  std::uint8_t id_bytes[5];     // maker code, device code, further ID bytes
  std::uint32_t id_count;
  std::uint32_t read_ns;        // array times: page read (tR), page program, block erase
  std::uint32_t program_ns;
  std::uint32_t erase_ns;
  std::uint32_t partial_programs;  // programs of one page between erases that the device is rated for
  std::uint32_t bad_mark_offset;   // spare byte that marks a factory bad block (pages 0 and 1)
  std::uint32_t clock_mhz;         // the controller clock of the modules that carry this chip

  bool large_page() const { return page_bytes == 2048; }
  std::uint32_t column_cycles() const { return large_page() ? 2 : 1; }
  std::uint32_t raw_page_bytes() const { return page_bytes + spare_bytes; }
  std::uint32_t rows() const { return blocks * pages_per_block; }
  std::uint32_t devices() const { return chip_selects * lanes; }
  // Blocks of the flash as the driver counts them: both chip selects, a pair's block counted once.
  std::uint32_t flash_blocks() const { return blocks * chip_selects; }
  // Bytes of such a block as the driver addresses it (both devices of a pair).
  std::uint32_t flash_block_bytes() const { return page_bytes * lanes * pages_per_block; }
};

// A block of one device: chip select, byte lane (device 0 / 1 of a pair), block number of the device.
struct NandBlockRef {
  std::uint32_t chip_select = 0;
  std::uint32_t device = 0;
  std::uint32_t block = 0;
};

// The device blocks behind a block of the flash as the driver counts them; std::out_of_range beyond
// the flash.
std::vector<NandBlockRef> NandFlashBlockRefs(const NandChipType& chip, std::uint32_t flash_block);

// The five modelled chips; nullptr for any other ID.
const NandChipType* FindNandChip(std::uint16_t id);
std::span<const NandChipType> NandChipTypes();

// --- NOR: two 16-bit devices side by side on the 32-bit bus (sim/hw/nor_flash.h) ---

// One device holds 2^size_code bytes in 128 KiB blocks; the parts with the device codes 0x881A,
// 0x881B, 0x891C and 0x8922 have 32 KiB parameter blocks in their lowest 128 KiB instead. On the bus
// every block is twice as large, the halves of its words in the two devices.
class NorLayout {
 public:
  static constexpr std::uint16_t kDefaultDeviceCode = 0x8922;
  static constexpr std::uint8_t kDefaultSizeCode = 25;  // 64 MiB on the bus
  static constexpr std::uint8_t kSmallestSizeCode = 17;  // one 128 KiB block
  static constexpr std::uint8_t kLargestSizeCode = 27;   // 256 MiB on the bus
  static constexpr std::uint32_t kDevices = 2;            // bus bytes per device byte
  static constexpr std::uint32_t kDeviceBlockBytes = 0x20000;
  static constexpr std::uint32_t kDeviceParameterBlockBytes = 0x8000;
  static constexpr std::uint32_t kDeviceParameterAreaBytes = 0x20000;

  struct Block {
    std::uint32_t offset;  // bus byte offset
    std::uint32_t bytes;
  };

  // std::invalid_argument for a size code outside kSmallestSizeCode..kLargestSizeCode.
  NorLayout(std::uint16_t device_code, std::uint8_t size_code);

  static bool HasParameterBlocks(std::uint16_t device_code);

  bool parameter_blocks() const { return parameter_blocks_; }
  std::uint32_t device_bytes() const { return bus_bytes_ / kDevices; }
  std::uint32_t bus_bytes() const { return bus_bytes_; }
  // The block that holds a bus offset (below bus_bytes()).
  Block BlockAt(std::uint32_t offset) const;
  // Blocks counted from 0 at the bottom of the flash.
  std::size_t BlockIndex(std::uint32_t offset) const;
  std::size_t BlockCount() const;
  Block BlockNumber(std::size_t index) const;

 private:
  bool parameter_blocks_;
  std::uint32_t bus_bytes_;
};

}  // namespace sim
