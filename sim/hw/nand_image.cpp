#include "sim/hw/nand_image.h"

#include <stdexcept>

namespace sim {

namespace {

constexpr const char* kLayoutName = "page then spare";

}  // namespace

NandImage::NandImage(Layout layout, std::unique_ptr<ImageStore> store)
    : layout_(std::move(layout)), store_(std::move(store)) {}

ImageStore::Layout NandImage::StoreLayout(const Layout& layout) {
  ImageStore::Layout store;
  store.bytes = layout.total_bytes();
  store.granule_bytes = static_cast<std::uint32_t>(layout.block_bytes());
  store.wear_parts = static_cast<std::uint32_t>(layout.regions.size());
  store.wear_blocks = layout.blocks;
  for (const Region& r : layout.regions) {
    store.regions.push_back(
        {{"chip_select", std::uint64_t{r.chip_select}}, {"device", std::uint64_t{r.device}}});
  }
  return store;
}

std::unique_ptr<NandImage> NandImage::InMemory(Layout layout) {
  auto store = ImageStore::InMemory(StoreLayout(layout));
  return std::unique_ptr<NandImage>(new NandImage(std::move(layout), std::move(store)));
}

ImageStore::OpenOptions NandImage::StoreOptions(const Layout& layout) {
  ImageStore::OpenOptions options;
  options.identity = {{"layout", std::string(kLayoutName)},
                      {"chip", layout.chip},
                      {"page_bytes", std::uint64_t{layout.page_bytes}},
                      {"spare_bytes", std::uint64_t{layout.spare_bytes}},
                      {"pages_per_block", std::uint64_t{layout.pages_per_block}},
                      {"blocks_per_device", std::uint64_t{layout.blocks}}};
  options.accept_raw_image = true;
  return options;
}

std::unique_ptr<NandImage> NandImage::Open(const std::filesystem::path& path, Layout layout) {
  auto store = ImageStore::Open(path, StoreLayout(layout), StoreOptions(layout));
  return std::unique_ptr<NandImage>(new NandImage(std::move(layout), std::move(store)));
}

std::unique_ptr<NandImage> NandImage::Open(HostFile file, Layout layout) {
  auto store = ImageStore::Open(std::move(file), StoreLayout(layout), StoreOptions(layout));
  return std::unique_ptr<NandImage>(new NandImage(std::move(layout), std::move(store)));
}

void NandImage::CheckAddress(std::uint32_t region, std::uint32_t row) const {
  if (region >= layout_.regions.size() || row >= layout_.blocks * layout_.pages_per_block) {
    throw std::out_of_range("NAND image: region " + std::to_string(region) + " row " + std::to_string(row) +
                            " is outside the chip");
  }
}

std::uint64_t NandImage::FileOffset(std::uint32_t region, std::uint32_t row) const {
  return layout_.region_bytes() * region + std::uint64_t{row} * layout_.raw_page_bytes();
}

bool NandImage::IsMaterialised(std::uint32_t region, std::uint32_t block) const {
  CheckAddress(region, block * layout_.pages_per_block);
  return store_->IsMaterialised(std::uint64_t{region} * layout_.blocks + block);
}

void NandImage::ReadPage(std::uint32_t region, std::uint32_t row, std::span<std::uint8_t> out) const {
  CheckAddress(region, row);
  if (out.size() != layout_.raw_page_bytes()) throw std::invalid_argument("NAND image: page buffer size");
  store_->Read(FileOffset(region, row), out);
}

void NandImage::WritePage(std::uint32_t region, std::uint32_t row, std::span<const std::uint8_t> bytes) {
  CheckAddress(region, row);
  if (bytes.size() != layout_.raw_page_bytes()) throw std::invalid_argument("NAND image: page buffer size");
  store_->Write(FileOffset(region, row), bytes);
}

void NandImage::EraseBlock(std::uint32_t region, std::uint32_t block, std::optional<std::uint32_t> pages) {
  CheckAddress(region, block * layout_.pages_per_block);
  std::uint32_t count = std::min(pages.value_or(layout_.pages_per_block), layout_.pages_per_block);
  store_->Erase(FileOffset(region, block * layout_.pages_per_block),
                std::uint64_t{count} * layout_.raw_page_bytes());
}

}  // namespace sim
