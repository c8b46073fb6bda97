#include "sim/core/config_reader.h"

#include <algorithm>
#include <initializer_list>
#include <string>

#include "sim/core/text.h"

namespace sim {

namespace {

using Json = nlohmann::json;

const Json& Expect(const Json& value, const std::string& field, Json::value_t type, const char* what) {
  bool ok = value.type() == type ||
            (type == Json::value_t::number_unsigned && value.is_number_integer() && value.get<long long>() >= 0);
  if (!ok) FieldError(field, std::string("expected ") + what);
  return value;
}

std::string String(const Json& value, const std::string& field) {
  return Expect(value, field, Json::value_t::string, "a string").get<std::string>();
}

bool Bool(const Json& value, const std::string& field) {
  return Expect(value, field, Json::value_t::boolean, "true or false").get<bool>();
}

const Json& Array(const Json& value, const std::string& field, const char* what = "an array") {
  return Expect(value, field, Json::value_t::array, what);
}

const Json& Object(const Json& value, const std::string& field, const char* what = "an object") {
  return Expect(value, field, Json::value_t::object, what);
}

std::string Joined(std::initializer_list<const char*> names) {
  std::string text;
  for (const char* name : names) text += std::string(text.empty() ? "" : ", ") + name;
  return text;
}

// The one unknown-field check: where is the object's own field name ("" at the top level).
void OnlyKnownFields(const Json& object, const std::string& where, std::initializer_list<const char*> known) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (std::none_of(known.begin(), known.end(), [&](const char* k) { return it.key() == k; })) {
      FieldError(where.empty() ? it.key() : where + "." + it.key(), "unknown field (known: " + Joined(known) + ")");
    }
  }
}

// object[key] as a number in [low, high], or fallback when absent.
std::uint32_t NumberIn(const Json& object, const std::string& where, const char* key, std::uint32_t fallback,
                       std::uint32_t low, std::uint32_t high) {
  if (!object.contains(key)) return fallback;
  std::string field = where + "." + key;
  std::uint32_t v = JsonU32(object[key], field);
  if (v < low || v > high) FieldError(field, "must lie in " + std::to_string(low) + " to " + std::to_string(high));
  return v;
}

std::string Element(const std::string& field, std::size_t i) { return field + "[" + std::to_string(i) + "]"; }

std::filesystem::path Resolve(const std::filesystem::path& folder, const std::string& p) {
  std::filesystem::path path(p);
  return path.is_absolute() ? path : folder / path;
}

std::filesystem::path ImagePath(const Json& flash, const std::filesystem::path& folder) {
  if (!flash.contains("image")) return {};
  const Json& image = flash["image"];
  if (!image.is_string() || image.get<std::string>().empty()) {
    FieldError("flash.image", "expected the name of the image file, such as \"flash.img\"");
  }
  return Resolve(folder, image.get<std::string>());
}

std::string BeyondBlocks(std::uint32_t block, std::size_t blocks) {
  return "block " + std::to_string(block) + " beyond the flash's " + std::to_string(blocks) + " blocks";
}

std::string BeyondBytes(std::uint32_t bytes) { return "beyond the flash's " + Hex(bytes) + " bytes"; }

// --- failures, in the vocabulary both flash models share ---

// Where a failure lies: a block of the flash or the block that holds an offset, and "after".
struct FailurePlace {
  const Json* device_fields = nullptr;  // the object, when it names chip select or device (NAND)
  bool by_offset = false;
  std::uint32_t value = 0;  // block or offset
  std::uint32_t after = 0;
};

// extra: the fields an object form may also hold (NAND: chip_select and device).
FailurePlace ReadFailurePlace(const Json& item, const std::string& at, std::initializer_list<const char*> known) {
  FailurePlace place;
  if (!item.is_object()) {
    place.value = JsonU32(item, at);
    return place;
  }
  OnlyKnownFields(item, at, known);
  if (item.contains("block") == item.contains("offset")) {
    FieldError(at, "give either \"block\" or \"offset\", such as {\"block\": 57, \"after\": 2}");
  }
  place.by_offset = item.contains("offset");
  place.value = JsonU32(item[place.by_offset ? "offset" : "block"], at + (place.by_offset ? ".offset" : ".block"));
  place.after = NumberIn(item, at, "after", 0, 0, 0xFFFFFFFF);
  if (item.contains("chip_select") || item.contains("device")) place.device_fields = &item;
  return place;
}

