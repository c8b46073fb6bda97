#include "tools/flash_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/core/description.h"
#include "sim/core/host_paths.h"
#include "sim/hw/nand_controller.h"
#include "sim/hw/nor_flash.h"
#include "sim/module.h"
#include "tools/flash_inspect.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kNorChunk = 0x10000;  // the NOR store's granule

bool Blank(const std::vector<std::uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

std::unique_ptr<sim::Module> PowerOn(const fs::path& module_folder, bool make_image) {
  sim::Description d = FlashDescription(module_folder, make_image);
  if (d.flash.type == sim::FlashConfig::Type::kNone) {
    throw FlashInspectError("the module in '" + module_folder.string() + "' has no flash (its " +
                            sim::kDescriptionFile + " has no \"flash\" object)");
  }
  try {
    return std::make_unique<sim::Module>(std::move(d));
  } catch (const sim::ImageError& e) {
    throw FlashInspectError(e.what());
  }
}

// The image regions a pick selects: all, or the one device.
std::vector<std::uint32_t> Regions(const sim::NandImage& image, std::optional<FlashDevicePick> pick) {
  std::vector<std::uint32_t> regions;
  const auto& all = image.layout().regions;
  for (std::uint32_t r = 0; r < all.size(); ++r) {
    if (!pick || (all[r].chip_select == pick->chip_select && all[r].device == pick->device)) regions.push_back(r);
  }
  if (regions.empty()) {
    throw FlashInspectError("chip " + image.layout().chip + " has no device " + std::to_string(pick->device) +
                            " on chip select " + std::to_string(pick->chip_select));
  }
  return regions;
}

void WriteAll(int fd, const std::vector<std::uint8_t>& bytes, const fs::path& file) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(errno));
    done += static_cast<std::size_t>(n);
  }
}

void ReadAll(int fd, std::vector<std::uint8_t>& bytes, const fs::path& file) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("cannot read " + file.string() + ": " + std::strerror(errno));
    done += static_cast<std::size_t>(n);
  }
}

sim::UniqueFd OpenFile(const fs::path& file, int flags, sim::HostFile& held) {
  sim::HostError error = sim::OpenUserFile(file, held);
  sim::HostEntry entry;
  if (error == sim::HostError::kNone) {
    entry = held.Open(flags, 0644);
    error = entry.error;
  }
  if (error != sim::HostError::kNone) {
    throw FlashInspectError("cannot open " + file.string() + ": " + sim::Describe(error));
  }
  return std::move(entry.fd);
}

}  // namespace

FlashImageResult DumpFlash(const fs::path& module_folder, const fs::path& file, std::optional<FlashDevicePick> pick) {
  std::unique_ptr<sim::Module> module = PowerOn(module_folder, false);
  FlashImageResult result;
  if (sim::NorFlash* nor = module->FindDevice<sim::NorFlash>()) {
    if (pick) throw FlashInspectError("a NOR flash is dumped whole: --chip-select and --device are for NAND");
    sim::HostFile held;
    sim::UniqueFd fd = OpenFile(file, O_WRONLY | O_CREAT | O_TRUNC, held);
    for (std::uint32_t at = 0; at < nor->BusBytes(); at += kNorChunk) {
      WriteAll(fd.get(), nor->Peek(at, kNorChunk), file);
      result.bytes += kNorChunk;
    }
    return result;
  }
  sim::NandController* nand = module->FindDevice<sim::NandController>();
  if (!nand) throw FlashInspectError("the module's flash has no model to dump");
  const sim::NandImage& image = nand->image();
  std::vector<std::uint32_t> regions = Regions(image, pick);
  sim::HostFile held;
  sim::UniqueFd fd = OpenFile(file, O_WRONLY | O_CREAT | O_TRUNC, held);
  const std::uint32_t rows = image.layout().blocks * image.layout().pages_per_block;
  std::vector<std::uint8_t> page(image.layout().raw_page_bytes());
  std::vector<std::uint8_t> block;
  for (std::uint32_t region : regions) {
    for (std::uint32_t row = 0; row < rows; ++row) {
      image.ReadPage(region, row, page);
      block.insert(block.end(), page.begin(), page.end());
      if ((row + 1) % image.layout().pages_per_block == 0) {
        WriteAll(fd.get(), block, file);
        result.bytes += block.size();
        block.clear();
      }
      ++result.pages;
    }
  }
  return result;
}

FlashImageResult LoadFlash(const fs::path& module_folder, const fs::path& file, std::optional<FlashDevicePick> pick) {
  sim::HostFile held;
  sim::UniqueFd fd = OpenFile(file, O_RDONLY, held);
  struct stat st = {};
  if (::fstat(fd.get(), &st) != 0) throw std::runtime_error("cannot read " + file.string() + ": " + std::strerror(errno));
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  // The sizes are checked on the flash as it would be made, in memory, so a refused load makes no image.
  std::unique_ptr<sim::Module> module = PowerOn(module_folder, false);
  std::uint64_t want = 0;
  if (sim::NorFlash* nor = module->FindDevice<sim::NorFlash>()) {
    if (pick) throw FlashInspectError("a NOR flash is loaded whole: --chip-select and --device are for NAND");
    want = nor->BusBytes();
  } else if (sim::NandController* nand = module->FindDevice<sim::NandController>()) {
    want = nand->image().layout().region_bytes() * Regions(nand->image(), pick).size();
  } else {
    throw FlashInspectError("the module's flash has no model to load");
  }
  if (size != want) {
    throw FlashInspectError(file.string() + " holds " + std::to_string(size) + " bytes; " +
                            (pick ? "the device holds " : "the flash holds ") + std::to_string(want));
  }
  module.reset();
  module = PowerOn(module_folder, true);

  FlashImageResult result;
  if (sim::NorFlash* nor = module->FindDevice<sim::NorFlash>()) {
    std::vector<std::uint8_t> chunk(kNorChunk);
    for (std::uint32_t at = 0; at < nor->BusBytes(); at += kNorChunk) {
      ReadAll(fd.get(), chunk, file);
      // Blank over blank stays without data in the image.
      if (!Blank(chunk) || !Blank(nor->Peek(at, kNorChunk))) nor->Poke(at, chunk);
      result.bytes += kNorChunk;
    }
    return result;
  }
  sim::NandImage& image = module->FindDevice<sim::NandController>()->image();
  std::vector<std::uint32_t> regions = Regions(image, pick);
  const std::uint32_t pages = image.layout().pages_per_block;
  std::vector<std::uint8_t> block(image.layout().block_bytes());
  for (std::uint32_t region : regions) {
    for (std::uint32_t b = 0; b < image.layout().blocks; ++b) {
      ReadAll(fd.get(), block, file);
      result.bytes += block.size();
      if (Blank(block) && !image.IsMaterialised(region, b)) continue;
      for (std::uint32_t p = 0; p < pages; ++p) {
        auto page = std::span<const std::uint8_t>(block).subspan(std::size_t{p} * image.layout().raw_page_bytes(),
                                                                 image.layout().raw_page_bytes());
        image.WritePage(region, b * pages + p, page);
        ++result.pages;
      }
    }
  }
  image.WriteSidecar();
  return result;
}

}  // namespace tools
