// The host platform's file services on a simulated module: where device paths lead, what listings
// hold, and how copies, creations and stores behave.
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "sim/core/text.h"
#include "tests/support/os_fixture.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing_support::OsModuleTest;
using testing_support::ReadFile;

class FilesTest : public OsModuleTest {
 protected:
  // The error a path's attribute query fails with; 0 when it succeeds.
  u32 AttributeError(const std::u16string& path) {
    return OsGetFileAttributes(path.c_str()) == OS_INVALID_FILE_ATTRIBUTES ? OsGetLastError() : 0;
  }
  static void MakeReadOnly(const fs::path& file) {
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  // "name" or "name/" (directory) of every entry of an enumeration, in order; the error when none.
  std::vector<std::string> FindAll(const std::u16string& pattern) {
    std::vector<std::string> names;
    OsFindData found;
    OsHandle search = OsFindFirstFile(pattern.c_str(), &found);
    if (search == OS_INVALID_HANDLE) return {"error " + std::to_string(OsGetLastError())};
    do {
      names.push_back(sim::ToUtf8(found.FileName) + (found.FileAttributes & OS_FILE_ATTRIBUTE_DIRECTORY ? "/" : ""));
    } while (OsFindNextFile(search, &found));
    EXPECT_EQ(OsGetLastError(), OS_ERROR_NO_MORE_FILES);
    EXPECT_TRUE(OsFindClose(search));
    return names;
  }
};

TEST_F(FilesTest, NoDevicePathLeadsOutOfTheModuleFolders) {
  // A host file beside root/, and a link inside root/ pointing out of it.
  testing_support::WriteFile(root().parent_path() / "secret.txt", "secret");
  Put(root() / "Windows" / "x.dll", "x");
  fs::create_directory_symlink(root().parent_path(), root() / "link");
  Start();
  const std::string outside = (root().parent_path() / "secret.txt").string();
  for (const std::u16string& path :
       {std::u16string(u"\\..\\secret.txt"), std::u16string(u"\\Windows\\..\\..\\secret.txt"), std::u16string(u"..\\secret.txt"),
        std::u16string(u"\\.\\Windows\\x.dll"), std::u16string(u"\\Windows\\\\x.dll"), std::u16string(u"C:\\secret.txt"),
        sim::ToUtf16(outside), std::u16string(u"\\Windows/../../secret.txt")}) {
    EXPECT_EQ(AttributeError(path), OS_ERROR_INVALID_NAME) << sim::ToUtf8(path);
    EXPECT_FALSE(OsCopyFile(u"\\Windows\\x.dll", path.c_str(), OS_FALSE)) << sim::ToUtf8(path);
    EXPECT_FALSE(OsCreateDirectory((path + u"_dir").c_str(), nullptr)) << sim::ToUtf8(path);
    EXPECT_EQ(OsCreateFile(path.c_str(), OS_GENERIC_WRITE, 0, nullptr, OS_CREATE_ALWAYS, 0, nullptr),
              OS_INVALID_HANDLE);
    EXPECT_FALSE(OsDeleteFile(path.c_str())) << sim::ToUtf8(path);
    OsFindData found;
    EXPECT_EQ(OsFindFirstFile((path + u"*").c_str(), &found), OS_INVALID_HANDLE) << sim::ToUtf8(path);
  }
  EXPECT_EQ(OsCreateFile(u"\\link\\planted.txt", OS_GENERIC_WRITE, 0, nullptr, OS_CREATE_ALWAYS, 0, nullptr),
            OS_INVALID_HANDLE);
  EXPECT_FALSE(OsCreateDirectory(u"\\link\\planted", nullptr));
  EXPECT_EQ(AttributeError(u"\\link\\secret.txt"), OS_ERROR_ACCESS_DENIED);
  EXPECT_FALSE(OsCopyFile(u"\\link\\secret.txt", u"\\stolen.txt", OS_FALSE));
  EXPECT_FALSE(OsCopyFile(u"\\Windows\\x.dll", u"\\link\\planted.txt", OS_FALSE));
  EXPECT_EQ(OsCreateFile(u"\\link\\secret.txt", OS_GENERIC_READ, 0, nullptr, OS_OPEN_EXISTING, 0, nullptr),
            OS_INVALID_HANDLE);
  EXPECT_THAT(FindAll(u"\\*"), ElementsAre("Windows/"));  // the link is not listed
  EXPECT_EQ(ReadFile(root().parent_path() / "secret.txt"), "secret");
  EXPECT_FALSE(fs::exists(root().parent_path() / "planted.txt"));
  EXPECT_FALSE(fs::exists(root().parent_path() / "planted"));
  EXPECT_FALSE(fs::exists(root().parent_path() / "secret.txt_dir"));
  EXPECT_FALSE(fs::exists(root() / "stolen.txt"));
}

TEST_F(FilesTest, PathsIgnoreCaseAndVolumesAppearInTheRoot) {
  Put(root() / "Windows" / "Demo.DLL", "demo");
  Put(root() / "Storage Card" / "hidden.txt");  // hidden while a volume of that name is mounted
  Put(volume("Storage Card") / "AutoRun" / "a.exe");
  Start();
  EXPECT_EQ(OsGetFileAttributes(u"\\WINDOWS\\demo.dll"), OS_FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(OsGetFileAttributes(u"\\"), OS_FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_EQ(os().events.Mount(u"Storage Card"), "");
  EXPECT_THAT(FindAll(u"\\*"), ElementsAre("Storage Card/", "Windows/"));
  EXPECT_THAT(FindAll(u"\\storage card"), ElementsAre("Storage Card/"));
  // A mounted volume's folder is a directory marked temporary, in a listing as in the attribute query;
  // the root and ordinary folders are plain directories.
  OsFindData found;
  OsHandle search = OsFindFirstFile(u"\\Storage Card", &found);
  ASSERT_NE(search, OS_INVALID_HANDLE);
  EXPECT_TRUE(OsFindClose(search));
  EXPECT_EQ(found.FileAttributes, OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_TEMPORARY);
  EXPECT_EQ(OsGetFileAttributes(u"\\STORAGE CARD"), found.FileAttributes);
  EXPECT_EQ(OsGetFileAttributes(u"\\Windows"), OS_FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_THAT(FindAll(u"\\Storage Card\\*"), ElementsAre("AutoRun/"));
  EXPECT_EQ(AttributeError(u"\\Storage Card\\hidden.txt"), OS_ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(os().events.Unmount(u"STORAGE CARD"), "");
  EXPECT_THAT(FindAll(u"\\Storage Card\\*"), ElementsAre("hidden.txt"));
}

TEST_F(FilesTest, FindMatchesWildcardsWithoutCaseInFoldedNameOrder) {
  for (const char* name : {"b.EXE", "A.exe", "c.txt", "a.exe.bak", "ab.exe", "Zz.lnk"}) Put(root() / "d" / name);
  fs::create_directories(root() / "d" / "Dir.exe");
  Start();
  EXPECT_THAT(FindAll(u"\\d\\*"), ElementsAre("A.exe", "a.exe.bak", "ab.exe", "b.EXE", "c.txt", "Dir.exe/", "Zz.lnk"));
  EXPECT_THAT(FindAll(u"\\D\\*.exe"), ElementsAre("A.exe", "ab.exe", "b.EXE", "Dir.exe/"));
  EXPECT_THAT(FindAll(u"\\d\\?.exe"), ElementsAre("A.exe", "b.EXE"));
  EXPECT_THAT(FindAll(u"\\d\\*.*.*"), ElementsAre("a.exe.bak"));
  EXPECT_THAT(FindAll(u"\\d\\*.dll"), ElementsAre("error 2"));
  EXPECT_THAT(FindAll(u"\\missing\\*"), ElementsAre("error 3"));
}

TEST_F(FilesTest, CopyOverwritesUnlessAskedNotTo) {
  Put(root() / "a.txt", "new");
  Put(root() / "b.txt", "old");
  Start();
  EXPECT_FALSE(OsCopyFile(u"\\a.txt", u"\\b.txt", OS_TRUE));
  EXPECT_EQ(OsGetLastError(), OS_ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadFile(root() / "b.txt"), "old");
  EXPECT_TRUE(OsCopyFile(u"\\a.txt", u"\\B.TXT", OS_FALSE));
  EXPECT_EQ(ReadFile(root() / "b.txt"), "new");
  EXPECT_FALSE(OsCopyFile(u"\\a.txt", u"\\no\\such\\folder.txt", OS_FALSE));
  EXPECT_EQ(OsGetLastError(), OS_ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(OsCopyFile(u"\\missing.txt", u"\\c.txt", OS_FALSE));
  EXPECT_EQ(OsGetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(OsCopyFile(u"\\a.txt", u"\\A.txt", OS_FALSE));  // onto itself
  EXPECT_EQ(ReadFile(root() / "a.txt"), "new");
  EXPECT_THAT(FindAll(u"\\*"), ElementsAre("a.txt", "b.txt"));  // no temporary left behind
}

TEST_F(FilesTest, ReadOnlyDestinationIsNotCopiedOver) {
  Put(root() / "a.txt", "new");
  Put(root() / "locked.txt", "old");
  MakeReadOnly(root() / "locked.txt");
  Start();
  EXPECT_FALSE(OsCopyFile(u"\\a.txt", u"\\LOCKED.TXT", OS_FALSE));
  EXPECT_EQ(OsGetLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_FALSE(OsCopyFile(u"\\a.txt", u"\\locked.txt", OS_TRUE));
  EXPECT_EQ(OsGetLastError(), OS_ERROR_FILE_EXISTS);  // the existing file is reported first
  EXPECT_EQ(ReadFile(root() / "locked.txt"), "old");
  EXPECT_THAT(FindAll(u"\\*"), ElementsAre("a.txt", "locked.txt"));
}

TEST_F(FilesTest, ReadOnlyFileIsReportedAndRefusedAlikeByEveryCall) {
  // Also when the simulator runs with the rights to write anything (as root).
  Put(root() / "locked.txt", "old");
  MakeReadOnly(root() / "locked.txt");
  Start();
  OsFindData found;
  OsHandle search = OsFindFirstFile(u"\\locked.txt", &found);
  ASSERT_NE(search, OS_INVALID_HANDLE);
  EXPECT_TRUE(OsFindClose(search));
  EXPECT_EQ(found.FileAttributes, OS_FILE_ATTRIBUTE_ARCHIVE | OS_FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(OsGetFileAttributes(u"\\locked.txt"), found.FileAttributes);
  for (u32 disposition : {OS_CREATE_ALWAYS, OS_OPEN_EXISTING, OS_TRUNCATE_EXISTING}) {
    EXPECT_EQ(OsCreateFile(u"\\locked.txt", OS_GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr),
              OS_INVALID_HANDLE);
    EXPECT_EQ(OsGetLastError(), OS_ERROR_ACCESS_DENIED);
  }
  OsHandle file = OsCreateFile(u"\\locked.txt", OS_GENERIC_READ, 0, nullptr, OS_OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, OS_INVALID_HANDLE);
  EXPECT_TRUE(OsCloseHandle(file));
  EXPECT_EQ(ReadFile(root() / "locked.txt"), "old");
}

TEST_F(FilesTest, DirectoriesFilesAndStores) {
  description().stores.push_back("DSK0:");
  Start();
  EXPECT_TRUE(OsCreateDirectory(u"\\New", nullptr));
  EXPECT_FALSE(OsCreateDirectory(u"\\new", nullptr));
  EXPECT_EQ(OsGetLastError(), OS_ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(OsCreateDirectory(u"\\a\\b", nullptr));
  EXPECT_EQ(OsGetLastError(), OS_ERROR_PATH_NOT_FOUND);

  OsHandle file = OsCreateFile(u"\\new\\f.bin", OS_GENERIC_WRITE, 0, nullptr, OS_CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, OS_INVALID_HANDLE);
  u32 count = 0;
  EXPECT_TRUE(OsWriteFile(file, "abc", 3, &count, nullptr));
  EXPECT_EQ(count, 3u);
  char buffer[8];
  EXPECT_FALSE(OsReadFile(file, buffer, 3, &count, nullptr));  // opened for writing only
  EXPECT_TRUE(OsCloseHandle(file));
  EXPECT_FALSE(OsCloseHandle(file));
  EXPECT_EQ(ReadFile(root() / "New" / "f.bin"), "abc");

  OsHandle store = OsCreateFile(u"\\StoreMgr\\dsk0:", 0, 0, nullptr, 0, 0, nullptr);
  EXPECT_NE(store, OS_INVALID_HANDLE);
  EXPECT_TRUE(OsCloseHandle(store));
  EXPECT_EQ(OsCreateFile(u"\\StoreMgr\\DSK1:", 0, 0, nullptr, 0, 0, nullptr), OS_INVALID_HANDLE);
  EXPECT_EQ(OsGetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(module().OpenHandleCount(), 0u);
}

TEST_F(FilesTest, ProcessesAreLookedUpInTheRootThenInWindows) {
  Put(root() / "Windows" / "tool.exe");
  Put(root() / "app.exe");
  Start();
  OsProcessInformation info;
  EXPECT_TRUE(OsCreateProcess(u"tool.exe", u"-a", nullptr, nullptr, OS_FALSE, 0, nullptr, nullptr, nullptr, &info));
  EXPECT_TRUE(OsCreateProcess(u"app", nullptr, nullptr, nullptr, OS_FALSE, 0, nullptr, nullptr, nullptr, &info));
  EXPECT_FALSE(OsCreateProcess(u"\\Windows\\gone.exe", nullptr, nullptr, nullptr, OS_FALSE, 0, nullptr, nullptr,
                               nullptr, &info));
  EXPECT_EQ(OsGetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_THAT(Started(), ElementsAre("\\Windows\\tool.exe -a", "\\app.exe"));
  EXPECT_THAT(module().Reports(), ::testing::Contains("started \\Windows\\tool.exe -a"));
}

TEST_F(FilesTest, ProgramsRunOnTheHostOnlyWhenAskedTo) {
  fs::path marker = root().parent_path() / "ran";
  Put(root() / "Windows" / "touch.exe", "#!/bin/sh\necho \"$1\" > " + marker.string() + "\n");
  fs::permissions(root() / "Windows" / "touch.exe", fs::perms::owner_all);
  Start();
  OsProcessInformation info;
  ASSERT_TRUE(OsCreateProcess(u"\\Windows\\touch.exe", u"first", nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, &info));
  os().processes.set_run_host_programs(true);
  ASSERT_TRUE(OsCreateProcess(u"\\Windows\\touch.exe", u"second", nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, &info));
  for (int i = 0; i < 500 && ReadFile(marker).empty(); ++i) usleep(10'000);  // the program is not waited for
  EXPECT_EQ(ReadFile(marker), "second\n");
}

TEST_F(FilesTest, RegistryValuesComeFromTheDescription) {
  SetFolderValue("\\Flash Disk");
  Start();
  OsHKey key;
  u32 disposition = 0;
  ASSERT_EQ(OsRegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, u"system\\storagemanager\\profiles\\msflash", 0, nullptr, 0, 0, nullptr,
                             &key, &disposition),
            0);
  EXPECT_EQ(disposition, 2u);  // opened, not created
  WChar small[4];
  u32 bytes = sizeof small;
  EXPECT_EQ(OsRegQueryValueEx(key, u"FOLDER", nullptr, nullptr, reinterpret_cast<u8*>(small), &bytes),
            static_cast<i32>(OS_ERROR_MORE_DATA));
  EXPECT_EQ(bytes, 24u);  // "\Flash Disk" and its terminator
  WChar folder[16];
  bytes = sizeof folder;
  u32 type = 0;
  ASSERT_EQ(OsRegQueryValueEx(key, u"Folder", nullptr, &type, reinterpret_cast<u8*>(folder), &bytes), 0);
  EXPECT_EQ(type, OS_REG_SZ);
  EXPECT_EQ(std::u16string(folder), u"\\Flash Disk");
  EXPECT_EQ(OsRegQueryValueEx(key, u"Missing", nullptr, nullptr, reinterpret_cast<u8*>(folder), &bytes),
            static_cast<i32>(OS_ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OsRegCloseKey(key), 0);
}

}  // namespace
