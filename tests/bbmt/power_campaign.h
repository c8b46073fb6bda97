// The power-loss campaign: for each scenario, the power is cut at every device operation of the
// operation under test (a program or an erase of the flash; for the tester hand-off also each file
// write), with bit-level tearing from a seed. The module then starts again from the same flash image
// (the launcher building the shared map itself, or the operating system's driver stand-in building
// it first), and the invariants are checked:
//   - the flash library starts, or fails with its message (never a crash);
//   - the shared map is what the table on flash gives; no physical block serves two logical blocks;
//   - data written before the cut reads back unchanged; the interrupted write's pages read old, new,
//     or fail (never a third value that reads as good);
//   - the tester bundle is served complete at the next start, or the next start says it is not
//     there; never a program started from a partly written or partly erased bundle.
// Each cut point ends in one outcome; the tallies make the table of docs/RELIABILITY.md.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace power_test {

enum class Outcome {
  kClean,            // nothing to mend: the state is the old or the new one
  kRecovered,        // the next start put things right (a table restored, a bundle served again)
  kLostInterrupted,  // only the interrupted call's data is gone (or its bundle, said so at the next start)
  kLostEarlier,      // data written before the cut changed, or a program started from a partial bundle
  kInconsistentMap,  // the shared map differs from the table, or two blocks share a physical block
  kCannotStart,      // the flash library refuses to start
  kCount
};

inline constexpr std::array<const char*, static_cast<std::size_t>(Outcome::kCount)> kOutcomeNames = {
    "clean", "recovered at next start", "lost only the interrupted call's data", "lost earlier data",
    "inconsistent map", "could not start"};

struct Tally {
  std::string scenario;
  std::uint32_t cut_points = 0;  // device operations (and file writes) of the operation under test
  std::uint32_t runs = 0;        // cuts made: cut points x tear seeds, or the bounded sample
  std::array<std::uint32_t, static_cast<std::size_t>(Outcome::kCount)> outcomes{};
  std::uint32_t retry_refused = 0;  // cuts after which the interrupted call, run again, failed
  std::vector<std::string> bad;  // the first few cuts that lost earlier data, broke the map or crashed
  bool Sound() const {
    return outcomes[static_cast<std::size_t>(Outcome::kLostEarlier)] == 0 &&
           outcomes[static_cast<std::size_t>(Outcome::kInconsistentMap)] == 0 &&
           outcomes[static_cast<std::size_t>(Outcome::kCannotStart)] == 0 && bad.empty();
  }
};

struct SweepPlan {
  std::uint32_t stride = 1;  // every stride-th cut point
  std::uint32_t seeds = 1;   // tear seeds per cut point
};

// The scenarios, by name.
std::vector<std::string> ScenarioNames();
// Runs the scenario's operation once without a cut: its cut points.
std::uint32_t CountCutPoints(const std::string& scenario);
Tally Sweep(const std::string& scenario, const SweepPlan& plan);

// The table of outcomes as docs/RELIABILITY.md holds it (between its two markers).
std::string OutcomeTable(const std::vector<Tally>& tallies);

// --- bit flips and blocks that fail again: what reaches the caller ---

enum class FlipOutcome {
  kIntact,       // the caller got what was written (a flipped bit corrected, or none mattered)
  kFailedSaid,   // a read, a write or the start failed, and said so; nothing wrong was handed out
  kWrongSaid,    // wrong data reached the caller, with a line on the debug output naming the cause
  kWrongSilent,  // wrong data reached the caller, and nothing said so
  kCount
};

inline constexpr std::array<const char*, static_cast<std::size_t>(FlipOutcome::kCount)> kFlipOutcomeNames = {
    "intact", "failed and said so", "wrong data, said", "wrong data, silent"};

struct FlipTally {
  std::string scenario;
  std::uint32_t runs = 0;  // seeds (for fails-again: writes, and the two starts after them)
  std::array<std::uint32_t, static_cast<std::size_t>(FlipOutcome::kCount)> outcomes{};
  std::vector<std::string> examples;  // the first few runs that handed out wrong data
};

// op/chip/bits-per-256: flips-table (the launcher builds the map), flips-table-os (the operating
// system's driver does), flips-bundle (the hand-off), flips-data (reads), flips-migration (a
// replacement copies the flipped pages); fails-again/chip: each replacement's spare fails in turn.
std::vector<std::string> FlipScenarioNames();
FlipTally FlipSweep(const std::string& scenario, std::uint32_t seeds);
std::string FlipTable(const std::vector<FlipTally>& tallies);

}  // namespace power_test
