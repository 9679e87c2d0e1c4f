// KPX containers: "KPRX", keyed sections ("PROP" property items, "RGBA" pixels), "XRPK".
// All numbers are little-endian; nothing is padded or aligned.

#include "sources/kpx_reader.h"
#include "core/byte_order.h"
#include "platform/memory.h"

#include <cstring>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/property_list.h"
#include "platform/mapped_file.h"
#include "sources/image_sources.h"
#include "sources/kpx_messages.h"

namespace tessel {

namespace {

constexpr uint32_t kMaxDimension = 1000000;
constexpr size_t kSectionHead = 8;   // key and length
constexpr size_t kPropItemHead = 6;  // tag, type, count
constexpr size_t kRgbaHead = 8;      // width, height

bool hasKey(const uint8_t* p, const char (&key)[5]) {
  return std::memcmp(p, key, 4) == 0;
}

// Appends every item of a PROP body [begin, end), in file order, without replacing items that
// already carry the same tag.
void readProperties(PropertyList& list, const uint8_t* begin, const uint8_t* end) {
  const uint8_t* q = begin;
  while (static_cast<size_t>(end - q) >= kPropItemHead) {
    const uint16_t tag = readLittleEndian16(q);
    const uint16_t type = readLittleEndian16(q + 2);
    const uint16_t count = readLittleEndian16(q + 4);
    // At most 8 x 65535 bytes: no overflow in 32 bits.
    const uint32_t size = typeSize(type) * count;
    const uint8_t* values = q + kPropItemHead;
    if (size > static_cast<size_t>(end - values)) fail(msg::kKpxGarbagePropCount);
    list.append(makeProperty(tag, type, count, values));
    q = values + size;
  }
  if (q != end) fail(msg::kKpxTruncatedProp);
}

// Takes the pixels of an RGBA body [begin, end) into the image.
void readPixels(PixelImage& image, const uint8_t* begin, const uint8_t* end) {
  const size_t bodyLength = static_cast<size_t>(end - begin);
  if (bodyLength < kRgbaHead) fail(msg::kKpxTruncatedRgba);
  const uint32_t width = readLittleEndian32(begin);
  const int32_t height = static_cast<int32_t>(readLittleEndian32(begin + 4));
  if (width > kMaxDimension || height < 0 || height > static_cast<int32_t>(kMaxDimension)) {
    fail(msg::kKpxGarbageDimensions);
  }
  // Both dimensions are at most 10^6, so the product fits in 64 bits with room to spare.
  const uint64_t pixelBytes = uint64_t{width} * static_cast<uint64_t>(height) * 8;
  if (bodyLength - kRgbaHead != pixelBytes) fail(msg::kKpxGarbageDimensions);

  image.width = width;
  image.height = static_cast<uint32_t>(height);
  image.pixels.reset();
  PixelBuffer block = platform::allocatePixels(width, static_cast<uint32_t>(height));
  if (pixelBytes != 0) std::memcpy(block.get(), begin + kRgbaHead, pixelBytes);
  image.setPixels(width, static_cast<uint32_t>(height), std::move(block));
}

}  // namespace

void readKpxBytes(PixelImage& image, const uint8_t* bytes, size_t size) {
  const uint8_t* const end = bytes + size;
  if (size < 4 || !hasKey(bytes, "KPRX")) fail(msg::kKpxMissingMagic);
  const uint8_t* p = bytes + 4;
  for (;;) {
    const size_t remaining = static_cast<size_t>(end - p);
    if (remaining < 4) fail(msg::kKpxMissingSectionKey);
    if (hasKey(p, "XRPK")) {
      if (remaining == 4) return;
      fail(msg::kKpxGarbageAfterTerminator);
    }
    if (remaining < kSectionHead) fail(msg::kKpxMissingSectionLength);
    // The length counts the 8-byte head too; it is signed, so a negative one is garbage.
    const int64_t length = static_cast<int32_t>(readLittleEndian32(p + 4));
    if (length < static_cast<int64_t>(kSectionHead) || static_cast<uint64_t>(length) > remaining) {
      fail(msg::kKpxGarbageSectionLength);
    }
    const uint8_t* const sectionEnd = p + length;
    if (hasKey(p, "PROP")) {
      readProperties(image.properties, p + kSectionHead, sectionEnd);
    } else if (hasKey(p, "RGBA")) {
      readPixels(image, p + kSectionHead, sectionEnd);
    } else {
      fail(msg::kKpxGarbageSectionKey);
    }
    p = sectionEnd;
  }
}

void readKpxFile(PixelImage& image, const std::string& fileName) {
  const MappedFile file(fileName);
  readKpxBytes(image, file.view(), file.size());
}

}  // namespace tessel
