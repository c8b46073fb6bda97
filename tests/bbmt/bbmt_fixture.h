// A NAND module for the bad-block layer's tests: the model, the shared map as another process sees
// it, and the table and cells through the model's back door.
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
#include "sim/hw/nand_controller.h"
#include "sim/os/nand_os_driver.h"
#include "tests/support/module_fixture.h"

namespace bbmt_test {

inline constexpr std::uint32_t kNandCpuProduct = 5;  // any processor but the NOR module's
inline constexpr std::uint32_t kTesterRegion = 0x13C0000;

struct ChipFacts {
  const char* chip;
  std::uint32_t blocks, block_bytes, page_bytes, table_offset, table_length, device_class;
};
inline constexpr ChipFacts kChips[] = {
    {"0x75EC", 2048, 0x8000, 1024, 0x3E00, 512, 1},     {"0x76EC", 4096, 0x8000, 1024, 0x3E00, 512, 1},
    {"0xF1EC", 1024, 0x20000, 2048, 0x1F800, 2048, 1}, {"0xD3EC", 8192, 0x20000, 2048, 0x1F800, 2048, 2},
    {"0xDCAD", 8192, 0x20000, 2048, 0x1F800, 2048, 3},
};

class NandModule {
 public:
  // flash: fields added to {"type": "nand", "chip": chip}.
  explicit NandModule(const std::string& chip, nlohmann::json flash = nlohmann::json::object(),
                      std::optional<std::uint32_t> item12 = std::nullopt);

  sim::Module& module() { return *module_; }
  sim::NandController& nand() { return *nand_; }
  const ChipFacts& facts() const { return facts_; }
  std::uint32_t blocks() const { return facts_.blocks; }
  std::uint32_t block_bytes() const { return facts_.block_bytes; }
  std::uint32_t reserved() const { return facts_.blocks / 50; }

  // A fresh launcher process on the same powered module.
  void RestartProcess() { sim::ResetDeviceState(); }
  // Off and on again, with fields of "flash" changed; only an image file keeps the cells.
  void PowerCycle(const nlohmann::json& flash_fields = nlohmann::json::object());

  // --- the shared map (null until someone created it) ---
  std::uint8_t* Region();
  bool Signed();
  std::uint16_t MapEntry(std::uint32_t block);
  void SetMapEntry(std::uint32_t block, std::uint16_t physical);
  std::vector<std::uint16_t> MapSnapshot();
  // A fresh process that finds the map unsigned builds it again from the table on flash.
  void RebuildMap();

  // --- the table on flash ---
  std::vector<std::uint8_t> TableBytes();
  std::vector<sim::BbmtEntry> AllEntries();  // up to the end marker, retired ones included
  std::vector<std::uint8_t> MakeTable(const std::vector<sim::BbmtEntry>& entries, bool magic = true) const;
  void WriteTableBytes(const std::vector<std::uint8_t>& table);  // into an erased block 0
  void WriteTable(const std::vector<sim::BbmtEntry>& entries, bool magic = true) {
    WriteTableBytes(MakeTable(entries, magic));
  }

  // --- cells at physical offsets as the driver addresses them; faults and counters by block ---
  std::vector<std::uint8_t> Physical(std::uint32_t offset, std::uint32_t bytes);
  void ProgramPhysical(std::uint32_t offset, std::span<const std::uint8_t> bytes);
  std::vector<std::uint8_t> SpareBytes(std::uint32_t page_offset);  // first 8, device 0 (large page)
  void ProgramSpare(std::uint32_t page_offset, std::span<const std::uint8_t> bytes);
  void FailProgram(std::uint32_t block, std::uint32_t after = 0);
  void FailErase(std::uint32_t block, std::uint32_t after = 0);
  sim::NandBlockCounters Counters(std::uint32_t block);

 private:
  void Start();

  testing_support::TempFolder folder_;
  sim::Description description_;
  nlohmann::json flash_;  // the description's "flash" object
  const ChipFacts& facts_;
  std::unique_ptr<sim::Module> module_;
  sim::NandController* nand_ = nullptr;
  std::uint8_t* region_ = nullptr;
};

std::vector<std::uint8_t> Pattern(std::size_t bytes, std::uint32_t seed);
std::vector<std::uint32_t> Words(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> Bytes(const std::vector<std::uint32_t>& words);
// Through FlashOps; the buffer starts filled with 0xA5.
std::vector<std::uint8_t> ReadLogical(std::uint32_t offset, std::uint32_t bytes, bool* ok = nullptr);
bool WriteLogical(std::uint32_t offset, const std::vector<std::uint8_t>& data);

}  // namespace bbmt_test
