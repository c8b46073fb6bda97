// The NOR boot flash of the module: two 16-bit flash devices side by side on the 32-bit bus at
// physical 0, modelled from the devices' command-set contract.
//
// Bus: the bus word at byte offset o holds device 0's 16-bit word at device word address o / 4 in
// bits 0..15 and device 1's in bits 16..31. Each device (a "lane") runs its own state machine: a
// bus write hands each half to its own device, so a word whose halves differ is two commands.
//
// One device, as its datasheet gives it:
//   commands (the low byte of the written half)
//     0xFF read array             0x90 read identifier        0x98 query        0x70 read status
//     0x50 clear status           0x60 lock setup, then 0xD0 clear lock bit or 0x01 set lock bit
//     0x20 erase setup, then 0xD0 0x40 or 0x10 word program setup, then the data
//     0xE8 write to buffer, then the word count N - 1 (at most 15), N data words within one
//          32-byte line of the device (64 bytes of the bus), then 0xD0
//   read identifier, at device word offsets from a block's start: 0 manufacturer (0x89), 1 device
//     code, 2 the block's lock status (bit 0 locked)
//   query: "QRY" at 0x10..0x12, the size code n at 0x27 (the device holds 2^n bytes), the write
//     buffer size at 0x2A, the erase-block regions from 0x2C
//   status: bit 7 ready, 5 erase error, 4 program error, 3 programming-voltage error, 1 locked
//     block. Error bits stay until clear status. A command-sequence error (a bad confirm, a count
//     above 15, a data word outside the line) sets bits 4 and 5 and programs nothing.
//   geometry: 128 KiB blocks; the codes 0x881A, 0x881B, 0x891C and 0x8922 have 32 KiB parameter
//     blocks in their lowest 128 KiB. On the bus every block is twice as large (NorLayout,
//     sim/core/flash_parts.h).
//   programming only clears bits; an erase sets a whole block to 0xFF. A program or erase of a
//     locked block sets bit 1 and the operation's error bit and changes nothing.
//   power-up: every block locked (the lock bits are volatile), read-array mode, status clear.
//   while a program or erase runs the device reads as its status with bit 7 clear and ignores
//     every command but read status.
//
// Power cuts (faults.power_cut, or SchedulePowerCut): the power goes during the n-th program (word
// or buffer), erase, either, or bus write. The operation it cuts is torn as sim/core/power_cut.h
// says, over what it was changing: the word of a word program, the 64-byte line of a buffered
// program, the whole block of an erase ("half": the first half of those bytes done). From then on
// every access throws sim::PowerCut until the module starts again; the image keeps what the cut
// left.
//
// Not modelled: suspend and resume, lock-down, protection registers, the identifier fields beyond
// the lock status, the query's timing and voltage fields.
//
// Persistence: the image store (sim/core/image_store.h) keeps the bus view in 64 KiB granules, in
// memory or in a raw image file created sparse, with a sidecar "<image>.json" holding the device
// code, the size code and the granules that hold data; the others read 0xFF. Lock bits, status and
// the counts since power-on are not persisted; wear is.
//
// Wear: every program (word or buffer) and erase a device starts counts for its block, per device
// (the store's wear part = the lane) and block in the order of Blocks(), over the image's life
// (Wear()): one that fails, one on a device that never becomes ready, and one a power cut tears
// count; one refused because the block is locked does not (the device touches no cell). Poke counts
// nothing.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/core/bus.h"
#include "sim/core/clock.h"
#include "sim/core/flash_config.h"
#include "sim/core/flash_parts.h"
#include "sim/core/image_store.h"
#include "sim/core/power_cut.h"

namespace sim {

// How a device took one half of a bus write (the command log).
enum class NorCycle : std::uint8_t {
  kCommand,        // a mode change or the first cycle of a two-cycle command
  kProgramData,    // the data of a word program
  kBufferCount,    // the word count of a buffered program
  kBufferData,     // a data word of a buffered program
  kConfirm,        // the second cycle of lock, erase or buffered program
  kSequenceError,  // a cycle that broke a command sequence
  kIgnored,        // written while the device was busy, or meaningless
};

struct NorLogEntry {
  std::uint32_t offset;  // bus byte offset
  std::uint32_t value;   // the bus word written
  std::array<NorCycle, 2> cycle;
};

class NorFlash : public BusDevice {
 public:
  static constexpr std::uint32_t kBusBase = 0;
  static constexpr unsigned kLanes = 2;

