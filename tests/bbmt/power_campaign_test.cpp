// The power-loss and bit-flip campaigns in CI: a bounded sweep of every scenario (a sample of its cut
// points, one tear each) must show no cut that loses earlier data, breaks the map, keeps the flash
// library from starting, or starts a program from a partial bundle; a few seeds of every bit-flip
// scenario must hand no wrong data to a caller where the code can catch it. docs/RELIABILITY.md must
// be current: every scenario listed with its current number of cut points, and the bounded sample's
// own table exactly as this run makes it.
//
// The full sweep (every cut point, several tears each, every chip) is opt-in and regenerates the
// document: bash scripts/reliability.sh [SCENARIO-PREFIX...].
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/bbmt/power_campaign.h"

namespace power_test {
namespace {

std::string Document(const std::string& path = std::string(KALVORI_SOURCE_DIR) + "/docs/RELIABILITY.md") {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Begin(const std::string& section) { return "<!-- " + section + ": begin -->"; }
std::string End(const std::string& section) { return "<!-- " + section + ": end -->"; }

std::string Section(const std::string& doc, const std::string& section) {
  std::size_t begin = doc.find(Begin(section)), end = doc.find(End(section));
  if (begin == std::string::npos || end == std::string::npos) return {};
  begin += Begin(section).size() + 1;
  return begin <= end ? doc.substr(begin, end - begin) : std::string();
}

std::string WithSection(const std::string& doc, const std::string& section, const std::string& body) {
  std::size_t begin = doc.find(Begin(section)), end = doc.find(End(section));
  if (begin == std::string::npos || end == std::string::npos) {
    throw std::runtime_error("docs/RELIABILITY.md lacks the markers of " + section);
  }
  return doc.substr(0, begin + Begin(section).size()) + "\n" + body + doc.substr(end);
}

// Rows of a table by scenario; the header lines under "".
std::map<std::string, std::string> Rows(const std::string& table) {
  std::map<std::string, std::string> rows;
  std::istringstream in(table);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("| `", 0) != 0) continue;
    rows[line.substr(3, line.find('`', 3) - 3)] = line;
  }
  return rows;
}

// A table whose rows for the scenarios just swept are replaced, the others kept, in the given order.
std::string Merged(const std::string& fresh, const std::string& old, const std::vector<std::string>& order) {
  std::map<std::string, std::string> rows = Rows(old), now = Rows(fresh);
  for (const auto& [name, row] : now) rows[name] = row;
  std::string out = fresh.substr(0, fresh.find("| `"));
  for (const std::string& name : order) {
    if (rows.count(name)) out += rows[name] + "\n";
  }
  return out;
}

std::string Report(const std::string& scenario, const std::vector<std::string>& bad) {
  std::string r = scenario + ":";
  for (const std::string& b : bad) r += "\n  " + b;
  return r;
}

// About a dozen cuts per scenario; the large chips cost most per start, so CI sweeps them at the
// hand-off only. Bit flips: a few seeds each.
constexpr std::uint32_t kCutsPerScenario = 12;
constexpr std::uint32_t kSampleFlipSeeds = 3;
constexpr std::uint32_t kFullFlipSeeds = 24;

bool InSample(const std::string& name) {
  const bool large = name.find("0xD3EC") != std::string::npos || name.find("0xDCAD") != std::string::npos ||
                     name.find("0x76EC") != std::string::npos;
  return !large || name.rfind("handoff", 0) == 0;
}

bool FlipInSample(const std::string& name) { return name.find("0xD3EC") == std::string::npos; }

SweepPlan SamplePlan(std::uint32_t points) {
  SweepPlan plan;
  plan.stride = std::max<std::uint32_t>(1, points / kCutsPerScenario);
  return plan;
}

// What a flip scenario may never do: hand out wrong data the code could have caught. The table's
// page has no code (it is reprogrammed in place), and three flipped bits in 256 bytes can pass for
// one that the code then "corrects": those rows are measured, not required.
bool FlipMustHold(const std::string& name) {
  return name.rfind("flips-table", 0) != 0 && name.find("/3-per-256") == std::string::npos;
}

std::string Sample(std::vector<Tally>* tallies, std::vector<FlipTally>* flips) {
  for (const std::string& name : ScenarioNames()) {
    if (InSample(name)) tallies->push_back(Sweep(name, SamplePlan(CountCutPoints(name))));
  }
  for (const std::string& name : FlipScenarioNames()) {
    if (FlipInSample(name)) flips->push_back(FlipSweep(name, kSampleFlipSeeds));
  }
  return OutcomeTable(*tallies) + "\n" + FlipTable(*flips);
}

// Under the emulator (the arm32 preset) every start costs about ten times as much: the same
// scenarios are swept thinner (two cuts each, one seed per flip scenario), and the sample's table,
// which the dev and asan builds compare whole, is not made.
bool Emulated() { return std::strlen(KALVORI_EMULATOR) != 0; }

TEST(PowerCampaign, AThinSweepUnderTheEmulatorLosesNothing) {
  if (!Emulated()) GTEST_SKIP() << "the dev and asan builds run the bounded sweep whole";
  for (const std::string& name : ScenarioNames()) {
    if (!InSample(name)) continue;
    SweepPlan plan;
    plan.stride = std::max<std::uint32_t>(1, CountCutPoints(name) / 2);
    Tally t = Sweep(name, plan);
    EXPECT_TRUE(t.Sound()) << Report(t.scenario, t.bad);
  }
  for (const std::string& name : FlipScenarioNames()) {
    if (!FlipInSample(name) || !FlipMustHold(name)) continue;
    FlipTally f = FlipSweep(name, 1);
    EXPECT_EQ(f.outcomes[static_cast<std::size_t>(FlipOutcome::kWrongSilent)], 0u) << Report(f.scenario, f.examples);
  }
}

TEST(PowerCampaign, ABoundedSweepOfEveryScenarioLosesNothingAndTheDocumentIsCurrent) {
  if (Emulated()) GTEST_SKIP() << "under the emulator: PowerCampaign.AThinSweepUnderTheEmulatorLosesNothing";
  const std::string doc = Document();
  std::vector<Tally> tallies;
  std::vector<FlipTally> flips;
  const std::string sample = Sample(&tallies, &flips);
  for (const Tally& t : tallies) {
    EXPECT_TRUE(t.Sound()) << Report(t.scenario, t.bad);
    EXPECT_NE(Section(doc, "outcomes").find("| `" + t.scenario + "` | " + std::to_string(t.cut_points) + " |"),
              std::string::npos)
        << "docs/RELIABILITY.md has no current row for " << t.scenario << " (" << t.cut_points
        << " cut points): run bash scripts/reliability.sh";
  }
  for (const FlipTally& f : flips) {
    if (!FlipMustHold(f.scenario)) continue;
    EXPECT_EQ(f.outcomes[static_cast<std::size_t>(FlipOutcome::kWrongSilent)] +
                  f.outcomes[static_cast<std::size_t>(FlipOutcome::kWrongSaid)],
              0u)
        << Report(f.scenario, f.examples);
  }
  EXPECT_EQ(Section(doc, "sample"), sample) << "docs/RELIABILITY.md's CI sample is not current: run bash "
                                               "scripts/reliability.sh";
}

// The full sweep: every cut point with several tears, every flip scenario with more seeds; writes the
// document when asked. KALVORI_CAMPAIGN_ONLY (space-separated prefixes) sweeps those scenarios only
// and keeps the other rows as they stand.
TEST(PowerCampaign, FullSweep) {
  if (!std::getenv("KALVORI_CAMPAIGN_FULL")) GTEST_SKIP() << "set KALVORI_CAMPAIGN_FULL=1 (bash scripts/reliability.sh)";
  std::vector<std::string> only;
  if (const char* list = std::getenv("KALVORI_CAMPAIGN_ONLY")) {
    std::istringstream in(list);
    for (std::string prefix; in >> prefix;) only.push_back(prefix);
  }
  auto wanted = [&](const std::string& name) {
    if (only.empty()) return true;
    return std::any_of(only.begin(), only.end(), [&](const std::string& p) { return name.rfind(p, 0) == 0; });
  };

  std::vector<Tally> tallies;
  for (const std::string& name : ScenarioNames()) {
    if (!wanted(name)) continue;
    const std::uint32_t points = CountCutPoints(name);
    // KALVORI_CAMPAIGN_SAMPLE: the CI sample's cuts only, for rows the full sweep has not reached.
    SweepPlan plan = SamplePlan(points);
    if (!std::getenv("KALVORI_CAMPAIGN_SAMPLE")) {
      plan = SweepPlan{};
      plan.seeds = points < 16 ? 16 : points < 200 ? 2 : 1;
    }
    tallies.push_back(Sweep(name, plan));
    EXPECT_TRUE(tallies.back().Sound()) << Report(name, tallies.back().bad);
    std::fprintf(stderr, "%s", OutcomeTable({tallies.back()}).c_str());
  }
  std::vector<FlipTally> flips;
  for (const std::string& name : FlipScenarioNames()) {
    if (!wanted(name)) continue;
    flips.push_back(FlipSweep(name, std::getenv("KALVORI_CAMPAIGN_SAMPLE") ? kSampleFlipSeeds : kFullFlipSeeds));
    for (const std::string& e : flips.back().examples) std::fprintf(stderr, "%s: %s\n", name.c_str(), e.c_str());
    std::fprintf(stderr, "%s", FlipTable({flips.back()}).c_str());
  }
  if (const char* out = std::getenv("KALVORI_CAMPAIGN_WRITE")) {
    // A sweep in pieces writes one document in turn.
    std::string doc = std::filesystem::exists(out) ? Document(out) : Document();
    doc = WithSection(doc, "outcomes", Merged(OutcomeTable(tallies), Section(doc, "outcomes"), ScenarioNames()));
    doc = WithSection(doc, "flips", Merged(FlipTable(flips), Section(doc, "flips"), FlipScenarioNames()));
    std::vector<Tally> sample_tallies;
    std::vector<FlipTally> sample_flips;
    doc = WithSection(doc, "sample", Sample(&sample_tallies, &sample_flips));
    std::ofstream(out) << doc;
  }
}

}  // namespace
}  // namespace power_test
