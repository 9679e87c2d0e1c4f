#include "core/text.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#if defined(__MINGW32__) && !__USE_MINGW_ANSI_STDIO
#error "vsnprintf must be mingw-w64's C99 implementation, so that texts match glibc's"
#endif

namespace tessel {

void writef(std::ostream& out, const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
    out.write(small, n);
  } else if (n > 0) {
    std::vector<char> large(static_cast<size_t>(n) + 1);
    std::vsnprintf(large.data(), large.size(), format, args);
    out.write(large.data(), n);
  }
  va_end(args);
}

void indent(int level, std::ostream& out) {
  static constexpr char kSpaces[] =
      "                                                                ";
  while (level > 0) {
    const int now = level < 32 ? level : 32;
    out.write(kSpaces, 2 * now);
    level -= now;
  }
}

void appendUtf8(std::string& text, uint32_t c) {
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else if (c < 0x800) {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    text += static_cast<char>(0xE0 | (c >> 12));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
    text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void putByteChar(std::ostream& out, uint8_t byte) {
  if (byte < 0x80) {
    out.put(static_cast<char>(byte));
  } else {
    const char pair[2] = {static_cast<char>(0xC0 | (byte >> 6)),
                          static_cast<char>(0x80 | (byte & 0x3F))};
    out.write(pair, 2);
  }
}

void hexDump(const uint8_t* bytes, int32_t length, int level, std::ostream& out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char line[16 * 3 + 1];
  for (int32_t start = 0; start < length; start += 16) {
    const int32_t n = length - start < 16 ? length - start : 16;
    for (int32_t i = 0; i < n; ++i) {
      const uint8_t b = bytes[start + i];
      line[3 * i] = ' ';
      line[3 * i + 1] = kDigits[b >> 4];
      line[3 * i + 2] = kDigits[b & 15];
    }
    line[3 * n] = '\n';
    indent(level, out);
    out.write(line, 3 * n + 1);
  }
}

}  // namespace tessel
