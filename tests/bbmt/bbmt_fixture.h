// A NAND module for the bad-block layer's tests: the controller model with its devices, the shared
// map as another process would see it, the table and the flash through the model's back door.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/module.h"
#include "sim/nand_controller.h"
#include "sim/nand_os_driver.h"
#include "tests/support/module_fixture.h"

namespace bbmt_test {

// Any processor but the NOR module's.
inline constexpr std::uint32_t kNandCpuProduct = 5;

inline constexpr std::uint32_t kTesterRegion = 0x13C0000;

// The chips and what the bad-block layer makes of them.
struct ChipFacts {
  const char* chip;
  std::uint32_t blocks;
  std::uint32_t block_bytes;  // as the driver counts them
  std::uint32_t page_bytes;
  std::uint32_t table_offset;
  std::uint32_t table_length;
  std::uint32_t device_class;
};
inline constexpr ChipFacts kChips[] = {
    {"0x75EC", 2048, 0x8000, 1024, 0x3E00, 512, 1},     {"0x76EC", 4096, 0x8000, 1024, 0x3E00, 512, 1},
    {"0xF1EC", 1024, 0x20000, 2048, 0x1F800, 2048, 1}, {"0xD3EC", 8192, 0x20000, 2048, 0x1F800, 2048, 2},
    {"0xDCAD", 8192, 0x20000, 2048, 0x1F800, 2048, 3},
};
const ChipFacts& Facts(const std::string& chip);

class NandModule {
 public:
  // flash: fields added to {"type": "nand", "chip": chip}.
  explicit NandModule(const std::string& chip, nlohmann::json flash = nlohmann::json::object(),
                      std::optional<std::uint32_t> item12 = std::nullopt);
  ~NandModule();

  sim::Module& module() { return *module_; }
  sim::NandController& nand() { return *nand_; }
  const ChipFacts& facts() const { return facts_; }
  const std::filesystem::path& folder() const { return folder_.path(); }
  std::uint32_t blocks() const { return facts_.blocks; }
  std::uint32_t block_bytes() const { return facts_.block_bytes; }
  std::uint32_t reserved() const { return facts_.blocks / 50; }

  // A fresh launcher process on the same powered module: device state back to its start.
  void RestartProcess() { sim::ResetDeviceState(); }
  // Power off and on again: the image file stays (the description must name one to keep the cells).
  void PowerCycle();
  // The same, with fields of the "flash" object changed for the new power-on.
  void PowerCycle(const nlohmann::json& flash_fields);

  // --- the shared map, as another process sees it (null until someone created it) ---
  std::uint8_t* Region();
  bool Signed();
  std::uint16_t MapEntry(std::uint32_t block);
  void SetMapEntry(std::uint32_t block, std::uint16_t physical);
  // Builds and signs the map as the operating system's driver would, from the table on flash.
  void SignMapFromTable();
  // The entries of every block of the chip.
  std::vector<std::uint16_t> MapSnapshot();
  // A fresh launcher process finding the map unsigned: it builds it again from the table on flash.
  // Fails the test when the initialisation fails.
  void RebuildMap();

  // --- the table on flash ---
  std::vector<std::uint8_t> TableBytes();
  // Every entry up to the end marker, retired ones included.
  std::vector<sim::BbmtEntry> AllEntries();
  // The bytes of a table with these entries (erased after them).
  std::vector<std::uint8_t> MakeTable(const std::vector<sim::BbmtEntry>& entries, bool magic = true) const;
  // Puts a table into block 0 as the factory would (the block erased first).
  void WriteTableBytes(const std::vector<std::uint8_t>& table);
  void WriteTable(const std::vector<sim::BbmtEntry>& entries, bool magic = true) {
    WriteTableBytes(MakeTable(entries, magic));
  }

  // --- the flash at physical offsets, as the driver addresses it ---
  std::vector<std::uint8_t> Physical(std::uint32_t offset, std::uint32_t bytes);
  void ProgramPhysical(std::uint32_t offset, std::span<const std::uint8_t> bytes);
  bool PhysicalBlank(std::uint32_t offset, std::uint32_t bytes);
  // The first 8 spare bytes of the page at a physical offset (of device 0 of the block).
  std::vector<std::uint8_t> SpareBytes(std::uint32_t physical_page);
  void ProgramSpare(std::uint32_t physical_page, std::span<const std::uint8_t> bytes);

  // --- faults and counters by flash block ---
  void FailProgram(std::uint32_t block, std::uint32_t after = 0);
  void FailErase(std::uint32_t block, std::uint32_t after = 0);
  sim::NandBlockCounters Counters(std::uint32_t block);

 private:
  sim::NandView ViewAt(std::uint32_t offset) const;
  void Start();

  testing_support::TempFolder folder_;
  sim::Description description_;
  const ChipFacts& facts_;
  std::unique_ptr<sim::Module> module_;
  sim::NandController* nand_ = nullptr;
  std::uint8_t* region_ = nullptr;
};

// A pattern of bytes, different for every seed.
std::vector<std::uint8_t> Pattern(std::size_t bytes, std::uint32_t seed);
std::vector<std::uint32_t> Words(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> Bytes(const std::vector<std::uint32_t>& words);

}  // namespace bbmt_test
