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

// Text from outside (names from a card, an image, a bundle, a script, a module description) as it
// may reach a terminal: every control character (C0, DEL, C1, and the bidirectional formatting
// characters) is shown as \r, \n, \t, \xNN or \uNNNN, so that nothing in a name can move the
// cursor, start an escape sequence, break a line or reorder what is shown. Backslashes stay as they
// are (device paths are full of them). The UTF-8 form takes a string in UTF-8; a byte that is not
// UTF-8 shows as U+FFFD.
std::string Printable(std::u16string_view text);
std::string Printable(std::string_view utf8);
// The module's debug output as it reaches a terminal: as Printable, except that its own line ends
// (LF, and CR directly before LF) are kept.
std::string PrintableDebugOutput(std::u16string_view text);

// "0x0000ABCD": a 32-bit value as the simulator's messages show addresses and registers.
std::string Hex(std::uint32_t value);

// Case folding as the device's file system and string compare do it (ASCII and Latin-1 letters).
char16_t FoldCase(char16_t c);
bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b);
int CompareIgnoringCase(std::u16string_view a, std::u16string_view b);

}  // namespace sim
