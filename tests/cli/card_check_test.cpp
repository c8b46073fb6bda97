// `kalvori card check`: every kind of problem on a card is named and fails the check; on a clean card
// the prediction is exactly what `kalvori sim` then does with it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "tests/support/kalvori_command.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CommandRun;
using testing_support::ReadFile;
using testing_support::ShellQuote;
using testing_support::TempFolder;
using testing_support::WriteFile;

class CardCheck : public ::testing::Test {
 protected:
  TempFolder folder;
  fs::path module = folder.path() / "module";
  fs::path card = module / "volumes" / "Storage Card";

  void SetUp() override {
    WriteFile(module / "module.json", R"({"cpu_product": 17})");
    WriteFile(module / "root" / "Windows" / "shell.exe", "module's own program");
    WriteFile(module / "root" / "Windows" / "old.dll", "old");
  }

  CommandRun Kalvori(const std::string& arguments) { return testing_support::RunKalvori(arguments, folder.path()); }
  CommandRun Check(const std::string& extra = "") {
    return Kalvori("card check " + ShellQuote(card) + " --module " + ShellQuote(module) + " " + extra);
  }
};

TEST_F(CardCheck, EveryKindOfProblemIsNamedAndFailsTheCheck) {
  WriteFile(card / "AutoRun" / "nohash.lnk", "\\Windows\\shell.exe");
  WriteFile(card / "AutoRun" / "open.lnk", "9#\"\\Windows\\shell.exe -x");
  WriteFile(card / "AutoRun" / "glued.lnk", "#\"\\Windows\\shell.exe\"-s -v");
  WriteFile(card / "AutoRun" / "gone.lnk", "#\\Windows\\gone.exe");
  WriteFile(card / "AutoRun" / "long.lnk", "#\\Windows\\shell.exe " + std::string(300, 'a'));
  WriteFile(card / "AutoCopy" / "bad:name.txt", "x");
  WriteFile(card / "AutoCopy" / "Twice.txt", "x");
  WriteFile(card / "AutoCopy" / "twice.txt", "x");
  WriteFile(card / "AutoCopy" / std::string(120, 'd') / std::string(120, 'e') / "deep.txt", "x");
  WriteFile(module / "root" / "locked.txt", "mine");
  ::chmod((module / "root" / "locked.txt").c_str(), 0444);
  WriteFile(card / "AutoCopy" / "locked.txt", "theirs");

  CommandRun run = Check();
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  for (const char* problem : {"nohash.lnk: no '#'", "open.lnk: the quote around the target is not closed",
                              "glued.lnk: text right after the closing quote is dropped",
                              "gone.lnk: \\Windows\\gone.exe is missing on the module (ERROR: Cannot Access, error 2)",
                              "long.lnk: longer than 255 bytes", "bad:name.txt: a FAT volume cannot hold this name",
                              "twice.txt: differs from Twice.txt only in case",
                              "eee: the path is over 259 characters",
                              "\\locked.txt: read-only on the module, not replaced"}) {
    EXPECT_NE(run.out.find(problem), std::string::npos) << problem << "\n" << run.out;
  }
  EXPECT_NE(run.out.find("10 problems\n"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(module / "root" / "locked.txt"), "mine");  // a check changes nothing

  // A card or module that cannot be checked at all.
  EXPECT_EQ(Kalvori("card check " + ShellQuote(folder.path() / "nothing")).status, 2);
  EXPECT_EQ(Kalvori("card check " + ShellQuote(card) + " --module " + ShellQuote(folder.path())).status, 2);
  EXPECT_EQ(Kalvori("card check " + ShellQuote(card) + " --name 'a\\b'").status, 2);
}

TEST_F(CardCheck, OnACleanCardThePredictionIsWhatTheLauncherDoes) {
  WriteFile(card / "AutoCopy" / "Windows" / "old.dll", "new");
  WriteFile(card / "AutoCopy" / "Windows" / "fresh.dll", "fresh");
  WriteFile(card / "AutoCopy" / "Program Files" / "My App" / "app.exe", "app");
  WriteFile(card / "AutoCopy" / "Program Files" / "My App" / "data" / "a.bin", "a");
  fs::create_directories(card / "AutoCopy" / "Temp");
  WriteFile(card / "AutoRun" / "b-setup.exe", "p");
  WriteFile(card / "AutoRun" / "A-first.EXE", "p");
  fs::create_directories(card / "AutoRun" / "folder.exe");  // skipped: a folder
  WriteFile(card / "AutoRun" / "app.lnk", "36#\"\\Program Files\\My App\\app.exe\" -s -v");
  WriteFile(card / "AutoRun" / "shell.lnk", "#\\Windows\\shell.exe");
  WriteFile(card / "AutoRun" / "plain.lnk", "22#\\Windows\\shell.exe   two  spaces");

  CommandRun checked = Check("--json");
  ASSERT_EQ(checked.status, 0) << checked.out << checked.err;
  nlohmann::json plan = nlohmann::json::parse(checked.out);
  EXPECT_TRUE(plan["problems"].empty()) << checked.out;

  WriteFile(folder.path() / "script.txt", "wait 2000\nmount \"Storage Card\"\n");
  CommandRun run = Kalvori("sim " + ShellQuote(module) + " --virtual-time --script " +
                           ShellQuote(folder.path() / "script.txt"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, run.out.find("\n---")), "");  // nothing went wrong on the module

  // The starts, in order, as the summary lists them.
  std::vector<std::string> started;
  std::size_t at = run.out.find("programs started:");
  std::istringstream lines(run.out.substr(run.out.find('\n', at) + 1));
  for (std::string line; std::getline(lines, line);) started.push_back(line.substr(line.find(" s  ") + 4));
  std::vector<std::string> predicted;
  for (const auto& s : plan["starts"]) {
    EXPECT_EQ(s["outcome"], "starts") << s;
    predicted.push_back(s["command_line"]);
  }
  EXPECT_EQ(started, predicted);
  EXPECT_EQ(predicted.size(), 5u);

  // The copies: each new or overwritten file now holds the card's bytes; the counts match.
  int files = 0, folders = 0;
  for (const auto& c : plan["copies"]) {
    std::string outcome = c["outcome"], destination = c["destination"];
    fs::path host = module / "root";
    for (std::size_t start = 1, end; start <= destination.size(); start = end + 1) {
      end = destination.find('\\', start);
      if (end == std::string::npos) end = destination.size();
      host /= destination.substr(start, end - start);
    }
    if (outcome == "new" || outcome == "overwrites") {
      ++files;
      EXPECT_EQ(ReadFile(host), ReadFile(card / "AutoCopy" / fs::relative(host, module / "root"))) << destination;
    }
    if (outcome == "folder") ++folders;
    if (outcome == "folder-exists") {
      EXPECT_TRUE(fs::is_directory(host)) << destination;
    }
  }
  EXPECT_EQ(files, 4);
  EXPECT_NE(run.out.find("files copied:     " + std::to_string(files) + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("folders created:  " + std::to_string(folders) + "\n"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(module / "root" / "Windows" / "old.dll"), "new");
}

}  // namespace
