// kalvori module new: a module folder for the common modules, written with a commented module.json
// that `kalvori sim` runs as it stands.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace tools {

// A choice that cannot make a module (an unknown chip, a size the NOR pair cannot have, a folder
// that already holds a module). Nothing was written when it is thrown.
struct ModuleNewError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct NewModuleOptions {
  enum class Flash { kNone, kNor, kNand };
  Flash flash = Flash::kNor;
  // NOR: what each device reports, and the bytes of the whole flash (both devices), a power of two.
  std::uint16_t device_code = 0x8922;
  std::uint64_t nor_bytes = 64ull << 20;
  // NAND: the chip by its ID, and whether the operating system's flash driver signs the shared
  // map before the launcher runs.
  std::uint16_t chip = 0xF1EC;
  bool os_driver = false;
  // The processor's product number; absent: 17 for NOR, 8 otherwise.
  std::optional<std::uint32_t> cpu_product;
  bool tester = false;      // boot-configuration item 12 bit 23: serve the tester bundle
  bool flash_disk = false;  // the internal flash disk: store "DSK0:", mounted at start as \Flash Disk
  std::string card;         // not empty: a card of this name mounted at start (volumes/NAME)
};

// The text of module.json for the options, with comments. Throws ModuleNewError.
std::string NewModuleDescription(const NewModuleOptions& options);

// Writes the folder: module.json, root/Windows, and volumes/ with the flash disk's and the card's
// folders (each with empty AutoCopy and AutoRun folders). Refuses a folder that holds a module.json
// already. Throws ModuleNewError.
void WriteNewModule(const std::filesystem::path& folder, const NewModuleOptions& options);

// "64M", "128MiB", "1G", "0x4000000": bytes; throws ModuleNewError.
std::uint64_t ParseSize(const std::string& text);

}  // namespace tools
