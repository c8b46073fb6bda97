// kalvori bundle on a NOR module image: pack, list and extract through the flash library, the
// hand-off serving what was packed, and refusals that leave the image as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sim/core/description.h"
#include "sim/module.h"
#include "sim/hw/nor_flash.h"
#include "sim/services.h"
#include "tester/tester.h"
#include "tests/support/kalvori_command.h"
#include "tests/support/module_fixture.h"
#include "tools/bundle.h"

namespace {

using testing_support::ReadFile;
using testing_support::WriteFile;

constexpr std::uint32_t kRegion = TESTER_REGION_OFFSET;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class BundlePacking : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = folder_.path() / "module";
    WriteModule({{"cpu_product", 17},
                 {"boot_config", {{"item12", "0x00800000"}}},
                 {"flash", {{"type", "nor"}, {"image", "flash.img"}}}});
    WriteFile(folder_.path() / "in" / "readme.txt", "read me\n");
    WriteFile(folder_.path() / "in" / "tester.exe", std::string("MZ\x90\x00\x03", 5));
    WriteFile(folder_.path() / "in" / "odd.bin", std::string(1021, '\x5A'));
  }

  void WriteModule(const nlohmann::json& description) {
    WriteFile(module_ / "module.json", description.dump(2));
    std::filesystem::create_directories(module_ / "root");
  }

  std::string In(const std::string& name) { return (folder_.path() / "in" / name).string(); }

  // Runs the kalvori program with the arguments.
  Outcome Kalvori(const std::vector<std::string>& args) {
    std::string arguments;
    for (const std::string& a : args) arguments += " " + testing_support::ShellQuote(a);
    testing_support::CommandRun run = testing_support::RunKalvori(arguments, folder_.path());
    return {run.status, run.out, run.err};
  }

  // The image and its sidecar, to compare before and after.
  std::string Image() { return ReadFile(module_ / "flash.img") + ReadFile(module_ / "flash.img.json"); }

  testing_support::TempFolder folder_;
  std::filesystem::path module_;
};

TEST_F(BundlePacking, PackedFilesComeBackAndAreServedByTheHandOff) {
  std::vector<tools::BundleFile> files = {tools::LoadBundleInput(In("readme.txt")),
                                          tools::LoadBundleInput(In("odd.bin") + "=\\data\xC3\xA9.bin"),
                                          tools::LoadBundleInput(In("tester.exe") + "=\\KalvoriTester.exe")};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> progress;
  {
    tools::ModuleFlash flash(module_);
    ASSERT_TRUE(
        tools::WriteBundle(flash, tools::EncodeBundle(files), [&](std::uint32_t done, std::uint32_t total) {
          progress.push_back({done, total});
        }));
    EXPECT_EQ(progress, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 0x40000}}));  // one block

    tools::BundleContents contents = tools::ReadBundle(flash);
    EXPECT_EQ(contents.problem, "");
    ASSERT_EQ(contents.records.size(), 3u);
    EXPECT_EQ(contents.records[1].file.name, "\\data\xE9.bin");
    EXPECT_EQ(contents.records[2].offset, kRegion + 48 + 40 + 1024);
    EXPECT_EQ(contents.program, 2u);
    tools::ExtractBundle(contents, folder_.path() / "out");
  }
  EXPECT_EQ(ReadFile(folder_.path() / "out" / "readme.txt"), "read me\n");
  EXPECT_EQ(ReadFile(folder_.path() / "out" / "data\xC3\xA9.bin"), std::string(1021, '\x5A'));
  EXPECT_EQ(ReadFile(folder_.path() / "out" / "KalvoriTester.exe"), std::string("MZ\x90\x00\x03", 5));

  // The module starts up and serves the bundle.
  sim::Module module(sim::LoadDescription(module_));
  RunTesterHandOff();
  EXPECT_EQ(module.DebugTranscript(),
            "Looking for KalvoriTester...\r\n"
            "Found \\readme.txt\r\n"
            "Found \\data\xC3\xA9.bin\r\n"
            "Found \\KalvoriTester.exe\r\n"
            "Launching \\KalvoriTester.exe\r\n");
  EXPECT_EQ(ReadFile(module_ / "root" / "data\xC3\xA9.bin"), std::string(1021, '\x5A'));
  ASSERT_EQ(module.os().processes.launches().size(), 1u);
}

