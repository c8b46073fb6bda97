// The tester hand-off end to end: a module powers up with the tester flag set and a bundle of about
// 200 KiB in the tester region; RunTesterHandOff brings the flash library up, writes the three files,
// erases the region and starts the program. Host time is the simulator's; modelled_ms is what the
// module would take.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_module.h"
#include "sim/services.h"
#include "tester/tester.h"

namespace bench {
namespace {

// Each run powers a module up and packs the bundle off the clock, which costs more than the run.
constexpr benchmark::IterationCount kHandOffRuns = 30;

void BM_TesterHandOff(benchmark::State& state, const char* nand_chip) {
  Bench bench(nand_chip, kTesterFlag);
  const std::vector<std::uint8_t> bundle = TesterBundle();
  std::uint64_t modelled_ns = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim::Module& module = bench.PowerOn();
    const bool packed = PackRegion(state, bundle);
    ModelledTime modelled(module);
    state.ResumeTiming();
    if (!packed) break;

    RunTesterHandOff();

    modelled_ns += modelled.ElapsedNs();
    state.PauseTiming();
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
