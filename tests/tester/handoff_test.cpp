// The tester hand-off on a NOR module: the bundle in the flash's tester region is written out, the
// region erased and the bundle's program started, once. Every start-up is a fresh sim::Module on
// the same folder; the flash persists in its image file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "flash/flash_ops.h"
#include "sim/core/faults.h"
#include "sim/module.h"
#include "sim/hw/nor_flash.h"
#include "sim/services.h"
#include "sim/core/text.h"
#include "tester/tester.h"
#include "tests/support/module_fixture.h"
#include "tools/bundle.h"

namespace {

using testing_support::ReadFile;

constexpr std::uint32_t kRegion = TESTER_REGION_OFFSET;
constexpr std::uint32_t kRegionBytes = TESTER_REGION_LENGTH;
constexpr const char* kLooking = "Looking for KalvoriTester...\r\n";
constexpr const char* kNoExe = "ERROR No Exe found to Launch!\r\n";

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

tools::BundleFile File(const std::string& name, const std::string& payload) { return {name, Bytes(payload)}; }

// A record header as raw bytes, for records the packer would refuse to make.
std::vector<std::uint8_t> RawHeader(const std::string& name_field, std::uint32_t size) {
  std::vector<std::uint8_t> h(40, 0);
  std::memcpy(h.data(), "TEST", 4);
  std::memcpy(h.data() + 4, name_field.data(), std::min<std::size_t>(name_field.size(), 32));
  std::memcpy(h.data() + 36, &size, 4);
  return h;
}

// A fault on the next matching call, after skip calls that still succeed.
sim::FaultRule Fault(sim::FaultOp op, std::uint32_t skip = 0) {
  sim::FaultRule rule;
  rule.op = op;
  rule.skip = skip;
  return rule;
}

class HandOff : public ::testing::Test {
 protected:
  // Powers the module up (the launcher process starts with it).
  sim::Module& StartUp() {
    module_.reset();
    sim::Description d = testing_support::BareDescription(folder_.path(), 17);
    d.boot_item12 = item12_;
    d.flash = sim::ReadFlashConfig(flash_, d.folder);
    module_.emplace(std::move(d));
    return *module_;
  }

  sim::NorFlash& Nor() { return *module_->FindDevice<sim::NorFlash>(); }

  // Stores the bytes at the region's start as the factory would.
  void PutInRegion(const std::vector<std::uint8_t>& bytes) {
    if (!module_) StartUp();
    Nor().Poke(kRegion, bytes);
  }
  void PutBundle(const std::vector<tools::BundleFile>& files) { PutInRegion(tools::EncodeBundle(files)); }

  // Runs the hand-off in a fresh start-up and returns what it printed.
  std::string RunStartUp() {
    StartUp();
    RunTesterHandOff();
    return module_->DebugTranscript();
  }

  std::string Root(const std::string& name) { return ReadFile(folder_.path() / "root" / name); }
  bool InRoot(const std::string& name) { return std::filesystem::exists(folder_.path() / "root" / name); }
  bool RegionErased() {
    std::vector<std::uint8_t> region = Nor().Peek(kRegion, kRegionBytes);
    return std::all_of(region.begin(), region.end(), [](std::uint8_t b) { return b == 0xFF; });
  }
  std::vector<std::string> Launched() {
    std::vector<std::string> out;
    for (const sim::Launch& l : module_->os().processes.launches()) out.push_back(sim::ToUtf8(l.image));
    return out;
  }

