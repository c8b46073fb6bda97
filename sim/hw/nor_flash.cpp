#include "sim/hw/nor_flash.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "sim/core/text.h"

namespace sim {

namespace {

constexpr std::uint32_t kBusWordBytes = 4;

// --- query table (device word addresses) ---
constexpr std::uint32_t kQueryString = 0x10;  // "QRY"
constexpr std::uint32_t kQueryBufferSize = 0x2A;  // 2^n bytes, two bytes
constexpr std::uint32_t kQueryRegionCount = 0x2C;
constexpr std::uint32_t kQueryRegions = 0x2D;  // four bytes each: blocks - 1, block bytes / 256
constexpr std::uint16_t kQueryBufferSizeCode = 5;  // 32 bytes

constexpr std::uint16_t kHalfMask = 0xFFFF;
constexpr std::uint8_t kCommandMask = 0xFF;

std::string Hex16(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace

// --- construction and persistence ---

NorFlash::NorFlash(Clock& clock, NorFlashConfig config, HostFile image)
    : clock_(clock),
      config_(std::move(config)),
      layout_(config_.device_code, config_.size_code) {
  std::size_t block_count = Blocks().size();
  for (Lane& lane : lanes_) {
    lane.blocks.resize(block_count);
    lane.device_code = config_.device_code;
    lane.size_code = config_.size_code;
    if (config_.faults.never_ready) lane.never_ready = true;
    if (config_.faults.manufacturer >= 0) lane.manufacturer = static_cast<std::uint16_t>(config_.faults.manufacturer);
  }
  for (unsigned lane = 0; lane < kLanes; ++lane) {
    for (const NorBlockFailure& f : config_.faults.program_fail) FailProgram(f.offset, lane, kStatusProgramError, f.after);
    for (const NorBlockFailure& f : config_.faults.erase_fail) FailErase(f.offset, lane, kStatusEraseError, f.after);
    for (std::uint32_t offset : config_.faults.stays_locked) KeepLocked(offset, lane);
  }
  ImageStore::Layout layout;
  layout.bytes = BusBytes();
  layout.granule_bytes = kGranuleBytes;
  layout.resident = true;  // read a word at a time
  layout.wear_parts = kLanes;
  layout.wear_blocks = static_cast<std::uint32_t>(block_count);
  ImageStore::OpenOptions options{.identity = {{"device_code", Hex16(config_.device_code)},
                                                {"size_code", std::uint64_t{config_.size_code}}}};
  if (image.folder.valid()) {
    store_ = ImageStore::Open(std::move(image), layout, std::move(options));
  } else if (!config_.image.empty()) {
    store_ = ImageStore::Open(config_.image, layout, std::move(options));
  } else {
    store_ = ImageStore::InMemory(layout);
  }
  if (config_.faults.power_cut) cut_ = config_.faults.power_cut;
}

NorFlash::~NorFlash() = default;

void NorFlash::SchedulePowerCut(std::uint32_t at, NorFlashFaults::PowerCutAt::Op op, const Tear& tear) {
  if (at == 0) throw std::invalid_argument("NOR power cut: operations are counted from 1");
  using Op = NorFlashFaults::PowerCutAt::Op;
  const std::uint64_t done = op == Op::kProgram ? programs_ : op == Op::kErase ? erases_
                             : op == Op::kAny   ? programs_ + erases_
                                                : bus_writes_;
  cut_ = NorFlashFaults::PowerCutAt{static_cast<std::uint32_t>(done + at), op, tear};
}

void NorFlash::CheckPowered() const {
  if (!powered_) throw PowerCut("NOR flash: the module lost power (a scheduled power cut); restart the module");
}

void NorFlash::NoteOperation(std::uint32_t offset, std::uint32_t bytes) {
  // The first device to start the operation sees the cells before either changed them.
  if (cut_this_write_ && !cut_range_) cut_range_ = CutRange{offset, Peek(offset, bytes)};
}

// --- geometry ---

NorFlash::Block NorFlash::BlockAt(std::uint32_t offset) const { return layout_.BlockAt(offset); }

std::vector<NorFlash::Block> NorFlash::Blocks() const {
  std::vector<Block> blocks;
  for (std::size_t i = 0; i < layout_.BlockCount(); ++i) blocks.push_back(layout_.BlockNumber(i));
  return blocks;
}

// --- the array ---

std::uint16_t NorFlash::ArrayHalf(unsigned lane, std::uint32_t offset) const {
  std::uint8_t half[2];
  store_->Read(offset + 2 * lane, half);
  return static_cast<std::uint16_t>(half[0] | half[1] << 8);
}

void NorFlash::ProgramHalf(unsigned lane, std::uint32_t offset, std::uint16_t data) {
  std::uint16_t now = ArrayHalf(lane, offset);
  std::uint16_t programmed = now & data;  // programming only clears bits
  if (programmed == now) return;
  const std::uint8_t half[2] = {static_cast<std::uint8_t>(programmed), static_cast<std::uint8_t>(programmed >> 8)};
  store_->Write(offset + 2 * lane, half);
}

// Each device erases its own half of every word of the block; granules without data read erased.
void NorFlash::EraseHalves(unsigned lane, Block block) {
  std::vector<std::uint8_t> granule(kGranuleBytes);
  for (std::uint32_t g = block.offset; g < block.offset + block.bytes; g += kGranuleBytes) {
    if (!store_->IsMaterialised(g / kGranuleBytes)) continue;
    store_->Read(g, granule);
    for (std::uint32_t at = 2 * lane; at < kGranuleBytes; at += kBusWordBytes) {
      granule[at] = ImageStore::kErased;
      granule[at + 1] = ImageStore::kErased;
    }
    store_->Write(g, granule);
  }
}

std::vector<std::uint8_t> NorFlash::Peek(std::uint32_t offset, std::uint32_t bytes) const {
  std::vector<std::uint8_t> out(bytes);
  store_->Read(offset, out);
  return out;
}

std::uint32_t NorFlash::PeekWord(std::uint32_t offset) const {
  return ArrayHalf(0, offset) | static_cast<std::uint32_t>(ArrayHalf(1, offset)) << 16;
}

void NorFlash::Poke(std::uint32_t offset, std::span<const std::uint8_t> bytes) {
  if (offset > BusBytes() || bytes.size() > BusBytes() - offset) {
    throw std::out_of_range("NOR flash: poke beyond the flash at " + Hex(offset));
  }
  store_->Write(offset, bytes);
}

// --- observation and faults ---

bool NorFlash::IsLocked(std::uint32_t offset, unsigned lane) const { return lanes_[lane].blocks[BlockIndex(offset)].locked; }

std::uint32_t NorFlash::EraseCount(std::uint32_t offset, unsigned lane) const {
  return lanes_[lane].blocks[BlockIndex(offset)].erases;
}

void NorFlash::StartLog() {
  log_.clear();
  logging_ = true;
}

void NorFlash::FailProgram(std::uint32_t offset, unsigned lane, std::uint8_t status_bits, std::uint32_t after) {
  BlockState& block = lanes_.at(lane).blocks.at(BlockIndex(offset));
  block.program_fault = {status_bits, block.programs + after};
}

void NorFlash::FailErase(std::uint32_t offset, unsigned lane, std::uint8_t status_bits, std::uint32_t after) {
  BlockState& block = lanes_.at(lane).blocks.at(BlockIndex(offset));
  block.erase_fault = {status_bits, block.erases + after};
}

void NorFlash::KeepLocked(std::uint32_t offset, unsigned lane) {
  lanes_.at(lane).blocks.at(BlockIndex(offset)).keep_locked = true;
}

bool NorFlash::Busy(const Lane& lane) const { return lane.hung || clock_.NowNs() < lane.busy_until_ns; }

std::uint8_t NorFlash::StatusOf(unsigned lane) const {
  const Lane& l = lanes_[lane];
  return static_cast<std::uint8_t>((Busy(l) ? 0 : kStatusReady) | l.errors);
}

// --- reads ---

std::uint16_t NorFlash::QueryAt(const Lane& lane, std::uint32_t address) const {
  static constexpr char kQry[] = "QRY";
  if (address >= kQueryString && address < kQueryString + 3) return static_cast<std::uint16_t>(kQry[address - kQueryString]);
  if (address == kQuerySizeCode) return lane.size_code;
  if (address == kQueryBufferSize) return kQueryBufferSizeCode;
  // Erase-block regions: the parameter blocks first where the part has them, then the main blocks.
  const std::uint32_t device_bytes = layout_.device_bytes();
  constexpr std::uint32_t kBlockBytes = NorLayout::kDeviceBlockBytes;
  constexpr std::uint32_t kParameterBytes = NorLayout::kDeviceParameterBlockBytes;
  constexpr std::uint32_t kParameterArea = NorLayout::kDeviceParameterAreaBytes;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> regions;  // (blocks, bytes)
  if (layout_.parameter_blocks()) {
    regions.push_back({kParameterArea / kParameterBytes, kParameterBytes});
    if (device_bytes > kParameterArea) regions.push_back({(device_bytes - kParameterArea) / kBlockBytes, kBlockBytes});
  } else {
    regions.push_back({device_bytes / kBlockBytes, kBlockBytes});
  }
  if (address == kQueryRegionCount) return static_cast<std::uint16_t>(regions.size());
  if (address >= kQueryRegions && address < kQueryRegions + 4 * regions.size()) {
    auto [count, bytes] = regions[(address - kQueryRegions) / 4];
    std::uint32_t field = (address - kQueryRegions) % 4 < 2 ? count - 1 : bytes / 256;
    return static_cast<std::uint16_t>((address - kQueryRegions) % 2 == 0 ? field & 0xFF : field >> 8 & 0xFF);
  }
  return 0;
}

std::uint16_t NorFlash::LaneRead(unsigned lane, std::uint32_t offset) const {
  const Lane& l = lanes_[lane];
  switch (l.mode) {
    case Mode::kReadArray:
      return ArrayHalf(lane, offset);
    case Mode::kReadStatus:
      return StatusOf(lane);
    case Mode::kReadIdentifier: {
      Block block = BlockAt(offset);
      std::uint32_t word = (offset - block.offset) / kBusWordBytes;
      if (word == kIdManufacturer) return l.manufacturer;
      if (word == kIdDeviceCode) return l.device_code;
      if (word == kIdLockStatus) return l.blocks[BlockIndex(offset)].locked ? kLockBit : 0;
      return 0;
    }
    case Mode::kQuery:
      return QueryAt(l, offset / kBusWordBytes);
  }
  return 0;
}

std::uint32_t NorFlash::Read32(std::uint32_t offset) {
  CheckPowered();
  return LaneRead(0, offset) | static_cast<std::uint32_t>(LaneRead(1, offset)) << 16;
}

void NorFlash::ReadBlock(std::uint32_t offset, std::span<std::uint8_t> out) {
  CheckPowered();
  if (lanes_[0].mode != Mode::kReadArray || lanes_[1].mode != Mode::kReadArray) {
    BusDevice::ReadBlock(offset, out);
    return;
  }
  // Both devices show their arrays: the copy comes straight from the store, a pass per granule.
  store_->Read(offset, out);
}

// --- writes: one state machine per device ---

void NorFlash::Write32(std::uint32_t offset, std::uint32_t value) {
  CheckPowered();
  using Op = NorFlashFaults::PowerCutAt::Op;
  ++bus_writes_;
  // Would an operation this write starts be the cut one? Both devices start theirs on the same write.
  const bool write_cut = cut_ && cut_->op == Op::kWrite && bus_writes_ == cut_->at;
  const bool program_cut = cut_ && ((cut_->op == Op::kProgram && programs_ + 1 == cut_->at) ||
                                    (cut_->op == Op::kAny && programs_ + erases_ + 1 == cut_->at));
  const bool erase_cut = cut_ && ((cut_->op == Op::kErase && erases_ + 1 == cut_->at) ||
                                  (cut_->op == Op::kAny && programs_ + erases_ + 1 == cut_->at));
  started_program_ = started_erase_ = false;
  cut_range_.reset();
  cut_this_write_ = write_cut || program_cut || erase_cut;

  NorLogEntry entry{offset, value, {}};
  for (unsigned lane = 0; lane < kLanes; ++lane) {
    entry.cycle[lane] = LaneWrite(lane, offset, static_cast<std::uint16_t>(value >> (16 * lane) & kHalfMask));
  }
  if (logging_) log_.push_back(entry);

  if (started_program_) ++programs_;
  if (started_erase_) ++erases_;
  const bool cut = write_cut || (started_program_ && program_cut) || (started_erase_ && erase_cut);
  if (cut && cut_range_) {
    // The cells move only part of the way from what they were to what the operation would make.
    std::vector<std::uint8_t> torn = cut_range_->before;
    const std::vector<std::uint8_t> target = Peek(cut_range_->offset, static_cast<std::uint32_t>(torn.size()));
    TearCells(torn, target, cut_->tear, cut_range_->offset);
    Poke(cut_range_->offset, torn);
  }
  cut_this_write_ = false;
  cut_range_.reset();
  if (cut) powered_ = false;
}

NorCycle NorFlash::SequenceError(Lane& lane) {
  lane.errors |= kStatusSequenceError;
  lane.pending = Pending::kNone;
  lane.mode = Mode::kReadStatus;
  lane.buffer.clear();
  return NorCycle::kSequenceError;
}

NorCycle NorFlash::LaneWrite(unsigned lane, std::uint32_t offset, std::uint16_t data) {
  Lane& l = lanes_[lane];
  std::uint8_t command = static_cast<std::uint8_t>(data & kCommandMask);
  if (Busy(l)) {
    if (command != kCmdReadStatus) return NorCycle::kIgnored;
    l.mode = Mode::kReadStatus;
    return NorCycle::kCommand;
  }
  switch (l.pending) {
    case Pending::kNone:
      return LaneCommand(lane, offset, command);

    case Pending::kLockSetup: {
      l.pending = Pending::kNone;
      BlockState& block = l.blocks[BlockIndex(offset)];
      if (command == kCmdConfirm) {
        if (!block.keep_locked) block.locked = false;
      } else if (command == kCmdLockSet) {
        block.locked = true;
      } else {
        return SequenceError(l);
      }
      return NorCycle::kConfirm;
    }

    case Pending::kEraseSetup:
      l.pending = Pending::kNone;
      if (command != kCmdConfirm) return SequenceError(l);
      StartErase(lane, offset);
      return NorCycle::kConfirm;

    case Pending::kProgramSetup:
      l.pending = Pending::kNone;
      StartWordProgram(lane, offset, data);
      return NorCycle::kProgramData;

    case Pending::kBufferCount:
      if (data >= kBufferWords || BlockAt(offset).offset != l.buffer_block) return SequenceError(l);
      l.buffer_count = data + 1u;
      l.buffer.clear();
      l.pending = Pending::kBufferData;
      return NorCycle::kBufferCount;

    case Pending::kBufferData:
      if (l.buffer.empty()) l.buffer_line = offset & ~(kBusLineBytes - 1);
      // Every word of one load lies in the line of the first, inside the block named at the start.
      if ((offset & ~(kBusLineBytes - 1)) != l.buffer_line || BlockAt(offset).offset != l.buffer_block) {
        return SequenceError(l);
      }
      l.buffer.push_back({offset, data});
      if (l.buffer.size() == l.buffer_count) l.pending = Pending::kBufferConfirm;
      return NorCycle::kBufferData;

    case Pending::kBufferConfirm:
      l.pending = Pending::kNone;
      if (command != kCmdConfirm || BlockAt(offset).offset != l.buffer_block) return SequenceError(l);
      StartBufferProgram(lane);
      return NorCycle::kConfirm;
  }
  return NorCycle::kIgnored;
}

NorCycle NorFlash::LaneCommand(unsigned lane, std::uint32_t offset, std::uint8_t command) {
  Lane& l = lanes_[lane];
  switch (command) {
    case kCmdReadArray:
      l.mode = Mode::kReadArray;
      break;
    case kCmdReadIdentifier:
      l.mode = Mode::kReadIdentifier;
      break;
    case kCmdQuery:
      l.mode = Mode::kQuery;
      break;
    case kCmdReadStatus:
      l.mode = Mode::kReadStatus;
      break;
    case kCmdClearStatus:
      l.errors = 0;
      break;
    case kCmdLockSetup:
      l.pending = Pending::kLockSetup;
      l.mode = Mode::kReadStatus;
      break;
    case kCmdEraseSetup:
      l.pending = Pending::kEraseSetup;
      l.mode = Mode::kReadStatus;
      break;
    case kCmdProgramSetup:
    case kCmdProgramSetupAlt:
      l.pending = Pending::kProgramSetup;
      l.mode = Mode::kReadStatus;
      break;
    case kCmdWriteToBuffer:
      l.mode = Mode::kReadStatus;
      // A device that never gets ready never offers its buffer either.
      if (l.never_ready) {
        l.hung = true;
        break;
      }
      l.pending = Pending::kBufferCount;
      l.buffer_block = BlockAt(offset).offset;
      l.buffer.clear();
      break;
    default:
      // Anything else (a resume with nothing suspended included) leaves the device reading its array.
      l.mode = Mode::kReadArray;
      return NorCycle::kIgnored;
  }
  return NorCycle::kCommand;
}

// A locked block refuses the operation with its error at once; past that the device has started it
// and it counts toward the block's wear. A device that never becomes ready stays busy; an injected
// fault lets the operation run its time and then reports the fault.
bool NorFlash::BeginArrayOperation(unsigned lane, std::size_t block_index, bool erase, std::uint64_t busy_ns,
                                   std::uint64_t done) {
  Lane& l = lanes_[lane];
  const BlockState& block = l.blocks[block_index];
  const std::uint8_t error = erase ? kStatusEraseError : kStatusProgramError;
  if (block.locked) {
    l.errors |= kStatusLockedError | error;
    return false;
  }
  if (erase) {
    store_->CountErase(lane, static_cast<std::uint32_t>(block_index));
  } else {
    store_->CountProgram(lane, static_cast<std::uint32_t>(block_index));
  }
  if (l.never_ready) {
    l.hung = true;
    return false;
  }
  l.busy_until_ns = clock_.NowNs() + busy_ns;
  const Failure& fault = erase ? block.erase_fault : block.program_fault;
  if (fault.status && done >= fault.from) {
    l.errors |= fault.status;
    return false;
  }
  return true;
}

void NorFlash::StartWordProgram(unsigned lane, std::uint32_t offset, std::uint16_t data) {
  Lane& l = lanes_[lane];
  BlockState& block = l.blocks[BlockIndex(offset)];
  ++l.program_operations;
  started_program_ = true;
  std::uint64_t done = block.programs++;
  if (!BeginArrayOperation(lane, BlockIndex(offset), false, kWordProgramNs, done)) return;
  NoteOperation(offset & ~(kBusWordBytes - 1), kBusWordBytes);
  ProgramHalf(lane, offset, data);
}

void NorFlash::StartBufferProgram(unsigned lane) {
  Lane& l = lanes_[lane];
  BlockState& block = l.blocks[BlockIndex(l.buffer_block)];
  ++l.program_operations;
  started_program_ = true;
  std::uint64_t done = block.programs++;
  std::vector<std::pair<std::uint32_t, std::uint16_t>> words;
  words.swap(l.buffer);
  if (!BeginArrayOperation(lane, BlockIndex(l.buffer_block), false, kBufferProgramNs, done)) return;
  NoteOperation(l.buffer_line, kBusLineBytes);
  for (auto [offset, data] : words) ProgramHalf(lane, offset, data);
}

void NorFlash::StartErase(unsigned lane, std::uint32_t offset) {
  Lane& l = lanes_[lane];
  BlockState& block = l.blocks[BlockIndex(offset)];
  std::uint64_t done = block.erases++;
  started_erase_ = true;
  if (!BeginArrayOperation(lane, BlockIndex(offset), true, kBlockEraseNs, done)) return;
  NoteOperation(BlockAt(offset).offset, BlockAt(offset).bytes);
  EraseHalves(lane, BlockAt(offset));
}

}  // namespace sim