// --- NOR ---

std::uint32_t NorOffset(const FailurePlace& place, const NorLayout& layout, const std::string& at) {
  if (place.by_offset) {
    if (place.value >= layout.bus_bytes()) FieldError(at + ".offset", BeyondBytes(layout.bus_bytes()));
    return place.value;
  }
  if (place.value >= layout.BlockCount()) FieldError(at, BeyondBlocks(place.value, layout.BlockCount()));
  return layout.BlockNumber(place.value).offset;
}

void ReadNorFailures(const Json& list, const std::string& field, const NorLayout& layout,
                     std::vector<NorBlockFailure>& out) {
  Array(list, field, "an array of blocks, such as [57, {\"offset\": \"0x13C0000\", \"after\": 2}]");
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::string at = Element(field, i);
    FailurePlace place = ReadFailurePlace(list[i], at, {"block", "offset", "after"});
    out.push_back({NorOffset(place, layout, at), place.after});
  }
}

// A list of flash offsets ("stays_locked" and the older "program_fails", "erase_fails").
std::vector<std::uint32_t> ReadNorOffsets(const Json& list, const std::string& field, const NorLayout& layout) {
  Array(list, field, "an array of flash offsets, such as [\"0x13C0000\"]");
  std::vector<std::uint32_t> offsets;
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::string at = Element(field, i);
    std::uint32_t offset = JsonU32(list[i], at);
    if (offset >= layout.bus_bytes()) FieldError(at, BeyondBytes(layout.bus_bytes()));
    offsets.push_back(offset);
  }
  return offsets;
}

// How a power cut leaves the operation it cuts: "tear" ("bits" or "half") and "seed".
Tear ReadTear(const Json& cut, const std::string& where) {
  Tear tear;
  if (cut.contains("tear")) {
    std::optional<TearShape> shape = cut["tear"].is_string() ? TearShapeNamed(cut["tear"].get<std::string>()) : std::nullopt;
    if (!shape) FieldError(where + ".tear", "expected \"bits\" or \"half\"");
    tear.shape = *shape;
  }
  tear.seed = NumberIn(cut, where, "seed", 0, 0, 0xFFFFFFFF);
  return tear;
}

// "power_cut": the at-th operation of the kind "op" names (one of ops) is cut, as "tear" says. The
// NOR and NAND models count different kinds of operation; the field reads the same.
template <typename Cut, typename Op>
Cut ReadPowerCut(const Json& faults, std::initializer_list<std::pair<const char*, Op>> ops) {
  const std::string where = "flash.faults.power_cut";
  const Json& v = Object(faults["power_cut"], where, "an object with \"at\"");
  OnlyKnownFields(v, where, {"at", "op", "tear", "seed"});
  if (!v.contains("at")) FieldError(where + ".at", "missing");
  Cut cut;
  cut.at = NumberIn(v, where, "at", 1, 1, 0xFFFFFFFF);
  if (v.contains("op")) {
    const std::string op = v["op"].is_string() ? v["op"].get<std::string>() : "";
    auto named = std::find_if(ops.begin(), ops.end(), [&](const auto& o) { return op == o.first; });
    if (named == ops.end()) {
      std::string expected = "expected ";
      for (auto o = ops.begin(); o != ops.end(); ++o) {
        if (o != ops.begin()) expected += o + 1 == ops.end() ? " or " : ", ";
        expected += std::string("\"") + o->first + "\"";
      }
      FieldError(where + ".op", expected);
    }
    cut.op = named->second;
  }
  cut.tear = ReadTear(v, where);
  return cut;
}