  testing_support::TempFolder folder_;
  std::optional<std::uint32_t> item12_ = 0x00800000;
  nlohmann::json flash_ = {{"type", "nor"}, {"image", "flash.img"}};
  std::optional<sim::Module> module_;
};

// --- the flag ---

TEST_F(HandOff, WithoutTheTesterFlagNothingHappens) {
  PutBundle({File("\\t.exe", "MZ")});
  for (std::optional<std::uint32_t> item12 : {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{0},
                                              std::optional<std::uint32_t>{0xFF7FFFFF}}) {
    item12_ = item12;
    EXPECT_EQ(RunStartUp(), "");
    EXPECT_EQ(module_->bus().AccessCount(), 0u);  // no flash access
    EXPECT_TRUE(module_->address_space().MapCalls().empty());
    EXPECT_EQ(FlashOps.FlashType, 0u);  // FlashInit never ran
    EXPECT_FALSE(InRoot("t.exe"));
  }
  // The boot configuration failing to answer counts as no flag.
  item12_ = 0x00800000;
  StartUp();
  module_->faults().Add(Fault(sim::FaultOp::kKernelIoControl));
  RunTesterHandOff();
  EXPECT_EQ(module_->DebugTranscript(), "");
  EXPECT_EQ(module_->bus().AccessCount(), 0u);
}

// --- the bundle's three states ---

TEST_F(HandOff, AnErasedRegionHasNothingToLaunchAndIsNotErasedAgain) {
  EXPECT_EQ(RunStartUp(), std::string(kLooking) + kNoExe);
  EXPECT_EQ(Nor().EraseCount(kRegion), 0u);
  EXPECT_TRUE(Launched().empty());
}

TEST_F(HandOff, ABundleIsWrittenOutTheRegionErasedAndTheLastProgramStartedOnce) {
  PutBundle({File("\\a.txt", "alpha\r\n"), File("\\b.exe", "MZ-b"), File("\\c.EXE", "MZ-c program")});

  EXPECT_EQ(RunStartUp(), std::string(kLooking) +
                              "Found \\a.txt\r\n"
                              "Found \\b.exe\r\n"
                              "Found \\c.EXE\r\n"
                              "Launching \\c.EXE\r\n");
  EXPECT_EQ(Root("a.txt"), "alpha\r\n");
  EXPECT_EQ(Root("b.exe"), "MZ-b");
  EXPECT_EQ(Root("c.EXE"), "MZ-c program");
  EXPECT_TRUE(RegionErased());
  EXPECT_EQ(Launched(), std::vector<std::string>{"\\c.EXE"});
  EXPECT_EQ(module_->OpenHandleCount(), 0u);
  EXPECT_EQ(module_->LiveHeapBlocks(), 0u);

  // Consumed: the next start-up finds nothing.
  EXPECT_EQ(RunStartUp(), std::string(kLooking) + kNoExe);
  EXPECT_TRUE(Launched().empty());
}

TEST_F(HandOff, ABundleWithoutAProgramIsWrittenOutAtEveryStartUp) {
  PutBundle({File("\\notes.txt", "keep me"), File("\\data.bin", "\x01\x02")});
  for (int start = 0; start < 2; ++start) {
    testing_support::WriteFile(folder_.path() / "root" / "notes.txt", "changed on the module");
    EXPECT_EQ(RunStartUp(), std::string(kLooking) + "Found \\notes.txt\r\nFound \\data.bin\r\n" + kNoExe);
    EXPECT_EQ(Root("notes.txt"), "keep me");
    EXPECT_EQ(Nor().EraseCount(kRegion), 0u);
    EXPECT_FALSE(RegionErased());
  }
}

// --- record layout ---

TEST_F(HandOff, PayloadsArePaddedToWholeWordsAndWrittenExactly) {
  PutBundle({File("\\five.txt", "12345"), File("\\empty.txt", ""), File("\\t.exe", "MZ")});
  StartUp();
  std::vector<std::pair<std::uint32_t, std::uint32_t>> reads;  // (offset, length) of each flash read
  module_->bus().SetTracer([&](const sim::BusAccess& a) {
    if (a.kind == sim::BusAccess::Kind::kBlockRead) reads.push_back({a.address, a.value});
  });
  RunTesterHandOff();
  module_->bus().SetTracer(nullptr);

  EXPECT_EQ(Root("five.txt"), "12345");
  EXPECT_TRUE(InRoot("empty.txt"));
  EXPECT_EQ(Root("empty.txt"), "");
  EXPECT_EQ(Root("t.exe"), "MZ");
  // 5 bytes: 8 read, the next header 48 bytes on; 0 bytes: the next header 40 bytes on.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {{kRegion, 40},      {kRegion + 40, 8},
                                                                   {kRegion + 48, 40}, {kRegion + 88, 40},
                                                                   {kRegion + 128, 4}, {kRegion + 132, 40}};
  ASSERT_GE(reads.size(), expected.size());
  EXPECT_EQ(std::vector(reads.begin(), reads.begin() + 6), expected);
}

