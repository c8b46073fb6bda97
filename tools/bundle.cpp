#include "tools/bundle.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "flash/flash_ops.h"
#include "sim/core/description.h"
#include "sim/core/text.h"
#include "sim/os/filesystem.h"
#include "tester/tester.h"

namespace tools {

namespace {

static_assert(sizeof(TesterRecordHeader) == kRecordHeaderBytes);
static_assert(TESTER_NAME_BYTES == kMaxBundleNameChars + 1);

constexpr std::uint32_t kRegionEnd = TESTER_REGION_OFFSET + TESTER_REGION_LENGTH;
constexpr char kBackslash = '\\';

std::uint32_t Padded(std::uint32_t size) { return (size + 3) & ~3u; }

std::uint32_t LoadU32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

void StoreU32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

// The components of a device path; the leading backslash is optional.
std::vector<std::u16string> Components(std::u16string_view path) {
  std::vector<std::u16string> parts;
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find(u'\\', start);
    parts.emplace_back(path.substr(start, end == std::u16string_view::npos ? path.npos : end - start));
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

bool IsDevicePath(std::u16string_view path) {
  std::vector<std::u16string> parts = Components(path);
  return std::all_of(parts.begin(), parts.end(),
                     [](const std::u16string& c) { return sim::IsDeviceName(c); });
}

std::vector<std::uint8_t> ReadHostFile(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw BundleError("'" + path.string() + "' is not a file that can be read");
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw BundleError("cannot read '" + path.string() + "'");
  return bytes;
}

std::string Quoted(const std::string& narrow) { return "'" + DeviceNameToUtf8(narrow) + "'"; }

}  // namespace

// --- names ---

std::string DeviceNameFromUtf8(const std::string& utf8) {
  std::u16string wide = sim::ToUtf16(utf8);
  std::string narrow;
  if (!sim::WideToNarrow(wide, narrow)) {
    throw BundleError("device name '" + utf8 + "' has characters that the module's narrow code page " +
                      "(Windows-1252) cannot hold");
  }
  if (narrow.size() > kMaxBundleNameChars) {
    throw BundleError("device name '" + utf8 + "' is " + std::to_string(narrow.size()) +
                      " characters long; a bundle name holds at most " + std::to_string(kMaxBundleNameChars));
  }
  if (narrow.empty() || narrow == "\\" || !IsDevicePath(wide)) {
    throw BundleError("device name '" + utf8 + "' is no device path such as \\Tester.exe (empty parts and " +
                      "the characters / : * ? \" < > | are not allowed)");
  }
  return narrow;
}

std::string DeviceNameToUtf8(const std::string& narrow) { return sim::ToUtf8(sim::NarrowToWide(narrow)); }

bool IsProgramName(const std::string& narrow) {
  std::u16string wide = sim::NarrowToWide(narrow);
  return wide.size() >= 4 &&
         sim::EqualIgnoringCase(std::u16string_view(wide).substr(wide.size() - 4), u".exe");
}

// --- packing ---

BundleFile LoadBundleInput(const std::string& argument) {
  std::filesystem::path file = argument;
  std::string name;
  std::size_t equals = argument.find('=');
  std::error_code error;
  if (equals != std::string::npos && !std::filesystem::is_regular_file(argument, error)) {
    file = argument.substr(0, equals);
    name = argument.substr(equals + 1);
  } else {
    name = std::string(1, kBackslash) + file.filename().string();
  }
  BundleFile out;
  out.name = DeviceNameFromUtf8(name);
  out.payload = ReadHostFile(file);
  return out;
}

std::vector<std::uint8_t> EncodeBundle(const std::vector<BundleFile>& files) {
  std::uint64_t total = 0;
  for (const BundleFile& f : files) {
    total += kRecordHeaderBytes + ((std::uint64_t{f.payload.size()} + 3) & ~std::uint64_t{3});
  }
  if (total > TESTER_REGION_LENGTH) {
    throw BundleError("the bundle takes " + std::to_string(total) + " bytes; the tester region holds " +
                      std::to_string(TESTER_REGION_LENGTH));
  }
  std::vector<std::uint8_t> out(total, 0);
  std::uint8_t* p = out.data();
  for (const BundleFile& f : files) {
    if (f.name.empty() || f.name.size() > kMaxBundleNameChars || f.name.find('\0') != std::string::npos) {
      throw BundleError("device name " + Quoted(f.name) + " cannot be stored in a record");
    }
    StoreU32(p, TESTER_RECORD_MAGIC);
    std::memcpy(p + offsetof(TesterRecordHeader, Name), f.name.data(), f.name.size());
    StoreU32(p + offsetof(TesterRecordHeader, PayloadSize), static_cast<std::uint32_t>(f.payload.size()));
    p += kRecordHeaderBytes;
    std::copy(f.payload.begin(), f.payload.end(), p);
    p += Padded(static_cast<std::uint32_t>(f.payload.size()));
  }
  return out;
}

std::vector<std::string> BundleWarnings(const std::vector<BundleFile>& files) {
  std::vector<std::string> warnings;
  if (std::none_of(files.begin(), files.end(), [](const BundleFile& f) { return IsProgramName(f.name); })) {
    warnings.push_back(
        "no file name ends in \".exe\": the hand-off writes the files at every start-up, starts " +
        std::string("nothing and never erases the region"));
  }
  std::set<std::u16string> seen;
  for (const BundleFile& f : files) {
    std::u16string folded;
    for (char16_t c : sim::NarrowToWide(f.name)) folded += sim::FoldCase(c);
    if (!seen.insert(folded).second) {
      warnings.push_back(Quoted(f.name) + " is given more than once: the module keeps the last one");
    }
    if (Components(sim::NarrowToWide(f.name)).size() > 1) {
      warnings.push_back(Quoted(f.name) +
                         " lies in a folder: the hand-off creates no folders, so it must exist " +
                         "on the module");
    }
  }
  return warnings;
}

// --- reading back ---

BundleContents WalkBundle(const FlashReader& read, std::uint32_t flash_bytes) {
  BundleContents contents;
  std::uint32_t position = TESTER_REGION_OFFSET;
  std::uint8_t header[kRecordHeaderBytes];
  for (;;) {
    if (!read(position, header)) {
      contents.problem = "the header at " + sim::Hex(position) + " cannot be read";
      break;
    }
    if (LoadU32(header) != TESTER_RECORD_MAGIC) break;
    const char* name = reinterpret_cast<const char*>(header + offsetof(TesterRecordHeader, Name));
    const std::size_t name_length = strnlen(name, TESTER_NAME_BYTES);
    if (name_length == TESTER_NAME_BYTES) {
      contents.problem = "the record at " + sim::Hex(position) + " has a name without a terminating zero";
      break;
    }
    std::uint32_t size = LoadU32(header + offsetof(TesterRecordHeader, PayloadSize));
    std::uint64_t end =
        std::uint64_t{position} + kRecordHeaderBytes + ((std::uint64_t{size} + 3) & ~std::uint64_t{3});
    if (end > flash_bytes) {
      contents.problem = "the record at " + sim::Hex(position) + " claims " + std::to_string(size) +
                         " bytes, which run past the flash";
      break;
    }
    BundleRecord record;
    record.offset = position;
    record.file.name.assign(name, name_length);
    std::vector<std::uint8_t> padded(Padded(size));
    if (!read(position + kRecordHeaderBytes, padded)) {
      contents.problem = "the payload of the record at " + sim::Hex(position) + " cannot be read";
      break;
    }
    padded.resize(size);
    record.file.payload = std::move(padded);
    if (IsProgramName(record.file.name)) contents.program = contents.records.size();
    contents.records.push_back(std::move(record));
    position = static_cast<std::uint32_t>(end);
  }
  return contents;
}

// --- a module's flash ---

namespace {

// The erase progress hook is a plain function; it reaches the caller's function through this.
const std::function<void(std::uint32_t, std::uint32_t)>* gProgress = nullptr;

i32 ProgressHook(u32 done, u32 total) {
  if (gProgress && *gProgress) (*gProgress)(done, total);
  return 1;
}

}  // namespace

ModuleFlash::ModuleFlash(const std::filesystem::path& module_folder)
    : ModuleFlash(sim::LoadDescription(module_folder)) {}

ModuleFlash::ModuleFlash(sim::Description description) {
  if (description.flash.type == sim::FlashConfig::Type::kNone) {
    throw BundleError("the module in '" + description.folder.string() + "' has no flash (its " +
                      sim::kDescriptionFile + " has no \"flash\" object)");
  }
  module_ = std::make_unique<sim::Module>(std::move(description));
  try {
    if (FlashInit() == 0) {
      throw std::runtime_error("the module's flash does not identify itself: the flash library cannot start");
    }
  } catch (const sim::BusFault& fault) {
    throw std::runtime_error(
        std::string("the flash library met no flash where the processor looks for it (") + fault.what() +
        "); does cpu_product match the flash type?");
  }
}

ModuleFlash::ModuleFlash() = default;

ModuleFlash::~ModuleFlash() = default;

std::uint32_t ModuleFlash::ProgramUnit() const {
  return FlashOps.GetPageSize != 0 ? FlashOps.GetPageSize() : 4;
}

std::uint32_t ModuleFlash::UsableSize() const { return FlashOps.UsableSize; }

bool ModuleFlash::Read(std::uint32_t offset, std::span<std::uint8_t> out) {
  if (out.empty()) return true;
  if (out.size() % 4 != 0 || offset % 4 != 0) return false;  // the library reads whole words
  if (std::uint64_t{offset} + out.size() > std::uint64_t{UINT32_MAX} + 1) return false;  // no piece may wrap
  // In pieces through one small word buffer: a payload may claim most of the flash, and a buffer
  // as long as the payload beside the caller's doubled the memory touched for it.
  constexpr std::size_t kPieceBytes = 64 * 1024;
  std::vector<u32> words(std::min(out.size(), kPieceBytes) / 4);
  for (std::size_t done = 0; done < out.size(); done += kPieceBytes) {
    const std::size_t piece = std::min(out.size() - done, kPieceBytes);
    if (!FlashOps.Read(words.data(), offset + static_cast<u32>(done), static_cast<u32>(piece))) return false;
    std::memcpy(out.data() + done, words.data(), piece);
  }
  return true;
}

bool ModuleFlash::Erase(std::uint32_t offset, std::uint32_t length,
                        const std::function<void(std::uint32_t, std::uint32_t)>& progress) {
  gProgress = &progress;
  FlashOps.Progress = ProgressHook;
  FlashOps.ProgressStep = 0;
  bool ok = FlashOps.Erase(offset, length) != 0;
  FlashOps.Progress = 0;
  gProgress = nullptr;
  return ok;
}

bool ModuleFlash::Write(std::uint32_t offset, std::span<const std::uint8_t> bytes) {
  if (bytes.size() % 4 != 0) return false;
  std::vector<u32> words(bytes.size() / 4);
  std::memcpy(words.data(), bytes.data(), bytes.size());
  return FlashOps.Write(words.data(), offset, static_cast<u32>(bytes.size())) != 0;
}

bool WriteBundle(ModuleFlash& flash, std::span<const std::uint8_t> encoded,
                 const std::function<void(std::uint32_t, std::uint32_t)>& progress) {
  if (flash.UsableSize() < kRegionEnd) {
    throw BundleError("the module's flash holds " + std::to_string(flash.UsableSize()) +
                      " bytes and does not reach the tester region at " + sim::Hex(TESTER_REGION_OFFSET));
  }
  if (encoded.size() > TESTER_REGION_LENGTH) {
    throw BundleError("the bundle takes " + std::to_string(encoded.size()) +
                      " bytes; the tester region holds " + std::to_string(TESTER_REGION_LENGTH));
  }
  if (encoded.size() == TESTER_REGION_LENGTH && flash.UsableSize() - kRegionEnd >= kRecordHeaderBytes) {
    std::uint8_t after[4];
    if (flash.Read(kRegionEnd, after) && LoadU32(after) == TESTER_RECORD_MAGIC) {
      throw BundleError(
          "the bundle fills the tester region and the flash after it begins with a record: the " +
          std::string("hand-off would read on into it"));
    }
  }
  // Clearing bits needs no erase: a cut erase then leaves no magic at the region's start.
  std::uint8_t first[4];
  if (flash.Read(TESTER_REGION_OFFSET, first) && LoadU32(first) == TESTER_RECORD_MAGIC) {
    const std::uint8_t cleared[4] = {0, 0, 0, 0};
    flash.Write(TESTER_REGION_OFFSET, cleared);
  }
  if (!flash.Erase(TESTER_REGION_OFFSET, TESTER_REGION_LENGTH, progress)) return false;
  if (encoded.empty()) return true;
  // Everything after the first program unit, then the unit with the first magic.
  const std::size_t unit = std::min<std::size_t>(flash.ProgramUnit(), encoded.size());
  if (encoded.size() > unit &&
      !flash.Write(TESTER_REGION_OFFSET + static_cast<std::uint32_t>(unit), encoded.subspan(unit))) {
    return false;
  }
  if (!flash.Write(TESTER_REGION_OFFSET, encoded.first(unit))) return false;
  std::vector<std::uint8_t> check(encoded.size());
  return flash.Read(TESTER_REGION_OFFSET, check) && std::equal(check.begin(), check.end(), encoded.begin());
}

BundleContents ReadBundle(ModuleFlash& flash) {
  return WalkBundle(
      [&flash](std::uint32_t offset, std::span<std::uint8_t> out) { return flash.Read(offset, out); },
      flash.UsableSize());
}

namespace {

// How the device sees a path: its parts without regard to case.
std::u16string Folded(std::u16string_view path) {
  std::u16string folded;
  for (char16_t c : path) folded += sim::FoldCase(c);
  return folded;
}

std::string Blocked(const std::filesystem::path& path, const char* what) {
  return "'" + path.string() + "' " + what + "; nothing was extracted";
}

}  // namespace

std::vector<std::filesystem::path> ExtractBundle(const BundleContents& contents,
                                                 const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  // Every record is placed before anything is written: a bundle that cannot be extracted whole
  // leaves the folder as it was. A path part is a folder or a file for all records alike, spelled
  // as the first record that names it spells it (the device's names ignore case).
  struct Placed {
    bool is_file;
    const BundleRecord* first;  // the record that named it first
    fs::path host;
  };
  std::map<std::u16string, Placed> placed;
  std::vector<const Placed*> in_order;  // as the records name them
  std::vector<fs::path> targets;
  for (const BundleRecord& record : contents.records) {
    std::u16string wide = sim::NarrowToWide(record.file.name);
    if (record.file.name.empty() || !IsDevicePath(wide)) {
      throw BundleError("the record at " + sim::Hex(record.offset) + " has the name " +
                        Quoted(record.file.name) + ", which is no device path; nothing was extracted");
    }
    std::vector<std::u16string> parts = Components(wide);
    std::u16string key;
    fs::path host = folder;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      const bool is_file = i + 1 == parts.size();
      key += u"\\" + Folded(parts[i]);
      auto [it, added] = placed.try_emplace(key, Placed{is_file, &record, host / sim::ToUtf8(parts[i])});
      if (added) in_order.push_back(&it->second);
      if (!added && it->second.is_file != is_file) {
        const BundleRecord& earlier = *it->second.first;
        throw BundleError("the record at " + sim::Hex(record.offset) + " (" + Quoted(record.file.name) + ") " +
                          (is_file ? "names a file where" : "needs a folder where") + " the record at " +
                          sim::Hex(earlier.offset) + " (" + Quoted(earlier.file.name) + ") " +
                          (is_file ? "has a folder" : "has a file") +
                          ": the hand-off could not write both; nothing was extracted");
      }
      host = it->second.host;
    }
    targets.push_back(host);
  }
  // What is already under the folder must not stand in the way either.
  for (const Placed* entry : in_order) {
    const Placed& place = *entry;
    std::error_code error;
    fs::file_status status = fs::symlink_status(place.host, error);
    if (!fs::exists(status)) continue;
    // A link would take the file somewhere else than the folder it is extracted into.
    if (fs::is_symlink(status)) throw BundleError(Blocked(place.host, "is a symbolic link, which extract does not follow"));
    if (place.is_file && fs::is_directory(status)) throw BundleError(Blocked(place.host, "is a folder where a file is to go"));
    if (!place.is_file && !fs::is_directory(status)) {
      throw BundleError(Blocked(place.host, "is a file where a folder of the bundle is to go"));
    }
  }

  for (std::size_t i = 0; i < targets.size(); ++i) {
    std::error_code error;
    fs::create_directories(targets[i].parent_path(), error);
    if (error) throw std::runtime_error("cannot make the folder '" + targets[i].parent_path().string() + "': " + error.message());
    std::ofstream out(targets[i], std::ios::binary | std::ios::trunc);
    const std::vector<std::uint8_t>& payload = contents.records[i].file.payload;
    out.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write '" + targets[i].string() + "'");
  }
  return targets;
}

}  // namespace tools
