// Named shared memory on the simulated module: create-or-open, zero-filled when new, one region per
// module, seen by other processes under the same name, gone at power-off.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "sim/module.h"
#include "tests/support/module_fixture.h"

namespace {

constexpr u32 kBytes = 0x4004;

u8* MapRegion(const WChar* name = WSTR("NAND_FLASH_BBMT")) {
  OsHandle mapping = OsCreateFileMapping(OS_INVALID_HANDLE, nullptr, OS_PAGE_READWRITE, 0, kBytes, name);
  return mapping ? static_cast<u8*>(OsMapViewOfFile(mapping, OS_FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
}

TEST(SharedMemory, CreatedZeroFilledThenOpenedByThisAndAnotherProcess) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path(), 5));
  u8* view = MapRegion();
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(OsGetLastError(), OS_ERROR_SUCCESS);
  EXPECT_EQ(std::count(view, view + kBytes, 0), static_cast<long>(kBytes));
  std::memcpy(view, "BBMT", 4);

  u8* again = MapRegion();
  EXPECT_EQ(OsGetLastError(), OS_ERROR_ALREADY_EXISTS);
  ASSERT_NE(again, view);  // a view of its own on the same bytes
  EXPECT_EQ(std::memcmp(again, "BBMT", 4), 0);

  // Another host process opens the module's region by its name, reads and writes it.
  std::string name = sim::SharedMemory::PosixName(folder.path(), u"NAND_FLASH_BBMT");
  EXPECT_EQ(name, sim::SharedMemory::PosixName(folder.path() / "root" / "..", u"NAND_FLASH_BBMT"));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    void* p = fd < 0 ? MAP_FAILED : mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED || std::memcmp(p, "BBMT", 4) != 0) _exit(2);
    static_cast<unsigned char*>(p)[4] = 0x42;
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(view[4], 0x42);
}

TEST(SharedMemory, EachModuleHasItsOwnWhichPowerOffRemovesAndPowerOnStartsWithout) {
  testing_support::TempFolder a, b;
  std::string name = sim::SharedMemory::PosixName(a.path(), u"NAND_FLASH_BBMT");
  EXPECT_NE(name, sim::SharedMemory::PosixName(b.path(), u"NAND_FLASH_BBMT"));
  {
    sim::Module module(testing_support::BareDescription(a.path(), 5));
    ASSERT_NE(MapRegion(), nullptr);
    EXPECT_TRUE(std::filesystem::exists("/dev/shm" + name));
  }
  EXPECT_FALSE(std::filesystem::exists("/dev/shm" + name));
  // What a crashed run left behind is gone at the next power-on.
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  sim::Module module(testing_support::BareDescription(a.path(), 5));
  EXPECT_FALSE(std::filesystem::exists("/dev/shm" + name));
}

TEST(SharedMemory, InjectedFailuresAndUnsupportedRequestsReturnNull) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path(), 5));
  module.faults().Add({.op = sim::FaultOp::kCreateFileMapping, .error = 8, .subject = "NAND_FLASH_BBMT"});
  EXPECT_EQ(MapRegion(), nullptr);
  EXPECT_EQ(OsGetLastError(), 8u);
  module.faults().Add({.op = sim::FaultOp::kMapViewOfFile, .error = 5, .subject = ""});
  EXPECT_EQ(MapRegion(), nullptr);
  EXPECT_EQ(OsGetLastError(), 5u);
  EXPECT_EQ(MapRegion(nullptr), nullptr);  // only named regions backed by the paging file
  EXPECT_EQ(OsCreateFileMapping(OS_INVALID_HANDLE, nullptr, OS_PAGE_READWRITE, 0, 0, WSTR("X")), nullptr);
  OsHandle mapping = OsCreateFileMapping(OS_INVALID_HANDLE, nullptr, OS_PAGE_READWRITE, 0, kBytes, WSTR("Y"));
  EXPECT_EQ(OsMapViewOfFile(mapping, OS_FILE_MAP_ALL_ACCESS, 0, 0, kBytes + 1), nullptr);
  EXPECT_EQ(OsMapViewOfFile(reinterpret_cast<OsHandle>(uptr{0x77}), OS_FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
}

}  // namespace

TEST(SharedMemory, ANewLauncherProcessGetsBackWhatTheOldOneHeldButTheRegionStaysUntilCleared) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path(), 5));
  u8* view = MapRegion();
  ASSERT_NE(view, nullptr);
  std::memcpy(view, "BBMT", 4);
  ASSERT_NE(OsLocalAlloc(0, 64), nullptr);
  ASSERT_NE(OsVirtualAlloc(nullptr, 0x1000, OS_MEM_RESERVE, OS_PAGE_NOACCESS), nullptr);
  ASSERT_GT(module.OpenHandleCount(), 0u);
  ASSERT_EQ(module.LiveHeapBlocks(), 1u);

  module.StartLauncherProcess();
  EXPECT_EQ(module.OpenHandleCount(), 0u);
  EXPECT_EQ(module.LiveHeapBlocks(), 0u);
  // The named region outlives the process that made it, as on the module.
  u8* again = MapRegion();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(OsGetLastError(), OS_ERROR_ALREADY_EXISTS);
  EXPECT_EQ(std::memcmp(again, "BBMT", 4), 0);

  module.shared_memory().Clear();
  EXPECT_TRUE(module.shared_memory().Names().empty());
  u8* fresh = MapRegion();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(OsGetLastError(), OS_ERROR_SUCCESS);
  EXPECT_EQ(std::count(fresh, fresh + kBytes, 0), static_cast<long>(kBytes));
}
