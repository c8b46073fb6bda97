#include "sim/hw/nand_controller.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>

#include "sim/core/text.h"
#include "sim/hw/nand_ecc.h"

namespace sim {

namespace {

constexpr std::uint32_t kSmallPageBytes = 512;
constexpr std::uint32_t kLargePageBytes = 2048;
constexpr std::uint32_t kSmallSpareBytes = 16;
constexpr std::uint32_t kLargeSpareBytes = 64;
constexpr std::uint32_t kSmallEccArea = 8;   // spare bytes the controller keeps for its code, 512-byte pages
constexpr std::uint32_t kLargeEccArea = 24;  // 2 KiB pages
constexpr std::uint32_t kIdFifoWords = 2;
constexpr std::size_t kProtocolLogLimit = 1000;
constexpr std::uint8_t kFloatingBus = 0xFF;  // a lane or chip select without a device
constexpr std::uint64_t kPsPerClockAtOneMhz = 1'000'000;

std::uint32_t Field(std::uint32_t value, std::uint32_t shift, std::uint32_t bits) {
  return (value >> shift) & ((1u << bits) - 1);
}

std::uint32_t DoneBit(std::uint32_t cs) {
  return cs ? NandController::kStatusDoneCs1 : NandController::kStatusDoneCs0;
}

std::uint32_t BadBlockBit(std::uint32_t cs) {
  return cs ? NandController::kStatusBadBlockCs1 : NandController::kStatusBadBlockCs0;
}

// The code of every 256 data bytes of a page, into the spare bytes after the ones the driver sees.
void PutEccFramed(std::uint32_t page_bytes, std::span<std::uint8_t> raw) {
  std::uint32_t spare = page_bytes == kLargePageBytes ? kLargeSpareBytes : kSmallSpareBytes;
  std::uint32_t area = page_bytes == kLargePageBytes ? kLargeEccArea : kSmallEccArea;
  std::uint32_t at = page_bytes + spare - area;
  for (std::uint32_t chunk = 0; chunk < page_bytes / nand_ecc::kChunkBytes; ++chunk) {
    auto code = nand_ecc::Encode(
        std::span<const std::uint8_t, nand_ecc::kChunkBytes>(raw.data() + chunk * nand_ecc::kChunkBytes,
                                                             nand_ecc::kChunkBytes));
    std::copy(code.begin(), code.end(), raw.begin() + at + chunk * nand_ecc::kCodeBytes);
  }
}

}  // namespace

// --- the framing of a transfer, from the control register ---

struct NandController::Framing {
  explicit Framing(std::uint32_t control)
      : wide((control & kCtrlWideBus) != 0),
        spare((control & kCtrlSpare) != 0),
        ecc((control & kCtrlEcc) != 0),
        page((control & kCtrlPage2K) ? kLargePageBytes : kSmallPageBytes),
        spare_full((control & kCtrlPage2K) ? kLargeSpareBytes : kSmallSpareBytes),
        ecc_at(spare_full - ((control & kCtrlPage2K) ? kLargeEccArea : kSmallEccArea)),
        id_count(Field(control, kCtrlIdCountShift, 3)) {}

  std::uint32_t lanes() const { return wide ? 2 : 1; }
  // Spare bytes per device that the FIFO carries.
  std::uint32_t fifo_spare() const { return spare ? (ecc ? ecc_at : spare_full) : 0; }
  std::uint32_t fifo_lane_bytes() const { return page + fifo_spare(); }
  // Bytes per device on the bus: the controller reads and writes the whole spare when ECC is on.
  std::uint32_t bus_lane_bytes() const { return page + ((spare || ecc) ? spare_full : 0); }

  bool wide, spare, ecc;
  std::uint32_t page, spare_full, ecc_at, id_count;
};

struct NandController::Transfer {
  std::uint32_t words[3] = {};
  std::uint32_t received = 0;
  std::uint64_t sequence = 0;
  std::optional<Framing> framing;
  std::uint32_t cs = 0;
  std::vector<NandDevice*> lanes;  // per byte lane; nullptr where none is fitted
  std::vector<std::uint32_t> fifo;
  std::size_t position = 0;
  std::size_t expected = 0;   // program: FIFO words the page takes
  std::uint32_t end_bits = 0;  // posted with done (an uncorrectable ECC error)

