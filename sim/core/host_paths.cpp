#include "sim/core/host_paths.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace fs = std::filesystem;

namespace {

std::atomic<bool> stepwise_only{false};

bool IsSpecial(mode_t mode) { return !S_ISREG(mode) && !S_ISDIR(mode) && !S_ISLNK(mode); }

// The flags every open of an entry carries: never follow a link at the end, never become a
// controlling terminal, never wait for a FIFO's peer.
int OpenFlags(EntryKind kind, int flags) {
  int common = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
  return kind == EntryKind::kFolder ? common | O_RDONLY | O_DIRECTORY : common | O_NONBLOCK | flags;
}

// Why opening name in dir as kind failed with errno error: looks at what is there.
HostEntry Failure(int dir, const std::string& name, EntryKind kind, int error) {
  HostEntry entry;
  entry.errno_value = error;
  entry.error = FromErrno(error);
  if (error == ELOOP || error == ENOTDIR || error == ENXIO || error == EISDIR || error == EOPNOTSUPP) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(st.st_mode)) {
        entry.error = HostError::kLink;
      } else if (kind == EntryKind::kFolder && !S_ISDIR(st.st_mode)) {
        entry.error = HostError::kNotFolder;
      } else if (kind == EntryKind::kFile && S_ISDIR(st.st_mode)) {
        entry.error = HostError::kIsFolder;
      } else if (IsSpecial(st.st_mode)) {
        entry.error = HostError::kNotFile;
      }
    }
  }
  return entry;
}

// Checks what an open gave: a folder, or a regular file; anything else is closed and refused.
HostEntry Opened(int fd, EntryKind kind) {
  HostEntry entry;
  entry.fd.Reset(fd);
  if (::fstat(fd, &entry.st) != 0) {
    entry.errno_value = errno;
    entry.error = FromErrno(errno);
    entry.fd.Reset();
    return entry;
  }
  if (kind == EntryKind::kFile && !S_ISREG(entry.st.st_mode)) {
    // (O_PATH | O_NOFOLLOW opens a link itself.)
    entry.error = S_ISDIR(entry.st.st_mode)   ? HostError::kIsFolder
                  : S_ISLNK(entry.st.st_mode) ? HostError::kLink
                                              : HostError::kNotFile;
    entry.fd.Reset();
  }
  return entry;
}

bool IsPlainName(const fs::path& part) { return !part.empty() && part != "." && part != ".."; }

// openat2 beneath dir with no link followed; -1 with errno, or ENOSYS where the kernel lacks it.
int OpenAt2(int dir, const fs::path& relative, int flags, mode_t mode) {
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
  if (!stepwise_only.load(std::memory_order_relaxed)) {
    struct open_how how = {};
    how.flags = static_cast<std::uint64_t>(flags);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < 8; ++attempt) {
      long fd = ::syscall(SYS_openat2, dir, relative.c_str(), &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      if (errno != EAGAIN && errno != EINTR) break;  // EAGAIN: a rename raced the walk
    }
    if (errno == ENOSYS || errno == E2BIG || errno == EPERM) errno = ENOSYS;  // EPERM: a seccomp filter
    return -1;
  }
#else
  (void)dir, (void)relative, (void)flags, (void)mode;
#endif
  errno = ENOSYS;
  return -1;
}

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::string Describe(HostError error) {
  switch (error) {
    case HostError::kNone:
      return "is usable";
    case HostError::kNotFound:
      return "does not exist";
    case HostError::kLink:
      return "is or leads through a symbolic link, which is never followed";
    case HostError::kNotFile:
      return "is a FIFO, device node or socket, not a regular file";
    case HostError::kNotFolder:
      return "is not a folder";
    case HostError::kIsFolder:
      return "is a folder, not a file";
    case HostError::kExists:
      return "exists already";
    case HostError::kAccess:
      return "cannot be accessed (permission denied or a read-only file system)";
    case HostError::kNoSpace:
      return "cannot be written: the disk is full";
    case HostError::kBadName:
      return "is not a name the host takes (too long?)";
    case HostError::kOutside:
      return "lies outside the module folder";
    case HostError::kOther:
      break;
  }
  return "cannot be opened";
}

