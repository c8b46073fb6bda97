// Cards given as FAT image files, made here as users make them (mkfs.vfat, then mcopy and mattrib):
// served end to end by `kalvori sim` from a script's mount and from module.json, checked by
// `kalvori card check`, with long names, nested folders and read-only files coming through, and the
// image never changed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "platform/platform.h"
#include "sim/module.h"
#include "sim/services.h"
#include "tests/support/kalvori_command.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CommandRun;
using testing_support::ReadFile;
using testing_support::ShellQuote;
using testing_support::TempFolder;
using testing_support::WriteFile;

// Runs a shell command with the system tools' folders on the path; true when it succeeded.
bool Shell(const std::string& command) {
  std::string line = "PATH=\"$PATH:/usr/sbin:/sbin\" MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + command +
                     " >/dev/null 2>&1";
  return std::system(line.c_str()) == 0;
}

class FatImageCard : public ::testing::Test {
 protected:
  TempFolder folder;
  fs::path module = folder.path() / "module";
  fs::path image = module / "card.img";  // a path the module folder names stays inside it

  void SetUp() override {
    WriteFile(module / "module.json", R"({"cpu_product": 17})");
    fs::create_directories(module / "root" / "Windows");
    // The card's tree, put into a fresh FAT image as a card reader would hold it.
    fs::path src = folder.path() / "src";
    WriteFile(src / "AutoCopy" / "Program Files" / "My Long App" / "Long File Name.txt", "long name");
    WriteFile(src / "AutoCopy" / "Program Files" / "My Long App" / "app.exe", "app");
    WriteFile(src / "AutoCopy" / "Windows" / "locked.ini", "read only");
    // A long name (stored in the image's long-name entries, UTF-16) with a character beyond ASCII.
    WriteFile(src / "AutoCopy" / "Windows" / "caf\xC3\xA9 au lait.txt", "accent");
    WriteFile(src / "AutoRun" / "SETUP.EXE", "setup");
    WriteFile(src / "AutoRun" / "app.lnk", "#\"\\Program Files\\My Long App\\app.exe\" -go");
    ASSERT_TRUE(Shell("mkfs.vfat -C " + ShellQuote(image) + " 4096")) << "mkfs.vfat (dosfstools) is needed";
    ASSERT_TRUE(Shell("mcopy -s -i " + ShellQuote(image) + " " + ShellQuote(src / "AutoCopy") + " " +
                      ShellQuote(src / "AutoRun") + " ::/"))
        << "mcopy (mtools) is needed";
    ASSERT_TRUE(Shell("mattrib -i " + ShellQuote(image) + " +r ::/AutoCopy/Windows/locked.ini"));
    before_ = ReadFile(image);
  }

  void TearDown() override { EXPECT_EQ(ReadFile(image), before_) << "the image was changed"; }

  CommandRun Kalvori(const std::string& arguments) { return testing_support::RunKalvori(arguments, folder.path()); }

  void ExpectServed(const CommandRun& run) {
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find("\n---")), "");
    EXPECT_NE(run.out.find("\\Storage Card\\AutoRun\\SETUP.EXE\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\\Program Files\\My Long App\\app.exe -go\n"), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(module / "root" / "Program Files" / "My Long App" / "Long File Name.txt"), "long name");
    EXPECT_EQ(ReadFile(module / "root" / "Windows" / "caf\xC3\xA9 au lait.txt"), "accent");
    EXPECT_EQ(ReadFile(module / "root" / "Windows" / "locked.ini"), "read only");
  }

 private:
  std::string before_;
};

TEST_F(FatImageCard, AScriptMountsTheImageAndTheLauncherServesIt) {
  WriteFile(folder.path() / "script.txt", "wait 2000\nmount \"Storage Card\" card.img\nwait 100\nunmount \"Storage Card\"\n");
  ExpectServed(Kalvori("sim " + ShellQuote(module) + " --virtual-time --script " + ShellQuote(folder.path() / "script.txt")));
}

