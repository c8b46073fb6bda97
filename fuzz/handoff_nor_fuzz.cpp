// The tester hand-off on a NOR module (handoff_fuzz.h).
#include "fuzz/handoff_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ReusedModule* reused =
      new fuzz::ReusedModule("handoff-nor", fuzz::kNorCpuProduct, fuzz::kFuzzNor, BOOT_TESTER_FLAG);
  return fuzz::RunHandOff(*reused, data, size);
}
