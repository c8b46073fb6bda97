#include "sim/os/filesystem.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/platform.h"
#include "sim/core/text.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

std::uint32_t FromErrno(int error) {
  switch (error) {
    case ENOENT:
      return OS_ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return OS_ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return OS_ERROR_ACCESS_DENIED;
    case EEXIST:
      return OS_ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT:
      return OS_ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return OS_ERROR_INVALID_NAME;
    default:
      return OS_ERROR_GEN_FAILURE;
  }
}

bool IsNameChar(char16_t c, bool pattern) {
  if (c < 0x20) return false;
  if (pattern && (c == u'*' || c == u'?')) return true;
  return std::u16string_view(u"\\/:*?\"<>|").find(c) == std::u16string_view::npos;
}

bool IsComponent(std::u16string_view name, bool pattern) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return std::all_of(name.begin(), name.end(), [pattern](char16_t c) { return IsNameChar(c, pattern); });
}

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

// The host name of an entry of dir matching name without regard to case; empty when none. Of
// several host entries differing only in case, the first in byte order answers.
std::string LookUp(const fs::path& dir, std::u16string_view name) {
  std::string exact = ToUtf8(name);
  struct stat st;
  if (::lstat((dir / exact).c_str(), &st) == 0) return exact;
  std::string best;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string host = it->path().filename().string();
    if (EqualIgnoringCase(ToUtf16(host), name) && (best.empty() || host < best)) best = host;
  }
  return best;
}

// A mounted volume's folder, as the operating system marks it.
constexpr std::uint32_t kMountPointAttributes = OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_TEMPORARY;

// A file the device sees as read-only: its owner may not write it. Read from the mode, not from
// access(), so that it holds alike when the simulator runs as root.
bool IsReadOnly(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

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

}  // namespace

OpenFile::~OpenFile() {
  if (fd >= 0) ::close(fd);
}

bool IsDeviceName(std::u16string_view name) { return IsComponent(name, false); }

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

FileSystem::FileSystem(fs::path root, std::vector<ShareDescription> shares, const Clock& clock)
    : root_(fs::weakly_canonical(root)), shares_(std::move(shares)), clock_(clock) {}

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
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return "no folder " + dir.string();
  volumes_.push_back({std::u16string(name), fs::weakly_canonical(dir)});
  return {};
}

std::string FileSystem::Unmount(std::u16string_view name) {
  for (auto it = volumes_.begin(); it != volumes_.end(); ++it) {
    if (EqualIgnoringCase(it->name, name)) {
      volumes_.erase(it);
      return {};
    }
  }
  return "\\" + ToUtf8(name) + " is not mounted";
}

// --- paths ---

bool FileSystem::ShareUnavailable(const std::vector<std::u16string>& components) const {
  for (const ShareDescription& share : shares_) {
    if (clock_.NowMs() >= share.unavailable_ms) continue;
    std::u16string prefix = ToUtf16(share.path);
    std::vector<std::u16string> parts = Split(std::u16string_view(prefix).substr(1));
    if (parts.size() > components.size()) continue;
    if (std::equal(parts.begin(), parts.end(), components.begin(),
                   [](const std::u16string& a, const std::u16string& b) { return EqualIgnoringCase(a, b); })) {
      return true;
    }
  }
  return false;
}

Resolved FileSystem::Resolve(std::u16string_view path) const {
  Resolved r;
  if (path.empty()) {
    r.error = OS_ERROR_PATH_NOT_FOUND;
    return r;
  }
  if (path[0] == u'\\') path.remove_prefix(1);
  if (path.empty()) {
    r.host = root_;
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
  fs::path at = root_;
  std::size_t i = 0;
  if (const Volume* v = FindVolume(parts[0])) {
    at = v->dir;
    i = 1;
    r.mount_point = parts.size() == 1;
  }
  for (; i < parts.size(); ++i) {
    struct stat st;
    if (::stat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      r.error = OS_ERROR_PATH_NOT_FOUND;
      return r;
    }
    std::string host = LookUp(at, parts[i]);
    if (host.empty()) host = ToUtf8(parts[i]);
    at /= host;
    if (::lstat(at.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      r.error = OS_ERROR_ACCESS_DENIED;  // a link could lead out of the module's folders
      return r;
    }
  }
  struct stat st;
  if (::stat(at.c_str(), &st) == 0) {
    r.exists = true;
    r.directory = S_ISDIR(st.st_mode);
  }
  r.host = at;
  return r;
}

std::vector<DirEntry> FileSystem::List(const fs::path& dir, bool is_root) const {
  std::vector<DirEntry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string host = it->path().filename().string();
    std::u16string name = ToUtf16(host);
    if (!IsDeviceName(name) || ToUtf8(name) != host) continue;
    if (is_root && FindVolume(name)) continue;  // the mounted volume hides it
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    DirEntry entry;
    entry.name = name;
    if (S_ISDIR(st.st_mode)) {
      entry.attributes = OS_FILE_ATTRIBUTE_DIRECTORY;
    } else if (S_ISREG(st.st_mode)) {
      entry.attributes = OS_FILE_ATTRIBUTE_ARCHIVE;
      entry.size = static_cast<std::uint64_t>(st.st_size);
    } else {
      continue;  // links, devices, pipes: not part of the module
    }
    if (IsReadOnly(st)) entry.attributes |= OS_FILE_ATTRIBUTE_READONLY;
    entries.push_back(std::move(entry));
  }
  if (is_root) {
    for (const Volume& v : volumes_) entries.push_back({v.name, kMountPointAttributes, 0});
  }
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
    int c = CompareIgnoringCase(a.name, b.name);
    return c != 0 ? c < 0 : a.name < b.name;
  });
  return entries;
}