  // Commands.
  static constexpr std::uint8_t kCmdReadArray = 0xFF;
  static constexpr std::uint8_t kCmdReadIdentifier = 0x90;
  static constexpr std::uint8_t kCmdQuery = 0x98;
  static constexpr std::uint8_t kCmdReadStatus = 0x70;
  static constexpr std::uint8_t kCmdClearStatus = 0x50;
  static constexpr std::uint8_t kCmdLockSetup = 0x60;
  static constexpr std::uint8_t kCmdLockSet = 0x01;  // after lock setup
  static constexpr std::uint8_t kCmdConfirm = 0xD0;
  static constexpr std::uint8_t kCmdEraseSetup = 0x20;
  static constexpr std::uint8_t kCmdProgramSetup = 0x40;
  static constexpr std::uint8_t kCmdProgramSetupAlt = 0x10;
  static constexpr std::uint8_t kCmdWriteToBuffer = 0xE8;

  // Status register bits.
  static constexpr std::uint8_t kStatusReady = 0x80;
  static constexpr std::uint8_t kStatusEraseError = 0x20;
  static constexpr std::uint8_t kStatusProgramError = 0x10;
  static constexpr std::uint8_t kStatusVoltageError = 0x08;
  static constexpr std::uint8_t kStatusLockedError = 0x02;
  static constexpr std::uint8_t kStatusSequenceError = kStatusEraseError | kStatusProgramError;

  // Identification.
  static constexpr std::uint16_t kManufacturerCode = 0x89;
  static constexpr std::uint32_t kIdManufacturer = 0;  // device word offsets from a block's start
  static constexpr std::uint32_t kIdDeviceCode = 1;
  static constexpr std::uint32_t kIdLockStatus = 2;
  static constexpr std::uint16_t kLockBit = 0x0001;
  static constexpr std::uint32_t kQuerySizeCode = 0x27;

  // Write buffer: 16 words of one device, one 32-byte line.
  static constexpr std::uint32_t kBufferWords = 16;
  static constexpr std::uint32_t kBusLineBytes = 64;

  // Timing on the module clock.
  static constexpr std::uint64_t kAccessNs = 150;
  static constexpr std::uint64_t kWordProgramNs = 20'000;
  static constexpr std::uint64_t kBufferProgramNs = 300'000;
  static constexpr std::uint64_t kBlockEraseNs = 700'000'000;

  // Persistence.
  static constexpr std::uint32_t kGranuleBytes = 0x10000;

  enum class Mode { kReadArray, kReadIdentifier, kQuery, kReadStatus };

  using Block = NorLayout::Block;

  // ImageError when the image cannot be opened or was made for another part (key "device_code" or
  // "size_code"). image: config.image as a module folder's file, held by its folder
  // (HostPaths::Settle) and opened there; without it, config.image is a file the user named.
  NorFlash(Clock& clock, NorFlashConfig config, HostFile image = {});
  ~NorFlash() override;
  NorFlash(const NorFlash&) = delete;
  NorFlash& operator=(const NorFlash&) = delete;

  // Bytes of the bus view: 2 * 2^size_code.
  std::uint32_t BusBytes() const { return layout_.bus_bytes(); }
  const NorLayout& layout() const { return layout_; }

  // --- the bus ---
  std::string Name() const override { return "NOR flash"; }
  std::uint32_t Read32(std::uint32_t offset) override;
  void Write32(std::uint32_t offset, std::uint32_t value) override;
  void ReadBlock(std::uint32_t offset, std::span<std::uint8_t> out) override;
  std::uint64_t AccessNs() const override { return kAccessNs; }

  // --- what a test observes ---
  Block BlockAt(std::uint32_t offset) const;
  std::vector<Block> Blocks() const;
  // The array contents whatever the devices' modes.
  std::vector<std::uint8_t> Peek(std::uint32_t offset, std::uint32_t bytes) const;
  std::uint32_t PeekWord(std::uint32_t offset) const;
  // Stores contents as the factory would (no commands, no lock checks); persisted.
  void Poke(std::uint32_t offset, std::span<const std::uint8_t> bytes);
  bool IsLocked(std::uint32_t offset, unsigned lane) const;
  Mode ModeOf(unsigned lane) const { return lanes_[lane].mode; }
  // The status register as a status read would show it.
  std::uint8_t StatusOf(unsigned lane) const;
  // Erase commands confirmed on the block, and program operations (word or buffer) confirmed.
  std::uint32_t EraseCount(std::uint32_t offset, unsigned lane = 0) const;
  std::uint64_t ProgramOperations(unsigned lane = 0) const { return lanes_[lane].program_operations; }
  // Programs and erases the block that holds the offset has been through, over the image's life.
  const ImageStore::BlockWear& Wear(std::uint32_t offset, unsigned lane) const {
    return store_->Wear(lane, static_cast<std::uint32_t>(BlockIndex(offset)));
  }
  // The command log: every bus write while logging, with how each device took it.
  void StartLog();
  void StopLog() { logging_ = false; }
  const std::vector<NorLogEntry>& Log() const { return log_; }

