// The flash library on an emulated ARM board: the device code, built for the module's ARM cores and
// run bare-metal on QEMU's "virt" board (cmake/ArmBoardProgram.cmake), drives the board's CFI flash,
// two 16-bit devices side by side on a 32-bit bus, through a raw image file. The host fills the
// image before the run, reads what the program reports on the serial port, and afterwards checks the
// image byte for byte against the plan (board_plan.h), and QEMU's trace of the flash accesses
// against the devices' contract.
//
// Where QEMU's flash differs from the module's devices, only the contract is relied on: QEMU has no
// lock bits and its write buffer takes 2 KiB per device where ours take 16 words (32 bytes), so the
// trace is held to 16 words per buffered program, all in one 64-byte line of the bus; its programs
// overwrite where a device only clears bits, so the plan programs erased flash only.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/arm_board/board_images.h"
#include "tests/arm_board/board_plan.h"
#include "tests/support/kalvori_command.h"
#include "tests/support/module_fixture.h"

namespace {

using testing_support::ReadFile;
using testing_support::ShellQuote;
using testing_support::TempFolder;

using board::Image;
using board::ImageAfterRun;
using board::ImageBeforeRun;

constexpr std::uint32_t kBufferWords = 16;   // a device's write buffer: 16 half-words
constexpr std::uint32_t kBusLineBytes = 64;  // 16 words of each device side by side
constexpr int kRunLimitSeconds = 240;

void WriteImage(const std::filesystem::path& path, const Image& image) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  ASSERT_TRUE(out.good()) << path;
}

Image ReadImage(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Image(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Offsets where the images differ, the first few spelt out.
std::string Differences(const Image& expected, const Image& actual) {
  std::ostringstream text;
  std::size_t shown = 0, count = 0;
  for (std::size_t i = 0; i < std::min(expected.size(), actual.size()); ++i) {
    if (expected[i] == actual[i]) continue;
    if (shown++ < 12) {
      text << "  at 0x" << std::hex << i << ": 0x" << +actual[i] << ", expected 0x" << +expected[i]
           << std::dec << "\n";
    }
    ++count;
  }
  if (expected.size() != actual.size())
    text << "  " << actual.size() << " bytes, expected " << expected.size() << "\n";
  if (count > 0) text << "  " << count << " bytes differ\n";
  return text.str();
}

// One buffered program as the trace shows it: the count word's value and the data words' offsets.
struct BufferedProgram {
  std::uint32_t count = 0;
  std::vector<std::uint32_t> offsets;
};

struct FlashTrace {
  std::vector<std::uint32_t> erased_blocks;  // offsets of the block erases, in order
  std::vector<BufferedProgram> buffered;
};

FlashTrace ParseTrace(const std::string& text) {
  static const std::regex kErase(R"(pflash_write_block_erase \S+ block erase offset:0x([0-9a-f]+))");
  static const std::regex kStart(R"(pflash_write_block_start \S+ block write start: bytes:0x([0-9a-f]+))");
  static const std::regex kWrite(
      R"(pflash_io_write \S+ offset:0x([0-9a-f]+) size:\d+ value:0x[0-9a-f]+ wcycle:2)");
  FlashTrace trace;
  std::istringstream lines(text);
  std::string line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match, kErase)) {
      trace.erased_blocks.push_back(static_cast<std::uint32_t>(std::stoul(match[1], nullptr, 16)));
    } else if (std::regex_search(line, match, kStart)) {
      trace.buffered.push_back({static_cast<std::uint32_t>(std::stoul(match[1], nullptr, 16)), {}});
    } else if (!trace.buffered.empty() && std::regex_search(line, match, kWrite)) {
      trace.buffered.back().offsets.push_back(static_cast<std::uint32_t>(std::stoul(match[1], nullptr, 16)));
    }
  }
  return trace;
}

struct BoardRun {
  int status = -1;
  std::string serial;
  FlashTrace trace;
  Image image;
};

// Boots the program with the image as the board's second flash bank (the first holds firmware, and
// an empty one lets QEMU start the program itself).
BoardRun RunBoard(const std::filesystem::path& scratch, const Image& before) {
  std::filesystem::path image = scratch / "flash.img", serial = scratch / "serial.txt",
                        trace = scratch / "trace.txt";
  WriteImage(image, before);
  std::string command =
      "timeout " + std::to_string(kRunLimitSeconds) + " " + ShellQuote(std::string(KALVORI_QEMU_SYSTEM_ARM)) +
      " -M virt -cpu cortex-a15 -m 128M -display none -monitor none -no-reboot"
      " -semihosting-config enable=on,target=native -kernel " +
      ShellQuote(std::string(KALVORI_ARM_BOARD_PROGRAM)) +
      " -drive if=pflash,unit=1,format=raw,file=" + ShellQuote(image) +
      " -serial file:" + ShellQuote(serial) +
      " -d trace:pflash_io_write,trace:pflash_write_block_start,trace:pflash_write_block_erase"
      " -D " +
      ShellQuote(trace) + " </dev/null";
  BoardRun run;
  int raw = std::system(command.c_str());
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.serial = ReadFile(serial);
  run.trace = ParseTrace(ReadFile(trace));
  run.image = ReadImage(image);
  return run;
}

TEST(EmulatedArmBoard, FlashLibraryPassesItsChecksAndLeavesTheImageAsPlanned) {
  TempFolder scratch;
  BoardRun run = RunBoard(scratch.path(), ImageBeforeRun());

  // The program's own checks: probe, geometry, reads, refusals, erases, programs, pins, bundle.
  EXPECT_EQ(run.status, 0) << "the board program failed or did not finish; its serial output:\n"
                           << run.serial;
  EXPECT_NE(run.serial.find(BOARD_PASSED_LINE), std::string::npos) << run.serial;

  // Every byte of the flash: what was planned changed, nothing else.
  Image expected = ImageAfterRun();
  EXPECT_TRUE(run.image == expected) << "the flash image differs from the plan:\n"
                                     << Differences(expected, run.image);

  // Blank blocks are skipped: blocks 10 and 12 of the ranged erase, and the bundle's region is erased
  // twice (before packing, over junk, and by the hand-off).
  std::vector<std::uint32_t> erased = {8 * BOARD_BLOCK_BYTES,  9 * BOARD_BLOCK_BYTES, 11 * BOARD_BLOCK_BYTES,
                                       14 * BOARD_BLOCK_BYTES, BOARD_BUNDLE_OFFSET,   BOARD_BUNDLE_OFFSET};
  EXPECT_EQ(run.trace.erased_blocks, erased);

  // Every buffered program fits the devices' buffer: at most 16 words, as many as the count word
  // says, all in one 64-byte line of the bus.
  EXPECT_GT(run.trace.buffered.size(), BOARD_WRITE_LENGTH_COUNT * BOARD_WRITE_ALIGNMENTS);
  std::size_t bad = 0;
  for (const BufferedProgram& program : run.trace.buffered) {
    bool fits = program.count < kBufferWords && program.offsets.size() == program.count + 1 &&
                std::all_of(program.offsets.begin(), program.offsets.end(), [&](std::uint32_t offset) {
                  return offset / kBusLineBytes == program.offsets.front() / kBusLineBytes;
                });
    if (!fits && bad++ < 5) {
      ADD_FAILURE() << "buffered program of count word " << program.count << " with "
                    << program.offsets.size() << " data words from offset 0x" << std::hex
                    << (program.offsets.empty() ? 0 : program.offsets.front())
                    << " does not fit the devices' 16-word buffer line";
    }
  }
  EXPECT_EQ(bad, 0u);
}

}  // namespace
