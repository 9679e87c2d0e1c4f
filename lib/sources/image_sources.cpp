#include "sources/image_sources.h"
#include "core/byte_order.h"

#include <string_view>

#include "core/pixel_image.h"
#include "core/property_list.h"
#include "exif/tiff_directory.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/app1_marker.h"
#include "jpeg/markers/jpeg_reader.h"
#include "sources/upright.h"

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
  // A JPEG source is turned by the quarter turns only; every other Orientation leaves it as stored.
  const uint16_t value = pictureOrientation(*reader.markers);
  if (value == 6 || value == 8) turnUpright(image, value);
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
