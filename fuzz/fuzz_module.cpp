#include "fuzz/fuzz_module.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "fuzz/fuzz_support.h"
#include "sim/core/config_reader.h"
#include "sim/hw/nor_flash.h"
#include "sim/services.h"
#include "tester/tester.h"

namespace fuzz {

namespace fs = std::filesystem;

namespace {

// The folders made so far: a target keeps its module for the life of the process and never destroys
// it, so its folder is removed when the process exits.
std::vector<fs::path>& MadeFolders() {
  static auto* folders = new std::vector<fs::path>;
  return *folders;
}

void RemoveMadeFolders() {
  std::error_code ignored;
  for (const fs::path& folder : MadeFolders()) fs::remove_all(folder, ignored);
}

}  // namespace

ModuleFolder::ModuleFolder(const char* name)
    : path_(fs::temp_directory_path() / ("kalvori-fuzz-" + std::string(name) + "-" + std::to_string(::getpid()))) {
  static const bool registered = std::atexit(RemoveMadeFolders) == 0;
  if (registered) MadeFolders().push_back(path_);
  fs::remove_all(path_);
  fs::create_directories(path_ / "root");
  fs::create_directories(path_ / "volumes");
}

ModuleFolder::~ModuleFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

sim::Description ModuleFolder::Describe(std::uint32_t cpu_product) const {
  sim::Description d;
  d.folder = path_;
  d.root = path_ / "root";
  d.volumes = path_ / "volumes";
  d.cpu_main_id = sim::Description::MainIdForProduct(cpu_product);
  return d;
}

ReusedModule::ReusedModule(const char* name, std::uint32_t cpu_product, const nlohmann::json& flash,
                           std::optional<std::uint32_t> boot_item12, std::vector<sim::ShareDescription> shares)
    : folder_(name) {
  sim::Description d = folder_.Describe(cpu_product);
  d.shares = std::move(shares);
  d.flash = sim::ReadFlashConfig(flash, folder_.path());
  d.boot_item12 = boot_item12;
  d.os_faults.heap_fail_above = kFuzzHeapLimit;
  module_ = std::make_unique<sim::Module>(d);
  nand_ = module_->FindDevice<sim::NandController>();
  if (nand_) TakeNandBaseline();
}

void ReusedModule::Begin() {
  module_->StartLauncherProcess();
  module_->ForgetOutput();
  module_->shared_memory().Clear();
  module_->os().processes.ForgetLaunches();
  module_->os().activity = {};
  module_->os().keyboard = sim::Keyboard{};
  if (nand_) RestoreNand();
}

void ReusedModule::ClearRoot() {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder_.path() / "root", ignored)) fs::remove_all(entry.path(), ignored);
}

void PlaceInTesterRegion(ReusedModule& reused, std::span<const std::uint8_t> bytes) {
  // Made once: a fresh region-sized buffer for every input cost more than the input's own run.
  static const std::vector<std::uint8_t> erased(TESTER_REGION_LENGTH, 0xFF);
  const std::size_t placed = std::min<std::size_t>(bytes.size(), TESTER_REGION_LENGTH);
  if (auto* nor = reused.module().FindDevice<sim::NorFlash>()) {
    nor->Poke(TESTER_REGION_OFFSET, bytes.first(placed));
    nor->Poke(TESTER_REGION_OFFSET + static_cast<std::uint32_t>(placed),
              std::span<const std::uint8_t>(erased).subspan(placed));
    return;
  }
  sim::NandController* nand = reused.module().FindDevice<sim::NandController>();
  Check(nand != nullptr, "a module without flash has no tester region");
  // A fresh table maps every block to itself: the region's blocks are its own.
  const std::uint32_t block_bytes = nand->FlashBlockBytes();
  for (std::uint32_t at = TESTER_REGION_OFFSET; at < TESTER_REGION_OFFSET + TESTER_REGION_LENGTH; at += block_bytes) {
    nand->EraseFlashBlock(at / block_bytes);
  }
  // Erased pages need no programming: only the pages the input reaches are written, the last one
  // filled out with erased bytes.
  if (placed == 0) return;
  const std::uint32_t page = nand->chip().page_bytes;
  std::vector<std::uint8_t> pages((placed + page - 1) / page * page, 0xFF);
  std::copy_n(bytes.begin(), placed, pages.begin());
  nand->ProgramFlash(TESTER_REGION_OFFSET, pages, /*ecc=*/true);
}

void WriteHostFile(const std::filesystem::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void ReusedModule::TakeNandBaseline() {
  const sim::NandChipType& chip = nand_->chip();
  const sim::NandImage::Layout& layout = nand_->image().layout();
  for (std::uint32_t region = 0; region < layout.regions.size(); ++region) {
    const sim::NandImage::Region& r = layout.regions[region];
    for (std::uint32_t block = 0; block < chip.blocks; ++block) {
      NandBlock b;
      b.ref = {r.chip_select, r.device, block};
      b.counters = nand_->Counters(b.ref);
      if (nand_->image().IsMaterialised(region, block)) {
        for (std::uint32_t page = 0; page < chip.pages_per_block; ++page) {
          b.pages.push_back(nand_->RawReadPage(r.chip_select, r.device, block * chip.pages_per_block + page));
        }
      }
      nand_blocks_.push_back(std::move(b));
    }
  }
}

void ReusedModule::RestoreNand() {
  const std::uint32_t pages_per_block = nand_->chip().pages_per_block;
  for (NandBlock& b : nand_blocks_) {
    sim::NandBlockCounters now = nand_->Counters(b.ref);
    if (now.programs == b.counters.programs && now.erases == b.counters.erases) continue;
    nand_->RawEraseBlock(b.ref);
    for (std::uint32_t page = 0; page < b.pages.size(); ++page) {
      nand_->RawProgramPage(b.ref.chip_select, b.ref.device, b.ref.block * pages_per_block + page, b.pages[page]);
    }
    b.counters = now;
  }
}

}  // namespace fuzz