HostError FromErrno(int error) {
  switch (error) {
    case 0:
      return HostError::kNone;
    case ENOENT:
      return HostError::kNotFound;
    case ELOOP:
      return HostError::kLink;
    case ENOTDIR:
      return HostError::kNotFolder;
    case EISDIR:
      return HostError::kIsFolder;
    case ENXIO:
    case ENODEV:
      return HostError::kNotFile;
    case EEXIST:
    case ENOTEMPTY:
      return HostError::kExists;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      return HostError::kAccess;
    case ENOSPC:
    case EDQUOT:
      return HostError::kNoSpace;
    case ENAMETOOLONG:
    case EILSEQ:
      return HostError::kBadName;
    case EXDEV:
      return HostError::kOutside;
    default:
      return HostError::kOther;
  }
}

void UseStepwiseResolution(bool stepwise) { stepwise_only.store(stepwise, std::memory_order_relaxed); }

HostEntry OpenEntry(int dir, const std::string& name, EntryKind kind, int flags, mode_t mode) {
  // O_CREAT alone: made exclusively first, so the caller learns whether this open made the file.
  const bool create = kind == EntryKind::kFile && (flags & O_CREAT) && !(flags & O_EXCL);
  int fd = -1;
  bool created = false;
  for (int attempt = 0; fd < 0 && attempt < 4; ++attempt) {
    fd = ::openat(dir, name.c_str(), OpenFlags(kind, create ? flags | O_EXCL : flags), mode);
    created = fd >= 0 && (flags & O_CREAT);
    if (fd >= 0 || !create || errno != EEXIST) break;
    fd = ::openat(dir, name.c_str(), OpenFlags(kind, flags & ~O_CREAT), mode);
    if (errno != ENOENT) break;  // ENOENT: removed in between; make it again
  }
  if (fd < 0) return Failure(dir, name, kind, errno);
  HostEntry entry = Opened(fd, kind);
  entry.created = created && entry.fd.valid();
  return entry;
}

HostError StatEntry(int dir, const std::string& name, struct stat& st) {
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FromErrno(errno);
  if (S_ISLNK(st.st_mode)) return HostError::kLink;
  return HostError::kNone;
}

HostEntry OpenBeneath(int dir, const fs::path& relative, EntryKind kind, int flags, mode_t mode) {
  std::vector<fs::path> parts(relative.begin(), relative.end());
  if (!parts.empty() && parts.back().empty()) parts.pop_back();  // a trailing separator
  if (relative.is_absolute() || parts.empty() ||
      std::any_of(parts.begin(), parts.end(), [](const fs::path& p) { return !IsPlainName(p); })) {
    HostEntry refused;
    refused.error = HostError::kOutside;
    return refused;
  }
  if (parts.size() == 1) return OpenEntry(dir, parts[0].string(), kind, flags, mode);
  // A file that may be made is opened by its last step, which tells whether it was made.
  int fd = flags & O_CREAT ? (errno = ENOSYS, -1) : OpenAt2(dir, relative, OpenFlags(kind, flags), mode);
  if (fd >= 0) return Opened(fd, kind);
  if (errno == ENOENT) {
    HostEntry missing;
    missing.errno_value = ENOENT;
    missing.error = HostError::kNotFound;
    return missing;
  }
  // One step at a time: where openat2 is missing, and to tell which step refused.
  UniqueFd at;
  int current = dir;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    int next = ::openat(current, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return Failure(current, parts[i].string(), EntryKind::kFolder, errno);
    at.Reset(next);
    current = next;
  }
  return OpenEntry(current, parts.back().string(), kind, flags, mode);
}

int ReadToEnd(int fd, std::string& bytes) {
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return 0;
}

std::string TemporaryName() {
  static std::atomic<unsigned> counter{0};
  return ".kalvori-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
}

HostError CreateTemporary(int dir, mode_t mode, UniqueFd& fd, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = TemporaryName();
    fd.Reset(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.valid()) return HostError::kNone;
    if (errno != EEXIST) return FromErrno(errno);
  }
  return HostError::kExists;
}

HostError ReplaceEntry(int dir, const std::string& name, std::string_view bytes, mode_t mode) {
  struct stat st;
  HostError there = StatEntry(dir, name, st);
  if (there == HostError::kNone && !S_ISREG(st.st_mode)) {
    return S_ISDIR(st.st_mode) ? HostError::kIsFolder : HostError::kNotFile;
  }
  if (there != HostError::kNone && there != HostError::kNotFound) return there;
  std::string temporary;
  UniqueFd made;
  if (HostError error = CreateTemporary(dir, mode, made, temporary); error != HostError::kNone) return error;
  const int fd = made.Release();
  bool ok = true;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlinkat(dir, temporary.c_str(), 0);
    return error == 0 ? HostError::kOther : FromErrno(error);
  }
  return HostError::kNone;
}

