// The kalvori commands on NAND module folders of every chip, as a user runs them: the image is made
// on first use, a bundle packed, listed and extracted, and the launcher serves it once.
#include <gtest/gtest.h>

#include "tests/support/kalvori_command.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::WriteFile;

using testing_support::CommandRun;

CommandRun Kalvori(const std::string& arguments, const fs::path& scratch) {
  return testing_support::RunKalvori(arguments, scratch);
}

std::string Q(const fs::path& p) { return testing_support::ShellQuote(p); }

class NandCommands : public ::testing::TestWithParam<std::tuple<const char*, bool>> {
 protected:
  testing_support::TempFolder folder;
  fs::path module = folder.path() / "module";

  void SetUp() override {
    auto [chip, os_driver] = GetParam();
    WriteFile(module / "module.json", std::string(R"({"cpu_product": 5, "boot_config": {"item12": "0x00800000"},)") +
                                          R"("flash": {"type": "nand", "chip": ")" + chip +
                                          R"(", "image": "nand.img", "os_driver": )" + (os_driver ? "true" : "false") +
                                          "}}");
    fs::create_directories(module / "root");
    WriteFile(folder.path() / "in" / "readme.txt", "read me\n");
    WriteFile(folder.path() / "in" / "tester.exe", std::string("MZ\x90\x00\x03", 5));
  }
};

TEST_P(NandCommands, PackListExtractAndTheLauncherServesTheBundleOnce) {
  const fs::path& in = folder.path() / "in";
  CommandRun pack = Kalvori("bundle pack " + Q(module) + " " + Q(in / "readme.txt") + " " + Q(in / "tester.exe"), folder.path());
  ASSERT_EQ(pack.status, 0) << pack.out << pack.err;
  EXPECT_TRUE(fs::exists(module / "nand.img"));

  CommandRun list = Kalvori("bundle list " + Q(module), folder.path());
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("\\readme.txt"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("\\tester.exe"), std::string::npos) << list.out;

  CommandRun extract = Kalvori("bundle extract " + Q(module) + " " + Q(folder.path() / "x"), folder.path());
  ASSERT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(ReadFile(folder.path() / "x" / "readme.txt"), "read me\n");

  CommandRun first = Kalvori("sim " + Q(module) + " --virtual-time", folder.path());
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("Launching \\tester.exe\r\n"), std::string::npos) << first.out << first.err;
  EXPECT_EQ(ReadFile(module / "root" / "readme.txt"), "read me\n");

  // The region was erased in the image: the next start finds nothing to launch.
  CommandRun second = Kalvori("sim " + Q(module) + " --virtual-time", folder.path());
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.out.find("ERROR No Exe found to Launch!\r\n"), std::string::npos) << second.out;
}

INSTANTIATE_TEST_SUITE_P(Chips, NandCommands,
                         ::testing::Combine(::testing::Values("0x75EC", "0x76EC", "0xF1EC", "0xD3EC", "0xDCAD"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)).substr(2) +
                                  (std::get<1>(info.param) ? "_OsDriver" : "_Launcher");
                         });

}  // namespace
