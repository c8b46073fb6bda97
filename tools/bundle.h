// The tester bundle on the host: the records that the tester hand-off serves from the flash's
// tester region, packed from host files, read back and unpacked, through the flash library of a
// simulated module (so every flash the library drives carries a bundle alike).
//
// A bundle is a run of records from the region's start: a 40-byte header (the magic "TEST", a narrow
// zero-terminated file name of at most 31 characters, the payload size) and the payload, padded
// with zero bytes to a multiple of 4. The first header without the magic ends it; an erased region
// is an empty bundle.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/module.h"

namespace tools {

inline constexpr std::uint32_t kRecordHeaderBytes = 40;
inline constexpr std::size_t kMaxBundleNameChars = 31;

// Input that cannot make a bundle (a missing file, a bad name, a bundle too large). Nothing was
// written when it is thrown.
struct BundleError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct BundleFile {
  std::string name;  // the device path as stored: narrow (Windows-1252), e.g. "\b.exe"
  std::vector<std::uint8_t> payload;
};

// --- names ---

// The stored form of a device name given in UTF-8; throws BundleError when it is empty, longer than
// 31 narrow characters, has a character without a narrow form, or is no valid device path.
std::string DeviceNameFromUtf8(const std::string& utf8);
// The name in UTF-8, for messages.
std::string DeviceNameToUtf8(const std::string& narrow);
// True when the name ends in ".exe" regardless of case, as the hand-off tests it.
bool IsProgramName(const std::string& narrow);

// --- packing ---

// One command-line argument FILE[=DEVICE-NAME]: reads the file. The device name defaults to "\" and
// the file's base name. An argument that names an existing file as a whole is taken as FILE alone.
BundleFile LoadBundleInput(const std::string& argument);

// The region's bytes from its start: every record with its padding. Throws BundleError when the
// records do not fit the region.
std::vector<std::uint8_t> EncodeBundle(const std::vector<BundleFile>& files);

// Advice that does not stop the packing: no program to launch, a name given twice, a file in a folder.
std::vector<std::string> BundleWarnings(const std::vector<BundleFile>& files);

// --- reading back ---

struct BundleRecord {
  std::uint32_t offset = 0;  // of the header in the flash
  BundleFile file;
};

struct BundleContents {
  std::vector<BundleRecord> records;
  // Why the walk stopped before a header without the magic (a read failure, an unterminated name, a
  // payload past the flash); empty when the bundle ended as it should.
  std::string problem;
  // The file the hand-off would start: the last whose name ends in ".exe".
  std::optional<std::size_t> program;
};

// Reads length bytes at a flash offset; false when the flash cannot deliver them.
using FlashReader = std::function<bool(std::uint32_t offset, std::span<std::uint8_t> out)>;

// Walks the records from the region's start as the hand-off does: not bounded by the region's end,
// only by the magic and by what the flash delivers.
BundleContents WalkBundle(const FlashReader& read, std::uint32_t flash_bytes);

// --- a module's flash ---

// A module's boot flash through the flash library: powers the module up from its folder and runs
// FlashInit. Throws BundleError for a module without flash or whose flash does not come up.
class ModuleFlash {
 public:
  explicit ModuleFlash(const std::filesystem::path& module_folder);
  // The flash of the module already running, whose flash library has started (a test's module).
  ModuleFlash();
  // The same for a description already read (and perhaps changed: faults left out, say).
  explicit ModuleFlash(sim::Description description);
  ~ModuleFlash();
  ModuleFlash(const ModuleFlash&) = delete;
  ModuleFlash& operator=(const ModuleFlash&) = delete;

  std::uint32_t UsableSize() const;
  // Offsets and lengths are multiples of 4, as the library takes them.
  bool Read(std::uint32_t offset, std::span<std::uint8_t> out);
  // Erases the whole blocks holding [offset, offset + length); progress(done, total) runs between
  // blocks.
  bool Erase(std::uint32_t offset, std::uint32_t length,
             const std::function<void(std::uint32_t done, std::uint32_t total)>& progress);
  // Programs bytes (a multiple of 4) at an erased offset.
  bool Write(std::uint32_t offset, std::span<const std::uint8_t> bytes);
  // The bytes one program covers at least: a page on NAND, a word on NOR.
  std::uint32_t ProgramUnit() const;

  sim::Module& module() { return *module_; }

 private:
  std::unique_ptr<sim::Module> module_;
};

// Erases the tester region and writes the encoded bundle at its start. Throws BundleError when the
// flash does not reach past the region, or when the bundle fills the region exactly and the flash
// after it begins with the magic (the hand-off would read on into it). Returns false when an erase
// or write fails (the region is then erased in part or holds part of the bundle).
// Power-safe: the old bundle's first magic is cleared before the erase, and the new bundle's first
// program unit (its first magic) is written last, so that a write cut at any point never leaves a
// region that reads as a bundle, old or new, unless it is complete.
bool WriteBundle(ModuleFlash& flash, std::span<const std::uint8_t> encoded,
                 const std::function<void(std::uint32_t done, std::uint32_t total)>& progress);

BundleContents ReadBundle(ModuleFlash& flash);

// Writes each record's payload under folder, its device path turned into a host path ("\sub\a.txt"
// becomes folder/sub/a.txt). Names are compared without regard to case, as on the device: a later
// record of the same name replaces an earlier one, and a folder keeps the spelling of the first
// record that names it. Every record is placed before anything is written: a name that is no device
// path, a file and a folder of the same name, or a file, folder or link under folder in the way
// throws BundleError with nothing written. Returns the host paths written.
std::vector<std::filesystem::path> ExtractBundle(const BundleContents& contents,
                                                 const std::filesystem::path& folder);

}  // namespace tools
