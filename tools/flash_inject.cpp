#include "tools/flash_inject.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "sim/core/config_reader.h"
#include "sim/core/description.h"
#include "sim/core/host_paths.h"
#include "tools/flash_inspect.h"

namespace tools {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// Walks JSON text with comments, as the reader takes it.
struct Scanner {
  const std::string& text;
  std::size_t at = 0;

  bool End() const { return at >= text.size(); }
  void Skip() {
    while (!End()) {
      if (std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
      } else if (text.compare(at, 2, "//") == 0) {
        at = std::min(text.find('\n', at), text.size());
      } else if (text.compare(at, 2, "/*") == 0) {
        std::size_t close = text.find("*/", at + 2);
        at = close == std::string::npos ? text.size() : close + 2;
      } else {
        break;
      }
    }
  }
  bool String(std::string* raw) {
    if (End() || text[at] != '"') return false;
    std::string out;
    for (++at; !End() && text[at] != '"'; ++at) {
      if (text[at] == '\\' && at + 1 < text.size()) out += text[at++];
      out += text[at];
    }
    if (End()) return false;
    ++at;
    if (raw) *raw = out;
    return true;
  }
  bool Value() {
    Skip();
    if (End()) return false;
    if (text[at] == '"') return String(nullptr);
    if (text[at] == '{' || text[at] == '[') {
      int depth = 0;
      while (!End()) {
        Skip();
        if (End()) break;
        char c = text[at];
        if (c == '"') {
          if (!String(nullptr)) return false;
          continue;
        }
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') {
          if (--depth == 0) {
            ++at;
            return true;
          }
        }
        ++at;
      }
      return false;
    }
    std::size_t start = at;
    while (!End() && !std::isspace(static_cast<unsigned char>(text[at])) && std::strchr(",}]/", text[at]) == nullptr) ++at;
    return at > start;
  }
};

// The value on one line, as kalvori module new writes the flash object: {"a": 1, "b": [2, 3]}.
std::string OneLine(const Json& value) {
  if (value.is_object()) {
    std::string out = "{";
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (it != value.begin()) out += ", ";
      out += Json(it.key()).dump() + ": " + OneLine(it.value());
    }
    return out + "}";
  }
  if (value.is_array()) {
    std::string out = "[";
    for (std::size_t i = 0; i < value.size(); ++i) out += (i ? ", " : "") + OneLine(value[i]);
    return out + "]";
  }
  return value.dump();
}

std::uint32_t Number(const std::string& text, const std::string& what) {
  try {
    return sim::JsonU32(Json(text), what);
  } catch (const sim::DescriptionError&) {
    throw FlashInspectError(what + " '" + text + "' is not a number such as 158 or 0x9E");
  }
}

// BLOCK[:A[:B]] split at the colons.
std::vector<std::string> Parts(const std::string& text, std::size_t most, const std::string& option) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() > most) throw FlashInspectError(option + " " + text + ": too many parts");
  return parts;
}

void Append(Json& faults, const char* list, const Json& entry) {
  Json& l = faults[list];
  if (!l.is_array()) l = Json::array();
  for (const Json& e : l) {
    if (e == entry) return;
  }
  l.push_back(entry);
}

}  // namespace

std::optional<std::pair<std::size_t, std::size_t>> FindTopLevelValue(const std::string& text, const std::string& name) {
  Scanner s{text};
  s.Skip();
  if (s.End() || text[s.at] != '{') return std::nullopt;
  ++s.at;
  for (;;) {
    s.Skip();
    if (s.End() || text[s.at] == '}') return std::nullopt;
    std::string key;
    if (!s.String(&key)) return std::nullopt;
    s.Skip();
    if (s.End() || text[s.at] != ':') return std::nullopt;
    ++s.at;
    s.Skip();
    std::size_t start = s.at;
    if (!s.Value()) return std::nullopt;
    if (key == name) return std::make_pair(start, s.at);
    s.Skip();
    if (!s.End() && text[s.at] == ',') ++s.at;
  }
}

