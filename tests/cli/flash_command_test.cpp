// kalvori flash info and map: what a module's flash holds, through the module's own flash library,
// on a NAND module whose blocks went bad at the factory and later, and on a NOR module.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "sim/core/description.h"
#include "tests/support/kalvori_command.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CommandRun;
using testing_support::ReadFile;
using testing_support::ShellQuote;
using testing_support::TempFolder;
using testing_support::WriteFile;

// A small XML reader for the picture: checks that every element is closed in order and that
// attribute values are quoted, and counts the elements by name and class.
struct XmlCounts {
  bool well_formed = false;
  std::string problem;
  std::map<std::string, int> elements;          // by name
  std::map<std::string, int> rects_by_class;    // <rect class="...">
  std::vector<std::string> texts;               // the text of <text> elements
};

XmlCounts ReadXml(const std::string& xml) {
  XmlCounts counts;
  std::vector<std::string> open;
  std::size_t at = 0;
  bool root_seen = false;
  auto fail = [&](const std::string& why) {
    counts.problem = why + " at byte " + std::to_string(at);
    return counts;
  };
  while (at < xml.size()) {
    std::size_t lt = xml.find('<', at);
    std::string text = xml.substr(at, lt == std::string::npos ? std::string::npos : lt - at);
    if (text.find('>') != std::string::npos) return fail("a stray '>'");
    if (!open.empty() && open.back() == "text") counts.texts.push_back(text);
    if (lt == std::string::npos) break;
    std::size_t gt = xml.find('>', lt);
    if (gt == std::string::npos) return fail("an unclosed tag");
    std::string tag = xml.substr(lt + 1, gt - lt - 1);
    at = gt + 1;
    if (tag.starts_with("?")) continue;
    if (tag.starts_with("/")) {
      if (open.empty() || open.back() != tag.substr(1)) return fail("</" + tag.substr(1) + "> closes nothing open");
      open.pop_back();
      continue;
    }
    bool empty = tag.ends_with("/");
    if (empty) tag.pop_back();
    std::string name = tag.substr(0, tag.find_first_of(" \n"));
    if (open.empty() && root_seen) return fail("a second root element");
    root_seen = true;
    // Attributes: name="value" pairs, nothing else.
    std::size_t a = name.size();
    std::string klass;
    while (a < tag.size()) {
      while (a < tag.size() && (tag[a] == ' ' || tag[a] == '\n')) ++a;
      if (a >= tag.size()) break;
      std::size_t eq = tag.find('=', a);
      if (eq == std::string::npos || eq + 1 >= tag.size() || tag[eq + 1] != '"') return fail("an unquoted attribute");
      std::size_t close = tag.find('"', eq + 2);
      if (close == std::string::npos) return fail("an unclosed attribute value");
      if (tag.substr(a, eq - a) == "class") klass = tag.substr(eq + 2, close - eq - 2);
      a = close + 1;
    }
    ++counts.elements[name];
    if (name == "rect") ++counts.rects_by_class[klass];
    if (!empty) open.push_back(name);
  }
  if (!open.empty()) return fail("<" + open.back() + "> is never closed");
  counts.well_formed = root_seen;
  return counts;
}

// count bytes of a file from offset on.
std::string Bytes(const fs::path& file, std::uint64_t offset, std::size_t count) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string out(count, '\0');
  in.read(out.data(), static_cast<std::streamsize>(count));
  return in ? out : std::string();
}

bool SameFiles(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(1 << 20), q(1 << 20);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
  }
  return !x && !y;
}

class FlashCommand : public ::testing::Test {
 protected:
  TempFolder folder;
  fs::path module = folder.path() / "module";

  CommandRun Kalvori(const std::string& arguments) { return testing_support::RunKalvori(arguments, folder.path()); }

