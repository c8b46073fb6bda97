#include "tools/module_new.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/core/config_reader.h"
#include "sim/core/flash_parts.h"
#include "sim/core/text.h"
#include "sim/os/filesystem.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kNorProduct = 17;
constexpr std::uint32_t kNandProduct = 8;
constexpr const char* kFlashDisk = "Flash Disk";

std::string Quote(const std::string& text) { return nlohmann::json(text).dump(); }

std::string Hex16(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

// The NOR pair's size code for the bytes of the whole flash: each device holds half.
std::uint8_t NorSizeCode(std::uint64_t bytes) {
  for (std::uint32_t code = sim::NorLayout::kSmallestSizeCode; code <= sim::NorLayout::kLargestSizeCode; ++code) {
    if ((std::uint64_t{sim::NorLayout::kDevices} << code) == bytes) return static_cast<std::uint8_t>(code);
  }
  throw ModuleNewError("a NOR flash of two devices holds " +
                       std::to_string((std::uint64_t{sim::NorLayout::kDevices} << sim::NorLayout::kSmallestSizeCode) >> 10) +
                       " KiB to " +
                       std::to_string((std::uint64_t{sim::NorLayout::kDevices} << sim::NorLayout::kLargestSizeCode) >> 20) +
                       " MiB, a power of two; " + std::to_string(bytes) + " bytes is none of these");
}

std::string KnownChips() {
  std::string known;
  for (const sim::NandChipType& c : sim::NandChipTypes()) known += std::string(known.empty() ? "" : ", ") + c.name;
  return known;
}

void CreateFolder(const fs::path& path) {
  std::error_code error;
  fs::create_directories(path, error);
  if (error) throw ModuleNewError("cannot create " + path.string() + ": " + error.message());
}

}  // namespace

std::uint64_t ParseSize(const std::string& text) {
  std::size_t used = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || text[0] == '-') throw ModuleNewError("'" + text + "' is not a size such as 64M");
  std::string unit = text.substr(used);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  int shift = -1;
  if (unit.empty() || unit == "B") shift = 0;
  if (unit == "K" || unit == "KIB" || unit == "KB") shift = 10;
  if (unit == "M" || unit == "MIB" || unit == "MB") shift = 20;
  if (unit == "G" || unit == "GIB" || unit == "GB") shift = 30;
  if (shift < 0) throw ModuleNewError("'" + text + "': unknown unit (give K, M or G)");
  if (value > (~0ull >> shift)) throw ModuleNewError("'" + text + "' is too large");
  return value << shift;
}

