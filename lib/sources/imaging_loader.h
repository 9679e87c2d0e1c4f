#pragma once

// Loading any still image that the platform imaging library opens into a PixelImage: the
// picture's 16-bit RGBA pixels turned upright by its Orientation property (1- and 4-bit indexed
// pictures are kept as stored), its descriptive properties copied.

#include <cstdint>
#include <string>

#include "core/pixel_image.h"
#include "platform/imaging.h"

namespace tessel {

// The name of an imaging-library status number ("(Unknown Code)" outside the table).
const char* gdiplusStatusName(int status);

// Throws the bare status name.
[[noreturn]] void throwGdiplusStatus(int status);
// Throws "Error reading <file name>: <status name>".
[[noreturn]] void throwGdiplusReadError(const std::string& fileName, int status);

// Starts the imaging library for its lifetime (throws the status name when it cannot start) and
// shuts it down on every way out.
class ImagingSession {
 public:
  ImagingSession();
  ~ImagingSession();
  ImagingSession(const ImagingSession&) = delete;
  ImagingSession& operator=(const ImagingSession&) = delete;
};

}  // namespace tessel
