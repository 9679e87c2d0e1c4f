#pragma once

#include <string>
#include <string_view>

#include "core/printf_format.h"

namespace tessel {

// The one exception type of the library. Everything the user is told about a failure is in the
// message text; there is no error code. Thrown by value, caught by reference.
class RawLayerException {
 public:
  explicit RawLayerException(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Formats like printf and returns the text.
std::string formatText(const char* format, ...) TESSEL_PRINTF_FORMAT(1, 2);

[[noreturn]] void fail(std::string_view message);
// Formats like printf, then throws the text as a RawLayerException.
[[noreturn]] void failf(const char* format, ...) TESSEL_PRINTF_FORMAT(1, 2);

}  // namespace tessel
