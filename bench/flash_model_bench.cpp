// How fast the simulator's flash models move data on the host, each against memcpy of the same bytes
// timed in the same iteration (the ratio `x_memcpy`: the model's throughput as a fraction of
// memcpy's). Both are timed in the thread's CPU time, so other work on a busy machine counts for
// neither:
//   BM_ModelNorRead          FlashOps.Read of the 256 KiB tester region on the NOR module
//   BM_ModelNandRead/<ecc>   FlashOps.Read of the region on the 0xF1EC module, the controller's ECC
//                            off or on
//   BM_ModelEcc/<check>      the controller's code alone over 256 KiB of page data: computing it for
//                            every 256 bytes (as a program does) or checking it (as a read does)
// Host throughput only: the modelled time of the same reads is in BM_FlashRead.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

#include "bench/bench_module.h"
#include "flash/flash_ops.h"
#include "flash/nand/nand.h"
#include "sim/hw/nand_ecc.h"

namespace bench {
namespace {

// The calling thread's CPU time.
struct ThreadClock {
  using duration = std::chrono::nanoseconds;
  static duration now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
  }
};

// Times `work` and a memcpy of the same number of bytes once per iteration, and reports both
// throughputs and their ratio.
class AgainstMemcpy {
 public:
  explicit AgainstMemcpy(std::size_t bytes) : from_(Pattern(bytes, 21)), to_(bytes) {}

  // One iteration: false when the work failed.
  bool Run(const std::function<bool()>& work) {
    auto start = ThreadClock::now();
    bool ok = work();
    auto middle = ThreadClock::now();
    std::memcpy(to_.data(), from_.data(), to_.size());
    benchmark::DoNotOptimize(to_.data());
    benchmark::ClobberMemory();
    auto end = ThreadClock::now();
    work_ += middle - start;
    memcpy_ += end - middle;
    return ok;
  }

  void Report(benchmark::State& state) const {
    const double bytes = static_cast<double>(to_.size()) * static_cast<double>(state.iterations());
    const double work_s = std::chrono::duration<double>(work_).count();
    const double memcpy_s = std::chrono::duration<double>(memcpy_).count();
    if (work_s <= 0 || memcpy_s <= 0) return;
    state.counters["MB/s"] = bytes / 1e6 / work_s;
    state.counters["memcpy_MB/s"] = bytes / 1e6 / memcpy_s;
    state.counters["x_memcpy"] = memcpy_s / work_s;
  }

 private:
  std::vector<std::uint8_t> from_;
  std::vector<std::uint8_t> to_;
  ThreadClock::duration work_{};
  ThreadClock::duration memcpy_{};
};

// Reads the tester region through the flash library, against memcpy of the same bytes.
void ReadRegionAgainstMemcpy(benchmark::State& state) {
  std::vector<u32> buffer(kTesterRegionBytes / 4);
  AgainstMemcpy measure(kTesterRegionBytes);
  for (auto _ : state) {
    if (!measure.Run([&] { return FlashOps.Read(buffer.data(), kTesterRegion, kTesterRegionBytes) != 0; })) {
      state.SkipWithError("the read failed");
      return;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  measure.Report(state);
}

void BM_ModelNorRead(benchmark::State& state) {
  Bench bench(nullptr);
  bench.PowerOn();
  if (!PackRegion(state, Pattern(kTesterRegionBytes, 7)) || !StartFlash(state, bench)) return;
  ReadRegionAgainstMemcpy(state);
}
BENCHMARK(BM_ModelNorRead);

void BM_ModelNandRead(benchmark::State& state, bool ecc) {
  Bench bench("0xF1EC");
  bench.PowerOn();
  if (!PackRegion(state, Pattern(kTesterRegionBytes, 7)) || !StartFlash(state, bench)) return;
  NandSetEcc(ecc ? 1 : 0);
  ReadRegionAgainstMemcpy(state);
}
BENCHMARK_CAPTURE(BM_ModelNandRead, ecc_off, false);
BENCHMARK_CAPTURE(BM_ModelNandRead, ecc_on, true);

void BM_ModelEcc(benchmark::State& state, bool check) {
  std::vector<std::uint8_t> data = Pattern(kTesterRegionBytes, 13);
  constexpr std::uint32_t kChunks = kTesterRegionBytes / sim::nand_ecc::kChunkBytes;
  std::vector<std::uint8_t> codes(kChunks * sim::nand_ecc::kCodeBytes);
  auto chunk = [&](std::uint32_t i) {
    return std::span<std::uint8_t, sim::nand_ecc::kChunkBytes>(data.data() + i * sim::nand_ecc::kChunkBytes,
                                                                sim::nand_ecc::kChunkBytes);
  };
  auto code = [&](std::uint32_t i) {
    return std::span<std::uint8_t, sim::nand_ecc::kCodeBytes>(codes.data() + i * sim::nand_ecc::kCodeBytes,
                                                              sim::nand_ecc::kCodeBytes);
  };
  for (std::uint32_t i = 0; i < kChunks; ++i) {
    auto stored = sim::nand_ecc::Encode(chunk(i));
    std::copy(stored.begin(), stored.end(), code(i).begin());
  }
  AgainstMemcpy measure(kTesterRegionBytes);
  for (auto _ : state) {
    bool clean = measure.Run([&] {
      bool all = true;
      for (std::uint32_t i = 0; i < kChunks; ++i) {
        if (check) {
          all = all && sim::nand_ecc::Check(chunk(i), code(i)) == sim::nand_ecc::Outcome::kClean;
        } else {
          auto stored = sim::nand_ecc::Encode(chunk(i));
          benchmark::DoNotOptimize(stored);
        }
      }
      return all;
    });
    if (!clean) {
      state.SkipWithError("a chunk did not check clean");
      return;
    }
  }
  measure.Report(state);
}
BENCHMARK_CAPTURE(BM_ModelEcc, compute, false);
BENCHMARK_CAPTURE(BM_ModelEcc, check, true);

}  // namespace
}  // namespace bench