std::string NewModuleDescription(const NewModuleOptions& o) {
  using Flash = NewModuleOptions::Flash;
  const std::uint32_t product = o.cpu_product.value_or(o.flash == Flash::kNor ? kNorProduct : kNandProduct);
  if (product > 63) throw ModuleNewError("a processor product number is 0 to 63");
  if (o.flash == Flash::kNor && product != kNorProduct) {
    throw ModuleNewError("NOR flash is driven only on the module whose processor reports product 17");
  }
  if (o.flash == Flash::kNand && product == kNorProduct) {
    throw ModuleNewError("product 17 is the NOR module: its flash library looks for NOR, not NAND");
  }
  if (o.tester && o.flash == Flash::kNone) {
    throw ModuleNewError("the tester flag makes the launcher read the flash: give the module a flash (--flash nor or nand)");
  }
  if (!o.card.empty()) {
    std::string problem = sim::CheckVolumeName(sim::ToUtf16(o.card));
    if (!problem.empty()) throw ModuleNewError("card name '" + o.card + "': " + problem);
    if (o.flash_disk && sim::EqualIgnoringCase(sim::ToUtf16(o.card), sim::ToUtf16(kFlashDisk))) {
      throw ModuleNewError("the card cannot be named like the flash disk");
    }
  }

  std::ostringstream j;
  j << "// A module for `kalvori sim`, written by `kalvori module new`. Comments are allowed; the README\n"
       "// lists every field (\"The module folder\", \"The flash in module.json\").\n"
       "{\n";
  j << "  // The processor's product number: 17 is the NOR module, any other carries NAND flash.\n";
  j << "  \"cpu_product\": " << product << ",\n";
  j << "\n  // Boot-configuration item 12; bit 23 (0x00800000) asks the launcher to serve the tester bundle\n"
       "  // in the flash's tester region (kalvori bundle pack). Remove the field and the query delivers nothing.\n";
  j << "  \"boot_config\": {\"item12\": \"" << (o.tester ? "0x00800000" : "0x00000000") << "\"},\n";

  j << "\n  // The boot flash.\n";
  switch (o.flash) {
    case Flash::kNone:
      j << "  \"flash\": {\"type\": \"none\"},\n";
      break;
    case Flash::kNor: {
      const std::uint8_t size_code = NorSizeCode(o.nor_bytes);
      j << "  // Two 16-bit devices side by side; each holds 2^size_code bytes (" << (o.nor_bytes >> 20)
        << " MiB in all). The image is made\n"
           "  // (sparse, erased) at the first run; its sidecar flash.img.json keeps the device code and size,\n"
           "  // and each block's program and erase counts.\n";
      j << "  \"flash\": {\"type\": \"nor\", \"image\": \"flash.img\", \"device_code\": \"" << Hex16(o.device_code)
        << "\", \"size_code\": " << int{size_code} << "},\n";
      break;
    }
    case Flash::kNand: {
      const sim::NandChipType* chip = sim::FindNandChip(o.chip);
      if (!chip) throw ModuleNewError(Hex16(o.chip) + " is not a modelled chip (" + KnownChips() + ")");
      const std::uint64_t bytes = std::uint64_t{chip->flash_block_bytes()} * chip->flash_blocks();
      j << "  // NAND chip " << chip->name << ": " << (bytes >> 20) << " MiB in " << chip->flash_blocks()
        << " blocks of " << (chip->flash_block_bytes() >> 10) << " KiB, pages of " << chip->page_bytes
        << " bytes.\n"
           "  // The image (each page followed by its spare bytes) is made at the first run as the factory\n"
           "  // delivers a chip, with an empty bad-block table in block 0. factory_bad_blocks lists blocks\n"
           "  // bad from the factory; \"faults\" (kalvori flash inject) makes blocks fail later.\n";
      j << "  // os_driver: " << (o.os_driver ? "the operating system's flash driver builds and signs the shared map\n"
                                                "  // NAND_FLASH_BBMT before the launcher starts, as on the module.\n"
                                              : "false: the launcher finds no shared map and builds it itself from\n"
                                                "  // the table; true: the operating system's flash driver signs it first.\n");
      j << "  \"flash\": {\"type\": \"nand\", \"chip\": \"" << chip->name
        << "\", \"image\": \"nand.img\", \"factory_bad_blocks\": [], \"os_driver\": "
        << (o.os_driver ? "true" : "false") << "},\n";
      break;
    }
  }

  j << "\n  // The registry values the launcher reads: the folder of the internal flash disk.\n";
  if (o.flash_disk) {
    j << "  \"registry\": {\"HKLM\\\\System\\\\StorageManager\\\\Profiles\\\\MSFlash\": {\"Folder\": \"\\\\" << kFlashDisk
      << "\"}},\n";
    j << "  // The launcher serves the flash disk only when the store DSK0: is present.\n";
    j << "  \"stores\": [\"DSK0:\"],\n";
  } else {
    j << "  \"registry\": {},\n";
    j << "  // Stores present; with \"DSK0:\" (and the registry's Folder) the internal flash disk is served.\n";
    j << "  \"stores\": [],\n";
  }

  j << "\n  // Volumes mounted at start, each a folder of volumes/ (or {\"name\": ..., \"dir\": ...}). Later\n"
       "  // mounts come from a script: kalvori sim DIR --script FILE, with lines such as mount \"Storage Card\".\n";
  std::vector<std::string> volumes;
  if (o.flash_disk) volumes.push_back(Quote(kFlashDisk));
  if (!o.card.empty()) volumes.push_back(Quote(o.card));
  j << "  \"volumes\": [";
  for (std::size_t i = 0; i < volumes.size(); ++i) j << (i ? ", " : "") << volumes[i];
  j << "],\n";

  j << "\n  // Device paths below \"path\" answer \"network not present\" until unavailable_ms after start.\n";
  j << "  \"network_shares\": [],\n";
  j << "\n  // true: Shift is held from power-on, and the launcher skips every volume.\n";
  j << "  \"shift\": false\n";
  j << "}\n";

  // What we wrote must be what the reader takes.
  nlohmann::json parsed = nlohmann::json::parse(j.str(), nullptr, true, /*ignore_comments=*/true);
  sim::ParseDescription(parsed, fs::path("/nonexistent-module-folder"));
  return j.str();
}

void WriteNewModule(const fs::path& folder, const NewModuleOptions& options) {
  std::string text = NewModuleDescription(options);
  std::error_code error;
  if (fs::exists(folder / sim::kDescriptionFile, error)) {
    throw ModuleNewError((folder / sim::kDescriptionFile).string() + " exists already; nothing was written");
  }
  if (fs::exists(folder, error) && !fs::is_directory(folder, error)) {
    throw ModuleNewError(folder.string() + " is not a folder");
  }
  CreateFolder(folder / "root" / "Windows");
  CreateFolder(folder / "volumes");
  auto volume = [&](const std::string& name) {
    CreateFolder(folder / "volumes" / name / "AutoCopy");
    CreateFolder(folder / "volumes" / name / "AutoRun");
  };
  if (options.flash_disk) volume(kFlashDisk);
  if (!options.card.empty()) volume(options.card);
  std::ofstream out(folder / sim::kDescriptionFile, std::ios::binary);
  out << text;
  out.close();
  if (!out) throw ModuleNewError("cannot write " + (folder / sim::kDescriptionFile).string());
}

}  // namespace tools
