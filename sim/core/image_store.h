// One sparse image store for the flash models: the cells of a flash in a raw image file of the
// flash's full size (or in memory), kept in granules of a fixed size. A granule is written to the
// file ("materialised") only when something first changes in it; every other granule reads as
// erased (0xFF) without touching the file. The layout of the bytes inside the file is the model's
// own (the NOR pair's bus view; the NAND devices' pages with their spare bytes, region by region).
//
// The file is created sparse: making the largest image writes nothing. Beside it, a sidecar
// "<image>.json" says what the image was made for and which granules hold data:
//
//   {"device_code": "0x8922", "size_code": 25,        the model's identity keys, checked on open
//    "granule_bytes": 65536,
//    "regions": [{"offset": 0, "bytes": 67108864}],   equal parts of the image (NAND: one per device)
//    "materialised": ["0100...0"],                    per region: the granules that hold data, a hex
//                                                     digit per four granules, bit 0 the lowest
//    "wear": [[[0, 12, 768, 12], [40, 1, 3, 1]], []]} per wear part (see below): runs of blocks
//                                                     with the same program and erase counts
//
// Wear: real flash wears, so the program and erase counts of every block are kept over the image's
// life, per part (a NAND device, a device of the NOR pair) and block of the part, as the model counts
// them (sim/hw/nand_chip.h, sim/hw/nor_flash.h). The sidecar lists, per part, runs
// [first block, blocks, programs, erases] of consecutive blocks with equal counts, in ascending order
// and without overlap; blocks never programmed nor erased are left out, so a fresh 2 GiB chip costs a
// pair of brackets and a chip written evenly a few runs. A sidecar without "wear" reads as all counts
// zero. A count stops at kMaxWearCount (the largest integer every JSON reader holds exactly).
//
// The sidecar is rewritten (through a temporary file) whenever a granule is materialised, after the
// granule's bytes are in the file, so an interrupted host never leaves a counted granule reading as
// the file's zero-filled hole; and on close, which is when counts that moved since then are kept
// (an operation does not rewrite it). Readers ignore keys they do not know, so the sidecar can carry
// more about the image later without breaking older images; a key they know must be well formed.
//
// Older sidecars stay readable: one that lists the granules holding data as offsets ("granules":
// ["0x00000000", ...]) instead of bitmaps, and one without "granule_bytes". An image without a
// sidecar is refused, unless the model accepts raw images from other tools: then an image of exactly
// the right size is taken as wholly materialised.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "sim/core/host_paths.h"

namespace sim {

// An image that cannot be opened, made or used, or does not fit what the model wants. key names the
// identity key that disagrees, or "wear" for malformed counts (empty for every other problem); the
// message names the file.
struct ImageError : std::runtime_error {
  ImageError(std::string key, const std::string& what) : std::runtime_error(what), key(std::move(key)) {}
  std::string key;
};

class ImageStore {
 public:
  static constexpr std::uint8_t kErased = 0xFF;

  // A key of the sidecar: what the image was made for (identity), or a label of a region.
  struct Key {
    std::string name;
    std::variant<std::uint64_t, std::string> value;
  };
  struct Layout {
    std::uint64_t bytes = 0;          // the whole image
    std::uint32_t granule_bytes = 0;  // the unit of materialisation; divides the regions
    // One entry per region (equal parts of the image, in order), with the labels the sidecar shows
    // for it; empty: the image is one region.
    std::vector<std::vector<Key>> regions;
    // Materialised granules are also kept in memory, so reads do not touch the file (the NOR pair,
    // read a word at a time); otherwise every access goes to the file (the NAND pages).
    bool resident = false;
    // Program and erase counts are kept for wear_blocks blocks of each of wear_parts parts; 0: none.
    std::uint32_t wear_parts = 0;
    std::uint32_t wear_blocks = 0;
  };
  // What a block has been through, over the image's life.
  struct BlockWear {
    std::uint64_t programs = 0;
    std::uint64_t erases = 0;
    bool operator==(const BlockWear&) const = default;
  };
  static constexpr std::uint64_t kMaxWearCount = (std::uint64_t{1} << 53) - 1;
  struct OpenOptions {
    std::vector<Key> identity;      // written to a new sidecar; an existing one must carry the same
    bool accept_raw_image = false;  // an image of the right size without a sidecar holds data throughout
  };

