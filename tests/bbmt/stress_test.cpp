// A model-based stress test of the bad-block layer: thousands of random Write, Erase and Read calls
// through FlashOps on a simulated NAND flash of each geometry, with program and erase failures
// injected at random (blocks bad from the start and after some operations, spares among them).
//
// A reference byte array holds what the logical blocks under test must contain. After every call:
// - the shared map equals the map that the table on flash gives (so a fresh start rebuilds it);
// - after a success, every block's content, read through the map from the cells, equals the
//   reference; after a failure, only the blocks the call touched may differ (they are taken over
//   into the reference as they now are, and written again only after an erase);
// - a call fails only when the pool is spent: every spare the table does not record went bad;
// - reads through FlashOps return the reference.
// Every hundred calls a fresh launcher process builds the map again and must find the same one.
//
// Reproducible: the seed of a failing run is printed. KALVORI_STRESS_SEED=n runs that seed alone,
// KALVORI_STRESS_OPS=n sets the calls per chip, KALVORI_STRESS_LONG=1 runs many seeds with many
// more calls (minutes).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "flash/flash_ops.h"
#include "tests/bbmt/bbmt_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define KALVORI_STRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KALVORI_STRESS_SANITIZED 1
#endif
#endif

namespace bbmt_test {
namespace {

#if defined(KALVORI_STRESS_SANITIZED)
constexpr std::uint32_t kDefaultOps = 800;
#else
constexpr std::uint32_t kDefaultOps = 1200;
#endif

constexpr std::uint64_t kDefaultSeed = 0x5EED1EEF;

std::optional<std::uint64_t> EnvNumber(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text) return std::nullopt;
  return std::strtoull(text, nullptr, 0);
}

struct Plan {
  const char* chip;
  std::uint32_t first_block;  // logical blocks under test
  std::uint32_t block_count;
};

class Stress {
 public:
  Stress(const Plan& plan, std::uint64_t seed)
      : plan_(plan), seed_(seed), rng_(seed), m_(plan.chip), B_(m_.block_bytes()), page_(m_.facts().page_bytes) {
    ref_.assign(std::size_t{plan.block_count} * B_, 0xFF);
    cursor_.assign(plan.block_count, 0);
  }

  void Run(std::uint32_t ops) {
    // An aged chip: all but a few spares of the pool went to replacements long retired, so that the
    // pool runs out within the run.
    const std::size_t spares_left = std::clamp<std::size_t>(ops / 75, 4, m_.reserved());
    std::vector<std::uint32_t> pool;
    for (std::uint32_t b = m_.blocks() - m_.reserved(); b < m_.blocks(); ++b) pool.push_back(b);
    std::shuffle(pool.begin(), pool.end(), rng_);
    std::vector<sim::BbmtEntry> retired;
    for (std::size_t i = spares_left; i < pool.size(); ++i) retired.push_back({0, static_cast<std::uint16_t>(pool[i])});
    m_.WriteTable(retired);
    entries_ = static_cast<std::uint32_t>(retired.size());
    if (FlashInit() != 2) return Fail("FlashInit failed");
    // Bad from the start: two blocks under test and a spare.
    Inject(plan_.first_block + Pick(plan_.block_count), 0);
    Inject(plan_.first_block + Pick(plan_.block_count), 0);
    Inject(m_.blocks() - 1 - Pick(3), 0);
    for (op_ = 0; op_ < ops && !failed_; ++op_) {
      std::uint32_t dice = Pick(100);
      if (dice < 45) {
        DoWrite();
      } else if (dice < 65) {
        DoErase();
      } else if (dice < 96) {
        DoRead();
      } else {
        // A block goes bad after some more operations: one under test, or a spare still to be had.
        std::vector<std::uint32_t> spares = FreeSpares();
        std::uint32_t target = Pick(3) == 0 || spares.empty() ? m_.MapEntry(plan_.first_block + Pick(plan_.block_count))
                                                             : spares[Pick(static_cast<std::uint32_t>(spares.size()))];
        Inject(target, Pick(16));
      }
      if (!failed_ && op_ % 100 == 99) Rebuild();
    }
    if (!failed_) Rebuild();
  }

  std::uint32_t replacements() const { return replacements_; }
  std::uint32_t failures() const { return failures_; }

 private:
  std::uint32_t RoundUpToPage(std::uint32_t at) const { return (at + page_ - 1) / page_ * page_; }
  std::uint32_t Pick(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }
  std::uint32_t PickWords(std::uint32_t max_bytes) { return 4 * (1 + Pick(max_bytes / 4)); }
  std::uint32_t Offset(std::uint32_t working) const { return (plan_.first_block + working) * B_; }
  std::uint8_t* Ref(std::uint32_t offset) { return &ref_[offset - Offset(0)]; }

  void Fail(const std::string& what) {
    failed_ = true;
    ADD_FAILURE() << "chip " << plan_.chip << ", seed " << seed_ << " (KALVORI_STRESS_SEED=" << seed_
                  << "), call " << op_ << " [" << last_ << "]: " << what;
  }