NorFlashConfig ReadNor(const Json& flash, const std::filesystem::path& folder) {
  OnlyKnownFields(flash, "flash", {"type", "image", "device_code", "size_code", "faults", "comment"});
  NorFlashConfig config;
  config.image = ImagePath(flash, folder);
  if (flash.contains("device_code")) {
    std::uint32_t code = JsonU32(flash["device_code"], "flash.device_code");
    if (code > 0xFFFF) FieldError("flash.device_code", "a device code is 16 bits, such as \"0x8922\"");
    config.device_code = static_cast<std::uint16_t>(code);
  }
  if (flash.contains("size_code")) {
    std::uint32_t code = JsonU32(flash["size_code"], "flash.size_code");
    if (code < NorLayout::kSmallestSizeCode || code > NorLayout::kLargestSizeCode) {
      FieldError("flash.size_code", "each device holds 2^size_code bytes; give " +
                                        std::to_string(NorLayout::kSmallestSizeCode) + " to " +
                                        std::to_string(NorLayout::kLargestSizeCode) + " (25: 64 MiB on the bus)");
    }
    config.size_code = static_cast<std::uint8_t>(code);
  }
  if (!flash.contains("faults")) return config;

  const NorLayout layout(config.device_code, config.size_code);
  const Json& faults = Object(flash["faults"], "flash.faults");
  OnlyKnownFields(faults, "flash.faults",
                  {"program_fail", "erase_fail", "stays_locked", "never_ready", "manufacturer", "program_fails",
                   "erase_fails", "power_cut"});
  NorFlashFaults& f = config.faults;
  if (faults.contains("program_fail")) {
    ReadNorFailures(faults["program_fail"], "flash.faults.program_fail", layout, f.program_fail);
  }
  if (faults.contains("erase_fail")) {
    ReadNorFailures(faults["erase_fail"], "flash.faults.erase_fail", layout, f.erase_fail);
  }
  // The older spellings: offsets, failing from the start.
  if (faults.contains("program_fails")) {
    for (std::uint32_t offset : ReadNorOffsets(faults["program_fails"], "flash.faults.program_fails", layout)) {
      f.program_fail.push_back({offset, 0});
    }
  }
  if (faults.contains("erase_fails")) {
    for (std::uint32_t offset : ReadNorOffsets(faults["erase_fails"], "flash.faults.erase_fails", layout)) {
      f.erase_fail.push_back({offset, 0});
    }
  }
  if (faults.contains("stays_locked")) {
    f.stays_locked = ReadNorOffsets(faults["stays_locked"], "flash.faults.stays_locked", layout);
  }
  if (faults.contains("never_ready")) f.never_ready = Bool(faults["never_ready"], "flash.faults.never_ready");
  if (faults.contains("manufacturer")) {
    std::uint32_t code = JsonU32(faults["manufacturer"], "flash.faults.manufacturer");
    if (code > 0xFFFF) FieldError("flash.faults.manufacturer", "a manufacturer code is 16 bits");
    f.manufacturer = static_cast<int>(code);
  }
  if (faults.contains("power_cut")) {
    using Op = NorFlashFaults::PowerCutAt::Op;
    f.power_cut = ReadPowerCut<NorFlashFaults::PowerCutAt, Op>(
        faults, {{"program", Op::kProgram}, {"erase", Op::kErase}, {"any", Op::kAny}, {"write", Op::kWrite}});
  }
  return config;
}

// --- NAND ---

// A block as a number (of the flash as the driver counts them) or an object naming one device's
// block; the device blocks it stands for.
std::vector<NandBlockRef> ReadNandBlock(const Json& value, const std::string& field, const NandChipType& chip) {
  if (!value.is_object()) {
    std::uint32_t block = JsonU32(value, field);
    if (block >= chip.flash_blocks()) FieldError(field, BeyondBlocks(block, chip.flash_blocks()));
    return NandFlashBlockRefs(chip, block);
  }
  if (!value.contains("block")) FieldError(field + ".block", "missing");
  if (!value.contains("chip_select") && !value.contains("device")) {
    return ReadNandBlock(value["block"], field + ".block", chip);
  }
  std::uint32_t cs = NumberIn(value, field, "chip_select", 0, 0, chip.chip_selects - 1);
  std::uint32_t block = NumberIn(value, field, "block", 0, 0, chip.blocks - 1);
  if (value.contains("device")) return {{cs, NumberIn(value, field, "device", 0, 0, chip.lanes - 1), block}};
  std::vector<NandBlockRef> refs;
  for (std::uint32_t lane = 0; lane < chip.lanes; ++lane) refs.push_back({cs, lane, block});
  return refs;
}

