#include "sim/os/host_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "sim/core/text.h"

namespace sim {

namespace {

std::atomic<bool> use_notifications{true};

constexpr std::uint32_t kWatchMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::u16string Folded(std::u16string_view name) {
  std::u16string key(name);
  for (char16_t& c : key) c = FoldCase(c);
  return key;
}

bool SameTime(const struct timespec& a, const struct timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Calls take(name, d_type) for every entry of the folder but "." and "..".
template <class Take>
bool ReadNames(int fd, std::vector<char>& buffer, Take take) {
  if (::lseek(fd, 0, SEEK_SET) != 0) return false;
  for (;;) {
    ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer.data() + at);
      at += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      take(name, entry->d_type);
    }
  }
}

}  // namespace

struct HostTree::Folder {
  Folder* parent = nullptr;
  std::string name;             // in the parent; empty for a top
  std::filesystem::path host;   // a top's host path
  dev_t dev = 0;
  ino_t ino = 0;
  UniqueFd fd;
  std::list<Folder*>::iterator open_at;
  bool in_open = false;
  int watch = -1;
  struct timespec mtime = {};   // an unwatched folder's, when its index was taken
  bool indexed = false;
  std::unordered_map<std::u16string, std::vector<std::string>> index;  // folded device name -> host names, byte order
  std::unordered_map<std::string, std::unique_ptr<Folder>> subs;       // by host name

  void AddName(const std::string& host) {
    std::u16string device;
    if (!DeviceNameOf(host, device)) return;
    std::vector<std::string>& names = index[Folded(device)];
    auto at = std::lower_bound(names.begin(), names.end(), host);
    if (at == names.end() || *at != host) names.insert(at, host);
  }
  void RemoveName(const std::string& host) {
    std::u16string device;
    if (!DeviceNameOf(host, device)) return;
    auto it = index.find(Folded(device));
    if (it == index.end()) return;
    auto& names = it->second;
    names.erase(std::remove(names.begin(), names.end(), host), names.end());
    if (names.empty()) index.erase(it);
  }
};

bool IsDeviceName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return std::none_of(name.begin(), name.end(), [](char16_t c) {
    return c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos;
  });
}

bool DeviceNameOf(const std::string& host, std::u16string& name) {
  name = ToUtf16(host);
  return IsDeviceName(name) && ToUtf8(name) == host;
}

void HostTree::UseChangeNotifications(bool use) { use_notifications.store(use); }

HostTree::HostTree() : events_(64 * 1024), listing_(64 * 1024) {
  if (use_notifications.load()) inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

HostTree::~HostTree() {
  if (inotify_ >= 0) ::close(inotify_);
}

HostTree::Folder* HostTree::AddTop(UniqueFd fd, std::filesystem::path host) {
  auto top = std::make_unique<Folder>();
  struct stat st;
  if (::fstat(fd.get(), &st) == 0) {
    top->dev = st.st_dev;
    top->ino = st.st_ino;
  }
  top->fd = std::move(fd);
  top->host = std::move(host);
  Watch(*top);
  tops_.push_back(std::move(top));
  return tops_.back().get();
}

void HostTree::RemoveTop(Folder* top) {
  auto it = std::find_if(tops_.begin(), tops_.end(), [top](const auto& t) { return t.get() == top; });
  if (it == tops_.end()) return;
  Clear(*top);
  Unwatch(*top);
  forgotten_.push_back(std::move(*it));
  tops_.erase(it);
}

// --- watching ---

void HostTree::Watch(Folder& folder) {
  if (inotify_ < 0) return;
  // Through the descriptor: the watch is on the folder the tree holds, whatever its path is now.
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", folder.fd.get());
  int watch = ::inotify_add_watch(inotify_, path, kWatchMask);
  if (watch < 0) return;  // checked by modification time instead
  folder.watch = watch;
  watched_[watch].push_back(&folder);
}

void HostTree::Unwatch(Folder& folder) {
  if (folder.watch < 0) return;
  auto it = watched_.find(folder.watch);
  if (it != watched_.end()) {
    auto& folders = it->second;
    folders.erase(std::remove(folders.begin(), folders.end(), &folder), folders.end());
    if (folders.empty()) {
      ::inotify_rm_watch(inotify_, folder.watch);
      watched_.erase(it);
    }
  }
  folder.watch = -1;
}

void HostTree::Refresh() {
  forgotten_.clear();
  while (inotify_ >= 0) {
    ssize_t n = ::read(inotify_, events_.data(), events_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EAGAIN: nothing more
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(events_.data() + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        ForgetEverything();
        continue;
      }
      auto it = watched_.find(event->wd);
      if (it == watched_.end()) continue;
      if (event->mask & IN_IGNORED) {
        // The kernel dropped the watch (the folder was deleted, or its file system went away).
        std::vector<Folder*> folders = std::move(it->second);
        watched_.erase(it);
        for (Folder* folder : folders) {
          folder->watch = -1;
          Clear(*folder);
        }
        continue;
      }
      if (event->len == 0) continue;
      std::string name(event->name);
      std::vector<Folder*> folders = it->second;  // Apply may forget folders watched by the same descriptor
      for (Folder* folder : folders) Apply(*folder, event->mask, name);
    }
  }
  while (open_.size() > kOpenFolderBudget) {
    Folder* folder = open_.back();
    open_.pop_back();
    folder->in_open = false;
    folder->fd.Reset();
  }
}

void HostTree::Apply(Folder& folder, std::uint32_t mask, const std::string& name) {
  // A name that comes or goes: a sub-folder the tree held under it is not the one there now.
  Forget(folder, name);
  if (!folder.indexed) return;
  if (mask & (IN_CREATE | IN_MOVED_TO)) folder.AddName(name);
  if (mask & (IN_DELETE | IN_MOVED_FROM)) folder.RemoveName(name);
}

// --- folders ---

void HostTree::Touch(Folder& folder) {
  if (!folder.parent) return;  // tops stay open
  if (folder.in_open) {
    open_.splice(open_.begin(), open_, folder.open_at);
  } else {
    open_.push_front(&folder);
    folder.open_at = open_.begin();
    folder.in_open = true;
  }
}

int HostTree::Fd(Folder& folder) {
  if (folder.fd.valid()) {
    Touch(folder);
    return folder.fd.get();
  }
  if (!folder.parent) return -1;
  int parent = Fd(*folder.parent);
  if (parent < 0) return -1;
  HostEntry reopened = OpenEntry(parent, folder.name, EntryKind::kFolder);
  if (!reopened) return -1;
  if (reopened.st.st_dev != folder.dev || reopened.st.st_ino != folder.ino) {
    // Another folder under the same name: nothing known of the old one holds.
    Clear(folder);
    Unwatch(folder);
    folder.dev = reopened.st.st_dev;
    folder.ino = reopened.st.st_ino;
    folder.fd = std::move(reopened.fd);
    Watch(folder);
  } else {
    folder.fd = std::move(reopened.fd);
  }
  Touch(folder);
  return folder.fd.get();
}

void HostTree::Forget(Folder& folder, const std::string& sub) {
  auto it = folder.subs.find(sub);
  if (it == folder.subs.end()) return;
  Folder& gone = *it->second;
  Clear(gone);
  Unwatch(gone);
  if (gone.in_open) {
    open_.erase(gone.open_at);
    gone.in_open = false;
  }
  forgotten_.push_back(std::move(it->second));
  folder.subs.erase(it);
}

void HostTree::Clear(Folder& folder) {
  folder.index.clear();
  folder.indexed = false;
  while (!folder.subs.empty()) {
    std::string name = folder.subs.begin()->first;
    Forget(folder, name);
  }
}

void HostTree::ForgetEverything() {
  for (auto& top : tops_) Clear(*top);
}

bool HostTree::Current(Folder& folder) {
  if (!folder.indexed) return false;
  if (folder.watch >= 0) return true;
  struct stat st;
  int fd = Fd(folder);
  if (fd >= 0 && ::fstat(fd, &st) == 0 && SameTime(st.st_mtim, folder.mtime)) return true;
  Clear(folder);
  return false;
}

void HostTree::Index(Folder& folder) {
  folder.index.clear();
  folder.indexed = false;
  int fd = Fd(folder);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) return;
  folder.mtime = st.st_mtim;  // before reading: a change while reading shows at the next check
  folder.indexed = ReadNames(fd, listing_, [&](const char* name, unsigned char) { folder.AddName(name); });
}

