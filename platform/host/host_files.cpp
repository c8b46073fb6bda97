// Host platform: files, directories, enumerations, copies and stores, served by the active simulated
// module's file system (sim/os/filesystem.h). Every call takes the events that are due first, so a
// volume mounted or removed by the script is there or gone when the device code looks.
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "sim/module.h"
#include "sim/services.h"
#include "sim/core/text.h"

namespace {

sim::Module& M() { return sim::Module::Active(); }

// The module's services with the events due by now applied.
sim::Services& Os() {
  sim::Services& os = M().os();
  os.events.PumpDue();
  return os;
}

std::u16string_view View(const WChar* s) { return s ? std::u16string_view(s) : std::u16string_view(); }

std::string Subject(const WChar* s) { return sim::ToUtf8(View(s)); }

OsBool Fail(u32 error) {
  M().set_last_error(error);
  return OS_FALSE;
}

// The storage manager's path prefix for stores.
constexpr std::u16string_view kStorePrefix = u"\\StoreMgr\\";

bool IsStorePath(std::u16string_view path) {
  return path.size() >= kStorePrefix.size() && sim::EqualIgnoringCase(path.substr(0, kStorePrefix.size()), kStorePrefix);
}

void Fill(OsFindData* found, const sim::DirEntry& entry) {
  found->FileAttributes = entry.attributes;
  found->FileSize = entry.size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<u32>(entry.size);
  std::size_t n = entry.name.size() < OS_MAX_PATH - 1 ? entry.name.size() : OS_MAX_PATH - 1;
  entry.name.copy(found->FileName, n);
  found->FileName[n] = 0;
}

}  // namespace

// --- open, read, write, close ---

OsHandle OsCreateFile(const WChar* name, u32 access, u32 shareMode, void* security, u32 disposition,
                      u32 flagsAndAttributes, OsHandle templateFile) {
  (void)shareMode;  // sharing is not enforced: the launcher is the only process that opens files
  (void)security;
  (void)flagsAndAttributes;
  (void)templateFile;
  sim::Module& m = M();
  sim::Services& os = Os();
  if (!name) {
    Fail(OS_ERROR_INVALID_PARAMETER);
    return OS_INVALID_HANDLE;
  }
  std::u16string_view path = View(name);
  if (IsStorePath(path)) {
    std::string store = sim::ToUtf8(path.substr(kStorePrefix.size()));
    for (const std::string& s : m.description().stores) {
      if (sim::EqualIgnoringCase(sim::ToUtf16(s), sim::ToUtf16(store))) {
        return m.NewHandle(std::make_unique<sim::OpenStore>(s));
      }
    }
    Fail(OS_ERROR_FILE_NOT_FOUND);
    return OS_INVALID_HANDLE;
  }
  if (auto error = m.faults().Take(sim::FaultOp::kCreateFile, Subject(name))) {
    Fail(*error);
    return OS_INVALID_HANDLE;
  }
  bool read = (access & OS_GENERIC_READ) != 0, write = (access & OS_GENERIC_WRITE) != 0;
  int fd = -1;
  bool existed = false;
  if (u32 error = os.files.Open(path, read, write, disposition, fd, existed)) {
    Fail(error);
    return OS_INVALID_HANDLE;
  }
  // Creating over an existing file succeeds and says so.
  bool creates = disposition == OS_CREATE_ALWAYS || disposition == OS_OPEN_ALWAYS;
  m.set_last_error(creates && existed ? OS_ERROR_ALREADY_EXISTS : OS_ERROR_SUCCESS);
  return m.NewHandle(std::make_unique<sim::OpenFile>(fd, read, write, sim::ToUtf8(path)));
}

OsBool OsReadFile(OsHandle file, void* buffer, u32 bytesToRead, u32* bytesRead, void* overlapped) {
  (void)overlapped;
  sim::Module& m = M();
  if (bytesRead) *bytesRead = 0;
  if (auto error = m.faults().Take(sim::FaultOp::kReadFile)) return Fail(*error);
  sim::OpenFile* f = m.Lookup<sim::OpenFile>(file);
  if (!f) return Fail(OS_ERROR_INVALID_HANDLE);
  if (!f->can_read) return Fail(OS_ERROR_ACCESS_DENIED);
  u32 total = 0;
  while (total < bytesToRead) {
    ssize_t n = ::read(f->fd, static_cast<char*>(buffer) + total, bytesToRead - total);
    if (n < 0) return Fail(OS_ERROR_READ_FAULT);
    if (n == 0) break;
    total += static_cast<u32>(n);
  }
  if (bytesRead) *bytesRead = total;
  return OS_TRUE;
}

