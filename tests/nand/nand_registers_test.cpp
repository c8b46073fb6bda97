// The NAND driver's register traffic, checked word for word against a scripted register file:
// timing and control values per chip, command and address words, the status wait's bound, outcomes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "flash/nand/nand.h"
#include "sim/core/text.h"
#include "sim/hw/gpio.h"
#include "tests/nand/scripted_controller.h"

namespace {

using namespace nand_test;

// Probes with the FIFO handing out the given ID word (and a second ID word that is dropped).
i32 Probe(ScriptedModule& m, std::uint32_t id, bool configure) {
  m.controller.fifo = {id, 0x12345678};
  return NandProbe(configure ? 1 : 0);
}

std::vector<std::uint32_t> Words(std::initializer_list<std::uint32_t> list) { return list; }

// The trace as runs of accesses: "W14" a status write, "R40x512" 512 FIFO reads in a row.
std::string Shape(const std::vector<Access>& trace) {
  std::string out;
  for (std::size_t i = 0; i < trace.size();) {
    std::size_t j = i;
    while (j < trace.size() && trace[j].write == trace[i].write && trace[j].offset == trace[i].offset) ++j;
    char token[32];
    std::snprintf(token, sizeof token, "%s%c%02X", out.empty() ? "" : " ", trace[i].write ? 'W' : 'R',
                  trace[i].offset);
    out += token;
    if (j - i > 1) out += "x" + std::to_string(j - i);
    i = j;
  }
  return out;
}

struct ChipCase {
  std::uint32_t id;
  std::uint32_t timing0, timing1, control;
  std::uint32_t page, block, blocks, spare_ecc_off, spare_ecc_on;
  bool drives_pin73;
};

const ChipCase kChips[] = {
    {0x75EC, 0x00080B0B, 0x06240061, 0x080A1FFF, 1024, 0x8000, 2048, 32, 16, true},
    {0x76EC, 0x00080B0B, 0x06240061, 0x080C1FFF, 1024, 0x8000, 4096, 32, 16, true},
    {0xD3EC, 0x0002090A, 0x082C0061, 0x018DDFFF, 2048, 0x20000, 8192, 64, 40, false},
    {0xF1EC, 0x0003090B, 0x0F4E0091, 0x010DDFFF, 2048, 0x20000, 1024, 64, 40, false},  // at 156 MHz
    {0xDCAD, 0x0002090A, 0x0A340061, 0x010CDFFF, 2048, 0x20000, 8192, 64, 40, false},
};

TEST(NandProbe, ConfiguresTheGenericRecordThenTheChipsRecord) {
  for (const ChipCase& chip : kChips) {
    SCOPED_TRACE(sim::Hex(chip.id));
    ScriptedModule m;
    ASSERT_EQ(Probe(m, chip.id, true), 0);
    // Record 0 at 104 MHz first (every 100 ns time clamps to 7 or gives 10 cycles), then the chip's.
    EXPECT_EQ(m.Writes(kTiming0), Words({0x003F3F3F, chip.timing0}));
    EXPECT_EQ(m.Writes(kTiming1), Words({0x081F00AA, chip.timing1}));
    EXPECT_EQ(m.controller.control, chip.control);
    // RESET (type 5) and READ ID (type 3, one address cycle) went out with zero address words.
    EXPECT_EQ(m.Writes(kCommand), Words({0x00A000FF, 0, 0, 0x00610090, 0, 0}));
    // The two small-page chips need GPIO pin 73 driven high.
    const sim::GpioModel* gpio = m.module().FindDevice<sim::GpioModel>();
    ASSERT_NE(gpio, nullptr);
    EXPECT_EQ(gpio->IsOutput(73) && gpio->Level(73), chip.drives_pin73);

    EXPECT_EQ(NandPageSize(), chip.page);
    EXPECT_EQ(NandBlockSize(), chip.block);
    EXPECT_EQ(NandBlockCount(), chip.blocks);
    EXPECT_EQ(NandSpareSize(), 0u);
    NandSetSpare(1);
    EXPECT_EQ(NandSpareSize(), chip.spare_ecc_off);
    NandSetEcc(1);
    EXPECT_EQ(NandSpareSize(), chip.spare_ecc_on);
    EXPECT_EQ(m.controller.control, chip.control | kCtrlSpare | kCtrlEcc);
    NandSetEcc(0);
    NandSetSpare(0);
    EXPECT_EQ(m.controller.control, chip.control);
  }
}

TEST(NandProbe, EccSwitchAndALaterControlCompositionFollowTheHolders) {
  ScriptedModule m;
  ASSERT_EQ(Probe(m, 0xF1EC, true), 0);
  NandSetEcc(1);
  EXPECT_EQ(m.controller.control, 0x410DDFFFu);
  NandSetControl();  // written whole: the ECC state comes back from its holder
  EXPECT_EQ(m.Writes(kControl).back(), 0x410DDFFFu);
}

TEST(NandProbe, SelectsByTheLowSixteenBitsAndRefusesUnknownIds) {
  {
    ScriptedModule m;
    ASSERT_EQ(Probe(m, 0xABCDD3EC, false), 0);
    EXPECT_EQ(NandPageSize(), 2048u);
    EXPECT_EQ(NandBlockCount(), 8192u);
  }
  ScriptedModule m;
  EXPECT_EQ(Probe(m, 0xD3ED, true), 1);
  // The index stays at the generic record, so the transfers refuse without touching the controller.
  m.trace.clear();
  u32 buffer[4];
  EXPECT_EQ(NandReadPage(buffer, 0, 16), 1);
  EXPECT_EQ(NandProgramPage(buffer, 0, 16), 1);
  EXPECT_EQ(NandEraseBlock(0), 1);
  EXPECT_EQ(NandReadSpare(buffer, 0, 16), 1);
  EXPECT_EQ(NandWriteSpare(buffer, 0, 16), 1);
  EXPECT_TRUE(m.trace.empty());
}

TEST(NandProbe, WithoutConfigureOnlyIssuesReadIdAndKeepsTheClockChangeForLater) {
  ScriptedModule m;
  m.controller.control = 0x010DDFFF;  // as the operating system's driver left it
  ASSERT_EQ(Probe(m, 0xF1EC, false), 0);
  std::vector<Access> writes;
  for (const Access& a : m.trace) {
    if (a.write) writes.push_back(a);
  }
  ASSERT_EQ(writes.size(), 5u);
  EXPECT_EQ(writes[0].offset, kStatus);
  EXPECT_EQ(writes[0].value, 0xFFFFFFFFu);
  EXPECT_EQ(writes[1].offset, kControl);
  EXPECT_EQ(writes[1].value, 0x010DDFFFu | kCtrlRun);  // the run bit, by read-modify-write
  EXPECT_EQ(m.Writes(kCommand), Words({0x00610090, 0, 0}));

  // The 156 MHz clock was recorded: a later timing set-up uses it.
  NandSetTimings();
  EXPECT_EQ(m.controller.timing0, 0x0003090Bu);
  EXPECT_EQ(m.controller.timing1, 0x0F4E0091u);
}

TEST(NandProbe, FailsWhenReadIdTimesOut) {
  ScriptedModule m;
  m.controller.status = kStatusCmdRequest | kStatusReady;  // the ID never arrives
  EXPECT_EQ(Probe(m, 0xD3EC, false), 1);
}

TEST(NandStatus, WaitGivesUpAfterItsBoundOfReads) {
  ScriptedModule m;
  ASSERT_EQ(Probe(m, 0xD3EC, false), 0);
  m.controller.status = 0;
  m.trace.clear();
  EXPECT_EQ(NandWaitStatus(kStatusReady), -1);
  EXPECT_EQ(m.Reads(kStatus), 1400002u);
  EXPECT_EQ(m.trace.size(), 1400002u);  // nothing but status reads, nothing written

  // A command whose request never shows stops before the command buffer.
  m.trace.clear();
  u32 buffer[4];
  EXPECT_EQ(NandReadPage(buffer, 0, 16), 1);
  EXPECT_TRUE(m.Writes(kCommand).empty());
}

TEST(NandStatus, CommandResultRanksBadBlockAboveEccError) {
  ScriptedModule m;
  ASSERT_EQ(Probe(m, 0xD3EC, false), 0);
  struct {
    std::uint32_t status;
    i32 result;
  } cases[] = {
      {kStatusReady | kStatusBadBlockCs0 | kStatusEccError, 4},
      {kStatusReady | kStatusDoneCs1 | kStatusBadBlockCs1, 4},
      {kStatusReady | kStatusEccError, 2},
      {kStatusReady | kStatusDoneCs0, 0},
      {kStatusDoneCs0, 1},   // never ready
      {kStatusReady, 1},     // ready, but no outcome bit
  };
  for (const auto& c : cases) {
    m.controller.status = c.status;
    EXPECT_EQ(NandCommandResult(), c.result) << sim::Hex(c.status);
  }
}

// --- transfers: command and address words ---

TEST(NandTransfers, ShortReadOnALargePageMovesTheWholePage) {
  ScriptedModule m;
  ASSERT_EQ(Probe(m, 0xF1EC, false), 0);
  m.trace.clear();
  for (std::uint32_t i = 0; i < 600; ++i) m.controller.fifo.push_back(0xA0000000 + i);
  std::vector<u32> buffer(26, 0xEEEEEEEE);
  EXPECT_EQ(NandReadPage(buffer.data(), 0x1F800, 100), 0);
  EXPECT_EQ(m.Writes(kCommand), Words({0x000C3000, 0x003F0000, 0}));
  // One command, 25 words delivered and 487 discarded, one outcome.
  EXPECT_EQ(Shape(m.trace), "W14 R00 W00 R14 W48x3 R14 R40x512 R14x3");
  for (std::uint32_t i = 0; i < 25; ++i) EXPECT_EQ(buffer[i], 0xA0000000 + i);
  EXPECT_EQ(buffer[25], 0xEEEEEEEEu);

  // A length of 6 is one word; the page still moves whole.
  m.trace.clear();
  EXPECT_EQ(NandReadPage(buffer.data(), 0x800, 6), 0);
  EXPECT_EQ(m.Reads(kData), 512u);
}

TEST(NandTransfers, ProgramOfTwoPagesWithEccAndSpareOn) {
  ScriptedModule m;
  ASSERT_EQ(Probe(m, 0xF1EC, true), 0);
  NandSetEcc(1);
  NandSetSpare(1);
  ASSERT_EQ(NandSpareSize(), 40u);
  std::vector<u32> data(1024);
  for (std::uint32_t i = 0; i < data.size(); ++i) data[i] = i * 0x01010101u;
  m.trace.clear();
  EXPECT_EQ(NandProgramPage(data.data(), 0x40000, 4096), 0);

  EXPECT_EQ(m.Writes(kCommand), Words({0x022C1080, 0x00800000, 0, 0x022C1080, 0x00810000, 0}));
  std::vector<std::uint32_t> expected;
  for (int page = 0; page < 2; ++page) {
    expected.insert(expected.end(), data.begin() + page * 512, data.begin() + page * 512 + 512);
    expected.insert(expected.end(), 10, 0xFFFFFFFFu);
  }
  EXPECT_EQ(m.Writes(kData), expected);
  // Each page: command issue, data request, data and spare words, then its outcome.
  EXPECT_EQ(Shape(m.trace),
            "W14 R00 W00 R14 W48x3 R14 W40x522 R14x3 "
            "W14 R00 W00 R14 W48x3 R14 W40x522 R14x3");
}

TEST(NandTransfers, AddressWordsPerChip) {
  struct Case {
    std::uint32_t id, offset, command, address1, address2;
  } cases[] = {
      {0x75EC, 0x10000, 0x00030000, 0x00004000, 0},     // halved on the wide bus, one command byte
      {0xDCAD, 0x20000800, 0x010D3000, 0x00010000, 0},  // chip select 1
      {0xD3EC, 0x3FFFF800, 0x000D3000, 0xFFFF0000, 0x7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::Hex(c.id));
    ScriptedModule m;
    ASSERT_EQ(Probe(m, c.id, false), 0);
    m.trace.clear();
    u32 word;
    EXPECT_EQ(NandReadPage(&word, c.offset, 4), 0);
    EXPECT_EQ(m.Writes(kCommand), Words({c.command, c.address1, c.address2}));
  }
}

TEST(NandTransfers, EraseAddressesTheBlockWithAutomaticStatus) {
  struct Case {
    std::uint32_t id, offset, command, address1;
  } cases[] = {
      {0x76EC, 0x100000, 0x024BD060, 0x400},
      {0xF1EC, 0x13C0000, 0x024AD060, 0x2780},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::Hex(c.id));
    ScriptedModule m;
    ASSERT_EQ(Probe(m, c.id, false), 0);
    m.trace.clear();
    EXPECT_EQ(NandEraseBlock(c.offset), 0);
    EXPECT_EQ(m.Writes(kCommand), Words({c.command, c.address1, 0}));
    EXPECT_EQ(m.Reads(kData), 0u);
  }
}

