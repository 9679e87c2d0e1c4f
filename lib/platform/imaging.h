#pragma once

// The platform imaging library behind the image-source loader: a still picture decoded into its
// size, its pixel format, its descriptive properties and rows of 16-bit RGBA. Failures are told
// by the status numbers whose names the loader's messages quote (GDI+'s names, on every
// platform).
//
// On Windows it is GDI+ (windows/imaging_gdiplus.cpp), which is handed a file only after its
// first bytes have shown one of the still-image formats that GDI+ decodes.
// On Linux the library is GraphicsMagick (posix/imaging_graphicsmagick.cpp). Files are opened by
// content only: the bytes are read here, the format is recognised from its signature
// (image_formats.h) and handed over with that format fixed, so neither the file name nor the
// content can select a coder outside the allow-list of still-image raster formats, an external
// delegate, or a file access.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/tiff_properties.h"

namespace tessel::imaging {

// Status numbers of the imaging library (0 is success).
enum Status : int {
  kOk = 0,
  kGenericError = 1,
  kInvalidParameter = 2,
  kOutOfMemory = 3,
  kInsufficientBuffer = 5,
  kWin32Error = 7,
  kFileNotFound = 10,
  kAccessDenied = 12,
  kUnknownImageFormat = 13,
  kNotInitialized = 18,
  kPropertyNotFound = 19,
};

// The pixel formats a picture is read in, by the codes of GDI+, which the image keeps as its
// PixelFormat property on every platform.
inline constexpr uint32_t kFormat1bppIndexed = 0x30101;
inline constexpr uint32_t kFormat4bppIndexed = 0x30402;
inline constexpr uint32_t kFormat8bppIndexed = 0x30803;
inline constexpr uint32_t kFormat24bppRGB = 0x21808;
inline constexpr uint32_t kFormat32bppRGB = 0x22009;
inline constexpr uint32_t kFormat32bppARGB = 0x26200A;
inline constexpr uint32_t kFormat48bppRGB = 0x10300C;
inline constexpr uint32_t kFormat64bppARGB = 0x34400D;

// Whether a format stores palette indices.
constexpr bool isIndexed(uint32_t format) {
  return format == kFormat1bppIndexed || format == kFormat4bppIndexed ||
         format == kFormat8bppIndexed;
}

// Starts and ends the library; every picture call in between may be made. Calls nest: only the
// outermost end shuts the library down. Without a started library, opening fails with status 18.
Status startup();
void shutdown() noexcept;

// Caps the size of the pictures that may be opened (pixels in total, and each side); 0 keeps the
// default. Larger pictures fail to open with status 3. Used to keep fuzzing within memory.
void limitImageSize(uint64_t maxPixels, uint32_t maxSide);

class Picture {
 public:
  // Opens and decodes the file named `fileName`. Status 10 when it does not exist, 12 when it may
  // not be read, 13 when its content is no accepted still-image format or has no accepted pixel
  // format, 3 when it is too large for memory, 1 for damaged data.
  static Status open(const std::string& fileName, std::unique_ptr<Picture>& picture);
  ~Picture();
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint32_t pixelFormat() const { return pixelFormat_; }

  // The picture's property items (the first TIFF directory and its Exif directory), values in
  // host byte order. Reading them can fail only where the library keeps them itself (GDI+).
  Status readProperties(std::vector<OwnedPropertyItem>& items) const;

  // Makes the pixels readable (GDI+ locks the bitmap and hands over its palette).
  Status preparePixels();
  // Writes stored row `y` (0 is the top) as width() pixels of 16-bit R, G, B, A, after a
  // successful preparePixels.
  void readRow(uint32_t y, uint16_t* rgba) const;

  // The backend's own part of a picture.
  struct Impl;
  Picture(std::unique_ptr<Impl> impl, uint32_t width, uint32_t height, uint32_t pixelFormat);

 private:
  std::unique_ptr<Impl> impl_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t pixelFormat_ = 0;
};

}  // namespace tessel::imaging
