#include "bench/bench_module.h"

#include <unistd.h>

#include <atomic>
#include <system_error>

#include "flash/flash_ops.h"
#include "sim/core/config_reader.h"
#include "tools/bundle.h"

namespace bench {

ScratchFolder::ScratchFolder() {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("kalvori-bench-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ModelledTime::ModelledTime(sim::Module& module)
    : module_(module), nand_(module.FindDevice<sim::NandController>()) {
  Restart();
}

std::uint64_t ModelledTime::Now() const {
  return module_.clock().NowNs() + (nand_ ? nand_->DeviceTimeNs() : 0);
}

std::uint64_t ModelledTime::ElapsedNs() const { return Now() - start_ns_; }

void ModelledTime::Restart() { start_ns_ = Now(); }

Bench::Bench(const char* nand_chip, std::optional<std::uint32_t> item12)
    : flash_type_(nand_chip ? FLASH_TYPE_NAND : FLASH_TYPE_NOR) {
  description_.folder = folder_.path();
  description_.root = folder_.path() / "root";
  description_.volumes = folder_.path() / "volumes";
  description_.cpu_main_id = sim::Description::MainIdForProduct(nand_chip ? kNandCpuProduct : kNorCpuProduct);
  description_.boot_item12 = item12;
  // The NOR pair: 64 MiB with 256 KiB blocks above the lowest 256 KiB.
  description_.flash = sim::ReadFlashConfig(
      nand_chip ? nlohmann::json{{"type", "nand"}, {"chip", nand_chip}, {"os_driver", true}}
                : nlohmann::json{{"type", "nor"}, {"device_code", "0x8922"}, {"size_code", 25}},
      folder_.path());
  std::filesystem::create_directories(description_.root);
  std::filesystem::create_directories(description_.volumes);
  root_ = description_.root;
}

sim::Module& Bench::PowerOn() {
  module_.reset();
  // A fresh module's file system: files of an earlier run would be truncated and rewritten, which
  // the host's file system may flush to disk at once.
  std::filesystem::remove_all(description_.root);
  std::filesystem::create_directories(description_.root);
  module_ = std::make_unique<sim::Module>(description_);
  return *module_;
}

std::vector<std::uint8_t> Pattern(std::size_t bytes, std::uint32_t seed) {
  std::vector<std::uint8_t> out(bytes);
  std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (std::uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return out;
}

std::vector<std::uint32_t> Words(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint32_t> words((bytes.size() + 3) / 4, 0xFFFFFFFFu);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::uint32_t shift = 8 * (i % 4);
    words[i / 4] = (words[i / 4] & ~(0xFFu << shift)) | std::uint32_t{bytes[i]} << shift;
  }
  return words;
}

namespace {

std::vector<tools::BundleFile> TesterFiles() {
  return {{"\\KalvoriTester.exe", Pattern(150 * 1024 + 13, 1)},
          {"\\tester.ini", Pattern(1234, 2)},
          {"\\patterns.bin", Pattern(48 * 1024, 3)}};
}

}  // namespace

std::vector<std::uint8_t> TesterBundle() {
  std::vector<std::uint8_t> encoded = tools::EncodeBundle(TesterFiles());
  encoded.resize((encoded.size() + 3) & ~std::size_t{3}, 0);
  return encoded;
}

std::uint32_t TesterBundlePayloadBytes() {
  std::size_t total = 0;
  for (const tools::BundleFile& f : TesterFiles()) total += f.payload.size();
  return static_cast<std::uint32_t>(total);
}

bool StartFlash(benchmark::State& state, const Bench& bench) {
  i32 result = FlashInit();
  if (result != static_cast<i32>(bench.flash_type()) || FlashOps.FlashType != bench.flash_type()) {
    state.SkipWithError("the flash library did not come up");
    return false;
  }
  return true;
}

bool PackRegion(benchmark::State& state, const std::vector<std::uint8_t>& bytes) {
  if (FlashInit() == 0) {
    state.SkipWithError("the flash library did not come up for packing");
    return false;
  }
  std::vector<std::uint32_t> words = Words(bytes);
  if (!FlashOps.Erase(kTesterRegion, kTesterRegionBytes) ||
      !FlashOps.Write(words.data(), kTesterRegion, static_cast<u32>(words.size() * 4))) {
    state.SkipWithError("packing the tester region failed");
    return false;
  }
  sim::ResetDeviceState();
  return true;
}

void ReportModelled(benchmark::State& state, std::uint64_t modelled_ns, std::uint64_t bytes_per_iteration) {
  const double iterations = static_cast<double>(state.iterations());
  state.counters["modelled_ms"] = benchmark::Counter(static_cast<double>(modelled_ns) / 1e6 / iterations);
  if (bytes_per_iteration != 0) {
    const double bytes = static_cast<double>(bytes_per_iteration) * iterations;
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    if (modelled_ns != 0) {
      state.counters["modelled_MB/s"] =
          benchmark::Counter(bytes / 1e6 / (static_cast<double>(modelled_ns) / 1e9));
    }
  }
}

}  // namespace bench