  // A NAND module (0xF1EC: 1024 blocks, spares 1004 to 1023) with blocks 57 and 1010 bad from the
  // factory, whose block 158 (the tester region's first) fails its erases: packing a bundle replaces it.
  void MakeNandWithAGrownBadBlock(const std::string& extra = "") {
    WriteFile(module / "module.json", R"({"cpu_product": 8, "boot_config": {"item12": "0x00800000"},
        "flash": {"type": "nand", "chip": "0xF1EC", "image": "nand.img", "factory_bad_blocks": [57, 1010],
                  "faults": {"erase_fail": [158]})" + extra + "}}");
    fs::create_directories(module / "root");
    WriteFile(folder.path() / "t.exe", "program");
    CommandRun pack = Kalvori("bundle pack " + ShellQuote(module) + " " + ShellQuote(folder.path() / "t.exe"));
    ASSERT_EQ(pack.status, 0) << pack.err;
  }
};

TEST_F(FlashCommand, InfoShowsTheTableTheMapAndTheSparesOfANandModule) {
  MakeNandWithAGrownBadBlock();
  CommandRun run = Kalvori("flash info " + ShellQuote(module) + " --json");
  ASSERT_EQ(run.status, 0) << run.err;
  nlohmann::json info = nlohmann::json::parse(run.out);
  EXPECT_EQ(info["type"], "nand");
  EXPECT_EQ(info["usable_size"], 1004u * 0x20000);
  const nlohmann::json& nand = info["nand"];
  EXPECT_EQ(nand["chip"], "0xF1EC");
  EXPECT_EQ(nand["blocks"], 1024);
  EXPECT_EQ(nand["reserved_blocks"], 20);
  // The factory's entries (1010 lies in the spare pool: set aside retired), then the later one.
  const nlohmann::json& entries = nand["table"]["entries"];
  ASSERT_EQ(entries.size(), 3u) << run.out;
  EXPECT_EQ(entries[0], nlohmann::json({{"index", 0}, {"logical", 0}, {"replacement", 1010}, {"origin", "factory"},
                                        {"state", "retired"}}));
  EXPECT_EQ(entries[1], nlohmann::json({{"index", 1}, {"logical", 57}, {"replacement", 1023}, {"origin", "factory"},
                                        {"state", "live"}}));
  EXPECT_EQ(entries[2], nlohmann::json({{"index", 2}, {"logical", 158}, {"replacement", 1022}, {"origin", "later"},
                                        {"state", "live"}}));
  EXPECT_EQ(nand["remapped"], nlohmann::json::parse(R"([{"logical": 57, "physical": 1023},
                                                        {"logical": 158, "physical": 1022}])"));
  EXPECT_EQ(nand["spares_left"], 17);
  EXPECT_EQ(nand["next_spare"], 1021);
  EXPECT_EQ(nand["blocks_by_kind"], nlohmann::json::parse(R"({"good": 1000, "table": 1, "tester": 2,
      "factory-bad": 2, "grown-bad": 1, "spare-used": 1, "spare-free": 17})"));
  EXPECT_EQ(info["tester_region"]["state"], "bundle");
  EXPECT_EQ(info["tester_region"]["launched"], "\\t.exe");

  // The text form says the same.
  run = Kalvori("flash info " + ShellQuote(module));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("map:           built by the flash library; 2 blocks moved: 57->1023 158->1022\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("     2  block   158 ->  1022  later    live\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("spares:        17 of 20 left, the next replacement takes block 1021\n"), std::string::npos);
  EXPECT_NE(run.out.find("tester region: 0x013C0000, 256 KiB: a bundle of 1 file, 7 bytes, launches \\t.exe\n"),
            std::string::npos);
}

// Each device block's counts as the sidecar's runs keep them, spelled out.
std::vector<std::pair<std::uint64_t, std::uint64_t>> SidecarWear(const fs::path& image, std::size_t device,
                                                                 std::size_t blocks) {
  nlohmann::json sidecar = nlohmann::json::parse(ReadFile(fs::path(image.string() + ".json")));
  std::vector<std::pair<std::uint64_t, std::uint64_t>> wear(blocks);
  for (const nlohmann::json& run : sidecar["wear"].at(device)) {
    for (std::uint64_t b = run[0]; b < run[0].get<std::uint64_t>() + run[1].get<std::uint64_t>(); ++b) {
      wear.at(b) = {run[2], run[3]};
    }
  }
  return wear;
}

