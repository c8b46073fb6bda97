// The device code marks its module-level variables DEVICE_STATE, which gathers them in one linker
// section. Its contents are captured before main runs, while they still hold their initial values,
// and copied back whenever a simulated launcher process starts.
#include <cstddef>
#include <vector>

#include "sim/core/device_state.h"

extern "C" {
extern unsigned char __start_kalvori_device_state[] __attribute__((weak));
extern unsigned char __stop_kalvori_device_state[] __attribute__((weak));
}

namespace sim {

namespace {

// The section also holds the sanitizer's guard bytes between variables: copy it uninstrumented and
// byte by byte (a memcpy would be checked against them).
__attribute__((no_sanitize("address"))) void CopyBytes(volatile unsigned char* to, const volatile unsigned char* from,
                                                       std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) to[i] = from[i];
}

std::size_t SectionBytes() {
  if (!__start_kalvori_device_state || !__stop_kalvori_device_state) return 0;
  return static_cast<std::size_t>(__stop_kalvori_device_state - __start_kalvori_device_state);
}

std::vector<unsigned char> Capture() {
  std::vector<unsigned char> copy(SectionBytes());
  if (!copy.empty()) CopyBytes(copy.data(), __start_kalvori_device_state, copy.size());
  return copy;
}

const std::vector<unsigned char>& InitialState() {
  static const std::vector<unsigned char> initial = Capture();
  return initial;
}

// Capture before main: no device code has run yet.
[[maybe_unused]] const bool captured = (InitialState(), true);

}  // namespace

void ResetDeviceState() {
  const auto& initial = InitialState();
  if (!initial.empty()) CopyBytes(__start_kalvori_device_state, initial.data(), initial.size());
}

}  // namespace sim
