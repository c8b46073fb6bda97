// Text conversions between the device's UTF-16 and narrow code page and the host's UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view utf8);

// The device's narrow code page is Windows-1252.
char16_t NarrowToWide(unsigned char c);
std::u16string NarrowToWide(std::string_view narrow);
// False when a character has no narrow form.
bool WideToNarrow(std::u16string_view wide, std::string& narrow);

// "0x0000ABCD": a 32-bit value as the simulator's messages show addresses and registers.
std::string Hex(std::uint32_t value);

// Case folding as the device's file system and string compare do it (ASCII and Latin-1 letters).
char16_t FoldCase(char16_t c);
bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b);
int CompareIgnoringCase(std::u16string_view a, std::u16string_view b);

}  // namespace sim
