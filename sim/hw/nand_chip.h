// One NAND flash device with an 8-bit interface, as it sees the bus: command cycles, address cycles,
// data cycles, and a busy time after each array operation.
//
// Modelled: the command set below, the address decoding of small-page (512 + 16 bytes, one column
// byte, read pointers 0x00 / 0x01 / 0x50) and large-page (2048 + 64 bytes, two column bytes, read
// confirmed by 0x30) devices, the page register, programming that only clears bits (AND), block erase
// to 0xFF, the status byte, READ ID, and the factory bad-block mark. Not modelled: cache and copy-back
// operations, random data input/output, write protection, multi-plane operation.
//
// Misuse behaves as on a device: a cycle the device does not expect is ignored and reported through
// the anomaly hook (the controller counts these as protocol errors); read cycles while the device
// drives no data read 0xFF; an address phase ended early by another cycle takes the missing address
// bytes as 0; row bits beyond the device are not connected (ignored).
//
// Faults (all deterministic): blocks whose program or erase fails (from the start or after a number of
// operations), factory bad blocks, bit flips seen whenever a page is read (k bits per 256 data bytes,
// positions from a seed), replaced ID bytes, and a power cut that tears the next program or erase
// (sim/core/power_cut.h). A failed program or erase leaves the cells as they were and sets the status
// fail bit.
//
// Wear: every program and erase the device performs - its confirm command (0x10, 0xD0) taken after
// its setup and address - counts for its block in the image (NandImage::Wear), kept with the image
// over its life: a failed one too (the device tried; the status says it did not hold) and one cut by
// a power cut (the cells were moving). A confirm the device does not take (no setup before it)
// changes nothing and counts nothing. The back door (RawProgram, RawErase) counts nothing: it is the
// factory's or a tool's writing, not the device's.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/core/flash_parts.h"
#include "sim/core/power_cut.h"
#include "sim/hw/nand_image.h"

namespace sim {

// --- device commands (bytes latched with the command latch) ---
inline constexpr std::uint8_t kNandCmdRead = 0x00;          // read; small page: column from 0
inline constexpr std::uint8_t kNandCmdReadSecondHalf = 0x01;  // small page: column from 256, one operation
inline constexpr std::uint8_t kNandCmdReadSpareArea = 0x50;   // small page: column in the spare area, sticky
inline constexpr std::uint8_t kNandCmdReadConfirm = 0x30;     // large page: starts the page read
inline constexpr std::uint8_t kNandCmdProgramSetup = 0x80;
inline constexpr std::uint8_t kNandCmdProgramConfirm = 0x10;
inline constexpr std::uint8_t kNandCmdEraseSetup = 0x60;
inline constexpr std::uint8_t kNandCmdEraseConfirm = 0xD0;
inline constexpr std::uint8_t kNandCmdReadStatus = 0x70;
inline constexpr std::uint8_t kNandCmdReadId = 0x90;
inline constexpr std::uint8_t kNandCmdReset = 0xFF;

// --- device status byte ---
inline constexpr std::uint8_t kNandStatusFail = 0x01;  // the last program or erase failed
inline constexpr std::uint8_t kNandStatusReady = 0x40;
inline constexpr std::uint8_t kNandStatusNotProtected = 0x80;

struct NandBlockCounters {
  std::uint64_t reads = 0;     // page reads (array to page register)
  std::uint64_t programs = 0;  // page programs, failed ones included
  std::uint64_t erases = 0;    // erases, failed ones included
};

struct NandBitFlipRule {
  std::uint32_t block = 0;
  std::optional<std::uint32_t> page;  // absent: every page of the block
  std::uint32_t bits_per_256 = 1;     // flipped bits in each 256 bytes of page data
  std::uint64_t seed = 0;
};

class NandDevice {
 public:
  struct Hooks {
    std::function<void(const std::string&)> anomaly;  // a cycle the device did not expect
    std::function<void(const std::string&)> report;   // something worth a line in the module's reports
  };

