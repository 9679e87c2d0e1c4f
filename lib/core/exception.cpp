#include "core/exception.h"

#include <cstdarg>
#include <cstdio>

#if defined(__MINGW32__) && !__USE_MINGW_ANSI_STDIO
#error "vsnprintf must be mingw-w64's C99 implementation, so that texts match glibc's"
#endif

namespace tessel {

namespace {

std::string vformat(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

}  // namespace

std::string formatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return text;
}

void fail(std::string_view message) {
  throw RawLayerException(std::string(message));
}

void failf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  throw RawLayerException(std::move(text));
}

}  // namespace tessel