void ReadNandFailures(const Json& list, const std::string& field, const NandChipType& chip,
                      std::vector<NandFaultPlan::BlockFailure>& out) {
  Array(list, field, "an array of blocks, such as [57, {\"block\": 9, \"after\": 2}]");
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::string at = Element(field, i);
    FailurePlace place = ReadFailurePlace(list[i], at, {"block", "offset", "chip_select", "device", "after"});
    std::vector<NandBlockRef> refs;
    if (place.by_offset) {
      if (place.device_fields) FieldError(at, "an offset names a block of the flash; give \"block\" with a device");
      std::uint64_t bytes = std::uint64_t{chip.flash_block_bytes()} * chip.flash_blocks();
      if (place.value >= bytes) FieldError(at + ".offset", BeyondBytes(static_cast<std::uint32_t>(bytes)));
      refs = NandFlashBlockRefs(chip, place.value / chip.flash_block_bytes());
    } else {
      refs = ReadNandBlock(list[i], at, chip);
    }
    for (const NandBlockRef& ref : refs) out.push_back({ref, place.after});
  }
}

constexpr std::uint32_t kMaxBusyStatusReads = 1'000'000;

NandConfig ReadNand(const Json& flash, const std::filesystem::path& folder) {
  OnlyKnownFields(flash, "flash",
                  {"type", "chip", "image", "factory_bad_blocks", "busy_status_reads", "clock_mhz", "command_log_limit",
                   "faults", "os_driver", "comment"});
  NandConfig config;
  if (!flash.contains("chip")) FieldError("flash.chip", "missing: name the chip by its ID, e.g. \"0xF1EC\"");
  std::uint32_t id = JsonU32(flash["chip"], "flash.chip");
  config.chip = id <= 0xFFFF ? FindNandChip(static_cast<std::uint16_t>(id)) : nullptr;
  if (!config.chip) {
    std::string known;
    for (const NandChipType& c : NandChipTypes()) known += std::string(known.empty() ? "" : ", ") + c.name;
    FieldError("flash.chip", Hex(id) + " is not a modelled chip (" + known + ")");
  }
  const NandChipType& chip = *config.chip;
  config.image = ImagePath(flash, folder);
  if (flash.contains("factory_bad_blocks")) {
    const Json& list = Array(flash["factory_bad_blocks"], "flash.factory_bad_blocks");
    for (std::size_t i = 0; i < list.size(); ++i) {
      std::string at = Element("flash.factory_bad_blocks", i);
      if (list[i].is_object()) OnlyKnownFields(list[i], at, {"block", "chip_select", "device"});
      for (const NandBlockRef& ref : ReadNandBlock(list[i], at, chip)) config.factory_bad_blocks.push_back(ref);
    }
  }
  config.busy_status_reads = NumberIn(flash, "flash", "busy_status_reads", 2, 0, kMaxBusyStatusReads);
  config.clock_mhz = NumberIn(flash, "flash", "clock_mhz", 0, 1, 1000);
  config.command_log_limit = NumberIn(flash, "flash", "command_log_limit", 4096, 1, 10'000'000);

  if (!flash.contains("faults")) return config;
  const Json& faults = Object(flash["faults"], "flash.faults");
  OnlyKnownFields(faults, "flash.faults", {"program_fail", "erase_fail", "bit_flips", "status_never", "id", "power_cut"});
  NandFaultPlan& plan = config.faults;
  if (faults.contains("program_fail")) {
    ReadNandFailures(faults["program_fail"], "flash.faults.program_fail", chip, plan.program_fail);
  }
  if (faults.contains("erase_fail")) {
    ReadNandFailures(faults["erase_fail"], "flash.faults.erase_fail", chip, plan.erase_fail);
  }
  if (faults.contains("bit_flips")) {
    const Json& list = Array(faults["bit_flips"], "flash.faults.bit_flips");
    for (std::size_t i = 0; i < list.size(); ++i) {
      std::string at = Element("flash.faults.bit_flips", i);
      Object(list[i], at, "an object with \"block\"");
      OnlyKnownFields(list[i], at, {"block", "chip_select", "device", "page", "bits_per_256", "seed"});
      NandFaultPlan::BitFlips flips;
      if (list[i].contains("page")) flips.page = NumberIn(list[i], at, "page", 0, 0, chip.pages_per_block - 1);
      flips.bits_per_256 = NumberIn(list[i], at, "bits_per_256", 1, 1, 2048);
      flips.seed = NumberIn(list[i], at, "seed", 0, 0, 0xFFFFFFFF);
      for (const NandBlockRef& ref : ReadNandBlock(list[i], at, chip)) {
        flips.block = ref;
        plan.bit_flips.push_back(flips);
      }
    }
  }
  if (faults.contains("status_never")) plan.status_never = JsonU32(faults["status_never"], "flash.faults.status_never");
  if (faults.contains("id")) {
    const Json& v = faults["id"];
    std::vector<std::uint8_t> bytes;
    if (v.is_array()) {
      if (v.empty() || v.size() > 8) FieldError("flash.faults.id", "give 1 to 8 ID bytes");
      for (std::size_t i = 0; i < v.size(); ++i) {
        std::string at = Element("flash.faults.id", i);
        std::uint32_t b = JsonU32(v[i], at);
        if (b > 0xFF) FieldError(at, "an ID byte is 0 to 0xFF");
        bytes.push_back(static_cast<std::uint8_t>(b));
      }
    } else {
      std::uint32_t word = JsonU32(v, "flash.faults.id");
      if (word > 0xFFFF) FieldError("flash.faults.id", "an ID is 16 bits (maker code in the low byte), or give an array");
      bytes = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)};
    }
    plan.id = bytes;
  }
  if (faults.contains("power_cut")) {
    plan.power_cut = ReadPowerCut<NandFaultPlan::PowerCutAt, NandOperation>(
        faults, {{"program", NandOperation::kProgram}, {"erase", NandOperation::kErase}, {"any", NandOperation::kAny}});
  }
  return config;
}

