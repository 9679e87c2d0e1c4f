#pragma once

// jpgmerge's command line and its date overrides. Header-only so that the tests can include it.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "core/property_list.h"

namespace tessel::jpgmerge {

inline constexpr char kUsage[] =
    "usage: %s -i <image source> -m <meta-data source> -o <output> [-t <timestamp>]\n";
inline constexpr char kException[] = "Exception: %s\n";

inline constexpr uint32_t kDateLength = 20;

struct MergeOptions {
  std::optional<std::string> imageSource;     // -i
  std::optional<std::string> metadataSource;  // -m
  std::optional<std::string> output;          // -o
  std::optional<std::string> timestamp;       // -t
};

// Reads the options; false means the usage must be printed. Each argument is "-" and an option
// letter; the value is the rest of the argument or, when that is empty, the whole next argument
// whatever it looks like. The last occurrence of an option decides, and an option that ends the
// line has no value. A lone "-" is ignored.
inline bool parseMergeOptions(int argc, const char* const* argv, MergeOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') return false;
    if (argument[1] == '\0') continue;
    std::optional<std::string>* target = nullptr;
    switch (argument[1]) {
      case 'i':
        target = &options.imageSource;
        break;
      case 'm':
        target = &options.metadataSource;
        break;
      case 'o':
        target = &options.output;
        break;
      case 't':
        target = &options.timestamp;
        break;
      default:
        return false;
    }
    if (argument[2] != '\0') {
      *target = std::string(argument + 2);
    } else if (i + 1 < argc) {
      *target = std::string(argv[++i]);
    } else {
      target->reset();
    }
  }
  return options.imageSource && options.metadataSource && options.output;
}

// The -t overrides: DateTime, DateTimeDigitized and DateTimeOriginal as ASCII of count 20 holding
// the first 20 bytes of the value, zero-filled after its end (a value of 20 bytes or more fills
// them all, without a terminating zero).
inline void setDateOverrides(PropertyList& overrides, const std::string& timestamp) {
  uint8_t date[kDateLength] = {};
  for (uint32_t i = 0; i < kDateLength && i < timestamp.size() && timestamp[i] != '\0'; ++i) {
    date[i] = uint8_t(timestamp[i]);
  }
  setAscii(overrides, kTagDateTime, date, kDateLength);
  setAscii(overrides, kTagDateTimeDigitized, date, kDateLength);
  setAscii(overrides, kTagDateTimeOriginal, date, kDateLength);
}

}  // namespace tessel::jpgmerge
