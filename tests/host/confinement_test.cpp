// Module folders made by others: nothing they name reaches outside them, through links (also one
// swapped in while the module runs), ../ or absolute paths, and FIFOs, device nodes and sockets are
// never taken for files. Changes made to the folders by other programs while the module runs are
// seen. The cases that depend on how the file system learns of changes run twice: with the kernel's
// change notifications, and with modification times only.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "platform/platform.h"
#include "sim/core/config_reader.h"
#include "sim/core/module_core.h"
#include "sim/core/text.h"
#include "sim/hw/board.h"
#include "tests/support/os_fixture.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing_support::OsModuleTest;
using testing_support::ReadFile;
using testing_support::WriteFile;

class ConfinementTest : public OsModuleTest {
 protected:
  testing_support::TempFolder elsewhere;
  fs::path outside = elsewhere.path() / "card";

  void SetUp() override {
    WriteFile(outside / "AutoCopy" / "Windows" / "from-outside.dll", "outside");
    WriteFile(outside / "AutoRun" / "outside.exe", "program");
  }
  // What must stay as it was: the outside card folder and nothing new beside it.
  void ExpectOutsideUntouched() {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(elsewhere.path())) {
      names.push_back(fs::relative(e.path(), elsewhere.path()).string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_THAT(names, ElementsAre("card", "card/AutoCopy", "card/AutoCopy/Windows", "card/AutoCopy/Windows/from-outside.dll",
                                   "card/AutoRun", "card/AutoRun/outside.exe"));
  }
  void Serve(const std::u16string& folder) {
    RunAutoCopy(folder.c_str());
    RunAutoRun(folder.c_str(), 0);
  }
  static std::string DescriptionProblem(const std::function<void()>& start) {
    try {
      start();
    } catch (const sim::DescriptionError& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(ConfinementTest, ARootFolderThatIsALinkIsRefusedAtStart) {
  fs::remove(root());
  fs::create_directory_symlink(elsewhere.path(), root());
  EXPECT_THAT(DescriptionProblem([this] { Start(); }),
              AllOf(HasSubstr("device root"), HasSubstr("root is or leads through a symbolic link")));
  ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, AVolumeFolderThatIsALinkIsNeitherMountedNorServed) {
  fs::create_directory_symlink(outside, volume("Card"));
  Start();
  EXPECT_THAT(os().events.Mount(u"Card"), HasSubstr("symbolic link"));
  EXPECT_TRUE(os().files.volumes().empty());
  Serve(u"\\Card");
  EXPECT_TRUE(Started().empty());
  EXPECT_FALSE(fs::exists(root() / "Windows"));
  // Mounted at start, it stops the start with the field named.
  description().volumes_at_start.push_back({"Card", volume("Card")});
  EXPECT_THAT(DescriptionProblem([this] { Start(); }), HasSubstr("field 'volumes[0]'"));
  ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, VolumeAndMountFoldersOutsideTheModuleAreRefusedUnlessAllowed) {
  const fs::path module = root().parent_path();
  const fs::path escaping = module / ".." / fs::relative(outside, module.parent_path());
  for (const fs::path& dir : {outside, escaping}) {
    description().volumes_at_start = {{"Card", dir}};
    EXPECT_THAT(DescriptionProblem([this] { Start(); }), HasSubstr("outside the module folder")) << dir;
  }
  description().volumes_at_start.clear();
  Start();
  for (const fs::path& dir : {outside, escaping}) {
    EXPECT_THAT(os().events.Mount(u"Card", dir), HasSubstr("--allow-outside")) << dir;
  }
  EXPECT_TRUE(os().files.volumes().empty());
  ExpectOutsideUntouched();

  // Allowed by the user, the same folders are cards like any other.
  description().allowed_outside = {outside};
  description().volumes_at_start = {{"Card", escaping}};
  Start();
  Serve(u"\\Card");
  EXPECT_EQ(ReadFile(root() / "Windows" / "from-outside.dll"), "outside");
  EXPECT_THAT(Started(), ElementsAre("\\Card\\AutoRun\\outside.exe"));
}

TEST_F(ConfinementTest, FifosDevicesAndSocketsAreNeitherFilesNorListed) {
  Put(volume("Card") / "AutoCopy" / "tester.ini", "settings");
  ASSERT_EQ(::mkfifo((root() / "tester.ini").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((volume("Card") / "AutoCopy" / "pipe.ini").c_str(), 0644), 0);
  const bool device = ::mknod((root() / "device.bin").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  description().volumes_at_start.push_back({"Card", volume("Card")});
  Start();
  for (const std::u16string& path : {std::u16string(u"\\tester.ini"), std::u16string(u"\\device.bin")}) {
    if (path == u"\\device.bin" && !device) continue;
    for (u32 disposition : {OS_CREATE_ALWAYS, OS_OPEN_ALWAYS, OS_OPEN_EXISTING, OS_TRUNCATE_EXISTING}) {
      auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(OsCreateFile(path.c_str(), OS_GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr), OS_INVALID_HANDLE);
      EXPECT_EQ(OsGetLastError(), OS_ERROR_ACCESS_DENIED);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // did not wait for a reader
    }
    EXPECT_EQ(OsCreateFile(path.c_str(), OS_GENERIC_READ, 0, nullptr, OS_OPEN_EXISTING, 0, nullptr), OS_INVALID_HANDLE);
    EXPECT_EQ(OsGetFileAttributes(path.c_str()), OS_INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(OsDeleteFile(path.c_str()));
  }
  // AutoCopy neither copies onto the FIFO nor reads from one.
  RunAutoCopy(u"\\Card");
  EXPECT_EQ(os().activity.files_copied, 0u);
  EXPECT_TRUE(fs::is_fifo(root() / "tester.ini"));
  EXPECT_FALSE(OsCopyFile(u"\\Card\\AutoCopy\\pipe.ini", u"\\copied.ini", OS_FALSE));
  EXPECT_EQ(OsGetLastError(), OS_ERROR_ACCESS_DENIED);
  OsFindData found;
  OsHandle search = OsFindFirstFile(u"\\*", &found);
  ASSERT_NE(search, OS_INVALID_HANDLE);
  EXPECT_EQ(sim::ToUtf8(found.FileName), "Card");  // neither the FIFO nor the device node
  EXPECT_FALSE(OsFindNextFile(search, &found));
  EXPECT_TRUE(OsFindClose(search));
  if (device) {
    EXPECT_TRUE(fs::is_character_file(root() / "device.bin"));
  }
}

TEST_F(ConfinementTest, AFlashImageAndItsSidecarStayInsideTheModuleAsRegularFiles) {
  const fs::path module = root().parent_path();
  description().cpu_main_id = sim::Description::MainIdForProduct(17);
  description().flash.type = sim::FlashConfig::Type::kNor;
  auto refused = [this](const fs::path& image) {
    description().flash.nor.image = image;
    return DescriptionProblem([this] { Start(); });
  };
  // Named outside, absolutely or by ../: nothing is made there, no sidecar replaced.
  WriteFile(elsewhere.path() / "flash.img.json", "theirs");
  for (const fs::path& image : {elsewhere.path() / "flash.img", module / ".." / elsewhere.path().filename() / "flash.img"}) {
    EXPECT_THAT(refused(image), AllOf(HasSubstr("field 'flash.image'"), HasSubstr("outside the module folder"))) << image;
  }
  EXPECT_FALSE(fs::exists(elsewhere.path() / "flash.img"));
  EXPECT_EQ(ReadFile(elsewhere.path() / "flash.img.json"), "theirs");
  // A dangling link at the image's name, a link at the sidecar's, a linked folder on the way.
  fs::create_symlink(elsewhere.path() / "planted.img", module / "dangling.img");
  EXPECT_THAT(refused(module / "dangling.img"), HasSubstr("symbolic link"));
  fs::create_symlink(elsewhere.path() / "flash.img.json", module / "flash.img.json");
  EXPECT_THAT(refused(module / "flash.img"), AllOf(HasSubstr("flash.img.json"), HasSubstr("symbolic link")));
  fs::create_directory_symlink(elsewhere.path(), module / "images");
  EXPECT_THAT(refused(module / "images" / "flash.img"), HasSubstr("symbolic link"));
  EXPECT_FALSE(fs::exists(elsewhere.path() / "planted.img"));
  EXPECT_FALSE(fs::exists(elsewhere.path() / "flash.img"));
  EXPECT_EQ(ReadFile(elsewhere.path() / "flash.img.json"), "theirs");
  // A FIFO or a folder where the image belongs: refused, without waiting for a peer.
  ASSERT_EQ(::mkfifo((module / "fifo.img").c_str(), 0644), 0);
  EXPECT_THAT(refused(module / "fifo.img"), HasSubstr("FIFO"));
  fs::create_directory(module / "folder.img");
  EXPECT_THAT(refused(module / "folder.img"), HasSubstr("is a folder"));

  // Inside the module, or in a folder the user allows, the image is made as before.
  fs::remove(module / "flash.img.json");
  EXPECT_EQ(refused(module / "flash.img"), "") << "a plain file name";
  EXPECT_TRUE(fs::is_regular_file(module / "flash.img"));
  description().allowed_outside = {outside};
  EXPECT_EQ(refused(outside / "flash.img"), "");
  EXPECT_TRUE(fs::is_regular_file(outside / "flash.img.json"));
}

// The image is checked with the module folder and opened when the board is built: a link another
// program swaps in for its folder in between leads nowhere, and nothing is made or read through it.
TEST_F(ConfinementTest, AFlashImageFolderSwappedForALinkAfterTheCheckIsNotFollowed) {
  const fs::path module = root().parent_path();
  sim::Reporter report = [](const std::string&) {};
  for (const char* type : {"nor", "nand"}) {
    SCOPED_TRACE(type);
    const fs::path images = module / type;
    const fs::path planted = elsewhere.path() / type;
    fs::create_directories(images);
    fs::create_directories(planted);
    sim::Description d = description();
    d.cpu_main_id = sim::Description::MainIdForProduct(type == std::string("nor") ? 17 : 2);
    nlohmann::json flash = {{"type", type}, {"image", std::string(type) + "/flash.img"}};
    if (type == std::string("nor")) flash["size_code"] = 24;
    if (type == std::string("nand")) flash["chip"] = "0xF1EC";
    d.flash = sim::ReadFlashConfig(flash, d.folder);

    sim::ModuleCore core(d, {});
    fs::rename(images, module / (std::string(type) + ".old"));
    fs::create_directory_symlink(planted, images);
    {
      sim::Board board = sim::BuildBoard(core.description(), core.clock(), report, core.TakeFlashImage());
      EXPECT_EQ(board.slots().size(), type == std::string("nor") ? 2u : 3u);
    }
    EXPECT_TRUE(fs::is_empty(planted)) << "made through the link: " << fs::directory_iterator(planted)->path();
    EXPECT_TRUE(fs::is_regular_file(module / (std::string(type) + ".old") / "flash.img"));
    EXPECT_TRUE(fs::is_regular_file(module / (std::string(type) + ".old") / "flash.img.json"));
    // Every board of a module folder opens its image through the folder settled at the check.
    sim::Clock clock(sim::Clock::Kind::kVirtual);
    EXPECT_THROW(sim::BuildBoard(d, clock, report), std::logic_error);
  }
}

class ChangesTest : public ConfinementTest, public ::testing::WithParamInterface<bool> {
 protected:
  ChangesTest() { sim::HostTree::UseChangeNotifications(GetParam()); }
  ~ChangesTest() override { sim::HostTree::UseChangeNotifications(true); }

  u32 CopyError(const std::u16string& from, const std::u16string& to) {
    return OsCopyFile(from.c_str(), to.c_str(), OS_FALSE) ? 0 : OsGetLastError();
  }
  // A folder's modification time moves on: lets a check by modification time see the next change
  // even on a file system whose clock ticks coarsely.
  static void NextTick() { usleep(20'000); }
};

TEST_P(ChangesTest, ALinkSwappedInForAFolderDuringTheRunIsRefused) {
  Put(root() / "Windows" / "x.dll", "x");
  Put(volume("Card") / "AutoCopy" / "Windows" / "y.dll", "y");
  description().volumes_at_start.push_back({"Card", volume("Card")});
  Start();
  ASSERT_EQ(CopyError(u"\\Card\\AutoCopy\\Windows\\y.dll", u"\\Windows\\y.dll"), 0u);  // \Windows is known now
  NextTick();
  // Another program swaps both folders for links out of the module.
  fs::rename(root() / "Windows", root() / "Windows.old");
  fs::create_directory_symlink(outside / "AutoCopy" / "Windows", root() / "Windows");
  fs::rename(volume("Card") / "AutoCopy", volume("Card") / "AutoCopy.old");
  fs::create_directory_symlink(outside / "AutoCopy", volume("Card") / "AutoCopy");
  EXPECT_EQ(CopyError(u"\\Windows.old\\x.dll", u"\\Windows\\planted.dll"), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(CopyError(u"\\Card\\AutoCopy\\Windows\\from-outside.dll", u"\\stolen.dll"), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(OsCreateFile(u"\\Windows\\planted.dll", OS_GENERIC_WRITE, 0, nullptr, OS_CREATE_ALWAYS, 0, nullptr),
            OS_INVALID_HANDLE);
  EXPECT_FALSE(OsCreateDirectory(u"\\Windows\\planted", nullptr));
  RunAutoCopy(u"\\Card");
  EXPECT_FALSE(fs::exists(root() / "stolen.dll"));
  EXPECT_FALSE(fs::exists(root() / "from-outside.dll"));
  ExpectOutsideUntouched();
}

TEST_P(ChangesTest, FilesOtherProgramsAddRemoveAndRenameAreSeenWithoutRegardToCase) {
  Put(root() / "Data" / "old.txt", "old");
  Start();
  EXPECT_EQ(OsGetFileAttributes(u"\\DATA\\OLD.TXT"), OS_FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(OsGetFileAttributes(u"\\data\\new.txt"), OS_INVALID_FILE_ATTRIBUTES);  // both folders indexed now
  NextTick();
  Put(root() / "Data" / "New.Txt", "new");
  fs::rename(root() / "Data" / "old.txt", root() / "Data" / "Renamed.txt");
  fs::create_directory(root() / "Later");
  EXPECT_EQ(OsGetFileAttributes(u"\\data\\new.txt"), OS_FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(OsGetFileAttributes(u"\\data\\old.txt"), OS_INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(OsGetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OsGetFileAttributes(u"\\data\\renamed.TXT"), OS_FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(OsGetFileAttributes(u"\\LATER"), OS_FILE_ATTRIBUTE_DIRECTORY);
  // A folder replaced by another of the same name is the new one.
  NextTick();
  fs::rename(root() / "Data", root() / "Data.old");
  Put(root() / "Data" / "fresh.txt", "fresh");
  EXPECT_EQ(OsGetFileAttributes(u"\\Data\\new.txt"), OS_INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(OsCopyFile(u"\\Data\\fresh.txt", u"\\Data\\copy.txt", OS_FALSE));
  EXPECT_EQ(ReadFile(root() / "Data" / "copy.txt"), "fresh");
}

TEST_P(ChangesTest, OfNamesEqualButForCaseTheExactOneAnswersElseTheFirstInByteOrder) {
  Put(root() / "d" / "readme.TXT", "upper");
  Put(root() / "d" / "README.txt", "lower");
  Start();
  auto content = [](const std::u16string& path) {
    OsHandle file = OsCreateFile(path.c_str(), OS_GENERIC_READ, 0, nullptr, OS_OPEN_EXISTING, 0, nullptr);
    if (file == OS_INVALID_HANDLE) return std::string("error");
    char buffer[16];
    u32 count = 0;
    OsReadFile(file, buffer, sizeof buffer, &count, nullptr);
    OsCloseHandle(file);
    return std::string(buffer, count);
  };
  EXPECT_EQ(content(u"\\d\\readme.TXT"), "upper");
  EXPECT_EQ(content(u"\\d\\README.txt"), "lower");
  EXPECT_EQ(content(u"\\d\\Readme.Txt"), "lower");  // "README.txt" < "readme.TXT"
  NextTick();
  fs::remove(root() / "d" / "README.txt");
  EXPECT_EQ(content(u"\\d\\Readme.Txt"), "upper");
  EXPECT_TRUE(OsDeleteFile(u"\\d\\README.TXT"));
  EXPECT_EQ(content(u"\\d\\readme.txt"), "error");
}

TEST_P(ChangesTest, ATreeDeeperAndWiderThanTheOpenFolderBudgetCopiesAndStaysConfined) {
  // More folders than the file system keeps open: early ones are closed and opened again.
  const int folders = static_cast<int>(sim::HostTree::kOpenFolderBudget) + 40;
  for (int i = 0; i < folders; ++i) Put(volume("Card") / "AutoCopy" / ("f" + std::to_string(i)) / "a.txt", std::to_string(i));
  description().volumes_at_start.push_back({"Card", volume("Card")});
  Start();
  RunAutoCopy(u"\\Card");
  EXPECT_EQ(os().activity.files_copied, static_cast<u32>(folders));
  EXPECT_EQ(ReadFile(root() / "f0" / "a.txt"), "0");
  EXPECT_EQ(ReadFile(root() / ("f" + std::to_string(folders - 1)) / "a.txt"), std::to_string(folders - 1));
  // f0 was closed long ago; swapped for a link now, it is refused when opened again.
  NextTick();
  fs::rename(root() / "f0", root() / "f0.old");
  fs::create_directory_symlink(outside, root() / "f0");
  EXPECT_EQ(CopyError(u"\\f1\\a.txt", u"\\f0\\planted.txt"), OS_ERROR_ACCESS_DENIED);
  ExpectOutsideUntouched();
}

INSTANTIATE_TEST_SUITE_P(Learning, ChangesTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Notified") : std::string("ByModificationTime");
                         });

}  // namespace