// --- failures of the operating system's services ---

std::string DevicePattern(const Json& value, const std::string& field) {
  std::string pattern = String(value, field);
  if (pattern.empty() || pattern.find_first_of("/:\"<>|") != std::string::npos) {
    FieldError(field, "expected a device path or name pattern such as \"\\\\Windows\\\\x.exe\" or \"*.exe\"");
  }
  return pattern;
}

OsFaultsDescription ReadOsFaults(const Json& faults) {
  const std::string where = "os_faults";
  Object(faults, where);
  OnlyKnownFields(faults, where, {"program_start_fail", "write_fail", "heap_fail_above"});
  OsFaultsDescription d;
  if (faults.contains("program_start_fail")) {
    const std::string field = where + ".program_start_fail";
    const Json& list = Array(faults["program_start_fail"], field, "an array of image names or patterns");
    for (std::size_t i = 0; i < list.size(); ++i) {
      std::string at = Element(field, i);
      OsFaultsDescription::ProgramStartFailure f;
      if (list[i].is_object()) {
        OnlyKnownFields(list[i], at, {"image", "error"});
        if (!list[i].contains("image")) FieldError(at + ".image", "missing");
        f.image = DevicePattern(list[i]["image"], at + ".image");
        if (list[i].contains("error")) f.error = JsonU32(list[i]["error"], at + ".error");
      } else {
        f.image = DevicePattern(list[i], at);
      }
      d.program_start_fail.push_back(f);
    }
  }
  if (faults.contains("write_fail")) {
    const std::string field = where + ".write_fail";
    const Json& list = Array(faults["write_fail"], field, "an array such as [{\"after_bytes\": 4096}]");
    for (std::size_t i = 0; i < list.size(); ++i) {
      std::string at = Element(field, i);
      Object(list[i], at, "an object with \"path\" or \"after_bytes\"");
      OnlyKnownFields(list[i], at, {"path", "after_bytes", "error"});
      if (!list[i].contains("path") && !list[i].contains("after_bytes")) {
        FieldError(at, "give \"path\", \"after_bytes\" or both");
      }
      OsFaultsDescription::WriteFailure f;
      if (list[i].contains("path")) f.path = DevicePattern(list[i]["path"], at + ".path");
      if (list[i].contains("after_bytes")) f.after_bytes = JsonU32(list[i]["after_bytes"], at + ".after_bytes");
      if (list[i].contains("error")) f.error = JsonU32(list[i]["error"], at + ".error");
      d.write_fail.push_back(f);
    }
  }
  if (faults.contains("heap_fail_above")) d.heap_fail_above = JsonU32(faults["heap_fail_above"], where + ".heap_fail_above");
  return d;
}

}  // namespace

