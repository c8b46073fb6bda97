// `kalvori sim` as a user runs it: a module folder and a script in, debug output, a summary and
// installed files out.
#include <gtest/gtest.h>

#include "tests/support/kalvori_command.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

using RunResult = testing_support::CommandRun;

RunResult Kalvori(const std::string& arguments, const fs::path& scratch) {
  return testing_support::RunKalvori(arguments, scratch);
}

std::string Quoted(const fs::path& p) { return testing_support::ShellQuote(p); }

class SimCommand : public ::testing::Test {
 protected:
  TempFolder folder;
  fs::path module = folder.path() / "module";

  void Description(const std::string& json) { WriteFile(module / "module.json", json); }
};

TEST_F(SimCommand, ServesTheInternalDiskAndAScriptedCardThenSummarises) {
  Description(R"({
    "cpu_product": 17,
    "registry": {"HKLM\\System\\StorageManager\\Profiles\\MSFlash": {"Folder": "\\Flash Disk"}},
    "stores": ["DSK0:"],
    "volumes": ["Flash Disk"]
  })");
  fs::create_directories(module / "root" / "Windows");
  WriteFile(module / "volumes" / "Flash Disk" / "AutoCopy" / "Windows" / "demo.dll", "library");
  WriteFile(module / "volumes" / "Storage Card" / "AutoCopy" / "Program Files" / "App" / "app.exe", "app");
  WriteFile(module / "volumes" / "Storage Card" / "AutoRun" / "app.lnk", "29#\"\\Program Files\\App\\app.exe\" -x");
  WriteFile(module / "volumes" / "Storage Card" / "AutoRun" / "gone.lnk", "#\\Windows\\gone.exe");
  WriteFile(folder.path() / "script.txt", "wait 2000\nmount \"Storage Card\"\nwait 1000\nunmount \"Storage Card\"\n");

  RunResult run = Kalvori("sim " + Quoted(module) + " --script " + Quoted(folder.path() / "script.txt") + " --virtual-time",
                    folder.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, run.out.find("\n---")), "ERROR: Cannot Access \\Windows\\gone.exe (Error 2)\r\n");
  EXPECT_NE(run.out.find("folders served:   4  (\\Flash Disk x2, \\Storage Card x2)\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("files copied:     3\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("programs started: 1\n   2.000 s  \\Program Files\\App\\app.exe -x\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(ReadFile(module / "root" / "Windows" / "demo.dll"), "library");
  EXPECT_EQ(ReadFile(module / "root" / "Program Files" / "App" / "app.exe"), "app");
  EXPECT_NE(run.err.find("[sim] notification: \\Storage Card removed\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("[sim]"), std::string::npos);  // the simulator's reports stay off stdout
}

TEST_F(SimCommand, VersionAndUnknownOptions) {
  RunResult run = Kalvori("--version", folder.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("kalvori ", 0), 0u) << run.out;
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;  // one line
  run = Kalvori("sim --no-such-option", folder.path());
  EXPECT_EQ(run.status, 2);
}

TEST_F(SimCommand, MalformedInputIsRefusedBeforeTheRunWithStatusTwo) {
  Description(R"({"cpu_product": 17, "stores": "DSK0:"})");
  RunResult run = Kalvori("sim " + Quoted(module) + " --virtual-time", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("field 'stores'"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");

  Description(R"({"cpu_product": 17})");
  WriteFile(folder.path() / "script.txt", "mount Card\nwiat 100\n");
  fs::create_directories(module / "volumes" / "Card");
  run = Kalvori("sim " + Quoted(module) + " --script " + Quoted(folder.path() / "script.txt"), folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("script.txt: line 2: unknown command 'wiat'"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

TEST_F(SimCommand, FoldersOutsideTheModuleServeOnlyWhenTheUserAllowsThem) {
  Description(R"({"cpu_product": 17})");
  fs::create_directories(module / "root");
  WriteFile(folder.path() / "cards" / "usb" / "AutoCopy" / "tool.dll", "tool");
  WriteFile(folder.path() / "script.txt", "mount USB ../cards/usb\n");
  const std::string sim = "sim " + Quoted(module) + " --script " + Quoted(folder.path() / "script.txt") + " --virtual-time";
  RunResult run = Kalvori(sim, folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("script.txt: line 1: mount: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("lies outside the module folder"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(module / "root" / "tool.dll"));

  run = Kalvori(sim + " --allow-outside " + Quoted(folder.path() / "cards"), folder.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(module / "root" / "tool.dll"), "tool");
  EXPECT_NE(Kalvori("sim --help", folder.path()).out.find("--allow-outside"), std::string::npos);
}

TEST_F(SimCommand, ARootFolderThatIsALinkStopsTheRunWithStatusTwo) {
  Description(R"({"cpu_product": 17})");
  fs::create_directories(folder.path() / "elsewhere");
  fs::create_directory_symlink(folder.path() / "elsewhere", module / "root");
  RunResult run = Kalvori("sim " + Quoted(module) + " --virtual-time", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("root is or leads through a symbolic link"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(fs::is_empty(folder.path() / "elsewhere"));
}

TEST_F(SimCommand, TheDemoShowsAutoCopyAndAutoRun) {
  // The same demo on either boot flash: the bundle served from NOR, or from NAND through the map.
  for (const char* flash : {"nor", "nand"}) {
    RunResult run = Kalvori(std::string("sim --virtual-time --demo-flash ") + flash, folder.path());
    ASSERT_EQ(run.status, 0) << flash << ": " << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find("\n---")),
              "Looking for KalvoriTester...\r\n"
              "Found \\tester.ini\r\n"
              "Found \\KalvoriTester.exe\r\n"
              "Launching \\KalvoriTester.exe\r\n"
              "ERROR: Network not ready to Access \\Network\\Tools\\inventory.exe, retrying in 1 second\r\n")
        << flash;
    EXPECT_NE(run.out.find("programs started: 6\n"), std::string::npos) << flash << ": " << run.out;
    EXPECT_NE(run.out.find("\\Program Files\\Demo Viewer\\viewer.exe -s -v\n"), std::string::npos) << run.out;
  }
}

}  // namespace
