// Failures of the operating system's services asked for in module.json ("os_faults"), and the flash
// read failure of a NAND page, each rehearsed through `kalvori sim` with the messages a user sees.
#include <gtest/gtest.h>

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

class OsFaults : public ::testing::Test {
 protected:
  TempFolder folder;
  fs::path module = folder.path() / "module";

  CommandRun Kalvori(const std::string& arguments) { return testing_support::RunKalvori(arguments, folder.path()); }

  // A NOR module with the tester flag whose bundle holds a.txt (100 bytes), b.txt and t.exe, and
  // the given extra fields; returns what the run printed before its summary. The bundle is packed
  // on the flash described by flash_at_pack when given (one without faults).
  std::string RunWithBundle(const std::string& extra, const std::string& flash = R"({"type": "nor", "image": "f.img"})",
                            const std::string& product = "17", const std::string& flash_at_pack = "") {
    auto describe = [&](const std::string& f) {
      WriteFile(module / "module.json", "{\"cpu_product\": " + product +
                                            ", \"boot_config\": {\"item12\": \"0x00800000\"}, \"flash\": " + f + extra +
                                            "}");
    };
    describe(flash_at_pack.empty() ? flash : flash_at_pack);
    fs::create_directories(module / "root");
    WriteFile(folder.path() / "a.txt", std::string(100, 'a'));
    WriteFile(folder.path() / "b.txt", std::string(3000, 'b'));
    WriteFile(folder.path() / "t.exe", "program");
    CommandRun pack = Kalvori("bundle pack " + ShellQuote(module) + " " + ShellQuote(folder.path() / "a.txt") + " " +
                              ShellQuote(folder.path() / "b.txt") + " " + ShellQuote(folder.path() / "t.exe"));
    EXPECT_EQ(pack.status, 0) << pack.err;
    describe(flash);
    CommandRun run = Kalvori("sim " + ShellQuote(module) + " --virtual-time");
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out.substr(0, run.out.find("\n---"));
  }
};

TEST_F(OsFaults, TheTesterCannotBeStarted) {
  EXPECT_EQ(RunWithBundle(R"(, "os_faults": {"program_start_fail": ["\\t.exe"]})"),
            "Looking for KalvoriTester...\r\nFound \\a.txt\r\nFound \\b.txt\r\nFound \\t.exe\r\nLaunching \\t.exe\r\n"
            "ERROR Creating Process\r\n");
}

TEST_F(OsFaults, AProgramOnACardCannotBeStartedWithTheGivenError) {
  WriteFile(module / "module.json", R"({"cpu_product": 17, "volumes": ["Card"],
      "os_faults": {"program_start_fail": [{"image": "SET*.EXE", "error": 5}]}})");
  fs::create_directories(module / "root");
  WriteFile(module / "volumes" / "Card" / "AutoRun" / "setup.exe", "p");
  WriteFile(module / "volumes" / "Card" / "AutoRun" / "other.exe", "p");
  CommandRun run = Kalvori("sim " + ShellQuote(module) + " --virtual-time");
  ASSERT_EQ(run.status, 0) << run.err;
  // The pattern fails setup.exe, not other.exe.
  EXPECT_EQ(run.out.substr(0, run.out.find("\n---")), "ERROR: Failed Launching \\Card\\AutoRun\\setup.exe (Error 5)\r\n");
  EXPECT_NE(run.out.find("programs started: 1\n   1.500 s  \\Card\\AutoRun\\other.exe\n"), std::string::npos) << run.out;
}

TEST_F(OsFaults, TheDiskFillsAfterSomeBytes) {
  EXPECT_EQ(RunWithBundle(R"(, "os_faults": {"write_fail": [{"after_bytes": 1100}]})"),
            "Looking for KalvoriTester...\r\nFound \\a.txt\r\nFound \\b.txt\r\nERROR Writing to File\r\n");
  EXPECT_EQ(ReadFile(module / "root" / "a.txt").size(), 100u);
  EXPECT_EQ(ReadFile(module / "root" / "b.txt"), std::string(1000, 'b'));  // what fitted
}

