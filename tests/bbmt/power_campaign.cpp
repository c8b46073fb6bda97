#include "tests/bbmt/power_campaign.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "flash/flash_ops.h"
#include "sim/core/faults.h"
#include "sim/core/power_cut.h"
#include "sim/hw/nor_flash.h"
#include "sim/os/nand_os_driver.h"
#include "sim/services.h"
#include "tester/tester.h"
#include "tests/bbmt/bbmt_fixture.h"
#include "tests/support/module_fixture.h"
#include "tools/bundle.h"

namespace power_test {

namespace {

using bbmt_test::NandModule;

constexpr std::uint32_t kTesterFlag = 0x00800000;
constexpr std::uint32_t kNorCpuProduct = 17;
constexpr std::size_t kBadExamples = 5;
const char* const kChips[] = {"0x75EC", "0x76EC", "0xF1EC", "0xD3EC", "0xDCAD"};

std::size_t Index(Outcome o) { return static_cast<std::size_t>(o); }

// --- the module under test: NAND (the bad-block fixture) or NOR, with its flash in an image ---

class Rig {
 public:
  virtual ~Rig() = default;
  // Off and on again from the same image; a fresh launcher process.
  virtual void PowerCycle(bool os_driver) = 0;
  // Program and erase operations since power-on.
  virtual std::uint64_t Operations() = 0;
  // The n-th program or erase from now on is cut, torn as the seed says.
  virtual void CutAt(std::uint32_t n, std::uint64_t seed) = 0;
  virtual sim::Module& module() = 0;
  virtual NandModule* nand() { return nullptr; }
};

class NandRig : public Rig {
 public:
  explicit NandRig(const std::string& chip) : m_(chip, {{"image", "nand.img"}}, kTesterFlag) {}
  void PowerCycle(bool os_driver) override { m_.PowerCycle({{"os_driver", os_driver}}); }
  std::uint64_t Operations() override { return m_.nand().ArrayOperations(); }
  void CutAt(std::uint32_t n, std::uint64_t seed) override {
    m_.nand().SchedulePowerCut(n, sim::NandOperation::kAny, {sim::TearShape::kBits, seed});
  }
  sim::Module& module() override { return m_.module(); }
  NandModule* nand() override { return &m_; }

 private:
  NandModule m_;
};

class NorRig : public Rig {
 public:
  NorRig() { PowerCycle(false); }
  void PowerCycle(bool) override {
    module_.reset();
    sim::Description d = testing_support::BareDescription(folder_.path(), kNorCpuProduct);
    d.boot_item12 = kTesterFlag;
    d.flash = sim::ReadFlashConfig({{"type", "nor"}, {"image", "nor.img"}}, d.folder);
    module_ = std::make_unique<sim::Module>(std::move(d));
  }
  std::uint64_t Operations() override { return Nor().ArrayOperations(); }
  void CutAt(std::uint32_t n, std::uint64_t seed) override {
    Nor().SchedulePowerCut(n, sim::NorFlashFaults::PowerCutAt::Op::kAny, {sim::TearShape::kBits, seed});
  }
  sim::Module& module() override { return *module_; }

