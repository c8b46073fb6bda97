#include "sim/hw/nand_chip.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "sim/core/text.h"

namespace sim {

namespace {

constexpr std::uint8_t kErased = 0xFF;
constexpr std::uint8_t kBadMark = 0x00;
constexpr std::uint8_t kUndrivenBus = 0xFF;  // what read cycles see while the device drives nothing
constexpr std::uint8_t kIdPastEnd = 0x00;    // ID bytes beyond the device's own
constexpr std::uint64_t kResetNs = 5000;
constexpr std::uint32_t kSmallSecondHalf = 256;
constexpr std::uint32_t kChunkBytes = 256;
constexpr std::uint32_t kBadMarkPages = 2;

std::string Hex8(std::uint8_t value) { return Hex(value).substr(8); }

}  // namespace

NandDevice::NandDevice(const NandChipType& type, NandImage& image, std::uint32_t region, std::string name,
                       Hooks hooks)
    : type_(type),
      image_(image),
      region_(region),
      name_(std::move(name)),
      hooks_(std::move(hooks)),
      page_register_(type.raw_page_bytes(), kErased),
      id_(type.id_bytes, type.id_bytes + type.id_count),
      counters_(type.blocks),
      programs_since_erase_(type.rows(), 0),
      program_fail_after_(type.blocks),
      erase_fail_after_(type.blocks) {}

void NandDevice::Anomaly(const std::string& what) {
  if (hooks_.anomaly) hooks_.anomaly(name_ + ": " + what);
}

// --- command cycles ---

void NandDevice::Command(std::uint8_t command) {
  if (mode_ == Mode::kAddress) EndAddress(true);
  bool large = type_.large_page();
  switch (command) {
    case kNandCmdReset:
      mode_ = Mode::kIdle;
      pointer_ = Pointer::kFirstHalf;
      status_ = kNandStatusReady | kNandStatusNotProtected;
      busy_ns_ += kResetNs;
      return;
    case kNandCmdReadStatus:
      mode_ = Mode::kStatusOut;
      return;
    case kNandCmdReadId:
      BeginAddress(command, 1);
      return;
    case kNandCmdRead:
      pointer_ = Pointer::kFirstHalf;
      BeginAddress(command, type_.column_cycles() + type_.row_cycles);
      return;
    case kNandCmdReadSecondHalf:
    case kNandCmdReadSpareArea:
      if (large) break;
      pointer_ = command == kNandCmdReadSpareArea ? Pointer::kSpare : Pointer::kSecondHalf;
      BeginAddress(kNandCmdRead, type_.column_cycles() + type_.row_cycles);
      return;
    case kNandCmdReadConfirm:
      if (!large) break;
      if (mode_ != Mode::kArmed || setup_ != kNandCmdRead) {
        Anomaly("read confirm 0x30 without a read address");
        mode_ = Mode::kIdle;
        return;
      }
      LoadPage();
      return;
    case kNandCmdProgramSetup:
      std::fill(page_register_.begin(), page_register_.end(), kErased);
      BeginAddress(command, type_.column_cycles() + type_.row_cycles);
      return;
    case kNandCmdProgramConfirm:
      if (mode_ != Mode::kDataIn || setup_ != kNandCmdProgramSetup) {
        Anomaly("program confirm 0x10 without a program setup");
        mode_ = Mode::kIdle;
        return;
      }
      Program();
      return;
    case kNandCmdEraseSetup:
      BeginAddress(command, type_.row_cycles);
      return;
    case kNandCmdEraseConfirm:
      if (mode_ != Mode::kArmed || setup_ != kNandCmdEraseSetup) {
        Anomaly("erase confirm 0xD0 without an erase address");
        mode_ = Mode::kIdle;
        return;
      }
      Erase();
      return;
    default:
      break;
  }
  Anomaly("command " + Hex8(command) + " is not one this device accepts");
  mode_ = Mode::kIdle;
}

// --- address cycles ---

void NandDevice::BeginAddress(std::uint8_t setup, std::uint32_t cycles) {
  mode_ = Mode::kAddress;
  setup_ = setup;
  expected_cycles_ = cycles;
  address_.clear();
}

void NandDevice::Address(std::uint8_t byte) {
  if (mode_ != Mode::kAddress) {
    Anomaly("address cycle " + Hex8(byte) + " while no address is expected");
    return;
  }
  address_.push_back(byte);
  if (address_.size() == expected_cycles_) EndAddress(false);
}

std::uint32_t NandDevice::PointerBase() const {
  switch (pointer_) {
    case Pointer::kSecondHalf:
      return kSmallSecondHalf;
    case Pointer::kSpare:
      return type_.page_bytes;
    case Pointer::kFirstHalf:
      break;
  }
  return 0;
}

void NandDevice::EndAddress(bool early) {
  if (early) {
    Anomaly("address phase of command " + Hex8(setup_) + " ended after " + std::to_string(address_.size()) + " of " +
            std::to_string(expected_cycles_) + " cycles");
  }
  address_.resize(expected_cycles_, 0);
  auto byte = [&](std::size_t i) { return std::uint32_t{address_[i]}; };
  std::uint32_t column = 0;
  std::uint32_t row_at = 0;
  if (setup_ != kNandCmdEraseSetup && setup_ != kNandCmdReadId) {
    row_at = type_.column_cycles();
    column = type_.large_page() ? byte(0) | byte(1) << 8 : byte(0);
  }
  std::uint32_t row = 0;
  for (std::uint32_t i = 0; setup_ != kNandCmdReadId && i < type_.row_cycles; ++i) row |= byte(row_at + i) << (8 * i);
  if (row >= type_.rows()) {
    Anomaly("row " + Hex(row) + " beyond the device's " + std::to_string(type_.rows()) + " pages; upper bits ignored");
    row &= type_.rows() - 1;
  }
  if (!type_.large_page() && setup_ != kNandCmdEraseSetup) {
    column = PointerBase() + (pointer_ == Pointer::kSpare ? column % type_.spare_bytes : column);
  }
  if (column >= type_.raw_page_bytes()) Anomaly("column " + std::to_string(column) + " beyond the page");
  row_ = row;
  column_ = column;
  beyond_reported_ = false;

  switch (setup_) {
    case kNandCmdReadId:
      mode_ = Mode::kIdOut;
      id_position_ = 0;
      return;
    case kNandCmdRead:
      if (type_.large_page()) {
        mode_ = Mode::kArmed;  // the page is read on 0x30
      } else {
        LoadPage();  // a small page is read as soon as its address is complete
        if (pointer_ == Pointer::kSecondHalf) pointer_ = Pointer::kFirstHalf;
      }
      return;
    case kNandCmdProgramSetup:
      mode_ = Mode::kDataIn;
      if (pointer_ == Pointer::kSecondHalf) pointer_ = Pointer::kFirstHalf;
      return;
    case kNandCmdEraseSetup:
      mode_ = Mode::kArmed;
      return;
    default:
      mode_ = Mode::kIdle;
  }
}

// --- data cycles ---

void NandDevice::ReadData(std::span<std::uint8_t> out) {
  if (mode_ == Mode::kAddress) EndAddress(true);
  switch (mode_) {
    case Mode::kDataOut: {
      const std::size_t from = std::min<std::size_t>(column_, page_register_.size());
      const std::size_t inside = std::min(out.size(), page_register_.size() - from);
      std::copy_n(page_register_.begin() + static_cast<std::ptrdiff_t>(from), inside, out.begin());
      column_ += static_cast<std::uint32_t>(inside);
      if (inside < out.size()) {
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(inside), out.end(), kUndrivenBus);
        if (!beyond_reported_) Anomaly("read cycles past the end of the page and spare");
        beyond_reported_ = true;
      }
      return;
    }
    case Mode::kIdOut:
      for (std::uint8_t& b : out) b = id_position_ < id_.size() ? id_[id_position_++] : kIdPastEnd;
      return;
    case Mode::kStatusOut:
      std::fill(out.begin(), out.end(), status_);
      return;
    default:
      break;
  }
  Anomaly("read cycles while the device drives no data");
  std::fill(out.begin(), out.end(), kUndrivenBus);
}