  // --- faults ---
  // Programs (erases) of the block that holds the offset end with these status bits and change
  // nothing: every one from now on after the first `after`, which still succeed.
  void FailProgram(std::uint32_t offset, unsigned lane, std::uint8_t status_bits = kStatusProgramError,
                   std::uint32_t after = 0);
  void FailErase(std::uint32_t offset, unsigned lane, std::uint8_t status_bits = kStatusEraseError,
                 std::uint32_t after = 0);
  // The block's lock bit ignores clear-lock.
  void KeepLocked(std::uint32_t offset, unsigned lane);
  // From the next program, erase or write to buffer on, the device stays busy for good.
  void NeverReady(unsigned lane) { lanes_[lane].never_ready = true; }
  // The at-th operation of op's kind from now on is cut, torn as tear says.
  void SchedulePowerCut(std::uint32_t at, NorFlashFaults::PowerCutAt::Op op, const Tear& tear = {});
  // Programs and erases started on the bus since power-on (one per bus write that starts them).
  std::uint64_t ArrayOperations() const { return programs_ + erases_; }
  bool Powered() const { return powered_; }
  // What read identifier and query answer (the geometry stays that of the configured part).
  void SetManufacturerCode(unsigned lane, std::uint16_t code) { lanes_[lane].manufacturer = code; }
  void SetDeviceCodeAnswer(unsigned lane, std::uint16_t code) { lanes_[lane].device_code = code; }
  void SetQuerySizeCode(unsigned lane, std::uint8_t code) { lanes_[lane].size_code = code; }

 private:
  enum class Pending { kNone, kLockSetup, kEraseSetup, kProgramSetup, kBufferCount, kBufferData, kBufferConfirm };

  // An injected failure: from the operation count `from` on, operations end with `status`.
  struct Failure {
    std::uint8_t status = 0;
    std::uint64_t from = 0;
  };

  struct BlockState {
    bool locked = true;
    bool keep_locked = false;
    Failure program_fault;
    Failure erase_fault;
    std::uint32_t erases = 0;
    std::uint64_t programs = 0;
  };

  struct Lane {
    Mode mode = Mode::kReadArray;
    Pending pending = Pending::kNone;
    std::uint8_t errors = 0;  // sticky status bits
    std::uint64_t busy_until_ns = 0;
    bool never_ready = false;
    bool hung = false;  // an operation started while never_ready was set
    std::vector<BlockState> blocks;
    std::uint64_t program_operations = 0;
    std::uint16_t manufacturer = kManufacturerCode;
    std::uint16_t device_code = 0;
    std::uint8_t size_code = 0;
    // Write buffer.
    std::uint32_t buffer_block = 0;  // bus offset of the block named by write to buffer
    std::uint32_t buffer_line = 0;   // bus offset of the line of the first data word
    std::uint32_t buffer_count = 0;  // words announced
    std::vector<std::pair<std::uint32_t, std::uint16_t>> buffer;
  };

  bool Busy(const Lane& lane) const;
  std::size_t BlockIndex(std::uint32_t offset) const { return layout_.BlockIndex(offset); }
  std::uint16_t LaneRead(unsigned lane, std::uint32_t offset) const;
  std::uint16_t QueryAt(const Lane& lane, std::uint32_t address) const;
  NorCycle LaneWrite(unsigned lane, std::uint32_t offset, std::uint16_t data);
  NorCycle LaneCommand(unsigned lane, std::uint32_t offset, std::uint8_t command);
  NorCycle SequenceError(Lane& lane);
  // The start every program and erase shares: false when the operation does not go ahead.
  bool BeginArrayOperation(unsigned lane, std::size_t block_index, bool erase, std::uint64_t busy_ns,
                           std::uint64_t done);
  void StartWordProgram(unsigned lane, std::uint32_t offset, std::uint16_t data);
  void StartBufferProgram(unsigned lane);
  void StartErase(unsigned lane, std::uint32_t offset);

  // --- the array ---
  std::uint16_t ArrayHalf(unsigned lane, std::uint32_t offset) const;
  void ProgramHalf(unsigned lane, std::uint32_t offset, std::uint16_t data);
  void EraseHalves(unsigned lane, Block block);

  // A cut: what the operation started by the current bus write was changing, as it was before.
  struct CutRange {
    std::uint32_t offset = 0;
    std::vector<std::uint8_t> before;
  };
  void NoteOperation(std::uint32_t offset, std::uint32_t bytes);
  void CheckPowered() const;

  Clock& clock_;
  NorFlashConfig config_;
  bool powered_ = true;
  std::uint64_t programs_ = 0, erases_ = 0, bus_writes_ = 0;
  std::optional<NorFlashFaults::PowerCutAt> cut_;  // counted from power-on (at is absolute)
  bool cut_this_write_ = false;                     // an operation started now is the cut one
  bool started_program_ = false, started_erase_ = false;
  std::optional<CutRange> cut_range_;
  NorLayout layout_;
  std::unique_ptr<ImageStore> store_;
  std::array<Lane, kLanes> lanes_;
  bool logging_ = false;
  std::vector<NorLogEntry> log_;
};

}  // namespace sim
