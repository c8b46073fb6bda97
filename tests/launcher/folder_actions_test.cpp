// AutoCopy and AutoRun of one folder on a simulated module.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "platform/platform.h"
#include "sim/core/text.h"
#include "tests/support/os_fixture.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing_support::OsModuleTest;
using testing_support::ReadFile;

class FolderActionsTest : public OsModuleTest {
 protected:
  bool Mounted() { return os().events.Mount(u"Card").empty(); }
  // Serves a folder as the mount watch does.
  void Serve(const std::u16string& folder) {
    RunAutoCopy(folder.c_str());
    RunAutoRun(folder.c_str(), AUTORUN_PROGRAMS);
    RunAutoRun(folder.c_str(), AUTORUN_SHORTCUTS);
  }
  void StartWithCard() {
    fs::create_directories(volume("Card"));
    Start();
    ASSERT_TRUE(Mounted());
  }
  void Shortcut(const std::string& name, const std::string& content) { Put(volume("Card") / "AutoRun" / name, content); }

  // Every file and folder below root, as device paths.
  std::vector<std::string> RootTree() {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root())) out.push_back("\\" + fs::relative(e.path(), root()).string());
    std::sort(out.begin(), out.end());
    for (auto& p : out) std::replace(p.begin(), p.end(), '/', '\\');
    return out;
  }
};

// --- AutoCopy ---

TEST_F(FolderActionsTest, AutoCopyMirrorsTheTreeOntoTheRootAndOverwrites) {
  Put(root() / "Windows" / "x.dll", "old");
  Put(volume("Card") / "AutoCopy" / "Windows" / "x.dll", "new");
  Put(volume("Card") / "AutoCopy" / "Program Files" / "App" / "app.ini", "ini");
  fs::create_directories(volume("Card") / "AutoCopy" / "x");  // empty
  StartWithCard();
  Serve(u"\\Card");
  EXPECT_EQ(ReadFile(root() / "Windows" / "x.dll"), "new");
  EXPECT_EQ(ReadFile(root() / "Program Files" / "App" / "app.ini"), "ini");
  EXPECT_TRUE(fs::is_directory(root() / "x"));
  EXPECT_EQ(os().activity.files_copied, 2u);
  EXPECT_EQ(Debug(), "");
}

TEST_F(FolderActionsTest, FailedCopyIsSkippedSilently) {
  Put(volume("Card") / "AutoCopy" / "a.txt", "a");
  Put(volume("Card") / "AutoCopy" / "b.txt", "b");
  StartWithCard();
  module().faults().Add({.op = sim::FaultOp::kCopyFile, .error = OS_ERROR_DISK_FULL, .subject = "a.txt"});
  Serve(u"\\Card");
  EXPECT_FALSE(fs::exists(root() / "a.txt"));
  EXPECT_EQ(ReadFile(root() / "b.txt"), "b");
  EXPECT_EQ(Debug(), "");
}

TEST_F(FolderActionsTest, DeepAutoCopyTreeBeyondThePathBufferIsSkippedNotCut) {
  // "\Card\AutoCopy" and four 60-character folders: 258 characters, the longest path that fits.
  fs::path deep = volume("Card") / "AutoCopy";
  std::string device = "";
  for (char c : std::string("abcd")) {
    deep /= std::string(60, c);
    device += "\\" + std::string(60, c);
  }
  // At the third level: 14 + 183 characters, then an entry.
  std::string exact(61, 'e');                          // ends at the 259th character: fits
  Put(deep.parent_path() / "near.txt", "near");
  Put(deep.parent_path() / exact, "exact");
  Put(deep.parent_path() / (exact + "_more"), "more");  // cut short it would name the file above
  Put(deep / "far.txt", "far");                        // 268 characters: does not fit
  StartWithCard();
  Serve(u"\\Card");
  std::string c_level = device.substr(0, 183);
  EXPECT_THAT(RootTree(), ::testing::UnorderedElementsAre(device.substr(0, 61), device.substr(0, 122), c_level,
                                                          c_level + "\\near.txt", c_level + "\\" + exact, device));
  EXPECT_EQ(ReadFile(root() / std::string(60, 'a') / std::string(60, 'b') / std::string(60, 'c') / exact), "exact");
  EXPECT_EQ(os().activity.files_copied, 2u);
  EXPECT_EQ(Debug(), "");
}

// --- AutoRun ---

