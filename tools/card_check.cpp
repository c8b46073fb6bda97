#include "tools/card_check.h"

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "launcher/launcher.h"
#include "platform/platform.h"
#include "sim/core/description.h"
#include "sim/core/text.h"
#include "sim/module.h"
#include "sim/services.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kShortcutBytesRead = 255;  // the launcher reads no more of a shortcut
constexpr std::size_t kMaxFatNameChars = 255;      // a long name on FAT

std::string Utf8(const WChar* text) { return sim::ToUtf8(text ? std::u16string_view(text) : u""); }

// The folded device path, as the file system compares paths; a path without "\" counts from the root.
std::u16string Key(std::u16string_view path) {
  std::u16string key;
  if (path.empty() || path.front() != u'\\') key += u'\\';
  for (char16_t c : path) key += sim::FoldCase(c);
  return key;
}

std::u16string Parent(const std::u16string& key) {
  std::size_t slash = key.rfind(u'\\');
  return slash == 0 || slash == std::u16string::npos ? u"\\" : key.substr(0, slash);
}

// A temporary folder standing in for a module's root when none is given.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "kalvori-card-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// What the walks meet, checked against the module as it stands and what AutoCopy puts there first.
struct Checker {
  CardPlan plan;
  sim::Module* module = nullptr;
  bool module_given = false;
  std::set<std::u16string> folders_made;   // folded destinations AutoCopy creates
  std::set<std::u16string> folders_blocked;
  std::set<std::u16string> files_copied;   // folded destinations AutoCopy writes

  // 0 and the attributes, or the error the launcher would see now.
  std::uint32_t Attributes(const WChar* path, std::uint32_t& attributes) {
    attributes = OsGetFileAttributes(path);
    return attributes == OS_INVALID_FILE_ATTRIBUTES ? OsGetLastError() : 0;
  }

  bool FolderWillExist(const std::u16string& key) {
    if (folders_made.count(key)) return true;
    if (folders_blocked.count(key)) return false;
    std::uint32_t attributes = 0;
    return Attributes(key.c_str(), attributes) == 0 &&
           (attributes & OS_FILE_ATTRIBUTE_DIRECTORY);
  }

  void Directory(const WChar* source, const WChar* destination) {
    std::u16string key = Key(destination);
    std::uint32_t attributes = 0;
    std::uint32_t error = Attributes(destination, attributes);
    CardCopy copy{CardCopy::Outcome::kFolderExists, Utf8(source), Utf8(destination)};
    if (error == 0 && (attributes & OS_FILE_ATTRIBUTE_DIRECTORY)) {
      copy.outcome = CardCopy::Outcome::kFolderExists;
    } else if (error == 0 || files_copied.count(key)) {
      copy.outcome = CardCopy::Outcome::kBlocked;
      folders_blocked.insert(key);
      plan.problems.push_back(copy.destination + ": AutoCopy cannot create this folder, a file of that name is in " +
                              "the way; nothing below it is copied");
    } else if (FolderWillExist(Parent(key))) {
      copy.outcome = CardCopy::Outcome::kFolderNew;
      folders_made.insert(key);
    } else {
      copy.outcome = CardCopy::Outcome::kBlocked;
      folders_blocked.insert(key);
    }
    plan.copies.push_back(copy);
  }

  void File(const WChar* source, const WChar* destination) {
    std::u16string key = Key(destination);
    std::uint32_t attributes = 0;
    std::uint32_t error = Attributes(destination, attributes);
    CardCopy copy{CardCopy::Outcome::kNew, Utf8(source), Utf8(destination)};
    if (folders_made.count(key) || (error == 0 && (attributes & OS_FILE_ATTRIBUTE_DIRECTORY))) {
      copy.outcome = CardCopy::Outcome::kBlocked;
      plan.problems.push_back(copy.destination + ": not copied, a folder of that name is in the way");
    } else if (error == 0 && (attributes & OS_FILE_ATTRIBUTE_READONLY)) {
      copy.outcome = CardCopy::Outcome::kReadOnly;
      plan.problems.push_back(copy.destination + ": read-only on the module, not replaced");
    } else if (error == 0 || files_copied.count(key)) {
      copy.outcome = CardCopy::Outcome::kOverwrites;
      files_copied.insert(key);
    } else if (!FolderWillExist(Parent(key))) {
      copy.outcome = CardCopy::Outcome::kBlocked;
      plan.problems.push_back(copy.destination + ": not copied, its folder cannot be created");
    } else {
      copy.outcome = CardCopy::Outcome::kNew;
      files_copied.insert(key);
    }
    plan.copies.push_back(copy);
  }