 private:
  sim::NorFlash& Nor() { return *module_->FindDevice<sim::NorFlash>(); }
  testing_support::TempFolder folder_;
  std::unique_ptr<sim::Module> module_;
};

// --- checks shared by the scenarios ---

// What the shared map must be: the table on flash as the operating system's driver reads it; no
// physical block behind two of the logical blocks a client can reach (those below the spare pool;
// the spares' own entries stay as built); and none of them led into a free spare, one the table does
// not record and the next replacement may hand out. Empty when it holds.
std::string MapProblem(NandModule& m) {
  std::vector<std::uint8_t> table = m.TableBytes();
  auto expected = sim::BuildBadBlockMap(table, m.blocks());
  if (!expected) return "the table on flash has no magic";
  if (!m.Signed()) return "the shared map is not signed";
  std::vector<std::uint16_t> map = m.MapSnapshot();
  const std::uint32_t usable = m.blocks() - m.reserved();
  std::set<std::uint32_t> recorded;
  for (const sim::BbmtEntry& e : m.AllEntries()) recorded.insert(e.replacement);
  std::map<std::uint16_t, std::uint32_t> owner;
  for (std::uint32_t b = 0; b < m.blocks(); ++b) {
    std::uint16_t want = static_cast<std::uint16_t>((*expected)[4 + 2 * b] | (*expected)[5 + 2 * b] << 8);
    if (map[b] != want) {
      return "map entry " + std::to_string(b) + " is " + std::to_string(map[b]) + ", the table gives " +
             std::to_string(want);
    }
    if (b >= usable) continue;
    auto [it, fresh] = owner.emplace(map[b], b);
    if (!fresh) {
      return "blocks " + std::to_string(it->second) + " and " + std::to_string(b) + " both map to " +
             std::to_string(map[b]);
    }
    if (map[b] >= usable && !recorded.count(map[b])) {
      return "block " + std::to_string(b) + " maps to the free spare " + std::to_string(map[b]);
    }
  }
  return {};
}

bool SameEntries(const std::vector<sim::BbmtEntry>& a, const std::vector<sim::BbmtEntry>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const sim::BbmtEntry& x, const sim::BbmtEntry& y) {
    return x.logical == y.logical && x.replacement == y.replacement;
  });
}

std::uint64_t Mix(const std::string& name, std::uint32_t n, std::uint32_t seed) {
  std::uint64_t h = 1469598103934665603ull;
  for (char c : name) h = (h ^ static_cast<std::uint8_t>(c)) * 1099511628211ull;
  return h ^ (std::uint64_t{n} << 32) ^ seed;
}

// The files of the bundles the campaign writes.
std::vector<tools::BundleFile> BundleFiles(char fill) {
  std::vector<std::uint8_t> notes = bbmt_test::Pattern(9000, static_cast<std::uint32_t>(fill));
  std::vector<std::uint8_t> data = bbmt_test::Pattern(5000, static_cast<std::uint32_t>(fill) + 1);
  std::vector<std::uint8_t> program = bbmt_test::Pattern(2998, static_cast<std::uint32_t>(fill) + 2);
  return {{"\\notes.txt", notes}, {"\\data.bin", data}, {"\\tester.exe", program}};
}

std::vector<std::uint8_t> Encoded(const std::vector<tools::BundleFile>& files) {
  std::vector<std::uint8_t> encoded = tools::EncodeBundle(files);
  encoded.resize((encoded.size() + 3) & ~std::size_t{3});
  return encoded;
}

// Writes the bundle as `kalvori bundle pack` does, through the running module's flash library.
bool PackBundle(const std::vector<tools::BundleFile>& files) {
  tools::ModuleFlash flash;
  return tools::WriteBundle(flash, Encoded(files), nullptr);
}

bool FilesAre(sim::Module& module, const std::vector<tools::BundleFile>& files) {
  for (const tools::BundleFile& f : files) {
    std::string name = f.name.substr(1);
    std::string on_disk = testing_support::ReadFile(module.description().root / name);
    if (on_disk != std::string(f.payload.begin(), f.payload.end())) return false;
  }
  return true;
}

// --- scenarios ---

// One cut of one scenario. Prepare runs on a fresh module, Operate is the operation cut, Judge runs
// after the module started again.
class Scenario {
 public:
  virtual ~Scenario() = default;
  virtual std::unique_ptr<Rig> MakeRig() = 0;
  virtual void Prepare(Rig& rig) = 0;
  virtual void Operate(Rig& rig) = 0;
  // File writes of the operation that are cut points too (the hand-off's).
  virtual std::uint32_t FileWrites() const { return 0; }
  virtual Outcome Judge(Rig& rig, std::string& why) = 0;
};

