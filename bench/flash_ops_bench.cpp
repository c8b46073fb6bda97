// The flash library's raw operations on the tester region, through FlashOps as every client reaches
// them: reading its 256 KiB, erasing it, and writing 256 KiB into it. One module per benchmark.
#include <benchmark/benchmark.h>

#include "bench/bench_module.h"
#include "flash/flash_ops.h"

namespace bench {
namespace {

#define FLASH_TARGETS(bm)                                                    \
  BENCHMARK_CAPTURE(bm, nor, nullptr)->Unit(benchmark::kMillisecond);        \
  BENCHMARK_CAPTURE(bm, nand_F1EC, "0xF1EC")->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(bm, nand_D3EC, "0xD3EC")->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(bm, nand_75EC, "0x75EC")->Unit(benchmark::kMillisecond)

// Programs a word at the start of every block of the region, so that no block reads blank (a blank
// NOR block is not erased at all).
bool DirtyRegion(benchmark::State& state) {
  for (u32 at = kTesterRegion; at < kTesterRegion + kTesterRegionBytes; at += FlashOps.GetBlockSize(at)) {
    u32 word = 0x5A5A5A5Au;
    if (!FlashOps.Write(&word, at, 4)) {
      state.SkipWithError("writing into the region failed");
      return false;
    }
  }
  return true;
}

void BM_FlashRead(benchmark::State& state, const char* nand_chip) {
  Bench bench(nand_chip);
  sim::Module& module = bench.PowerOn();
  if (!PackRegion(state, Pattern(kTesterRegionBytes, 7)) || !StartFlash(state, bench)) return;
  std::vector<u32> buffer(kTesterRegionBytes / 4);
  ModelledTime modelled(module);
  for (auto _ : state) {
    if (!FlashOps.Read(buffer.data(), kTesterRegion, kTesterRegionBytes)) {
      state.SkipWithError("the read failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  ReportModelled(state, modelled.ElapsedNs(), kTesterRegionBytes);
}
FLASH_TARGETS(BM_FlashRead);

void BM_FlashEraseRegion(benchmark::State& state, const char* nand_chip) {
  Bench bench(nand_chip);
  sim::Module& module = bench.PowerOn();
  if (!StartFlash(state, bench)) return;
  ModelledTime modelled(module);
  std::uint64_t modelled_ns = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const bool dirty = DirtyRegion(state);
    modelled.Restart();
    state.ResumeTiming();
    if (!dirty) break;
    if (!FlashOps.Erase(kTesterRegion, kTesterRegionBytes)) {
      state.SkipWithError("the erase failed");
      break;
    }
    modelled_ns += modelled.ElapsedNs();
  }
  ReportModelled(state, modelled_ns, kTesterRegionBytes);
}
FLASH_TARGETS(BM_FlashEraseRegion);

void BM_FlashWrite(benchmark::State& state, const char* nand_chip) {
  Bench bench(nand_chip);
  sim::Module& module = bench.PowerOn();
  if (!StartFlash(state, bench)) return;
  const std::vector<std::uint32_t> data = Words(Pattern(kTesterRegionBytes, 11));
  ModelledTime modelled(module);
  std::uint64_t modelled_ns = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const bool erased = FlashOps.Erase(kTesterRegion, kTesterRegionBytes) != 0;
    modelled.Restart();
    state.ResumeTiming();
    if (!erased) {
      state.SkipWithError("erasing the region failed");
      break;
    }
    if (!FlashOps.Write(data.data(), kTesterRegion, kTesterRegionBytes)) {
      state.SkipWithError("the write failed");
      break;
    }
    modelled_ns += modelled.ElapsedNs();
  }
  ReportModelled(state, modelled_ns, kTesterRegionBytes);
}
FLASH_TARGETS(BM_FlashWrite);

}  // namespace
}  // namespace bench
