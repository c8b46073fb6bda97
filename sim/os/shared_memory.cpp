#include "sim/os/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sim/core/text.h"

namespace sim {

namespace {

constexpr const char* kShmFolder = "/dev/shm";

// 64-bit FNV-1a: a short, stable name for a folder path.
std::uint64_t Fnv1a(std::string_view text) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::string FolderPrefix(const std::filesystem::path& module_folder) {
  std::error_code ignored;
  std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(module_folder), ignored);
  if (p.empty()) p = std::filesystem::absolute(module_folder).lexically_normal();
  if (!p.has_filename() && p.has_parent_path()) p = p.parent_path();  // "a/b/" is "a/b"
  char text[40];
  std::snprintf(text, sizeof text, "kalvori-%016llx-", static_cast<unsigned long long>(Fnv1a(p.string())));
  return text;
}

// A POSIX name holds no '/' after the first character; keep it to plain characters.
std::string SafeName(std::u16string_view name) {
  std::string out;
  for (char c : ToUtf8(name)) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
                 c == '.';
    out += plain ? c : '_';
  }
  return out;
}

}  // namespace

SharedMemory::SharedMemory(const std::filesystem::path& module_folder) : prefix_(FolderPrefix(module_folder)) {
  // Power-on: whatever an earlier run of this module left behind is gone.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(kShmFolder, ec)) {
    std::string file = entry.path().filename().string();
    if (file.rfind(prefix_, 0) == 0) shm_unlink(("/" + file).c_str());
  }
}

SharedMemory::~SharedMemory() { Clear(); }

void SharedMemory::Clear() {
  for (const View& v : views_) munmap(v.address, v.bytes);
  views_.clear();
  for (const auto& r : regions_) {
    close(r->fd);
    r->fd = -1;
    shm_unlink(r->posix_name.c_str());
  }
  regions_.clear();
}

std::string SharedMemory::PosixName(const std::filesystem::path& module_folder, std::u16string_view name) {
  return "/" + FolderPrefix(module_folder) + SafeName(name);
}

std::shared_ptr<SharedMemory::Region> SharedMemory::Find(std::u16string_view name) const {
  for (const auto& r : regions_) {
    if (r->name == name) return r;
  }
  return nullptr;
}

std::shared_ptr<SharedMemory::Region> SharedMemory::CreateOrOpen(std::u16string_view name, std::uint32_t bytes,
                                                                  bool& created) {
  created = false;
  if (auto existing = Find(name)) return existing;

  auto region = std::make_shared<Region>();
  region->name = std::u16string(name);
  region->posix_name = "/" + prefix_ + SafeName(name);
  // Another process of this module may have created it: open first, create when absent.
  int fd = shm_open(region->posix_name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) {
    // A new object is zero-filled by the host.
    if (ftruncate(fd, bytes) != 0) {
      int saved = errno;
      close(fd);
      shm_unlink(region->posix_name.c_str());
      errno = saved;
      return nullptr;
    }
    created = true;
    region->bytes = bytes;
  } else {
    if (errno != EEXIST) return nullptr;
    fd = shm_open(region->posix_name.c_str(), O_RDWR, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
      close(fd);
      return nullptr;
    }
    region->bytes = static_cast<std::uint32_t>(st.st_size);
  }
  region->fd = fd;
  regions_.push_back(region);
  return region;
}

std::uint8_t* SharedMemory::MapView(const Region& region, std::uint32_t bytes, bool writable) {
  std::size_t length = bytes == 0 ? region.bytes : bytes;
  if (length == 0 || length > region.bytes) {
    errno = EINVAL;
    return nullptr;
  }
  void* p = mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, region.fd, 0);
  if (p == MAP_FAILED) return nullptr;
  views_.push_back({p, length});
  return static_cast<std::uint8_t*>(p);
}

std::vector<std::u16string> SharedMemory::Names() const {
  std::vector<std::u16string> names;
  for (const auto& r : regions_) names.push_back(r->name);
  return names;
}

}  // namespace sim
