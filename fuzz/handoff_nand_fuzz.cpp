// The tester hand-off on a NAND module (handoff_fuzz.h), the shared map built by the launcher.
#include "fuzz/handoff_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ReusedModule* reused =
      new fuzz::ReusedModule("handoff-nand", fuzz::kNandCpuProduct, fuzz::kFuzzNand, BOOT_TESTER_FLAG);
  return fuzz::RunHandOff(*reused, data, size);
}
