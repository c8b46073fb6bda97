// Bundle records as the host packs them and as the hand-off walks them, on an in-memory flash.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/module_fixture.h"
#include "tools/bundle.h"

namespace {

constexpr std::uint32_t kRegion = 0x13C0000;
constexpr std::uint32_t kRegionBytes = 0x40000;
constexpr std::uint32_t kFlashBytes = 0x2000000;

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

tools::BundleFile File(const std::string& name, const std::string& payload) {
  return {tools::DeviceNameFromUtf8(name), Bytes(payload)};
}

// An erased flash holding the bytes at the region's start.
class MemoryFlash {
 public:
  explicit MemoryFlash(const std::vector<std::uint8_t>& region) : bytes_(kFlashBytes, 0xFF) {
    std::copy(region.begin(), region.end(), bytes_.begin() + kRegion);
  }
  tools::FlashReader Reader() {
    return [this](std::uint32_t offset, std::span<std::uint8_t> out) {
      if (std::uint64_t{offset} + out.size() > bytes_.size()) return false;
      std::copy_n(bytes_.begin() + offset, out.size(), out.begin());
      return true;
    };
  }
  std::vector<std::uint8_t> bytes_;
};

std::uint32_t U32At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

TEST(BundleEncoding, RecordsFollowEachOtherWithPaddedPayloads) {
  std::vector<tools::BundleFile> files = {File("\\a.txt", "hello"), File("\\b.exe", ""),
                                          File("\\c.EXE", "12345678")};
  std::vector<std::uint8_t> region = tools::EncodeBundle(files);

  ASSERT_EQ(region.size(), 48u + 40u + 48u);
  EXPECT_EQ(std::string(region.begin(), region.begin() + 4), "TEST");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(region.data() + 4)), "\\a.txt");
  EXPECT_EQ(U32At(region, 36), 5u);
  EXPECT_EQ(std::string(region.begin() + 40, region.begin() + 48), std::string("hello\0\0\0", 8));
  EXPECT_EQ(U32At(region, 48), 0x54534554u);  // the next header 48 bytes on
  EXPECT_EQ(U32At(region, 48 + 36), 0u);
  EXPECT_EQ(U32At(region, 88), 0x54534554u);  // a 0-byte payload takes no room

  MemoryFlash flash(region);
  tools::BundleContents contents = tools::WalkBundle(flash.Reader(), kFlashBytes);
  EXPECT_EQ(contents.problem, "");
  ASSERT_EQ(contents.records.size(), 3u);
  EXPECT_EQ(contents.records[1].offset, kRegion + 48);
  EXPECT_EQ(contents.records[2].offset, kRegion + 88);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(contents.records[i].file.name, files[i].name);
    EXPECT_EQ(contents.records[i].file.payload, files[i].payload);
  }
  EXPECT_EQ(contents.program, 2u);  // the last *.exe, whatever its case
}

TEST(BundleEncoding, TheRegionHoldsAtMost256KiBOfRecords) {
  std::vector<tools::BundleFile> exact = {File("\\t.exe", std::string(kRegionBytes - 40, 'x'))};
  EXPECT_EQ(tools::EncodeBundle(exact).size(), kRegionBytes);
  std::vector<tools::BundleFile> over = {File("\\t.exe", std::string(kRegionBytes - 40 - 4, 'x')),
                                         File("\\u.txt", "")};
  EXPECT_THROW(tools::EncodeBundle(over), tools::BundleError);
  EXPECT_TRUE(tools::EncodeBundle({}).empty());
}

TEST(BundleNames, NamesAreNarrowDevicePathsOfAtMost31Characters) {
  EXPECT_EQ(tools::DeviceNameFromUtf8("\\" + std::string(30, 'n')).size(), 31u);
  EXPECT_THROW(tools::DeviceNameFromUtf8("\\" + std::string(31, 'n')), tools::BundleError);
  EXPECT_EQ(tools::DeviceNameFromUtf8("\\caf\xC3\xA9.exe"), "\\caf\xE9.exe");  // one narrow byte
  EXPECT_EQ(tools::DeviceNameFromUtf8("\\\xE2\x82\xAC.txt"), "\\\x80.txt");    // the euro sign
  EXPECT_EQ(tools::DeviceNameFromUtf8("\\Windows\\t.exe"), "\\Windows\\t.exe");
  EXPECT_THROW(tools::DeviceNameFromUtf8("\\\xE6\x97\xA5.exe"), tools::BundleError);  // no narrow form
  for (const char* bad : {"", "\\", "\\a/b.exe", "\\a:b", "\\x\\\\y", "\\x\\", "\\*.exe", "\\..\\x"}) {
    EXPECT_THROW(tools::DeviceNameFromUtf8(bad), tools::BundleError) << bad;
  }
  EXPECT_TRUE(tools::IsProgramName("\\c.EXE"));
  EXPECT_FALSE(tools::IsProgramName("exe"));
  EXPECT_FALSE(tools::IsProgramName("\\c.exe.txt"));
}

TEST(BundleNames, WarningsForNoProgramTwiceTheSameNameAndFolders) {
  EXPECT_TRUE(tools::BundleWarnings({File("\\a.txt", "1"), File("\\b.exe", "2")}).empty());
  std::vector<std::string> w =
      tools::BundleWarnings({File("\\a.txt", "1"), File("\\A.TXT", "2"), File("\\d\\x", "")});
  ASSERT_EQ(w.size(), 3u);
  EXPECT_NE(w[0].find(".exe"), std::string::npos);
  EXPECT_NE(w[1].find("'\\A.TXT' is given more than once"), std::string::npos);
  EXPECT_NE(w[2].find("'\\d\\x' lies in a folder"), std::string::npos);
}

