#include "sources/imaging_loader.h"
#include "core/byte_order.h"
#include "platform/memory.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "core/exception.h"
#include "core/property_list.h"
#include "exif/tag_names.h"
#include "sources/image_sources.h"
#include "sources/messages.h"

namespace tessel {

using namespace imaging;

const char* gdiplusStatusName(int status) {
  constexpr int count = int(sizeof msg::kStatusNames / sizeof msg::kStatusNames[0]);
  return status >= 0 && status < count ? msg::kStatusNames[status] : msg::kUnknownStatus;
}

void throwGdiplusStatus(int status) {
  fail(gdiplusStatusName(status));
}

void throwGdiplusReadError(const std::string& fileName, int status) {
  failf(msg::kImagingError, msg::kImagingReading, fileName.c_str(), gdiplusStatusName(status));
}

ImagingSession::ImagingSession() {
  const Status status = startup();
  if (status != kOk) throwGdiplusStatus(status);
}

ImagingSession::~ImagingSession() {
  shutdown();
}

namespace {

// A sample of the 16-bit formats, full scale 8192, to the 65535 scale.
inline uint16_t deepSample(uint16_t v) {
  return v >= 8192 ? 65535 : uint16_t(v * 8);
}

inline void putPaletteColour(uint16_t* out, const ColorPalette& palette, uint32_t index) {
  if (index < palette.count && index < palette.entries.size()) {
    const uint32_t argb = palette.entries[index];
    out[0] = uint16_t(((argb >> 16) & 0xFF) * 257);
    out[1] = uint16_t(((argb >> 8) & 0xFF) * 257);
    out[2] = uint16_t((argb & 0xFF) * 257);
    out[3] = 65535;
  } else {
    out[0] = out[1] = out[2] = out[3] = 0;
  }
}

// Writes every output pixel, upright, reading each stored pixel once. Output pixel (r, c) is the
// stored pixel that the orientation table names; the walk starts at the stored pixel that becomes
// the top-left one and steps by whole pixels or whole rows through the stored bitmap.
template <typename ReadPixel>
void walkOriented(const BitmapData& data, uint32_t bytesPerPixel, uint16_t orientation,
                  uint16_t* out, ReadPixel readPixel) {
  const ptrdiff_t w = data.width, h = data.height;
  const ptrdiff_t px = bytesPerPixel, row = data.stride;
  const ptrdiff_t lastRow = (h - 1) * row, lastColumn = (w - 1) * px;
  ptrdiff_t start = 0, pixelStep = px, rowStep = row;
  ptrdiff_t outWidth = w, outHeight = h;
  switch (orientation) {
    case 2:
      start = lastColumn, pixelStep = -px, rowStep = row;
      break;
    case 3:
      start = lastRow + lastColumn, pixelStep = -px, rowStep = -row;
      break;
    case 4:
      start = lastRow, pixelStep = px, rowStep = -row;
      break;
    case 5:
      start = 0, pixelStep = row, rowStep = px;
      break;
    case 6:
      start = lastRow, pixelStep = -row, rowStep = px;
      break;
    case 7:
      start = lastRow + lastColumn, pixelStep = -row, rowStep = -px;
      break;
    case 8:
      start = lastColumn, pixelStep = row, rowStep = -px;
      break;
    default:
      break;
  }
  if (orientation >= 5 && orientation <= 8) outWidth = h, outHeight = w;
  for (ptrdiff_t r = 0; r < outHeight; ++r) {
    ptrdiff_t offset = start + r * rowStep;
    for (ptrdiff_t c = 0; c < outWidth; ++c, offset += pixelStep, out += 4) {
      readPixel(data.scan0 + offset, out);
    }
  }
}

}  // namespace

int convertBitmap(const BitmapData& data, const ColorPalette* palette, uint16_t orientation,
                  PixelBuffer& pixels, uint32_t& width, uint32_t& height) {
  const uint32_t format = data.pixelFormat;
  const bool indexed =
      format == kFormat1bppIndexed || format == kFormat4bppIndexed || format == kFormat8bppIndexed;
  switch (format) {
    case kFormat64bppARGB:
    case kFormat48bppRGB:
    case kFormat32bppARGB:
    case kFormat32bppRGB:
    case kFormat24bppRGB:
    case kFormat8bppIndexed:
    case kFormat4bppIndexed:
    case kFormat1bppIndexed:
      break;
    default:
      return kUnknownImageFormat;
  }
  if (indexed && !palette) return kInvalidParameter;

  // 1- and 4-bit indices are copied as stored, whatever the orientation.
  if (format == kFormat1bppIndexed || format == kFormat4bppIndexed) {
    PixelBuffer block = platform::allocatePixels(data.width, data.height);
    uint16_t* out = block.get();
    for (uint32_t y = 0; y < data.height; ++y) {
      const uint8_t* row = data.scan0 + ptrdiff_t(y) * data.stride;
      for (uint32_t x = 0; x < data.width; ++x, out += 4) {
        const uint32_t index = format == kFormat4bppIndexed
                                   ? (row[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 0x0F
                                   : (row[x / 8] >> (7 - x % 8)) & 1;
        putPaletteColour(out, *palette, index);
      }
    }
    pixels = std::move(block);
    width = data.width;
    height = data.height;
    return kOk;
  }

  const bool transposed = orientation >= 5 && orientation <= 8;
  const uint32_t outWidth = transposed ? data.height : data.width;
  const uint32_t outHeight = transposed ? data.width : data.height;
  PixelBuffer block = platform::allocatePixels(outWidth, outHeight);
  if (block) {
    uint16_t* out = block.get();
    switch (format) {
      case kFormat64bppARGB:
        walkOriented(data, 8, orientation, out, [](const uint8_t* p, uint16_t* o) {
          o[0] = deepSample(readLittleEndian16(p + 4));
          o[1] = deepSample(readLittleEndian16(p + 2));
          o[2] = deepSample(readLittleEndian16(p));
          o[3] = deepSample(readLittleEndian16(p + 6));
        });
        break;
      case kFormat48bppRGB:
        walkOriented(data, 6, orientation, out, [](const uint8_t* p, uint16_t* o) {
          o[0] = deepSample(readLittleEndian16(p + 4));
          o[1] = deepSample(readLittleEndian16(p + 2));
          o[2] = deepSample(readLittleEndian16(p));
          o[3] = 65535;
        });
        break;
      case kFormat32bppARGB:
        walkOriented(data, 4, orientation, out, [](const uint8_t* p, uint16_t* o) {
          o[0] = uint16_t(p[2] * 257);
          o[1] = uint16_t(p[1] * 257);
          o[2] = uint16_t(p[0] * 257);
          o[3] = uint16_t(p[3] * 257);
        });
        break;
      case kFormat32bppRGB:
      case kFormat24bppRGB:
        walkOriented(data, format == kFormat24bppRGB ? 3 : 4, orientation, out,
                     [](const uint8_t* p, uint16_t* o) {
                       o[0] = uint16_t(p[2] * 257);
                       o[1] = uint16_t(p[1] * 257);
                       o[2] = uint16_t(p[0] * 257);
                       o[3] = 65535;
                     });
        break;
      case kFormat8bppIndexed:
        walkOriented(data, 1, orientation, out, [palette](const uint8_t* p, uint16_t* o) {
          putPaletteColour(o, *palette, *p);
        });
        break;
      default:
        break;
    }
  }
  pixels = std::move(block);
  width = outWidth;
  height = outHeight;
  return kOk;
}

namespace {

// Copies the descriptive items (the tag filter; ASCII, UTF-8, SHORT, LONG and RATIONAL values) into
// the image's property list. An item that is missing or unreadable ends the copying quietly.
void copyProperties(const Bitmap& bitmap, PropertyList& properties) {
  uint32_t count = 0;
  int status = bitmap.getPropertyCount(count);
  if (status != kOk) throwGdiplusStatus(status);
  std::vector<uint32_t> ids(count);
  status = bitmap.getPropertyIdList(count, ids.data());
  if (status != kOk) throwGdiplusStatus(status);

  std::vector<uint8_t> buffer;
  for (uint32_t id : ids) {
    uint32_t size = 0;
    status = bitmap.getPropertyItemSize(id, size);
    if (status == kPropertyNotFound || status == kWin32Error) break;
    if (status != kOk) throwGdiplusStatus(status);
    if (buffer.size() < size) buffer.resize(size);
    PropertyItem item;
    status = bitmap.getPropertyItem(id, size, buffer, item);
    if (status != kOk) throwGdiplusStatus(status);
    if (!isImagePropertyTag(item.id)) continue;

    static const uint8_t kNothing = 0;
    const uint8_t* value = item.length ? item.value : &kNothing;
    // An item too short for the one value it should hold is skipped rather than read past.
    switch (item.type) {
      case kTypeAscii:
      case kTypeUtf8:
        setText(properties, item.id, item.type, value, item.length);
        break;
      case kTypeShort:
        if (item.length >= 2) {
          uint16_t v;
          std::memcpy(&v, value, 2);
          setShort(properties, item.id, v);
        }
        break;
      case kTypeLong:
        if (item.length >= 4) {
          uint32_t v;
          std::memcpy(&v, value, 4);
          setLong(properties, item.id, v);
        }
        break;
      case kTypeRational:
        if (item.length >= 8) {
          uint32_t numerator, denominator;
          std::memcpy(&numerator, value, 4);
          std::memcpy(&denominator, value + 4, 4);
          setRational(properties, item.id, numerator, denominator);
        }
        break;
      default:
        break;
    }
  }
}

// Unlocks the bitmap on every way out of the conversion.
class LockGuard {
 public:
  LockGuard(Bitmap& bitmap, BitmapData& data) : bitmap_(bitmap), data_(data) {}
  ~LockGuard() { bitmap_.unlockBits(data_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Bitmap& bitmap_;
  BitmapData& data_;
};

}  // namespace

void loadWithGdiplus(PixelImage& image, const std::string& fileName) {
  std::unique_ptr<Bitmap> bitmap;
  int status = Bitmap::createFromFile(fileName, bitmap);
  if (status != kOk) throwGdiplusReadError(fileName, status);

  uint32_t width = 0, height = 0, format = 0;
  status = bitmap->getWidth(width);
  if (status == kOk) status = bitmap->getHeight(height);
  if (status == kOk) status = bitmap->getPixelFormat(format);
  if (status != kOk) throwGdiplusReadError(fileName, status);

  setLong(image.properties, kTagPixelFormat, format);
  copyProperties(*bitmap, image.properties);

  BitmapData data;
  const Rect whole{0, 0, int32_t(width), int32_t(height)};
  status = bitmap->lockBits(whole, kLockModeRead, format, data);
  if (status != kOk) throwGdiplusReadError(fileName, status);
  LockGuard lock(*bitmap, data);

  const uint16_t turn = hasOrientation(image.properties) ? orientation(image.properties) : 1;

  ColorPalette palette;
  const bool indexed =
      format == kFormat1bppIndexed || format == kFormat4bppIndexed || format == kFormat8bppIndexed;
  if (indexed) {
    int32_t paletteSize = 0;
    status = bitmap->getPaletteSize(paletteSize);
    if (status == kOk) status = bitmap->getPalette(palette, paletteSize);
    if (status != kOk) throwGdiplusReadError(fileName, status);
  }

  PixelBuffer pixels;
  uint32_t outWidth = 0, outHeight = 0;
  status = convertBitmap(data, indexed ? &palette : nullptr, turn, pixels, outWidth, outHeight);
  if (status != kOk) throwGdiplusReadError(fileName, status);
  image.setPixels(outWidth, outHeight, std::move(pixels));
}

}  // namespace tessel