TEST_F(FlashCommand, InfoShowsWhatEachBlockWentThroughAsTheSidecarKeepsIt) {
  MakeNandWithAGrownBadBlock();
  CommandRun run = Kalvori("flash info " + ShellQuote(module) + " --json");
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json wear = nlohmann::json::parse(run.out)["nand"]["wear"];
  ASSERT_EQ(wear["devices"].size(), 1u) << wear;
  const nlohmann::json& device = wear["devices"][0];
  EXPECT_EQ(device["chip_select"], 0);
  EXPECT_EQ(device["device"], 0);
  ASSERT_EQ(device["programs"].size(), 1024u);
  ASSERT_EQ(device["erases"].size(), 1024u);
  // The pack erased the tester region: 158 failed its erase and was replaced by 1022, which was
  // erased and written, and 159 erased and written in place; the table gained an entry in block 0.
  EXPECT_EQ(device["erases"][158], 1);
  EXPECT_EQ(device["programs"][158], 0);
  EXPECT_GE(device["erases"][1022], 1);
  EXPECT_GE(device["programs"][1022], 1);
  EXPECT_GE(device["erases"][159], 1);
  EXPECT_GE(device["programs"][0], 1);
  EXPECT_EQ(device["erases"][57], 0) << "a factory-bad block is left alone";

  std::uint64_t programs = 0, erases = 0, erased = 0, most = 0;
  const auto sidecar = SidecarWear(module / "nand.img", 0, 1024);
  for (std::size_t b = 0; b < 1024; ++b) {
    ASSERT_EQ(sidecar[b],
              (std::pair<std::uint64_t, std::uint64_t>{device["programs"][b], device["erases"][b]}))
        << "block " << b;
    programs += sidecar[b].first;
    erases += sidecar[b].second;
    erased += sidecar[b].second != 0;
    most = std::max(most, sidecar[b].second);
  }
  EXPECT_EQ(wear["programs"], programs);
  EXPECT_EQ(wear["erases"], erases);
  EXPECT_EQ(wear["blocks_erased"], erased);
  ASSERT_FALSE(wear["most_erased"].empty());
  EXPECT_EQ(wear["most_erased"][0]["erases"], most);
  EXPECT_EQ(device["erases"][wear["most_erased"][0]["block"].get<std::size_t>()], most);

  run = Kalvori("flash info " + ShellQuote(module));
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string line =
      "wear:          " + std::to_string(programs) + " programs, " + std::to_string(erases) +
      " erases in all; " + std::to_string(erased) + " blocks ever erased; most erased: block " +
      std::to_string(wear["most_erased"][0]["block"].get<int>()) + " (" + std::to_string(most) + ")";
  EXPECT_NE(run.out.find(line), std::string::npos) << run.out;

  // Counts go on from where the sidecar left them: a second pack adds to them.
  CommandRun pack = Kalvori("bundle pack " + ShellQuote(module) + " " + ShellQuote(folder.path() / "t.exe"));
  ASSERT_EQ(pack.status, 0) << pack.err;
  EXPECT_GT(SidecarWear(module / "nand.img", 0, 1024)[1022].second, sidecar[1022].second);

  // A sidecar whose counts are garbage is refused by name and left as it is.
  const fs::path sidecar_path = module / "nand.img.json";
  nlohmann::json broken = nlohmann::json::parse(ReadFile(sidecar_path));
  broken["wear"][0] = nlohmann::json::parse("[[158, 1, -1, 0]]");
  WriteFile(sidecar_path, broken.dump());
  run = Kalvori("flash info " + ShellQuote(module));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("nand.img.json: 'wear' entry 0 run 0 holds -1"), std::string::npos) << run.err;
  EXPECT_EQ(ReadFile(sidecar_path), broken.dump());
}