TEST(BundleInputs, FileArgumentsNameTheDevicePathOrTakeTheBaseName) {
  testing_support::TempFolder folder;
  testing_support::WriteFile(folder.path() / "t.exe", "MZ");
  testing_support::WriteFile(folder.path() / "odd=name.txt", "odd");

  tools::BundleFile plain = tools::LoadBundleInput((folder.path() / "t.exe").string());
  EXPECT_EQ(plain.name, "\\t.exe");
  EXPECT_EQ(plain.payload, Bytes("MZ"));
  EXPECT_EQ(tools::LoadBundleInput((folder.path() / "t.exe").string() + "=\\Tester.exe").name,
            "\\Tester.exe");
  EXPECT_EQ(tools::LoadBundleInput((folder.path() / "odd=name.txt").string()).name, "\\odd=name.txt");
  EXPECT_THROW(tools::LoadBundleInput((folder.path() / "missing.exe").string()), tools::BundleError);
  EXPECT_THROW(tools::LoadBundleInput(folder.path().string()), tools::BundleError);  // a folder
}

// --- walking what the flash holds, as the hand-off does ---

std::vector<std::uint8_t> Header(const std::string& name_field, std::uint32_t size) {
  std::vector<std::uint8_t> h(40, 0);
  std::memcpy(h.data(), "TEST", 4);
  std::memcpy(h.data() + 4, name_field.data(), std::min<std::size_t>(name_field.size(), 32));
  std::memcpy(h.data() + 36, &size, 4);
  return h;
}

TEST(BundleWalk, StopsAtRecordsTheHandOffRefuses) {
  {
    std::vector<std::uint8_t> region = tools::EncodeBundle({File("\\ok.txt", "fine")});
    std::vector<std::uint8_t> bad = Header(std::string(32, 'n'), 4);  // no terminating zero
    region.insert(region.end(), bad.begin(), bad.end());
    MemoryFlash flash(region);
    tools::BundleContents contents = tools::WalkBundle(flash.Reader(), kFlashBytes);
    EXPECT_EQ(contents.records.size(), 1u);
    EXPECT_NE(contents.problem.find("without a terminating zero"), std::string::npos);
  }
  {
    MemoryFlash flash(Header("\\huge.exe", 0xFFFFFFFE));  // the padded size would wrap
    tools::BundleContents contents = tools::WalkBundle(flash.Reader(), kFlashBytes);
    EXPECT_TRUE(contents.records.empty());
    EXPECT_NE(contents.problem.find("run past the flash"), std::string::npos);
  }
  {
    MemoryFlash flash(Header("\\x.exe", 8));
    tools::BundleContents contents = tools::WalkBundle(
        [&](std::uint32_t offset, std::span<std::uint8_t> out) {
          return offset == kRegion && flash.Reader()(offset, out);
        },
        kFlashBytes);
    EXPECT_NE(contents.problem.find("payload of the record at 0x013C0000 cannot be read"), std::string::npos);
  }
}

TEST(BundleWalk, AFullRegionIsFollowedByAHeaderReadBeyondIt) {
  std::vector<std::uint8_t> region =
      tools::EncodeBundle({File("\\t.exe", std::string(kRegionBytes - 40, 'x'))});
  std::vector<std::uint8_t> beyond = tools::EncodeBundle({File("\\x.txt", "on")});
  region.insert(region.end(), beyond.begin(), beyond.end());
  MemoryFlash flash(region);
  tools::BundleContents contents = tools::WalkBundle(flash.Reader(), kFlashBytes);
  ASSERT_EQ(contents.records.size(), 2u);
  EXPECT_EQ(contents.records[1].offset, kRegion + kRegionBytes);
}

TEST(BundleExtract, PayloadsLandUnderTheFolderByTheirDevicePaths) {
  testing_support::TempFolder folder;
  MemoryFlash flash(tools::EncodeBundle({File("\\a.txt", "first"), File("\\sub\\b.exe", "MZ"),
                                         File("\\a.txt", "second"), File("\\caf\xC3\xA9", "")}));
  tools::BundleContents contents = tools::WalkBundle(flash.Reader(), kFlashBytes);
  std::vector<std::filesystem::path> written = tools::ExtractBundle(contents, folder.path() / "out");
  EXPECT_EQ(written.size(), 4u);
  EXPECT_EQ(testing_support::ReadFile(folder.path() / "out" / "a.txt"), "second");
  EXPECT_EQ(testing_support::ReadFile(folder.path() / "out" / "sub" / "b.exe"), "MZ");
  EXPECT_TRUE(std::filesystem::exists(folder.path() / "out" / "caf\xC3\xA9"));

  // A name that is no device path is refused before anything is written.
  MemoryFlash hostile(Header("\\..\\..\\escape", 0));
  contents = tools::WalkBundle(hostile.Reader(), kFlashBytes);
  ASSERT_EQ(contents.records.size(), 1u);
  EXPECT_THROW(tools::ExtractBundle(contents, folder.path() / "hostile"), tools::BundleError);
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "hostile"));
}

}  // namespace
