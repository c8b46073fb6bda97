// Simulated modules for the benchmarks: a NOR module and NAND modules of the chips the launcher
// drives, each powered up from a scratch folder, and the two clocks a module has: the host's (what
// the benchmark library times) and the module's modelled time.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/module.h"
#include "sim/hw/nand_controller.h"
#include "sim/hw/nor_flash.h"

namespace bench {

inline constexpr std::uint32_t kTesterRegion = 0x13C0000;
inline constexpr std::uint32_t kTesterRegionBytes = 0x40000;
inline constexpr std::uint32_t kTesterFlag = 0x00800000;  // bit 23 of boot-configuration item 12
inline constexpr std::uint32_t kNorCpuProduct = 17;
inline constexpr std::uint32_t kNandCpuProduct = 5;  // any processor but the NOR module's

// The NAND chips measured: the 2 KiB-page chips of 128 MiB and 1 GiB and the pair of 512-byte-page
// devices on the 16-bit bus.
inline constexpr const char* kNandChips[] = {"0xF1EC", "0xD3EC", "0x75EC"};

// A folder under the system's temporary directory, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// What the module would have spent: the module clock (bus access times, busy durations, sleeps,
// tick queries) plus the NAND controller's modelled device time. The two never count the same
// thing: the controller charges its bus cycles and array times to its own counter only.
class ModelledTime {
 public:
  explicit ModelledTime(sim::Module& module);
  // Modelled nanoseconds since construction or the last Restart.
  std::uint64_t ElapsedNs() const;
  void Restart();

 private:
  std::uint64_t Now() const;

  sim::Module& module_;
  sim::NandController* nand_;
  std::uint64_t start_ns_ = 0;
};

// Powers modules up in one scratch folder; the previous module goes first (one module at a time).
// The flash lives in memory and the root folder starts empty, so every power-on is a factory-fresh
// module.
class Bench {
 public:
  // nand_chip: the NAND chip's ID ("0xF1EC"), or null for the NOR module. On NAND the operating
  // system's driver stand-in signs the shared map at power-on, as on a module that boots its own
  // operating system. item12: the boot configuration's item 12, if any.
  explicit Bench(const char* nand_chip, std::optional<std::uint32_t> item12 = std::nullopt);

  sim::Module& PowerOn();
  sim::Module& module() { return *module_; }
  const std::filesystem::path& root() const { return root_; }
  // FLASH_TYPE_NOR or FLASH_TYPE_NAND.
  std::uint32_t flash_type() const { return flash_type_; }

 private:
  ScratchFolder folder_;
  std::filesystem::path root_;
  std::uint32_t flash_type_;
  sim::Description description_;
  std::unique_ptr<sim::Module> module_;
};

// Bytes that differ from erased flash and from each other, the same for every seed.
std::vector<std::uint8_t> Pattern(std::size_t bytes, std::uint32_t seed);
std::vector<std::uint32_t> Words(const std::vector<std::uint8_t>& bytes);

// The bundle the hand-off benchmarks serve: a program, its settings and a data file, about 200 KiB,
// encoded as the region holds it (whole words).
std::vector<std::uint8_t> TesterBundle();
std::uint32_t TesterBundlePayloadBytes();

// FlashInit; fails the benchmark's run (false) when the library does not come up with the bench's
// flash type.
bool StartFlash(benchmark::State& state, const Bench& bench);

// Erases the tester region and writes bytes at its start through FlashOps, as a packing tool does,
// then starts a fresh launcher process (device state as at process start; the flash and the shared
// map stay).
bool PackRegion(benchmark::State& state, const std::vector<std::uint8_t>& bytes);

// Sets the counters every flash benchmark reports: modelled time per iteration and, when bytes
// moved, the modelled and host throughput.
void ReportModelled(benchmark::State& state, std::uint64_t modelled_ns, std::uint64_t bytes_per_iteration);

}  // namespace bench
