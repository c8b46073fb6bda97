// The command script of `kalvori sim` (--script FILE, or lines typed on standard input): any bytes
// parse into commands or are refused with the number of the line, and what a refusal shows of the
// input reaches the terminal escaped.
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "sim/core/text.h"
#include "sim/env/script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    for (const sim::ScriptCommand& c : sim::ParseScript(text)) {
      fuzz::Check(c.line >= 1, "a command without its line");
      fuzz::Check(c.kind != sim::ScriptCommand::Kind::kMount || !c.name.empty(), "a mount without a name");
    }
  } catch (const sim::ScriptError& e) {
    fuzz::CheckPrintable(e.what());
  }
  return 0;
}
