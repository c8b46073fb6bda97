// The NAND controller and chip models at register level: what a driver sees through the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>

#include "sim/hw/nand_ecc.h"
#include "tests/sim/hw/nand_port.h"

namespace nandmodel_test {
namespace {

constexpr std::uint32_t kLargeRaw = 2048 + 64;
constexpr std::uint32_t kSmallRaw = 512 + 16;

// Clears one bit that is set in the stored byte at column (a flipped cell).
void FlipStoredBit(sim::NandController& nand, std::uint32_t row, std::uint32_t column, int bit) {
  std::uint8_t cleared = static_cast<std::uint8_t>(~(1u << bit));
  ASSERT_NE(nand.RawReadPage(0, 0, row)[column] & (1u << bit), 0u);
  nand.RawProgramPage(0, 0, row, {&cleared, 1}, column);
}

TEST(NandModelId, ReadIdDeliversMakerAndDeviceCodeOfEachChipOnTheLowLane) {
  struct Case {
    const char* chip;
    bool wide;
    std::uint32_t id_count;
    std::uint32_t word0;
  };
  for (const Case& c : {Case{"0x75EC", true, 2, 0x75EC}, Case{"0x76EC", true, 4, 0x3CA576EC},
                        Case{"0xD3EC", false, 5, 0x1500D3EC}, Case{"0xF1EC", false, 5, 0x1500F1EC},
                        Case{"0xDCAD", false, 4, 0x1500DCAD}}) {
    SCOPED_TRACE(c.chip);
    NandModule m(nlohmann::json{{"chip", c.chip}});
    m.SetReg(C::kRegControl, Control({.large = false, .wide = c.wide, .id_count = c.id_count}));
    m.Issue(Cmd(C::kTypeReadId, 0x90, 0, 1));
    std::vector<std::uint32_t> id = m.ReadFifo(2);
    EXPECT_EQ(id[0], c.word0);
    EXPECT_EQ(m.Poll(C::kStatusDoneCs0) & C::kStatusDoneCs0, C::kStatusDoneCs0);
    EXPECT_EQ(m.Reg(C::kRegControl) & C::kCtrlRun, 0u) << "run bit cleared when the command ended";
  }
}

// The log keeps the newest commands in order, each with what its transfer moved, however many came
// before: the records of older ones are dropped, not those of the newest.
TEST(NandModelTransfer, TheCommandLogKeepsTheNewestCommandsWithTheirTransfers) {
  NandModule m(J(R"({"chip": "0xF1EC", "command_log_limit": 3})"));
  m.SetReg(C::kRegControl, Control({}));
  for (std::uint32_t n = 1; n <= 10; ++n) {
    m.ReadLarge(n * 64, 2048 / 4);
    const auto log = m.nand().CommandLog();
    ASSERT_EQ(log.size(), std::min<std::size_t>(n, 3)) << "after " << n;
    EXPECT_EQ(log.back().sequence, m.nand().CommandCount());
    for (std::size_t i = 0; i < log.size(); ++i) {
      EXPECT_EQ(log[i].sequence, m.nand().CommandCount() - (log.size() - 1 - i));
      EXPECT_EQ(log[i].fifo_words, 2048u / 4);
      EXPECT_TRUE(log[i].completed);
    }
    EXPECT_EQ(log.back().address1 >> 16, n * 64) << "the row of the newest read";
  }
}

TEST(NandModelTransfer, ProgramThenReadBackAPageWithItsSpareBytes) {
  NandModule m(J(R"({"chip": "0xF1EC"})"));
  m.SetReg(C::kRegControl, Control({.spare = true}));
  std::vector<std::uint8_t> page = Pattern(kLargeRaw, 1);
  const std::uint32_t row = 5 * 64 + 3;  // block 5, page 3
  EXPECT_EQ(m.ProgramLarge(row, Words(page)), C::kStatusReady | C::kStatusDoneCs0);
  EXPECT_EQ(m.nand().RawReadPage(0, 0, row), page) << "the device page holds data then spare";
  std::uint32_t status = 0;
  EXPECT_EQ(Bytes(m.ReadLarge(row, kLargeRaw / 4, &status)), page);
  EXPECT_EQ(status & 0x1F0, C::kStatusDoneCs0);

  // Without spare transfer the FIFO carries the page data alone.
  m.SetReg(C::kRegControl, Control({}));
  std::vector<std::uint8_t> data = Bytes(m.ReadLarge(row, 2048 / 4));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), page.begin()));
  EXPECT_EQ(m.nand().Counters({0, 0, 5}).reads, 2u);
  EXPECT_EQ(m.nand().Counters({0, 0, 5}).programs, 1u);
  EXPECT_EQ(m.nand().CommandLog().back().command_word, Cmd(C::kTypeRead, 0x00, 0x30, 4));
}

