#include "sim/hw/nand_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <nlohmann/json.hpp>

namespace sim {

namespace {

constexpr std::uint8_t kErased = 0xFF;
constexpr const char* kLayoutName = "page then spare";
constexpr const char* kHexDigits = "0123456789abcdef";

std::string Errno() { return std::strerror(errno); }

// The materialised blocks of one region as hex digits, four blocks a digit (bit 0 = lowest block).
std::string BitmapHex(const std::vector<bool>& bits, std::size_t first, std::size_t count) {
  std::string text((count + 3) / 4, '0');
  for (std::size_t b = 0; b < count; ++b) {
    if (!bits[first + b]) continue;
    char& c = text[b / 4];
    int value = static_cast<int>(std::strchr(kHexDigits, c) - kHexDigits) | 1 << (b % 4);
    c = kHexDigits[value];
  }
  return text;
}

bool ParseBitmapHex(const std::string& text, std::vector<bool>& bits, std::size_t first, std::size_t count) {
  if (text.size() != (count + 3) / 4) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* at = std::strchr(kHexDigits, text[i]);
    if (!at || text[i] == '\0') return false;
    int value = static_cast<int>(at - kHexDigits);
    for (std::size_t k = 0; k < 4; ++k) {
      std::size_t b = i * 4 + k;
      if (value & (1 << k)) {
        if (b >= count) return false;
        bits[first + b] = true;
      }
    }
  }
  return true;
}

}  // namespace

NandImage::NandImage(Layout layout)
    : layout_(std::move(layout)), materialised_(std::size_t{layout_.blocks} * layout_.regions.size(), false) {}

std::unique_ptr<NandImage> NandImage::InMemory(Layout layout) {
  return std::unique_ptr<NandImage>(new NandImage(std::move(layout)));
}

std::filesystem::path NandImage::SidecarPath(const std::filesystem::path& image) {
  std::filesystem::path sidecar = image;
  sidecar += ".json";
  return sidecar;
}

