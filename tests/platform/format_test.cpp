// The module's bounded formatter (platform/wince/format.cpp), built on the host: it must print every
// line exactly as the simulator's formatter does, and never write past the buffer it is given.
#include <climits>
#include <cstdarg>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/wince/format.h"
#include "sim/core/text.h"

namespace {

// The narrow code page of the simulated module, one byte per character.
u32 WidenLikeSimulator(const char* text, WChar* out) {
  *out = sim::NarrowToWide(static_cast<unsigned char>(*text));
  return 1;
}

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

Result Module(u32 capacity, CeWidenFn widen, const WChar* format, ...) {
  std::vector<WChar> buffer(capacity + 1, u'#');
  va_list args;
  va_start(args, format);
  i32 written = CeFormatV(buffer.data(), capacity, format, args, widen);
  va_end(args);
  EXPECT_EQ(buffer[capacity], u'#') << "wrote past the buffer";
  return {written, capacity ? std::u16string(buffer.data()) : std::u16string()};
}

Result Simulator(u32 capacity, const WChar* format, ...) {
  std::vector<WChar> buffer(capacity + 1, u'#');
  va_list args;
  va_start(args, format);
  i32 written = OsFormatV(buffer.data(), capacity, format, args);
  va_end(args);
  return {written, capacity ? std::u16string(buffer.data()) : std::u16string()};
}

#define EXPECT_SAME_LINE(capacity, ...)                                              \
  do {                                                                               \
    Result module = Module(capacity, WidenLikeSimulator, __VA_ARGS__);               \
    Result simulator = Simulator(capacity, __VA_ARGS__);                             \
    EXPECT_EQ(module.written, simulator.written) << sim::ToUtf8(simulator.text);     \
    EXPECT_EQ(sim::ToUtf8(module.text), sim::ToUtf8(simulator.text));                \
  } while (0)

TEST(ModuleFormat, PrintsTheSystemsMessagesAsTheSimulatorDoes) {
  const WChar* path = u"\\Storage Card\\AutoRun\\setup.exe";
  EXPECT_SAME_LINE(260, u"ERROR: Cannot Access %s (Error %d)\r\n", path, 2);
  EXPECT_SAME_LINE(260, u"ERROR: Failed Launching %s (Error %d)\r\n", path, 193);
  EXPECT_SAME_LINE(260, u"ERROR: Network not ready to Access %s", u"\\\\server\\share\\x.exe");
  EXPECT_SAME_LINE(32, u"%S", "tester.exe");
  EXPECT_SAME_LINE(32, u"%S", "caf\xe9 \x80.exe");  // beyond ASCII: the code page's characters
  EXPECT_SAME_LINE(260, u"%s\\AutoRun\\*.lnk", u"\\Storage Card");
  EXPECT_SAME_LINE(260, u"%s\\%s", u"\\Hard Disk\\AutoCopy", u"Windows");
}

TEST(ModuleFormat, NumbersFlagsAndOddFormatsMatchTheSimulator) {
  EXPECT_SAME_LINE(64, u"%d %i %u", -42, 7, 4294967295u);
  EXPECT_SAME_LINE(64, u"%d", INT_MIN);
  EXPECT_SAME_LINE(64, u"%x %X %08x", 0xBEEFu, 0xBEEFu, 0x524Eu);
  EXPECT_SAME_LINE(64, u"[%5d] [%-5d] [%05d] [%-05d]", 42, 42, -42, -42);
  EXPECT_SAME_LINE(64, u"[%8s] [%-8s] [%3S]", u"abc", u"abc", "narrow");
  EXPECT_SAME_LINE(64, u"%ld %hu %lx", 1, 2u, 3u);
  EXPECT_SAME_LINE(64, u"%c%c", 'o', 'k');
  EXPECT_SAME_LINE(64, u"100%% %q 50%");
  EXPECT_SAME_LINE(64, u"%s and %S", static_cast<const WChar*>(nullptr), static_cast<const char*>(nullptr));
}

TEST(ModuleFormat, AResultThatDoesNotFitIsCutTerminatedAndReportedAsMinusOne) {
  Result exact = Module(4, WidenLikeSimulator, u"%s", u"abc");
  EXPECT_EQ(exact.written, 3);
  EXPECT_EQ(exact.text, u"abc");

  Result cut = Module(3, WidenLikeSimulator, u"%s", u"abc");
  EXPECT_EQ(cut.written, -1);
  EXPECT_EQ(cut.text, u"ab");

  Result narrow = Module(5, WidenLikeSimulator, u"name=%S", "tester.exe");
  EXPECT_EQ(narrow.written, -1);
  EXPECT_EQ(narrow.text, u"name");

  Result padded = Module(8, WidenLikeSimulator, u"%20d|", 5);
  EXPECT_EQ(padded.written, -1);
  EXPECT_EQ(padded.text, u"       ");

  Result one = Module(1, WidenLikeSimulator, u"x");
  EXPECT_EQ(one.written, -1);
  EXPECT_EQ(one.text, u"");

  EXPECT_SAME_LINE(3, u"%s", u"abc");
  EXPECT_SAME_LINE(12, u"ERROR: Cannot Access %s (Error %d)\r\n", u"\\x.exe", 2);
}

TEST(ModuleFormat, NothingIsWrittenIntoABufferOfNoCharacters) {
  // Module() checks that the character at buffer[capacity] is untouched.
  EXPECT_EQ(Module(0, WidenLikeSimulator, u"text").written, -1);
  EXPECT_EQ(Module(0, WidenLikeSimulator, u"").written, -1);
}

TEST(ModuleFormat, AnAbsurdWidthEndsAtTheBufferInsteadOfRunningOn) {
  Result result = Module(16, WidenLikeSimulator, u"%99999999999d", 1);
  EXPECT_EQ(result.written, -1);
  EXPECT_EQ(result.text, std::u16string(15, u' '));
}

TEST(ModuleFormat, TwoByteCharactersOfTheCodePageCountAsOneCharacter) {
  // Three bytes, two characters: the width of 3 leaves room for one space.
  Result two_byte = Module(16, WidenTwoByte, u"[%3S]", "\x81\x41z");
  EXPECT_EQ(two_byte.written, 5);
  EXPECT_EQ(two_byte.text, u"[ \u3041z]");

  // A lead byte at the very end is a character of its own; the terminator is not read past.
  Result dangling = Module(16, WidenTwoByte, u"%S|", "a\x81");
  EXPECT_EQ(dangling.written, 3);
  EXPECT_EQ(dangling.text, u"a\u0081|");
}

}  // namespace