std::uint32_t JsonU32(const nlohmann::json& value, const std::string& field) {
  if (value.is_number_integer()) {
    long long v = value.get<long long>();
    if (v < 0 || v > 0xFFFFFFFFLL) FieldError(field, "out of range for a 32-bit unsigned number");
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
    if (used == 0 || used != text.size() || text[0] == '-') FieldError(field, "'" + text + "' is not a number");
    if (v > 0xFFFFFFFFULL) FieldError(field, "out of range for a 32-bit unsigned number");
    return static_cast<std::uint32_t>(v);
  }
  FieldError(field, "expected a number (an integer or a string such as \"0x00800000\")");
}

FlashConfig ReadFlashConfig(const Json& flash, const std::filesystem::path& folder) {
  FlashConfig config;
  if (flash.is_null()) return config;
  Object(flash, "flash");
  if (!flash.contains("type") || !flash["type"].is_string()) {
    FieldError("flash.type", "expected \"nor\", \"nand\" or \"none\"");
  }
  std::string type = flash["type"].get<std::string>();
  if (type == "none") return config;
  if (type == "nor") {
    config.type = FlashConfig::Type::kNor;
    config.nor = ReadNor(flash, folder);
  } else if (type == "nand") {
    config.type = FlashConfig::Type::kNand;
    config.nand = ReadNand(flash, folder);
    if (flash.contains("os_driver")) config.os_driver = Bool(flash["os_driver"], "flash.os_driver");
  } else {
    FieldError("flash.type", "\"" + type + "\" is not supported");
  }
  return config;
}

// --- the text ---

namespace {

// Line and column (both from 1) of a byte offset in the text.
std::string Where(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(offset - line_start + 1);
}

// Builds the JSON value as the library's own reader would, knowing at every moment which field it
// is in, so that a key given twice and a number out of range are refused naming the field.
class DescriptionReader final : public nlohmann::json_sax<Json> {
 public:
  explicit DescriptionReader(std::string_view text) : text_(text) {}

  Json& value() { return root_; }

  bool null() override { return Put(nullptr) != nullptr; }
  bool boolean(bool v) override { return Put(v) != nullptr; }
  bool number_integer(Json::number_integer_t v) override { return Put(v) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t v) override { return Put(v) != nullptr; }
  bool number_float(Json::number_float_t v, const Json::string_t&) override { return Put(v) != nullptr; }
  bool string(Json::string_t& v) override { return Put(v) != nullptr; }
  bool binary(Json::binary_t& v) override { return Put(Json::binary(v)) != nullptr; }

  bool start_object(std::size_t) override { return Open(Json::object()); }
  bool key(Json::string_t& k) override {
    Json& object = *open_.back().value;
    if (object.contains(k)) {
      FieldError(Field(k), "given twice in one object (only one value can count)");
    }
    key_ = k;
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(Json::array()); }
  bool end_array() override { return Close(); }

  bool parse_error(std::size_t position, const std::string& token, const nlohmann::detail::exception& e) override {
    constexpr int kNumberOverflow = 406;
    if (e.id == kNumberOverflow) {
      // The position is where the number ends.
      const std::size_t start = position >= token.size() ? position - token.size() : position;
      FieldError(NextField(), token + " is out of range of every number (" + Where(text_, start) + ")");
    }
    // The library's message after its own "[json.exception...] parse error at line L, column C: ".
    std::string what = e.what();
    std::size_t column = what.find("column ");
    std::size_t detail = column == std::string::npos ? std::string::npos : what.find(": ", column);
    what = detail == std::string::npos ? what : what.substr(detail + 2);
    throw DescriptionError("module description: not valid JSON at " + Where(text_, position) + ": " + what);
  }

 private:
  struct OpenValue {
    Json* value;
    std::string field;  // "" for the top level
  };

