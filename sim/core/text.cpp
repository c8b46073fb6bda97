#include "sim/core/text.h"

#include <cstdio>

namespace sim {

namespace {

// Windows-1252 bytes 0x80..0x9F; the rest of the code page equals Latin-1. Unassigned bytes map to
// the C1 control of the same value, as the operating system's conversion does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    auto b = static_cast<unsigned char>(utf8[i]);
    char32_t c;
    std::size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    bool ok = true;
    for (std::size_t k = 1; k <= extra; ++k) {
      if (i + k >= utf8.size() || (static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    if (!ok) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

char16_t NarrowToWide(unsigned char c) {
  if (c >= 0x80 && c < 0xA0) return kCp1252High[c - 0x80];
  return c;
}

std::u16string NarrowToWide(std::string_view narrow) {
  std::u16string out;
  out.reserve(narrow.size());
  for (char c : narrow) out += NarrowToWide(static_cast<unsigned char>(c));
  return out;
}

bool WideToNarrow(std::u16string_view wide, std::string& narrow) {
  narrow.clear();
  for (char16_t w : wide) {
    int found = -1;
    if (w < 0x80 || (w >= 0xA0 && w < 0x100)) {
      found = w;
    } else {
      for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == w) found = 0x80 + i;
      }
    }
    if (found < 0) return false;
    narrow += static_cast<char>(found);
  }
  return true;
}

char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  return c;
}

int CompareIgnoringCase(std::u16string_view a, std::u16string_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = FoldCase(a[i]), y = FoldCase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) { return CompareIgnoringCase(a, b) == 0; }

namespace {

bool IsControl(char16_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
         c == 0x200E || c == 0x200F || c == 0x061C;
}

void AppendEscaped(std::string& out, char16_t c) {
  char text[8];
  if (c == u'\r') {
    out += "\\r";
  } else if (c == u'\n') {
    out += "\\n";
  } else if (c == u'\t') {
    out += "\\t";
  } else if (c < 0x100) {
    std::snprintf(text, sizeof text, "\\x%02x", static_cast<unsigned>(c));
    out += text;
  } else {
    std::snprintf(text, sizeof text, "\\u%04X", static_cast<unsigned>(c));
    out += text;
  }
}

std::string Escape(std::u16string_view text, bool keep_line_ends) {
  std::string out;
  out.reserve(text.size());
  std::size_t plain = 0;  // start of the run of characters not yet appended
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (!IsControl(c)) continue;
    if (keep_line_ends && (c == u'\n' || (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n'))) continue;
    out += ToUtf8(text.substr(plain, i - plain));
    AppendEscaped(out, c);
    plain = i + 1;
  }
  out += ToUtf8(text.substr(plain));
  return out;
}

}  // namespace

std::string Printable(std::u16string_view text) { return Escape(text, false); }

std::string Printable(std::string_view utf8) { return Escape(ToUtf16(utf8), false); }

std::string PrintableDebugOutput(std::u16string_view text) { return Escape(text, true); }

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace sim
