// AutoCopy against `cp -r` on the same machine in the same run: a card's AutoCopy tree copied onto the
// root of a simulated module by the launcher's own RunAutoCopy, and the same tree copied by `cp -r`,
// alternately, each into an empty destination. The benchmark's time is AutoCopy's; the counter
// `vs_cp_r` is cp's time over AutoCopy's (AutoCopy's throughput as a share of cp's: 1.0 is parity,
// above 1 faster). The first run of each case checks the copy byte for byte against cp's.
//
// Cases: a nested tree of 2,000 small files (1 to 8 KiB, 20 x 10 folders of 10 files); 20 files of
// 20 MiB; and flat folders of 1,000, 10,000 and 100,000 files of 1 KiB, whose `us_per_file` shows how
// the cost grows with a folder's size.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_module.h"
#include "launcher/launcher.h"
#include "sim/module.h"
#include "sim/services.h"

extern char** environ;

namespace bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct TreeShape {
  int top_folders = 0;     // 0: the files lie in AutoCopy itself
  int sub_folders = 0;     // per top folder
  int files_per_folder = 0;
  std::size_t min_bytes = 0;
  std::size_t max_bytes = 0;
};

// Writes the files of one folder: sizes drawn evenly from [min, max], contents from Pattern.
std::uint64_t WriteFiles(const fs::path& folder, const TreeShape& shape, std::uint32_t& seed) {
  fs::create_directories(folder);
  std::uint64_t bytes = 0;
  for (int i = 0; i < shape.files_per_folder; ++i) {
    seed = seed * 1103515245u + 12345u;
    std::size_t size = shape.min_bytes + (shape.max_bytes == shape.min_bytes ? 0 : seed % (shape.max_bytes - shape.min_bytes + 1));
    std::vector<std::uint8_t> data = Pattern(size, seed);
    std::ofstream(folder / ("file" + std::to_string(i) + ".dat"), std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    bytes += size;
  }
  return bytes;
}

std::uint64_t MakeTree(const fs::path& top, const TreeShape& shape) {
  std::uint32_t seed = 1;
  if (shape.top_folders == 0) return WriteFiles(top, shape, seed);
  std::uint64_t bytes = 0;
  for (int t = 0; t < shape.top_folders; ++t) {
    for (int s = 0; s < shape.sub_folders; ++s) {
      bytes += WriteFiles(top / ("dir" + std::to_string(t)) / ("sub" + std::to_string(s)), shape, seed);
    }
  }
  return bytes;
}

// Empties a folder, keeping the folder itself.
void Empty(const fs::path& folder) {
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) fs::remove_all(e.path());
}

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Empty when the two trees hold the same names and bytes, else the first difference.
std::string CompareTrees(const fs::path& a, const fs::path& b) {
  std::size_t count_a = 0, count_b = 0;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(a)) {
    ++count_a;
    fs::path other = b / fs::relative(e.path(), a);
    if (e.is_directory() ? !fs::is_directory(other) : Contents(e.path()) != Contents(other)) {
      return other.string() + " differs or is missing";
    }
  }
  for (auto it = fs::recursive_directory_iterator(b); it != fs::recursive_directory_iterator(); ++it) ++count_b;
  return count_a == count_b ? "" : "the copies hold different numbers of entries";
}

double RunCp(const fs::path& from, const fs::path& to) {
  std::string a = from.string(), b = to.string();
  char cp[] = "cp", r[] = "-r";
  char* argv[] = {cp, r, a.data(), b.data(), nullptr};
  auto start = Clock::now();
  pid_t child = 0;
  if (::posix_spawnp(&child, "cp", nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  ::waitpid(child, &status, 0);
  auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

void BM_AutoCopyVsCp(benchmark::State& state, TreeShape shape) {
  ScratchFolder scratch;
  const fs::path module_folder = scratch.path() / "module";
  const fs::path card = module_folder / "volumes" / "Card";
  const fs::path cp_destination = scratch.path() / "cp";
  const std::uint64_t bytes = MakeTree(card / "AutoCopy", shape);
  const std::int64_t files = static_cast<std::int64_t>(shape.files_per_folder) *
                             (shape.top_folders == 0 ? 1 : shape.top_folders * shape.sub_folders);
  sim::Description description;
  description.folder = module_folder;
  description.root = module_folder / "root";
  description.volumes = module_folder / "volumes";
  description.cpu_main_id = sim::Description::MainIdForProduct(kNorCpuProduct);
  description.volumes_at_start.push_back({"Card", card});
  fs::create_directories(description.root);

  double cp_seconds = 0, autocopy_seconds = 0;
  bool checked = false;
  for (auto _ : state) {
    // Off the clock: empty destinations and a module just powered up (nothing of the card cached).
    fs::remove_all(cp_destination);
    Empty(description.root);
    auto module = std::make_unique<sim::Module>(description);
    // Alternate who goes first, so neither always meets the other's dirty pages.
    const bool cp_first = state.iterations() % 2 == 1;
    double cp = cp_first ? RunCp(card / "AutoCopy", cp_destination) : 0;
    auto start = Clock::now();
    RunAutoCopy(u"\\Card");
    double autocopy = std::chrono::duration<double>(Clock::now() - start).count();
    if (!cp_first) cp = RunCp(card / "AutoCopy", cp_destination);
    if (cp < 0) {
      state.SkipWithError("cp -r failed");
      break;
    }
    state.SetIterationTime(autocopy);
    cp_seconds += cp;
    autocopy_seconds += autocopy;
    if (!checked) {
      checked = true;
      std::string difference = CompareTrees(cp_destination, description.root);
      if (difference.empty() && module->os().activity.files_copied != static_cast<std::uint32_t>(files)) {
        difference = "AutoCopy copied " + std::to_string(module->os().activity.files_copied) + " files";
      }
      if (!difference.empty()) {
        state.SkipWithError(("AutoCopy's copy is not cp's: " + difference).c_str());
        break;
      }
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
  state.SetItemsProcessed(files * state.iterations());
  state.counters["cp_r_ms"] = cp_seconds / n * 1e3;
  state.counters["vs_cp_r"] = autocopy_seconds > 0 ? cp_seconds / autocopy_seconds : 0;
  state.counters["us_per_file"] = autocopy_seconds / n / static_cast<double>(files) * 1e6;
  state.counters["cp_us_per_file"] = cp_seconds / n / static_cast<double>(files) * 1e6;
  Empty(description.root);
}

constexpr std::size_t kKiB = 1024, kMiB = 1024 * 1024;

BENCHMARK_CAPTURE(BM_AutoCopyVsCp, small_tree_2000, TreeShape{20, 10, 10, 1 * kKiB, 8 * kKiB})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK_CAPTURE(BM_AutoCopyVsCp, large_files_20x20MiB, TreeShape{0, 0, 20, 20 * kMiB, 20 * kMiB})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK_CAPTURE(BM_AutoCopyVsCp, flat_1000, TreeShape{0, 0, 1000, kKiB, kKiB})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK_CAPTURE(BM_AutoCopyVsCp, flat_10000, TreeShape{0, 0, 10000, kKiB, kKiB})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK_CAPTURE(BM_AutoCopyVsCp, flat_100000, TreeShape{0, 0, 100000, kKiB, kKiB})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
}  // namespace bench