std::unique_ptr<NandImage> NandImage::Open(const std::filesystem::path& path, Layout layout) {
  std::unique_ptr<NandImage> image(new NandImage(std::move(layout)));
  const Layout& l = image->layout_;
  image->path_ = path;
  image->created_ = false;
  std::string name = path.string();
  std::filesystem::path sidecar = SidecarPath(path);
  bool exists = std::filesystem::exists(path);

  image->fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (image->fd_ < 0) throw NandImageError("NAND image " + name + ": cannot open: " + Errno());
  struct stat info {};
  if (::fstat(image->fd_, &info) != 0) throw NandImageError("NAND image " + name + ": " + Errno());

  if (!exists) {
    // Sparse: the size is set, no byte is written.
    if (::ftruncate(image->fd_, static_cast<off_t>(l.total_bytes())) != 0) {
      std::string why = Errno();
      std::error_code ignored;
      std::filesystem::remove(path, ignored);  // leave no empty image behind to be refused next time
      throw NandImageError("NAND image " + name + ": cannot size it: " + why);
    }
    image->ready_ = true;
    image->created_ = true;
    image->WriteSidecar();
    return image;
  }
  auto check_size = [&] {
    if (static_cast<std::uint64_t>(info.st_size) != l.total_bytes()) {
      throw NandImageError("NAND image " + name + ": holds " + std::to_string(info.st_size) + " bytes, chip " +
                           l.chip + " needs " + std::to_string(l.total_bytes()));
    }
  };
  if (!std::filesystem::exists(sidecar)) {
    // A raw image from elsewhere: every byte of it counts.
    check_size();
    std::fill(image->materialised_.begin(), image->materialised_.end(), true);
    image->materialised_count_ = static_cast<std::uint32_t>(image->materialised_.size());
    image->ready_ = true;
    image->WriteSidecar();
    return image;
  }

  nlohmann::json json;
  try {
    std::ifstream in(sidecar);
    json = nlohmann::json::parse(in);
  } catch (const std::exception& e) {
    throw NandImageError("NAND image sidecar " + sidecar.string() + ": not valid JSON: " + e.what());
  }
  auto field = [&](const char* key) -> const nlohmann::json& {
    if (!json.is_object() || !json.contains(key)) {
      throw NandImageError("NAND image sidecar " + sidecar.string() + ": field '" + key + "' is missing");
    }
    return json[key];
  };
  auto expect_number = [&](const char* key, std::uint32_t want) {
    const nlohmann::json& v = field(key);
    if (!v.is_number_unsigned() || v.get<std::uint64_t>() != want) {
      throw NandImageError("NAND image sidecar " + sidecar.string() + ": field '" + key + "' is " + v.dump() +
                           ", chip " + l.chip + " has " + std::to_string(want));
    }
  };
  if (!field("chip").is_string() || field("chip").get<std::string>() != l.chip) {
    throw NandImageError("NAND image " + name + " holds chip " + field("chip").dump() + ", the description names " +
                         l.chip);
  }
  expect_number("page_bytes", l.page_bytes);
  expect_number("spare_bytes", l.spare_bytes);
  expect_number("pages_per_block", l.pages_per_block);
  expect_number("blocks_per_device", l.blocks);
  check_size();
  const nlohmann::json& bitmaps = field("materialised");
  if (!bitmaps.is_array() || bitmaps.size() != l.regions.size()) {
    throw NandImageError("NAND image sidecar " + sidecar.string() + ": field 'materialised' needs one entry per region");
  }
  for (std::size_t r = 0; r < l.regions.size(); ++r) {
    if (!bitmaps[r].is_string() ||
        !ParseBitmapHex(bitmaps[r].get<std::string>(), image->materialised_, r * l.blocks, l.blocks)) {
      throw NandImageError("NAND image sidecar " + sidecar.string() + ": field 'materialised' entry " +
                           std::to_string(r) + " is not a block bitmap of " + std::to_string(l.blocks) + " blocks");
    }
  }
  for (bool m : image->materialised_) image->materialised_count_ += m ? 1 : 0;
  image->ready_ = true;
  return image;
}

NandImage::~NandImage() {
  if (fd_ >= 0 && ready_) {
    try {
      WriteSidecar();
    } catch (const std::exception&) {
      // Nothing to be done while closing; the sidecar written at the last materialisation stands.
    }
  }
  if (fd_ >= 0) ::close(fd_);
}

void NandImage::WriteSidecar() const {
  if (!path_) return;
  nlohmann::json json;
  json["layout"] = kLayoutName;
  json["chip"] = layout_.chip;
  json["page_bytes"] = layout_.page_bytes;
  json["spare_bytes"] = layout_.spare_bytes;
  json["pages_per_block"] = layout_.pages_per_block;
  json["blocks_per_device"] = layout_.blocks;
  json["regions"] = nlohmann::json::array();
  json["materialised"] = nlohmann::json::array();
  for (std::size_t r = 0; r < layout_.regions.size(); ++r) {
    json["regions"].push_back({{"chip_select", layout_.regions[r].chip_select},
                               {"device", layout_.regions[r].device},
                               {"offset", layout_.region_bytes() * r},
                               {"bytes", layout_.region_bytes()}});
    json["materialised"].push_back(BitmapHex(materialised_, r * layout_.blocks, layout_.blocks));
  }
  std::filesystem::path sidecar = SidecarPath(*path_);
  std::filesystem::path temporary = sidecar;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << json.dump(1) << '\n';
    if (!out) throw NandImageError("NAND image sidecar " + temporary.string() + ": cannot write");
  }
  std::filesystem::rename(temporary, sidecar);
}

void NandImage::CheckAddress(std::uint32_t region, std::uint32_t row) const {
  if (region >= layout_.regions.size() || row >= layout_.blocks * layout_.pages_per_block) {
    throw std::out_of_range("NAND image: region " + std::to_string(region) + " row " + std::to_string(row) +
                            " is outside the chip");
  }
}

