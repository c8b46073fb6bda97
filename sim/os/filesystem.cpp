#include "sim/os/filesystem.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "sim/core/text.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

// What the device is told when the host refused to open an entry.
std::uint32_t FromHostError(HostError error) {
  switch (error) {
    case HostError::kNone:
      return 0;
    case HostError::kNotFound:
      return OS_ERROR_FILE_NOT_FOUND;
    case HostError::kNotFolder:
      return OS_ERROR_PATH_NOT_FOUND;
    case HostError::kLink:       // could lead out of the module's folders
    case HostError::kNotFile:    // a FIFO, device node or socket is not the module's
    case HostError::kIsFolder:
    case HostError::kAccess:
    case HostError::kOutside:
      return OS_ERROR_ACCESS_DENIED;
    case HostError::kExists:
      return OS_ERROR_FILE_EXISTS;
    case HostError::kNoSpace:
      return OS_ERROR_DISK_FULL;
    case HostError::kBadName:
      return OS_ERROR_INVALID_NAME;
    case HostError::kOther:
      break;
  }
  return OS_ERROR_GEN_FAILURE;
}

std::uint32_t OsErrorOf(int error) { return FromHostError(sim::FromErrno(error)); }

bool IsComponent(std::u16string_view name, bool pattern) {
  if (!pattern) return IsDeviceName(name);
  if (name.empty() || name == u"." || name == u"..") return false;
  return std::all_of(name.begin(), name.end(), [](char16_t c) {
    return c >= 0x20 && std::u16string_view(u"\\/:\"<>|").find(c) == std::u16string_view::npos;
  });
}

bool HasWildcards(std::u16string_view name) { return name.find_first_of(u"*?") != std::u16string_view::npos; }

std::vector<std::u16string> Split(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find(u'\\', start);
    parts.emplace_back(path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start));
    if (end == std::u16string_view::npos) return parts;
    start = end + 1;
  }
}

// A mounted volume's folder, as the operating system marks it.
constexpr std::uint32_t kMountPointAttributes = OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_TEMPORARY;

