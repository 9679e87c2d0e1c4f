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
inline constexpr char kOptions[] =
    "Writes a new JPEG from the pixels of the image source and the structure (frame, sampling,\n"
    "quantization tables, segments, Exif block) of the metadata source, then gives it the\n"
    "metadata source's file times. An option's value is the rest of its argument or the next one.\n"
    "  -i <file>  the image source, by its extension as written: .jpg .JPG .jpeg .JPEG (JPEG),\n"
    "             .nef .NEF (Nikon raw), .kpx .KPX (KPX); anything else goes to the imaging "
    "library\n"
    "  -m <file>  the metadata source: a baseline JPEG\n"
    "  -o <file>  the output, created or replaced as a whole\n"
    "  -t <text>  the Exif dates to write, normally as YYYY:MM:DD HH:MM:SS\n"
    "  --help     print this help and exit\n"
    "  --version  print the program's name and version and exit\n";

inline constexpr uint32_t kDateLength = 20;

struct MergeOptions {
  std::optional<std::string> imageSource;     // -i
  std::optional<std::string> metadataSource;  // -m
  std::optional<std::string> output;          // -o
  std::optional<std::string> timestamp;       // -t
  const char* standardOption = nullptr;       // --help or --version: nothing else is done
};

// Reads the options; false means the usage must be printed. Each argument is "-" and an option
// letter; the value is the rest of the argument or, when that is empty, the whole next argument
// whatever it looks like. The last occurrence of an option decides, and an option that ends the
// line has no value. A lone "-" is ignored. --help or --version wherever an option may stand, after
// a wrong argument too, ends the reading with true and the option in standardOption.
inline bool parseMergeOptions(int argc, const char* const* argv, MergeOptions& options) {
  bool wrong = false;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "--version") == 0) {
      options.standardOption = argument;
      return true;
    }
    if (argument[0] != '-') {
      wrong = true;
      continue;
    }
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
        wrong = true;
        continue;
    }
    if (argument[2] != '\0') {
      *target = std::string(argument + 2);
    } else if (i + 1 < argc) {
      *target = std::string(argv[++i]);
    } else {
      target->reset();
    }
  }
  return !wrong && options.imageSource && options.metadataSource && options.output;
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