TEST_F(OsFaults, OneFileCannotBeWritten) {
  EXPECT_EQ(RunWithBundle(R"(, "os_faults": {"write_fail": [{"path": "\\b.txt"}]})"),
            "Looking for KalvoriTester...\r\nFound \\a.txt\r\nFound \\b.txt\r\nERROR Writing to File\r\n");
  EXPECT_EQ(ReadFile(module / "root" / "a.txt").size(), 100u);
  EXPECT_EQ(ReadFile(module / "root" / "b.txt"), "");
}

TEST_F(OsFaults, TheBundleCannotBeReadIntoMemory) {
  EXPECT_EQ(RunWithBundle(R"(, "os_faults": {"heap_fail_above": 1024})"),
            "Looking for KalvoriTester...\r\nFound \\a.txt\r\nFound \\b.txt\r\nERROR Reading Data from Flash\r\n");
}

// A NAND page whose bits flip beyond what the controller's error correction mends cannot be read:
// the hand-off ends at that payload.
TEST_F(OsFaults, ANandPageThatCannotBeReadEndsTheHandOff) {
  // The tester region starts at block 158 of the 0xF1EC (128 KiB blocks); b.txt's payload runs from
  // page 0 into page 1, whose bits flip beyond what the ECC corrects.
  EXPECT_EQ(RunWithBundle("", R"({"type": "nand", "chip": "0xF1EC", "image": "n.img",
      "faults": {"bit_flips": [{"block": 158, "page": 1, "bits_per_256": 2}]}})",
                          "8", R"({"type": "nand", "chip": "0xF1EC", "image": "n.img"})"),
            "Looking for KalvoriTester...\r\nFound \\a.txt\r\nFound \\b.txt\r\nERROR Reading Data from Flash\r\n");
  // One flipped bit in each 256 bytes is mended: the hand-off goes through.
  EXPECT_EQ(RunWithBundle("", R"({"type": "nand", "chip": "0xF1EC", "image": "n.img",
      "faults": {"bit_flips": [{"block": 158, "page": 1, "bits_per_256": 1}]}})",
                          "8", R"({"type": "nand", "chip": "0xF1EC", "image": "n.img"})"),
            "Looking for KalvoriTester...\r\nFound \\a.txt\r\nFound \\b.txt\r\nFound \\t.exe\r\nLaunching \\t.exe\r\n");
  EXPECT_EQ(ReadFile(module / "root" / "b.txt"), std::string(3000, 'b'));
}

TEST_F(OsFaults, AFlashThatCannotBeProbedEndsTheHandOffAtTheFirstHeader) {
  EXPECT_EQ(RunWithBundle("", R"({"type": "nand", "chip": "0xF1EC", "image": "n.img", "faults": {"id": "0x1234"}})", "8",
                          R"({"type": "nand", "chip": "0xF1EC", "image": "n.img"})"),
            "Looking for KalvoriTester...\r\nCannot Initialize Flash Library\r\nERROR Reading Header from Flash\r\n");
}

TEST_F(OsFaults, MistakesAreNamed) {
  for (const auto& [json, field] : std::vector<std::pair<std::string, std::string>>{
           {R"({"program_start_fail": "x.exe"})", "os_faults.program_start_fail"},
           {R"({"program_start_fail": ["a/b.exe"]})", "os_faults.program_start_fail[0]"},
           {R"({"write_fail": [{}]})", "os_faults.write_fail[0]"},
           {R"({"write_fail": [{"after_bytes": -1}]})", "os_faults.write_fail[0].after_bytes"},
           {R"({"disk_full": 1})", "os_faults.disk_full"}}) {
    WriteFile(module / "module.json", "{\"cpu_product\": 17, \"os_faults\": " + json + "}");
    try {
      sim::LoadDescription(module);
      ADD_FAILURE() << json << " was taken";
    } catch (const sim::DescriptionError& e) {
      EXPECT_NE(std::string(e.what()).find("field '" + field + "'"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
