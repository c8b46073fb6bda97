// Host platform: named shared memory backed by the paging file, served by the active module's
// shared regions (sim/os/shared_memory.h), which other processes of the module see under the same name.
#include <memory>
#include <string>

#include "platform/platform.h"
#include "sim/module.h"
#include "sim/core/text.h"

namespace {

sim::Module& M() { return sim::Module::Active(); }

constexpr u32 kFileMapWrite = 0x0002;  // FILE_MAP_WRITE; FILE_MAP_ALL_ACCESS includes it

// A file-mapping handle: the region it names. Closing it leaves the region and its views alone.
struct MappingHandle : sim::HandleObject {
  std::shared_ptr<sim::SharedMemory::Region> region;
};

}  // namespace

OsHandle OsCreateFileMapping(OsHandle file, void* security, u32 protect, u32 maximumSizeHigh, u32 maximumSizeLow,
                             const WChar* name) {
  (void)security;
  sim::Module& m = M();
  std::u16string region_name = name ? std::u16string(name) : std::u16string();
  if (auto error = m.faults().Take(sim::FaultOp::kCreateFileMapping, sim::ToUtf8(region_name))) {
    m.set_last_error(*error);
    return nullptr;
  }
  // Only regions backed by the paging file, named and read-write, exist on the module for this system.
  if (file != OS_INVALID_HANDLE || region_name.empty()) {
    m.set_last_error(OS_ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (protect != OS_PAGE_READWRITE || maximumSizeHigh != 0 || maximumSizeLow == 0) {
    m.set_last_error(OS_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool created = false;
  auto region = m.shared_memory().CreateOrOpen(region_name, maximumSizeLow, created);
  if (!region) {
    m.set_last_error(OS_ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto handle = std::make_unique<MappingHandle>();
  handle->region = std::move(region);
  // As on the module: opening an existing region succeeds and says so in the last error.
  m.set_last_error(created ? OS_ERROR_SUCCESS : OS_ERROR_ALREADY_EXISTS);
  return m.NewHandle(std::move(handle));
}

void* OsMapViewOfFile(OsHandle mapping, u32 desiredAccess, u32 offsetHigh, u32 offsetLow, u32 bytesToMap) {
  sim::Module& m = M();
  auto* handle = m.Lookup<MappingHandle>(mapping);
  if (!handle) {
    m.set_last_error(OS_ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (auto error = m.faults().Take(sim::FaultOp::kMapViewOfFile, sim::ToUtf8(handle->region->name))) {
    m.set_last_error(*error);
    return nullptr;
  }
  // Views from offset 0 are all this system maps.
  if (offsetHigh != 0 || offsetLow != 0 || bytesToMap > handle->region->bytes) {
    m.set_last_error(OS_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::uint8_t* view = m.shared_memory().MapView(*handle->region, bytesToMap, (desiredAccess & kFileMapWrite) != 0);
  if (!view) {
    m.set_last_error(OS_ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return view;
}