// The tester hand-off: the bundle served, the region erased, the program started.
class HandOff : public Scenario {
 public:
  HandOff(std::string chip, bool os_driver) : chip_(std::move(chip)), os_driver_(os_driver) {}
  std::unique_ptr<Rig> MakeRig() override {
    if (chip_ == "NOR") return std::make_unique<NorRig>();
    return std::make_unique<NandRig>(chip_);
  }
  void Prepare(Rig& rig) override {
    if (FlashInit() == 0 || !PackBundle(files_)) throw std::runtime_error("cannot pack the bundle");
    rig.PowerCycle(os_driver_);
  }
  void Operate(Rig&) override { RunTesterHandOff(); }
  std::uint32_t FileWrites() const override { return static_cast<std::uint32_t>(files_.size()); }
  Outcome Judge(Rig& rig, std::string& why) override {
    rig.PowerCycle(os_driver_);
    RunTesterHandOff();
    const std::string& out = rig.module().DebugTranscript();
    if (NandModule* m = rig.nand(); m && out.find("Cannot Initialize Flash Library") == std::string::npos) {
      why = MapProblem(*m);
      if (!why.empty()) return Outcome::kInconsistentMap;
    }
    if (out.find("Cannot Initialize Flash Library") != std::string::npos) {
      why = out;
      return Outcome::kCannotStart;
    }
    const auto& launches = rig.module().os().processes.launches();
    if (!launches.empty()) {
      if (!FilesAre(rig.module(), files_)) {
        why = "a program started from a partial bundle: " + out;
        return Outcome::kLostEarlier;
      }
      return Outcome::kRecovered;  // served complete at the next start
    }
    for (const char* said : {"ERROR No Exe found to Launch!", "ERROR Reading Header from Flash",
                             "ERROR Reading Data from Flash"}) {
      if (out.find(said) != std::string::npos) return Outcome::kLostInterrupted;
    }
    why = "the next start neither served the bundle nor said why: " + out;
    return Outcome::kLostEarlier;
  }

 private:
  std::string chip_;
  bool os_driver_;
  std::vector<tools::BundleFile> files_ = BundleFiles('a');
};

// `kalvori bundle pack` over an older bundle: the old one invalidated, the region erased, the new
// one written.
class Pack : public Scenario {
 public:
  explicit Pack(std::string chip) : chip_(std::move(chip)) {}
  std::unique_ptr<Rig> MakeRig() override {
    if (chip_ == "NOR") return std::make_unique<NorRig>();
    return std::make_unique<NandRig>(chip_);
  }
  void Prepare(Rig&) override {
    if (FlashInit() == 0 || !PackBundle(old_)) throw std::runtime_error("cannot pack the old bundle");
  }
  void Operate(Rig&) override { PackBundle(new_); }
  Outcome Judge(Rig& rig, std::string& why) override {
    rig.PowerCycle(false);
    RunTesterHandOff();
    const std::string& out = rig.module().DebugTranscript();
    if (out.find("Cannot Initialize Flash Library") != std::string::npos) {
      why = out;
      return Outcome::kCannotStart;
    }
    if (!rig.module().os().processes.launches().empty()) {
      if (FilesAre(rig.module(), new_)) return Outcome::kClean;
      if (FilesAre(rig.module(), old_)) return Outcome::kClean;
      why = "a program started from a partial bundle: " + out;
      return Outcome::kLostEarlier;
    }
    for (const char* said : {"ERROR No Exe found to Launch!", "ERROR Reading Header from Flash",
                             "ERROR Reading Data from Flash"}) {
      if (out.find(said) != std::string::npos) return Outcome::kLostInterrupted;
    }
    why = "the next start neither served a bundle nor said why: " + out;
    return Outcome::kLostEarlier;
  }

 private:
  std::string chip_;
  std::vector<tools::BundleFile> old_ = BundleFiles('o');
  std::vector<tools::BundleFile> new_ = BundleFiles('n');
};