void NandDevice::WriteData(std::span<const std::uint8_t> in) {
  if (mode_ == Mode::kAddress) EndAddress(true);
  if (mode_ != Mode::kDataIn) {
    Anomaly("data cycles while the device takes no data");
    return;
  }
  const std::size_t from = std::min<std::size_t>(column_, page_register_.size());
  const std::size_t inside = std::min(in.size(), page_register_.size() - from);
  std::copy_n(in.begin(), inside, page_register_.begin() + static_cast<std::ptrdiff_t>(from));
  column_ += static_cast<std::uint32_t>(inside);
  if (inside < in.size() && !beyond_reported_) {
    Anomaly("data cycles past the end of the page and spare");
    beyond_reported_ = true;
  }
}

std::uint64_t NandDevice::TakeBusyNs() { return std::exchange(busy_ns_, 0); }

// --- array operations ---

bool NandDevice::Fails(const std::vector<std::optional<std::uint64_t>>& rule, std::uint32_t block,
                       std::uint64_t done) const {
  return rule[block].has_value() && done >= *rule[block];
}

void NandDevice::LoadPage() {
  image_.ReadPage(region_, row_, page_register_);
  std::uint32_t block = row_ / type_.pages_per_block;
  std::uint32_t page = row_ % type_.pages_per_block;
  for (const NandBitFlipRule& rule : bit_flips_) {
    if (rule.block != block || (rule.page && *rule.page != page)) continue;
    for (std::uint32_t chunk = 0; chunk < type_.page_bytes / kChunkBytes; ++chunk) {
      std::uint64_t state = rule.seed ^ (std::uint64_t{row_} << 20) ^ chunk;
      std::vector<std::uint32_t> bits;
      while (bits.size() < std::min(rule.bits_per_256, kChunkBytes * 8)) {
        std::uint32_t bit = static_cast<std::uint32_t>(SplitMix(state) % (kChunkBytes * 8));
        if (std::find(bits.begin(), bits.end(), bit) != bits.end()) continue;
        bits.push_back(bit);
        page_register_[chunk * kChunkBytes + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      }
    }
  }
  ++counters_[block].reads;
  busy_ns_ += type_.read_ns;
  mode_ = Mode::kDataOut;
}

void NandDevice::Program() {
  std::uint32_t block = row_ / type_.pages_per_block;
  std::uint64_t done = counters_[block].programs++;
  image_.CountProgram(region_, block);
  busy_ns_ += type_.program_ns;
  mode_ = Mode::kIdle;
  if (Fails(program_fail_after_, block, done)) {
    status_ = kNandStatusReady | kNandStatusNotProtected | kNandStatusFail;
    return;
  }
  std::vector<std::uint8_t> cells(type_.raw_page_bytes());
  image_.ReadPage(region_, row_, cells);
  if (cut_) {
    std::vector<std::uint8_t> target(cells);
    for (std::size_t i = 0; i < target.size(); ++i) target[i] &= page_register_[i];
    TearCells(cells, target, *std::exchange(cut_, std::nullopt), std::uint64_t{region_} << 32 | row_);
  } else {
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] &= page_register_[i];
  }
  image_.WritePage(region_, row_, cells);
  std::uint8_t& count = programs_since_erase_[row_];
  if (count < 0xFF) ++count;
  if (count == type_.partial_programs + 1) {
    if (hooks_.report) {
      hooks_.report("NAND " + name_ + ": page " + std::to_string(row_ % type_.pages_per_block) + " of block " +
                    std::to_string(block) + " programmed " + std::to_string(count) +
                    " times since its erase; the device is rated for " + std::to_string(type_.partial_programs));
    }
  }
  status_ = kNandStatusReady | kNandStatusNotProtected;
}

