#include "sim/core/image_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "sim/core/text.h"

namespace sim {

// Image offsets go to pread and pwrite whole, also on 32-bit hosts (the build sets _FILE_OFFSET_BITS).
static_assert(sizeof(off_t) == 8, "image files need a 64-bit off_t");

namespace {

constexpr const char* kHexDigits = "0123456789abcdef";
constexpr std::string_view kSidecarSuffix = ".json";

std::string Errno() { return std::strerror(errno); }

std::string HexOffset(std::uint64_t offset) {
  return offset <= 0xFFFFFFFFu ? Hex(static_cast<std::uint32_t>(offset)) : std::to_string(offset);
}

// The granules of one region as hex digits, four granules a digit (bit 0 = lowest granule).
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
    const char* at = text[i] == '\0' ? nullptr : std::strchr(kHexDigits, text[i]);
    if (!at) return false;
    int value = static_cast<int>(at - kHexDigits);
    for (std::size_t k = 0; k < 4; ++k) {
      if (!(value & (1 << k))) continue;
      if (i * 4 + k >= count) return false;
      bits[first + i * 4 + k] = true;
    }
  }
  return true;
}

// A sidecar number: a JSON integer or a string such as "0x13C0000", which starts with a digit
// (std::stoull alone takes blanks and a sign first, and "-18446744073709551596" as 20).
bool SidecarNumber(const nlohmann::json& v, std::uint64_t& out) {
  if (v.is_number_unsigned()) {
    out = v.get<std::uint64_t>();
    return true;
  }
  if (!v.is_string()) return false;
  const std::string text = v.get<std::string>();
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  std::size_t used = 0;
  try {
    out = std::stoull(text, &used, 0);
  } catch (const std::exception&) {
    return false;
  }
  return used == text.size();
}

std::string ValueText(const ImageStore::Key& key) {
  if (const auto* text = std::get_if<std::string>(&key.value)) return *text;
  return std::to_string(std::get<std::uint64_t>(key.value));
}

// A sidecar value for a message: arrays and objects by their brackets alone, as they may nest deeper
// than writing them out could go.
std::string ValueText(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_array()) return "[...]";
  if (v.is_object()) return "{...}";
  return v.dump();
}

// Whether the sidecar's value is the key's: numbers compare as numbers however they are written.
bool Matches(const nlohmann::json& v, const ImageStore::Key& key) {
  std::uint64_t have = 0;
  if (const auto* want = std::get_if<std::uint64_t>(&key.value)) {
    return SidecarNumber(v, have) && have == *want;
  }
  const std::string& want = std::get<std::string>(key.value);
  if (v.is_string() && v.get<std::string>() == want) return true;
  std::uint64_t want_number = 0;
  return SidecarNumber(v, have) && SidecarNumber(want, want_number) && have == want_number;
}

nlohmann::ordered_json ToJson(const ImageStore::Key& key) {
  if (const auto* text = std::get_if<std::string>(&key.value)) return *text;
  return std::get<std::uint64_t>(key.value);
}

}  // namespace

ImageStore::ImageStore(Layout layout) : layout_(std::move(layout)) {
  const std::uint64_t regions = RegionCount();
  if (layout_.granule_bytes == 0 || layout_.bytes == 0 || layout_.bytes % regions != 0 ||
      layout_.bytes / regions % layout_.granule_bytes != 0) {
    throw std::invalid_argument("image store: " + std::to_string(layout_.bytes) + " bytes in " +
                                std::to_string(regions) + " regions do not divide into granules of " +
                                std::to_string(layout_.granule_bytes));
  }
  materialised_.assign(layout_.bytes / layout_.granule_bytes, false);
  memory_.resize(materialised_.size());
  wear_.resize(std::size_t{layout_.wear_parts} * layout_.wear_blocks);
}

void ImageStore::WearOutOfRange(std::uint32_t part, std::uint32_t block) const {
  throw std::out_of_range("image store: wear of block " + std::to_string(block) + " of part " +
                          std::to_string(part) + " outside the " + std::to_string(layout_.wear_parts) +
                          " parts of " + std::to_string(layout_.wear_blocks) + " blocks");
}

