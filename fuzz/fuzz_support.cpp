#include "fuzz/fuzz_support.h"

#include "sim/core/text.h"

namespace fuzz {

void CheckPrintable(std::string_view message) {
  for (char16_t c : sim::ToUtf16(sim::Printable(message))) {
    Check(c >= 0x20 && (c < 0x7F || c >= 0xA0) && !(c >= 0x202A && c <= 0x202E),
          "a control character in a message as the terminal gets it");
  }
}

}  // namespace fuzz
