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
#include "sim/shared_memory.h"
#include "tests/support/module_fixture.h"

namespace {

constexpr u32 kRegionBytes = 0x4004;

OsHandle CreateRegion(const WChar* name = WSTR("NAND_FLASH_BBMT")) {
  return OsCreateFileMapping(OS_INVALID_HANDLE, nullptr, OS_PAGE_READWRITE, 0, kRegionBytes, name);
}

bool ShmExists(const std::string& posix_name) { return std::filesystem::exists("/dev/shm" + posix_name); }

TEST(SharedMemory, NewRegionIsZeroFilledAndASecondOpenSeesTheSameBytes) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path(), 5));

  OsHandle first = CreateRegion();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(OsGetLastError(), OS_ERROR_SUCCESS);
  auto* view = static_cast<u8*>(OsMapViewOfFile(first, OS_FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  for (u32 i = 0; i < kRegionBytes; ++i) ASSERT_EQ(view[i], 0) << "byte " << i;
  std::memcpy(view, "BBMT", 4);
  view[kRegionBytes - 1] = 0x5A;

  OsHandle second = CreateRegion();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(OsGetLastError(), OS_ERROR_ALREADY_EXISTS);
  auto* other = static_cast<u8*>(OsMapViewOfFile(second, OS_FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, view);  // a view of its own, the same bytes
  EXPECT_EQ(std::memcmp(other, "BBMT", 4), 0);
  EXPECT_EQ(other[kRegionBytes - 1], 0x5A);

  // Closing a handle keeps the region and its views.
  EXPECT_TRUE(OsCloseHandle(first));
  other[8] = 7;
  EXPECT_EQ(view[8], 7);
}

TEST(SharedMemory, AnotherHostProcessOpeningTheModulesRegionSeesItsBytes) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path(), 5));
  auto* view = static_cast<u8*>(OsMapViewOfFile(CreateRegion(), OS_FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  std::memcpy(view, "BBMT", 4);

  std::string name = sim::SharedMemory::PosixName(folder.path(), u"NAND_FLASH_BBMT");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) _exit(2);
    void* p = mmap(nullptr, kRegionBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) _exit(3);
    auto* bytes = static_cast<unsigned char*>(p);
    if (std::memcmp(bytes, "BBMT", 4) != 0) _exit(4);
    bytes[4] = 0x42;  // and what it writes comes back
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(view[4], 0x42);
}

TEST(SharedMemory, TwoModulesNeverShareARegion) {
  testing_support::TempFolder a;
  testing_support::TempFolder b;
  EXPECT_NE(sim::SharedMemory::PosixName(a.path(), u"NAND_FLASH_BBMT"),
            sim::SharedMemory::PosixName(b.path(), u"NAND_FLASH_BBMT"));
  // The same module reached by another spelling of its path is the same module.
  EXPECT_EQ(sim::SharedMemory::PosixName(a.path(), u"NAND_FLASH_BBMT"),
            sim::SharedMemory::PosixName(a.path() / "root" / "..", u"NAND_FLASH_BBMT"));
}

TEST(SharedMemory, PowerOffRemovesTheRegionAndPowerOnStartsWithout) {
  testing_support::TempFolder folder;
  std::string name = sim::SharedMemory::PosixName(folder.path(), u"NAND_FLASH_BBMT");
  {
    sim::Module module(testing_support::BareDescription(folder.path(), 5));
    auto* view = static_cast<u8*>(OsMapViewOfFile(CreateRegion(), OS_FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    view[0] = 1;
    EXPECT_TRUE(ShmExists(name));
  }
  EXPECT_FALSE(ShmExists(name));

  // A region a crashed run left behind is gone at the next power-on.
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, kRegionBytes), 0);
  close(fd);
  sim::Module module(testing_support::BareDescription(folder.path(), 5));
  EXPECT_FALSE(ShmExists(name));
  EXPECT_TRUE(module.shared_memory().Names().empty());
  auto* view = static_cast<u8*>(OsMapViewOfFile(CreateRegion(), OS_FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(OsGetLastError(), OS_ERROR_SUCCESS);
}

TEST(SharedMemory, InjectedFailuresAndUnsupportedRequestsReturnNull) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path(), 5));
  module.faults().Add({.op = sim::FaultOp::kCreateFileMapping, .error = 8, .subject = "NAND_FLASH_BBMT"});
  EXPECT_EQ(CreateRegion(), nullptr);
  EXPECT_EQ(OsGetLastError(), 8u);

  OsHandle mapping = CreateRegion();
  ASSERT_NE(mapping, nullptr);
  module.faults().Add({.op = sim::FaultOp::kMapViewOfFile, .error = 5, .subject = ""});
  EXPECT_EQ(OsMapViewOfFile(mapping, OS_FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
  EXPECT_EQ(OsGetLastError(), 5u);
  EXPECT_NE(OsMapViewOfFile(mapping, OS_FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);

  // Only regions backed by the paging file, with a name and a size, are served.
  EXPECT_EQ(CreateRegion(nullptr), nullptr);
  EXPECT_EQ(OsCreateFileMapping(OS_INVALID_HANDLE, nullptr, OS_PAGE_READWRITE, 0, 0, WSTR("X")), nullptr);
  EXPECT_EQ(OsMapViewOfFile(mapping, OS_FILE_MAP_ALL_ACCESS, 0, 0, kRegionBytes + 1), nullptr);
  EXPECT_EQ(OsMapViewOfFile(reinterpret_cast<OsHandle>(uptr{0x77}), OS_FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
}

}  // namespace