TEST(NandModelTransfer, ProgrammingOnlyClearsBitsAndEraseSetsTheWholeBlockToFF) {
  NandModule m(J(R"({"chip": "0xF1EC"})"));
  m.SetReg(C::kRegControl, Control({.spare = true}));
  m.ProgramLarge(64, std::vector<std::uint32_t>(kLargeRaw / 4, 0xF0F0FFFF));
  m.ProgramLarge(64, std::vector<std::uint32_t>(kLargeRaw / 4, 0xFF0F0FFF));
  EXPECT_EQ(m.ReadLarge(64, kLargeRaw / 4), std::vector<std::uint32_t>(kLargeRaw / 4, 0xF0000FFF));

  // Reprogramming in place is counted and reported beyond the device's rating, never refused.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m.ProgramLarge(64, std::vector<std::uint32_t>(kLargeRaw / 4, 0xFFFFFFFF)) & 0x1F0,
              C::kStatusDoneCs0);
  }
  auto pages = m.nand().ReprogrammedPages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].block.block, 1u);
  EXPECT_EQ(pages[0].page, 0u);
  EXPECT_EQ(pages[0].programs, 5u);
  ASSERT_EQ(m.module().Reports().size(), 1u);
  EXPECT_NE(m.module().Reports()[0].find("programmed 5 times"), std::string::npos);

  EXPECT_EQ(m.EraseLarge(64 + 17), C::kStatusReady | C::kStatusDoneCs0) << "any page of the block";
  EXPECT_EQ(m.nand().RawReadPage(0, 0, 64), std::vector<std::uint8_t>(kLargeRaw, 0xFF));
  EXPECT_TRUE(m.nand().ReprogrammedPages().empty());
  EXPECT_EQ(m.nand().Counters({0, 0, 1}).erases, 1u);
}

TEST(NandModelEcc, CorrectsOneBitReportsTwoAndReadsErasedPagesClean) {
  NandModule m(J(R"({"chip": "0xF1EC"})"));
  m.SetReg(C::kRegControl, Control({.spare = true, .ecc = true}));
  std::vector<std::uint8_t> sent = Pattern(2048 + 40, 2);  // the driver sees 40 spare bytes with ECC on
  const std::uint32_t row = 70;
  m.ProgramLarge(row, Words(sent));

  std::vector<std::uint8_t> stored = m.nand().RawReadPage(0, 0, row);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), stored.begin()));
  for (std::uint32_t chunk = 0; chunk < 8; ++chunk) {
    auto code = sim::nand_ecc::Encode(std::span<const std::uint8_t, 256>(sent.data() + 256 * chunk, 256));
    EXPECT_TRUE(std::equal(code.begin(), code.end(), stored.begin() + 2048 + 40 + 3 * chunk)) << "chunk " << chunk;
  }

  std::uint32_t status = 0;
  EXPECT_EQ(Bytes(m.ReadLarge(row, sent.size() / 4, &status)), sent);
  EXPECT_EQ(status & C::kStatusEccError, 0u);

  FlipStoredBit(m.nand(), row, 3 * 256 + 11, std::countr_zero(unsigned{sent[3 * 256 + 11]}));
  EXPECT_EQ(Bytes(m.ReadLarge(row, sent.size() / 4, &status)), sent) << "one bit corrected silently";
  EXPECT_EQ(status & C::kStatusEccError, 0u);
  EXPECT_EQ(m.nand().CorrectedBits(), 1u);

  FlipStoredBit(m.nand(), row, 5 * 256 + 1, std::countr_zero(unsigned{sent[5 * 256 + 1]}));
  FlipStoredBit(m.nand(), row, 5 * 256 + 200, std::countr_zero(unsigned{sent[5 * 256 + 200]}));
  std::vector<std::uint8_t> got = Bytes(m.ReadLarge(row, sent.size() / 4, &status));
  EXPECT_EQ(status & (C::kStatusEccError | C::kStatusDoneCs0), C::kStatusEccError | C::kStatusDoneCs0);
  EXPECT_NE(got[5 * 256 + 1], sent[5 * 256 + 1]) << "an uncorrectable chunk is delivered as read";
  EXPECT_EQ(got[3 * 256 + 11], sent[3 * 256 + 11]) << "the other chunks are still corrected";

  EXPECT_EQ(m.ReadLarge(row + 1, sent.size() / 4, &status), std::vector<std::uint32_t>(sent.size() / 4, 0xFFFFFFFF));
  EXPECT_EQ(status & C::kStatusEccError, 0u) << "an erased page reads clean";
}