TEST_F(FlashCommand, TheMapPictureIsWellFormedSvgWithTheRightCounts) {
  MakeNandWithAGrownBadBlock();
  fs::path svg = folder.path() / "map.svg";
  CommandRun run = Kalvori("flash map " + ShellQuote(module) + " --svg " + ShellQuote(svg));
  ASSERT_EQ(run.status, 0) << run.err;
  // The text form: block 0 the table, 57 factory-bad, 158 grown-bad and 159 the tester region's
  // second block, 1022 holding its first.
  EXPECT_NE(run.out.find("\n    0 T............... ................ ................ .........F......\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\n  128 ................ ..............Gt ................ ................\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\n  960 ................ ................ ............---- --F-----------tS\n"),
            std::string::npos)
      << run.out;

  XmlCounts xml = ReadXml(ReadFile(svg));
  ASSERT_TRUE(xml.well_formed) << xml.problem;
  EXPECT_EQ(xml.elements["svg"], 1);
  EXPECT_EQ(xml.rects_by_class,
            (std::map<std::string, int>{{"background", 1}, {"good", 1000}, {"table", 1}, {"tester", 2},
                                        {"factory-bad", 2}, {"grown-bad", 1}, {"spare-used", 1}, {"spare-free", 17},
                                        {"legend-good", 1}, {"legend-table", 1}, {"legend-tester", 1},
                                        {"legend-factory-bad", 1}, {"legend-grown-bad", 1},
                                        {"legend-spare-used", 1}, {"legend-spare-free", 1}}));
  std::string legend;
  for (const std::string& t : xml.texts) legend += t + "|";
  for (const char* line : {"good: 1000|", "grown-bad: 1|", "factory-bad: 2|", "spare free: 17|", "table block: 1|"}) {
    EXPECT_NE(legend.find(line), std::string::npos) << line << " in " << legend;
  }
}

TEST_F(FlashCommand, InfoOnANorModuleAndOnAnImageNotMadeYet) {
  ASSERT_EQ(Kalvori("module new " + ShellQuote(module)).status, 0);
  CommandRun run = Kalvori("flash info " + ShellQuote(module) + " --json");
  ASSERT_EQ(run.status, 0) << run.err;
  nlohmann::json info = nlohmann::json::parse(run.out);
  EXPECT_EQ(info["type"], "nor");
  EXPECT_EQ(info["nor"]["device_code"], "0x8922");
  EXPECT_EQ(info["nor"]["bytes"], 64u << 20);
  EXPECT_EQ(info["nor"]["parameter_blocks"], 4);
  EXPECT_EQ(info["nor"]["parameter_block_bytes"], 0x10000);
  EXPECT_EQ(info["nor"]["main_blocks"], 255);
  EXPECT_EQ(info["tester_region"]["state"], "erased");
  EXPECT_EQ(info["nor"]["wear"]["erases"], 0);
  ASSERT_EQ(info["nor"]["wear"]["devices"].size(), 2u);
  EXPECT_EQ(info["nor"]["wear"]["devices"][1]["erases"].size(), 259u);
  EXPECT_NE(Kalvori("flash info " + ShellQuote(module))
                .out.find("wear:          no block programmed or erased yet\n"),
            std::string::npos);
  // Looked at as the factory delivers it: no image was made.
  EXPECT_FALSE(fs::exists(module / "flash.img"));

  // Only NAND has a block map.
  run = Kalvori("flash map " + ShellQuote(module));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("only NAND has a block map"), std::string::npos) << run.err;
}