std::unique_ptr<ImageStore> ImageStore::InMemory(Layout layout) {
  return std::unique_ptr<ImageStore>(new ImageStore(std::move(layout)));
}

std::filesystem::path ImageStore::SidecarPath(const std::filesystem::path& image) {
  std::filesystem::path sidecar = image;
  sidecar += ".json";
  return sidecar;
}

void ImageStore::Fail(const std::string& what) const { throw ImageError("", what); }

std::unique_ptr<ImageStore> ImageStore::Open(const std::filesystem::path& path, Layout layout,
                                             OpenOptions options) {
  HostFile file;
  if (HostError error = OpenUserFile(path, file); error != HostError::kNone) {
    throw ImageError("", "cannot open the image " + path.string() + ": its folder " + Describe(error));
  }
  return Open(std::move(file), std::move(layout), std::move(options));
}

std::unique_ptr<ImageStore> ImageStore::Open(HostFile file, Layout layout, OpenOptions options) {
  std::unique_ptr<ImageStore> store(new ImageStore(std::move(layout)));
  store->path_ = file.shown;
  store->file_ = std::move(file);
  store->identity_ = std::move(options.identity);
  store->created_ = false;
  const std::string name = store->path_.string();
  const std::string sidecar = SidecarPath(store->path_).string();

  HostEntry image = store->file_.Open(O_RDWR | O_CREAT, 0644);
  if (!image) {
    store->Fail("cannot open the image " + name + ": it " +
                (image.errno_value != 0 && image.error == HostError::kOther ? std::strerror(image.errno_value)
                                                                             : Describe(image.error)));
  }
  store->fd_ = image.fd.Release();
  if (image.created) {
    // Sparse: the size is set, no byte is written.
    if (::ftruncate(store->fd_, static_cast<off_t>(store->layout_.bytes)) != 0) {
      std::string why = Errno();
      store->file_.Remove();  // leave no empty image behind to be refused next time
      store->Fail("cannot create the image " + name + ": " + why);
    }
    store->created_ = true;
    store->ready_ = true;
    store->WriteSidecar();
    return store;
  }

  const struct stat& info = image.st;
  auto check_size = [&] {
    if (static_cast<std::uint64_t>(info.st_size) != store->layout_.bytes) {
      store->Fail("the image " + name + " holds " + std::to_string(info.st_size) + " bytes, not the " +
                  std::to_string(store->layout_.bytes) + " this flash needs");
    }
  };
  struct stat sidecar_info {};
  const HostError sidecar_there = store->file_.Stat(sidecar_info, kSidecarSuffix);
  if (sidecar_there == HostError::kNone) {
    store->LoadSidecar(store->identity_);
    check_size();
  } else if (sidecar_there != HostError::kNotFound) {
    store->Fail("the sidecar " + sidecar + " " + Describe(sidecar_there));
  } else if (options.accept_raw_image) {
    // A raw image from elsewhere: every byte of it counts.
    check_size();
    std::fill(store->materialised_.begin(), store->materialised_.end(), true);
    store->materialised_count_ = store->materialised_.size();
  } else {
    std::string keys;
    for (const Key& key : store->identity_) keys += key.name + ", ";
    store->Fail("the image " + name + " has no sidecar " + sidecar + " (" + keys +
                "the granules that hold data); remove the image to start afresh");
  }
  if (store->layout_.resident) {
    for (std::uint64_t g = 0; g < store->materialised_.size(); ++g) {
      if (!store->materialised_[g]) continue;
      store->memory_[g].resize(store->layout_.granule_bytes);
      store->PreadExact(g * store->layout_.granule_bytes, store->memory_[g]);
    }
  }
  store->ready_ = true;
  if (sidecar_there == HostError::kNotFound) store->WriteSidecar();
  return store;
}

