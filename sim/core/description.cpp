#include "sim/core/description.h"

#include <fstream>
#include <set>

namespace sim {

namespace {

[[noreturn]] void Fail(const std::string& field, const std::string& what) {
  throw DescriptionError("module description: field '" + field + "': " + what);
}

const nlohmann::json& Expect(const nlohmann::json& value, const std::string& field, nlohmann::json::value_t type,
                             const char* what) {
  bool ok = value.type() == type ||
            (type == nlohmann::json::value_t::number_unsigned && value.is_number_integer() && value.get<long long>() >= 0);
  if (!ok) Fail(field, std::string("expected ") + what);
  return value;
}

std::string String(const nlohmann::json& value, const std::string& field) {
  return Expect(value, field, nlohmann::json::value_t::string, "a string").get<std::string>();
}

void OnlyKnownFields(const nlohmann::json& object, const std::string& where, std::set<std::string> known) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (!known.count(it.key())) Fail(where.empty() ? it.key() : where + "." + it.key(), "unknown field");
  }
}

std::filesystem::path Resolve(const std::filesystem::path& folder, const std::string& p) {
  std::filesystem::path path(p);
  return path.is_absolute() ? path : folder / path;
}

}  // namespace

std::uint32_t JsonU32(const nlohmann::json& value, const std::string& field) {
  if (value.is_number_integer()) {
    long long v = value.get<long long>();
    if (v < 0 || v > 0xFFFFFFFFLL) Fail(field, "out of range for a 32-bit unsigned number");
    return static_cast<std::uint32_t>(v);
  }
  if (value.is_string()) {
    std::string text = value.get<std::string>();
    std::size_t used = 0;
    unsigned long long v = 0;
    try {
      v = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size() || text[0] == '-') Fail(field, "'" + text + "' is not a number");
    if (v > 0xFFFFFFFFULL) Fail(field, "out of range for a 32-bit unsigned number");
    return static_cast<std::uint32_t>(v);
  }
  Fail(field, "expected a number (an integer or a string such as \"0x00800000\")");
}

