// What the fuzz targets share: checks that end the run as a finding, reading an input in pieces,
// and simulated modules that one target reuses from input to input (fuzz_module.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// A property that must hold for every input; a violation is a finding (the run stops here).
inline void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// A message built from the input, as the tools show it: escaped, nothing in it may act on a terminal.
void CheckPrintable(std::string_view message);

// Reads an input front to back; past its end every read yields zeros or nothing.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  std::uint8_t Byte() { return bytes_.empty() ? 0 : Take(1)[0]; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
  std::uint32_t U32() { return U16() | static_cast<std::uint32_t>(U16()) << 16; }
  // At most n bytes.
  std::span<const std::uint8_t> Take(std::size_t n) {
    n = n < bytes_.size() ? n : bytes_.size();
    std::span<const std::uint8_t> taken = bytes_.first(n);
    bytes_ = bytes_.subspan(n);
    return taken;
  }
  std::span<const std::uint8_t> Rest() { return Take(bytes_.size()); }
  bool empty() const { return bytes_.empty(); }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace fuzz
