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

namespace {

// The length of the well-formed UTF-8 sequence at `p` (shortest form, no surrogates, at most
// U+10FFFF), or 0.
size_t utf8SequenceLength(const uint8_t* p, size_t available) {
  const uint8_t lead = p[0];
  if (lead < 0x80) return 1;
  size_t n;
  uint32_t code, minimum;
  if ((lead & 0xE0) == 0xC0) {
    n = 2, code = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    n = 3, code = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    n = 4, code = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (n > available) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    code = code << 6 | (p[k] & 0x3F);
  }
  const bool valid = code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
  return valid ? n : 0;
}

}  // namespace

void putUtf8Text(std::ostream& out, const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length;) {
    const size_t n = utf8SequenceLength(bytes + i, length - i);
    if (n == 0) {
      putByteChar(out, bytes[i++]);
    } else {
      out.write(reinterpret_cast<const char*>(bytes + i), static_cast<std::streamsize>(n));
      i += n;
    }
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