// Data scenarios on NAND: earlier data in place, then an operation that writes or erases. After
// the cut the module starts with the operating system's driver (which builds the map first), then
// again with the launcher building it; both maps must follow the table, earlier data must read
// back, and the interrupted range must read old, new or fail.
class DataScenario : public Scenario {
 public:
  explicit DataScenario(std::string chip) : chip_(std::move(chip)) {}
  std::unique_ptr<Rig> MakeRig() override { return std::make_unique<NandRig>(chip_); }

  Outcome Judge(Rig& rig, std::string& why) override {
    NandModule& m = *rig.nand();
    bool recovered = false;
    for (bool os_driver : {true, false}) {
      rig.PowerCycle(os_driver);
      if (FlashInit() != 2) {
        why = "the flash library does not start (os driver " + std::to_string(os_driver) + ")";
        return Outcome::kCannotStart;
      }
      recovered = recovered || m.module().DebugTranscript().find("restored") != std::string::npos;
      why = MapProblem(m);
      if (!why.empty()) return Outcome::kInconsistentMap;
      for (const auto& [offset, bytes] : earlier_) {
        bool ok = false;
        if (bbmt_test::ReadLogical(offset, static_cast<std::uint32_t>(bytes.size()), &ok) != bytes || !ok) {
          why = "earlier data at " + std::to_string(offset) + " changed";
          return Outcome::kLostEarlier;
        }
      }
    }
    // The interrupted range, page by page: old, new, or a failed read.
    bool all_new = true;
    const std::uint32_t page = m.facts().page_bytes;
    for (std::uint32_t at = 0; at < window_old_.size(); at += page) {
      bool ok = false;
      std::vector<std::uint8_t> got = bbmt_test::ReadLogical(window_ + at, page, &ok);
      auto old_page = std::vector<std::uint8_t>(window_old_.begin() + at, window_old_.begin() + at + page);
      auto new_page = std::vector<std::uint8_t>(window_new_.begin() + at, window_new_.begin() + at + page);
      if (ok && got == new_page) continue;
      all_new = false;
      if (ok && got != old_page) {
        why = "the interrupted range reads a third value at " + std::to_string(window_ + at);
        return Outcome::kLostEarlier;
      }
    }
    if (!Retry(rig)) retry_refused_ = true;
    if (all_new) return recovered ? Outcome::kRecovered : Outcome::kClean;
    return recovered ? Outcome::kRecovered : Outcome::kLostInterrupted;
  }

  bool retry_refused() const { return retry_refused_; }

 protected:
  // Runs the operation again after the start; true when it succeeds.
  virtual bool Retry(Rig& rig) = 0;

  void Remember(std::uint32_t offset, const std::vector<std::uint8_t>& bytes) { earlier_[offset] = bytes; }

  std::string chip_;
  std::map<std::uint32_t, std::vector<std::uint8_t>> earlier_;
  std::uint32_t window_ = 0;
  std::vector<std::uint8_t> window_old_, window_new_;
  bool retry_refused_ = false;
};

// A write that meets a block failing mid-block: replacement with migration; nested when the first
// spare fails its erase too; or taking the last spare of the pool.
class ReplaceWrite : public DataScenario {
 public:
  enum class Kind { kMigration, kNested, kLastSpare };
  ReplaceWrite(std::string chip, Kind kind) : DataScenario(std::move(chip)), kind_(kind) {}

