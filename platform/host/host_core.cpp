// Host platform: error values, time, the kernel I/O control, the processor register, the local heap,
// strings and debug output, served by the active simulated module.
#include <cstring>
#include <string>

#include "platform/format.h"
#include "platform/platform.h"
#include "sim/module.h"
#include "sim/core/text.h"

namespace {

sim::Module& M() { return sim::Module::Active(); }

// The hardware abstraction layer's boot-configuration query.
constexpr u32 kIoctlBootConfig = 0x01012028;
constexpr u32 kBootConfigRequestBytes = 12;
constexpr u32 kBootItemTesterFlag = 12;

u32 LoadU32(const void* p) {
  u32 v;
  std::memcpy(&v, p, 4);
  return v;
}

// One character of the simulated module's narrow code page, always one byte.
u32 WidenOneByte(const char* text, WChar* out) {
  *out = sim::NarrowToWide(static_cast<unsigned char>(*text));
  return 1;
}

}  // namespace

u32 OsGetLastError(void) { return M().last_error(); }
void OsSetLastError(u32 error) { M().set_last_error(error); }

u32 OsGetTickCount(void) {
  sim::Clock& clock = M().clock();
  clock.Advance(sim::Clock::kTickQueryNs);
  return clock.TickCountMs();
}

void OsSleep(u32 milliseconds) { M().clock().Sleep(std::uint64_t{milliseconds} * 1'000'000); }

OsBool OsKernelIoControl(u32 code, void* in, u32 inBytes, void* out, u32 outBytes, u32* bytesReturned) {
  sim::Module& m = M();
  if (auto error = m.faults().Take(sim::FaultOp::kKernelIoControl)) {
    m.set_last_error(*error);
    return OS_FALSE;
  }
  if (code != kIoctlBootConfig) {
    m.set_last_error(OS_ERROR_NOT_SUPPORTED);
    return OS_FALSE;
  }
  if (!in || inBytes < kBootConfigRequestBytes) {
    m.set_last_error(OS_ERROR_INVALID_PARAMETER);
    return OS_FALSE;
  }
  // The request's address field holds a 32-bit address, which cannot carry a host pointer: the
  // value is delivered into the output buffer argument, which the device passes alike.
  u32 item = LoadU32(in);
  const auto& value = m.description().boot_item12;
  if (item != kBootItemTesterFlag || !value) {
    m.set_last_error(OS_ERROR_NOT_SUPPORTED);
    return OS_FALSE;
  }
  if (!out || outBytes < 4) {
    m.set_last_error(OS_ERROR_INSUFFICIENT_BUFFER);
    return OS_FALSE;
  }
  u32 word = *value;
  std::memcpy(out, &word, 4);
  if (bytesReturned) *bytesReturned = 4;
  return OS_TRUE;
}

u32 OsReadCpuMainId(void) { return M().description().cpu_main_id; }

void* OsLocalAlloc(u32 flags, u32 bytes) {
  (void)flags;
  sim::Module& m = M();
  if (auto error = m.faults().Take(sim::FaultOp::kLocalAlloc, std::to_string(bytes))) {
    m.set_last_error(*error);
    return nullptr;
  }
  void* block = m.HeapAlloc(bytes);
  if (!block) m.set_last_error(OS_ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

void* OsLocalFree(void* memory) {
  if (memory) M().HeapFree(memory);
  return nullptr;
}

// --- strings ---

u32 OsStrLen(const WChar* s) {
  u32 n = 0;
  while (s[n]) ++n;
  return n;
}

WChar* OsStrCopy(WChar* destination, const WChar* source) {
  WChar* d = destination;
  while ((*d++ = *source++) != 0) {
  }
  return destination;
}

WChar* OsStrCatN(WChar* destination, const WChar* source, u32 count) {
  WChar* d = destination + OsStrLen(destination);
  while (count-- && *source) *d++ = *source++;
  *d = 0;
  return destination;
}

i32 OsStrICmp(const WChar* a, const WChar* b) {
  for (;; ++a, ++b) {
    char16_t x = sim::FoldCase(*a), y = sim::FoldCase(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

i32 OsFormatV(WChar* buffer, u32 capacity, const WChar* format, va_list args) {
  return PlatformFormatV(buffer, capacity, format, args, WidenOneByte);
}

i32 OsFormat(WChar* buffer, u32 capacity, const WChar* format, ...) {
  va_list args;
  va_start(args, format);
  i32 n = OsFormatV(buffer, capacity, format, args);
  va_end(args);
  return n;
}

// --- debug output ---

void OsDebugOut(const WChar* text) { M().DebugWrite(text ? std::u16string_view(text) : std::u16string_view()); }

void OsDebugPrintf(const WChar* format, ...) {
  // The operating system formats debug lines into a buffer of this size and cuts longer ones.
  WChar line[1024];
  va_list args;
  va_start(args, format);
  OsFormatV(line, 1024, format, args);
  va_end(args);
  M().DebugWrite(line);
}
