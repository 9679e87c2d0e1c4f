#include "sources/image_sources.h"
#include "core/byte_order.h"
#include "platform/memory.h"

#include <string_view>

#include "core/pixel_image.h"
#include "core/property_list.h"
#include "exif/tiff_directory.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/app1_marker.h"
#include "jpeg/markers/jpeg_reader.h"

namespace tessel {

namespace {

enum class SourceKind { kJpeg, kKpx, kRaw, kImagingLibrary };

// The extension is everything after the last "." of the whole name, compared exactly.
SourceKind kindOf(std::string_view fileName) {
  const size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return SourceKind::kImagingLibrary;
  const std::string_view extension = fileName.substr(dot + 1);
  if (extension == "JPG" || extension == "jpg" || extension == "JPEG" || extension == "jpeg") {
    return SourceKind::kJpeg;
  }
  if (extension == "KPX" || extension == "kpx") return SourceKind::kKpx;
  if (extension == "NEF" || extension == "nef") return SourceKind::kRaw;
  return SourceKind::kImagingLibrary;
}

// Turns the image by 90 degrees: clockwise, source pixel (x, y) goes to row x, column
// (height - 1 - y); counter-clockwise to row (width - 1 - x), column y.
void rotateQuarter(PixelImage& image, bool clockwise) {
  if (!image.pixels) return;
  const uint32_t oldWidth = image.width, oldHeight = image.height;
  PixelBuffer block = platform::allocatePixels(oldHeight, oldWidth);
  const uint16_t* in = image.pixels.get();
  uint16_t* out = block.get();
  for (uint32_t y = 0; y < oldHeight; ++y) {
    for (uint32_t x = 0; x < oldWidth; ++x, in += 4) {
      const size_t row = clockwise ? x : oldWidth - 1 - x;
      const size_t column = clockwise ? oldHeight - 1 - y : y;
      uint16_t* target = out + 4 * (row * oldHeight + column);
      target[0] = in[0];
      target[1] = in[1];
      target[2] = in[2];
      target[3] = in[3];
    }
  }
  image.setPixels(oldHeight, oldWidth, std::move(block));
}

// The picture's own Orientation: the IFD0 entry of the first Exif block, 1 when it has none. The
// property list keeps the last value it is given, which is the thumbnail's (IFD1) when the
// thumbnail has one of its own; that one must never turn the picture.
uint16_t pictureOrientation(const MarkerList& markers) {
  for (const auto& marker : markers.items) {
    const auto* app1 = dynamic_cast<const APP1Marker*>(marker.get());
    if (!app1 || !app1->directories) continue;
    for (const auto& entry : app1->directories->entries) {
      if (entry->ifdIndex == 0 && entry->tag == kTagOrientation && entry->type == kTypeShort &&
          entry->count == 1) {
        return read16(entry->value, app1->directories->bigEndian);
      }
    }
    break;
  }
  return 1;
}

void loadJpeg(PixelImage& image, const std::string& fileName) {
  JPEGReader reader(fileName);
  reader.parse();
  decodeJpegImage(*reader.markers, image, {.input = &reader});
  const uint16_t value = pictureOrientation(*reader.markers);
  if (value == 6) rotateQuarter(image, true);
  if (value == 8) rotateQuarter(image, false);
}

}  // namespace

void loadImageSource(PixelImage& image, const std::string& fileName) {
  switch (kindOf(fileName)) {
    case SourceKind::kJpeg:
      loadJpeg(image, fileName);
      break;
    case SourceKind::kKpx:
      readKpxFile(image, fileName);
      break;
    case SourceKind::kRaw:
      readRawTiffFile(image, fileName);
      break;
    case SourceKind::kImagingLibrary:
      loadWithGdiplus(image, fileName);
      break;
  }
}

}  // namespace tessel