  void Inject(std::uint32_t physical, std::uint32_t after) {
    if (physical == 0 || physical >= m_.blocks()) return;  // block 0 holds the table
    injected_.insert(physical);
    if (Pick(2) == 0) {
      m_.FailProgram(physical, after);
    } else {
      m_.FailErase(physical, after);
    }
  }

  // The pool's blocks that the table records nowhere.
  std::vector<std::uint32_t> FreeSpares() {
    std::set<std::uint32_t> recorded;
    for (const sim::BbmtEntry& e : m_.AllEntries()) recorded.insert(e.replacement);
    std::vector<std::uint32_t> free;
    for (std::uint32_t b = m_.blocks() - m_.reserved(); b < m_.blocks(); ++b) {
      if (!recorded.count(b)) free.push_back(b);
    }
    return free;
  }

  // The logical block's bytes as the cells hold them, through the shared map, into out.
  void Content(std::uint32_t logical, std::uint8_t* out) {
    const sim::NandChipType& c = m_.nand().chip();
    std::uint32_t physical = m_.MapEntry(logical);
    std::uint32_t cs = physical / c.blocks;
    std::uint32_t block = physical % c.blocks;
    for (std::uint32_t page = 0; page < c.pages_per_block; ++page) {
      std::uint32_t row = block * c.pages_per_block + page;
      std::vector<std::uint8_t> low = m_.nand().RawReadPage(cs, 0, row);
      if (c.lanes == 1) {
        std::memcpy(out + page * c.page_bytes, low.data(), c.page_bytes);
        continue;
      }
      // A pair: device 0 holds the even bytes, device 1 the odd ones.
      std::vector<std::uint8_t> high = m_.nand().RawReadPage(cs, 1, row);
      std::uint8_t* to = out + page * 2 * c.page_bytes;
      for (std::uint32_t j = 0; j < c.page_bytes; ++j) {
        to[2 * j] = low[j];
        to[2 * j + 1] = high[j];
      }
    }
  }

  void Check(bool ok, const std::set<std::uint32_t>& touched) {
    if (!ok) ++failures_;
    // The map is always what the table on flash gives.
    std::vector<std::uint8_t> table = m_.TableBytes();
    auto derived = sim::BuildBadBlockMap(table, m_.blocks());
    if (!derived) return Fail("the table on flash lost its magic");
    if (std::memcmp(m_.Region(), derived->data(), 4 + 2 * std::size_t{m_.blocks()}) != 0) {
      return Fail("the shared map differs from the table on flash");
    }
    if (!ok) {
      for (std::uint32_t b : FreeSpares()) {
        if (!injected_.count(b)) return Fail("the call failed while spare " + std::to_string(b) + " was to be had");
      }
    }
    std::uint32_t entries = 0;
    for (std::size_t at = 4; at + 4 <= table.size() && (table[at] != 0xFF || table[at + 1] != 0xFF); at += 4) ++entries;
    replacements_ += entries - entries_;
    entries_ = entries;

    std::set<std::uint32_t> physical;
    std::vector<std::uint8_t> content(B_);
    for (std::uint32_t w = 0; w < plan_.block_count; ++w) {
      std::uint32_t logical = plan_.first_block + w;
      std::uint16_t p = m_.MapEntry(logical);
      if (!physical.insert(p).second) return Fail("two blocks share physical block " + std::to_string(p));
      Content(logical, content.data());
      if (std::memcmp(content.data(), Ref(Offset(w)), B_) == 0) continue;
      if (!ok && touched.count(w)) {
        // What a failed call left in the blocks it touched is what they hold from now on.
        std::memcpy(Ref(Offset(w)), content.data(), B_);
        cursor_[w] = B_;
        continue;
      }
      std::size_t at = 0;
      while (content[at] == Ref(Offset(w))[at]) ++at;
      std::ostringstream s;
      s << "logical block " << logical << " (physical " << p << ") differs at byte 0x" << std::hex << at;
      return Fail(s.str());
    }
  }

  void DoWrite() {
    std::uint32_t w = Pick(plan_.block_count);
    if (cursor_[w] + 4 > B_) return DoErase(w);
    std::uint32_t start = cursor_[w] + (Pick(4) == 0 ? PickWords(page_) - 4 : 0);
    if (start >= B_) start = cursor_[w];
    std::uint32_t length = PickWords(2 * page_);
    std::set<std::uint32_t> touched{w};
    // Into the next block only while that one is still erased.
    bool cross = w + 1 < plan_.block_count && cursor_[w + 1] == 0 && Pick(3) == 0;
    if (start + length > B_ && !cross) length = B_ - start;
    if (start + length > B_) touched.insert(w + 1);
    std::uint32_t offset = Offset(w) + start;
    std::vector<std::uint8_t> data = Pattern(length, static_cast<std::uint32_t>(rng_()));
    std::ostringstream s;
    s << "Write 0x" << std::hex << length << " at 0x" << offset;
    last_ = s.str();

    auto words = Words(data);
    bool ok = FlashOps.Write(words.data(), offset, length) != 0;
    if (ok) {
      std::memcpy(Ref(offset), data.data(), length);
      // A page is programmed once between erases: the controller's code covers the whole page.
      cursor_[w] = std::min(RoundUpToPage(start + length), B_);
      if (start + length > B_) cursor_[w + 1] = RoundUpToPage(start + length - B_);
    }
    Check(ok, touched);
  }