  // Cells in memory only, lost with the store.
  static std::unique_ptr<ImageStore> InMemory(Layout layout);
  // Opens the image at path, or creates it (sparse, all erased) with its sidecar when it does not exist.
  // The image and its sidecar are opened from their folder by name, never through a link at their
  // own names, and must be regular files (a FIFO or device node there is refused without blocking).
  static std::unique_ptr<ImageStore> Open(const std::filesystem::path& path, Layout layout,
                                          OpenOptions options);
  // The same for an image a module folder names, held by its folder (HostPaths::Settle).
  static std::unique_ptr<ImageStore> Open(HostFile file, Layout layout, OpenOptions options);
  static std::filesystem::path SidecarPath(const std::filesystem::path& image);

  ~ImageStore();
  ImageStore(const ImageStore&) = delete;
  ImageStore& operator=(const ImageStore&) = delete;

  const Layout& layout() const { return layout_; }
  // Empty for an image in memory.
  const std::filesystem::path& path() const { return path_; }
  // True when this store made the image (a new file, or cells in memory): it holds nothing yet.
  bool created() const { return created_; }

  // Bytes from offset on; erased where no granule holds data.
  void Read(std::uint64_t offset, std::span<std::uint8_t> out) const;
  // Stores the bytes as given, materialising the granules they touch.
  void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Sets the range to erased; granules without data stay without.
  void Erase(std::uint64_t offset, std::uint64_t bytes);

  std::uint64_t Granules() const { return materialised_.size(); }
  bool IsMaterialised(std::uint64_t granule) const { return materialised_.at(granule); }
  std::uint64_t MaterialisedCount() const { return materialised_count_; }
  // Writes the sidecar now (it is also written on every newly materialised granule and on close).
  void WriteSidecar() const;

  // One program or erase of a block of a part, counted in memory (the sidecar keeps it, see above).
  void CountProgram(std::uint32_t part, std::uint32_t block) {
    Saturating(wear_[WearIndex(part, block)].programs);
  }
  void CountErase(std::uint32_t part, std::uint32_t block) {
    Saturating(wear_[WearIndex(part, block)].erases);
  }
  const BlockWear& Wear(std::uint32_t part, std::uint32_t block) const {
    return wear_[WearIndex(part, block)];
  }

 private:
  explicit ImageStore(Layout layout);
  void CheckRange(std::uint64_t offset, std::uint64_t bytes) const;
  template <typename Visit>
  void ForEachPiece(std::uint64_t offset, std::uint64_t bytes, Visit visit) const;
  std::uint64_t RegionCount() const { return layout_.regions.empty() ? 1 : layout_.regions.size(); }
  void Materialise(std::uint64_t granule);
  void LoadSidecar(const std::vector<Key>& identity);
  void PreadExact(std::uint64_t offset, std::span<std::uint8_t> out) const;
  void PwriteExact(std::uint64_t offset, std::span<const std::uint8_t> bytes) const;
  [[noreturn]] void Fail(const std::string& what) const;
  std::size_t WearIndex(std::uint32_t part, std::uint32_t block) const {
    if (part >= layout_.wear_parts || block >= layout_.wear_blocks) WearOutOfRange(part, block);
    return std::size_t{part} * layout_.wear_blocks + block;
  }
  [[noreturn]] void WearOutOfRange(std::uint32_t part, std::uint32_t block) const;
  static void Saturating(std::uint64_t& count) {
    if (count < kMaxWearCount) ++count;
  }
  void LoadWear(const std::string& sidecar, const nlohmann::json& wear);

  Layout layout_;
  std::filesystem::path path_;
  HostFile file_;  // the image's folder and name: the sidecar is its sibling
  std::vector<Key> identity_;
  int fd_ = -1;
  bool ready_ = false;  // opened whole: only then does closing write the sidecar
  bool created_ = true;
  std::vector<bool> materialised_;
  std::uint64_t materialised_count_ = 0;
  std::vector<std::vector<std::uint8_t>>
      memory_;                   // per granule: its bytes, in memory or resident; empty: none
  std::vector<BlockWear> wear_;  // part major, block minor
};

}  // namespace sim