void NandDevice::Erase() {
  std::uint32_t block = row_ / type_.pages_per_block;
  std::uint64_t done = counters_[block].erases++;
  image_.CountErase(region_, block);
  busy_ns_ += type_.erase_ns;
  mode_ = Mode::kIdle;
  if (Fails(erase_fail_after_, block, done)) {
    status_ = kNandStatusReady | kNandStatusNotProtected | kNandStatusFail;
    return;
  }
  std::uint32_t pages = type_.pages_per_block;
  if (!cut_) {
    image_.EraseBlock(region_, block);
  } else if (cut_->shape == TearShape::kHalf) {
    pages /= 2;
    image_.EraseBlock(region_, block, pages);
  } else {
    // Every page of the block torn toward erased, each with its own pattern.
    std::vector<std::uint8_t> cells(type_.raw_page_bytes());
    const std::vector<std::uint8_t> erased(cells.size(), kErased);
    for (std::uint32_t page = 0; page < type_.pages_per_block; ++page) {
      std::uint32_t row = block * type_.pages_per_block + page;
      image_.ReadPage(region_, row, cells);
      TearCells(cells, erased, *cut_, std::uint64_t{region_} << 32 | row);
      image_.WritePage(region_, row, cells);
    }
  }
  cut_.reset();
  std::fill_n(programs_since_erase_.begin() + static_cast<std::ptrdiff_t>(block * type_.pages_per_block), pages, 0);
  status_ = kNandStatusReady | kNandStatusNotProtected;
}