std::size_t NandImage::BlockIndex(std::uint32_t region, std::uint32_t block) const {
  return std::size_t{region} * layout_.blocks + block;
}

std::uint64_t NandImage::FileOffset(std::uint32_t region, std::uint32_t row) const {
  return layout_.region_bytes() * region + std::uint64_t{row} * layout_.raw_page_bytes();
}

bool NandImage::IsMaterialised(std::uint32_t region, std::uint32_t block) const {
  CheckAddress(region, block * layout_.pages_per_block);
  return materialised_[BlockIndex(region, block)];
}

std::uint32_t NandImage::MaterialisedBlocks() const { return materialised_count_; }

void NandImage::PreadExact(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n <= 0) throw std::runtime_error("NAND image " + path_->string() + ": read failed: " + Errno());
    done += static_cast<std::size_t>(n);
  }
}

void NandImage::PwriteExact(std::uint64_t offset, std::span<const std::uint8_t> bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n <= 0) throw std::runtime_error("NAND image " + path_->string() + ": write failed: " + Errno());
    done += static_cast<std::size_t>(n);
  }
}

void NandImage::Materialise(std::uint32_t region, std::uint32_t block) {
  std::size_t index = BlockIndex(region, block);
  if (materialised_[index]) return;
  std::vector<std::uint8_t> erased(layout_.block_bytes(), kErased);
  if (fd_ >= 0) {
    // The block's bytes go to the file before the sidecar counts them, so an interrupted host never
    // leaves a counted block that reads as the file's zero-filled hole.
    PwriteExact(FileOffset(region, block * layout_.pages_per_block), erased);
  } else {
    memory_[index] = std::move(erased);
  }
  materialised_[index] = true;
  ++materialised_count_;
  WriteSidecar();
}

void NandImage::ReadPage(std::uint32_t region, std::uint32_t row, std::span<std::uint8_t> out) const {
  CheckAddress(region, row);
  if (out.size() != layout_.raw_page_bytes()) throw std::invalid_argument("NAND image: page buffer size");
  std::uint32_t block = row / layout_.pages_per_block;
  std::size_t index = BlockIndex(region, block);
  if (!materialised_[index]) {
    std::fill(out.begin(), out.end(), kErased);
  } else if (fd_ >= 0) {
    PreadExact(FileOffset(region, row), out);
  } else {
    const std::vector<std::uint8_t>& bytes = memory_.at(index);
    std::size_t at = std::size_t{row % layout_.pages_per_block} * layout_.raw_page_bytes();
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
  }
}

void NandImage::WritePage(std::uint32_t region, std::uint32_t row, std::span<const std::uint8_t> bytes) {
  CheckAddress(region, row);
  if (bytes.size() != layout_.raw_page_bytes()) throw std::invalid_argument("NAND image: page buffer size");
  std::uint32_t block = row / layout_.pages_per_block;
  Materialise(region, block);
  if (fd_ >= 0) {
    PwriteExact(FileOffset(region, row), bytes);
  } else {
    std::vector<std::uint8_t>& stored = memory_.at(BlockIndex(region, block));
    std::size_t at = std::size_t{row % layout_.pages_per_block} * layout_.raw_page_bytes();
    std::copy(bytes.begin(), bytes.end(), stored.begin() + static_cast<std::ptrdiff_t>(at));
  }
}

void NandImage::EraseBlock(std::uint32_t region, std::uint32_t block, std::optional<std::uint32_t> pages) {
  CheckAddress(region, block * layout_.pages_per_block);
  std::size_t index = BlockIndex(region, block);
  if (!materialised_[index]) return;  // reads as erased already
  std::uint32_t count = std::min(pages.value_or(layout_.pages_per_block), layout_.pages_per_block);
  std::vector<std::uint8_t> erased(std::size_t{count} * layout_.raw_page_bytes(), kErased);
  if (fd_ >= 0) {
    PwriteExact(FileOffset(region, block * layout_.pages_per_block), erased);
  } else {
    std::copy(erased.begin(), erased.end(), memory_.at(index).begin());
  }
}

}  // namespace sim
