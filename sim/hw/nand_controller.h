// The processor's NAND controller with its flash devices: a register block at physical 0x43100000
// (one 4 KiB page) that the driver polls and feeds, and behind it the devices of one of five chips.
//
// Registers (32-bit; any other offset in the page reads 0 and is a protocol error):
//   0x00 control      read/write; bits below. The run bit starts a command and is cleared by the
//                     controller when the command has ended.
//   0x04 timing 0     tCH 21..19, tCS 18..16, tWH 13..11, tWP 10..8, tRH 5..3, tRP 2..0 (clocks - 1)
//   0x0C timing 1     tR 31..16, tWHR 7..4, tAR 3..0 (clocks - 1); both only feed the modelled time
//   0x14 status       bits below; sticky, a bit written as 1 is cleared
//   0x40 data FIFO    one 32-bit word per access, the lowest byte first
//   0x48 command buf  three writes per command: command word, address word 1, address word 2
//
// A command: setting the run bit makes the controller request the command words (status bit 0). The
// command word's type decides what follows:
//   read (0)     command byte 1, the address cycles, byte 2 when the two-command flag is set; after the
//                page read: read-data request (bit 1, with flash ready) and the page's data, then its
//                spare bytes when spare transfer is on, in the FIFO; when the FIFO is empty: done.
//   program (1)  byte 1 and the address cycles; write-data request (bit 2); when the FIFO has taken the
//                page's data and spare words: the data cycles, byte 2, the array program, done.
//   erase (2)    byte 1, the address cycles, byte 2, the array erase, done.
//   read ID (3)  byte 1 and the address cycles; read-data request with two FIFO words: the ID bytes
//                (as many as control bits 18..16 say; the rest 0), read on the low byte lane (device 0)
//                whatever the bus width; done when both words are read.
//   reset (5)    byte 1; done.
// "Done" posts flash ready (bit 11) and command done of the command's chip select (bit 8 for chip
// select 0, bit 7 for 1). With the automatic status read (command word bit 25) the controller then
// reads the device status (0x70) and posts bad block of that chip select (bit 6 / bit 5) when the
// device reports a failed operation. A read with ECC on posts bit 4 when a chunk is uncorrectable.
// Each posted event becomes visible only after a number of status reads (busy_status_reads), so the
// driver's polls are exercised; the controller moves on to the next phase when it becomes visible.
//
// Transfer framing, latched from the control register when the command words are taken:
//   bit 24 2 KiB device pages (64 spare bytes), else 512 (16 spare bytes)
//   bit 27 16-bit bus: each bus cycle moves a byte of device 0 (low lane, even FIFO bytes) and one of
//          device 1 (high lane, odd FIFO bytes); clear: 8-bit bus, device 0 alone, four of its bytes
//          to a FIFO word. A lane without a device reads 0xFF.
//   bit 31 spare transfer: the spare bytes follow the page data in the FIFO (all of them with ECC off;
//          with ECC on 40 of 64 / 8 of 16 per device, the rest holds the ECC)
//   bit 30 ECC: a program stores the code of each 256 data bytes (sim/hw/nand_ecc.h) in the spare bytes
//          from 40 (2 KiB: 8 chunks x 3 bytes at 40..63) or from 8 (512: 2 chunks x 3 bytes at 8..13,
//          14..15 left alone), per device; a read corrects one bit per chunk silently and posts bit 4
//          for more. ECC with spare transfer off still reads and writes the spare (0xFF where the FIFO
//          gave nothing).
//   bits 18..16 READ ID byte count. Bits 23, 19, 15, 14, 12 and 11..0 (interrupt masks; no interrupt
//          is modelled) are kept and logged but do not change the bus cycles: address bytes go out as
//          the address words hold them, first cycle in bits 7..0 of word 1.
// A framing that does not fit the chip moves the wrong bytes, as the hardware would; the devices
// report the cycles they did not expect as protocol errors.
//
// Misuse, counted as protocol errors (ProtocolErrors(), ProtocolLog()): command-buffer words while no
// command request is visible are ignored; FIFO reads without a visible read-data request (or past its
// words) return 0xFFFFFFFF; FIFO writes without a visible write-data request are dropped; a write to
// the control register while a command is unfinished abandons that command (with the run bit set a new
// command request follows); an undefined command type is refused and posts nothing; accesses to
// offsets outside the register table read 0 / are ignored.
//
// Modelled time: every register access costs the processor kRegisterAccessClocks cycles of the
// controller's clock (a status poll, a FIFO word, a command word alike), charged to the module clock
// by the bus; the controller's own work (the flash bus cycles from the timing registers, the array
// times) goes to DeviceTimeNs. The two are added, not overlapped: the model posts its events after a
// count of status reads rather than at a time, so the polls made while the array is busy are counted
// on top of the array time.
//
// Configuration: NandConfig (sim/core/flash_config.h), read from the module description's "flash"
// object. Faults: see NandFaultPlan and the run-time calls below. After a power cut every register
// access throws sim::PowerCut until the module is restarted (the back door keeps working).
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/core/bus.h"
#include "sim/core/flash_config.h"
#include "sim/core/power_cut.h"
#include "sim/hw/nand_chip.h"
#include "sim/hw/nand_image.h"

