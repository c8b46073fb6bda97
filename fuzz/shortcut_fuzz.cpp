// A shortcut file in a card's AutoRun folder, as someone else wrote it: any bytes are read (the first
// 255), split into a target and arguments, and the target is started or refused with a message. The
// card's module holds a program to start and a network share that never comes up (its retries take
// module time only). Everything the launcher opens is closed again and its heap is balanced.
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_module.h"
#include "fuzz/fuzz_support.h"
#include "launcher/launcher.h"
#include "sim/services.h"

namespace {

fuzz::ReusedModule& Module() {
  static fuzz::ReusedModule* reused = [] {
    auto* m = new fuzz::ReusedModule("shortcut", fuzz::kNorCpuProduct, nullptr, std::nullopt,
                                     {{"\\Network", 0xFFFFFFFFu}});
    fuzz::WriteHostFile(m->folder().path() / "root" / "Windows" / "x.exe", "program");
    fuzz::WriteHostFile(m->folder().path() / "root" / "Program Files" / "My App" / "app.exe", "program");
    fuzz::WriteHostFile(m->folder().path() / "root" / "Card" / "AutoRun" / "x.lnk", "");
    return m;
  }();
  return *reused;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ReusedModule& reused = Module();
  reused.Begin();
  sim::Module& m = reused.module();
  fuzz::WriteHostFile(reused.folder().path() / "root" / "Card" / "AutoRun" / "x.lnk",
                      std::string_view(reinterpret_cast<const char*>(data), size));
  RunAutoRun(u"\\Card", AUTORUN_SHORTCUTS);
  fuzz::Check(m.OpenHandleCount() == 0, "a shortcut leaves a handle open");
  fuzz::Check(m.LiveHeapBlocks() == 0, "a shortcut leaves heap memory behind");
  fuzz::Check(m.os().processes.launches().size() <= 1, "one shortcut started more than one program");
  return 0;
}