TEST_F(HandOff, ALaterRecordOfTheSameNameReplacesTheFile) {
  PutBundle({File("\\t.exe", "first, and longer"), File("\\t.exe", "second")});
  EXPECT_EQ(RunStartUp(), std::string(kLooking) + "Found \\t.exe\r\nFound \\t.exe\r\nLaunching \\t.exe\r\n");
  EXPECT_EQ(Root("t.exe"), "second");
}

// --- failures ---

TEST_F(HandOff, AFlashThatDoesNotIdentifyItselfEndsWithTheHeaderError) {
  flash_["faults"] = {{"manufacturer", "0x0088"}};
  PutBundle({File("\\t.exe", "MZ")});
  EXPECT_EQ(RunStartUp(), std::string(kLooking) +
                              "Cannot Initialize Flash Library\r\n"
                              "ERROR Reading Header from Flash\r\n");
  EXPECT_FALSE(InRoot("t.exe"));
}

TEST_F(HandOff, AProgramThatCannotStartLeavesItsFilesAndAConsumedRegion) {
  PutBundle({File("\\lib.dll", "library"), File("\\t.exe", "MZ")});
  StartUp();
  module_->faults().Add(Fault(sim::FaultOp::kCreateProcess));
  RunTesterHandOff();
  EXPECT_EQ(module_->DebugTranscript(), std::string(kLooking) +
                                            "Found \\lib.dll\r\nFound \\t.exe\r\n"
                                            "Launching \\t.exe\r\n"
                                            "ERROR Creating Process\r\n");
  EXPECT_EQ(Root("lib.dll"), "library");
  EXPECT_EQ(Root("t.exe"), "MZ");
  EXPECT_TRUE(RegionErased());

  EXPECT_EQ(RunStartUp(), std::string(kLooking) + kNoExe);
}

TEST_F(HandOff, ARegionThatCannotBeErasedStartsNothing) {
  flash_["faults"] = {{"erase_fails", {"0x13C0000"}}};
  PutBundle({File("\\t.exe", "MZ")});
  EXPECT_EQ(RunStartUp(), std::string(kLooking) + "Found \\t.exe\r\nERROR Erasing Flash\r\n");
  EXPECT_EQ(Root("t.exe"), "MZ");
  EXPECT_TRUE(Launched().empty());
}

TEST_F(HandOff, AFileThatCannotBeCreatedStopsTheWalk) {
  PutBundle({File("\\a.txt", "alpha"), File("\\b.exe", "MZ"), File("\\c.txt", "gamma")});
  StartUp();
  module_->faults().Add({.op = sim::FaultOp::kCreateFile, .subject = "b.exe"});
  RunTesterHandOff();
  EXPECT_EQ(module_->DebugTranscript(),
            std::string(kLooking) + "Found \\a.txt\r\nFound \\b.exe\r\nERROR Creating \\b.exe File\r\n");
  EXPECT_EQ(Root("a.txt"), "alpha");
  EXPECT_FALSE(InRoot("c.txt"));
  EXPECT_FALSE(RegionErased());
}