  NandDevice(const NandChipType& type, NandImage& image, std::uint32_t region, std::string name, Hooks hooks);

  const NandChipType& type() const { return type_; }
  const std::string& name() const { return name_; }

  // --- bus cycles ---
  void Command(std::uint8_t command);
  void Address(std::uint8_t byte);
  void ReadData(std::span<std::uint8_t> out);
  void WriteData(std::span<const std::uint8_t> in);
  // Array time of the operations since the last call (ns); the device is ready again afterwards.
  std::uint64_t TakeBusyNs();

  // --- faults ---
  // Program and erase fail from now on; with mark, the factory bad-block mark is put into pages 0 and 1.
  void MarkBad(std::uint32_t block, bool mark);
  // The first `after` programs (erases) of the block from now on succeed, every later one fails.
  void FailProgram(std::uint32_t block, std::uint32_t after);
  void FailErase(std::uint32_t block, std::uint32_t after);
  void AddBitFlips(const NandBitFlipRule& rule);
  void SetIdBytes(std::vector<std::uint8_t> bytes);
  // The next program or erase is cut: the page or block torn as tear says (sim/core/power_cut.h). The
  // half shape programs the first half of the page's bytes, or erases the first half of the block's pages.
  void CutPowerDuringNextOperation(const Tear& tear) { cut_ = tear; }

  // --- counters (since power-on) ---
  const NandBlockCounters& Counters(std::uint32_t block) const;
  std::uint32_t ProgramsSinceErase(std::uint32_t row) const;
  // Pages programmed more than once since their last erase: (row, programs).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ReprogrammedPages() const;

  // --- back door: no faults, no counters, no busy time ---
  void RawRead(std::uint32_t row, std::span<std::uint8_t> out) const;  // page + spare
  // ANDs bytes into the page from column on.
  void RawProgram(std::uint32_t row, std::uint32_t column, std::span<const std::uint8_t> bytes);
  void RawErase(std::uint32_t block);

 private:
  enum class Mode { kIdle, kAddress, kArmed, kDataOut, kDataIn, kIdOut, kStatusOut };
  enum class Pointer { kFirstHalf, kSecondHalf, kSpare };  // small page read pointer

  void Anomaly(const std::string& what);
  void BeginAddress(std::uint8_t setup, std::uint32_t cycles);
  void EndAddress(bool early);
  std::uint32_t PointerBase() const;
  void LoadPage();
  void Program();
  void Erase();
  bool Fails(const std::vector<std::optional<std::uint64_t>>& rule, std::uint32_t block, std::uint64_t done) const;

  const NandChipType& type_;
  NandImage& image_;
  std::uint32_t region_;
  std::string name_;
  Hooks hooks_;

  Mode mode_ = Mode::kIdle;
  std::uint8_t setup_ = 0;  // the command whose address is latched
  std::vector<std::uint8_t> address_;
  std::uint32_t expected_cycles_ = 0;
  Pointer pointer_ = Pointer::kFirstHalf;
  std::vector<std::uint8_t> page_register_;
  std::uint32_t column_ = 0;
  std::uint32_t row_ = 0;
  bool beyond_reported_ = false;
  std::uint8_t status_ = kNandStatusReady | kNandStatusNotProtected;
  std::vector<std::uint8_t> id_;
  std::uint32_t id_position_ = 0;
  std::uint64_t busy_ns_ = 0;
  std::optional<Tear> cut_;

  std::vector<NandBlockCounters> counters_;
  std::vector<std::uint8_t> programs_since_erase_;  // per row, saturating
  // Per block: the operation count (in counters_) from which on every operation fails; absent: never.
  std::vector<std::optional<std::uint64_t>> program_fail_after_;
  std::vector<std::optional<std::uint64_t>> erase_fail_after_;
  std::vector<NandBitFlipRule> bit_flips_;
};

}  // namespace sim