TEST(NandTransfers, NarrowFirstBlockAccessOnTheWideBus) {
  ScriptedModule m;
  ASSERT_EQ(Probe(m, 0x75EC, true), 0);
  const std::uint32_t before = m.controller.control;
  ASSERT_TRUE(before & kCtrlWideBus);
  m.trace.clear();
  std::vector<u32> buffer(0x6000 / 4, 0xEEEEEEEE);
  EXPECT_EQ(NandReadPage(buffer.data(), 0, 0x6000), 0);

  // 32 pages of 512 bytes, unhalved addresses: half a block delivered, the rest left alone.
  std::vector<std::uint32_t> commands = m.Writes(kCommand);
  ASSERT_EQ(commands.size(), 32u * 3);
  EXPECT_EQ(commands[3 * 31 + 1], 31u << 8);  // page 31: one column byte, then the page number
  EXPECT_EQ(m.Reads(kData), 32u * 128);
  EXPECT_EQ(buffer[0x4000 / 4], 0xEEEEEEEEu);

  std::vector<std::uint32_t> controls = m.Writes(kControl);
  ASSERT_GE(controls.size(), 2u);
  for (std::size_t i = 0; i + 1 < controls.size(); ++i) EXPECT_FALSE(controls[i] & kCtrlWideBus) << i;
  EXPECT_EQ(controls.back(), before);
  // The copy is one read of the control register, the bit change a read-modify-write of its own;
  // the copy goes back as the very last access.
  EXPECT_EQ(Shape(m.trace).substr(0, 31), "R00x2 W00 W14 R00 W00 R14 W48x3");
  EXPECT_TRUE(m.trace.back().write && m.trace.back().offset == kControl);
}