OsBool OsWriteFile(OsHandle file, const void* buffer, u32 bytesToWrite, u32* bytesWritten, void* overlapped) {
  (void)overlapped;
  sim::Module& m = M();
  if (bytesWritten) *bytesWritten = 0;
  if (auto error = m.faults().Take(sim::FaultOp::kWriteFile)) return Fail(*error);
  sim::OpenFile* f = m.Lookup<sim::OpenFile>(file);
  if (!f) return Fail(OS_ERROR_INVALID_HANDLE);
  if (!f->can_write) return Fail(OS_ERROR_ACCESS_DENIED);
  // A full disk (or a file that cannot be written) takes what fits, then fails.
  std::optional<u32> injected;
  u32 allowed = m.faults().TakeWrite(f->path, bytesToWrite, injected);
  u32 total = 0;
  while (total < allowed) {
    ssize_t n = ::write(f->fd, static_cast<const char*>(buffer) + total, allowed - total);
    if (n <= 0) return Fail(OS_ERROR_WRITE_FAULT);
    total += static_cast<u32>(n);
  }
  if (bytesWritten) *bytesWritten = total;
  if (injected) return Fail(*injected);
  return OS_TRUE;
}

// Closes any kind of handle: files, stores, processes, threads, queues.
OsBool OsCloseHandle(OsHandle handle) {
  if (!M().CloseHandle(handle)) return Fail(OS_ERROR_INVALID_HANDLE);
  return OS_TRUE;
}

OsBool OsDeleteFile(const WChar* name) {
  if (!name) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (u32 error = Os().files.DeleteFile(View(name))) return Fail(error);
  return OS_TRUE;
}

// --- attributes, directories, copies ---

u32 OsGetFileAttributes(const WChar* name) {
  sim::Module& m = M();
  sim::Services& os = Os();
  if (!name) {
    Fail(OS_ERROR_INVALID_PARAMETER);
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  if (auto error = m.faults().Take(sim::FaultOp::kGetFileAttributes, Subject(name))) {
    Fail(*error);
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  u32 attributes = 0;
  if (u32 error = os.files.Attributes(View(name), attributes)) {
    Fail(error);
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  return attributes;
}

OsBool OsCreateDirectory(const WChar* name, void* security) {
  (void)security;
  sim::Module& m = M();
  sim::Services& os = Os();
  if (!name) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (auto error = m.faults().Take(sim::FaultOp::kCreateDirectory, Subject(name))) return Fail(*error);
  if (u32 error = os.files.CreateDirectory(View(name))) return Fail(error);
  ++os.activity.directories_created;
  return OS_TRUE;
}

OsBool OsCopyFile(const WChar* existingName, const WChar* newName, OsBool failIfExists) {
  sim::Module& m = M();
  sim::Services& os = Os();
  if (!existingName || !newName) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (auto error = m.faults().Take(sim::FaultOp::kCopyFile, Subject(existingName))) return Fail(*error);
  if (u32 error = os.files.CopyFile(View(existingName), View(newName), failIfExists != 0)) return Fail(error);
  ++os.activity.files_copied;
  return OS_TRUE;
}

// --- enumerations ---

OsHandle OsFindFirstFile(const WChar* pattern, OsFindData* found) {
  sim::Module& m = M();
  sim::Services& os = Os();
  if (!pattern || !found) {
    Fail(OS_ERROR_INVALID_PARAMETER);
    return OS_INVALID_HANDLE;
  }
  os.activity.searches.emplace_back(View(pattern));
  auto search = std::make_unique<sim::Search>();
  if (u32 error = os.files.Find(View(pattern), search->entries)) {
    Fail(error);
    return OS_INVALID_HANDLE;
  }
  Fill(found, search->entries[0]);
  search->next = 1;
  return m.NewHandle(std::move(search));
}

OsBool OsFindNextFile(OsHandle handle, OsFindData* found) {
  sim::Search* search = M().Lookup<sim::Search>(handle);
  if (!search || !found) return Fail(OS_ERROR_INVALID_HANDLE);
  if (search->next >= search->entries.size()) return Fail(OS_ERROR_NO_MORE_FILES);
  Fill(found, search->entries[search->next++]);
  return OS_TRUE;
}

OsBool OsFindClose(OsHandle handle) {
  sim::Module& m = M();
  if (!m.Lookup<sim::Search>(handle)) return Fail(OS_ERROR_INVALID_HANDLE);
  m.CloseHandle(handle);
  return OS_TRUE;
}