TEST(NandModelBus, PairOnTheWideBusSplitsBytesAcrossLanesAndNarrowAccessReachesDeviceZeroAlone) {
  NandModule m(J(R"({"chip": "0x75EC"})"));
  const std::uint32_t read = Cmd(C::kTypeRead, 0x00, 0, 3);
  const std::uint32_t program = Cmd(C::kTypeProgram, 0x80, 0x10, 3, 0, true);

  // 16-bit bus, ECC on: 512 data and 8 visible spare bytes of each device, interleaved.
  m.SetReg(C::kRegControl, Control({.large = false, .wide = true, .spare = true, .ecc = true}));
  std::vector<std::uint8_t> sent = Pattern(2 * (512 + 8), 3);
  m.Issue(program, 40 << 8);
  m.WriteFifo(Words(sent));
  EXPECT_EQ(m.Outcome(), C::kStatusReady | C::kStatusDoneCs0);
  for (std::uint32_t lane = 0; lane < 2; ++lane) {
    std::vector<std::uint8_t> page = m.nand().RawReadPage(0, lane, 40);
    for (std::uint32_t j = 0; j < 512 + 8; ++j) ASSERT_EQ(page[j], sent[2 * j + lane]) << "lane " << lane << " byte " << j;
    std::vector<std::uint8_t> raw(page.begin(), page.end());
    sim::NandController::PutEcc(m.nand().chip(), raw);
    EXPECT_EQ(raw, page) << "each device keeps the code of its own bytes";
    EXPECT_EQ(page[512 + 14], 0xFF);
    EXPECT_EQ(page[512 + 15], 0xFF);
  }
  m.Issue(read, 40 << 8);
  EXPECT_EQ(Bytes(m.ReadFifo(sent.size() / 4)), sent);
  EXPECT_EQ(m.Outcome() & C::kStatusEccError, 0u);

  // 8-bit bus: four bytes of device 0 in each FIFO word, device 1 untouched.
  m.SetReg(C::kRegControl, Control({.large = false, .spare = true}));
  m.Issue(read, 40 << 8);
  EXPECT_EQ(Bytes(m.ReadFifo(kSmallRaw / 4)), m.nand().RawReadPage(0, 0, 40));
  m.Outcome();
  std::vector<std::uint8_t> narrow = Pattern(kSmallRaw, 4);
  m.Issue(program, 41 << 8);
  m.WriteFifo(Words(narrow));
  m.Outcome();
  EXPECT_EQ(m.nand().RawReadPage(0, 0, 41), narrow);
  EXPECT_EQ(m.nand().RawReadPage(0, 1, 41), std::vector<std::uint8_t>(kSmallRaw, 0xFF));
}

TEST(NandModelBus, ChipSelectOneHasItsOwnDeviceAndStatusBits) {
  NandModule m(J(R"({"chip": "0xDCAD", "faults": {"erase_fail": [{"chip_select": 1, "block": 2}]}})"));
  m.SetReg(C::kRegControl, Control({}));
  std::vector<std::uint8_t> data = Pattern(2048, 5);
  EXPECT_EQ(m.ProgramLarge(7, Words(data), 1), C::kStatusReady | C::kStatusDoneCs1);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), m.nand().RawReadPage(1, 0, 7).begin()));
  EXPECT_EQ(m.nand().RawReadPage(0, 0, 7), std::vector<std::uint8_t>(kLargeRaw, 0xFF));
  EXPECT_EQ(Bytes(m.ReadLarge(7, 512, nullptr, 1)), data);

  EXPECT_EQ(m.EraseLarge(2 * 64, 1), C::kStatusReady | C::kStatusDoneCs1 | C::kStatusBadBlockCs1);
  EXPECT_EQ(m.EraseLarge(2 * 64, 0) & 0x1F0, C::kStatusDoneCs0) << "the same block on chip select 0 is good";
  // The flash as the driver counts it: block 4096 is chip select 1's block 0.
  EXPECT_EQ(m.nand().FlashBlockRefs(4098)[0].chip_select, 1u);
  EXPECT_EQ(m.nand().FlashBlockRefs(4098)[0].block, 2u);
}