// --- HostPaths ---

namespace {

fs::path Normal(const fs::path& p) {
  fs::path n = p.lexically_normal();
  if (!n.has_filename() && n.has_parent_path() && n != n.root_path()) n = n.parent_path();
  return n;
}

// The way from base down to p, when p lies beneath base (or is base: an empty path).
bool Beneath(const fs::path& p, const fs::path& base, fs::path& relative) {
  if (base.empty()) return false;
  fs::path r = p.lexically_relative(base);
  if (r.empty()) return false;
  if (r == ".") {
    relative.clear();
    return true;
  }
  if (*r.begin() == "..") return false;
  relative = r;
  return true;
}

}  // namespace

HostError HostFile::Remove(std::string_view suffix) const {
  return ::unlinkat(folder.get(), Named(suffix).c_str(), 0) == 0 ? HostError::kNone : FromErrno(errno);
}

HostError OpenUserFile(const fs::path& path, HostFile& file) {
  const fs::path normal = Normal(fs::absolute(path));
  if (!normal.has_filename() || normal == normal.root_path()) return HostError::kIsFolder;
  file.shown = normal;
  file.name = normal.filename().string();
  file.folder.Reset(::open(normal.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return file.folder.valid() ? HostError::kNone : FromErrno(errno);
}

HostPaths::HostPaths(const fs::path& module_folder, const std::vector<fs::path>& allowed) {
  module_folder_ = Normal(fs::absolute(module_folder));
  std::vector<fs::path> folders{module_folder_};
  for (const fs::path& a : allowed) folders.push_back(Normal(fs::absolute(a)));
  for (std::size_t i = 0; i < folders.size(); ++i) {
    Anchor anchor;
    anchor.path = folders[i];
    anchor.fd.Reset(::open(anchor.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!anchor.fd.valid()) {
      throw std::runtime_error((i == 0 ? "the module folder " : "the allowed folder ") + anchor.path.string() +
                               ": " + std::strerror(errno));
    }
    std::error_code ec;
    fs::path canonical = fs::canonical(anchor.path, ec);
    if (!ec && canonical != anchor.path) anchor.canonical = canonical;
    anchors_.push_back(std::move(anchor));
  }
}

HostError HostPaths::Locate(const fs::path& named, Place& place) const {
  place.shown = Normal(named.is_absolute() ? named : module_folder_ / named);
  for (const Anchor& anchor : anchors_) {
    if (Beneath(place.shown, anchor.path, place.relative) || Beneath(place.shown, anchor.canonical, place.relative)) {
      place.dir = anchor.fd.get();
      return HostError::kNone;
    }
  }
  place.dir = -1;
  return HostError::kOutside;
}

HostEntry HostPaths::Open(const fs::path& named, EntryKind kind, int flags, mode_t mode) const {
  Place place;
  HostEntry refused;
  if ((refused.error = Locate(named, place)) != HostError::kNone) return refused;
  if (place.relative.empty()) {
    if (kind == EntryKind::kFolder) return OpenEntry(place.dir, ".", kind);
    refused.error = HostError::kIsFolder;
    return refused;
  }
  return OpenBeneath(place.dir, place.relative, kind, flags, mode);
}

HostError HostPaths::Settle(const fs::path& named, HostFile& file) const {
  Place place;
  if (HostError error = Locate(named, place); error != HostError::kNone) return error;
  if (place.relative.empty()) return HostError::kIsFolder;
  file.shown = place.shown;
  file.name = place.relative.filename().string();
  const fs::path parent = place.relative.parent_path();
  HostEntry folder = parent.empty() ? OpenEntry(place.dir, ".", EntryKind::kFolder)
                                    : OpenBeneath(place.dir, parent, EntryKind::kFolder);
  if (!folder) return folder.error;
  file.folder = std::move(folder.fd);
  return HostError::kNone;
}

HostError HostPaths::Replace(const fs::path& named, std::string_view bytes) const {
  HostFile file;
  if (HostError error = Settle(named, file); error != HostError::kNone) return error;
  return file.Replace(bytes);
}

std::string HostPaths::Explain(const fs::path& named, HostError error) const {
  Place place;
  Locate(named, place);
  if (error != HostError::kOutside) return place.shown.string() + " " + Describe(error);
  return place.shown.string() + " lies outside the module folder " + module_folder_.string() +
         " (a folder elsewhere can be allowed with --allow-outside)";
}

}  // namespace sim
