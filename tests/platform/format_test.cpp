// The bounded formatter that both platform layers share (platform/format.cpp). The host's OsFormatV
// hands its work to it, so the lines checked here are the lines the module prints; it must never
// write past the buffer it is given.
#include <climits>
#include <cstdarg>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/format.h"
#include "platform/platform.h"
#include "sim/core/text.h"

namespace {

// A code page with two-byte characters: 0x81 leads, and 0x81 0xNN is U+30NN.
u32 WidenTwoByte(const char* text, WChar* out) {
  unsigned char lead = static_cast<unsigned char>(text[0]);
  if (lead == 0x81 && text[1] != 0) {
    *out = static_cast<WChar>(0x3000 + static_cast<unsigned char>(text[1]));
    return 2;
  }
  *out = lead;
  return 1;
}

struct Result {
  i32 written;
  std::u16string text;
};

Result Finish(const std::vector<WChar>& buffer, u32 capacity, i32 written) {
  EXPECT_EQ(buffer[capacity], u'#') << "wrote past the buffer";
  return {written, capacity ? std::u16string(buffer.data()) : std::u16string()};
}

// Through the host platform, with the simulated module's one-byte code page.
Result Host(u32 capacity, const WChar* format, ...) {
  std::vector<WChar> buffer(capacity + 1, u'#');
  va_list args;
  va_start(args, format);
  i32 written = OsFormatV(buffer.data(), capacity, format, args);
  va_end(args);
  return Finish(buffer, capacity, written);
}

// Straight to the formatter, with a code page of the test's choosing.
Result Direct(u32 capacity, PlatformWidenFn widen, const WChar* format, ...) {
  std::vector<WChar> buffer(capacity + 1, u'#');
  va_list args;
  va_start(args, format);
  i32 written = PlatformFormatV(buffer.data(), capacity, format, args, widen);
  va_end(args);
  return Finish(buffer, capacity, written);
}

#define EXPECT_LINE(capacity, expected, ...)                                  \
  do {                                                                        \
    const std::u16string want = (expected);                                   \
    Result got = Host(capacity, __VA_ARGS__);                                 \
    EXPECT_EQ(sim::ToUtf8(got.text), sim::ToUtf8(want));                      \
    EXPECT_EQ(got.written, static_cast<i32>(want.size())) << sim::ToUtf8(want); \
  } while (0)

TEST(Format, PrintsTheSystemsMessages) {
  const WChar* path = u"\\Storage Card\\AutoRun\\setup.exe";
  EXPECT_LINE(260, u"ERROR: Cannot Access \\Storage Card\\AutoRun\\setup.exe (Error 2)\r\n",
              u"ERROR: Cannot Access %s (Error %d)\r\n", path, 2);
  EXPECT_LINE(260, u"ERROR: Failed Launching \\Storage Card\\AutoRun\\setup.exe (Error 193)\r\n",
              u"ERROR: Failed Launching %s (Error %d)\r\n", path, 193);
  EXPECT_LINE(260, u"ERROR: Network not ready to Access \\\\server\\share\\x.exe",
              u"ERROR: Network not ready to Access %s", u"\\\\server\\share\\x.exe");
  EXPECT_LINE(32, u"tester.exe", u"%S", "tester.exe");
  EXPECT_LINE(32, u"caf\u00e9 \u20ac.exe", u"%S", "caf\xe9 \x80.exe");  // the code page beyond ASCII
  EXPECT_LINE(260, u"\\Storage Card\\AutoRun\\*.lnk", u"%s\\AutoRun\\*.lnk", u"\\Storage Card");
  EXPECT_LINE(260, u"\\Hard Disk\\AutoCopy\\Windows", u"%s\\%s", u"\\Hard Disk\\AutoCopy", u"Windows");
}

TEST(Format, NumbersFlagsAndOddFormats) {
  EXPECT_LINE(64, u"-42 7 4294967295", u"%d %i %u", -42, 7, 4294967295u);
  EXPECT_LINE(64, u"-2147483648", u"%d", INT_MIN);
  EXPECT_LINE(64, u"beef BEEF 0000524e", u"%x %X %08x", 0xBEEFu, 0xBEEFu, 0x524Eu);
  EXPECT_LINE(64, u"[   42] [42   ] [-0042] [-42  ]", u"[%5d] [%-5d] [%05d] [%-05d]", 42, 42, -42, -42);
  EXPECT_LINE(64, u"[     abc] [abc     ] [narrow]", u"[%8s] [%-8s] [%3S]", u"abc", u"abc", "narrow");
  EXPECT_LINE(64, u"1 2 3", u"%ld %hu %lx", 1, 2u, 3u);
  EXPECT_LINE(64, u"ok", u"%c%c", 'o', 'k');
  EXPECT_LINE(64, u"100% %q 50%", u"100%% %q 50%");
  EXPECT_LINE(64, u"(null) and (null)", u"%s and %S", static_cast<const WChar*>(nullptr),
              static_cast<const char*>(nullptr));
}

TEST(Format, AResultThatDoesNotFitIsCutTerminatedAndReportedAsMinusOne) {
  Result exact = Host(4, u"%s", u"abc");
  EXPECT_EQ(exact.written, 3);
  EXPECT_EQ(exact.text, u"abc");

  Result cut = Host(3, u"%s", u"abc");
  EXPECT_EQ(cut.written, -1);
  EXPECT_EQ(cut.text, u"ab");

  Result narrow = Host(5, u"name=%S", "tester.exe");
  EXPECT_EQ(narrow.written, -1);
  EXPECT_EQ(narrow.text, u"name");

  Result padded = Host(8, u"%20d|", 5);
  EXPECT_EQ(padded.written, -1);
  EXPECT_EQ(padded.text, u"       ");

  Result message = Host(12, u"ERROR: Cannot Access %s (Error %d)\r\n", u"\\x.exe", 2);
  EXPECT_EQ(message.written, -1);
  EXPECT_EQ(message.text, u"ERROR: Cann");

  Result one = Host(1, u"x");
  EXPECT_EQ(one.written, -1);
  EXPECT_EQ(one.text, u"");
}

TEST(Format, NothingIsWrittenIntoABufferOfNoCharacters) {
  // Finish() checks that the character at buffer[capacity] is untouched.
  EXPECT_EQ(Host(0, u"text").written, -1);
  EXPECT_EQ(Host(0, u"").written, -1);
}

TEST(Format, AnAbsurdWidthEndsAtTheBufferInsteadOfRunningOn) {
  Result result = Host(16, u"%99999999999d", 1);
  EXPECT_EQ(result.written, -1);
  EXPECT_EQ(result.text, std::u16string(15, u' '));
}

TEST(Format, TwoByteCharactersOfTheCodePageCountAsOneCharacter) {
  // Three bytes, two characters: the width of 3 leaves room for one space.
  Result two_byte = Direct(16, WidenTwoByte, u"[%3S]", "\x81\x41z");
  EXPECT_EQ(two_byte.written, 5);
  EXPECT_EQ(two_byte.text, u"[ \u3041z]");

  // A lead byte at the very end is a character of its own; the terminator is not read past.
  Result dangling = Direct(16, WidenTwoByte, u"%S|", "a\x81");
  EXPECT_EQ(dangling.written, 3);
  EXPECT_EQ(dangling.text, u"a\u0081|");
}

}  // namespace
