// The NAND driver's page transfers, one page per call, with the controller's ECC on and off: what a
// page costs on the module's bus and array (modelled) and in the simulator (host). Spare transfer
// stays off; pages sit in the tester region's blocks (no block there is remapped on a fresh module).
#include <benchmark/benchmark.h>

#include "bench/bench_module.h"
#include "flash/flash_ops.h"
#include "flash/nand/nand.h"

namespace bench {
namespace {

#define PAGE_TARGETS(bm)                                \
  BENCHMARK_CAPTURE(bm, F1EC_ecc_off, "0xF1EC", false); \
  BENCHMARK_CAPTURE(bm, F1EC_ecc_on, "0xF1EC", true);   \
  BENCHMARK_CAPTURE(bm, D3EC_ecc_off, "0xD3EC", false); \
  BENCHMARK_CAPTURE(bm, D3EC_ecc_on, "0xD3EC", true);   \
  BENCHMARK_CAPTURE(bm, 75EC_ecc_off, "0x75EC", false); \
  BENCHMARK_CAPTURE(bm, 75EC_ecc_on, "0x75EC", true)

void BM_NandReadPage(benchmark::State& state, const char* chip, bool ecc) {
  Bench bench(chip);
  sim::Module& module = bench.PowerOn();
  // The region written through the library, so every page carries its ECC.
  if (!PackRegion(state, Pattern(kTesterRegionBytes, 5)) || !StartFlash(state, bench)) return;
  const u32 page = NandPageSize();
  const u32 pages = kTesterRegionBytes / page;
  std::vector<u32> buffer(page / 4);
  NandSetEcc(ecc ? 1 : 0);
  ModelledTime modelled(module);
  u32 next = 0;
  for (auto _ : state) {
    if (NandReadPage(buffer.data(), kTesterRegion + next * page, page) != NAND_OK) {
      state.SkipWithError("the page read failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
    next = (next + 1) % pages;
  }
  ReportModelled(state, modelled.ElapsedNs(), page);
  state.counters["page_bytes"] = page;
}
PAGE_TARGETS(BM_NandReadPage);

void BM_NandProgramPage(benchmark::State& state, const char* chip, bool ecc) {
  Bench bench(chip);
  sim::Module& module = bench.PowerOn();
  if (!StartFlash(state, bench)) return;
  const u32 page = NandPageSize();
  const u32 block = NandBlockSize();
  const u32 pages = kTesterRegionBytes / page;
  const std::vector<std::uint32_t> data = Words(Pattern(page, 9));
  NandSetEcc(ecc ? 1 : 0);
  ModelledTime modelled(module);
  std::uint64_t modelled_ns = 0;
  u32 next = 0;
  for (auto _ : state) {
    if (next == 0) {
      // Every page of the region programmed once: erase its blocks again, off the clock.
      state.PauseTiming();
      bool erased = true;
      for (u32 at = kTesterRegion; at < kTesterRegion + kTesterRegionBytes; at += block) {
        erased = erased && NandEraseBlock(at) == NAND_OK;
      }
      state.ResumeTiming();
      if (!erased) {
        state.SkipWithError("erasing the region's blocks failed");
        break;
      }
    }
    modelled.Restart();
    if (NandProgramPage(data.data(), kTesterRegion + next * page, page) != NAND_OK) {
      state.SkipWithError("the page program failed");
      break;
    }
    modelled_ns += modelled.ElapsedNs();
    next = (next + 1) % pages;
  }
  ReportModelled(state, modelled_ns, page);
  state.counters["page_bytes"] = page;
}
PAGE_TARGETS(BM_NandProgramPage);

}  // namespace
}  // namespace bench