namespace sim {

// One command as the controller took it.
struct NandCommandRecord {
  std::uint64_t sequence = 0;  // 1 for the first command since power-on
  std::uint32_t command_word = 0;
  std::uint32_t address1 = 0;
  std::uint32_t address2 = 0;
  std::uint32_t control = 0;        // control register when the words were taken (the framing)
  std::uint32_t fifo_words = 0;     // data words moved through the FIFO
  std::uint32_t status_posted = 0;  // bits posted when the command ended
  bool completed = false;           // false: abandoned, refused or still running

  std::uint32_t type() const { return (command_word >> 21) & 7; }
  std::uint32_t chip_select() const { return (command_word >> 24) & 1; }
};

struct NandPageProgramCount {
  NandBlockRef block;
  std::uint32_t page = 0;
  std::uint32_t programs = 0;  // since the block's last erase
};

// How the back door addresses the flash.
enum class NandView {
  kWired,   // as wired: chip select 0 then 1; on a pair byte 2j of the data is device 0's byte j, 2j+1 device 1's
  kNarrow,  // device 0 of chip select 0 alone, at its own byte offsets (the 8-bit access)
};

class NandController : public BusDevice {
 public:
  static constexpr std::uint32_t kBase = 0x43100000;
  static constexpr std::uint32_t kWindowBytes = 0x1000;

  // --- registers ---
  static constexpr std::uint32_t kRegControl = 0x00;
  static constexpr std::uint32_t kRegTiming0 = 0x04;
  static constexpr std::uint32_t kRegTiming1 = 0x0C;
  static constexpr std::uint32_t kRegStatus = 0x14;
  static constexpr std::uint32_t kRegData = 0x40;
  static constexpr std::uint32_t kRegCommand = 0x48;

  // --- control register ---
  static constexpr std::uint32_t kCtrlSpare = 1u << 31;
  static constexpr std::uint32_t kCtrlEcc = 1u << 30;
  static constexpr std::uint32_t kCtrlRun = 1u << 28;
  static constexpr std::uint32_t kCtrlWideBus = 1u << 27;
  static constexpr std::uint32_t kCtrlPage2K = 1u << 24;
  static constexpr std::uint32_t kCtrlIdCountShift = 16;
  static constexpr std::uint32_t kCtrlIdCountMask = 7;
  static constexpr std::uint32_t kCtrlRowStart = 1u << 15;
  static constexpr std::uint32_t kCtrlPages64 = 1u << 14;

  // --- status register ---
  static constexpr std::uint32_t kStatusCommandRequest = 1u << 0;
  static constexpr std::uint32_t kStatusReadRequest = 1u << 1;
  static constexpr std::uint32_t kStatusWriteRequest = 1u << 2;
  static constexpr std::uint32_t kStatusEccError = 1u << 4;
  static constexpr std::uint32_t kStatusBadBlockCs1 = 1u << 5;
  static constexpr std::uint32_t kStatusBadBlockCs0 = 1u << 6;
  static constexpr std::uint32_t kStatusDoneCs1 = 1u << 7;
  static constexpr std::uint32_t kStatusDoneCs0 = 1u << 8;
  static constexpr std::uint32_t kStatusReady = 1u << 11;

  // --- command word ---
  static constexpr std::uint32_t kCmdByte2Shift = 8;
  static constexpr std::uint32_t kCmdCyclesShift = 16;
  static constexpr std::uint32_t kCmdCyclesMask = 7;
  static constexpr std::uint32_t kCmdTwoCommands = 1u << 19;
  static constexpr std::uint32_t kCmdTypeShift = 21;
  static constexpr std::uint32_t kCmdTypeMask = 7;
  static constexpr std::uint32_t kCmdChipSelect1 = 1u << 24;
  static constexpr std::uint32_t kCmdAutoStatus = 1u << 25;
  static constexpr std::uint32_t kCmdReserved = 0xFC100000;  // bits 31..26 and 20
  static constexpr std::uint32_t kTypeRead = 0;
  static constexpr std::uint32_t kTypeProgram = 1;
  static constexpr std::uint32_t kTypeErase = 2;
  static constexpr std::uint32_t kTypeReadId = 3;
  static constexpr std::uint32_t kTypeReset = 5;