  std::string Field(const std::string& key) const {
    const std::string& parent = open_.back().field;
    return parent.empty() ? key : parent + "." + key;
  }
  // The field the next value fills.
  std::string NextField() const {
    if (open_.empty()) return "(top level)";
    const OpenValue& top = open_.back();
    if (top.value->is_array()) return top.field + "[" + std::to_string(top.value->size()) + "]";
    return Field(key_);
  }
  Json* Put(Json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& top = *open_.back().value;
    if (top.is_array()) {
      top.push_back(std::move(value));
      return &top.back();
    }
    return &(top[key_] = std::move(value));
  }
  bool Open(Json container) {
    std::string field = NextField();
    // Every field of a module description lies a few levels down; a value nested without end would
    // only exhaust memory (each level names its field) or the stack of whoever walks it later.
    if (open_.size() >= kMaxNesting) {
      FieldError(field, "nested deeper than " + std::to_string(kMaxNesting) + " levels of arrays and objects");
    }
    Json* placed = Put(std::move(container));
    open_.push_back({placed, open_.empty() ? "" : field});
    return true;
  }
  bool Close() {
    open_.pop_back();
    return true;
  }

  static constexpr std::size_t kMaxNesting = 64;

  std::string_view text_;
  Json root_;
  std::vector<OpenValue> open_;
  std::string key_;
};

}  // namespace

Json ReadDescriptionText(std::string_view text) {
  DescriptionReader reader(text);
  Json::sax_parse(text.begin(), text.end(), &reader, Json::input_format_t::json, /*strict=*/true,
                  /*ignore_comments=*/true);
  return std::move(reader.value());
}

