#include "platform/image_formats.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/jpeg_markers.h"

namespace tessel::imaging {

namespace {

bool startsWith(const uint8_t* data, size_t size, const char* signature, size_t length) {
  return size >= length && std::memcmp(data, signature, length) == 0;
}

// Truevision TGA has no signature; its header must describe a plausible raster.
bool looksLikeTga(const uint8_t* d, size_t size) {
  if (size < 18) return false;
  const uint8_t idLength = d[0], mapType = d[1], imageType = d[2], depth = d[16];
  (void)idLength;
  if (mapType > 1) return false;
  const bool mapped = imageType == 1 || imageType == 9;
  const bool direct = imageType == 2 || imageType == 3 || imageType == 10 || imageType == 11;
  if (!mapped && !direct) return false;
  if (mapped != (mapType == 1)) return false;
  if (depth != 8 && depth != 15 && depth != 16 && depth != 24 && depth != 32) return false;
  const uint16_t width = readLittleEndian16(d + 12), height = readLittleEndian16(d + 14);
  return width != 0 && height != 0;
}

const OwnedPropertyItem* findItem(const std::vector<OwnedPropertyItem>& items, uint32_t id) {
  for (const OwnedPropertyItem& item : items) {
    if (item.id == id) return &item;
  }
  return nullptr;
}

uint32_t firstNumber(const OwnedPropertyItem& item) {
  if (item.type == 3 && item.value.size() >= 2) {
    uint16_t v;
    std::memcpy(&v, item.value.data(), 2);
    return v;
  }
  if (item.type == 4 && item.value.size() >= 4) {
    uint32_t v;
    std::memcpy(&v, item.value.data(), 4);
    return v;
  }
  return 0;
}

}  // namespace

SourceFormat detectFormat(const uint8_t* d, size_t size) {
  if (startsWith(d, size, "\x89PNG\r\n\x1a\n", 8)) return SourceFormat::kPng;
  if (startsWith(d, size, "GIF87a", 6) || startsWith(d, size, "GIF89a", 6)) {
    return SourceFormat::kGif;
  }
  if (startsWith(d, size, "BM", 2) && size >= 30) return SourceFormat::kBmp;
  if (startsWith(d, size, "II*\0", 4) || startsWith(d, size, "MM\0*", 4)) {
    return SourceFormat::kTiff;
  }
  if (size >= 12 && std::memcmp(d, "RIFF", 4) == 0 && std::memcmp(d + 8, "WEBP", 4) == 0) {
    return SourceFormat::kWebp;
  }
  if (size >= 3 && d[0] == 'P' && d[1] >= '1' && d[1] <= '7' &&
      (d[2] == ' ' || d[2] == '\t' || d[2] == '\n' || d[2] == '\r')) {
    return SourceFormat::kPnm;
  }
  if (startsWith(d, size, "\xFF\xD8\xFF", 3)) return SourceFormat::kJpeg;
  if (startsWith(d, size, "\0\0\1\0", 4) && size >= 6 && (d[4] | d[5]) != 0) {
    return SourceFormat::kIco;
  }
  if (looksLikeTga(d, size)) return SourceFormat::kTga;
  return SourceFormat::kNone;
}

const char* coderName(SourceFormat format) {
  switch (format) {
    case SourceFormat::kPng:
      return "PNG";
    case SourceFormat::kGif:
      return "GIF";
    case SourceFormat::kBmp:
      return "BMP";
    case SourceFormat::kTiff:
      return "TIFF";
    case SourceFormat::kWebp:
      return "WEBP";
    case SourceFormat::kPnm:
      return "PNM";
    case SourceFormat::kTga:
      return "TGA";
    case SourceFormat::kIco:
      return "ICO";
    case SourceFormat::kJpeg:
      return "JPEG";
    case SourceFormat::kNone:
      break;
  }
  return "";
}

bool storesIndices(SourceFormat format, const uint8_t* d, size_t size,
                   const std::vector<OwnedPropertyItem>& tiffItems) {
  switch (format) {
    case SourceFormat::kPng:
      return size > 25 && d[25] == 3;
    case SourceFormat::kGif:
      return true;
    case SourceFormat::kIco:
      return true;
    case SourceFormat::kBmp: {
      const size_t at = readLittleEndian32(d + 14) == 12 ? 24 : 28;
      return size >= at + 2 && readLittleEndian16(d + at) <= 8;
    }
    case SourceFormat::kTiff: {
      const OwnedPropertyItem* photometric = findItem(tiffItems, 262);
      const OwnedPropertyItem* bits = findItem(tiffItems, 258);
      return (photometric && firstNumber(*photometric) == 3) || (bits && firstNumber(*bits) == 1);
    }
    case SourceFormat::kPnm:
      return d[1] == '1' || d[1] == '4';
    case SourceFormat::kTga:
      return d[2] == 1 || d[2] == 9;
    default:
      return false;
  }
}

bool storesCmyk(SourceFormat format, const uint8_t* d, size_t size,
                const std::vector<OwnedPropertyItem>& tiffItems) {
  if (format == SourceFormat::kTiff) {
    const OwnedPropertyItem* photometric = findItem(tiffItems, 262);
    return photometric && firstNumber(*photometric) == 5;
  }
  if (format != SourceFormat::kJpeg) return false;
  // The segments from SOI to the first frame header, whose component count follows its marker,
  // length, precision, height and width.
  SegmentAt segment;
  for (size_t at = 2; readSegmentAt(d, size, at, segment); at = segment.next()) {
    if (isSofCode(segment.code)) return segment.marker + 9 < size && d[segment.marker + 9] == 4;
    if (segment.code == kCodeSos || segment.code == kCodeEoi) return false;
  }
  return false;
}

}  // namespace tessel::imaging
