// The module's file system as the device code sees it: the device's "\" is a host folder, and every
// mounted volume appears as a folder "\NAME" of the root, backed by a host folder of its own.
//
// Device paths are backslash-separated and resolved without regard to case, as on FAT. A path that
// does not start with a backslash counts from the root (there is no current directory). Every path
// stays inside the module's folders: empty components, "." and "..", drive letters, forward slashes
// and other characters a FAT name cannot hold are refused as invalid names, and a symbolic link, FIFO,
// device node or socket met inside the tree is refused as access denied, also when it was swapped in
// during the run. Host entries whose names a device path could not address (a backslash, a colon, a
// control character, ...), links and those special files are never listed.
//
// Resolution and case-insensitive lookup cost constant time per path part: the host folders are held
// open and indexed by case-folded name (sim/os/host_tree.h).
//
// Listings (find-first/next) are snapshots sorted by the case-folded name, so the order is stable
// and the same on every host. They never hold "." or "..". At the root, mounted volumes are listed
// beside the root folder's own entries and hide a root entry of the same name; their folders carry
// the directory and temporary attributes (0x110), as the operating system marks mount points.
//
// A network share is a path prefix ("\Network") that answers "network not present" until a set
// time after the module started.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/clock.h"
#include "sim/core/description.h"
#include "sim/core/host_paths.h"
#include "sim/core/module_core.h"
#include "sim/os/fat_image.h"
#include "sim/os/host_tree.h"

namespace sim {

struct Volume {
  std::u16string name;         // the folder name without its backslash: "Storage Card"
  std::filesystem::path dir;   // the host folder behind it (a FAT image's: the copy of its files)
  HostTree::Folder* folder = nullptr;
  std::shared_ptr<const FatImageCopy> image;  // a volume given as a FAT image: its files' copy
};

struct DirEntry {
  std::u16string name;
  std::uint32_t attributes = 0;  // OS_FILE_ATTRIBUTE_*
  std::uint64_t size = 0;
};

// A device path resolved onto the host: the folder that holds it and its name there. Valid until the
// file system's next operation.
struct Resolved {
  std::uint32_t error = 0;      // nonzero: the path is refused or its folder is missing (OS_ERROR_*)
  HostTree::Folder* folder = nullptr;  // when error is 0; a mount point's own folder
  std::string name;             // the host name in folder, also of a path that does not exist yet; empty for a mount point
  bool exists = false;
  bool directory = false;
  bool mount_point = false;     // "\" or a mounted volume's folder
  struct stat st = {};          // when it exists (not for a mount point)
};

// An open file (OsCreateFile); closes its descriptor when the handle goes.
struct OpenFile : HandleObject {
  OpenFile(int fd, bool read, bool write, std::string path = {})
      : fd(fd), can_read(read), can_write(write), path(std::move(path)) {}
  ~OpenFile() override;
  int fd;
  bool can_read;
  bool can_write;
  std::string path;  // the device path it was opened by (UTF-8), for injected failures
};

// An open store ("\StoreMgr\DSK0:").
struct OpenStore : HandleObject {
  explicit OpenStore(std::string name) : name(std::move(name)) {}
  std::string name;
};

// A find-first/next enumeration.
struct Search : HandleObject {
  std::vector<DirEntry> entries;
  std::size_t next = 0;
};

class FileSystem {
 public:
  // root: the device's "\", a path the module folder names. Throws DescriptionError when it cannot be
  // opened as a folder inside the module folder.
  FileSystem(const HostPaths& paths, const std::filesystem::path& root, std::vector<ShareDescription> shares,
             const Clock& clock);

  // --- the mount table ---
  // Empty on success, else why the volume cannot be mounted or removed. dir is a path the module
  // folder names (see HostPaths): a host folder, or a FAT image file whose files are served from a
  // copy (sim/os/fat_image.h).
  std::string Mount(std::u16string_view name, const std::filesystem::path& dir);
  std::string Unmount(std::u16string_view name);
  const std::vector<Volume>& volumes() const { return volumes_; }

  // --- paths ---
  Resolved Resolve(std::u16string_view path);
  std::filesystem::path HostPath(const Resolved& resolved) const;
  // Opens a resolved regular file to be run (O_PATH), refusing anything else.
  HostEntry OpenProgram(const Resolved& resolved);

  // --- operations; each returns 0 or an error code (OS_ERROR_*) ---
  std::uint32_t Attributes(std::u16string_view path, std::uint32_t& attributes);
  // The pattern's last component may hold '*' and '?'. Nothing matching is OS_ERROR_FILE_NOT_FOUND.
  std::uint32_t Find(std::u16string_view pattern, std::vector<DirEntry>& entries);
  std::uint32_t CreateDirectory(std::u16string_view path);
  // Copies with the kernel's copy into an unnamed file in the destination's folder, then links it in
  // under the destination's name, or renames it over an existing destination, so a failed copy leaves
  // an existing destination as it was. A read-only destination is refused with OS_ERROR_ACCESS_DENIED.
  std::uint32_t CopyFile(std::u16string_view from, std::u16string_view to, bool fail_if_exists);
  std::uint32_t DeleteFile(std::u16string_view path);
  // disposition: OS_CREATE_NEW ... OS_TRUNCATE_EXISTING. existed tells whether the file was there.
  std::uint32_t Open(std::u16string_view path, bool read, bool write, std::uint32_t disposition, int& fd,
                     bool& existed);

 private:
  struct Share {
    std::vector<std::u16string> parts;  // the device path prefix, split
    std::uint32_t unavailable_ms = 0;
  };

  const HostPaths& paths_;
  HostTree tree_;
  HostTree::Folder* root_ = nullptr;
  std::vector<Share> shares_;
  const Clock& clock_;
  std::vector<Volume> volumes_;  // in mount order
  mode_t umask_ = 0;
  bool unnamed_temporaries_ = true;  // O_TMPFILE works in the folders met so far

  const Volume* FindVolume(std::u16string_view name) const;
  bool ShareUnavailable(const std::vector<std::u16string>& components) const;
  Resolved Locate(std::u16string_view path, bool stat_last);
  std::uint32_t List(HostTree::Folder& folder, bool is_root, std::vector<DirEntry>& entries);
  std::uint32_t Publish(int in, const struct stat& in_st, const Resolved& target);
};

// True when name matches the pattern: '*' any run of characters, '?' one character, case ignored.
bool MatchesPattern(std::u16string_view name, std::u16string_view pattern);

// A volume name is one folder name: not empty, no \ / : * ? " < > | or control characters, and
// short enough that "\NAME" and its terminator fit the 96-byte mount message (32 characters).
inline constexpr std::size_t kMaxVolumeNameChars = 32;
// Empty when the name is acceptable, else why not.
std::string CheckVolumeName(std::u16string_view name);

}  // namespace sim