void ImageStore::LoadSidecar(const std::vector<Key>& identity) {
  const std::string sidecar = SidecarPath(path_).string();
  HostEntry opened = file_.Open(O_RDONLY, 0, kSidecarSuffix);
  if (!opened) Fail("the sidecar " + sidecar + " " + Describe(opened.error));
  std::string text;
  if (int error = ReadToEnd(opened.fd.get(), text)) {
    Fail("cannot read the sidecar " + sidecar + ": " + std::strerror(error));
  }
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(text);
  } catch (const std::exception& e) {
    Fail("the sidecar " + sidecar + " is not valid JSON: " + e.what());
  }
  if (!json.is_object()) Fail("the sidecar " + sidecar + " is not a JSON object");
  auto lacks = [&](const std::string& key) {
    Fail("the sidecar " + sidecar + " lacks '" + key + "'; remove the image and its sidecar to start afresh");
  };
  for (const Key& key : identity) {
    if (!json.contains(key.name)) lacks(key.name);
    if (!Matches(json[key.name], key)) {
      throw ImageError(key.name, "the image " + path_.string() + " was made for " + key.name + " " +
                                     ValueText(json[key.name]) + ", not " + ValueText(key));
    }
  }
  std::uint64_t granule_bytes = layout_.granule_bytes;
  if (json.contains("granule_bytes") &&
      (!SidecarNumber(json["granule_bytes"], granule_bytes) || granule_bytes != layout_.granule_bytes)) {
    Fail("the sidecar " + sidecar + " counts granules of " + ValueText(json["granule_bytes"]) +
         " bytes, not " + std::to_string(layout_.granule_bytes));
  }

  const std::uint64_t regions = RegionCount();
  const std::uint64_t per_region = materialised_.size() / regions;
  if (json.contains("materialised")) {
    const nlohmann::json& bitmaps = json["materialised"];
    if (!bitmaps.is_array() || bitmaps.size() != regions) {
      Fail("the sidecar " + sidecar + ": 'materialised' needs one entry per region (" +
           std::to_string(regions) + ")");
    }
    for (std::uint64_t r = 0; r < regions; ++r) {
      if (!bitmaps[r].is_string() ||
          !ParseBitmapHex(bitmaps[r].get<std::string>(), materialised_, r * per_region, per_region)) {
        Fail("the sidecar " + sidecar + ": 'materialised' entry " + std::to_string(r) +
             " is not a bitmap of " + std::to_string(per_region) + " granules");
      }
    }
  } else if (json.contains("granules") && json["granules"].is_array()) {
    for (const nlohmann::json& entry : json["granules"]) {
      std::uint64_t offset = 0;
      if (!SidecarNumber(entry, offset) || offset % layout_.granule_bytes != 0 || offset >= layout_.bytes) {
        Fail("the sidecar " + sidecar + " names granule " + ValueText(entry) +
             ", which the image does not have");
      }
      materialised_[offset / layout_.granule_bytes] = true;
    }
  } else {
    lacks("materialised");
  }
  materialised_count_ =
      static_cast<std::uint64_t>(std::count(materialised_.begin(), materialised_.end(), true));
  if (json.contains("wear") && layout_.wear_parts != 0) LoadWear(sidecar, json["wear"]);
}

