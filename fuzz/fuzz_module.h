// Simulated modules for the fuzz targets. Powering a module up for every input costs more than the
// input's own run (a NAND module makes its chip with the factory's table, some 10 ms), so a target
// keeps one module for all its inputs and begins each input on it afresh: a new launcher process
// (sim::Module::StartLauncherProcess), no named shared memory (as after a power cycle), nothing
// remembered of what earlier inputs printed or started, and every flash block that an earlier input
// programmed or erased back as it was at power-on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/core/description.h"
#include "sim/hw/nand_controller.h"
#include "sim/module.h"
#include "tester/tester.h"

namespace fuzz {

// A module folder of its own (root/ and volumes/) under the system's temporary folder, removed at
// the end of the process.
class ModuleFolder {
 public:
  explicit ModuleFolder(const char* name);
  ~ModuleFolder();
  const std::filesystem::path& path() const { return path_; }
  // A description of a module in the folder with the processor's product number and nothing else.
  sim::Description Describe(std::uint32_t cpu_product) const;

 private:
  std::filesystem::path path_;
};

// The most the launcher's local heap gives in one allocation on a fuzz module: the tester region's
// length, all that a bundle inside the region ever asks for. A record claiming a longer payload ends
// as on a module short of memory ("ERROR Reading Data from Flash"), where an unlimited heap had the
// hand-off read and write tens of MiB of erased flash for each such input, at a few inputs a second,
// and reach no code the shorter payloads do not.
inline constexpr std::uint32_t kFuzzHeapLimit = TESTER_REGION_LENGTH;

class ReusedModule {
 public:
  // A module in a folder of its own: the processor's product number, the "flash" object of a
  // module description, boot configuration item 12 (absent: none). Its local heap refuses
  // allocations above kFuzzHeapLimit.
  ReusedModule(const char* name, std::uint32_t cpu_product, const nlohmann::json& flash,
               std::optional<std::uint32_t> boot_item12, std::vector<sim::ShareDescription> shares = {});

  // Before each input.
  void Begin();
  // Removes everything below the device's root (what an earlier input wrote there).
  void ClearRoot();

  sim::Module& module() { return *module_; }
  const ModuleFolder& folder() const { return folder_; }

 private:
  // The NAND cells at power-on, and the counts by which a block's change shows.
  struct NandBlock {
    sim::NandBlockRef ref;
    std::vector<std::vector<std::uint8_t>> pages;  // empty: erased at power-on
    sim::NandBlockCounters counters;
  };
  void TakeNandBaseline();
  void RestoreNand();

  ModuleFolder folder_;
  std::unique_ptr<sim::Module> module_;
  sim::NandController* nand_ = nullptr;
  std::vector<NandBlock> nand_blocks_;
};

// Puts bytes at the start of the tester region, the rest of the region erased, as an image made
// elsewhere would hold them (beyond the region's length they are left out).
void PlaceInTesterRegion(ReusedModule& reused, std::span<const std::uint8_t> bytes);

// Writes a host file, making its folders.
void WriteHostFile(const std::filesystem::path& path, std::string_view bytes);

inline constexpr std::uint32_t kNorCpuProduct = 17;
inline constexpr std::uint32_t kNandCpuProduct = 5;  // any processor but the NOR module's
// The NOR pair the NOR targets run on: 2 x 16 MiB, the least that holds the tester region.
inline const nlohmann::json kFuzzNor = {{"type", "nor"}, {"size_code", 24}};
// The NAND chip the NAND targets run on: 128 MiB, 2 KiB pages; a short command log.
inline const nlohmann::json kFuzzNand = {{"type", "nand"}, {"chip", "0xF1EC"}, {"command_log_limit", 16}};

}  // namespace fuzz