  void Prepare(Rig& rig) override {
    NandModule& m = *rig.nand();
    if (kind_ == Kind::kLastSpare) {
      // All spares but the lowest went to replacements long retired.
      std::vector<sim::BbmtEntry> retired;
      for (std::uint32_t b = m.blocks() - m.reserved() + 1; b < m.blocks(); ++b) {
        retired.push_back({0, static_cast<std::uint16_t>(b)});
      }
      m.WriteTable(retired);
    }
    if (FlashInit() != 2) throw std::runtime_error("no flash library");
    const std::uint32_t B = m.block_bytes(), page = m.facts().page_bytes;
    block_ = 40;
    // Earlier data: the block's pages around the one to be written (left erased), and a neighbour.
    window_ = block_ * B + 3 * page;
    std::vector<std::uint8_t> before = bbmt_test::Pattern(3 * page, 7);
    std::vector<std::uint8_t> after = bbmt_test::Pattern(B - 4 * page, 6);
    std::vector<std::uint8_t> neighbour = bbmt_test::Pattern(4 * page, 8);
    if (!bbmt_test::WriteLogical(block_ * B, before) || !bbmt_test::WriteLogical(window_ + page, after) ||
        !bbmt_test::WriteLogical((block_ + 1) * B, neighbour)) {
      throw std::runtime_error("cannot write earlier data");
    }
    Remember(block_ * B, before);
    Remember(window_ + page, after);
    Remember((block_ + 1) * B, neighbour);
    window_old_.assign(page, 0xFF);
    window_new_ = bbmt_test::Pattern(page, 9);
    m.FailProgram(m.MapEntry(block_));
    if (kind_ == Kind::kNested) m.FailErase(m.blocks() - 1);
  }
  void Operate(Rig&) override { bbmt_test::WriteLogical(window_, window_new_); }

 protected:
  bool Retry(Rig&) override { return bbmt_test::WriteLogical(window_, window_new_); }

 private:
  Kind kind_;
  std::uint32_t block_ = 0;
};

// An erase of logical block 0: the table is kept across it.
class EraseBlock0 : public DataScenario {
 public:
  using DataScenario::DataScenario;
  void Prepare(Rig& rig) override {
    NandModule& m = *rig.nand();
    // Factory entries: two blocks already live in spares, one of them replaced twice.
    const std::uint16_t top = static_cast<std::uint16_t>(m.blocks() - 1);
    m.WriteTable({{57, top}, {0, static_cast<std::uint16_t>(top - 1)}, {58, static_cast<std::uint16_t>(top - 2)}});
    if (FlashInit() != 2) throw std::runtime_error("no flash library");
    const std::uint32_t B = m.block_bytes(), page = m.facts().page_bytes;
    for (std::uint32_t block : {57u, 58u, 59u}) {
      std::vector<std::uint8_t> data = bbmt_test::Pattern(2 * page, block);
      if (!bbmt_test::WriteLogical(block * B, data)) throw std::runtime_error("cannot write earlier data");
      Remember(block * B, data);
    }
    // Logical block 0's own data, before the table's page.
    window_ = 0;
    window_old_ = bbmt_test::Pattern(2 * page, 1);
    if (!bbmt_test::WriteLogical(0, window_old_)) throw std::runtime_error("cannot write block 0");
    window_new_.assign(window_old_.size(), 0xFF);
    entries_ = m.AllEntries();
  }
  void Operate(Rig& rig) override { FlashOps.Erase(0, rig.nand()->block_bytes()); }
  Outcome Judge(Rig& rig, std::string& why) override {
    Outcome o = DataScenario::Judge(rig, why);
    if (o != Outcome::kCannotStart && !SameEntries(rig.nand()->AllEntries(), entries_)) {
      why = "the table's entries changed";
      return Outcome::kLostEarlier;
    }
    return o;
  }

 protected:
  bool Retry(Rig& rig) override { return FlashOps.Erase(0, rig.nand()->block_bytes()) != 0; }

 private:
  std::vector<sim::BbmtEntry> entries_;
};

std::unique_ptr<Scenario> Make(const std::string& name) {
  // name: operation/chip[/os-driver]
  std::string op = name.substr(0, name.find('/'));
  std::string rest = name.substr(op.size() + 1);
  std::string chip = rest.substr(0, rest.find('/'));
  bool os_driver = rest.find("/os-driver") != std::string::npos;
  if (op == "handoff") return std::make_unique<HandOff>(chip, os_driver);
  if (op == "pack") return std::make_unique<Pack>(chip);
  if (op == "replace") return std::make_unique<ReplaceWrite>(chip, ReplaceWrite::Kind::kMigration);
  if (op == "nested") return std::make_unique<ReplaceWrite>(chip, ReplaceWrite::Kind::kNested);
  if (op == "last-spare") return std::make_unique<ReplaceWrite>(chip, ReplaceWrite::Kind::kLastSpare);
  if (op == "erase-block0") return std::make_unique<EraseBlock0>(chip);
  throw std::invalid_argument("no such scenario: " + name);
}

}  // namespace