// The counts are untrusted like the rest of the sidecar: anything but well-formed runs within the
// parts is refused, never taken in part.
void ImageStore::LoadWear(const std::string& sidecar, const nlohmann::json& wear) {
  auto refuse = [&](const std::string& where, const std::string& what) {
    throw ImageError("wear", "the sidecar " + sidecar + ": 'wear'" + where + " " + what +
                                 "; remove the key to count afresh");
  };
  if (!wear.is_array() || wear.size() != layout_.wear_parts) {
    refuse("", "needs one list of runs per part (" + std::to_string(layout_.wear_parts) + ")");
  }
  for (std::uint32_t part = 0; part < layout_.wear_parts; ++part) {
    const nlohmann::json& runs = wear[part];
    const std::string in_part = " entry " + std::to_string(part);
    if (!runs.is_array()) refuse(in_part, "is not a list of runs");
    std::uint64_t next_free = 0;  // the first block the next run may name
    for (std::size_t r = 0; r < runs.size(); ++r) {
      const nlohmann::json& run = runs[r];
      const std::string where = in_part + " run " + std::to_string(r);
      if (!run.is_array() || run.size() != 4) refuse(where, "is not [first block, blocks, programs, erases]");
      std::uint64_t v[4] = {};
      for (std::size_t i = 0; i < 4; ++i) {
        if (!run[i].is_number_unsigned() || run[i].get<std::uint64_t>() > kMaxWearCount) {
          refuse(where, "holds " + (run[i].is_string() ? run[i].dump() : ValueText(run[i])) +
                            ", not a whole number from 0 to " + std::to_string(kMaxWearCount));
        }
        v[i] = run[i].get<std::uint64_t>();
      }
      const std::uint64_t first = v[0], blocks = v[1];
      if (blocks == 0 || first > layout_.wear_blocks || blocks > layout_.wear_blocks - first) {
        refuse(where, "names blocks " + std::to_string(first) + " to " + std::to_string(first + blocks) +
                          " (exclusive); the part has " + std::to_string(layout_.wear_blocks));
      }
      if (first < next_free) refuse(where, "overlaps or precedes the run before it");
      if (v[2] == 0 && v[3] == 0) refuse(where, "counts nothing (blocks without counts are left out)");
      for (std::uint64_t b = first; b < first + blocks; ++b) {
        wear_[std::size_t{part} * layout_.wear_blocks + b] = {v[2], v[3]};
      }
      next_free = first + blocks;
    }
  }
}

ImageStore::~ImageStore() {
  if (fd_ >= 0 && ready_) {
    try {
      WriteSidecar();
    } catch (const std::exception&) {
      // Nothing to be done while closing; the sidecar written at the last materialisation stands.
    }
  }
  if (fd_ >= 0) ::close(fd_);
}

void ImageStore::WriteSidecar() const {
  if (path_.empty()) return;
  nlohmann::ordered_json json;
  for (const Key& key : identity_) json[key.name] = ToJson(key);
  json["granule_bytes"] = layout_.granule_bytes;
  const std::uint64_t regions = RegionCount();
  const std::uint64_t region_bytes = layout_.bytes / regions;
  const std::uint64_t per_region = materialised_.size() / regions;
  json["regions"] = nlohmann::ordered_json::array();
  json["materialised"] = nlohmann::ordered_json::array();
  for (std::uint64_t r = 0; r < regions; ++r) {
    nlohmann::ordered_json region;
    if (!layout_.regions.empty()) {
      for (const Key& label : layout_.regions[r]) region[label.name] = ToJson(label);
    }
    region["offset"] = region_bytes * r;
    region["bytes"] = region_bytes;
    json["regions"].push_back(region);
    json["materialised"].push_back(BitmapHex(materialised_, r * per_region, per_region));
  }
  std::string text = json.dump(1);
  if (layout_.wear_parts != 0) {
    // A part's runs on one line: indented, every number would take a line of its own.
    text.pop_back();  // the closing brace
    text += ",\n \"wear\": [";
    for (std::uint32_t part = 0; part < layout_.wear_parts; ++part) {
      nlohmann::ordered_json runs = nlohmann::ordered_json::array();
      const BlockWear* counts = wear_.data() + std::size_t{part} * layout_.wear_blocks;
      for (std::uint32_t b = 0; b < layout_.wear_blocks;) {
        std::uint32_t end = b + 1;
        while (end < layout_.wear_blocks && counts[end] == counts[b]) ++end;
        if (counts[b] != BlockWear{}) runs.push_back({b, end - b, counts[b].programs, counts[b].erases});
        b = end;
      }
      text += (part == 0 ? "\n  " : ",\n  ") + runs.dump();
    }
    text += "\n ]\n}";
  }
  if (HostError error = file_.Replace(text + '\n', kSidecarSuffix); error != HostError::kNone) {
    throw ImageError("", "cannot write the sidecar " + SidecarPath(path_).string() + ": it " + Describe(error));
  }
}