  std::uint32_t command() const { return words[0]; }
  std::uint32_t type() const { return Field(words[0], kCmdTypeShift, 3); }
  std::uint8_t byte1() const { return static_cast<std::uint8_t>(words[0]); }
  std::uint8_t byte2() const { return static_cast<std::uint8_t>(words[0] >> kCmdByte2Shift); }
  bool two_commands() const { return (words[0] & kCmdTwoCommands) != 0; }
  std::uint32_t cycles() const { return Field(words[0], kCmdCyclesShift, 3); }
  std::uint8_t address(std::uint32_t i) const {
    return static_cast<std::uint8_t>(i < 4 ? words[1] >> (8 * i) : words[2] >> (8 * (i - 4)));
  }
  template <class F>
  void ForDevices(F f) const {
    for (NandDevice* d : lanes) {
      if (d) f(*d);
    }
  }
};

// --- power-on ---

NandController::NandController(NandConfig config, std::function<void(const std::string&)> report,
                               HostFile image)
    : config_(std::move(config)), report_(std::move(report)) {
  if (!config_.chip) throw std::invalid_argument("NAND controller: no chip given");
  const NandChipType& type = *config_.chip;
  clock_mhz_ = config_.clock_mhz ? config_.clock_mhz : type.clock_mhz;
  config_.command_log_limit = std::max<std::size_t>(config_.command_log_limit, 1);

  NandImage::Layout layout{type.name, type.page_bytes, type.spare_bytes, type.pages_per_block, type.blocks, {}};
  for (std::uint32_t cs = 0; cs < type.chip_selects; ++cs) {
    for (std::uint32_t lane = 0; lane < type.lanes; ++lane) layout.regions.push_back({cs, lane});
  }
  if (image.folder.valid()) {
    image_ = NandImage::Open(std::move(image), layout);
  } else if (!config_.image.empty()) {
    image_ = NandImage::Open(config_.image, layout);
  } else {
    image_ = NandImage::InMemory(layout);
  }

  NandDevice::Hooks hooks{[this](const std::string& what) { ProtocolError(what); },
                          [this](const std::string& line) {
                            if (report_) report_(line);
                          }};
  for (std::uint32_t region = 0; region < layout.regions.size(); ++region) {
    const NandImage::Region& r = layout.regions[region];
    std::string name = "chip select " + std::to_string(r.chip_select);
    if (type.lanes > 1) name += " device " + std::to_string(r.device);
    devices_.push_back(std::make_unique<NandDevice>(type, *image_, region, name, hooks));
  }

  for (const NandBlockRef& ref : config_.factory_bad_blocks) MarkBad(ref, true);
  const NandFaultPlan& faults = config_.faults;
  for (const auto& f : faults.program_fail) FailProgram(f.block, f.after);
  for (const auto& f : faults.erase_fail) FailErase(f.block, f.after);
  for (const auto& f : faults.bit_flips) AddBitFlips(f.block, f.page, f.bits_per_256, f.seed);
  if (faults.id) SetIdBytes(*faults.id);
  if (faults.power_cut) SchedulePowerCut(faults.power_cut->at, faults.power_cut->op, faults.power_cut->tear);
}

NandController::~NandController() = default;

NandDevice* NandController::device(std::uint32_t chip_select, std::uint32_t lane) {
  if (chip_select >= chip().chip_selects || lane >= chip().lanes) return nullptr;
  return devices_[chip_select * chip().lanes + lane].get();
}

const NandDevice* NandController::device(std::uint32_t chip_select, std::uint32_t lane) const {
  return const_cast<NandController*>(this)->device(chip_select, lane);
}

NandDevice& NandController::DeviceOf(const NandBlockRef& block) {
  NandDevice* d = device(block.chip_select, block.device);
  if (!d) {
    throw std::out_of_range("NAND: no device " + std::to_string(block.device) + " on chip select " +
                            std::to_string(block.chip_select));
  }
  return *d;
}

// --- observation helpers ---

void NandController::ProtocolError(const std::string& what) {
  ++protocol_errors_;
  if (protocol_log_.size() < kProtocolLogLimit) protocol_log_.push_back(what);
}

void NandController::CheckPower() const {
  if (!powered_) throw PowerCut("NAND controller: the module lost power (a scheduled power cut); restart the module");
}

NandCommandRecord* NandController::Record() {
  if (!transfer_) return nullptr;
  const std::size_t kept = CommandLog().size();
  for (std::size_t i = command_log_.size(); i > command_log_.size() - kept; --i) {
    if (command_log_[i - 1].sequence == transfer_->sequence) return &command_log_[i - 1];
  }
  return nullptr;
}

void NandController::ChargeCycles(std::uint32_t write_cycles, std::uint32_t read_cycles, bool chip_enable) {
  std::uint64_t write = Field(timing0_, 8, 3) + 1 + Field(timing0_, 11, 3) + 1;  // tWP + tWH
  std::uint64_t read = Field(timing0_, 0, 3) + 1 + Field(timing0_, 3, 3) + 1;   // tRP + tRH
  std::uint64_t enable = chip_enable ? Field(timing0_, 16, 3) + 1 + Field(timing0_, 19, 3) + 1 : 0;  // tCS + tCH
  std::uint64_t clocks = write * write_cycles + read * read_cycles + enable;
  device_time_ps_ += clocks * kPsPerClockAtOneMhz / clock_mhz_;
}

void NandController::ChargeArray(std::uint64_t ns) { device_time_ps_ += ns * 1000; }

// --- registers ---

std::uint32_t NandController::Read32(std::uint32_t offset) {
  CheckPower();
  switch (offset) {
    case kRegControl:
      return control_;
    case kRegTiming0:
      return timing0_;
    case kRegTiming1:
      return timing1_;
    case kRegStatus:
      return ReadStatus();
    case kRegData:
      return ReadFifo();
    default:
      ProtocolError("read at register offset " + Hex(offset) + ", where no readable register is");
      return 0;
  }
}

void NandController::Write32(std::uint32_t offset, std::uint32_t value) {
  CheckPower();
  switch (offset) {
    case kRegControl:
      WriteControl(value);
      return;
    case kRegTiming0:
      timing0_ = value;
      return;
    case kRegTiming1:
      timing1_ = value;
      return;
    case kRegStatus:
      status_ &= ~value;  // write one to clear
      return;
    case kRegData:
      WriteFifo(value);
      return;
    case kRegCommand:
      WriteCommandWord(value);
      return;
    default:
      ProtocolError("write of " + Hex(value) + " at register offset " + Hex(offset) + ", where no register is");
  }
}

std::uint32_t NandController::ReadStatus() {
  ++status_reads_;
  bool pending = phase_ == Phase::kRequestingCommand || phase_ == Phase::kRequestingData || phase_ == Phase::kFinishing;
  if (pending) {
    if (pending_reads_ > 0) {
      --pending_reads_;
    } else {
      status_ |= pending_bits_ & ~config_.faults.status_never;
      phase_ = pending_next_;
      if (phase_ == Phase::kIdle) {
        control_ &= ~kCtrlRun;
        if (NandCommandRecord* r = Record()) {
          r->completed = true;
          r->status_posted = pending_bits_;
        }
        EndTransfer();
      }
    }
  }
  return status_;
}

// An event the controller posts: its bits show after busy_status_reads more status reads, and the
// controller enters `next` then.
void NandController::Post(std::uint32_t bits, Phase next) {
  pending_bits_ = bits;
  pending_reads_ = config_.busy_status_reads;
  pending_next_ = next;
  switch (next) {
    case Phase::kTakingCommand:
      phase_ = Phase::kRequestingCommand;
      break;
    case Phase::kDataOut:
    case Phase::kDataIn:
      phase_ = Phase::kRequestingData;
      break;
    default:
      phase_ = Phase::kFinishing;
  }
}

void NandController::NewTransfer() {
  if (!spare_transfer_) {
    transfer_ = std::make_unique<Transfer>();
    return;
  }
  transfer_ = std::move(spare_transfer_);
  std::vector<NandDevice*> lanes = std::move(transfer_->lanes);
  std::vector<std::uint32_t> fifo = std::move(transfer_->fifo);
  *transfer_ = Transfer{};
  lanes.clear();
  fifo.clear();
  transfer_->lanes = std::move(lanes);
  transfer_->fifo = std::move(fifo);
}

void NandController::EndTransfer() {
  if (transfer_) spare_transfer_ = std::move(transfer_);
}

// Each lane's bytes set to the floating bus's.
std::vector<std::vector<std::uint8_t>>& NandController::LaneBytes(std::uint32_t lanes, std::uint32_t bytes) {
  lane_bytes_.resize(lanes);
  for (std::vector<std::uint8_t>& lane : lane_bytes_) lane.assign(bytes, kFloatingBus);
  return lane_bytes_;
}

void NandController::Abandon(const std::string& why) {
  ProtocolError("command abandoned: " + why);
  phase_ = Phase::kIdle;
  EndTransfer();
}

void NandController::WriteControl(std::uint32_t value) {
  control_ = value;
  if (phase_ != Phase::kIdle) {
    Abandon((value & kCtrlRun) ? "run bit set while a command was unfinished"
                               : "control register written while a command was unfinished");
  }
  if (value & kCtrlRun) {
    NewTransfer();
    Post(kStatusCommandRequest, Phase::kTakingCommand);
  }
}

// --- commands ---

void NandController::WriteCommandWord(std::uint32_t value) {
  if (phase_ != Phase::kTakingCommand) {
    ProtocolError("command buffer written with " + Hex(value) + " while no command request is pending; ignored");
    return;
  }
  transfer_->words[transfer_->received++] = value;
  if (transfer_->received == 3) StartCommand();
}

void NandController::StartCommand() {
  Transfer& t = *transfer_;
  t.framing.emplace(control_);
  const Framing& f = *t.framing;
  t.cs = (t.command() & kCmdChipSelect1) ? 1 : 0;
  t.sequence = ++command_count_;
  if (command_log_.size() >= 2 * config_.command_log_limit) {
    command_log_.erase(command_log_.begin(),
                       command_log_.end() - static_cast<std::ptrdiff_t>(config_.command_log_limit - 1));
  }
  command_log_.push_back({t.sequence, t.words[0], t.words[1], t.words[2], control_, 0, 0, false});

  if (t.command() & kCmdReserved) ProtocolError("command word " + Hex(t.command()) + " sets reserved bits");
  for (std::uint32_t lane = 0; lane < f.lanes(); ++lane) t.lanes.push_back(device(t.cs, lane));
  if (std::none_of(t.lanes.begin(), t.lanes.end(), [](NandDevice* d) { return d != nullptr; })) {
    ProtocolError("command " + Hex(t.command()) + " for chip select " + std::to_string(t.cs) +
                  ", where no device is fitted");
  }

  std::uint32_t type = t.type();
  bool data = type == kTypeRead || type == kTypeProgram;
  auto missing = std::count(t.lanes.begin(), t.lanes.end(), nullptr);
  if (data && missing > 0 && missing < static_cast<std::ptrdiff_t>(t.lanes.size())) {
    ProtocolError("a 16-bit transfer on chip select " + std::to_string(t.cs) +
                  ", but no device on the high byte lane: its bytes float at 0xFF");
  }
  if (type != kTypeRead && type != kTypeProgram && type != kTypeErase && type != kTypeReadId && type != kTypeReset) {
    ProtocolError("command word " + Hex(t.command()) + " has the undefined type " + std::to_string(type) +
                  "; refused");
    phase_ = Phase::kIdle;
    control_ &= ~kCtrlRun;
    EndTransfer();
    return;
  }

  // Command byte 1 and the address cycles reach every device of the command's chip select and bus.
  bool cut = false;
  if (type == kTypeErase) cut = TakePowerCut(NandOperation::kErase);
  if (cut) t.ForDevices([this](NandDevice& d) { d.CutPowerDuringNextOperation(cut_tear_); });
  t.ForDevices([&](NandDevice& d) {
    d.Command(t.byte1());
    for (std::uint32_t i = 0; i < t.cycles(); ++i) d.Address(t.address(i));
  });
  std::uint32_t sent = 1 + t.cycles();
  if (type != kTypeProgram && t.two_commands()) {
    t.ForDevices([&](NandDevice& d) { d.Command(t.byte2()); });
    ++sent;
  }
  ChargeCycles(sent, 0, true);

  switch (type) {
    case kTypeRead: {
      std::uint64_t busy = 0;
      t.ForDevices([&](NandDevice& d) { busy = std::max(busy, d.TakeBusyNs()); });
      std::uint64_t t_r = (Field(timing1_, 16, 16) + 1) * kPsPerClockAtOneMhz / clock_mhz_ / 1000;
      std::uint64_t t_ar = (Field(timing1_, 0, 4) + 1) * kPsPerClockAtOneMhz / clock_mhz_ / 1000;
      ChargeArray(std::max(busy, t_r) + t_ar);

      std::vector<std::vector<std::uint8_t>>& lanes = LaneBytes(f.lanes(), f.bus_lane_bytes());
      for (std::uint32_t lane = 0; lane < f.lanes(); ++lane) {
        if (t.lanes[lane]) t.lanes[lane]->ReadData(lanes[lane]);
      }
      ChargeCycles(0, f.bus_lane_bytes(), false);
      if (f.ecc) {
        for (auto& bytes : lanes) {
          for (std::uint32_t chunk = 0; chunk < f.page / nand_ecc::kChunkBytes; ++chunk) {
            auto outcome = nand_ecc::Check(
                std::span<std::uint8_t, nand_ecc::kChunkBytes>(bytes.data() + chunk * nand_ecc::kChunkBytes,
                                                               nand_ecc::kChunkBytes),
                std::span<const std::uint8_t, nand_ecc::kCodeBytes>(
                    bytes.data() + f.page + f.ecc_at + chunk * nand_ecc::kCodeBytes, nand_ecc::kCodeBytes));
            if (outcome == nand_ecc::Outcome::kCorrectedData) ++corrected_bits_;
            if (outcome == nand_ecc::Outcome::kUncorrectable) t.end_bits |= kStatusEccError;
          }
        }
      }
      // FIFO words take the bytes lowest first: device 0's alone, or the two devices' in turn.
      t.fifo.resize(std::size_t{f.fifo_lane_bytes()} * f.lanes() / 4);
      if (f.lanes() == 1 && std::endian::native == std::endian::little) {
        std::memcpy(t.fifo.data(), lanes[0].data(), t.fifo.size() * 4);
      } else if (f.lanes() == 1) {
        const std::uint8_t* b = lanes[0].data();
        for (std::size_t w = 0; w < t.fifo.size(); ++w, b += 4) {
          t.fifo[w] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                      std::uint32_t{b[3]} << 24;
        }
      } else {
        const std::uint8_t* low = lanes[0].data();
        const std::uint8_t* high = lanes[1].data();
        for (std::size_t w = 0; w < t.fifo.size(); ++w, low += 2, high += 2) {
          t.fifo[w] = std::uint32_t{low[0]} | std::uint32_t{high[0]} << 8 | std::uint32_t{low[1]} << 16 |
                      std::uint32_t{high[1]} << 24;
        }
      }
      Post(kStatusReadRequest | kStatusReady, Phase::kDataOut);
      return;
    }
    case kTypeReadId: {
      // The ID comes over the low byte lane whatever the bus width.
      std::uint8_t id[kIdFifoWords * 4] = {};
      std::span<std::uint8_t> wanted(id, std::min<std::uint32_t>(f.id_count, sizeof id));
      if (t.lanes[0]) {
        t.lanes[0]->ReadData(wanted);
      } else {
        std::fill(wanted.begin(), wanted.end(), kFloatingBus);
      }
      ChargeCycles(0, f.id_count, false);
      for (std::uint32_t w = 0; w < kIdFifoWords; ++w) {
        t.fifo.push_back(std::uint32_t{id[4 * w]} | std::uint32_t{id[4 * w + 1]} << 8 |
                         std::uint32_t{id[4 * w + 2]} << 16 | std::uint32_t{id[4 * w + 3]} << 24);
      }
      Post(kStatusReadRequest, Phase::kDataOut);
      return;
    }
    case kTypeProgram:
      t.expected = std::size_t{f.fifo_lane_bytes()} * f.lanes() / 4;
      Post(kStatusWriteRequest, Phase::kDataIn);
      return;
    case kTypeErase: {
      std::uint64_t busy = 0;
      t.ForDevices([&](NandDevice& d) { busy = std::max(busy, d.TakeBusyNs()); });
      ChargeArray(busy);
      if (cut) {
        powered_ = false;
        if (report_) report_("NAND: power cut during erase command " + std::to_string(t.sequence));
        return;
      }
      EndCommand(0);
      return;
    }
    default:  // reset
      t.ForDevices([](NandDevice& d) { d.TakeBusyNs(); });
      EndCommand(0);
      return;
  }
}

std::uint32_t NandController::ReadFifo() {
  if (phase_ != Phase::kDataOut || transfer_->position >= transfer_->fifo.size()) {
    ProtocolError("data FIFO read with no read data waiting; read " + Hex(kFifoGarbage));
    return kFifoGarbage;
  }
  Transfer& t = *transfer_;
  std::uint32_t word = t.fifo[t.position++];
  if (NandCommandRecord* r = Record()) ++r->fifo_words;
  if (t.position == t.fifo.size()) EndCommand(t.end_bits);
  return word;
}

void NandController::WriteFifo(std::uint32_t value) {
  if (phase_ != Phase::kDataIn) {
    ProtocolError("data FIFO written with " + Hex(value) + " while no write data is requested; dropped");
    return;
  }
  Transfer& t = *transfer_;
  t.fifo.push_back(value);
  if (NandCommandRecord* r = Record()) ++r->fifo_words;
  if (t.fifo.size() == t.expected) FinishProgram();
}

bool NandController::ReadRepeated32(std::uint32_t offset, std::uint32_t* out, std::size_t count) {
  if (offset != kRegData) return false;
  while (count > 0) {
    CheckPower();
    if (phase_ != Phase::kDataOut || transfer_->position >= transfer_->fifo.size()) {
      // Nothing (more) to give: each access is refused on its own.
      std::uint32_t word = ReadFifo();
      if (out) *out++ = word;
      --count;
      continue;
    }
    Transfer& t = *transfer_;
    std::size_t n = std::min(count, t.fifo.size() - t.position);
    if (out) {
      std::copy_n(t.fifo.begin() + static_cast<std::ptrdiff_t>(t.position), n, out);
      out += n;
    }
    t.position += n;
    count -= n;
    if (NandCommandRecord* r = Record()) r->fifo_words += static_cast<std::uint32_t>(n);
    if (t.position == t.fifo.size()) EndCommand(t.end_bits);
  }
  return true;
}

bool NandController::WriteRepeated32(std::uint32_t offset, const std::uint32_t* in, std::uint32_t fill,
                                     std::size_t count) {
  if (offset != kRegData) return false;
  while (count > 0) {
    CheckPower();
    if (phase_ != Phase::kDataIn) {
      WriteFifo(in ? *in++ : fill);
      --count;
      continue;
    }
    Transfer& t = *transfer_;
    std::size_t n = std::min(count, t.expected - t.fifo.size());
    if (in) {
      t.fifo.insert(t.fifo.end(), in, in + n);
      in += n;
    } else {
      t.fifo.insert(t.fifo.end(), n, fill);
    }
    count -= n;
    if (NandCommandRecord* r = Record()) r->fifo_words += static_cast<std::uint32_t>(n);
    if (t.fifo.size() == t.expected) FinishProgram();
  }
  return true;
}

void NandController::FinishProgram() {
  Transfer& t = *transfer_;
  const Framing& f = *t.framing;
  phase_ = Phase::kFinishing;  // the FIFO takes nothing more
  std::vector<std::vector<std::uint8_t>>& lanes = LaneBytes(f.lanes(), f.bus_lane_bytes());
  if (f.lanes() == 1 && std::endian::native == std::endian::little) {
    std::memcpy(lanes[0].data(), t.fifo.data(), std::min<std::size_t>(t.fifo.size() * 4, lanes[0].size()));
  } else {
    for (std::size_t i = 0; i < t.fifo.size() * 4; ++i) {
      std::uint8_t byte = static_cast<std::uint8_t>(t.fifo[i / 4] >> (8 * (i % 4)));
      lanes[i % f.lanes()][i / f.lanes()] = byte;
    }
  }
  if (f.ecc) {
    for (auto& bytes : lanes) PutEccFramed(f.page, bytes);
  }
  bool cut = TakePowerCut(NandOperation::kProgram);
  if (cut) t.ForDevices([this](NandDevice& d) { d.CutPowerDuringNextOperation(cut_tear_); });
  for (std::uint32_t lane = 0; lane < f.lanes(); ++lane) {
    if (!t.lanes[lane]) continue;
    t.lanes[lane]->WriteData(lanes[lane]);
    if (t.two_commands()) t.lanes[lane]->Command(t.byte2());
  }
  ChargeCycles(f.bus_lane_bytes() + (t.two_commands() ? 1 : 0), 0, false);
  std::uint64_t busy = 0;
  t.ForDevices([&](NandDevice& d) { busy = std::max(busy, d.TakeBusyNs()); });
  ChargeArray(busy);
  if (cut) {
    powered_ = false;
    if (report_) report_("NAND: power cut during program command " + std::to_string(t.sequence));
    return;
  }
  EndCommand(0);
}

void NandController::EndCommand(std::uint32_t extra_bits) {
  std::uint32_t bits = kStatusReady | DoneBit(transfer_->cs) | extra_bits;
  if (transfer_->command() & kCmdAutoStatus) bits |= AutoStatusBits();
  Post(bits, Phase::kIdle);
}

// The controller's own status read after the operation: 0x70, one byte per device.
std::uint32_t NandController::AutoStatusBits() {
  Transfer& t = *transfer_;
  bool any = false;
  bool failed = false;
  t.ForDevices([&](NandDevice& d) {
    std::uint8_t status = kFloatingBus;
    d.Command(kNandCmdReadStatus);
    d.ReadData({&status, 1});
    failed = failed || (status & kNandStatusFail) != 0;
    any = true;
  });
  ChargeCycles(1, 1, false);
  device_time_ps_ += (Field(timing1_, 4, 4) + 1) * kPsPerClockAtOneMhz / clock_mhz_;  // tWHR
  // Nobody on the chip select: the floating bus reads 0xFF, fail bit included.
  return (failed || !any) ? BadBlockBit(t.cs) : 0;
}

// --- power cut ---

bool NandController::TakePowerCut(NandOperation op) {
  std::uint64_t n = op == NandOperation::kProgram ? ++programs_ : ++erases_;
  const std::optional<std::uint64_t>& at = op == NandOperation::kProgram ? cut_program_at_ : cut_erase_at_;
  return (at && *at == n) || (cut_any_at_ && *cut_any_at_ == programs_ + erases_);
}

void NandController::SchedulePowerCut(std::uint32_t at, NandOperation op, const Tear& tear) {
  if (at == 0) throw std::invalid_argument("NAND power cut: operations are counted from 1");
  cut_tear_ = tear;
  switch (op) {
    case NandOperation::kProgram:
      cut_program_at_ = programs_ + at;
      break;
    case NandOperation::kErase:
      cut_erase_at_ = erases_ + at;
      break;
    case NandOperation::kAny:
      cut_any_at_ = programs_ + erases_ + at;
      break;
  }
}

// --- faults and counters by block ---

void NandController::MarkBad(const NandBlockRef& block, bool factory_mark) {
  DeviceOf(block).MarkBad(block.block, factory_mark);
}

void NandController::FailProgram(const NandBlockRef& block, std::uint32_t after) {
  DeviceOf(block).FailProgram(block.block, after);
}

void NandController::FailErase(const NandBlockRef& block, std::uint32_t after) {
  DeviceOf(block).FailErase(block.block, after);
}

void NandController::AddBitFlips(const NandBlockRef& block, std::optional<std::uint32_t> page,
                                 std::uint32_t bits_per_256, std::uint64_t seed) {
  DeviceOf(block).AddBitFlips({block.block, page, bits_per_256, seed});
}

void NandController::SetIdBytes(const std::vector<std::uint8_t>& bytes) {
  for (auto& d : devices_) d->SetIdBytes(bytes);
}

NandBlockCounters NandController::Counters(const NandBlockRef& block) const {
  return const_cast<NandController*>(this)->DeviceOf(block).Counters(block.block);
}

std::vector<NandPageProgramCount> NandController::ReprogrammedPages() const {
  std::vector<NandPageProgramCount> pages;
  for (std::uint32_t cs = 0; cs < chip().chip_selects; ++cs) {
    for (std::uint32_t lane = 0; lane < chip().lanes; ++lane) {
      for (auto [row, programs] : device(cs, lane)->ReprogrammedPages()) {
        pages.push_back({{cs, lane, row / chip().pages_per_block}, row % chip().pages_per_block, programs});
      }
    }
  }
  return pages;
}

// --- back door ---

std::uint32_t NandController::FlashPageBytes(NandView view) const {
  return chip().page_bytes * (view == NandView::kWired ? chip().lanes : 1);
}

std::uint32_t NandController::FlashBlockBytes(NandView view) const {
  return FlashPageBytes(view) * chip().pages_per_block;
}

std::vector<NandBlockRef> NandController::FlashBlockRefs(std::uint32_t flash_block) const {
  return NandFlashBlockRefs(chip(), flash_block);
}

NandController::Place NandController::Locate(std::uint64_t offset, NandView view) const {
  const NandChipType& c = chip();
  std::uint64_t device_bytes = std::uint64_t{c.page_bytes} * c.rows();
  std::uint32_t cs = 0;
  std::uint32_t lane = 0;
  std::uint64_t at = offset;
  if (view == NandView::kWired) {
    std::uint64_t per_cs = device_bytes * c.lanes;
    cs = static_cast<std::uint32_t>(offset / per_cs);
    lane = static_cast<std::uint32_t>(offset % per_cs % c.lanes);
    at = offset % per_cs / c.lanes;
  }
  if (cs >= c.chip_selects || at >= device_bytes) {
    throw std::out_of_range("NAND back door: flash offset " + std::to_string(offset) + " beyond the flash");
  }
  return {const_cast<NandController*>(this)->device(cs, lane), static_cast<std::uint32_t>(at / c.page_bytes),
          static_cast<std::uint32_t>(at % c.page_bytes)};
}

std::vector<std::uint8_t> NandController::RawReadPage(std::uint32_t chip_select, std::uint32_t lane,
                                                      std::uint32_t row) const {
  const NandDevice* d = device(chip_select, lane);
  if (!d) throw std::out_of_range("NAND back door: no device there");
  std::vector<std::uint8_t> bytes(chip().raw_page_bytes());
  d->RawRead(row, bytes);
  return bytes;
}

void NandController::RawProgramPage(std::uint32_t chip_select, std::uint32_t lane, std::uint32_t row,
                                    std::span<const std::uint8_t> bytes, std::uint32_t column) {
  DeviceOf({chip_select, lane, 0}).RawProgram(row, column, bytes);
}

void NandController::RawEraseBlock(const NandBlockRef& block) { DeviceOf(block).RawErase(block.block); }

void NandController::ReadFlash(std::uint32_t offset, std::span<std::uint8_t> out, NandView view) const {
  std::vector<std::uint8_t> page(chip().raw_page_bytes());
  const NandDevice* cached = nullptr;
  std::uint32_t cached_row = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    Place p = Locate(std::uint64_t{offset} + i, view);
    if (p.device != cached || p.row != cached_row) {
      p.device->RawRead(p.row, page);
      cached = p.device;
      cached_row = p.row;
    }
    out[i] = page[p.column];
  }
}

