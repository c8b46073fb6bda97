// Bit flips and blocks that fail again: what reaches the caller. Each run is seeded; the same seeds
// give the same table.
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "flash/flash_ops.h"
#include "sim/services.h"
#include "tester/tester.h"
#include "tests/bbmt/bbmt_fixture.h"
#include "tests/bbmt/power_campaign.h"
#include "tests/support/module_fixture.h"
#include "tools/bundle.h"

namespace power_test {

namespace {

using bbmt_test::NandModule;

constexpr std::uint32_t kTesterFlag = 0x00800000;
constexpr std::size_t kExamples = 3;
const char* const kFlipChips[] = {"0x75EC", "0xF1EC", "0xD3EC"};
constexpr std::uint32_t kFlipBits[] = {1, 2, 3};

std::size_t Index(FlipOutcome o) { return static_cast<std::size_t>(o); }

// Flips seen whenever a page of the flash block is read, from this power-on on.
nlohmann::json FlipsOn(std::uint32_t block, std::uint32_t bits, std::uint32_t seed) {
  return {{"faults", {{"bit_flips", {{{"block", block}, {"bits_per_256", bits}, {"seed", seed}}}}}}};
}

bool Said(const std::string& out, const char* what) { return out.find(what) != std::string::npos; }

// Earlier data in blocks of their own, some of them living in spares the table records.
struct Earlier {
  std::map<std::uint32_t, std::vector<std::uint8_t>> data;
  // Reads each range back: true when all are as written; a failed read sets failed.
  bool Intact(bool* failed) const {
    bool intact = true;
    for (const auto& [offset, bytes] : data) {
      bool ok = false;
      std::vector<std::uint8_t> got = bbmt_test::ReadLogical(offset, static_cast<std::uint32_t>(bytes.size()), &ok);
      if (!ok) {
        *failed = true;
        intact = false;
      } else if (got != bytes) {
        intact = false;
      }
    }
    return intact;
  }
};

// --- the scenarios: one seeded run each, judged by what the caller got ---

// Flips in the table's page (read without error correction: it is reprogrammed in place), at the
// start that builds the map (the launcher's, or the operating system's driver's first).
FlipOutcome TableFlips(const std::string& chip, std::uint32_t bits, std::uint32_t seed, bool os_driver,
                       std::string& why) {
  NandModule m(chip, {{"image", "nand.img"}});
  const std::uint16_t top = static_cast<std::uint16_t>(m.blocks() - 1);
  m.WriteTable({{57, top}, {0, static_cast<std::uint16_t>(top - 1)}, {58, static_cast<std::uint16_t>(top - 2)}});
  if (FlashInit() != 2) throw std::runtime_error("no flash library");
  Earlier earlier;
  const std::uint32_t B = m.block_bytes(), page = m.facts().page_bytes;
  for (std::uint32_t block : {57u, 58u, 59u, 60u}) {
    earlier.data[block * B] = bbmt_test::Pattern(page, block);
    if (!bbmt_test::WriteLogical(block * B, earlier.data[block * B])) throw std::runtime_error("cannot write");
  }
  const std::vector<std::uint16_t> map = m.MapSnapshot();

  nlohmann::json fields = FlipsOn(0, bits, seed);
  fields["os_driver"] = os_driver;
  m.PowerCycle(fields);
  const bool started = FlashInit() == 2;
  const std::string& out = m.module().DebugTranscript();
  const bool said = Said(out, "not used") || Said(out, "no valid");
  if (!started) {
    why = "the library did not start";
    return FlipOutcome::kFailedSaid;
  }
  bool failed = false;
  const bool intact = earlier.Intact(&failed);
  if (m.MapSnapshot() == map && intact) return FlipOutcome::kIntact;
  why = "the map differs from the table as written" + std::string(said ? " (an entry reported unused)" : "");
  return said ? FlipOutcome::kWrongSaid : FlipOutcome::kWrongSilent;
}

// Flips in the tester region's pages (read with error correction): the hand-off at the next start.
FlipOutcome BundleFlips(const std::string& chip, std::uint32_t bits, std::uint32_t seed, std::string& why) {
  NandModule m(chip, {{"image", "nand.img"}}, kTesterFlag);
  if (FlashInit() != 2) throw std::runtime_error("no flash library");
  std::vector<tools::BundleFile> files = {{"\\notes.txt", bbmt_test::Pattern(9000, seed)},
                                          {"\\tester.exe", bbmt_test::Pattern(3001, seed + 1)}};
  std::vector<std::uint8_t> encoded = tools::EncodeBundle(files);
  encoded.resize((encoded.size() + 3) & ~std::size_t{3});
  if (!FlashOps.Erase(bbmt_test::kTesterRegion, TESTER_REGION_LENGTH) ||
      !bbmt_test::WriteLogical(bbmt_test::kTesterRegion, encoded)) {
    throw std::runtime_error("cannot pack the bundle");
  }
  m.PowerCycle(FlipsOn(m.MapEntry(bbmt_test::kTesterRegion / m.block_bytes()), bits, seed));
  RunTesterHandOff();
  const std::string& out = m.module().DebugTranscript();
  bool wrong = false;
  for (const tools::BundleFile& f : files) {
    std::filesystem::path on_disk = m.module().description().root / f.name.substr(1);
    if (!std::filesystem::exists(on_disk)) continue;
    std::string got = testing_support::ReadFile(on_disk);
    if (!got.empty() && got != std::string(f.payload.begin(), f.payload.end())) wrong = true;
  }
  const bool launched = !m.module().os().processes.launches().empty();
  if (wrong) {
    why = std::string("a file written with wrong bytes") + (launched ? ", and the program started" : "");
    return FlipOutcome::kWrongSilent;
  }
  if (launched) return FlipOutcome::kIntact;
  if (Said(out, "ERROR Reading")) return FlipOutcome::kFailedSaid;
  why = "neither served nor said: " + out;
  return FlipOutcome::kWrongSilent;
}

// Flips in a data block: read back through the library; or the block then fails a program, and its
// pages are migrated into a spare before they are read.
FlipOutcome DataFlips(const std::string& chip, std::uint32_t bits, std::uint32_t seed, bool migrate,
                      std::string& why) {
  NandModule m(chip, {{"image", "nand.img"}});
  if (FlashInit() != 2) throw std::runtime_error("no flash library");
  const std::uint32_t B = m.block_bytes(), page = m.facts().page_bytes, block = 40;
  Earlier earlier;
  earlier.data[block * B] = bbmt_test::Pattern(4 * page, seed);
  if (!bbmt_test::WriteLogical(block * B, earlier.data[block * B])) throw std::runtime_error("cannot write");
  m.PowerCycle(FlipsOn(block, bits, seed));
  if (FlashInit() != 2) throw std::runtime_error("no flash library");
  if (migrate) {
    m.FailProgram(block);
    const std::vector<std::uint8_t> more = bbmt_test::Pattern(page, seed + 7);
    if (!bbmt_test::WriteLogical(block * B + 5 * page, more)) {
      bool failed = false;
      if (earlier.Intact(&failed) || failed) return FlipOutcome::kFailedSaid;
      why = "the write failed and the earlier pages read wrong";
      return FlipOutcome::kWrongSilent;
    }
    earlier.data[block * B + 5 * page] = more;
  }
  bool failed = false;
  if (earlier.Intact(&failed)) return FlipOutcome::kIntact;
  if (failed) {
    // Each page on its own: one that reads succeeds only with the right bytes.
    for (std::uint32_t at = 0; at < 4 * page; at += page) {
      bool ok = false;
      std::vector<std::uint8_t> got = bbmt_test::ReadLogical(block * B + at, page, &ok);
      const std::vector<std::uint8_t>& want = earlier.data[block * B];
      if (ok && !std::equal(got.begin(), got.end(), want.begin() + at)) {
        why = "page " + std::to_string(at / page) + " reads wrong";
        return FlipOutcome::kWrongSilent;
      }
    }
    return FlipOutcome::kFailedSaid;
  }
  why = "a read succeeded with wrong bytes";
  return FlipOutcome::kWrongSilent;
}

// A block that fails again after each replacement: every write into it meets a failing block, until
// the spare pool is exhausted. Each write is one run: intact (it succeeded and every earlier write
// reads back), failed and said (it returned 0, nothing else changed), or wrong data.
void Refailing(const std::string& chip, FlipTally& tally) {
  NandModule m(chip, {{"image", "nand.img"}});
  if (FlashInit() != 2) throw std::runtime_error("no flash library");
  const std::uint32_t B = m.block_bytes(), page = m.facts().page_bytes, block = 40;
  const std::uint32_t pages = B / page;
  Earlier earlier;
  earlier.data[(block + 1) * B] = bbmt_test::Pattern(page, 1);
  if (!bbmt_test::WriteLogical((block + 1) * B, earlier.data[(block + 1) * B])) throw std::runtime_error("cannot write");
  bool refused = false;
  for (std::uint32_t i = 0; !refused; ++i) {
    if (i % pages == 0 && i > 0) {
      // The block is full: erase it (a failing erase is replaced too) and start again.
      m.FailErase(m.MapEntry(block));
      if (!FlashOps.Erase(block * B, B)) {
        ++tally.outcomes[Index(FlipOutcome::kFailedSaid)];
        ++tally.runs;
        break;
      }
      for (auto it = earlier.data.begin(); it != earlier.data.end();) {
        it = it->first / B == block ? earlier.data.erase(it) : std::next(it);
      }
    }
    m.FailProgram(m.MapEntry(block));
    const std::uint32_t at = block * B + (i % pages) * page;
    const std::vector<std::uint8_t> data = bbmt_test::Pattern(page, 100 + i);
    const bool ok = bbmt_test::WriteLogical(at, data);
    if (ok) earlier.data[at] = data;
    refused = !ok;
    bool failed = false;
    FlipOutcome o = !earlier.Intact(&failed) ? FlipOutcome::kWrongSilent
                    : ok                     ? FlipOutcome::kIntact
                                             : FlipOutcome::kFailedSaid;
    ++tally.runs;
    ++tally.outcomes[Index(o)];
    if (o == FlipOutcome::kWrongSilent && tally.examples.size() < kExamples) {
      tally.examples.push_back("write " + std::to_string(i) + ": earlier data changed");
    }
  }
  // What the next start finds: the map the table gives, and every write that succeeded.
  for (bool os_driver : {true, false}) {
    m.PowerCycle({{"os_driver", os_driver}});
    bool failed = false;
    if (FlashInit() != 2 || !earlier.Intact(&failed)) {
      ++tally.runs;
      ++tally.outcomes[Index(FlipOutcome::kWrongSilent)];
      if (tally.examples.size() < kExamples) tally.examples.push_back("the next start lost earlier data");
    }
  }
}

struct FlipScenario {
  std::string op, chip;
  std::uint32_t bits = 0;
};

FlipScenario Parse(const std::string& name) {
  // op/chip[/bits]
  FlipScenario s;
  std::istringstream in(name);
  std::getline(in, s.op, '/');
  std::getline(in, s.chip, '/');
  std::string bits;
  if (std::getline(in, bits)) s.bits = static_cast<std::uint32_t>(std::stoul(bits.substr(0, bits.find('-'))));
  return s;
}

}  // namespace

std::vector<std::string> FlipScenarioNames() {
  std::vector<std::string> names;
  for (const char* chip : kFlipChips) {
    for (const char* op : {"flips-table", "flips-table-os", "flips-bundle", "flips-data", "flips-migration"}) {
      for (std::uint32_t bits : kFlipBits) {
        names.push_back(std::string(op) + "/" + chip + "/" + std::to_string(bits) + "-per-256");
      }
    }
    names.push_back(std::string("fails-again/") + chip);
  }
  return names;
}

FlipTally FlipSweep(const std::string& name, std::uint32_t seeds) {
  FlipTally tally;
  tally.scenario = name;
  const FlipScenario s = Parse(name);
  if (s.op == "fails-again") {
    Refailing(s.chip, tally);
    return tally;
  }
  for (std::uint32_t seed = 1; seed <= seeds; ++seed) {
    std::string why;
    FlipOutcome o;
    if (s.op == "flips-table" || s.op == "flips-table-os") {
      o = TableFlips(s.chip, s.bits, seed, s.op == "flips-table-os", why);
    } else if (s.op == "flips-bundle") {
      o = BundleFlips(s.chip, s.bits, seed, why);
    } else if (s.op == "flips-data" || s.op == "flips-migration") {
      o = DataFlips(s.chip, s.bits, seed, s.op == "flips-migration", why);
    } else {
      throw std::invalid_argument("no such scenario: " + name);
    }
    ++tally.runs;
    ++tally.outcomes[Index(o)];
    if (o != FlipOutcome::kIntact && o != FlipOutcome::kFailedSaid && tally.examples.size() < kExamples) {
      tally.examples.push_back("seed " + std::to_string(seed) + ": " + why);
    }
  }
  return tally;
}

std::string FlipTable(const std::vector<FlipTally>& tallies) {
  std::ostringstream t;
  t << "| scenario | runs |";
  for (const char* name : kFlipOutcomeNames) t << ' ' << name << " |";
  t << "\n|---|---:|";
  for (std::size_t i = 0; i < kFlipOutcomeNames.size(); ++i) t << "---:|";
  t << '\n';
  for (const FlipTally& tally : tallies) {
    t << "| `" << tally.scenario << "` | " << tally.runs << " |";
    for (std::uint32_t count : tally.outcomes) t << ' ' << count << " |";
    t << '\n';
  }
  return t.str();
}

}  // namespace power_test
