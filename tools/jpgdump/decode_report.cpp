#include "decode_report.h"

#include <algorithm>
#include <bit>

#include "core/pixel_image.h"
#include "core/property_list.h"
#include "core/text.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/jpeg_reader.h"

namespace tessel::jpgdump {

namespace {

struct PropertyName {
  uint32_t tag;
  const char* name;
};

// Searched in order; the first row with the tag wins.
constexpr PropertyName kPropertyNames[] = {
    {306, "Date Time"},
    {36868, "Date Time Digitized"},
    {36867, "Date Time Original"},
    {269, "Document Name"},
    {270, "Image Description"},
    {271, "Make"},
    {272, "Model"},
    {274, "Orientation"},
    {305, "Software"},
    {315, "Artist"},
    {33432, "Copyright"},
    {282, "X Resolution"},
    {283, "Y Resolution"},
    {296, "Resolution Unit"},
    {49152, "Pixel Format"},
    {49153, "Compression Mode"},
};

const char* propertyName(uint32_t tag) {
  for (const PropertyName& row : kPropertyNames) {
    if (row.tag == tag) return row.name;
  }
  return "???";
}

}  // namespace

void decodeReport(JPEGReader& reader, std::ostream& out) {
  PixelImage image;
  decodeJpegImage(*reader.markers, image, {.input = &reader});
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
