#include "decode_report.h"

#include <algorithm>
#include <cstring>

#include "core/pixel_image.h"
#include "core/text.h"
#include "exif/property_list.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/jpeg_reader.h"

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

// At most this many values of a property are printed; " [snip]" marks the rest.
constexpr uint32_t kMaxValues = 21;

const char* propertyName(uint32_t tag) {
  for (const PropertyName& row : kPropertyNames) {
    if (row.tag == tag) return row.name;
  }
  return "???";
}

template <typename T>
T valueAt(const uint8_t* data, size_t index) {
  T value;
  std::memcpy(&value, data + index * sizeof(T), sizeof(T));
  return value;
}

void printValue(const Property& property, uint32_t i, std::ostream& out) {
  const uint8_t* data = property.data();
  switch (property.type) {
    case kTypeShort:
      writef(out, " %hu", valueAt<uint16_t>(data, i));
      break;
    case kTypeLong:
      writef(out, " %u", valueAt<uint32_t>(data, i));
      break;
    case kTypeRational:
      writef(out, " %u/%u", valueAt<uint32_t>(data, 2 * size_t{i}),
             valueAt<uint32_t>(data, 2 * size_t{i} + 1));
      break;
    case kTypeSLong:
      writef(out, " %d", valueAt<int32_t>(data, i));
      break;
    case kTypeSRational:
      writef(out, " %d/%d", valueAt<int32_t>(data, 2 * size_t{i}),
             valueAt<int32_t>(data, 2 * size_t{i} + 1));
      break;
    case kTypeFloat:
      writef(out, " %f", static_cast<double>(valueAt<float>(data, i)));
      break;
    case kTypeDouble:
      writef(out, " %f", valueAt<double>(data, i));
      break;
    default:
      writef(out, " %02x", data[i]);
      break;
  }
}

}  // namespace

void decodeReport(JPEGReader& reader, std::ostream& out) {
  PixelImage image;
  {
    DecoderState state;
    decodeImage(*reader.markers, state, image, false);
  }
  writef(out, "Decoded %d x %d pixels\n", static_cast<int>(image.width),
         static_cast<int>(image.height));
  printPropertyList(image.properties, out);
}

void printPropertyList(const PropertyList& list, std::ostream& out) {
  for (const Property& property : list.items()) {
    writef(out, "%s:", propertyName(property.tag));
    if (property.type == kTypeAscii) {
      out << " \"";
      const uint8_t* data = property.data();
      for (uint32_t i = 0; i < property.count && i < property.size && data[i] != 0; ++i) {
        putByteChar(out, data[i]);
      }
      out << '"';
    } else {
      // Never more values than the value bytes hold.
      const uint32_t unit = std::max<uint32_t>(typeSizeOrZero(property.type), 1);
      const uint32_t count = std::min(property.count, property.size / unit);
      for (uint32_t i = 0; i < count && i < kMaxValues; ++i) printValue(property, i, out);
      if (count > kMaxValues) out << " [snip]";
    }
    out << '\n';
  }
}

}  // namespace tessel::jpgdump