TEST_F(BundlePacking, APayloadLongerThanOneReadComesBackWhole) {
  // The flash is read in pieces; a byte out of place at a piece's edge shows in this pattern.
  std::string long_payload(150001, '\0');
  for (std::size_t i = 0; i < long_payload.size(); ++i) long_payload[i] = static_cast<char>(i * 7 + i / 251);
  WriteFile(folder_.path() / "in" / "long.bin", long_payload);
  std::vector<tools::BundleFile> files = {tools::LoadBundleInput(In("long.bin")),
                                          tools::LoadBundleInput(In("tester.exe"))};
  tools::ModuleFlash flash(module_);
  ASSERT_TRUE(tools::WriteBundle(flash, tools::EncodeBundle(files), {}));
  tools::BundleContents contents = tools::ReadBundle(flash);
  EXPECT_EQ(contents.problem, "");
  ASSERT_EQ(contents.records.size(), 2u);
  EXPECT_TRUE(contents.records[0].file.payload == std::vector<std::uint8_t>(long_payload.begin(), long_payload.end()));
  EXPECT_EQ(contents.records[1].file.name, "\\tester.exe");

  // A range that would run past 4 GiB is refused whole, not read in part from the flash's start.
  std::vector<std::uint8_t> beyond(8);
  EXPECT_FALSE(flash.Read(0xFFFFFFFCu, beyond));
}

TEST_F(BundlePacking, TheCommandPacksListsAndExtracts) {
  Outcome pack = Kalvori({"bundle", "pack", module_.string(), In("readme.txt"), In("tester.exe")});
  EXPECT_EQ(pack.status, 0) << pack.err;
  EXPECT_NE(pack.out.find("packed 2 files"), std::string::npos) << pack.out;
  EXPECT_NE(pack.out.find("will launch \\tester.exe"), std::string::npos) << pack.out;
  EXPECT_NE(pack.err.find("100%"), std::string::npos) << pack.err;  // the progress bar

  Outcome list = Kalvori({"bundle", "list", module_.string()});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("0x013C0000          8  \\readme.txt"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("0x013C0030          5  \\tester.exe  (launched)"), std::string::npos) << list.out;

  // The same for scripts.
  Outcome json = Kalvori({"bundle", "list", "--json", module_.string()});
  ASSERT_EQ(json.status, 0) << json.err;
  nlohmann::json listed = nlohmann::json::parse(json.out);
  ASSERT_EQ(listed["records"].size(), 2u) << json.out;
  EXPECT_EQ(listed["records"][1]["offset"], kRegion + 0x30);
  EXPECT_EQ(listed["records"][1]["size"], 5);
  EXPECT_EQ(listed["records"][1]["name"], "\\tester.exe");
  EXPECT_EQ(listed["records"][1]["launched"], true);
  EXPECT_EQ(listed["records"][0]["launched"], false);
  EXPECT_EQ(listed["launched"], "\\tester.exe");
  EXPECT_EQ(listed["bytes"], 13);
  EXPECT_TRUE(listed["problem"].is_null());

  Outcome extract = Kalvori({"bundle", "extract", module_.string(), (folder_.path() / "x").string()});
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(ReadFile(folder_.path() / "x" / "tester.exe"), std::string("MZ\x90\x00\x03", 5));

  // A second pack replaces the bundle; without a program it warns.
  Outcome again = Kalvori({"bundle", "pack", module_.string(), In("odd.bin")});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find("warning: no file name ends in \".exe\""), std::string::npos) << again.err;
  list = Kalvori({"bundle", "list", module_.string()});
  EXPECT_NE(list.out.find("1 file, 1021 bytes"), std::string::npos) << list.out;
}

TEST_F(BundlePacking, TheSimulatedModuleServesAPackedBundleOnce) {
  ASSERT_EQ(Kalvori({"bundle", "pack", module_.string(), In("readme.txt"), In("tester.exe")}).status, 0);

  Outcome first = Kalvori({"sim", module_.string(), "--virtual-time"});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out.rfind("Looking for KalvoriTester...\r\n"
                            "Found \\readme.txt\r\n"
                            "Found \\tester.exe\r\n"
                            "Launching \\tester.exe\r\n",
                            0),
            0u)
      << first.out;
  EXPECT_NE(first.out.find("\\tester.exe\n"), std::string::npos) << first.out;  // in the started programs

  Outcome second = Kalvori({"sim", module_.string(), "--virtual-time"});
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out.rfind("Looking for KalvoriTester...\r\nERROR No Exe found to Launch!\r\n", 0), 0u)
      << second.out;
  EXPECT_NE(second.out.find("programs started: 0\n"), std::string::npos) << second.out;
}

