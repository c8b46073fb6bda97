// Input made by others, as the kalvori program meets it: names from cards, images, bundles, scripts
// and module descriptions reach the terminal with their control characters escaped, and bad input
// ends with the documented status and a message naming what is wrong.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "sim/core/description.h"
#include "sim/hw/nor_flash.h"
#include "sim/module.h"
#include "tester/tester.h"
#include "tests/support/kalvori_command.h"
#include "tests/support/module_fixture.h"
#include "tools/bundle.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CommandRun;
using testing_support::ShellQuote;
using testing_support::TempFolder;
using testing_support::WriteFile;

class UntrustedInput : public ::testing::Test {
 protected:
  TempFolder folder;
  fs::path module = folder.path() / "module";

  void Description(const std::string& json) {
    WriteFile(module / "module.json", json);
    fs::create_directories(module / "root");
  }
  CommandRun Kalvori(const std::string& arguments) { return testing_support::RunKalvori(arguments, folder.path()); }
  // Neither output may carry a raw escape character or bell.
  static void ExpectNoRawControls(const CommandRun& run) {
    for (const std::string* text : {&run.out, &run.err}) {
      EXPECT_EQ(text->find('\x1b'), std::string::npos) << *text;
      EXPECT_EQ(text->find('\a'), std::string::npos) << *text;
    }
  }
};

