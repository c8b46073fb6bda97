// The cost of a bad block met while writing: a block of the tester region holds some pages of data
// when the program of its next page fails with the bad-block status. The library takes a spare from
// the pool, erases it, copies the pages that hold data over, stores the table and programs the page
// on the spare. Timed and modelled: that one page write, against the same write on a sound block.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

#include "bench/bench_module.h"
#include "flash/flash_ops.h"
#include "sim/os/nand_os_driver.h"

namespace bench {
namespace {

// Each run powers a module up off the clock, which costs more than the write.
constexpr benchmark::IterationCount kRuns = 30;

enum class Fill { kSound, kHalfBlock, kFullBlock };

// The map entry of a block in the shared map, as another process reads it.
std::uint32_t MapEntry(sim::Module& module, std::uint32_t block) {
  auto region = module.shared_memory().Find(sim::kBbmtRegionName);
  const std::uint8_t* map = region ? module.shared_memory().MapView(*region, 0, false) : nullptr;
  if (!map) return block;
  return map[4 + 2 * block] | std::uint32_t{map[5 + 2 * block]} << 8;
}

void BM_WriteMeetingBadBlock(benchmark::State& state, const char* chip, Fill fill) {
  Bench bench(chip);
  std::uint64_t modelled_ns = 0;
  std::uint32_t migrated_pages = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim::Module& module = bench.PowerOn();
    if (!StartFlash(state, bench)) {
      state.ResumeTiming();
      break;
    }
    const u32 page = FlashOps.GetPageSize();
    const u32 block_bytes = FlashOps.GetBlockSize(kTesterRegion);
    const u32 block = kTesterRegion / block_bytes;
    const u32 pages_per_block = block_bytes / page;
    // The pages that hold data when the next program fails.
    const u32 held = fill == Fill::kFullBlock ? pages_per_block - 1 : pages_per_block / 2;
    const std::vector<std::uint32_t> data = Words(Pattern((held + 1) * page, 21));
    bool ok = FlashOps.Write(data.data(), kTesterRegion, held * page) != 0;
    if (fill != Fill::kSound) {
      sim::NandController& nand = *module.FindDevice<sim::NandController>();
      for (const sim::NandBlockRef& ref : nand.FlashBlockRefs(block)) nand.FailProgram(ref);
    }
    ModelledTime modelled(module);
    state.ResumeTiming();

    ok = ok && FlashOps.Write(data.data() + held * page / 4, kTesterRegion + held * page, page) != 0;

    modelled_ns += modelled.ElapsedNs();
    state.PauseTiming();
    // The data reads back through the map, and the block was replaced exactly when it failed.
    std::vector<std::uint32_t> back(data.size());
    ok = ok && FlashOps.Read(back.data(), kTesterRegion, (held + 1) * page) != 0 && back == data &&
         (MapEntry(module, block) != block) == (fill != Fill::kSound);
    migrated_pages = fill == Fill::kSound ? 0 : held;
    state.ResumeTiming();
    if (!ok) {
      state.SkipWithError("the write did not end with the data in place");
      break;
    }
  }
  ReportModelled(state, modelled_ns, 0);
  state.counters["migrated_pages"] = migrated_pages;
}

#define REPLACEMENT_TARGETS(name, chip)                                                     \
  BENCHMARK_CAPTURE(BM_WriteMeetingBadBlock, name##_sound_block, chip, Fill::kSound)        \
      ->Unit(benchmark::kMillisecond)                                                       \
      ->Iterations(kRuns);                                                                  \
  BENCHMARK_CAPTURE(BM_WriteMeetingBadBlock, name##_bad_mid_block, chip, Fill::kHalfBlock)  \
      ->Unit(benchmark::kMillisecond)                                                       \
      ->Iterations(kRuns);                                                                  \
  BENCHMARK_CAPTURE(BM_WriteMeetingBadBlock, name##_bad_full_block, chip, Fill::kFullBlock) \
      ->Unit(benchmark::kMillisecond)                                                       \
      ->Iterations(kRuns)

REPLACEMENT_TARGETS(F1EC, "0xF1EC");
REPLACEMENT_TARGETS(D3EC, "0xD3EC");
REPLACEMENT_TARGETS(75EC, "0x75EC");

}  // namespace
}  // namespace bench