TEST_F(HandOff, AFifoOrDeviceNodeAtAFilesPathIsNotWrittenAndDoesNotStopTheModule) {
  // Named by a module folder made by someone else. Opening a FIFO nobody reads for writing would
  // wait for a reader for ever.
  PutBundle({File("\\a.txt", "alpha"), File("\\b.exe", "MZ")});
  const std::string refused = std::string(kLooking) + "Found \\a.txt\r\nFound \\b.exe\r\nERROR Creating \\b.exe File\r\n";
  const std::filesystem::path path = folder_.path() / "root" / "b.exe";
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  EXPECT_EQ(RunStartUp(), refused);
  int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);  // now a writer would be let in
  ASSERT_GE(reader, 0);
  EXPECT_EQ(RunStartUp(), refused);
  char byte;
  EXPECT_EQ(::read(reader, &byte, 1), 0);
  ::close(reader);
  EXPECT_FALSE(RegionErased());
  EXPECT_TRUE(Launched().empty());

  std::filesystem::remove(path);
  if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "cannot make a device node here";
  EXPECT_EQ(RunStartUp(), refused);
  EXPECT_TRUE(std::filesystem::is_character_file(path));
}

// Each of these ends the walk at the second record: the first file is written, the region stays.
struct BrokenRecord {
  const char* name;
  std::vector<std::uint8_t> record;  // follows a good first record
  std::optional<sim::FaultRule> fault;
  std::string output;  // after "Found \first.txt"
  bool second_file_created;
};

void PrintTo(const BrokenRecord& record, std::ostream* os) { *os << record.name; }

class HandOffBrokenRecord : public HandOff, public ::testing::WithParamInterface<BrokenRecord> {};

TEST_P(HandOffBrokenRecord, EndsWithOneMessageAndReleasesEverything) {
  std::vector<std::uint8_t> region = tools::EncodeBundle({File("\\first.txt", "one")});
  region.insert(region.end(), GetParam().record.begin(), GetParam().record.end());
  PutInRegion(region);
  StartUp();
  if (GetParam().fault) module_->faults().Add(*GetParam().fault);
  RunTesterHandOff();

  EXPECT_EQ(module_->DebugTranscript(), std::string(kLooking) + "Found \\first.txt\r\n" + GetParam().output);
  EXPECT_EQ(Root("first.txt"), "one");
  EXPECT_EQ(InRoot("x.exe"), GetParam().second_file_created);
  if (GetParam().second_file_created) {
    EXPECT_EQ(Root("x.exe"), "");  // nothing from a bad buffer
  }
  EXPECT_EQ(Nor().EraseCount(kRegion), 0u);
  EXPECT_TRUE(Launched().empty());
  EXPECT_EQ(module_->OpenHandleCount(), 0u);
  EXPECT_EQ(module_->LiveHeapBlocks(), 0u);
}

std::vector<std::uint8_t> GoodRecord(const std::string& payload) {
  return tools::EncodeBundle({File("\\x.exe", payload)});
}

INSTANTIATE_TEST_SUITE_P(
    Records, HandOffBrokenRecord,
    ::testing::Values(
        // A size whose padding wraps past 2^32 would make a 0-byte buffer for a 4 GiB write.
        BrokenRecord{"PaddedSizeWraps", RawHeader("\\x.exe", 0xFFFFFFFE), std::nullopt,
                     "Found \\x.exe\r\nERROR Reading Data from Flash\r\n", true},
        BrokenRecord{"PayloadPastTheFlash", RawHeader("\\x.exe", 0x04000000), std::nullopt,
                     "Found \\x.exe\r\nERROR Reading Data from Flash\r\n", true},
        BrokenRecord{"NameWithoutATerminator", RawHeader(std::string(32, 'x'), 4), std::nullopt,
                     "ERROR Reading Header from Flash\r\n", false},
        BrokenRecord{"NoMemoryForThePayload", GoodRecord("MZ payload"), Fault(sim::FaultOp::kLocalAlloc, 1),
                     "Found \\x.exe\r\nERROR Reading Data from Flash\r\n", true},
        BrokenRecord{"WriteFails", GoodRecord("MZ payload"), Fault(sim::FaultOp::kWriteFile, 1),
                     "Found \\x.exe\r\nERROR Writing to File\r\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