TEST(NandModelStatus, BadBlockComesFromTheAutomaticStatusReadOfTheChipSelect) {
  NandModule m(J(R"({"chip": "0xF1EC", "factory_bad_blocks": [7],
                     "faults": {"program_fail": [{"block": 9, "after": 1}]}})"));
  m.SetReg(C::kRegControl, Control({}));
  EXPECT_EQ(m.nand().RawReadPage(0, 0, 7 * 64)[2048], 0x00) << "factory bad-block mark";
  EXPECT_EQ(m.nand().RawReadPage(0, 0, 7 * 64 + 1)[2048], 0x00);
  EXPECT_EQ(m.EraseLarge(7 * 64), C::kStatusReady | C::kStatusDoneCs0 | C::kStatusBadBlockCs0);
  EXPECT_EQ(m.nand().RawReadPage(0, 0, 7 * 64)[2048], 0x00) << "a failed erase leaves the block";

  std::vector<std::uint32_t> zeros(512, 0);
  EXPECT_EQ(m.ProgramLarge(9 * 64, zeros) & C::kStatusBadBlockCs0, 0u) << "the first program still works";
  EXPECT_EQ(m.ProgramLarge(9 * 64 + 1, zeros), C::kStatusReady | C::kStatusDoneCs0 | C::kStatusBadBlockCs0);
  EXPECT_EQ(m.nand().RawReadPage(0, 0, 9 * 64 + 1)[0], 0xFF) << "a failed program leaves the page";

  // Without the automatic status read the controller cannot know.
  m.Issue(Cmd(C::kTypeProgram, 0x80, 0x10, 4), (9 * 64 + 2) << 16);
  m.WriteFifo(zeros);
  EXPECT_EQ(m.Outcome(), C::kStatusReady | C::kStatusDoneCs0);
}

TEST(NandModelStatus, StatusBitsAreStickyAndClearedByWritingOnes) {
  NandModule m(J(R"({"chip": "0xF1EC", "busy_status_reads": 3})"));
  m.SetReg(C::kRegStatus, 0xFFFFFFFF);
  m.SetReg(C::kRegControl, Control({}) | C::kCtrlRun);
  int reads = 1;
  while ((m.Reg(C::kRegStatus) & C::kStatusCommandRequest) == 0) ++reads;
  EXPECT_EQ(reads, 4) << "three status reads still miss the request";
  m.SetReg(C::kRegCommand, Cmd(C::kTypeReset, 0xFF, 0, 0));
  m.SetReg(C::kRegCommand, 0);
  m.SetReg(C::kRegCommand, 0);
  EXPECT_NE(m.Poll(C::kStatusReady), 0u);
  EXPECT_EQ(m.Reg(C::kRegStatus), C::kStatusCommandRequest | C::kStatusReady | C::kStatusDoneCs0);
  m.SetReg(C::kRegStatus, C::kStatusDoneCs0);
  EXPECT_EQ(m.Reg(C::kRegStatus), C::kStatusCommandRequest | C::kStatusReady);
  m.SetReg(C::kRegStatus, 0);
  EXPECT_EQ(m.Reg(C::kRegStatus), C::kStatusCommandRequest | C::kStatusReady);
  m.SetReg(C::kRegStatus, 0xFFFFFFFF);
  EXPECT_EQ(m.Reg(C::kRegStatus), 0u);
}

