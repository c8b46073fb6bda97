// `kalvori module new`: every choice writes a folder that the configuration reader takes and that
// `kalvori sim` runs, doing what the choice promises; refusals write nothing.
#include <gtest/gtest.h>

#include "sim/core/description.h"
#include "tests/support/kalvori_command.h"
#include "tests/support/module_fixture.h"
#include "tools/module_new.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CommandRun;
using testing_support::ReadFile;
using testing_support::ShellQuote;
using testing_support::TempFolder;
using testing_support::WriteFile;

class ModuleNew : public ::testing::Test {
 protected:
  TempFolder folder;

  CommandRun Kalvori(const std::string& arguments) { return testing_support::RunKalvori(arguments, folder.path()); }

  // Makes a module with the options and runs it; returns the debug output before the summary.
  std::string MakeAndRun(const std::string& name, const std::string& options, CommandRun* whole = nullptr) {
    fs::path dir = folder.path() / name;
    CommandRun made = Kalvori("module new " + ShellQuote(dir) + " " + options);
    EXPECT_EQ(made.status, 0) << options << ": " << made.err;
    sim::LoadDescription(dir);  // the reader takes it as written
    CommandRun run = Kalvori("sim " + ShellQuote(dir) + " --virtual-time");
    EXPECT_EQ(run.status, 0) << options << ": " << run.err;
    if (whole) *whole = run;
    return run.out.substr(0, run.out.find("\n---"));
  }
};

TEST_F(ModuleNew, EachFlashAndTheTesterFlagBoot) {
  EXPECT_EQ(MakeAndRun("plain", ""), "");  // NOR, tester flag clear: the hand-off stays silent
  const std::string empty_region = "Looking for KalvoriTester...\r\nERROR No Exe found to Launch!\r\n";
  EXPECT_EQ(MakeAndRun("nor", "--tester --device-code 0x881A --size 32M"), empty_region);
  for (const char* chip : {"0x75EC", "0x76EC", "0xF1EC", "0xD3EC", "0xDCAD"}) {
    EXPECT_EQ(MakeAndRun(std::string("nand") + chip, std::string("--flash nand --tester --chip ") + chip), empty_region)
        << chip;
  }
  EXPECT_EQ(MakeAndRun("nand-os", "--flash nand --os-driver --tester"), empty_region);
  // A NOR flash that ends below the tester region: the first header read fails, as on such a module.
  EXPECT_EQ(MakeAndRun("small", "--tester --size 16M"),
            "Looking for KalvoriTester...\r\nERROR Reading Header from Flash\r\n");
  EXPECT_EQ(MakeAndRun("none", "--flash none"), "");

  sim::Description nand = sim::LoadDescription(folder.path() / "nand-os");
  EXPECT_EQ(nand.flash.type, sim::FlashConfig::Type::kNand);
  EXPECT_TRUE(nand.flash.os_driver);
  EXPECT_EQ(sim::Description::ProductOfMainId(nand.cpu_main_id), 8u);
  sim::Description nor = sim::LoadDescription(folder.path() / "nor");
  EXPECT_EQ(nor.flash.nor.device_code, 0x881A);
  EXPECT_EQ(nor.flash.nor.size_code, 24);  // two devices of 16 MiB
}

TEST_F(ModuleNew, ABundlePackedIntoANewNandModuleIsServed) {
  fs::path dir = folder.path() / "m";
  ASSERT_EQ(Kalvori("module new " + ShellQuote(dir) + " --flash nand --chip 0xD3EC --tester").status, 0);
  WriteFile(folder.path() / "t.exe", "program");
  CommandRun pack = Kalvori("bundle pack " + ShellQuote(dir) + " " + ShellQuote(folder.path() / "t.exe"));
  ASSERT_EQ(pack.status, 0) << pack.err;
  CommandRun run = Kalvori("sim " + ShellQuote(dir) + " --virtual-time");
  EXPECT_EQ(run.out.rfind("Looking for KalvoriTester...\r\nFound \\t.exe\r\nLaunching \\t.exe\r\n", 0), 0u) << run.out;
}

TEST_F(ModuleNew, TheFlashDiskAndTheCardAreServed) {
  fs::path dir = folder.path() / "v";
  ASSERT_EQ(Kalvori("module new " + ShellQuote(dir) + " --flash-disk --card 'Storage Card'").status, 0);
  EXPECT_TRUE(fs::is_directory(dir / "root" / "Windows"));
  WriteFile(dir / "volumes" / "Flash Disk" / "AutoRun" / "disk.exe", "p");
  WriteFile(dir / "volumes" / "Storage Card" / "AutoCopy" / "Windows" / "c.txt", "copied");
  WriteFile(dir / "volumes" / "Storage Card" / "AutoRun" / "card.exe", "p");
  CommandRun run = Kalvori("sim " + ShellQuote(dir) + " --virtual-time");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\\Flash Disk\\AutoRun\\disk.exe\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\\Storage Card\\AutoRun\\card.exe\n"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(dir / "root" / "Windows" / "c.txt"), "copied");
}

TEST_F(ModuleNew, RefusalsWriteNothing) {
  fs::path dir = folder.path() / "r";
  for (const char* options : {"--flash nand --chip 0x1234", "--size 48M", "--size 64Q", "--card 'a:b'",
                              "--flash none --tester", "--flash nand --cpu-product 17", "--cpu-product 8",
                              "--device-code 0x12345", "--flash-disk --card 'flash disk'"}) {
    CommandRun run = Kalvori("module new " + ShellQuote(dir) + " " + options);
    EXPECT_EQ(run.status, 2) << options;
    EXPECT_NE(run.err.find("kalvori module new: "), std::string::npos) << options << ": " << run.err;
    EXPECT_FALSE(fs::exists(dir)) << options;
  }
  ASSERT_EQ(Kalvori("module new " + ShellQuote(dir)).status, 0);
  WriteFile(dir / "module.json", "{\"cpu_product\": 17, \"comment\": \"mine\"}");
  CommandRun again = Kalvori("module new " + ShellQuote(dir) + " --flash nand");
  EXPECT_EQ(again.status, 2);
  EXPECT_EQ(ReadFile(dir / "module.json"), "{\"cpu_product\": 17, \"comment\": \"mine\"}");  // left alone
}

}  // namespace