// The raw page-plus-spare layout: each page's 2048 data bytes, then its 64 spare bytes.
TEST_F(FlashCommand, ANandImageDumpedAndLoadedIntoAnotherModuleIsTheSame) {
  constexpr std::uint64_t kRawPage = 2048 + 64, kPages = 64;
  MakeNandWithAGrownBadBlock();
  fs::path dump = folder.path() / "nand.raw";
  CommandRun run = Kalvori("flash dump " + ShellQuote(module) + " " + ShellQuote(dump));
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(fs::file_size(dump), 1024 * kPages * kRawPage);
  // The table in block 0's last page (flash offset 0x1F800), the factory's bad-block mark in the first
  // spare byte of block 57's first page, and the bundle's first record in the spare block 1022 that
  // holds the tester region's first block.
  EXPECT_EQ(Bytes(dump, 63 * kRawPage, 2), "\x4E\x52");
  EXPECT_NE(Bytes(dump, 57 * kPages * kRawPage + 2048, 1), "\xFF");
  EXPECT_EQ(Bytes(dump, 1022 * kPages * kRawPage, 4), "TEST");
  EXPECT_EQ(Bytes(dump, 158 * kPages * kRawPage, 4), "\xFF\xFF\xFF\xFF");

  fs::path other = folder.path() / "other";
  WriteFile(other / "module.json", R"({"cpu_product": 8, "flash": {"type": "nand", "chip": "0xF1EC", "image": "n.img",
      "factory_bad_blocks": [57, 1010]}})");
  fs::create_directories(other / "root");
  run = Kalvori("flash load " + ShellQuote(other) + " " + ShellQuote(dump));
  ASSERT_EQ(run.status, 0) << run.err;
  run = Kalvori("bundle list " + ShellQuote(other));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\\t.exe  (launched)"), std::string::npos) << run.out;
  fs::path again = folder.path() / "again.raw";
  ASSERT_EQ(Kalvori("flash dump " + ShellQuote(other) + " " + ShellQuote(again)).status, 0);
  EXPECT_TRUE(SameFiles(dump, again));
  // A load puts cells in place from outside: the new image has worn nothing, and an image loaded over
  // keeps the counts it had.
  EXPECT_EQ(nlohmann::json::parse(ReadFile(other / "n.img.json"))["wear"], nlohmann::json::parse("[[]]"));
  const nlohmann::json worn = nlohmann::json::parse(ReadFile(module / "nand.img.json"))["wear"];
  ASSERT_NE(worn, nlohmann::json::parse("[[]]"));
  ASSERT_EQ(Kalvori("flash load " + ShellQuote(module) + " " + ShellQuote(again)).status, 0);
  EXPECT_EQ(nlohmann::json::parse(ReadFile(module / "nand.img.json"))["wear"], worn);

  // A file of another size is refused, and nothing is made.
  fs::path fresh = folder.path() / "fresh";
  WriteFile(fresh / "module.json", R"({"cpu_product": 8, "flash": {"type": "nand", "chip": "0xF1EC", "image": "n.img"}})");
  fs::create_directories(fresh / "root");
  WriteFile(folder.path() / "short.raw", std::string(kRawPage * kPages, '\xFF'));
  run = Kalvori("flash load " + ShellQuote(fresh) + " " + ShellQuote(folder.path() / "short.raw"));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("holds 135168 bytes; the flash holds 138412032"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(fresh / "n.img"));
}

// A pair of 8-bit devices: each device's pages with their spare bytes, device 0 (the low byte lane)
// first; the table sits in device 0's first block, at 0x3E00 of its own bytes.
TEST_F(FlashCommand, OneDeviceOfAPairIsDumpedAlone) {
  constexpr std::uint64_t kRawPage = 512 + 16, kDevice = 2048 * 32 * kRawPage;
  WriteFile(module / "module.json", R"({"cpu_product": 8, "flash": {"type": "nand", "chip": "0x75EC", "image": "n.img"}})");
  fs::create_directories(module / "root");
  fs::path dump = folder.path() / "device0.raw";
  CommandRun run = Kalvori("flash dump " + ShellQuote(module) + " " + ShellQuote(dump) + " --device 0");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(fs::file_size(dump), kDevice);
  EXPECT_EQ(Bytes(dump, (0x3E00 / 512) * kRawPage, 2), "\x4E\x52");
  run = Kalvori("flash dump " + ShellQuote(module) + " " + ShellQuote(dump) + " --chip-select 1");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("chip 0x75EC has no device 0 on chip select 1"), std::string::npos) << run.err;
}