  void DoErase(std::optional<std::uint32_t> block = std::nullopt) {
    std::uint32_t w = block ? *block : Pick(plan_.block_count);
    std::uint32_t n = 1 + Pick(std::min<std::uint32_t>(3, plan_.block_count - w));
    std::uint32_t begin = 4 * Pick(B_ / 4);
    std::uint32_t end = (n - 1) * B_ + 4 * (1 + Pick(B_ / 4));
    if (end <= begin) end = begin + 4;
    std::uint32_t offset = Offset(w) + begin;
    std::uint32_t length = end - begin;
    std::ostringstream s;
    s << "Erase 0x" << std::hex << length << " at 0x" << offset;
    last_ = s.str();

    std::set<std::uint32_t> touched;
    for (std::uint32_t i = 0; i < n; ++i) touched.insert(w + i);
    bool ok = FlashOps.Erase(offset, length) != 0;
    if (ok) {
      for (std::uint32_t i : touched) {
        std::memset(Ref(Offset(i)), 0xFF, B_);
        cursor_[i] = 0;
      }
    }
    Check(ok, touched);
  }

  void DoRead() {
    std::uint32_t span = plan_.block_count * B_;
    std::uint32_t length = PickWords(2 * page_);
    std::uint32_t start = 4 * Pick((span - length) / 4);
    std::ostringstream s;
    s << "Read 0x" << std::hex << length << " at 0x" << Offset(0) + start;
    last_ = s.str();
    std::vector<std::uint32_t> words(length / 4);
    if (!FlashOps.Read(words.data(), Offset(0) + start, length)) return Fail("the read failed");
    if (std::memcmp(words.data(), Ref(Offset(0) + start), length) != 0) return Fail("the read differs");
  }

  // A fresh launcher process finds the map unsigned and builds it from the table: the same map.
  void Rebuild() {
    last_ = "rebuild";
    std::vector<std::uint16_t> map = m_.MapSnapshot();
    std::memset(m_.Region(), 0, 4);
    m_.RestartProcess();
    if (FlashInit() != 2) return Fail("a fresh start cannot build the map");
    if (m_.MapSnapshot() != map) return Fail("a fresh start builds another map");
  }

  Plan plan_;
  std::uint64_t seed_;
  std::mt19937_64 rng_;
  NandModule m_;
  const std::uint32_t B_;
  const std::uint32_t page_;
  std::vector<std::uint8_t> ref_;
  std::vector<std::uint32_t> cursor_;  // per block: bytes written from its start on; beyond: erased
  std::set<std::uint32_t> injected_;   // physical blocks given a program or erase fault
  std::uint32_t op_ = 0;
  std::string last_ = "start";
  bool failed_ = false;
  std::uint32_t replacements_ = 0;
  std::uint32_t failures_ = 0;
  std::uint32_t entries_ = 0;
};

class StressOnEveryGeometry : public ::testing::TestWithParam<Plan> {};

TEST_P(StressOnEveryGeometry, RandomCallsWithFailingBlocksKeepTheContentAndTheMap) {
  bool long_run = EnvNumber("KALVORI_STRESS_LONG").value_or(0) != 0;
  std::uint32_t ops = static_cast<std::uint32_t>(EnvNumber("KALVORI_STRESS_OPS").value_or(long_run ? 20 * kDefaultOps : kDefaultOps));
  std::vector<std::uint64_t> seeds{kDefaultSeed};
  if (auto seed = EnvNumber("KALVORI_STRESS_SEED")) {
    seeds = {*seed};
  } else if (long_run) {
    for (std::uint64_t s = 1; s <= 20; ++s) seeds.push_back(0x5EED0000 + s * 7919);
  }
  for (std::uint64_t seed : seeds) {
    Stress stress(GetParam(), seed);
    stress.Run(ops);
    if (HasFailure()) return;
    // The default run meets what it is about: replacements, and calls that fail once the pool is out.
    if (seeds.size() == 1 && !EnvNumber("KALVORI_STRESS_SEED")) {
      EXPECT_GT(stress.replacements(), 4u) << "seed " << seed;
      EXPECT_GT(stress.failures(), 0u) << "seed " << seed;
    }
    std::printf("chip %s, seed %llu: %u calls, %u replacements, %u failed calls\n", GetParam().chip,
                static_cast<unsigned long long>(seed), ops, stress.replacements(), stress.failures());
  }
}

INSTANTIATE_TEST_SUITE_P(Geometries, StressOnEveryGeometry,
                         ::testing::Values(Plan{"0x75EC", 2, 10}, Plan{"0xF1EC", 2, 10}, Plan{"0xDCAD", 4092, 8}),
                         [](const ::testing::TestParamInfo<Plan>& info) { return std::string(info.param.chip).substr(2); });

}  // namespace
}  // namespace bbmt_test