  void Start(const WChar* entry, const WChar* program, const WChar* arguments, std::uint32_t flags) {
    CardStart start{CardStart::Outcome::kStarts, Utf8(entry), Utf8(program), Utf8(arguments)};
    if (flags & SHORTCUT_UNCLOSED_QUOTE) {
      plan.problems.push_back(start.entry + ": the quote around the target is not closed; the whole command is " +
                              "taken as the target");
    }
    if (flags & SHORTCUT_TEXT_AFTER_QUOTE) {
      plan.problems.push_back(start.entry + ": text right after the closing quote is dropped (put a space " +
                              "before the arguments)");
    }
    if (start.program != start.entry) ShortcutLength(entry, start.entry);
    std::uint32_t attributes = 0;
    std::uint32_t error = Attributes(program, attributes);
    const bool copied = files_copied.count(Key(program)) > 0;
    if (error == 0 && (attributes & OS_FILE_ATTRIBUTE_DIRECTORY) && !copied) {
      start.outcome = CardStart::Outcome::kNotProgram;
      plan.problems.push_back(start.entry + ": " + start.program + " is a folder; starting it fails");
    } else if (error == 0 || copied) {
      start.outcome = CardStart::Outcome::kStarts;
    } else if (error == OS_ERROR_NO_NETWORK) {
      start.outcome = CardStart::Outcome::kNetwork;
      plan.notes.push_back(start.entry + ": " + start.program + " is on a network share; the launcher waits up to " +
                           "three seconds for it");
    } else if (!module_given) {
      start.outcome = CardStart::Outcome::kUnknown;
      plan.notes.push_back(start.entry + ": " + start.program + " is not on the card; give --module to check the " +
                           "module has it");
    } else {
      start.outcome = CardStart::Outcome::kMissing;
      start.error = error;
      plan.problems.push_back(start.entry + ": " + start.program + " is missing on the module (ERROR: Cannot " +
                              "Access, error " + std::to_string(error) + ")");
    }
    plan.starts.push_back(start);
  }

  // A shortcut is read up to its 255th byte: a longer one loses the rest of its command.
  void ShortcutLength(const WChar* entry, const std::string& shown) {
    sim::Resolved r = module->os().files.Resolve(entry);
    if (r.error == 0 && r.exists && !r.directory && static_cast<std::uint64_t>(r.st.st_size) > kShortcutBytesRead) {
      plan.problems.push_back(shown + ": longer than 255 bytes; the launcher reads only the first 255");
    }
  }

  void Skip(std::uint32_t reason, const WChar* where, const WChar* name) {
    if (reason == FOLDER_SKIP_NO_COMMAND) {
      plan.problems.push_back(Utf8(where) + ": no '#' in its first 255 bytes (or unreadable); the launcher " +
                              "skips it");
    } else {
      plan.problems.push_back(Utf8(where) + "\\" + Utf8(name) + ": the path is over " +
                              std::to_string(OS_MAX_PATH - 1) + " characters; the launcher skips it");
    }
  }
};

Checker& Of(FolderVisitor* v) { return *static_cast<Checker*>(v->Context); }
void OnDirectory(FolderVisitor* v, const WChar* s, const WChar* d) { Of(v).Directory(s, d); }
void OnFile(FolderVisitor* v, const WChar* s, const WChar* d) { Of(v).File(s, d); }
void OnStart(FolderVisitor* v, const WChar* e, const WChar* p, const WChar* a, u32 f) { Of(v).Start(e, p, a, f); }
void OnSkip(FolderVisitor* v, u32 reason, const WChar* where, const WChar* name) { Of(v).Skip(reason, where, name); }

// Names on the card that a FAT volume cannot hold, or that the launcher never sees.
void CheckNames(const fs::path& dir, const std::string& shown, std::vector<std::string>& problems) {
  std::error_code error;
  std::map<std::u16string, std::string> folded;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) entries.push_back(*it);
  std::sort(entries.begin(), entries.end());
  for (const fs::directory_entry& entry : entries) {
    std::string name = entry.path().filename().string();
    std::u16string wide = sim::ToUtf16(name);
    std::string at = shown + "\\" + name;
    if (entry.is_symlink(error)) {
      problems.push_back(at + ": a symbolic link; a FAT volume holds none and the launcher never sees it");
      continue;
    }
    if (!sim::IsDeviceName(wide)) {
      problems.push_back(at + ": a FAT volume cannot hold this name (\\ / : * ? \" < > | or control characters); " +
                         "the launcher never sees it");
      continue;
    }
    if (wide.size() > kMaxFatNameChars) {
      problems.push_back(at + ": a FAT name holds at most 255 characters");
    }
    std::u16string key;
    for (char16_t c : wide) key += sim::FoldCase(c);
    auto [it, fresh] = folded.emplace(key, name);
    if (!fresh) {
      problems.push_back(at + ": differs from " + it->second + " only in case; a FAT volume holds one of them");
    }
    if (entry.is_directory(error)) CheckNames(entry.path(), at, problems);
  }
}

}  // namespace

const char* CopyOutcomeName(CardCopy::Outcome outcome) {
  switch (outcome) {
    case CardCopy::Outcome::kNew: return "new";
    case CardCopy::Outcome::kOverwrites: return "overwrites";
    case CardCopy::Outcome::kReadOnly: return "read-only";
    case CardCopy::Outcome::kBlocked: return "blocked";
    case CardCopy::Outcome::kFolderNew: return "folder";
    case CardCopy::Outcome::kFolderExists: return "folder-exists";
  }
  return "?";
}