void ImageStore::CheckRange(std::uint64_t offset, std::uint64_t bytes) const {
  if (offset > layout_.bytes || bytes > layout_.bytes - offset) {
    throw std::out_of_range("image store: " + std::to_string(bytes) + " bytes at " + HexOffset(offset) +
                            " reach beyond the image's " + std::to_string(layout_.bytes));
  }
}

void ImageStore::PreadExact(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n <= 0) throw ImageError("", "cannot read the image " + path_.string() + ": " + Errno());
    done += static_cast<std::size_t>(n);
  }
}

void ImageStore::PwriteExact(std::uint64_t offset, std::span<const std::uint8_t> bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n <= 0) throw ImageError("", "cannot write the image " + path_.string() + ": " + Errno());
    done += static_cast<std::size_t>(n);
  }
}

void ImageStore::Materialise(std::uint64_t granule) {
  if (materialised_[granule]) return;
  std::vector<std::uint8_t> erased(layout_.granule_bytes, kErased);
  // The granule's bytes go to the file before the sidecar counts them.
  if (fd_ >= 0) PwriteExact(granule * layout_.granule_bytes, erased);
  if (fd_ < 0 || layout_.resident) memory_[granule] = std::move(erased);
  materialised_[granule] = true;
  ++materialised_count_;
  WriteSidecar();
}

// Calls visit(at, granule, within, done, n) for each piece of the range that lies in one granule.
template <typename Visit>
void ImageStore::ForEachPiece(std::uint64_t offset, std::uint64_t bytes, Visit visit) const {
  CheckRange(offset, bytes);
  for (std::uint64_t done = 0; done < bytes;) {
    const std::uint64_t at = offset + done;
    const std::uint64_t within = at % layout_.granule_bytes;
    const std::uint64_t n = std::min<std::uint64_t>(bytes - done, layout_.granule_bytes - within);
    visit(at, at / layout_.granule_bytes, within, static_cast<std::size_t>(done),
          static_cast<std::size_t>(n));
    done += n;
  }
}

void ImageStore::Read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  ForEachPiece(
      offset, out.size(),
      [&](std::uint64_t at, std::uint64_t granule, std::uint64_t within, std::size_t done, std::size_t n) {
        std::span<std::uint8_t> part = out.subspan(done, n);
        if (!materialised_[granule]) {
          std::fill(part.begin(), part.end(), kErased);
        } else if (!memory_[granule].empty()) {
          std::copy_n(memory_[granule].begin() + static_cast<std::ptrdiff_t>(within), n, part.begin());
        } else {
          PreadExact(at, part);
        }
      });
}

void ImageStore::Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  ForEachPiece(
      offset, bytes.size(),
      [&](std::uint64_t at, std::uint64_t granule, std::uint64_t within, std::size_t done, std::size_t n) {
        std::span<const std::uint8_t> part = bytes.subspan(done, n);
        Materialise(granule);
        if (!memory_[granule].empty()) {
          std::copy(part.begin(), part.end(), memory_[granule].begin() + static_cast<std::ptrdiff_t>(within));
        }
        if (fd_ >= 0) PwriteExact(at, part);
      });
}

void ImageStore::Erase(std::uint64_t offset, std::uint64_t bytes) {
  ForEachPiece(
      offset, bytes,
      [&](std::uint64_t at, std::uint64_t granule, std::uint64_t within, std::size_t, std::size_t n) {
        if (!materialised_[granule]) return;  // reads as erased already
        if (!memory_[granule].empty()) {
          std::fill_n(memory_[granule].begin() + static_cast<std::ptrdiff_t>(within), n, kErased);
        }
        if (fd_ >= 0) PwriteExact(at, std::vector<std::uint8_t>(n, kErased));
      });
}

}  // namespace sim