// --- faults ---

void NandDevice::MarkBad(std::uint32_t block, bool mark) {
  Counters(block);  // range check
  program_fail_after_[block] = 0;
  erase_fail_after_[block] = 0;
  if (!mark) return;
  std::uint8_t bad = kBadMark;
  for (std::uint32_t page = 0; page < kBadMarkPages; ++page) {
    RawProgram(block * type_.pages_per_block + page, type_.page_bytes + type_.bad_mark_offset, {&bad, 1});
  }
}

void NandDevice::FailProgram(std::uint32_t block, std::uint32_t after) {
  program_fail_after_[block] = Counters(block).programs + after;
}

void NandDevice::FailErase(std::uint32_t block, std::uint32_t after) {
  erase_fail_after_[block] = Counters(block).erases + after;
}

void NandDevice::AddBitFlips(const NandBitFlipRule& rule) {
  Counters(rule.block);
  if (rule.page && *rule.page >= type_.pages_per_block) throw std::out_of_range("NAND bit flips: page out of range");
  bit_flips_.push_back(rule);
}

void NandDevice::SetIdBytes(std::vector<std::uint8_t> bytes) { id_ = std::move(bytes); }

// --- counters ---

const NandBlockCounters& NandDevice::Counters(std::uint32_t block) const {
  if (block >= type_.blocks) {
    throw std::out_of_range("NAND " + name_ + ": block " + std::to_string(block) + " beyond the device's " +
                            std::to_string(type_.blocks));
  }
  return counters_[block];
}

std::uint32_t NandDevice::ProgramsSinceErase(std::uint32_t row) const { return programs_since_erase_.at(row); }

std::vector<std::pair<std::uint32_t, std::uint32_t>> NandDevice::ReprogrammedPages() const {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pages;
  for (std::uint32_t row = 0; row < programs_since_erase_.size(); ++row) {
    if (programs_since_erase_[row] > 1) pages.emplace_back(row, programs_since_erase_[row]);
  }
  return pages;
}

// --- back door ---

void NandDevice::RawRead(std::uint32_t row, std::span<std::uint8_t> out) const { image_.ReadPage(region_, row, out); }

void NandDevice::RawProgram(std::uint32_t row, std::uint32_t column, std::span<const std::uint8_t> bytes) {
  if (std::uint64_t{column} + bytes.size() > type_.raw_page_bytes()) {
    throw std::out_of_range("NAND " + name_ + ": raw program past the end of the page");
  }
  std::vector<std::uint8_t> cells(type_.raw_page_bytes());
  image_.ReadPage(region_, row, cells);
  for (std::size_t i = 0; i < bytes.size(); ++i) cells[column + i] &= bytes[i];
  image_.WritePage(region_, row, cells);
}

void NandDevice::RawErase(std::uint32_t block) {
  Counters(block);
  image_.EraseBlock(region_, block);
  std::fill_n(programs_since_erase_.begin() + static_cast<std::ptrdiff_t>(block * type_.pages_per_block),
              type_.pages_per_block, 0);
}

}  // namespace sim