TEST_F(UntrustedInput, NamesFromABundleACardAScriptAndADescriptionReachTheTerminalEscaped) {
  // A bundle whose names set the terminal's title and clear its screen, placed as an image would
  // bring it (the pack command refuses such names).
  Description(R"({"cpu_product": 17, "boot_config": {"item12": "0x00800000"},
                  "flash": {"type": "nor", "image": "flash.img"}})");
  {
    sim::Module m(sim::LoadDescription(module));
    m.FindDevice<sim::NorFlash>()->Poke(
        TESTER_REGION_OFFSET, tools::EncodeBundle({{"\\\x1b]0;owned\a.txt", {1}}, {"\\\x1b[2Jt.exe", {2}}}));
  }
  // A card whose shortcut names a program with an escape sequence.
  WriteFile(module / "volumes" / "Card" / "AutoRun" / "x.lnk", "#\\Windows\\\x1b[31mred.exe");
  WriteFile(folder.path() / "script.txt", "mount Card\n");

  CommandRun list = Kalvori("bundle list " + ShellQuote(module));
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("\\\\x1b]0;owned\\x07.txt\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("\\\\x1b[2Jt.exe  (launched)"), std::string::npos) << list.out;
  ExpectNoRawControls(list);

  CommandRun extract = Kalvori("bundle extract " + ShellQuote(module) + " " + ShellQuote(folder.path() / "out"));
  EXPECT_EQ(extract.status, 1);
  EXPECT_NE(extract.err.find("'\\\\x1b]0;owned\\x07.txt', which is no device path"), std::string::npos)
      << extract.err;
  ExpectNoRawControls(extract);

  CommandRun sim = Kalvori("sim " + ShellQuote(module) + " --virtual-time --script " +
                           ShellQuote(folder.path() / "script.txt"));
  EXPECT_EQ(sim.status, 0) << sim.err;
  EXPECT_EQ(sim.out.substr(0, sim.out.find("\n---")),
            "Looking for KalvoriTester...\r\n"
            "Found \\\\x1b]0;owned\\x07.txt\r\n"
            "ERROR Creating \\\\x1b]0;owned\\x07.txt File\r\n"
            "ERROR: Cannot Access \\Windows\\\\x1b[31mred.exe (Error 123)\r\n");
  ExpectNoRawControls(sim);

  // A script word and a description's field name.
  WriteFile(folder.path() / "bad.txt", "mount \"\x1b[2JCard\"\n");
  CommandRun word = Kalvori("sim " + ShellQuote(module) + " --script " + ShellQuote(folder.path() / "bad.txt"));
  EXPECT_EQ(word.status, 2);
  EXPECT_NE(word.err.find("line 1: volume name '\\x1b[2JCard'"), std::string::npos) << word.err;
  ExpectNoRawControls(word);

  Description("{\"cpu_product\": 17, \"\\u001b[2J\\u0007\": 1}");
  CommandRun field = Kalvori("sim " + ShellQuote(module) + " --script /dev/null");
  EXPECT_EQ(field.status, 2);
  EXPECT_NE(field.err.find("'\\x1b[2J\\x07'"), std::string::npos) << field.err;
  EXPECT_NE(field.err.find("unknown field"), std::string::npos) << field.err;
  ExpectNoRawControls(field);
}

TEST_F(UntrustedInput, AScriptThatIsAFolderIsRefusedWithStatusTwo) {
  Description(R"({"cpu_product": 17})");
  fs::create_directories(folder.path() / "scripts");
  CommandRun run = Kalvori("sim " + ShellQuote(module) + " --script " + ShellQuote(folder.path() / "scripts"));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("scripts is a folder, not a file of commands"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");  // nothing ran
}

TEST_F(UntrustedInput, MalformedDescriptionsEndWithStatusTwoNamingTheFileAndTheField) {
  struct Case {
    std::string json;  // "folder", "fifo", "link": module.json is no file of text
    std::string message;
  };
  const std::string file = (module / "module.json").string();
  WriteFile(folder.path() / "elsewhere.json", R"({"cpu_product": 17})");
  for (const Case& c : std::vector<Case>{
           {"{\"cpu_product\": 1e400}", file + ": field 'cpu_product': 1e400 is out of range of every number (line 1"},
           {"folder", file + ": module.json is a folder, not a file"},
           {"fifo", file + ": module.json is a FIFO, device node or socket"},  // before: waited for a writer
           {"link", file + ": module.json is or leads through a symbolic link"},
           {R"({"cpu_product": 17, "stores": ["DSK0:"], "stores": []})", file + ": field 'stores': given twice"},
           {R"({"cpu_product": 17, "boot_config": {"item12": "0x00800000"}, "flash": {"type": "nand", "chip": "0xF1EC"}})",
            file + ": field 'flash.type': \"nand\" does not match the processor: cpu_product 17"},
           {R"({"cpu_product": 5, "boot_config": {"item12": "0x00800000"}, "flash": {"type": "nor"}})",
            file + ": field 'flash.type': \"nor\" does not match the processor: cpu_product is 5"},
           {R"({"cpu_product": 5, "boot_config": {"item12": "0x00800000"}})",
            file + ": field 'boot_config.item12': bit 23 asks for the tester hand-off"},
       }) {
    fs::remove_all(module / "module.json");
    fs::create_directories(module / "root");
    if (c.json == "folder") {
      fs::create_directories(module / "module.json");
    } else if (c.json == "fifo") {
      ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    } else if (c.json == "link") {
      fs::create_symlink(folder.path() / "elsewhere.json", module / "module.json");
    } else {
      Description(c.json);
    }
    for (const std::string& command : {"sim " + ShellQuote(module) + " --script /dev/null --virtual-time",
                                       "bundle list " + ShellQuote(module)}) {
      CommandRun run = Kalvori(command);
      EXPECT_EQ(run.status, 2) << command << "\n" << run.err;
      EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
      EXPECT_EQ(run.out, "");
    }
  }
}

// Before: the reader named every level's field (memory grew with the square of the depth) and flash
// inject walked the text recursively, so a deep enough value ended in bad_alloc or a crash.
TEST_F(UntrustedInput, AValueNestedWithoutEndIsRefusedByEveryCommandAndChangesNothing) {
  const std::size_t depth = 200000;
  const std::string json = R"({"cpu_product": 8, "flash": {"type": "nand", "chip": "0xF1EC"}, "comment": )" +
                           std::string(depth, '[') + std::string(depth, ']') + "}";
  Description(json);
  const std::string file = (module / "module.json").string();
  for (const std::string& command :
       {"sim " + ShellQuote(module) + " --script /dev/null --virtual-time", "bundle list " + ShellQuote(module),
        "flash info " + ShellQuote(module), "flash inject " + ShellQuote(module) + " --bad-block 5"}) {
    CommandRun run = Kalvori(command);
    EXPECT_EQ(run.status, 2) << command << "\n" << run.err.substr(0, 300);
    EXPECT_NE(run.err.find(file + ": field 'comment[0][0]"), std::string::npos) << run.err.substr(0, 300);
    EXPECT_NE(run.err.find("nested deeper than 64 levels"), std::string::npos) << run.err.substr(0, 300);
  }
  EXPECT_EQ(testing_support::ReadFile(module / "module.json"), json);
}

}  // namespace