TEST_F(FatImageCard, AVolumeOfTheDescriptionMayBeAnImage) {
  WriteFile(module / "module.json", R"({"cpu_product": 17, "volumes": [{"name": "Storage Card", "dir": "card.img"}]})");
  ExpectServed(Kalvori("sim " + ShellQuote(module) + " --virtual-time"));
}

TEST_F(FatImageCard, TheFilesAttributesComeThroughAndTheCopyGoesWithTheVolume) {
  sim::Module m(testing_support::BareDescription(module));
  ASSERT_EQ(m.os().files.Mount(u"Card", image), "");
  fs::path copy = m.os().files.volumes().front().dir;
  OsFindData entry;
  OsHandle search = OsFindFirstFile(u"\\Card\\AutoCopy\\Windows\\*", &entry);
  ASSERT_NE(search, OS_INVALID_HANDLE);
  std::map<std::u16string, u32> attributes;
  do {
    attributes[entry.FileName] = entry.FileAttributes;
  } while (OsFindNextFile(search, &entry));
  OsFindClose(search);
  ASSERT_EQ(attributes.size(), 2u);
  ASSERT_TRUE(attributes.count(u"locked.ini") && attributes.count(u"caf\u00E9 au lait.txt"));
  EXPECT_TRUE(attributes[u"locked.ini"] & OS_FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(attributes[u"caf\u00E9 au lait.txt"] & OS_FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(OsGetFileAttributes(u"\\Card\\AutoCopy\\Program Files\\My Long App") & OS_FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_EQ(m.os().files.Unmount(u"Card"), "");
  EXPECT_FALSE(fs::exists(copy));  // nothing of the image is left behind

  WriteFile(module / "not-fat.img", "this is no FAT image");
  std::string problem = m.os().files.Mount(u"Bad", module / "not-fat.img");
  EXPECT_NE(problem.find((module / "not-fat.img").string() + " is not a FAT image that mtools can read: "),
            std::string::npos)
      << problem;
  EXPECT_TRUE(m.os().files.volumes().empty());
}

// An image is confined like any path a module folder names: one outside the module folder, or behind
// a symbolic link, is refused, and nothing of it is read.
TEST_F(FatImageCard, AnImageOutsideTheModuleFolderOrBehindALinkIsRefused) {
  fs::copy_file(image, folder.path() / "outside.img");
  fs::create_symlink(image, module / "link.img");
  WriteFile(module / "module.json", R"({"cpu_product": 17, "volumes": [{"name": "Card", "dir": "../outside.img"}]})");
  CommandRun run = Kalvori("sim " + ShellQuote(module) + " --virtual-time");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("outside.img lies outside the module folder"), std::string::npos) << run.err;

  WriteFile(folder.path() / "script.txt", "mount Card link.img\n");
  WriteFile(module / "module.json", R"({"cpu_product": 17})");
  run = Kalvori("sim " + ShellQuote(module) + " --virtual-time --script " + ShellQuote(folder.path() / "script.txt"));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("link.img is or leads through a symbolic link"), std::string::npos) << run.err;

  // Allowed outside, the same image is served.
  WriteFile(module / "module.json", R"({"cpu_product": 17, "volumes": [{"name": "Storage Card", "dir": "../outside.img"}]})");
  ExpectServed(Kalvori("sim " + ShellQuote(module) + " --virtual-time --allow-outside " + ShellQuote(folder.path())));
}

TEST_F(FatImageCard, CardCheckReadsTheImage) {
  WriteFile(module / "root" / "Windows" / "locked.ini", "the module's");
  fs::permissions(module / "root" / "Windows" / "locked.ini", fs::perms::owner_read);
  CommandRun run = Kalvori("card check " + ShellQuote(image) + " --module " + ShellQuote(module));
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("new           \\Program Files\\My Long App\\Long File Name.txt\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("problem: \\Windows\\locked.ini: read-only on the module"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("2. \\Program Files\\My Long App\\app.exe -go"), std::string::npos) << run.out;
}

}  // namespace
