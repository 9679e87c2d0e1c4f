#pragma once

// The platform imaging library behind the image-source loader. It offers what the loader needs
// from a bitmap (open by name, size, pixel-format code, property items, a read lock with stride,
// a palette) and speaks the GDI+ pixel-format codes and status numbers, so the loader's
// conversions are written once against those codes whatever library decodes the file.
//
// On Windows it is GDI+ itself (windows/imaging_gdiplus.cpp), which is handed a file only after
// its first bytes have shown one of the still-image formats below that GDI+ decodes.
// On Linux the library is GraphicsMagick (posix/imaging_graphicsmagick.cpp). Files are opened by
// content only: the bytes are read here, the format is recognised from its signature
// (image_formats.h) and handed over with that format fixed, so neither the file name nor the
// content can select a coder outside the allow-list of still-image raster formats, an external
// delegate, or a file access.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tessel::imaging {

// Status numbers of the imaging library (0 is success).
enum Status : int {
  kOk = 0,
  kGenericError = 1,
  kInvalidParameter = 2,
  kOutOfMemory = 3,
  kInsufficientBuffer = 5,
  kWin32Error = 7,
  kWrongState = 8,
  kFileNotFound = 10,
  kValueOverflow = 11,
  kAccessDenied = 12,
  kUnknownImageFormat = 13,
  kNotInitialized = 18,
  kPropertyNotFound = 19,
};

// Pixel-format codes.
inline constexpr uint32_t kFormat1bppIndexed = 0x30101;
inline constexpr uint32_t kFormat4bppIndexed = 0x30402;
inline constexpr uint32_t kFormat8bppIndexed = 0x30803;
inline constexpr uint32_t kFormat24bppRGB = 0x21808;
inline constexpr uint32_t kFormat32bppRGB = 0x22009;
inline constexpr uint32_t kFormat32bppARGB = 0x26200A;
inline constexpr uint32_t kFormat48bppRGB = 0x10300C;
inline constexpr uint32_t kFormat64bppARGB = 0x34400D;
// Formats the loader does not accept; listed for tests of the rejection.
inline constexpr uint32_t kFormat16bppGrayScale = 0x101004;
inline constexpr uint32_t kFormat32bppPARGB = 0xE200B;
inline constexpr uint32_t kFormat32bppCMYK = 0x200F;

// Bits per pixel of a format code (bits 8 to 15 of the code).
constexpr uint32_t bitsPerPixel(uint32_t format) {
  return (format >> 8) & 0xFF;
}

// Read access for lockBits.
inline constexpr uint32_t kLockModeRead = 1;

// Starts and ends the library; every bitmap call in between may be made. Calls nest: only the
// outermost end shuts the library down. Without a started library, opening fails with status 18.
Status startup();
void shutdown() noexcept;

// Caps the size of the images that may be opened (pixels in total, and each side); 0 keeps the
// default. Larger images fail to open with status 3. Used to keep fuzzing within memory.
void limitImageSize(uint64_t maxPixels, uint32_t maxSide);

// One property item: the tag, its TIFF type, the byte length of the value and the value with
// every number in host byte order.
struct PropertyItem {
  uint32_t id = 0;
  uint32_t length = 0;
  uint16_t type = 0;
  const uint8_t* value = nullptr;
};

// The result of a read lock: the whole image in the bitmap's own pixel format, rows from the top,
// `stride` bytes apart (a multiple of 4; negative where GDI+ keeps the rows bottom-up, with
// `scan0` still at the top row).
struct BitmapData {
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t stride = 0;
  uint32_t pixelFormat = 0;
  const uint8_t* scan0 = nullptr;
};

// A palette: flags (unused here), the number of entries and the entries as 0xAARRGGBB.
struct ColorPalette {
  uint32_t flags = 0;
  uint32_t count = 0;
  std::vector<uint32_t> entries;
};

struct Rect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

class Bitmap {
 public:
  // Opens the file named `fileName`. Status 10 when it does not exist, 12 when it may not be
  // read, 13 when its content is no accepted still-image format or has no accepted pixel format,
  // 3 when it is too large for memory, 1 for damaged data.
  static Status createFromFile(const std::string& fileName, std::unique_ptr<Bitmap>& bitmap);
  ~Bitmap();
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  Status getWidth(uint32_t& width) const;
  Status getHeight(uint32_t& height) const;
  Status getPixelFormat(uint32_t& format) const;

  Status getPropertyCount(uint32_t& count) const;
  // Writes `count` ids; status 2 when `count` is not the property count.
  Status getPropertyIdList(uint32_t count, uint32_t* ids) const;
  // The buffer size that getPropertyItem needs for `id`; status 19 for an unknown id.
  Status getPropertyItemSize(uint32_t id, uint32_t& size) const;
  // Fills `item`, its value stored in `buffer`; status 5 when `size` is smaller than needed or
  // larger than the buffer.
  Status getPropertyItem(uint32_t id, uint32_t size, std::vector<uint8_t>& buffer,
                         PropertyItem& item) const;

  // Only the whole image, for reading, in the bitmap's own format. One lock at a time.
  Status lockBits(const Rect& rect, uint32_t mode, uint32_t format, BitmapData& data);
  Status unlockBits(BitmapData& data);

  // Bytes that a palette of this bitmap takes (header and entries); status 2 for a format
  // without a palette.
  Status getPaletteSize(int32_t& size) const;
  Status getPalette(ColorPalette& palette, int32_t size) const;

  struct Impl;

 private:
  explicit Bitmap(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessel::imaging
