#pragma once

// Loading any still image that the platform imaging library opens into a PixelImage: the
// bitmap's pixels converted to 16-bit RGBA and turned upright by its Orientation property, its
// descriptive properties copied.

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

// Converts a locked bitmap into a new block of 16-bit RGBA pixels, turned upright by the Exif
// `orientation` (1 to 8; every other value leaves the pixels as stored; 1- and 4-bit indexed
// bitmaps are always copied as stored). `palette` is needed for the indexed formats. Returns 0,
// or 13 for a pixel format that is not accepted (nothing is produced then).
int convertBitmap(const imaging::BitmapData& data, const imaging::ColorPalette* palette,
                  uint16_t orientation, PixelBuffer& pixels, uint32_t& width, uint32_t& height);

}  // namespace tessel