std::vector<std::uint8_t> NandController::ReadFlash(std::uint32_t offset, std::uint32_t bytes, NandView view) const {
  std::vector<std::uint8_t> out(bytes);
  ReadFlash(offset, out, view);
  return out;
}

void NandController::ProgramFlash(std::uint32_t offset, std::span<const std::uint8_t> data, bool ecc, NandView view) {
  std::map<std::pair<NandDevice*, std::uint32_t>, std::vector<std::uint8_t>> pages;
  // Runs of bytes share a page (a lane's page on a pair): the page is looked up when it changes.
  std::pair<NandDevice*, std::uint32_t> last{nullptr, 0};
  std::vector<std::uint8_t>* raw = nullptr;
  for (std::size_t i = 0; i < data.size(); ++i) {
    Place p = Locate(std::uint64_t{offset} + i, view);
    if (!raw || last != std::make_pair(p.device, p.row)) {
      last = {p.device, p.row};
      auto [it, fresh] = pages.try_emplace(last);
      if (fresh) it->second.assign(chip().raw_page_bytes(), kFloatingBus);
      raw = &it->second;
    }
    (*raw)[p.column] = data[i];
  }
  for (auto& [where, raw] : pages) {
    if (ecc) PutEcc(chip(), raw);
    where.first->RawProgram(where.second, 0, raw);
  }
}

void NandController::EraseFlashBlock(std::uint32_t flash_block) {
  for (const NandBlockRef& ref : FlashBlockRefs(flash_block)) RawEraseBlock(ref);
}

void NandController::PutEcc(const NandChipType& chip, std::span<std::uint8_t> raw) {
  if (raw.size() != chip.raw_page_bytes()) throw std::invalid_argument("NAND ECC: raw page size");
  PutEccFramed(chip.page_bytes, raw);
}

}  // namespace sim
