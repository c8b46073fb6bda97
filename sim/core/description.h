// The module description: everything the launcher reads from its surroundings, as one JSON file
// (module.json) in a module folder beside root/ (the device's "\") and volumes/.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

// A malformed description. The message names the field.
struct DescriptionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

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

struct Description {
  std::filesystem::path folder;   // the module folder; relative paths count from here
  std::filesystem::path root;     // the device's "\"
  std::filesystem::path volumes;  // default home of volume folders

  std::uint32_t cpu_main_id = 0;
  std::optional<std::uint32_t> boot_item12;  // absent: the boot configuration delivers nothing
  std::vector<RegistryValueDescription> registry;
  std::vector<std::string> stores;                  // "DSK0:"
  std::vector<VolumeDescription> volumes_at_start;  // mounted before the launcher starts
  std::vector<ShareDescription> shares;
  bool shift_held = false;
  std::uint32_t tick_at_start_ms = 0;
  nlohmann::json flash;  // null: no flash; otherwise read by the flash models

  static constexpr std::uint32_t kMainIdBase = 0x69054000;  // implementer and architecture fields
  static std::uint32_t MainIdForProduct(std::uint32_t product) { return kMainIdBase | (product & 0x3F) << 4; }
  // The processor's product number: bits 9..4 of the main ID.
  static std::uint32_t ProductOfMainId(std::uint32_t main_id) { return main_id >> 4 & 0x3F; }
};

// The file name of the description inside a module folder.
inline constexpr const char* kDescriptionFile = "module.json";

Description ParseDescription(const nlohmann::json& json, const std::filesystem::path& folder);
Description LoadDescription(const std::filesystem::path& folder);

// Reads a number given either as a JSON integer or as a string ("0x00800000", "17").
std::uint32_t JsonU32(const nlohmann::json& value, const std::string& field);

}  // namespace sim