TEST(NandModelMisuse, EveryAccessOutOfPhaseIsCountedAndChangesNothing) {
  NandModule m(J(R"({"chip": "0xF1EC"})"));
  m.SetReg(C::kRegControl, Control({}));
  sim::NandController& nand = m.nand();

  m.SetReg(C::kRegCommand, Cmd(C::kTypeErase, 0x60, 0xD0, 3, 0, true));  // no run bit
  EXPECT_EQ(m.Reg(C::kRegData), C::kFifoGarbage);
  m.SetReg(C::kRegData, 0);
  EXPECT_EQ(m.Reg(0x20), 0u);
  EXPECT_EQ(nand.ProtocolErrors(), 4u);

  // Words before the request shows are lost; after it they count.
  m.SetReg(C::kRegControl, Control({}) | C::kCtrlRun);
  m.SetReg(C::kRegCommand, Cmd(C::kTypeReadId, 0x90, 0, 1));
  EXPECT_EQ(nand.ProtocolErrors(), 5u);
  ASSERT_NE(m.Poll(C::kStatusCommandRequest), 0u);
  for (std::uint32_t w : {Cmd(C::kTypeReadId, 0x90, 0, 1), 0u, 0u}) m.SetReg(C::kRegCommand, w);
  EXPECT_EQ(m.ReadFifo(2)[0] & 0xFFFF, 0xF1ECu);
  EXPECT_EQ(m.Reg(C::kRegData), C::kFifoGarbage) << "past the read data";
  EXPECT_EQ(nand.ProtocolErrors(), 6u);
  m.Poll(C::kStatusDoneCs0);

  // An undefined command type is refused: nothing is requested, the run bit drops.
  m.Issue(Cmd(4, 0x00, 0, 0));
  EXPECT_EQ(m.Poll(C::kStatusReadRequest | C::kStatusWriteRequest | C::kStatusReady), 0u);
  EXPECT_EQ(m.Reg(C::kRegControl) & C::kCtrlRun, 0u);
  EXPECT_EQ(nand.ProtocolErrors(), 7u);

  // Starting again in the middle of a program abandons it: the page stays erased.
  m.Issue(Cmd(C::kTypeProgram, 0x80, 0x10, 4, 0, true), 3 << 16);
  ASSERT_NE(m.Poll(C::kStatusWriteRequest), 0u);
  for (int i = 0; i < 100; ++i) m.SetReg(C::kRegData, 0);
  EXPECT_EQ(m.ProgramLarge(4, std::vector<std::uint32_t>(512, 0x11111111)) & 0x1F0, C::kStatusDoneCs0);
  EXPECT_EQ(nand.RawReadPage(0, 0, 3), std::vector<std::uint8_t>(kLargeRaw, 0xFF));
  EXPECT_EQ(nand.RawReadPage(0, 0, 4)[0], 0x11);
  EXPECT_EQ(nand.ProtocolErrors(), 8u);
  EXPECT_FALSE(nand.CommandLog()[nand.CommandLog().size() - 2].completed);

  // A chip select with no device: the floating bus reads 0xFF, status included.
  std::uint32_t status = m.ProgramLarge(5, std::vector<std::uint32_t>(512, 0), 1);
  EXPECT_EQ(status & C::kStatusBadBlockCs1, C::kStatusBadBlockCs1);
  EXPECT_EQ(nand.ProtocolErrors(), 9u);
  m.ExpectErrors(9);
}

TEST(NandModelBus, SmallPageReadCommandsPointAtTheFirstHalfTheSecondHalfOrTheSpareArea) {
  NandModule m(J(R"({"chip": "0x76EC"})"));  // four address cycles: a column byte, three row bytes
  const std::uint32_t row = 70000;
  std::vector<std::uint8_t> page = Pattern(kSmallRaw, 10);
  m.nand().RawProgramPage(0, 0, row, page);
  m.SetReg(C::kRegControl, Control({.large = false}));
  auto read = [&](std::uint8_t command, std::uint32_t column) {
    m.Issue(Cmd(C::kTypeRead, command, 0, 4), column | row << 8);
    std::vector<std::uint8_t> got = Bytes(m.ReadFifo(512 / 4));
    m.Outcome();
    return got;
  };
  std::vector<std::uint8_t> got = read(0x01, 0x10);  // from byte 272 to the end of the spare, then nothing
  EXPECT_TRUE(std::equal(page.begin() + 272, page.end(), got.begin()));
  EXPECT_EQ(got[kSmallRaw - 272], 0xFF);
  got = read(0x50, 0x04);  // spare byte 4 on
  EXPECT_TRUE(std::equal(page.begin() + 516, page.end(), got.begin()));
  got = read(0x00, 0x00);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), page.begin()));
  m.ExpectErrors(2);  // the two reads that ran past the spare area
}

