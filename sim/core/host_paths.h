// The one way the simulator opens host paths, and where the paths a module folder names may lead.
//
// The rule: every host path a module folder names (root/, volumes/NAME, a volume's "dir", a script's
// mount folder, the flash image and its sidecar) must lie inside the module folder, or inside a
// folder the user allowed outside it (kalvori sim --allow-outside). Relative paths count from the
// module folder. No symbolic link is followed on the way, not in the module folder and not in an
// allowed folder, whether it was there from the start or swapped in while the simulator runs: paths
// are opened from folder descriptors, by openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the
// kernel has it, else one O_NOFOLLOW step at a time. Only folders and regular files are opened:
// FIFOs, device nodes and sockets are refused, after a non-blocking open that neither waits for a
// peer nor reads or writes anything.
//
// The module folder and the allowed folders themselves are the user's to name, links included.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Why a host path was not opened.
enum class HostError {
  kNone,
  kNotFound,    // the entry, or a folder on the way, does not exist
  kLink,        // a symbolic link on the way or at the end
  kNotFile,     // a FIFO, device node or socket
  kNotFolder,   // a folder was wanted and something else is there, also on the way
  kIsFolder,    // a file was wanted and a folder is there
  kExists,      // asked to create, and the entry is there
  kAccess,      // the host refused (permissions, a read-only file system)
  kNoSpace,
  kBadName,     // too long, or not a name the host takes
  kOutside,     // the path leads out of the module folder and the allowed folders
  kOther,
};

// "is a symbolic link", "is a FIFO, device node or socket", ...
std::string Describe(HostError error);
HostError FromErrno(int error);

// What opening an entry gave: the descriptor and its status, or why not.
struct HostEntry {
  UniqueFd fd;
  HostError error = HostError::kNone;
  int errno_value = 0;     // the host's own error, for messages
  struct stat st = {};     // valid with fd
  bool created = false;    // O_CREAT made the file
  explicit operator bool() const { return fd.valid(); }
};

// The kinds an entry may be opened as.
enum class EntryKind { kFolder, kFile };

// Opens the single entry `name` of the folder `dir` without following a link. kFolder opens a folder
// for reading (O_DIRECTORY); kFile opens a regular file with `flags` (O_RDONLY, O_WRONLY | O_CREAT, ...)
// and `mode` for creation, refusing FIFOs, device nodes and sockets without blocking or writing.
HostEntry OpenEntry(int dir, const std::string& name, EntryKind kind, int flags = 0, mode_t mode = 0666);

// As OpenEntry for a relative path of one or more names, none of them "." or "..": the folders on the
// way are stepped through without following links (openat2's RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS
// where the kernel has it, one O_NOFOLLOW step at a time elsewhere).
HostEntry OpenBeneath(int dir, const std::filesystem::path& relative, EntryKind kind, int flags = 0,
                      mode_t mode = 0666);

// The status of the entry `name` of `dir`, not following a link. kNone with st filled, or why not.
HostError StatEntry(int dir, const std::string& name, struct stat& st);

// Reads an opened file from where it stands to its end into bytes: 0, or the host's errno.
int ReadToEnd(int fd, std::string& bytes);

// For tests: walk one step at a time even where the kernel has openat2.
void UseStepwiseResolution(bool stepwise);

// A name for a temporary file beside others (".kalvori-PID-N.tmp"), and a new file of that name in
// dir, made for writing; kNone with fd and name, or why not.
std::string TemporaryName();
HostError CreateTemporary(int dir, mode_t mode, UniqueFd& fd, std::string& name);

// Replaces the file `name` of `dir` whole with bytes: a temporary beside it, renamed over it. A link,
// folder, FIFO, device node or socket at that name is refused and left as it is.
HostError ReplaceEntry(int dir, const std::string& name, std::string_view bytes, mode_t mode = 0644);

// A file a module folder names, held by the folder it lies in: it and its siblings (an image's
// sidecar) are opened, made, replaced and removed there by name, so a link swapped in on the way
// afterwards cannot redirect them.
struct HostFile {
  UniqueFd folder;
  std::string name;
  std::filesystem::path shown;  // the path, for messages

  // The file itself, or a sibling whose name is the file's with suffix appended (".json").
  std::string Named(std::string_view suffix) const { return name + std::string(suffix); }
  HostEntry Open(int flags, mode_t mode = 0644, std::string_view suffix = {}) const {
    return OpenEntry(folder.get(), Named(suffix), EntryKind::kFile, flags, mode);
  }
  HostError Stat(struct stat& st, std::string_view suffix = {}) const { return StatEntry(folder.get(), Named(suffix), st); }
  HostError Replace(std::string_view bytes, std::string_view suffix = {}) const {
    return ReplaceEntry(folder.get(), Named(suffix), bytes);
  }
  HostError Remove(std::string_view suffix = {}) const;
};

// A file the user names directly (a tool's argument): its folder opened as named, links included.
HostError OpenUserFile(const std::filesystem::path& path, HostFile& file);

// Where the host paths a module folder names may lead: the module folder and the folders the user
// allowed outside it, each held open from construction.
class HostPaths {
 public:
  // Throws std::runtime_error when the module folder or an allowed folder cannot be opened.
  HostPaths(const std::filesystem::path& module_folder, const std::vector<std::filesystem::path>& allowed);

  // A path the module folder names, split into the folder it must stay beneath and the way from
  // there. Relative paths count from the module folder.
  struct Place {
    int dir = -1;                    // the module folder's or an allowed folder's descriptor
    std::filesystem::path relative;  // empty: that folder itself
    std::filesystem::path shown;     // the path, absolute and normalised, for messages
  };
  // kOutside when the path leads out of every folder it may name.
  HostError Locate(const std::filesystem::path& named, Place& place) const;

  // Opens a named path (a folder, or a regular file with flags and mode as for OpenEntry).
  HostEntry Open(const std::filesystem::path& named, EntryKind kind, int flags = 0, mode_t mode = 0666) const;
  // Holds a named file by its folder (which must exist; the file need not). kOutside, kLink,
  // kNotFolder, ... when the folder cannot be reached; a link, FIFO, device node or socket at the
  // file's own name is found when it is opened.
  HostError Settle(const std::filesystem::path& named, HostFile& file) const;
  // Replaces a named file whole (see ReplaceEntry); its folder must exist.
  HostError Replace(const std::filesystem::path& named, std::string_view bytes) const;
  // "PATH is a symbolic link", "PATH lies outside the module folder M (...)": why a named path
  // was refused, for messages.
  std::string Explain(const std::filesystem::path& named, HostError error) const;

  const std::filesystem::path& module_folder() const { return module_folder_; }

 private:
  struct Anchor {
    std::filesystem::path path;       // absolute, normalised, as named
    std::filesystem::path canonical;  // the same after links, if it differs
    UniqueFd fd;
  };
  std::filesystem::path module_folder_;
  std::vector<Anchor> anchors_;  // the module folder first
};

}  // namespace sim