std::vector<std::string> InjectFaults(const fs::path& module_folder, const InjectRequest& request) {
  const sim::HostPaths paths(module_folder, {});
  sim::HostEntry file = paths.Open(sim::kDescriptionFile, sim::EntryKind::kFile, O_RDONLY);
  if (!file) throw FlashInspectError(paths.Explain(sim::kDescriptionFile, file.error));
  std::string text;
  if (int error = sim::ReadToEnd(file.fd.get(), text); error != 0) {
    throw FlashInspectError(std::string("cannot read module.json: ") + std::strerror(error));
  }
  // The text is checked first by the one reader of module.json, which names the field of a bad value
  // and refuses one nested without end; it is then read again keeping the user's order of keys.
  const fs::path description = module_folder / sim::kDescriptionFile;
  try {
    sim::ReadDescriptionText(text);
  } catch (const sim::DescriptionError& e) {
    throw sim::NamingFile(description, e.what());
  }
  Json doc = Json::parse(text, nullptr, true, /*ignore_comments=*/true);
  if (!doc.is_object() || !doc.contains("flash") || !doc["flash"].is_object() ||
      doc["flash"].value("type", std::string("none")) == "none") {
    throw FlashInspectError("the module in '" + module_folder.string() + "' has no flash (its module.json has no " +
                            "\"flash\" object)");
  }
  Json& flash = doc["flash"];
  const bool nand = flash.value("type", std::string()) == "nand";
  std::vector<std::string> done;
  if (request.clear && flash.contains("faults")) {
    flash.erase("faults");
    done.push_back("every flash fault removed");
  }
  Json faults = flash.contains("faults") ? flash["faults"] : Json::object();

  for (const std::string& b : request.bad_blocks) {
    std::uint32_t block = Number(b, "--bad-block");
    Append(faults, "program_fail", block);
    Append(faults, "erase_fail", block);
    done.push_back("block " + std::to_string(block) + " goes bad: its programs and erases fail from now on");
  }
  for (int kind = 0; kind < 2; ++kind) {
    const char* list = kind == 0 ? "program_fail" : "erase_fail";
    const std::string option = kind == 0 ? "--program-fail" : "--erase-fail";
    for (const std::string& given : kind == 0 ? request.program_fail : request.erase_fail) {
      std::vector<std::string> p = Parts(given, 2, option);
      std::uint32_t block = Number(p[0], option);
      Json entry = block;
      std::string what = std::string(kind == 0 ? "programs" : "erases") + " of block " + std::to_string(block) + " fail";
      if (p.size() == 2) {
        std::uint32_t after = Number(p[1], option);
        entry = Json{{"block", block}, {"after", after}};
        what += " after " + std::to_string(after) + " more succeed";
      }
      Append(faults, list, entry);
      done.push_back(what);
    }
  }
  for (const std::string& given : request.bit_flips) {
    if (!nand) throw FlashInspectError("--bit-flip: only NAND pages show flipped bits");
    std::vector<std::string> p = Parts(given, 3, "--bit-flip");
    Json entry = {{"block", Number(p[0], "--bit-flip")}};
    std::string what = "reads of block " + p[0];
    if (p.size() >= 2 && !p[1].empty()) {
      entry["page"] = Number(p[1], "--bit-flip");
      what += " page " + p[1];
    }
    if (p.size() == 3) entry["bits_per_256"] = Number(p[2], "--bit-flip");
    Append(faults, "bit_flips", entry);
    done.push_back(what + " show flipped bits");
  }
  if (request.power_cut) {
    std::vector<std::string> p = Parts(*request.power_cut, 4, "--power-cut");
    Json cut = {{"at", Number(p[0], "--power-cut")}};
    if (p.size() >= 2) cut["op"] = p[1];
    if (p.size() >= 3) cut["tear"] = p[2];
    if (p.size() == 4) cut["seed"] = Number(p[3], "--power-cut");
    faults["power_cut"] = cut;
    done.push_back("the power fails during " + (p.size() >= 2 ? p[1] : std::string("program or erase")) + " number " +
                   p[0] + " after power-on" + (p.size() >= 3 ? ", leaving it torn (" + p[2] + ")" : std::string()));
  }
  if (faults.empty()) {
    flash.erase("faults");
  } else {
    flash["faults"] = faults;
  }
  if (done.empty()) throw FlashInspectError("nothing to inject: give --bad-block, --program-fail, --erase-fail, " +
                                           std::string("--bit-flip, --power-cut or --clear"));

  // Only the flash member's text changes; the reader must take the result.
  std::optional<std::pair<std::size_t, std::size_t>> place = FindTopLevelValue(text, "flash");
  if (!place) throw FlashInspectError("cannot find the \"flash\" member in module.json's text");
  const std::string edited = text.substr(0, place->first) + OneLine(flash) + text.substr(place->second);
  try {
    sim::ParseDescription(sim::ReadDescriptionText(edited), fs::absolute(module_folder));
  } catch (const sim::DescriptionError& e) {
    throw sim::NamingFile(description, e.what());
  }
  if (sim::HostError error = paths.Replace(sim::kDescriptionFile, edited); error != sim::HostError::kNone) {
    throw std::runtime_error("cannot write module.json: " + paths.Explain(sim::kDescriptionFile, error));
  }
  return done;
}

}  // namespace tools