// A file the device sees as read-only: its owner may not write it. Read from the mode, not from
// access(), so that it holds alike when the simulator runs as root.
bool IsReadOnly(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

std::uint32_t FileAttributes(const struct stat& st) {
  return OS_FILE_ATTRIBUTE_ARCHIVE | (IsReadOnly(st) ? OS_FILE_ATTRIBUTE_READONLY : 0);
}

// Copies the whole of in to out with the kernel's copy; sendfile where copy_file_range cannot.
bool KernelCopy(int in, int out, std::uint64_t bytes) {
  bool use_sendfile = false;
  while (bytes > 0) {
    std::size_t chunk = bytes > (1u << 30) ? (1u << 30) : static_cast<std::size_t>(bytes);
    ssize_t n = use_sendfile ? ::sendfile(out, in, nullptr, chunk) : ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
    if (n < 0 && !use_sendfile && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      use_sendfile = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // an error, or the file shrank under us
    bytes -= static_cast<std::uint64_t>(n);
  }
  return true;
}

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

OpenFile::~OpenFile() {
  if (fd >= 0) ::close(fd);
}

std::string CheckVolumeName(std::u16string_view name) {
  if (name.empty()) return "empty";
  for (char16_t c : name) {
    if (c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) {
      return "a volume name is one folder name, without \\ / : * ? \" < > | or control characters";
    }
  }
  if (name == u"." || name == u"..") return "not a folder name";
  if (name.size() > kMaxVolumeNameChars) {
    return "longer than " + std::to_string(kMaxVolumeNameChars) +
           " characters: \\NAME does not fit a 96-byte mount message";
  }
  return {};
}

bool MatchesPattern(std::u16string_view name, std::u16string_view pattern) {
  // Greedy match with one backtrack point: the last '*' seen.
  std::size_t n = 0, p = 0, star = std::u16string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

FileSystem::FileSystem(const HostPaths& paths, const fs::path& root, std::vector<ShareDescription> shares,
                       const Clock& clock)
    : paths_(paths), clock_(clock) {
  HostEntry opened = paths_.Open(root, EntryKind::kFolder);
  if (!opened) throw DescriptionError("module folder: the device root " + paths_.Explain(root, opened.error));
  HostPaths::Place place;
  paths_.Locate(root, place);
  root_ = tree_.AddTop(std::move(opened.fd), place.shown);
  for (const ShareDescription& share : shares) {
    std::u16string prefix = ToUtf16(share.path);
    std::u16string_view view(prefix);
    if (!view.empty() && view[0] == u'\\') view.remove_prefix(1);
    shares_.push_back({Split(view), share.unavailable_ms});
  }
  umask_ = ::umask(0);
  ::umask(umask_);
}

// --- the mount table ---

const Volume* FileSystem::FindVolume(std::u16string_view name) const {
  for (const Volume& v : volumes_) {
    if (EqualIgnoringCase(v.name, name)) return &v;
  }
  return nullptr;
}

std::string FileSystem::Mount(std::u16string_view name, const fs::path& dir) {
  std::string problem = CheckVolumeName(name);
  if (!problem.empty()) return "volume name '" + ToUtf8(name) + "': " + problem;
  if (FindVolume(name)) return "\\" + ToUtf8(name) + " is already mounted";
  HostPaths::Place place;
  paths_.Locate(dir, place);
  HostEntry opened = paths_.Open(dir, EntryKind::kFolder);
  std::shared_ptr<const FatImageCopy> image;
  if (opened.error == HostError::kNotFolder) {
    // A file: a FAT image, opened read-only as confined as a folder would be, its files copied out.
    HostEntry file = paths_.Open(dir, EntryKind::kFile, O_RDONLY);
    if (!file) return paths_.Explain(dir, file.error);
    try {
      image = std::make_shared<const FatImageCopy>(file.fd.get(), place.shown);
    } catch (const FatImageError& e) {
      return e.what();
    }
    opened.fd.Reset(::open(image->dir().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!opened) return "cannot open the copy of " + place.shown.string() + ": " + std::strerror(errno);
    opened.error = HostError::kNone;
  }
  if (opened.error == HostError::kNotFound) return "no folder or FAT image " + place.shown.string();
  if (!opened) return paths_.Explain(dir, opened.error);
  tree_.Refresh();
  const fs::path host = image ? image->dir() : place.shown;
  volumes_.push_back({std::u16string(name), host, tree_.AddTop(std::move(opened.fd), host), image});
  return {};
}

std::string FileSystem::Unmount(std::u16string_view name) {
  for (auto it = volumes_.begin(); it != volumes_.end(); ++it) {
    if (EqualIgnoringCase(it->name, name)) {
      tree_.Refresh();
      tree_.RemoveTop(it->folder);
      volumes_.erase(it);
      return {};
    }
  }
  return "\\" + ToUtf8(name) + " is not mounted";
}

// --- paths ---

bool FileSystem::ShareUnavailable(const std::vector<std::u16string>& components) const {
  for (const Share& share : shares_) {
    if (clock_.NowMs() >= share.unavailable_ms || share.parts.size() > components.size()) continue;
    if (std::equal(share.parts.begin(), share.parts.end(), components.begin(),
                   [](const std::u16string& a, const std::u16string& b) { return EqualIgnoringCase(a, b); })) {
      return true;
    }
  }
  return false;
}

Resolved FileSystem::Resolve(std::u16string_view path) {
  tree_.Refresh();
  return Locate(path, true);
}

// Walks the parts from the root or a volume's folder through the folders' indexes. stat_last: look
// at what the last part is (else the caller opens it and looks).
Resolved FileSystem::Locate(std::u16string_view path, bool stat_last) {
  Resolved r;
  if (path.empty()) {
    r.error = OS_ERROR_PATH_NOT_FOUND;
    return r;
  }
  if (path[0] == u'\\') path.remove_prefix(1);
  if (path.empty()) {
    r.folder = root_;
    r.exists = r.directory = r.mount_point = true;
    return r;
  }
  std::vector<std::u16string> parts = Split(path);
  for (const auto& part : parts) {
    if (!IsComponent(part, false)) {
      r.error = OS_ERROR_INVALID_NAME;
      return r;
    }
  }
  if (ShareUnavailable(parts)) {
    r.error = OS_ERROR_NO_NETWORK;
    return r;
  }
  HostTree::Folder* at = root_;
  std::size_t i = 0;
  if (const Volume* v = FindVolume(parts[0])) {
    at = v->folder;
    i = 1;
    if (parts.size() == 1) {
      r.folder = at;
      r.exists = r.directory = r.mount_point = true;
      return r;
    }
  }
  for (; i + 1 < parts.size(); ++i) {
    const std::string* host = tree_.Find(*at, parts[i]);
    HostError error = HostError::kNotFound;
    HostTree::Folder* sub = host ? tree_.Sub(*at, *host, error) : nullptr;
    if (!sub) {
      // A link could lead out of the module's folders; anything else that is no folder is no path.
      r.error = error == HostError::kLink ? OS_ERROR_ACCESS_DENIED : OS_ERROR_PATH_NOT_FOUND;
      return r;
    }
    at = sub;
  }
  r.folder = at;
  const std::string* host = tree_.Find(*at, parts.back());
  r.name = host ? *host : ToUtf8(parts.back());
  if (!host || !stat_last) {
    r.exists = host != nullptr;
    return r;
  }
  int dir = tree_.Fd(*at);
  HostError error = dir < 0 ? HostError::kNotFound : StatEntry(dir, r.name, r.st);
  if (error == HostError::kNone && !S_ISREG(r.st.st_mode) && !S_ISDIR(r.st.st_mode)) error = HostError::kNotFile;
  if (error == HostError::kNotFound) return r;
  if (error != HostError::kNone) {
    r.error = FromHostError(error);
    return r;
  }
  r.exists = true;
  r.directory = S_ISDIR(r.st.st_mode);
  return r;
}

fs::path FileSystem::HostPath(const Resolved& resolved) const {
  fs::path folder = tree_.HostPath(*resolved.folder);
  return resolved.name.empty() ? folder : folder / resolved.name;
}

HostEntry FileSystem::OpenProgram(const Resolved& resolved) {
  HostEntry entry = OpenEntry(tree_.Fd(*resolved.folder), resolved.name, EntryKind::kFile, O_PATH);
  return entry;
}

std::uint32_t FileSystem::List(HostTree::Folder& folder, bool is_root, std::vector<DirEntry>& entries) {
  std::vector<HostTree::Listed> listed;
  if (HostError error = tree_.List(folder, listed); error != HostError::kNone) return FromHostError(error);
  entries.clear();
  entries.reserve(listed.size() + (is_root ? volumes_.size() : 0));
  for (const HostTree::Listed& host : listed) {
    DirEntry entry;
    entry.name = ToUtf16(host.host);
    if (is_root && FindVolume(entry.name)) continue;  // the mounted volume hides it
    if (S_ISDIR(host.st.st_mode)) {
      entry.attributes = OS_FILE_ATTRIBUTE_DIRECTORY | (IsReadOnly(host.st) ? OS_FILE_ATTRIBUTE_READONLY : 0);
    } else {
      entry.attributes = FileAttributes(host.st);
      entry.size = static_cast<std::uint64_t>(host.st.st_size);
    }
    entries.push_back(std::move(entry));
  }
  if (is_root) {
    for (const Volume& v : volumes_) entries.push_back({v.name, kMountPointAttributes, 0});
  }
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
    int c = CompareIgnoringCase(a.name, b.name);
    return c != 0 ? c < 0 : a.name < b.name;
  });
  return 0;
}

// --- operations ---

std::uint32_t FileSystem::Attributes(std::u16string_view path, std::uint32_t& attributes) {
  Resolved r = Resolve(path);
  if (r.error) return r.error;
  if (!r.exists) return OS_ERROR_FILE_NOT_FOUND;
  if (r.mount_point) {
    attributes = r.folder == root_ ? OS_FILE_ATTRIBUTE_DIRECTORY : kMountPointAttributes;
  } else if (r.directory) {
    attributes = OS_FILE_ATTRIBUTE_DIRECTORY;
  } else {
    attributes = FileAttributes(r.st);
  }
  return 0;
}

std::uint32_t FileSystem::Find(std::u16string_view pattern, std::vector<DirEntry>& entries) {
  entries.clear();
  std::size_t slash = pattern.rfind(u'\\');
  std::u16string_view folder = slash == std::u16string_view::npos ? std::u16string_view() : pattern.substr(0, slash);
  std::u16string_view last = slash == std::u16string_view::npos ? pattern : pattern.substr(slash + 1);
  if (!IsComponent(last, true)) return last.empty() ? OS_ERROR_FILE_NOT_FOUND : OS_ERROR_INVALID_NAME;
  bool is_root = folder.empty();
  if (!HasWildcards(last)) {
    // One name: looked up, not listed.
    Resolved r = Resolve(pattern);
    if (r.error) return r.error;
    if (!r.exists) return OS_ERROR_FILE_NOT_FOUND;  // its folder is there: a missing one fails the walk
    DirEntry entry;
    if (r.mount_point) {
      entry = {FindVolume(last)->name, kMountPointAttributes, 0};
    } else {
      entry.name = ToUtf16(r.name);
      entry.attributes = r.directory ? OS_FILE_ATTRIBUTE_DIRECTORY | (IsReadOnly(r.st) ? OS_FILE_ATTRIBUTE_READONLY : 0)
                                     : FileAttributes(r.st);
      entry.size = r.directory ? 0 : static_cast<std::uint64_t>(r.st.st_size);
    }
    entries.push_back(std::move(entry));
    return 0;
  }
  Resolved dir = Resolve(is_root ? u"\\" : folder);
  if (dir.error) return dir.error;
  if (!dir.exists || !dir.directory) return OS_ERROR_PATH_NOT_FOUND;
  std::u16string whole(pattern);
  std::vector<std::u16string> parts = Split(std::u16string_view(whole).substr(whole[0] == u'\\' ? 1 : 0));
  if (ShareUnavailable(parts)) return OS_ERROR_NO_NETWORK;
  HostTree::Folder* at = dir.folder;
  if (!dir.mount_point) {
    HostError error = HostError::kNotFound;
    at = tree_.Sub(*dir.folder, dir.name, error);
    if (!at) return error == HostError::kLink ? OS_ERROR_ACCESS_DENIED : OS_ERROR_PATH_NOT_FOUND;
  }
  std::vector<DirEntry> all;
  if (std::uint32_t error = List(*at, is_root, all)) return error;
  for (DirEntry& entry : all) {
    if (MatchesPattern(entry.name, last)) entries.push_back(std::move(entry));
  }
  return entries.empty() ? OS_ERROR_FILE_NOT_FOUND : 0;
}

std::uint32_t FileSystem::CreateDirectory(std::u16string_view path) {
  Resolved r = Resolve(path);
  if (r.error) return r.error;
  if (r.exists) return OS_ERROR_ALREADY_EXISTS;
  int dir = tree_.Fd(*r.folder);
  if (dir < 0) return OS_ERROR_PATH_NOT_FOUND;
  if (::mkdirat(dir, r.name.c_str(), 0777) != 0) return errno == EEXIST ? OS_ERROR_ALREADY_EXISTS : OsErrorOf(errno);
  tree_.Added(*r.folder, r.name);
  return 0;
}

std::uint32_t FileSystem::CopyFile(std::u16string_view from, std::u16string_view to, bool fail_if_exists) {
  tree_.Refresh();
  Resolved source = Locate(from, false);
  if (source.error) return source.error;
  if (!source.exists) return OS_ERROR_FILE_NOT_FOUND;
  if (source.mount_point) return OS_ERROR_ACCESS_DENIED;
  Resolved target = Locate(to, true);
  if (target.error) return target.error;
  if (target.exists && target.directory) return OS_ERROR_ACCESS_DENIED;
  if (target.exists && fail_if_exists) return OS_ERROR_FILE_EXISTS;
  if (target.exists && IsReadOnly(target.st)) return OS_ERROR_ACCESS_DENIED;  // though the rename could replace it
  HostEntry in = OpenEntry(tree_.Fd(*source.folder), source.name, EntryKind::kFile, O_RDONLY);
  if (!in) return in.error == HostError::kNotFound ? OS_ERROR_FILE_NOT_FOUND : FromHostError(in.error);
  if (target.exists && target.st.st_dev == in.st.st_dev && target.st.st_ino == in.st.st_ino) {
    return OS_ERROR_SHARING_VIOLATION;  // a file onto itself
  }
  return Publish(in.fd.get(), in.st, target);
}

// Writes a copy of in to the target's place whole: an unnamed file in its folder, filled and then
// linked in (a new name) or renamed over the old file (an existing one), so that the name holds the
// old file or the whole new one, never part of it. Where the host has no unnamed files, a named
// temporary beside the target takes its place.
std::uint32_t FileSystem::Publish(int in, const struct stat& in_st, const Resolved& target) {
  int dir = tree_.Fd(*target.folder);
  if (dir < 0) return OS_ERROR_PATH_NOT_FOUND;
  const mode_t mode = in_st.st_mode & 0777;
  UniqueFd out;
  std::string temporary;  // the named temporary, when there is one
  if (unnamed_temporaries_) {
    out.Reset(::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (!out.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) unnamed_temporaries_ = false;
    if (!out.valid() && unnamed_temporaries_) return OsErrorOf(errno);
  }
  if (!out.valid()) {
    if (HostError error = CreateTemporary(dir, mode, out, temporary); error != HostError::kNone) {
      return FromHostError(error);
    }
  }
  auto discard = [&](std::uint32_t error) {
    if (!temporary.empty()) ::unlinkat(dir, temporary.c_str(), 0);
    return error;
  };
  if (!KernelCopy(in, out.get(), static_cast<std::uint64_t>(in_st.st_size))) return discard(OS_ERROR_WRITE_FAULT);
  if ((mode & ~umask_) != mode && ::fchmod(out.get(), mode) != 0) return discard(OS_ERROR_WRITE_FAULT);
  if (temporary.empty()) {
    const std::string unnamed = FdPath(out.get());
    if (!target.exists && ::linkat(AT_FDCWD, unnamed.c_str(), dir, target.name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      tree_.Added(*target.folder, target.name);
      return 0;
    }
    if (!target.exists && errno != EEXIST) {
      if (errno == ENOENT) unnamed_temporaries_ = false;  // no /proc to name it through
      return OsErrorOf(errno);
    }
    // Someone else's file is there now, or the target existed: give ours a name, then rename it over.
    for (int attempt = 0; attempt < 100; ++attempt) {
      temporary = TemporaryName();
      if (::linkat(AT_FDCWD, unnamed.c_str(), dir, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
      if (errno != EEXIST) return OsErrorOf(errno);
      temporary.clear();
    }
    if (temporary.empty()) return OS_ERROR_GEN_FAILURE;
  }
  if (::close(out.Release()) != 0) return discard(OS_ERROR_WRITE_FAULT);
  if (::renameat(dir, temporary.c_str(), dir, target.name.c_str()) != 0) return discard(OsErrorOf(errno));
  tree_.Added(*target.folder, target.name);
  return 0;
}

std::uint32_t FileSystem::DeleteFile(std::u16string_view path) {
  Resolved r = Resolve(path);
  if (r.error) return r.error;
  if (!r.exists) return OS_ERROR_FILE_NOT_FOUND;
  if (r.directory) return OS_ERROR_ACCESS_DENIED;
  if (::unlinkat(tree_.Fd(*r.folder), r.name.c_str(), 0) != 0) return OsErrorOf(errno);
  tree_.Removed(*r.folder, r.name);
  return 0;
}

std::uint32_t FileSystem::Open(std::u16string_view path, bool read, bool write, std::uint32_t disposition, int& fd,
                               bool& existed) {
  fd = -1;
  Resolved r = Resolve(path);
  if (r.error) return r.error;
  existed = r.exists;
  if (r.exists && r.directory) return OS_ERROR_ACCESS_DENIED;
  int flags = write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
  switch (disposition) {
    case OS_CREATE_NEW:
      if (r.exists) return OS_ERROR_FILE_EXISTS;
      flags |= O_CREAT | O_EXCL;
      break;
    case OS_CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OS_OPEN_EXISTING:
      if (!r.exists) return OS_ERROR_FILE_NOT_FOUND;
      break;
    case OS_OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case OS_TRUNCATE_EXISTING:
      if (!r.exists) return OS_ERROR_FILE_NOT_FOUND;
      if (!write) return OS_ERROR_INVALID_PARAMETER;
      flags |= O_TRUNC;
      break;
    default:
      return OS_ERROR_INVALID_PARAMETER;
  }
  if (write && r.exists && IsReadOnly(r.st)) return OS_ERROR_ACCESS_DENIED;
  HostEntry opened = OpenEntry(tree_.Fd(*r.folder), r.name, EntryKind::kFile, flags, 0666);
  if (!opened) return opened.error == HostError::kNotFound ? OS_ERROR_FILE_NOT_FOUND : FromHostError(opened.error);
  if (!r.exists) tree_.Added(*r.folder, r.name);
  fd = opened.fd.Release();
  return 0;
}

}  // namespace sim