// NOR: the flash as the processor reads it.
TEST_F(FlashCommand, ANorImageIsPlainBinary) {
  ASSERT_EQ(Kalvori("module new " + ShellQuote(module) + " --size 32M --tester").status, 0);
  WriteFile(folder.path() / "t.exe", "program");
  ASSERT_EQ(Kalvori("bundle pack " + ShellQuote(module) + " " + ShellQuote(folder.path() / "t.exe")).status, 0);
  fs::path dump = folder.path() / "nor.bin";
  CommandRun run = Kalvori("flash dump " + ShellQuote(module) + " " + ShellQuote(dump));
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(fs::file_size(dump), 32u << 20);
  EXPECT_EQ(Bytes(dump, 0x13C0000, 5), "TEST\\");
  fs::path other = folder.path() / "other";
  ASSERT_EQ(Kalvori("module new " + ShellQuote(other) + " --size 32M").status, 0);
  run = Kalvori("flash load " + ShellQuote(other) + " " + ShellQuote(dump));
  ASSERT_EQ(run.status, 0) << run.err;
  run = Kalvori("bundle list " + ShellQuote(other));
  EXPECT_NE(run.out.find("\\t.exe  (launched)"), std::string::npos) << run.out;
}

TEST_F(FlashCommand, InjectRewritesOnlyTheFlashMemberInTheReadersWords) {
  ASSERT_EQ(Kalvori("module new " + ShellQuote(module) + " --flash nand").status, 0);
  const std::string before = ReadFile(module / "module.json");
  CommandRun run = Kalvori("flash inject " + ShellQuote(module) +
                           " --bad-block 158 --program-fail 7:2 --bit-flip 5:1:2 --power-cut 3:erase");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("block 158 goes bad: its programs and erases fail from now on\n"), std::string::npos);
  const std::string after = ReadFile(module / "module.json");
  // Everything around the flash member's value is as it was, comments included.
  const std::size_t start = before.find("\"flash\": ") + 9;
  const std::size_t line_end = before.find('\n', start);
  ASSERT_EQ(after.substr(0, start), before.substr(0, start));
  ASSERT_EQ(after.substr(after.size() - (before.size() - line_end)), before.substr(line_end));

  sim::Description d = sim::LoadDescription(module);
  const sim::NandFaultPlan& f = d.flash.nand.faults;
  ASSERT_EQ(f.program_fail.size(), 2u);
  EXPECT_EQ(f.program_fail[0].block.block, 158u);
  EXPECT_EQ(f.program_fail[1].block.block, 7u);
  EXPECT_EQ(f.program_fail[1].after, 2u);
  ASSERT_EQ(f.erase_fail.size(), 1u);
  EXPECT_EQ(f.erase_fail[0].block.block, 158u);
  ASSERT_EQ(f.bit_flips.size(), 1u);
  EXPECT_EQ(f.bit_flips[0].block.block, 5u);
  EXPECT_EQ(f.bit_flips[0].page, 1u);
  EXPECT_EQ(f.bit_flips[0].bits_per_256, 2u);
  ASSERT_TRUE(f.power_cut);
  EXPECT_EQ(f.power_cut->at, 3u);
  EXPECT_EQ(f.power_cut->op, sim::NandOperation::kErase);

  // The same block twice is one entry; what the reader refuses is not written.
  ASSERT_EQ(Kalvori("flash inject " + ShellQuote(module) + " --bad-block 158").status, 0);
  EXPECT_EQ(ReadFile(module / "module.json"), after);
  for (const auto& [options, field] : std::vector<std::pair<std::string, std::string>>{
           {"--power-cut 3:bogus", "flash.faults.power_cut.op"},
           {"--bad-block 5000", "flash.faults.program_fail[2]"},
           {"--bit-flip 5:64", "flash.faults.bit_flips[1].page"},
           {"--erase-fail x", "--erase-fail 'x' is not a number"}}) {
    run = Kalvori("flash inject " + ShellQuote(module) + " " + options);
    EXPECT_EQ(run.status, 2) << options;
    EXPECT_NE(run.err.find(field), std::string::npos) << options << ": " << run.err;
    EXPECT_NE(run.err.find("nothing was written"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(module / "module.json"), after) << options;
  }

  ASSERT_EQ(Kalvori("flash inject " + ShellQuote(module) + " --clear").status, 0);
  EXPECT_EQ(ReadFile(module / "module.json"), before);

  // Bit flips are NAND's; a module without flash takes no flash fault.
  fs::path nor = folder.path() / "nor";
  ASSERT_EQ(Kalvori("module new " + ShellQuote(nor)).status, 0);
  EXPECT_EQ(Kalvori("flash inject " + ShellQuote(nor) + " --bit-flip 5").status, 2);
  ASSERT_EQ(Kalvori("flash inject " + ShellQuote(nor) + " --erase-fail 4:1 --power-cut 2:write:half:7").status, 0);
  const sim::NorFlashFaults nor_faults = sim::LoadDescription(nor).flash.nor.faults;
  EXPECT_EQ(nor_faults.erase_fail.at(0).after, 1u);
  ASSERT_TRUE(nor_faults.power_cut);
  EXPECT_EQ(nor_faults.power_cut->at, 2u);
  EXPECT_EQ(nor_faults.power_cut->op, sim::NorFlashFaults::PowerCutAt::Op::kWrite);
  EXPECT_EQ(nor_faults.power_cut->tear.shape, sim::TearShape::kHalf);
  EXPECT_EQ(nor_faults.power_cut->tear.seed, 7u);
  fs::path none = folder.path() / "none";
  ASSERT_EQ(Kalvori("module new " + ShellQuote(none) + " --flash none").status, 0);
  run = Kalvori("flash inject " + ShellQuote(none) + " --bad-block 5");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("has no flash"), std::string::npos) << run.err;
}

