// The simulated module's core: physical windows, the bus and the fresh start of device state.
#include <gtest/gtest.h>

#include "hw/devmem.h"
#include "platform/platform.h"
#include "sim/core/text.h"
#include "sim/module.h"
#include "tests/support/module_fixture.h"

namespace {

DEVICE_STATE int gStartValue = 7;

// A register file that remembers what was written.
class Scratch : public sim::BusDevice {
 public:
  std::string Name() const override { return "scratch"; }
  std::uint32_t Read32(std::uint32_t offset) override { return words[offset / 4]; }
  void Write32(std::uint32_t offset, std::uint32_t value) override { words[offset / 4] = value; }
  std::uint32_t words[1024] = {};
};

TEST(ModuleCore, EveryStartSeesDeviceStateAtItsInitialValue) {
  testing_support::TempFolder folder;
  {
    sim::Module module(testing_support::BareDescription(folder.path()));
    EXPECT_EQ(gStartValue, 7);
    gStartValue = 99;
  }
  sim::Module again(testing_support::BareDescription(folder.path()));
  EXPECT_EQ(gStartValue, 7);
}

TEST(ModuleCore, WindowAccessesReachTheModelAtTheirPhysicalAddress) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path()));
  Scratch scratch;
  module.bus().Attach(0x40000000, 0x1000, scratch);

  void* reservation = OsVirtualAlloc(nullptr, 0x1000, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
  ASSERT_NE(reservation, nullptr);
  ASSERT_TRUE(OsVirtualCopy(reservation, reinterpret_cast<void*>(uptr{0x40000000} >> 8), 0x1000,
                            OS_PAGE_READWRITE | OS_PAGE_NOCACHE | OS_PAGE_PHYSICAL));
  auto* window = static_cast<volatile u32*>(reservation);
  DevWrite32(DevReg(window, 0x10), 0x12345678);
  EXPECT_EQ(scratch.words[4], 0x12345678u);
  scratch.words[5] = 0xCAFEF00D;
  EXPECT_EQ(DevRead32(DevReg(window, 0x14)), 0xCAFEF00Du);

  u8 bytes[6];
  DevCopyFrom(bytes, DevByte(window, 0x12), 6);
  EXPECT_EQ(bytes[0], 0x34);
  EXPECT_EQ(bytes[2], 0x0D);

  EXPECT_TRUE(OsVirtualFree(reservation, 0, OS_MEM_RELEASE));
  EXPECT_TRUE(module.address_space().Reservations().empty());
}

TEST(ModuleCore, AccessesWithoutAMappingOrADeviceAreBusFaults) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path()));
  void* reservation = OsVirtualAlloc(nullptr, 0x2000, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
  ASSERT_NE(reservation, nullptr);
  auto* window = static_cast<volatile u32*>(reservation);
  EXPECT_THROW(DevRead32(window), sim::BusFault);  // reserved but not mapped

  ASSERT_TRUE(OsVirtualCopy(reservation, reinterpret_cast<void*>(uptr{0x50000000} >> 8), 0x2000,
                            OS_PAGE_READWRITE | OS_PAGE_NOCACHE | OS_PAGE_PHYSICAL));
  EXPECT_THROW(DevRead32(window), sim::BusFault);  // mapped, but no device answers there
  EXPECT_THROW(DevWrite32(DevReg(window, 0x1FFC), 1), sim::BusFault);
}

TEST(ModuleCore, InjectedMappingFailureNamesThePhysicalAddress) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path()));
  module.faults().Add({.op = sim::FaultOp::kVirtualCopy, .error = 87, .subject = "0x43100000"});
  void* reservation = OsVirtualAlloc(nullptr, 0x1000, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
  EXPECT_FALSE(OsVirtualCopy(reservation, reinterpret_cast<void*>(uptr{0x43100000} >> 8), 0x1000,
                             OS_PAGE_READWRITE | OS_PAGE_NOCACHE | OS_PAGE_PHYSICAL));
  EXPECT_EQ(OsGetLastError(), 87u);
  EXPECT_TRUE(OsVirtualCopy(reservation, reinterpret_cast<void*>(uptr{0x43100000} >> 8), 0x1000,
                            OS_PAGE_READWRITE | OS_PAGE_NOCACHE | OS_PAGE_PHYSICAL));
}

TEST(HostStrings, FormatConvertsAndRefusesWhatDoesNotFit) {
  testing_support::TempFolder folder;
  sim::Module module(testing_support::BareDescription(folder.path()));
  WChar buffer[32];
  EXPECT_EQ(OsFormat(buffer, 32, WSTR("%s\\%S=%d"), WSTR("a"), "b\x80", -5), 7);
  EXPECT_EQ(std::u16string(buffer), u"a\\b\u20AC=-5");
  EXPECT_EQ(OsFormat(buffer, 4, WSTR("%s"), WSTR("abcd")), -1);
  EXPECT_EQ(std::u16string(buffer), u"abc");
  EXPECT_EQ(OsStrICmp(WSTR("\\Storage CARD"), WSTR("\\storage card")), 0);
  EXPECT_LT(OsStrICmp(WSTR("a"), WSTR("B")), 0);
}

}  // namespace

namespace {

TEST(HostStrings, NamesFromOutsideArePrintedWithTheirControlCharactersEscaped) {
  EXPECT_EQ(sim::Printable(std::u16string_view(u"\\Card\x1b[2J\a\r\n\t.exe")), "\\Card\\x1b[2J\\x07\\r\\n\\t.exe");
  EXPECT_EQ(sim::Printable(std::u16string_view(u"x\x7f\x9b" u"1m")), "x\\x7f\\x9b1m");  // DEL and the C1 CSI
  EXPECT_EQ(sim::Printable(std::u16string_view(u"a\u202Eexe.txt")), "a\\u202Eexe.txt");  // reorders what follows
  EXPECT_EQ(sim::Printable("caf\xC3\xA9 \\ \xE2\x82\xAC"), "caf\xC3\xA9 \\ \xE2\x82\xAC");  // printable text stays
  EXPECT_EQ(sim::Printable("\x1b]0;title\x07"), "\\x1b]0;title\\x07");
  EXPECT_EQ(sim::Printable(sim::Printable("\x1b")), "\\x1b");  // escaping twice changes nothing more
  // The module's own line ends stay; a lone carriage return would let a name overwrite its line.
  EXPECT_EQ(sim::PrintableDebugOutput(u"Found \\a\rb\x1b.exe\r\nnext\n"), "Found \\a\\rb\\x1b.exe\r\nnext\n");
}

}  // namespace