  static constexpr std::uint32_t kFifoGarbage = 0xFFFFFFFF;  // a FIFO read with no data to give

  // A register access from the processor: address, wait state, data and turn-around cycles.
  static constexpr std::uint32_t kRegisterAccessClocks = 4;

  // image: config.image as a module folder's file, held by its folder (HostPaths::Settle) and opened
  // there; without it, config.image is a file the user named.
  explicit NandController(NandConfig config, std::function<void(const std::string&)> report = {},
                          HostFile image = {});
  ~NandController() override;

  // --- the bus side ---
  std::string Name() const override { return "NAND controller"; }
  std::uint32_t Read32(std::uint32_t offset) override;
  void Write32(std::uint32_t offset, std::uint32_t value) override;
  std::uint64_t AccessNs() const override { return std::uint64_t{kRegisterAccessClocks} * 1000 / clock_mhz_; }
  // Runs of data FIFO accesses move at once, with the checks, counts and outcomes of single ones.
  bool ReadRepeated32(std::uint32_t offset, std::uint32_t* out, std::size_t count) override;
  bool WriteRepeated32(std::uint32_t offset, const std::uint32_t* in, std::uint32_t fill, std::size_t count) override;

  // --- geometry ---
  const NandChipType& chip() const { return *config_.chip; }
  NandImage& image() { return *image_; }
  const NandImage& image() const { return *image_; }
  // The device at a chip select and byte lane; nullptr where none is fitted.
  NandDevice* device(std::uint32_t chip_select, std::uint32_t lane);
  const NandDevice* device(std::uint32_t chip_select, std::uint32_t lane) const;
  // Flash blocks as the driver counts them (both chip selects; a pair's block counted once).
  std::uint32_t FlashBlocks() const { return chip().flash_blocks(); }
  std::uint32_t FlashPageBytes(NandView view = NandView::kWired) const;
  std::uint32_t FlashBlockBytes(NandView view = NandView::kWired) const;
  // The device blocks behind a flash block.
  std::vector<NandBlockRef> FlashBlockRefs(std::uint32_t flash_block) const;

  // --- observation ---
  std::uint64_t ProtocolErrors() const { return protocol_errors_; }
  const std::vector<std::string>& ProtocolLog() const { return protocol_log_; }  // first 1000 messages
  // The newest commands, oldest first (at most command_log_limit of them).
  std::span<const NandCommandRecord> CommandLog() const {
    return std::span<const NandCommandRecord>(command_log_)
        .last(std::min(command_log_.size(), config_.command_log_limit));
  }
  std::uint64_t CommandCount() const { return command_count_; }
  std::uint64_t StatusReads() const { return status_reads_; }
  std::uint64_t CorrectedBits() const { return corrected_bits_; }
  // Time the real bus and array would have taken for everything so far (ns).
  std::uint64_t DeviceTimeNs() const { return device_time_ps_ / 1000; }
  std::uint32_t clock_mhz() const { return clock_mhz_; }
  bool power_cut() const { return !powered_; }
  NandBlockCounters Counters(const NandBlockRef& block) const;
  // Pages programmed more than once since their erase, on every device.
  std::vector<NandPageProgramCount> ReprogrammedPages() const;

  // --- faults at run time ---
  void SetBusyStatusReads(std::uint32_t reads) { config_.busy_status_reads = reads; }
  // Program and erase fail from now on; with factory_mark the bad-block mark is put into pages 0 and 1.
  void MarkBad(const NandBlockRef& block, bool factory_mark = false);
  void FailProgram(const NandBlockRef& block, std::uint32_t after = 0);
  void FailErase(const NandBlockRef& block, std::uint32_t after = 0);
  void AddBitFlips(const NandBlockRef& block, std::optional<std::uint32_t> page, std::uint32_t bits_per_256,
                   std::uint64_t seed);
  void SetStatusNever(std::uint32_t mask) { config_.faults.status_never = mask; }
  void SetIdBytes(const std::vector<std::uint8_t>& bytes);
  // The at-th program or erase (of op's kind) from now on is cut, torn as tear says.
  void SchedulePowerCut(std::uint32_t at, NandOperation op = NandOperation::kAny, const Tear& tear = {});
  // Program and erase commands since power-on (a cut one included).
  std::uint64_t ArrayOperations() const { return programs_ + erases_; }