TEST(NandTransfers, RefusalsTouchNoRegister) {
  ScriptedModule m;
  ASSERT_EQ(Probe(m, 0x75EC, true), 0);
  m.trace.clear();
  std::vector<u32> buffer(0x400);
  EXPECT_EQ(NandReadPage(buffer.data(), 0x7E00, 0x400), 1);     // runs past the first block
  EXPECT_EQ(NandProgramPage(buffer.data(), 0x7E00, 0x400), 1);
  EXPECT_EQ(NandReadPage(buffer.data(), 0x10002, 8), 1);        // not a multiple of 4
  EXPECT_EQ(NandReadPage(buffer.data(), 0x10000, 3), 1);        // empty at a page start
  EXPECT_EQ(NandReadPage(buffer.data(), 0x3FFFC00, 0x800), 1);  // runs past the end of the flash
  EXPECT_EQ(NandEraseBlock(0x4000000), 1);                      // beyond the flash: would wrap to block 0
  EXPECT_EQ(NandWriteSpare(buffer.data(), 0x4000000, 4), 1);    // likewise onto page 0's spare bytes
  EXPECT_EQ(NandReadSpare(buffer.data(), 0x4000000, 4), 1);
  EXPECT_TRUE(m.trace.empty());
  // An empty range inside a page still moves that page whole.
  EXPECT_EQ(NandReadPage(buffer.data(), 0x10004, 0), 0);
  EXPECT_EQ(m.Reads(kData), 1024u / 4);
}

}  // namespace
