// Where the NAND devices keep their cells: a raw image in the common layout, each page followed by
// its spare bytes, one region per device (chip select and byte lane) in a fixed order, kept by the
// image store (sim/core/image_store.h) with one device block as its granule. The sidecar
// (<image>.json) names the chip and its geometry and which blocks hold data; every other block reads
// as erased (0xFF) without touching the file. Pages are read and written on demand; nothing reads
// the whole image.
//
// The image also keeps every device block's program and erase counts over its life (the devices
// count what they perform, sim/hw/nand_chip.h); the sidecar holds them, one wear part per region.
//
// An image without a sidecar but of exactly the right size (written by some other tool) is taken as
// wholly materialised, with no counts. An in-memory image (no path) behaves alike and is lost with
// the module.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/core/image_store.h"

namespace sim {

class NandImage {
 public:
  struct Region {
    std::uint32_t chip_select = 0;
    std::uint32_t device = 0;  // byte lane: 0 = low byte, 1 = high byte of the 16-bit bus
  };
  struct Layout {
    std::string chip;  // "0xF1EC"
    std::uint32_t page_bytes = 0;
    std::uint32_t spare_bytes = 0;
    std::uint32_t pages_per_block = 0;
    std::uint32_t blocks = 0;     // per device
    std::vector<Region> regions;  // in file order

    std::uint32_t raw_page_bytes() const { return page_bytes + spare_bytes; }
    std::uint64_t block_bytes() const { return std::uint64_t{raw_page_bytes()} * pages_per_block; }
    std::uint64_t region_bytes() const { return block_bytes() * blocks; }
    std::uint64_t total_bytes() const { return region_bytes() * regions.size(); }
  };

  static std::unique_ptr<NandImage> InMemory(Layout layout);
  // Opens the image at path, or creates it (sparse, all erased) with its sidecar when it does not
  // exist. ImageError when it cannot, or when it was made for another chip (key "chip").
  static std::unique_ptr<NandImage> Open(const std::filesystem::path& path, Layout layout);
  // The same for an image a module folder names, held by its folder (HostPaths::Settle).
  static std::unique_ptr<NandImage> Open(HostFile file, Layout layout);
  static std::filesystem::path SidecarPath(const std::filesystem::path& image) {
    return ImageStore::SidecarPath(image);
  }

  const Layout& layout() const { return layout_; }
  // Empty for an image in memory.
  const std::filesystem::path& path() const { return store_->path(); }
  // True when this power-on made the image (a new file, or cells in memory): it holds nothing yet.
  bool created() const { return store_->created(); }

  // One page with its spare bytes (out.size() == raw_page_bytes()); row = block * pages_per_block + page.
  void ReadPage(std::uint32_t region, std::uint32_t row, std::span<std::uint8_t> out) const;
  // Stores a page as given (the devices do the AND of programming themselves).
  void WritePage(std::uint32_t region, std::uint32_t row, std::span<const std::uint8_t> bytes);
  // Sets every byte of the block, data and spare, to 0xFF. pages: only the first so many (a cut erase).
  void EraseBlock(std::uint32_t region, std::uint32_t block, std::optional<std::uint32_t> pages = {});

  // Program and erase counts of a device block, over the image's life; kept in memory, written to
  // the sidecar with it.
  void CountProgram(std::uint32_t region, std::uint32_t block) { store_->CountProgram(region, block); }
  void CountErase(std::uint32_t region, std::uint32_t block) { store_->CountErase(region, block); }
  const ImageStore::BlockWear& Wear(std::uint32_t region, std::uint32_t block) const {
    return store_->Wear(region, block);
  }

  bool IsMaterialised(std::uint32_t region, std::uint32_t block) const;
  std::uint32_t MaterialisedBlocks() const { return static_cast<std::uint32_t>(store_->MaterialisedCount()); }
  // Writes the sidecar now (it is also written on every new materialised block and on close).
  void WriteSidecar() const { store_->WriteSidecar(); }

 private:
  NandImage(Layout layout, std::unique_ptr<ImageStore> store);
  static ImageStore::Layout StoreLayout(const Layout& layout);
  static ImageStore::OpenOptions StoreOptions(const Layout& layout);
  void CheckAddress(std::uint32_t region, std::uint32_t row) const;
  std::uint64_t FileOffset(std::uint32_t region, std::uint32_t row) const;

  Layout layout_;
  std::unique_ptr<ImageStore> store_;
};

}  // namespace sim