  // --- back door for tests and tools: no faults, no counters, no modelled time ---
  // One device page with its spare bytes, in the device's own addressing (row = block * pages + page).
  std::vector<std::uint8_t> RawReadPage(std::uint32_t chip_select, std::uint32_t lane, std::uint32_t row) const;
  // ANDs bytes into a device page from column on (column page_bytes is the first spare byte).
  void RawProgramPage(std::uint32_t chip_select, std::uint32_t lane, std::uint32_t row,
                      std::span<const std::uint8_t> bytes, std::uint32_t column = 0);
  void RawEraseBlock(const NandBlockRef& block);
  // Page data only, across pages, devices and chip selects.
  void ReadFlash(std::uint32_t offset, std::span<std::uint8_t> out, NandView view = NandView::kWired) const;
  std::vector<std::uint8_t> ReadFlash(std::uint32_t offset, std::uint32_t bytes,
                                      NandView view = NandView::kWired) const;
  // ANDs data into the pages it covers; with ecc, also the code of each touched page as a program with
  // ECC on would store it (the rest of the page taken as 0xFF).
  void ProgramFlash(std::uint32_t offset, std::span<const std::uint8_t> data, bool ecc,
                    NandView view = NandView::kWired);
  void EraseFlashBlock(std::uint32_t flash_block);

  // Puts the ECC of a device page into its spare bytes: raw holds data then spare as the device stores it.
  static void PutEcc(const NandChipType& chip, std::span<std::uint8_t> raw);

 private:
  enum class Phase { kIdle, kRequestingCommand, kTakingCommand, kRequestingData, kDataOut, kDataIn, kFinishing };
  struct Framing;
  struct Transfer;

  void ProtocolError(const std::string& what);
  void CheckPower() const;
  void WriteControl(std::uint32_t value);
  void WriteCommandWord(std::uint32_t value);
  std::uint32_t ReadFifo();
  void WriteFifo(std::uint32_t value);
  std::uint32_t ReadStatus();
  void Post(std::uint32_t bits, Phase next);
  void Abandon(const std::string& why);
  void NewTransfer();
  void EndTransfer();
  std::vector<std::vector<std::uint8_t>>& LaneBytes(std::uint32_t lanes, std::uint32_t bytes);
  void StartCommand();
  void FinishProgram();
  void EndCommand(std::uint32_t extra_bits);
  std::uint32_t AutoStatusBits();
  bool TakePowerCut(NandOperation op);
  void ChargeCycles(std::uint32_t write_cycles, std::uint32_t read_cycles, bool chip_enable);
  void ChargeArray(std::uint64_t ns);
  NandDevice& DeviceOf(const NandBlockRef& block);
  struct Place {
    NandDevice* device;
    std::uint32_t row;
    std::uint32_t column;
  };
  Place Locate(std::uint64_t offset, NandView view) const;
  NandCommandRecord* Record();

  NandConfig config_;
  std::function<void(const std::string&)> report_;
  std::unique_ptr<NandImage> image_;
  std::vector<std::unique_ptr<NandDevice>> devices_;  // chip select major, lane minor
  std::uint32_t clock_mhz_ = 0;

  // registers
  std::uint32_t control_ = 0;
  std::uint32_t timing0_ = 0;
  std::uint32_t timing1_ = 0;
  std::uint32_t status_ = 0;

  // the command in progress
  Phase phase_ = Phase::kIdle;
  std::uint32_t pending_bits_ = 0;
  std::uint32_t pending_reads_ = 0;
  Phase pending_next_ = Phase::kIdle;
  std::unique_ptr<Transfer> transfer_;
  // Commands come by the thousand: a finished command's buffers, and a page's bytes per byte lane,
  // serve the next one instead of being made afresh.
  std::unique_ptr<Transfer> spare_transfer_;
  std::vector<std::vector<std::uint8_t>> lane_bytes_;

  bool powered_ = true;
  std::uint64_t programs_ = 0;  // program and erase commands since power-on, for the power cut
  std::uint64_t erases_ = 0;
  std::optional<std::uint64_t> cut_program_at_;
  std::optional<std::uint64_t> cut_erase_at_;
  std::optional<std::uint64_t> cut_any_at_;
  Tear cut_tear_;

  std::uint64_t protocol_errors_ = 0;
  std::vector<std::string> protocol_log_;
  // The log, behind it up to as many older records that are dropped together: once full, keeping
  // the log allocates nothing.
  std::vector<NandCommandRecord> command_log_;
  std::uint64_t command_count_ = 0;
  std::uint64_t status_reads_ = 0;
  std::uint64_t corrected_bits_ = 0;
  std::uint64_t device_time_ps_ = 0;
};

}  // namespace sim