Description ParseDescription(const nlohmann::json& json, const std::filesystem::path& folder) {
  if (!json.is_object()) Fail("(top level)", "expected an object");
  OnlyKnownFields(json, "",
                  {"cpu_product", "cpu_main_id", "boot_config", "registry", "stores", "volumes", "network_shares",
                   "shift", "tick_at_start_ms", "flash", "comment"});
  Description d;
  d.folder = folder;
  d.root = folder / "root";
  d.volumes = folder / "volumes";

  if (json.contains("cpu_product") && json.contains("cpu_main_id")) {
    Fail("cpu_product", "give either cpu_product or cpu_main_id, not both");
  }
  if (json.contains("cpu_main_id")) {
    d.cpu_main_id = JsonU32(json["cpu_main_id"], "cpu_main_id");
  } else if (json.contains("cpu_product")) {
    std::uint32_t product = JsonU32(json["cpu_product"], "cpu_product");
    if (product > 63) Fail("cpu_product", "a product number is 0 to 63");
    d.cpu_main_id = Description::MainIdForProduct(product);
  } else {
    Fail("cpu_product", "missing (the processor's product number, 17 for a NOR module)");
  }

  if (json.contains("boot_config") && !json["boot_config"].is_null()) {
    const auto& boot = json["boot_config"];
    Expect(boot, "boot_config", nlohmann::json::value_t::object, "an object such as {\"item12\": \"0x00800000\"}");
    OnlyKnownFields(boot, "boot_config", {"item12"});
    if (boot.contains("item12") && !boot["item12"].is_null()) d.boot_item12 = JsonU32(boot["item12"], "boot_config.item12");
  }

  if (json.contains("registry")) {
    const auto& reg = json["registry"];
    Expect(reg, "registry", nlohmann::json::value_t::object, "an object of keys");
    for (auto key = reg.begin(); key != reg.end(); ++key) {
      std::string field = "registry." + key.key();
      Expect(key.value(), field, nlohmann::json::value_t::object, "an object of values");
      std::string path = key.key();
      for (const char* root : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
        if (path.rfind(root, 0) == 0) path = path.substr(std::string(root).size());
      }
      for (auto v = key.value().begin(); v != key.value().end(); ++v) {
        RegistryValueDescription value;
        value.key = path;
        value.name = v.key();
        if (v.value().is_string()) {
          value.text = v.value().get<std::string>();
        } else if (v.value().is_number_integer()) {
          value.is_dword = true;
          value.dword = JsonU32(v.value(), field + "." + v.key());
        } else {
          Fail(field + "." + v.key(), "expected a string or an integer");
        }
        d.registry.push_back(value);
      }
    }
  }

  if (json.contains("stores")) {
    Expect(json["stores"], "stores", nlohmann::json::value_t::array, "an array of store names such as \"DSK0:\"");
    for (std::size_t i = 0; i < json["stores"].size(); ++i) {
      d.stores.push_back(String(json["stores"][i], "stores[" + std::to_string(i) + "]"));
    }
  }

  if (json.contains("volumes")) {
    Expect(json["volumes"], "volumes", nlohmann::json::value_t::array, "an array of volumes");
    for (std::size_t i = 0; i < json["volumes"].size(); ++i) {
      const auto& v = json["volumes"][i];
      std::string field = "volumes[" + std::to_string(i) + "]";
      VolumeDescription volume;
      if (v.is_string()) {
        volume.name = v.get<std::string>();
        volume.dir = d.volumes / volume.name;
      } else if (v.is_object()) {
        OnlyKnownFields(v, field, {"name", "dir"});
        if (!v.contains("name")) Fail(field + ".name", "missing");
        volume.name = String(v["name"], field + ".name");
        volume.dir = v.contains("dir") ? Resolve(folder, String(v["dir"], field + ".dir")) : d.volumes / volume.name;
      } else {
        Fail(field, "expected a volume name or an object {\"name\": ..., \"dir\": ...}");
      }
      if (volume.name.empty() || volume.name.find_first_of("\\/:*?") != std::string::npos) {
        Fail(field, "a volume name is one folder name without \\ / : * ?");
      }
      d.volumes_at_start.push_back(volume);
    }
  }

  if (json.contains("network_shares")) {
    Expect(json["network_shares"], "network_shares", nlohmann::json::value_t::array, "an array of shares");
    for (std::size_t i = 0; i < json["network_shares"].size(); ++i) {
      const auto& s = json["network_shares"][i];
      std::string field = "network_shares[" + std::to_string(i) + "]";
      Expect(s, field, nlohmann::json::value_t::object, "an object {\"path\": ..., \"unavailable_ms\": ...}");
      OnlyKnownFields(s, field, {"path", "unavailable_ms"});
      if (!s.contains("path")) Fail(field + ".path", "missing");
      ShareDescription share;
      share.path = String(s["path"], field + ".path");
      if (share.path.empty() || share.path[0] != '\\') Fail(field + ".path", "a device path beginning with \\");
      if (s.contains("unavailable_ms")) share.unavailable_ms = JsonU32(s["unavailable_ms"], field + ".unavailable_ms");
      d.shares.push_back(share);
    }
  }

  if (json.contains("shift")) {
    Expect(json["shift"], "shift", nlohmann::json::value_t::boolean, "true or false");
    d.shift_held = json["shift"].get<bool>();
  }
  if (json.contains("tick_at_start_ms")) d.tick_at_start_ms = JsonU32(json["tick_at_start_ms"], "tick_at_start_ms");
  if (json.contains("flash") && !json["flash"].is_null()) {
    Expect(json["flash"], "flash", nlohmann::json::value_t::object, "an object");
    d.flash = json["flash"];
  }
  return d;
}

Description LoadDescription(const std::filesystem::path& folder) {
  std::filesystem::path file = folder / kDescriptionFile;
  std::ifstream in(file);
  if (!in) throw DescriptionError("module description: cannot open " + file.string());
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(in, nullptr, true, /*ignore_comments=*/true);
  } catch (const nlohmann::json::parse_error& e) {
    throw DescriptionError("module description: " + file.string() + " is not valid JSON: " + e.what());
  }
  return ParseDescription(json, std::filesystem::absolute(folder));
}

}  // namespace sim