TEST_F(FolderActionsTest, ProgramsStartBeforeShortcutsAndDirectoriesAreSkipped) {
  Put(root() / "Windows" / "x.exe");
  Shortcut("b.lnk", "14#\\Windows\\x.exe");
  Put(volume("Card") / "AutoRun" / "a.exe");
  fs::create_directories(volume("Card") / "AutoRun" / "c.exe");
  StartWithCard();
  Serve(u"\\Card");
  EXPECT_THAT(Started(), ElementsAre("\\Card\\AutoRun\\a.exe", "\\Windows\\x.exe"));
  EXPECT_EQ(Debug(), "");
}

struct ShortcutCase {
  std::string content;
  std::string started;  // what starts ("" when nothing)
  std::string debug;    // what is printed
};

// Test names show the shortcut's content rather than the object's bytes.
void PrintTo(const ShortcutCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.content); }

class ShortcutTest : public FolderActionsTest, public ::testing::WithParamInterface<ShortcutCase> {};

TEST_P(ShortcutTest, CommandSplitsIntoTargetAndArguments) {
  Put(root() / "Windows" / "x.exe");
  Put(root() / "Program Files" / "My App" / "x.exe");
  Put(root() / "x.exe");
  Shortcut("s.lnk", GetParam().content);
  StartWithCard();
  RunAutoRun(u"\\Card", AUTORUN_SHORTCUTS);
  std::vector<std::string> expected;
  if (!GetParam().started.empty()) expected.push_back(GetParam().started);
  EXPECT_EQ(Started(), expected);
  EXPECT_EQ(Debug(), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(
    Shortcuts, ShortcutTest,
    ::testing::Values(
        ShortcutCase{"22#\\Windows\\x.exe", "\\Windows\\x.exe", ""},
        ShortcutCase{"22#\\Windows\\x.exe -a", "\\Windows\\x.exe -a", ""},
        ShortcutCase{"40#\"\\Program Files\\My App\\x.exe\" -s -v", "\\Program Files\\My App\\x.exe -s -v", ""},
        // The quoted target followed directly by -s: the -s is dropped.
        ShortcutCase{"32#\"\\Program Files\\My App\\x.exe\"-s", "\\Program Files\\My App\\x.exe", ""},
        // Nothing before '#': the target is looked up from the root.
        ShortcutCase{"#x.exe", "\\x.exe", ""},
        // A space with nothing after it: no arguments.
        ShortcutCase{"#\\Windows\\x.exe ", "\\Windows\\x.exe", ""},
        // No closing quote: the target runs to the end, no arguments.
        ShortcutCase{"#\"\\Windows\\x.exe -a", "", "ERROR: Cannot Access \\Windows\\x.exe -a (Error 2)\r\n"},
        // The line break belongs to the arguments, or to the target when there are none.
        ShortcutCase{"22#\\Windows\\x.exe -a\r\n", "\\Windows\\x.exe -a\r\n", ""},
        ShortcutCase{"22#\\Windows\\x.exe\r\n", "", "ERROR: Cannot Access \\Windows\\x.exe\r\n (Error 123)\r\n"},
        // Without '#' the shortcut is skipped without a word; a zero byte ends the content.
        ShortcutCase{"\\Windows\\x.exe", "", ""}, ShortcutCase{std::string("22\0#\\Windows\\x.exe", 18), "", ""}));

TEST_F(FolderActionsTest, EachAutoRunKindServesItsOwnEntriesAndAnyOtherKindNothing) {
  Put(root() / "Windows" / "x.exe");
  Shortcut("b.lnk", "14#\\Windows\\x.exe");
  Put(volume("Card") / "AutoRun" / "a.exe");
  StartWithCard();
  RunAutoRun(u"\\Card", AUTORUN_SHORTCUTS + 1);
  EXPECT_TRUE(Started().empty());
  RunAutoRun(u"\\Card", AUTORUN_SHORTCUTS);
  EXPECT_THAT(Started(), ElementsAre("\\Windows\\x.exe"));
  RunAutoRun(u"\\Card", AUTORUN_PROGRAMS);
  EXPECT_THAT(Started(), ElementsAre("\\Windows\\x.exe", "\\Card\\AutoRun\\a.exe"));
}

TEST_F(FolderActionsTest, AutoRunEntryNameBeyondThePathBufferIsSkipped) {
  Put(volume("Card") / "AutoRun" / (std::string(250, 'a') + ".exe"));  // "\Card\AutoRun\" + 254: too long
  Put(volume("Card") / "AutoRun" / "b.exe");
  StartWithCard();
  RunAutoRun(u"\\Card", AUTORUN_PROGRAMS);
  EXPECT_THAT(Started(), ElementsAre("\\Card\\AutoRun\\b.exe"));
  EXPECT_EQ(Debug(), "");  // not a "Cannot Access" for a cut-down name
}

TEST_F(FolderActionsTest, FolderNameBeyondThePathBufferServesNothing) {
  // A 250-character folder: "%s\AutoCopy\*" and "%s\AutoRun\*.exe" no longer fit.
  fs::path folder = root();
  std::u16string device;
  for (char c : std::string("abcde")) {
    folder /= std::string(49, c);
    device += u"\\" + sim::ToUtf16(std::string(49, c));
  }
  Put(folder / "AutoCopy" / "x.txt", "x");
  Put(folder / "AutoRun" / "x.exe");
  Start();
  ASSERT_EQ(device.size(), 250u);
  Serve(device);
  EXPECT_TRUE(Started().empty());
  EXPECT_FALSE(fs::exists(root() / "x.txt"));
  EXPECT_EQ(Debug(), "");
}

// --- launching ---

TEST_F(FolderActionsTest, MissingProgramPrintsOneLineWithoutRetry) {
  std::filesystem::create_directories(root() / "Windows");
  Start();
  LaunchProgram(u"\\Windows\\missing.exe", nullptr);
  EXPECT_EQ(Debug(), "ERROR: Cannot Access \\Windows\\missing.exe (Error 2)\r\n");
  EXPECT_LT(NowSeconds(), 0.5);
}

TEST_F(FolderActionsTest, NetworkThatStaysDownIsTriedFourTimesOverThreeSeconds) {
  description().shares.push_back({"\\Network", 60'000});
  Put(root() / "Network" / "tool.exe");
  Start();
  LaunchProgram(u"\\Network\\tool.exe", u"-q");
  const std::string line = "ERROR: Network not ready to Access \\Network\\tool.exe";
  EXPECT_EQ(Debug(), line + ", retrying in 1 second\r\n" + line + ", retrying in 1 second\r\n" + line +
                         ", retrying in 1 second\r\n" + line + ", giving up\r\n");
  EXPECT_NEAR(NowSeconds(), 3.0, 0.01);
  EXPECT_TRUE(Started().empty());
}

TEST_F(FolderActionsTest, NetworkThatComesUpDuringTheRetriesStartsTheProgram) {
  description().shares.push_back({"\\Network", 1'500});
  Put(root() / "Network" / "tool.exe");
  Start();
  LaunchProgram(u"\\Network\\tool.exe", u"-q");
  const std::string line = "ERROR: Network not ready to Access \\Network\\tool.exe, retrying in 1 second\r\n";
  EXPECT_EQ(Debug(), line + line);
  EXPECT_THAT(Started(), ElementsAre("\\Network\\tool.exe -q"));
  EXPECT_EQ(os().processes.launches()[0].time_ms, 2000u);
}

TEST_F(FolderActionsTest, AttributeFailuresOfAChosenErrorAreRetriedOnlyForTheNetwork) {
  Put(root() / "Windows" / "x.exe");
  Start();
  module().faults().Add({.op = sim::FaultOp::kGetFileAttributes, .error = OS_ERROR_NO_NETWORK, .count = 1, .subject = ""});
  module().faults().Add({.op = sim::FaultOp::kGetFileAttributes, .error = OS_ERROR_ACCESS_DENIED, .count = 1, .subject = ""});
  LaunchProgram(u"\\Windows\\x.exe", nullptr);
  EXPECT_EQ(Debug(),
            "ERROR: Network not ready to Access \\Windows\\x.exe, retrying in 1 second\r\n"
            "ERROR: Cannot Access \\Windows\\x.exe (Error 5)\r\n");
  EXPECT_TRUE(Started().empty());
}

TEST_F(FolderActionsTest, FailedProcessCreationIsReportedWithItsError) {
  Put(root() / "Windows" / "x.exe");
  Start();
  module().faults().Add({.op = sim::FaultOp::kCreateProcess, .error = OS_ERROR_NOT_ENOUGH_MEMORY, .subject = ""});
  LaunchProgram(u"\\Windows\\x.exe", nullptr);
  EXPECT_EQ(Debug(), "ERROR: Failed Launching \\Windows\\x.exe (Error 8)\r\n");
  EXPECT_EQ(module().OpenHandleCount(), 0u);
}

}  // namespace