const char* StartOutcomeName(CardStart::Outcome outcome) {
  switch (outcome) {
    case CardStart::Outcome::kStarts: return "starts";
    case CardStart::Outcome::kMissing: return "missing";
    case CardStart::Outcome::kNotProgram: return "not-a-program";
    case CardStart::Outcome::kNetwork: return "network";
    case CardStart::Outcome::kUnknown: return "unknown";
  }
  return "?";
}

CardPlan CheckCard(const CardCheckOptions& options) {
  std::error_code error;
  const bool image = fs::is_regular_file(options.card, error);
  if (!image && !fs::is_directory(options.card, error)) {
    throw CardCheckError("'" + options.card.string() + "' is no card folder or FAT image");
  }
  std::string problem = sim::CheckVolumeName(sim::ToUtf16(options.volume));
  if (!problem.empty()) throw CardCheckError("volume name '" + options.volume + "': " + problem);

  std::optional<ScratchFolder> scratch;
  sim::Description d;
  if (options.module) {
    d = sim::LoadDescription(*options.module);
    // Only the files matter: the flash stays off, so no image is made or touched.
    d.flash = sim::FlashConfig{};
    std::u16string name = sim::ToUtf16(options.volume);
    std::erase_if(d.volumes_at_start, [&](const sim::VolumeDescription& v) {
      return sim::EqualIgnoringCase(sim::ToUtf16(v.name), name);
    });
  } else {
    scratch.emplace();
    d.folder = scratch->path();
    d.root = scratch->path() / "root";
    d.volumes = scratch->path() / "volumes";
    fs::create_directories(d.root);
  }

  // The card is the user's to name, wherever it lies; the module's own folders stay confined.
  d.allowed_outside.push_back(image ? fs::absolute(options.card).parent_path() : fs::absolute(options.card));

  Checker checker;
  checker.module_given = options.module.has_value();
  checker.plan.volume = "\\" + options.volume;

  sim::Module module(std::move(d));
  checker.module = &module;
  problem = module.os().files.Mount(sim::ToUtf16(options.volume), fs::absolute(options.card));
  if (!problem.empty()) throw CardCheckError("cannot mount the card: " + problem);
  // The card's files as the volume serves them (an image's copied out).
  CheckNames(module.os().files.volumes().back().dir, checker.plan.volume, checker.plan.problems);

  FolderVisitor visitor;
  visitor.Context = &checker;
  visitor.Directory = OnDirectory;
  visitor.File = OnFile;
  visitor.Start = OnStart;
  visitor.Skip = OnSkip;
  std::u16string folder = sim::ToUtf16(checker.plan.volume);
  const WChar* volume = folder.c_str();
  WalkAutoCopy(volume, &visitor);
  WalkAutoRun(volume, AUTORUN_PROGRAMS, &visitor);
  WalkAutoRun(volume, AUTORUN_SHORTCUTS, &visitor);
  return checker.plan;
}

std::string CardPlanText(const CardPlan& plan) {
  std::ostringstream out;
  out << "AutoCopy onto the root:\n";
  if (plan.copies.empty()) out << "  (nothing)\n";
  for (const CardCopy& c : plan.copies) {
    std::string outcome = CopyOutcomeName(c.outcome);
    outcome.resize(std::max<std::size_t>(outcome.size(), 13), ' ');
    out << "  " << outcome << " " << c.destination << "\n";
  }
  out << "AutoRun starts, in order:\n";
  if (plan.starts.empty()) out << "  (nothing)\n";
  for (std::size_t i = 0; i < plan.starts.size(); ++i) {
    const CardStart& s = plan.starts[i];
    out << "  " << i + 1 << ". " << s.CommandLine();
    if (s.entry != s.program) out << "  (from " << s.entry << ")";
    if (s.outcome != CardStart::Outcome::kStarts) out << "  [" << StartOutcomeName(s.outcome) << "]";
    out << "\n";
  }
  for (const std::string& n : plan.notes) out << "note: " << n << "\n";
  for (const std::string& p : plan.problems) out << "problem: " << p << "\n";
  out << (plan.problems.empty() ? std::string("no problems")
                                : std::to_string(plan.problems.size()) +
                                      (plan.problems.size() == 1 ? " problem" : " problems"))
      << "\n";
  return out.str();
}

nlohmann::json CardPlanJson(const CardPlan& plan) {
  nlohmann::json copies = nlohmann::json::array(), starts = nlohmann::json::array();
  for (const CardCopy& c : plan.copies) {
    copies.push_back({{"source", c.source}, {"destination", c.destination}, {"outcome", CopyOutcomeName(c.outcome)}});
  }
  for (const CardStart& s : plan.starts) {
    nlohmann::json start = {{"entry", s.entry},
                            {"program", s.program},
                            {"arguments", s.arguments},
                            {"command_line", s.CommandLine()},
                            {"outcome", StartOutcomeName(s.outcome)}};
    if (s.outcome == CardStart::Outcome::kMissing) start["error"] = s.error;
    starts.push_back(start);
  }
  return {{"volume", plan.volume}, {"copies", copies}, {"starts", starts}, {"problems", plan.problems},
          {"notes", plan.notes}};
}

}  // namespace tools