std::vector<std::string> ScenarioNames() {
  std::vector<std::string> names = {"handoff/NOR", "pack/NOR"};
  for (const char* chip : kChips) {
    std::string c = chip;
    for (const char* op : {"handoff", "handoff-os", "pack", "replace", "nested", "erase-block0", "last-spare"}) {
      std::string o = op;
      names.push_back(o == "handoff-os" ? "handoff/" + c + "/os-driver" : o + "/" + c);
    }
  }
  return names;
}

std::uint32_t CountCutPoints(const std::string& name) {
  std::unique_ptr<Scenario> s = Make(name);
  std::unique_ptr<Rig> rig = s->MakeRig();
  s->Prepare(*rig);
  const std::uint64_t before = rig->Operations();
  s->Operate(*rig);
  return static_cast<std::uint32_t>(rig->Operations() - before) + s->FileWrites();
}

Tally Sweep(const std::string& name, const SweepPlan& plan) {
  Tally tally;
  tally.scenario = name;
  tally.cut_points = CountCutPoints(name);
  const std::uint32_t flash_points = tally.cut_points - Make(name)->FileWrites();
  for (std::uint32_t n = 1; n <= tally.cut_points; n += plan.stride) {
    for (std::uint32_t seed = 0; seed < (n <= flash_points ? plan.seeds : 1); ++seed) {
      std::unique_ptr<Scenario> s = Make(name);
      std::unique_ptr<Rig> rig = s->MakeRig();
      std::string why;
      Outcome outcome;
      try {
        s->Prepare(*rig);
        if (n <= flash_points) {
          rig->CutAt(n, Mix(name, n, seed));
        } else {
          // A file write the power cuts: it fails, and nothing after it runs.
          sim::FaultRule rule;
          rule.op = sim::FaultOp::kWriteFile;
          rule.skip = n - flash_points - 1;
          rig->module().faults().Add(rule);
        }
        try {
          s->Operate(*rig);
        } catch (const sim::PowerCut&) {
        }
        outcome = s->Judge(*rig, why);
      } catch (const std::exception& e) {
        outcome = Outcome::kCannotStart;
        why = std::string("exception: ") + e.what();
      }
      ++tally.runs;
      ++tally.outcomes[Index(outcome)];
      if (auto* d = dynamic_cast<DataScenario*>(s.get()); d && d->retry_refused()) ++tally.retry_refused;
      if ((outcome == Outcome::kLostEarlier || outcome == Outcome::kInconsistentMap ||
           outcome == Outcome::kCannotStart) &&
          tally.bad.size() < kBadExamples) {
        tally.bad.push_back("cut " + std::to_string(n) + " seed " + std::to_string(seed) + ": " + why);
      }
    }
  }
  return tally;
}

std::string OutcomeTable(const std::vector<Tally>& tallies) {
  std::ostringstream t;
  t << "| scenario | cut points | cuts made |";
  for (const char* name : kOutcomeNames) t << ' ' << name << " |";
  t << " retry refused |\n|---|---:|---:|";
  for (std::size_t i = 0; i < kOutcomeNames.size(); ++i) t << "---:|";
  t << "---:|\n";
  for (const Tally& tally : tallies) {
    t << "| `" << tally.scenario << "` | " << tally.cut_points << " | " << tally.runs << " |";
    for (std::uint32_t count : tally.outcomes) t << ' ' << count << " |";
    t << ' ' << tally.retry_refused << " |\n";
  }
  return t.str();
}

}  // namespace power_test