Description ParseDescription(const Json& json, const std::filesystem::path& folder) {
  if (!json.is_object()) FieldError("(top level)", "expected an object");
  OnlyKnownFields(json, "",
                  {"cpu_product", "cpu_main_id", "boot_config", "registry", "stores", "volumes", "network_shares",
                   "shift", "tick_at_start_ms", "flash", "os_faults", "comment"});
  Description d;
  d.folder = folder;
  d.root = folder / "root";
  d.volumes = folder / "volumes";

  if (json.contains("cpu_product") && json.contains("cpu_main_id")) {
    FieldError("cpu_product", "give either cpu_product or cpu_main_id, not both");
  }
  if (json.contains("cpu_main_id")) {
    d.cpu_main_id = JsonU32(json["cpu_main_id"], "cpu_main_id");
  } else if (json.contains("cpu_product")) {
    std::uint32_t product = JsonU32(json["cpu_product"], "cpu_product");
    if (product > 63) FieldError("cpu_product", "a product number is 0 to 63");
    d.cpu_main_id = Description::MainIdForProduct(product);
  } else {
    FieldError("cpu_product", "missing (the processor's product number, 17 for a NOR module)");
  }

  if (json.contains("boot_config") && !json["boot_config"].is_null()) {
    const auto& boot = json["boot_config"];
    Expect(boot, "boot_config", Json::value_t::object, "an object such as {\"item12\": \"0x00800000\"}");
    OnlyKnownFields(boot, "boot_config", {"item12"});
    if (boot.contains("item12") && !boot["item12"].is_null()) d.boot_item12 = JsonU32(boot["item12"], "boot_config.item12");
  }

  if (json.contains("registry")) {
    const auto& reg = json["registry"];
    Expect(reg, "registry", Json::value_t::object, "an object of keys");
    for (auto key = reg.begin(); key != reg.end(); ++key) {
      std::string field = "registry." + key.key();
      Expect(key.value(), field, Json::value_t::object, "an object of values");
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
          FieldError(field + "." + v.key(), "expected a string or an integer");
        }
        d.registry.push_back(value);
      }
    }
  }

  if (json.contains("stores")) {
    Expect(json["stores"], "stores", Json::value_t::array, "an array of store names such as \"DSK0:\"");
    for (std::size_t i = 0; i < json["stores"].size(); ++i) {
      d.stores.push_back(String(json["stores"][i], "stores[" + std::to_string(i) + "]"));
    }
  }

  if (json.contains("volumes")) {
    Expect(json["volumes"], "volumes", Json::value_t::array, "an array of volumes");
    for (std::size_t i = 0; i < json["volumes"].size(); ++i) {
      const auto& v = json["volumes"][i];
      std::string field = "volumes[" + std::to_string(i) + "]";
      VolumeDescription volume;
      if (v.is_string()) {
        volume.name = v.get<std::string>();
        volume.dir = d.volumes / volume.name;
      } else if (v.is_object()) {
        OnlyKnownFields(v, field, {"name", "dir"});
        if (!v.contains("name")) FieldError(field + ".name", "missing");
        volume.name = String(v["name"], field + ".name");
        volume.dir = v.contains("dir") ? Resolve(folder, String(v["dir"], field + ".dir")) : d.volumes / volume.name;
      } else {
        FieldError(field, "expected a volume name or an object {\"name\": ..., \"dir\": ...}");
      }
      if (volume.name.empty() || volume.name.find_first_of("\\/:*?") != std::string::npos) {
        FieldError(field, "a volume name is one folder name without \\ / : * ?");
      }
      d.volumes_at_start.push_back(volume);
    }
  }

  if (json.contains("network_shares")) {
    Expect(json["network_shares"], "network_shares", Json::value_t::array, "an array of shares");
    for (std::size_t i = 0; i < json["network_shares"].size(); ++i) {
      const auto& s = json["network_shares"][i];
      std::string field = "network_shares[" + std::to_string(i) + "]";
      Expect(s, field, Json::value_t::object, "an object {\"path\": ..., \"unavailable_ms\": ...}");
      OnlyKnownFields(s, field, {"path", "unavailable_ms"});
      if (!s.contains("path")) FieldError(field + ".path", "missing");
      ShareDescription share;
      share.path = String(s["path"], field + ".path");
      if (share.path.empty() || share.path[0] != '\\') FieldError(field + ".path", "a device path beginning with \\");
      if (s.contains("unavailable_ms")) share.unavailable_ms = JsonU32(s["unavailable_ms"], field + ".unavailable_ms");
      d.shares.push_back(share);
    }
  }

  if (json.contains("shift")) {
    Expect(json["shift"], "shift", Json::value_t::boolean, "true or false");
    d.shift_held = json["shift"].get<bool>();
  }
  if (json.contains("tick_at_start_ms")) d.tick_at_start_ms = JsonU32(json["tick_at_start_ms"], "tick_at_start_ms");
  if (json.contains("flash")) d.flash = ReadFlashConfig(json["flash"], folder);
  if (json.contains("os_faults")) d.os_faults = ReadOsFaults(json["os_faults"]);

  // The processor decides which flash the library looks for: the NOR pair on product 17, the NAND
  // controller on any other. A flash of the other kind would not be found (the module would meet a
  // bus fault), nor would a missing one when the tester hand-off asks for the flash.
  constexpr std::uint32_t kNorProduct = 17;
  constexpr std::uint32_t kTesterFlag = 0x00800000;  // boot configuration item 12, bit 23
  const std::uint32_t product = Description::ProductOfMainId(d.cpu_main_id);
  const std::string processor = "cpu_product is " + std::to_string(product) +
                                (json.contains("cpu_main_id") ? " (bits 9..4 of cpu_main_id)" : "");
  if (d.flash.type == FlashConfig::Type::kNor && product != kNorProduct) {
    FieldError("flash.type", "\"nor\" does not match the processor: " + processor +
                                 ", and the flash library looks for NOR flash on cpu_product 17 only (give "
                                 "cpu_product 17, or a \"nand\" flash)");
  }
  if (d.flash.type == FlashConfig::Type::kNand && product == kNorProduct) {
    FieldError("flash.type", "\"nand\" does not match the processor: cpu_product 17 is the NOR module's, on "
                             "which the flash library looks for NOR flash (give another cpu_product, or a "
                             "\"nor\" flash)");
  }
  if (d.flash.type == FlashConfig::Type::kNone && d.boot_item12 && (*d.boot_item12 & kTesterFlag) != 0) {
    FieldError("boot_config.item12", "bit 23 asks for the tester hand-off, which reads the boot flash, but there "
                                     "is no \"flash\" (give \"nor\" with cpu_product 17, \"nand\" with any other; " +
                                         processor + ")");
  }
  return d;
}

}  // namespace sim