TEST(NandModelMisuse, AFramingThatDoesNotFitTheChipMovesTheWrongBytes) {
  NandModule m(J(R"({"chip": "0x75EC"})"));
  std::vector<std::uint8_t> page = Pattern(kSmallRaw, 6);
  m.nand().RawProgramPage(0, 0, 2, page);
  // 2 KiB framing, two column bytes, on the 8-bit bus: the small-page device takes three address
  // cycles, ignores the rest and 0x30, and drives nothing after its 528 bytes.
  m.SetReg(C::kRegControl, Control({.large = true, .spare = true}));
  m.Issue(Cmd(C::kTypeRead, 0x00, 0x30, 5), 2 << 16);
  std::vector<std::uint8_t> got = Bytes(m.ReadFifo(kLargeRaw / 4));
  m.Outcome();
  EXPECT_NE(std::vector<std::uint8_t>(got.begin(), got.begin() + kSmallRaw), page);
  EXPECT_EQ(got.back(), 0xFF);
  EXPECT_GE(m.nand().ProtocolErrors(), 3u);
  m.ExpectErrors(m.nand().ProtocolErrors());
}

TEST(NandModelMisuse, TheWideBusOnASingleEightBitDeviceReadsAFloatingHighLane) {
  NandModule m(J(R"({"chip": "0xF1EC"})"));
  m.nand().RawProgramPage(0, 0, 1, std::vector<std::uint8_t>(kLargeRaw, 0x00));
  m.SetReg(C::kRegControl, Control({.wide = true}));
  std::vector<std::uint8_t> got = Bytes(m.ReadLarge(1, 2 * 2048 / 4));
  EXPECT_EQ(got[0], 0x00);
  EXPECT_EQ(got[1], 0xFF);
  m.ExpectErrors(1);
}