// The README's three commands, run as they stand there, from nothing to the picture of a NAND module
// with a grown bad block.
TEST_F(FlashCommand, TheReadmeWalkThroughEndsWithAGrownBadBlockInThePicture) {
  const std::string readme = ReadFile(fs::path(KALVORI_SOURCE_DIR) / "README.md");
  const std::size_t section = readme.find("### From nothing to a grown bad block");
  ASSERT_NE(section, std::string::npos);
  const std::size_t open = readme.find("```\n", section) + 4;
  const std::size_t close = readme.find("```\n", open);
  std::vector<std::string> commands;
  for (std::size_t at = open; at < close;) {
    std::size_t end = readme.find('\n', at);
    commands.push_back(readme.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(commands.size(), 3u);
  for (std::string command : commands) {
    // Each "kalvori" that starts a command is the built program.
    for (std::size_t at = 0; (at = command.find("kalvori ", at)) != std::string::npos;) {
      if (at == 0 || command.compare(at - 3, 3, "&& ") == 0) {
        command.replace(at, 8, testing_support::KalvoriProgram() + " ");
      }
      at = command.find(' ', at) + 1;
    }
    std::string line = "cd " + ShellQuote(folder.path()) + " && " + command + " >>out.txt 2>&1";
    ASSERT_EQ(std::system(line.c_str()), 0) << command << "\n" << ReadFile(folder.path() / "out.txt");
  }
  XmlCounts xml = ReadXml(ReadFile(folder.path() / "nand-demo.svg"));
  ASSERT_TRUE(xml.well_formed) << xml.problem;
  EXPECT_EQ(xml.rects_by_class["grown-bad"], 1);
  EXPECT_EQ(xml.rects_by_class["tester"], 2);
  EXPECT_EQ(xml.rects_by_class["spare-free"], 19);
  EXPECT_NE(ReadFile(folder.path() / "out.txt").find("\n  128 ................ ..............Gt "), std::string::npos);
}

TEST_F(FlashCommand, AModuleWithoutFlashOrWithAMalformedDescriptionIsRefused) {
  WriteFile(module / "module.json", R"({"cpu_product": 17})");
  CommandRun run = Kalvori("flash info " + ShellQuote(module));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("has no flash"), std::string::npos) << run.err;
  WriteFile(module / "module.json", R"({"cpu_product": 17, "flash": {"type": "nor", "size_code": 99}})");
  run = Kalvori("flash info " + ShellQuote(module));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("flash.size_code"), std::string::npos) << run.err;
}

}  // namespace