const std::string* HostTree::Find(Folder& folder, std::u16string_view name) {
  if (!Current(folder)) Index(folder);
  auto it = folder.index.find(Folded(name));
  if (it == folder.index.end()) return nullptr;
  std::string exact = ToUtf8(name);
  for (const std::string& host : it->second) {
    if (host == exact) return &host;
  }
  return &it->second.front();
}

HostTree::Folder* HostTree::Sub(Folder& folder, const std::string& host_name, HostError& error) {
  auto it = folder.subs.find(host_name);
  if (it != folder.subs.end()) {
    if (Fd(*it->second) >= 0) return it->second.get();
    Forget(folder, host_name);
  }
  int parent = Fd(folder);
  if (parent < 0) {
    error = HostError::kNotFound;
    return nullptr;
  }
  HostEntry opened = OpenEntry(parent, host_name, EntryKind::kFolder);
  if (!opened) {
    error = opened.error;
    return nullptr;
  }
  auto sub = std::make_unique<Folder>();
  sub->parent = &folder;
  sub->name = host_name;
  sub->dev = opened.st.st_dev;
  sub->ino = opened.st.st_ino;
  sub->fd = std::move(opened.fd);
  Folder* made = sub.get();
  folder.subs.emplace(host_name, std::move(sub));
  Touch(*made);
  Watch(*made);
  return made;
}

HostError HostTree::List(Folder& folder, std::vector<Listed>& entries) {
  entries.clear();
  Current(folder);  // forgets what is stale of an unwatched folder
  int fd = Fd(folder);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) return HostError::kNotFound;
  folder.index.clear();
  folder.mtime = st.st_mtim;
  folder.indexed = ReadNames(fd, listing_, [&](const char* name, unsigned char type) {
    folder.AddName(name);
    if (type != DT_UNKNOWN && type != DT_REG && type != DT_DIR) return;  // links, FIFOs, devices, sockets
    std::u16string device;
    if (!DeviceNameOf(name, device)) return;
    Listed entry{name, {}};
    if (::fstatat(fd, name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISREG(entry.st.st_mode) && !S_ISDIR(entry.st.st_mode)) return;
    entries.push_back(std::move(entry));
  });
  return folder.indexed ? HostError::kNone : HostError::kOther;
}

void HostTree::Added(Folder& folder, const std::string& host_name) {
  if (!folder.indexed) return;
  folder.AddName(host_name);
  struct stat st;
  if (folder.watch < 0 && ::fstat(Fd(folder), &st) == 0) folder.mtime = st.st_mtim;
}

void HostTree::Removed(Folder& folder, const std::string& host_name) {
  Forget(folder, host_name);
  if (!folder.indexed) return;
  folder.RemoveName(host_name);
  struct stat st;
  if (folder.watch < 0 && ::fstat(Fd(folder), &st) == 0) folder.mtime = st.st_mtim;
}

std::filesystem::path HostTree::HostPath(const Folder& folder) const {
  return folder.parent ? HostPath(*folder.parent) / folder.name : folder.host;
}

}  // namespace sim
