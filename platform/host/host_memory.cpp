// Host platform: address-space reservations, physical mappings and device-memory accesses.
#include "hw/devmem.h"
#include "platform/platform.h"
#include "sim/core/text.h"
#include "sim/module.h"

namespace {

sim::Module& M() { return sim::Module::Active(); }

}  // namespace

void* OsVirtualAlloc(void* address, u32 bytes, u32 allocationType, u32 protect) {
  (void)protect;
  sim::Module& m = M();
  if (address != nullptr || allocationType != OS_MEM_RESERVE) {
    m.set_last_error(OS_ERROR_NOT_SUPPORTED);  // only fresh reservations are needed here
    return nullptr;
  }
  if (auto error = m.faults().Take(sim::FaultOp::kVirtualAlloc, std::to_string(bytes))) {
    m.set_last_error(*error);
    return nullptr;
  }
  void* p = m.address_space().Reserve(bytes);
  if (!p) m.set_last_error(OS_ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

OsBool OsVirtualCopy(void* destination, void* source, u32 bytes, u32 protect) {
  sim::Module& m = M();
  if (!(protect & OS_PAGE_PHYSICAL)) {
    m.set_last_error(OS_ERROR_NOT_SUPPORTED);  // only physical mappings exist on the host
    return OS_FALSE;
  }
  // With PAGE_PHYSICAL the source is the physical address divided by 256.
  u32 physical = static_cast<u32>(reinterpret_cast<uptr>(source)) << 8;
  if (auto error = m.faults().Take(sim::FaultOp::kVirtualCopy, sim::Hex(physical))) {
    m.set_last_error(*error);
    return OS_FALSE;
  }
  if (!m.address_space().Map(destination, physical, bytes, protect)) {
    m.set_last_error(OS_ERROR_INVALID_PARAMETER);
    return OS_FALSE;
  }
  return OS_TRUE;
}

OsBool OsVirtualFree(void* address, u32 bytes, u32 freeType) {
  sim::Module& m = M();
  if (freeType != OS_MEM_RELEASE || bytes != 0 || !m.address_space().Release(address)) {
    m.set_last_error(OS_ERROR_INVALID_PARAMETER);
    return OS_FALSE;
  }
  return OS_TRUE;
}

u32 HostDevRead32(const volatile u32* address) { return M().address_space().Read32(address); }

void HostDevWrite32(volatile u32* address, u32 value) { M().address_space().Write32(address, value); }

void HostDevReadRepeated32(const volatile u32* address, u32* destination, u32 count) {
  M().address_space().ReadRepeated32(address, destination, count);
}

void HostDevWriteRepeated32(volatile u32* address, const u32* source, u32 fill, u32 count) {
  M().address_space().WriteRepeated32(address, source, fill, count);
}

void HostDevCopyFrom(void* destination, const volatile u8* source, u32 bytes) {
  M().address_space().CopyFrom(destination, source, bytes);
}
