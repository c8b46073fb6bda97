// The tester hand-off end to end: a module powers up with the tester flag set and a bundle of about
// 200 KiB in the tester region; RunTesterHandOff brings the flash library up, writes the three files,
// erases the region and starts the program. Host time is the simulator's; modelled_ms is what the
// module would take; bound_ms is what the flash chips alone need for the same work (their array
// times for the pages read, programmed and blocks erased, and the page bytes over the flash bus at
// the interface times in force; on NOR the erases and programs and the bundle read a word per
// access), and x_bound the modelled time over it.
#include <benchmark/benchmark.h>

#include <string>

#include "sim/hw/nand_controller.h"
#include "sim/hw/nor_flash.h"

#include "bench/bench_module.h"
#include "sim/services.h"
#include "tester/tester.h"

namespace bench {
namespace {

// The operations the flash chips carried out since power-on, at their own times.
std::uint64_t ChipBoundNs(sim::Module& module) {
  if (auto* nand = module.FindDevice<sim::NandController>()) {
    const sim::NandChipType& chip = nand->chip();
    std::uint64_t ns = 0;
    std::uint64_t pages_read = 0;
    // The devices of a pair work side by side: count one lane.
    for (std::uint32_t cs = 0; cs < chip.chip_selects; ++cs) {
      for (std::uint32_t block = 0; block < chip.blocks; ++block) {
        sim::NandBlockCounters c = nand->Counters({cs, 0, block});
        ns += c.reads * chip.read_ns + c.programs * chip.program_ns + c.erases * chip.erase_ns;
        pages_read += c.reads;
      }
    }
    // A data byte per read cycle: read-enable pulse and hold, in controller clocks (timing register 0).
    const std::uint32_t timing0 = nand->Read32(sim::NandController::kRegTiming0);
    const std::uint64_t cycle_clocks = (timing0 & 7) + 1 + ((timing0 >> 3) & 7) + 1;
    ns += pages_read * chip.page_bytes * cycle_clocks * 1000 / nand->clock_mhz();
    return ns;
  }
  auto* nor = module.FindDevice<sim::NorFlash>();
  if (!nor) return 0;
  std::uint64_t erases = 0;
  for (const sim::NorFlash::Block& b : nor->Blocks()) erases += nor->EraseCount(b.offset);
  return erases * sim::NorFlash::kBlockEraseNs + nor->ProgramOperations() * sim::NorFlash::kBufferProgramNs;
}

// Reading the bundle: on NOR a word per bus access (NAND page reads are counted as operations).
std::uint64_t BundleReadBoundNs(sim::Module& module) {
  if (!module.FindDevice<sim::NorFlash>()) return 0;
  return TesterBundle().size() / 4 * sim::NorFlash::kAccessNs;
}

// Each run powers a module up and packs the bundle off the clock, which costs more than the run.
constexpr benchmark::IterationCount kHandOffRuns = 30;

void BM_TesterHandOff(benchmark::State& state, const char* nand_chip) {
  Bench bench(nand_chip, kTesterFlag);
  const std::vector<std::uint8_t> bundle = TesterBundle();
  std::uint64_t modelled_ns = 0;
  std::uint64_t bound_ns = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim::Module& module = bench.PowerOn();
    const bool packed = PackRegion(state, bundle);
    ModelledTime modelled(module);
    const std::uint64_t packing_ns = ChipBoundNs(module);
    state.ResumeTiming();
    if (!packed) break;

    RunTesterHandOff();

    modelled_ns += modelled.ElapsedNs();
    state.PauseTiming();
    bound_ns += ChipBoundNs(module) - packing_ns + BundleReadBoundNs(module);
    const std::string& out = module.DebugTranscript();
    const bool served = out.find("Launching \\KalvoriTester.exe\r\n") != std::string::npos &&
                        out.find("ERROR") == std::string::npos &&
                        module.os().processes.launches().size() == 1;
    state.ResumeTiming();
    if (!served) {
      state.SkipWithError(("the hand-off did not serve the bundle: " + out).c_str());
      break;
    }
  }
  ReportModelled(state, modelled_ns, TesterBundlePayloadBytes());
  if (bound_ns != 0) {
    state.counters["bound_ms"] = static_cast<double>(bound_ns) / 1e6 / static_cast<double>(state.iterations());
    state.counters["x_bound"] = static_cast<double>(modelled_ns) / static_cast<double>(bound_ns);
  }
}

BENCHMARK_CAPTURE(BM_TesterHandOff, nor, nullptr)->Unit(benchmark::kMillisecond)->Iterations(kHandOffRuns);
BENCHMARK_CAPTURE(BM_TesterHandOff, nand_F1EC, "0xF1EC")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kHandOffRuns);
BENCHMARK_CAPTURE(BM_TesterHandOff, nand_D3EC, "0xD3EC")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kHandOffRuns);
BENCHMARK_CAPTURE(BM_TesterHandOff, nand_75EC, "0x75EC")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kHandOffRuns);

}  // namespace
}  // namespace bench
