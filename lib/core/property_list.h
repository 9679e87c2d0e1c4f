#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

#include "core/tiff.h"

namespace tessel {

// Size in bytes of one value of a type, or 0 for types that are not accepted (0, 14 to 128 and
// above 129: the Exif set of tiffTypeSize).
uint32_t typeSizeOrZero(uint32_t type) noexcept;
// The same, throwing "Invalid property type" for a type that is not accepted.
uint32_t typeSize(uint32_t type);

// One tagged value. Numeric values are in host byte order; ASCII and raw copies are kept as they
// came. The byte after the value bytes is always zero, so ASCII values are terminated even when
// their count does not include a terminator.
class Property {
 public:
  Property(uint32_t tag, uint32_t type, uint32_t count, const void* bytes, uint32_t size);

  uint32_t tag;
  uint32_t type;
  uint32_t count;
  uint32_t size;  // type size x count

  const uint8_t* data() const { return bytes_.data(); }

 private:
  std::vector<uint8_t> bytes_;  // size + 1 bytes, the last one zero
};

// An ordered set of properties. The setters keep at most one item per tag: setting a tag that is
// present replaces that item in place, otherwise the item is appended.
class PropertyList {
 public:
  PropertyList() { items_.reserve(4); }

  // Replaces the first item with the same tag (the type is not compared), or appends.
  void set(Property property);
  // Appends without looking for an item of the same tag (the container reader keeps duplicates).
  void append(Property property);
  // The first item with `tag`, or null.
  const Property* find(uint32_t tag) const noexcept;
  void clear() noexcept { items_.clear(); }

  const std::vector<Property>& items() const { return items_; }
  size_t count() const { return items_.size(); }
  // Room for items before the list grows: 4 when new, then twice the count that needed more.
  size_t capacity() const { return items_.capacity(); }
  bool empty() const { return items_.empty(); }

 private:
  void reserveFor(size_t count);

  std::vector<Property> items_;
};

// A new item with size = typeSize(type) x count and the bytes copied; throws "Invalid property
// type" through typeSize, and "Property value is too large" when the size does not fit in 32 bits.
Property makeProperty(uint32_t tag, uint32_t type, uint32_t count, const void* bytes);

void setAscii(PropertyList& list, uint32_t tag, const void* bytes, uint32_t count);
// A text of `type` ASCII or UTF-8, `count` bytes.
void setText(PropertyList& list, uint32_t tag, uint32_t type, const void* bytes, uint32_t count);
void setShort(PropertyList& list, uint32_t tag, uint16_t value);
void setLong(PropertyList& list, uint32_t tag, uint32_t value);
void setRational(PropertyList& list, uint32_t tag, uint32_t numerator, uint32_t denominator);
void setFloat(PropertyList& list, uint32_t tag, float value);
// Tag 49153, ASCII, count = length + 1 (the terminating zero is counted).
void setCompressionMode(PropertyList& list, const char* text);

// True when an item with tag 274 and type SHORT exists.
bool hasOrientation(const PropertyList& list) noexcept;
// The value of the first item with tag 274 and type SHORT. Throws "Missing image property" when
// there is none and "Incorrect count in property" when its count is not 1.
uint16_t orientation(const PropertyList& list);

// Prints `count` values of TIFF `type` stored at `bytes` in the given byte order, as every listing
// prints them: ASCII as a quoted text up to a zero byte or `count` bytes, each byte as the
// character of that code point, and UTF-8 text as its characters; numbers as " %hu", " %u"
// (LONG and IFD), " %u/%u", " %d" (SBYTE, SSHORT, SLONG), " %d/%d" and " %f"; any other type as
// " %02x" per byte; at most 21 values, then " [snip]".
void printTypedValues(std::ostream& out, uint32_t type, uint32_t count, const uint8_t* bytes,
                      bool bigEndian);

}  // namespace tessel