// --- operations ---

std::uint32_t FileSystem::Attributes(std::u16string_view path, std::uint32_t& attributes) const {
  Resolved r = Resolve(path);
  if (r.error) return r.error;
  if (!r.exists) return OS_ERROR_FILE_NOT_FOUND;
  if (r.directory) {
    attributes = r.mount_point && r.host != root_ ? kMountPointAttributes : OS_FILE_ATTRIBUTE_DIRECTORY;
  } else {
    attributes = OS_FILE_ATTRIBUTE_ARCHIVE;
    struct stat st;
    if (::stat(r.host.c_str(), &st) == 0 && IsReadOnly(st)) attributes |= OS_FILE_ATTRIBUTE_READONLY;
  }
  return 0;
}

std::uint32_t FileSystem::Find(std::u16string_view pattern, std::vector<DirEntry>& entries) const {
  entries.clear();
  std::size_t slash = pattern.rfind(u'\\');
  std::u16string_view folder = slash == std::u16string_view::npos ? std::u16string_view() : pattern.substr(0, slash);
  std::u16string_view last = slash == std::u16string_view::npos ? pattern : pattern.substr(slash + 1);
  if (!IsComponent(last, true)) return last.empty() ? OS_ERROR_FILE_NOT_FOUND : OS_ERROR_INVALID_NAME;
  bool is_root = folder.empty();
  Resolved dir = is_root ? Resolve(u"\\") : Resolve(folder);
  if (dir.error) return dir.error;
  if (!dir.exists || !dir.directory) return OS_ERROR_PATH_NOT_FOUND;
  std::u16string whole(pattern);
  std::vector<std::u16string> parts = Split(std::u16string_view(whole).substr(whole[0] == u'\\' ? 1 : 0));
  if (ShareUnavailable(parts)) return OS_ERROR_NO_NETWORK;
  for (DirEntry& entry : List(dir.host, is_root)) {
    if (MatchesPattern(entry.name, last)) entries.push_back(std::move(entry));
  }
  return entries.empty() ? OS_ERROR_FILE_NOT_FOUND : 0;
}

std::uint32_t FileSystem::CreateDirectory(std::u16string_view path) {
  Resolved r = Resolve(path);
  if (r.error) return r.error;
  if (r.exists) return OS_ERROR_ALREADY_EXISTS;
  if (::mkdir(r.host.c_str(), 0777) != 0) return FromErrno(errno);
  return 0;
}

std::uint32_t FileSystem::CopyFile(std::u16string_view from, std::u16string_view to, bool fail_if_exists) {
  Resolved source = Resolve(from);
  if (source.error) return source.error;
  if (!source.exists) return OS_ERROR_FILE_NOT_FOUND;
  if (source.directory) return OS_ERROR_ACCESS_DENIED;
  Resolved target = Resolve(to);
  if (target.error) return target.error;
  if (target.exists && target.directory) return OS_ERROR_ACCESS_DENIED;
  if (target.exists && fail_if_exists) return OS_ERROR_FILE_EXISTS;
  struct stat out_st {};
  bool replaces = target.exists && ::stat(target.host.c_str(), &out_st) == 0;
  if (replaces && IsReadOnly(out_st)) return OS_ERROR_ACCESS_DENIED;  // though the rename could replace it

  int in = ::open(source.host.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return FromErrno(errno);
  struct stat in_st;
  if (::fstat(in, &in_st) != 0) {
    ::close(in);
    return OS_ERROR_READ_FAULT;
  }
  if (replaces && out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
    ::close(in);
    return OS_ERROR_SHARING_VIOLATION;  // a file onto itself
  }
  std::string temp = (target.host.parent_path() / ".kalvori-copy-XXXXXX").string();
  int out = ::mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    std::uint32_t error = FromErrno(errno);
    ::close(in);
    return error;
  }
  bool ok = KernelCopy(in, out, static_cast<std::uint64_t>(in_st.st_size));
  ok = ::fchmod(out, in_st.st_mode & 0777) == 0 && ok;
  ok = ::close(out) == 0 && ok;
  ::close(in);
  if (!ok || ::rename(temp.c_str(), target.host.c_str()) != 0) {
    std::uint32_t error = ok ? FromErrno(errno) : OS_ERROR_WRITE_FAULT;
    ::unlink(temp.c_str());
    return error;
  }
  return 0;
}

std::uint32_t FileSystem::DeleteFile(std::u16string_view path) {
  Resolved r = Resolve(path);
  if (r.error) return r.error;
  if (!r.exists) return OS_ERROR_FILE_NOT_FOUND;
  if (r.directory) return OS_ERROR_ACCESS_DENIED;
  if (::unlink(r.host.c_str()) != 0) return FromErrno(errno);
  return 0;
}

std::uint32_t FileSystem::Open(std::u16string_view path, bool read, bool write, std::uint32_t disposition, int& fd,
                               bool& existed) {
  fd = -1;
  Resolved r = Resolve(path);
  if (r.error) return r.error;
  existed = r.exists;
  if (r.exists && r.directory) return OS_ERROR_ACCESS_DENIED;
  int flags = O_CLOEXEC | (write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY);
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
  struct stat st;
  if (write && r.exists && ::stat(r.host.c_str(), &st) == 0 && IsReadOnly(st)) return OS_ERROR_ACCESS_DENIED;
  fd = ::open(r.host.c_str(), flags, 0666);
  if (fd < 0) return FromErrno(errno);
  return 0;
}

}  // namespace sim