TEST_F(BundlePacking, TheDemoModuleServesItsBundleAtTheFirstRunOnly) {
  Outcome first = Kalvori({"sim", "--virtual-time", "--keep-demo"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string marker = "[sim] the demo module is in ";
  std::size_t at = first.err.find(marker);
  ASSERT_NE(at, std::string::npos) << first.err;
  std::filesystem::path demo =
      first.err.substr(at + marker.size(), first.err.find('\n', at) - at - marker.size());
  EXPECT_EQ(first.out.rfind("Looking for KalvoriTester...\r\n", 0), 0u) << first.out;
  EXPECT_NE(first.out.find("Launching \\KalvoriTester.exe\r\n"), std::string::npos) << first.out;

  Outcome second = Kalvori({"sim", demo.string(), "--virtual-time", "--script", "/dev/null"});
  std::filesystem::remove_all(demo);
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out.rfind("Looking for KalvoriTester...\r\nERROR No Exe found to Launch!\r\n", 0), 0u)
      << second.out;
}

TEST_F(BundlePacking, RefusalsWriteNothing) {
  ASSERT_EQ(Kalvori({"bundle", "pack", module_.string(), In("tester.exe")}).status, 0);
  const std::string before = Image();

  WriteFile(folder_.path() / "in" / "big.bin", std::string(0x40000 - 40 - 40 + 1, 'b'));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<Case> cases = {
      {{In("tester.exe") + "=\\" + std::string(31, 'n')}, "at most 31"},
      {{In("tester.exe") + "=\\\xE6\x97\xA5\xE6\x9C\xAC.exe"}, "Windows-1252"},
      {{In("tester.exe") + "=\\a*b.exe"}, "no device path"},
      {{In("missing.exe")}, "missing.exe"},
      {{In("big.bin"), In("tester.exe")}, "the tester region holds 262144"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"bundle", "pack", module_.string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome run = Kalvori(args);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("nothing was written"), std::string::npos) << run.err;
  }
  EXPECT_EQ(Image(), before);

  // A module without flash.
  WriteModule({{"cpu_product", 17}});
  Outcome none = Kalvori({"bundle", "pack", module_.string(), In("tester.exe")});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("has no flash"), std::string::npos) << none.err;
}

TEST_F(BundlePacking, ExtractWritesNothingOfABundleItCannotWriteWhole) {
  const std::filesystem::path out = folder_.path() / "out";
  auto Place = [&](const std::vector<tools::BundleFile>& files) {
    sim::Module module(sim::LoadDescription(module_));
    std::vector<std::uint8_t> region(TESTER_REGION_LENGTH, 0xFF);
    std::vector<std::uint8_t> encoded = tools::EncodeBundle(files);
    std::copy(encoded.begin(), encoded.end(), region.begin());
    module.FindDevice<sim::NorFlash>()->Poke(kRegion, region);
  };
  auto Bytes = [](const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); };

  // A file and then a folder of the same name, either way round and in any case: the hand-off
  // could not write both, and nothing is written.
  for (const auto& [first, second] : std::vector<std::pair<std::string, std::string>>{
           {"\\x", "\\x\\y"}, {"\\x\\y", "\\x"}, {"\\x", "\\X\\y"}}) {
    Place({{"\\a.txt", Bytes("a")}, {first, Bytes("1")}, {second, Bytes("2")}});
    Outcome run = Kalvori({"bundle", "extract", module_.string(), out.string()});
    EXPECT_EQ(run.status, 1) << first << " " << second;
    EXPECT_NE(run.err.find("the record at 0x013C002C ('" + first + "')"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("the record at 0x013C0058 ('" + second + "')"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("nothing was extracted"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << first << " " << second;
  }

  // Names that differ only in case are one file or folder, as on the module: the later record
  // replaces the earlier one, in the first one's spelling.
  Place({{"\\Sub\\a.txt", Bytes("a")}, {"\\SUB\\b.txt", Bytes("b")}, {"\\sub\\A.TXT", Bytes("A")}});
  Outcome run = Kalvori({"bundle", "extract", module_.string(), out.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(out / "Sub" / "a.txt"), "A");
  EXPECT_EQ(ReadFile(out / "Sub" / "b.txt"), "b");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 1);

  // What the folder already holds may stand in the way too: refused before anything is written.
  std::filesystem::remove_all(out);
  WriteFile(out / "Sub", "a file");
  std::filesystem::create_directories(out / "z.txt");
  Place({{"\\z.txt", Bytes("z")}, {"\\Sub\\a.txt", Bytes("a")}});
  run = Kalvori({"bundle", "extract", module_.string(), out.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("is a folder where a file is to go"), std::string::npos) << run.err;
  std::filesystem::remove(out / "z.txt");
  run = Kalvori({"bundle", "extract", module_.string(), out.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("is a file where a folder of the bundle is to go"), std::string::npos) << run.err;
  EXPECT_EQ(ReadFile(out / "Sub"), "a file");
  EXPECT_FALSE(std::filesystem::exists(out / "z.txt"));
}

TEST_F(BundlePacking, ABundleFillingTheRegionMustNotRunIntoARecordAfterIt) {
  std::vector<tools::BundleFile> full = {{"\\t.exe", std::vector<std::uint8_t>(0x40000 - 40, 0x11)}};
  {
    sim::Module module(sim::LoadDescription(module_));
    module.FindDevice<sim::NorFlash>()->Poke(kRegion + 0x40000,
                                             tools::EncodeBundle({{"\\x.txt", {1, 2, 3}}}));
  }
  tools::ModuleFlash flash(module_);
  EXPECT_THROW(tools::WriteBundle(flash, tools::EncodeBundle(full), nullptr), tools::BundleError);
  EXPECT_EQ(flash.module().FindDevice<sim::NorFlash>()->EraseCount(kRegion), 0u);
}

}  // namespace