TEST(NandModelTime, DeviceTimeFollowsArrayTimesAndTimingRegisters) {
  NandModule m(J(R"({"chip": "0xF1EC"})"));
  m.SetReg(C::kRegControl, Control({}));
  std::uint64_t t0 = m.nand().DeviceTimeNs();
  m.ReadLarge(0, 512);
  std::uint64_t fast_read = m.nand().DeviceTimeNs() - t0;
  EXPECT_GE(fast_read, 25'000u) << "the page read time";
  m.SetReg(C::kRegTiming0, 0x003F3F3F);  // every interface time 8 clocks
  t0 = m.nand().DeviceTimeNs();
  m.ReadLarge(0, 512);
  // 2048 read cycles of 16 instead of 2 clocks at 156 MHz: about 184 us more.
  EXPECT_GT(m.nand().DeviceTimeNs() - t0, fast_read + 150'000);
  t0 = m.nand().DeviceTimeNs();
  m.ProgramLarge(1, std::vector<std::uint32_t>(512, 0));
  EXPECT_GE(m.nand().DeviceTimeNs() - t0, 250'000u);
  t0 = m.nand().DeviceTimeNs();
  m.EraseLarge(0);
  EXPECT_GE(m.nand().DeviceTimeNs() - t0, 2'000'000u);
}

// One scenario through the data FIFO, made with single accesses or with runs of accesses (the bulk
// path): a program that offers three words too many, a read that asks for two too many, then a
// read dropped whole, on a pair on the 16-bit bus with spare transfer and ECC on, and FIFO words
// before any request.
struct FifoScenario {
  std::vector<std::uint32_t> read, garbage_after;
  std::vector<std::uint8_t> page0, page1;
  std::uint64_t errors, accesses;
  std::vector<std::uint32_t> fifo_words;
};

FifoScenario RunFifoScenario(bool runs, bool traced) {
  NandModule m(J(R"({"chip": "0x75EC"})"));
  std::uint64_t fifo_traced = 0;
  if (traced) {
    m.module().bus().SetTracer([&](const sim::BusAccess& a) {
      if (a.address == C::kBase + C::kRegData) ++fifo_traced;
    });
  }
  auto read = [&](std::uint32_t* out, std::uint32_t n) {
    if (runs) {
      m.ReadRun(out, n);
    } else {
      for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t w = m.Reg(C::kRegData);
        if (out) out[i] = w;
      }
    }
  };
  auto write = [&](const std::uint32_t* in, std::uint32_t fill, std::uint32_t n) {
    if (runs) {
      m.WriteRun(in, fill, n);
    } else {
      for (std::uint32_t i = 0; i < n; ++i) m.SetReg(C::kRegData, in ? in[i] : fill);
    }
  };

  m.SetReg(C::kRegControl, Control({.large = false, .wide = true, .spare = true, .ecc = true}));
  std::vector<std::uint32_t> sent = Words(Pattern(2 * (512 + 8), 6));
  write(sent.data(), 0, 2);  // no request yet: dropped
  m.Issue(Cmd(C::kTypeProgram, 0x80, 0x10, 3, 0, true), 7 << 8);
  EXPECT_NE(m.Poll(C::kStatusWriteRequest), 0u);
  sent.resize(sent.size() + 3, 0x12345678);
  write(sent.data(), 0, static_cast<std::uint32_t>(sent.size()));
  EXPECT_EQ(m.Outcome(), C::kStatusReady | C::kStatusDoneCs0);

  FifoScenario result;
  result.read.assign(sent.size() - 1, 0);
  m.Issue(Cmd(C::kTypeRead, 0x00, 0, 3), 7 << 8);
  EXPECT_NE(m.Poll(C::kStatusReadRequest), 0u);
  read(result.read.data(), static_cast<std::uint32_t>(result.read.size()));
  m.Outcome();
  m.Issue(Cmd(C::kTypeRead, 0x00, 0, 3), 7 << 8);
  EXPECT_NE(m.Poll(C::kStatusReadRequest), 0u);
  read(nullptr, 2 * (512 + 8) / 4);
  m.Outcome();
  // A program of fill words into the next page, then a read past everything.
  m.Issue(Cmd(C::kTypeProgram, 0x80, 0x10, 3, 0, true), 8 << 8);
  EXPECT_NE(m.Poll(C::kStatusWriteRequest), 0u);
  write(nullptr, 0xA5A5FFFF, 2 * (512 + 8) / 4);
  m.Outcome();
  result.garbage_after.assign(2, 0);
  read(result.garbage_after.data(), 2);

  result.page0 = m.nand().RawReadPage(0, 0, 7);
  result.page1 = m.nand().RawReadPage(0, 1, 8);
  result.errors = m.nand().ProtocolErrors();
  result.accesses = m.module().bus().AccessCount();
  for (const sim::NandCommandRecord& r : m.nand().CommandLog()) result.fifo_words.push_back(r.fifo_words);
  if (traced) {
    EXPECT_EQ(fifo_traced, 2u + (sent.size()) + (sent.size() - 1) + 2 * (2 * (512 + 8) / 4) + 2)
        << "every FIFO access of a run is traced on its own";
  }
  m.ExpectErrors(result.errors);
  return result;
}

TEST(NandModelBus, ARunOfFifoAccessesIsTakenExactlyAsTheSameAccessesOneByOne) {
  const FifoScenario single = RunFifoScenario(false, false);
  for (bool traced : {false, true}) {
    SCOPED_TRACE(traced ? "traced" : "untraced");
    const FifoScenario run = RunFifoScenario(true, traced);
    EXPECT_EQ(run.read, single.read);
    EXPECT_EQ(run.garbage_after, single.garbage_after);
    EXPECT_EQ(run.page0, single.page0);
    EXPECT_EQ(run.page1, single.page1);
    EXPECT_EQ(run.errors, single.errors);
    EXPECT_EQ(run.accesses, single.accesses);
    EXPECT_EQ(run.fifo_words, single.fifo_words);
  }
  // What the scenario provokes: 2 early words, 3 past the program, 2 past the read, 2 at the end.
  EXPECT_EQ(single.errors, 9u);
  EXPECT_EQ(single.read.back(), C::kFifoGarbage);
  EXPECT_EQ(single.garbage_after, std::vector<std::uint32_t>(2, C::kFifoGarbage));
  EXPECT_EQ(single.page1[0], 0xFF);
  EXPECT_EQ(single.page1[1], 0xA5);
}

}  // namespace
}  // namespace nandmodel_test
