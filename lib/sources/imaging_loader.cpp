#include "sources/imaging_loader.h"

#include <cstring>
#include <memory>
#include <vector>

#include "core/exception.h"
#include "core/property_list.h"
#include "exif/tag_names.h"
#include "platform/memory.h"
#include "sources/image_sources.h"
#include "sources/messages.h"
#include "sources/upright.h"

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

// Copies the descriptive items (the tag filter; ASCII, UTF-8, SHORT, LONG and RATIONAL values) into
// the image's property list. An item too short for the one value it should hold is skipped rather
// than read past.
void copyProperties(const std::vector<OwnedPropertyItem>& items, PropertyList& properties) {
  static const uint8_t kNothing = 0;
  for (const OwnedPropertyItem& item : items) {
    if (!isImagePropertyTag(item.id)) continue;
    const uint8_t* value = item.value.empty() ? &kNothing : item.value.data();
    const size_t length = item.value.size();
    uint32_t v[2];
    switch (item.type) {
      case kTypeAscii:
      case kTypeUtf8:
        setText(properties, item.id, item.type, value, uint32_t(length));
        break;
      case kTypeShort:
        if (length >= 2) {
          uint16_t s;
          std::memcpy(&s, value, 2);
          setShort(properties, item.id, s);
        }
        break;
      case kTypeLong:
        if (length >= 4) {
          std::memcpy(v, value, 4);
          setLong(properties, item.id, v[0]);
        }
        break;
      case kTypeRational:
        if (length >= 8) {
          std::memcpy(v, value, 8);
          setRational(properties, item.id, v[0], v[1]);
        }
        break;
      default:
        break;
    }
  }
}

}  // namespace

void loadWithGdiplus(PixelImage& image, const std::string& fileName) {
  std::unique_ptr<Picture> picture;
  int status = Picture::open(fileName, picture);
  if (status != kOk) throwGdiplusReadError(fileName, status);
  const uint32_t format = picture->pixelFormat();
  setLong(image.properties, kTagPixelFormat, format);

  std::vector<OwnedPropertyItem> items;
  status = picture->readProperties(items);
  copyProperties(items, image.properties);
  if (status != kOk) throwGdiplusStatus(status);

  status = picture->preparePixels();
  if (status != kOk) throwGdiplusReadError(fileName, status);
  // 1- and 4-bit indices are kept as stored, whatever the orientation.
  const bool turns = format != kFormat1bppIndexed && format != kFormat4bppIndexed;
  const uint16_t turn =
      turns && hasOrientation(image.properties) ? orientation(image.properties) : 1;
  const UprightLayout layout(turn, picture->width(), picture->height());
  PixelBuffer block = platform::allocatePixels(layout.width(), layout.height());
  std::vector<uint16_t> row(4 * size_t(picture->width()));
  for (uint32_t y = 0; y < picture->height(); ++y) {
    picture->readRow(y, row.data());
    layout.placeRow(y, row.data(), block.get());
  }
  image.setPixels(layout.width(), layout.height(), std::move(block));
}

}  // namespace tessel
