// The sidecar beside a flash image (<image>.json) as another tool, an older simulator, a torn host or
// someone's editor may leave it: any bytes, read when the NOR model and the NAND controller open
// their image. The image either opens or is refused with an ImageError naming what is wrong (nothing
// else may escape: a raw library exception would end kalvori with the wrong status), and a sidecar
// that was accepted is written back on closing in a form that opens again to the same granules with
// data and is then written back unchanged.
//
// Input: the sidecar's bytes. Each input is tried beside three images: NOR (size code 20), NAND chip
// 0xF1EC (one device) and NAND chip 0x75EC (a pair of devices: two regions).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_module.h"
#include "fuzz/fuzz_support.h"
#include "sim/core/clock.h"
#include "sim/core/flash_parts.h"
#include "sim/core/image_store.h"
#include "sim/core/text.h"
#include "sim/hw/nand_image.h"
#include "sim/hw/nor_flash.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kNorSizeCode = 20;

// An image of the right size (sparse: nothing is written) whose sidecar each input replaces.
struct Image {
  fs::path path;
  // Opens the image as its model does and reports how many granules hold data; throws ImageError.
  std::function<std::uint64_t()> open;
};

void MakeSparse(const fs::path& path, std::uint64_t bytes) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  fuzz::Check(fd >= 0 && ::ftruncate(fd, static_cast<off_t>(bytes)) == 0, "cannot make the fuzz image");
  ::close(fd);
}

std::string ReadSidecar(const fs::path& image) {
  std::string text;
  int fd = ::open(sim::ImageStore::SidecarPath(image).c_str(), O_RDONLY);
  fuzz::Check(fd >= 0 && sim::ReadToEnd(fd, text) == 0, "the sidecar written on closing cannot be read");
  ::close(fd);
  return text;
}

void WriteSidecar(const fs::path& image, std::string_view bytes) {
  // A new file, not the old one truncated: the host's file system may write a truncated file's
  // data out at once, which would cost more than the whole input.
  fs::path sidecar = sim::ImageStore::SidecarPath(image);
  ::unlink(sidecar.c_str());
  int fd = ::open(sidecar.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  fuzz::Check(fd >= 0, "cannot write the fuzz sidecar");
  fuzz::Check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
              "cannot write the fuzz sidecar");
  ::close(fd);
}

Image NorImage(const fs::path& folder) {
  static sim::Clock clock(sim::Clock::Kind::kVirtual);
  sim::NorFlashConfig config;
  config.size_code = kNorSizeCode;
  config.image = folder / "nor.img";
  MakeSparse(config.image, sim::NorLayout(config.device_code, config.size_code).bus_bytes());
  return {config.image, [config] {
            sim::NorFlash nor(clock, config);
            std::uint64_t holding = 0;
            for (std::uint32_t at = 0; at < nor.BusBytes(); at += sim::NorFlash::kGranuleBytes) {
              // A granule with data reads as the sparse file's zeros, one without as erased.
              holding += nor.Peek(at, 1)[0] != sim::ImageStore::kErased;
            }
            return holding;
          }};
}

Image NandImageOf(const fs::path& folder, std::uint16_t chip_id) {
  const sim::NandChipType& chip = *sim::FindNandChip(chip_id);
  sim::NandImage::Layout layout{chip.name, chip.page_bytes, chip.spare_bytes, chip.pages_per_block, chip.blocks, {}};
  for (std::uint32_t cs = 0; cs < chip.chip_selects; ++cs) {
    for (std::uint32_t lane = 0; lane < chip.lanes; ++lane) layout.regions.push_back({cs, lane});
  }
  fs::path path = folder / (std::string(chip.name) + ".img");
  MakeSparse(path, layout.total_bytes());
  return {path, [path, layout] {
            std::unique_ptr<sim::NandImage> image = sim::NandImage::Open(path, layout);
            return std::uint64_t{image->MaterialisedBlocks()};
          }};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Destroyed at exit: the folder and its images go with the process.
  static const fuzz::ModuleFolder folder("sidecar");
  static const Image images[3] = {NorImage(folder.path()), NandImageOf(folder.path(), 0xF1EC),
                                  NandImageOf(folder.path(), 0x75EC)};
  const std::string_view sidecar(reinterpret_cast<const char*>(data), size);
  for (int i = 0; i < 3; ++i) {
    const Image& image = images[i];
    WriteSidecar(image.path, sidecar);
    std::uint64_t holding = 0;
    try {
      holding = image.open();
    } catch (const sim::ImageError& e) {
      fuzz::CheckPrintable(e.what());
      continue;
    }
    // Accepted: what closing wrote opens again alike, and is written back as it was.
    const std::string written = ReadSidecar(image.path);
    std::uint64_t again = 0;
    try {
      again = image.open();
    } catch (const sim::ImageError&) {
      fuzz::Check(false, "a sidecar written on closing is refused when opened again");
    }
    fuzz::Check(again == holding, "a sidecar written on closing names other granules with data");
    fuzz::Check(ReadSidecar(image.path) == written, "a sidecar written on closing changes when written again");
  }
  return 0;
}
