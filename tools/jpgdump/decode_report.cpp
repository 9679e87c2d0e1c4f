#include "decode_report.h"

#include <algorithm>
#include <bit>

#include "core/pixel_image.h"
#include "core/property_list.h"
#include "core/text.h"
#include "exif/tag_names.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/jpeg_reader.h"

namespace tessel::jpgdump {

void decodeReport(JPEGReader& reader, std::ostream& out) {
  PixelImage image;
  // The report shows the image's size and properties, never its pixels: they are computed and
  // dropped MCU by MCU, so that the decode needs no memory of the picture's size.
  decodeJpegImage(*reader.markers, image, {.input = &reader, .pixels = PixelSink::kDiscarded});
  writef(out, "Decoded %d x %d pixels\n", static_cast<int>(image.width),
         static_cast<int>(image.height));
  printPropertyList(image.properties, out);
}

void printPropertyList(const PropertyList& list, std::ostream& out) {
  // Properties hold their numbers in the host's byte order; never more values than the value
  // bytes hold.
  constexpr bool kHostBigEndian = std::endian::native == std::endian::big;
  for (const Property& property : list.items()) {
    writef(out, "%s:", propertyName(property.tag));
    const uint32_t unit = std::max<uint32_t>(typeSizeOrZero(property.type), 1);
    printTypedValues(out, property.type, std::min(property.count, property.size / unit),
                     property.data(), kHostBigEndian);
    out << '\n';
  }
}

}  // namespace tessel::jpgdump
