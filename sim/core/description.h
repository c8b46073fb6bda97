// The module description: everything the launcher reads from its surroundings and the configuration
// of the module's hardware, as one JSON file (module.json) in a module folder beside root/ (the
// device's "\") and volumes/. The types here hold the description as read and checked; the one
// reader of the JSON is sim/core/config_reader.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/core/flash_config.h"

namespace sim {

// A malformed description. The message names the field.
struct DescriptionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws the DescriptionError "module description: field 'FIELD': WHAT", the form of every message
// about a field of the description (flash.faults.program_fail[0], volumes[1].dir, ...).
[[noreturn]] void FieldError(const std::string& field, const std::string& what);

struct VolumeDescription {
  std::string name;            // the mount folder without its backslash: "Storage Card"
  std::filesystem::path dir;   // the host folder behind it
};

struct ShareDescription {
  std::string path;                  // device path prefix, e.g. "\Network"
  std::uint32_t unavailable_ms = 0;  // answers "network not present" until this long after start
};

struct RegistryValueDescription {
  std::string key;   // below the local-machine root: "System\StorageManager\Profiles\MSFlash"
  std::string name;  // "Folder"
  bool is_dword = false;
  std::string text;
  std::uint32_t dword = 0;
};

// Failures of the operating system's services, asked for by the description ("os_faults").
struct OsFaultsDescription {
  // Process creation fails for an image name matching the pattern (* and ?, case ignored; a pattern
  // without a backslash is matched against the name's last part).
  struct ProgramStartFailure {
    std::string image;
    std::uint32_t error = 193;  // not a valid application
  };
  // Writes to files matching the pattern (empty: any file) fail once after_bytes have been written
  // to them in all: a write that crosses the mark writes what fits and fails.
  struct WriteFailure {
    std::string path;
    std::uint64_t after_bytes = 0;
    std::uint32_t error = 112;  // the disk is full
  };
  std::vector<ProgramStartFailure> program_start_fail;
  std::vector<WriteFailure> write_fail;
  std::optional<std::uint32_t> heap_fail_above;  // local heap allocations of more bytes fail
};

struct Description {
  std::filesystem::path folder;   // the module folder; relative paths count from here
  std::filesystem::path root;     // the device's "\"
  std::filesystem::path volumes;  // default home of volume folders
  // Folders outside the module folder that its paths may name (kalvori sim --allow-outside); not
  // part of module.json, which cannot widen its own confinement.
  std::vector<std::filesystem::path> allowed_outside;

  std::uint32_t cpu_main_id = 0;
  std::optional<std::uint32_t> boot_item12;  // absent: the boot configuration delivers nothing
  std::vector<RegistryValueDescription> registry;
  std::vector<std::string> stores;                  // "DSK0:"
  std::vector<VolumeDescription> volumes_at_start;  // mounted before the launcher starts
  std::vector<ShareDescription> shares;
  bool shift_held = false;
  std::uint32_t tick_at_start_ms = 0;
  FlashConfig flash;  // the boot flash; type kNone: none
  OsFaultsDescription os_faults;

  static constexpr std::uint32_t kMainIdBase = 0x69054000;  // implementer and architecture fields
  static std::uint32_t MainIdForProduct(std::uint32_t product) { return kMainIdBase | (product & 0x3F) << 4; }
  // The processor's product number: bits 9..4 of the main ID.
  static std::uint32_t ProductOfMainId(std::uint32_t main_id) { return main_id >> 4 & 0x3F; }
};

// The file name of the description inside a module folder.
inline constexpr const char* kDescriptionFile = "module.json";

// The message of a refusal with the file it is about: "module description FILE: field 'FIELD': WHAT".
DescriptionError NamingFile(const std::filesystem::path& file, const std::string& message);

// Reads and checks folder/module.json (sim/core/config_reader.h); DescriptionError when it cannot.
Description LoadDescription(const std::filesystem::path& folder);

}  // namespace sim
