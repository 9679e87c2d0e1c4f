#include "core/property_list.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/messages.h"
#include "core/text.h"

namespace tessel {

uint32_t typeSizeOrZero(uint32_t type) noexcept {
  return tiffTypeSize(type, TiffTypeSet::kExif);
}

uint32_t typeSize(uint32_t type) {
  const uint32_t size = typeSizeOrZero(type);
  if (size == 0) fail(msg::kInvalidPropertyType);
  return size;
}

Property::Property(uint32_t tag, uint32_t type, uint32_t count, const void* bytes, uint32_t size)
    : tag(tag), type(type), count(count), size(size), bytes_(size + size_t{1}, 0) {
  if (size != 0) std::memcpy(bytes_.data(), bytes, size);
}

void PropertyList::reserveFor(size_t count) {
  // Room for twice the count needed, so that a list filled one item at a time grows rarely.
  if (count > items_.capacity()) items_.reserve(2 * count);
}

void PropertyList::set(Property property) {
  for (Property& item : items_) {
    if (item.tag == property.tag) {
      item = std::move(property);
      return;
    }
  }
  append(std::move(property));
}

void PropertyList::append(Property property) {
  reserveFor(items_.size() + 1);
  items_.push_back(std::move(property));
}

const Property* PropertyList::find(uint32_t tag) const noexcept {
  for (const Property& item : items_) {
    if (item.tag == tag) return &item;
  }
  return nullptr;
}

Property makeProperty(uint32_t tag, uint32_t type, uint32_t count, const void* bytes) {
  // A size that does not fit in 32 bits would leave count and size disagreeing, and a reader of
  // count values would run past the block.
  const uint64_t size = uint64_t{typeSize(type)} * count;
  if (size >= UINT32_MAX) fail(msg::kPropertyTooLarge);
  return Property(tag, type, count, bytes, static_cast<uint32_t>(size));
}

void setAscii(PropertyList& list, uint32_t tag, const void* bytes, uint32_t count) {
  setText(list, tag, kTypeAscii, bytes, count);
}

void setText(PropertyList& list, uint32_t tag, uint32_t type, const void* bytes, uint32_t count) {
  list.set(makeProperty(tag, type, count, bytes));
}

void setShort(PropertyList& list, uint32_t tag, uint16_t value) {
  list.set(Property(tag, kTypeShort, 1, &value, sizeof value));
}

void setLong(PropertyList& list, uint32_t tag, uint32_t value) {
  list.set(Property(tag, kTypeLong, 1, &value, sizeof value));
}

void setRational(PropertyList& list, uint32_t tag, uint32_t numerator, uint32_t denominator) {
  const uint32_t pair[2] = {numerator, denominator};
  list.set(Property(tag, kTypeRational, 1, pair, sizeof pair));
}

void setFloat(PropertyList& list, uint32_t tag, float value) {
  list.set(Property(tag, kTypeFloat, 1, &value, sizeof value));
}

void setCompressionMode(PropertyList& list, const char* text) {
  setAscii(list, kTagCompressionMode, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

namespace {

const Property* findOrientation(const PropertyList& list) noexcept {
  for (const Property& item : list.items()) {
    if (item.tag == kTagOrientation && item.type == kTypeShort) return &item;
  }
  return nullptr;
}

}  // namespace

bool hasOrientation(const PropertyList& list) noexcept {
  return findOrientation(list) != nullptr;
}

uint16_t orientation(const PropertyList& list) {
  const Property* item = findOrientation(list);
  if (!item) fail(msg::kMissingImageProperty);
  if (item->count != 1) fail(msg::kIncorrectCount);
  uint16_t value;
  std::memcpy(&value, item->data(), sizeof value);
  return value;
}

namespace {

// A text value: up to a zero byte or `count` bytes, in quotes.
void printText(std::ostream& out, uint32_t type, uint32_t count, const uint8_t* bytes) {
  out << " \"";
  uint32_t n = 0;
  while (n < count && bytes[n] != 0) ++n;
  if (type == kTypeUtf8) {
    putUtf8Text(out, bytes, n);
  } else {
    for (uint32_t i = 0; i < n; ++i) putByteChar(out, bytes[i]);
  }
  out << '"';
}

// One value of a numeric type at `p` (any other type: the byte as two hex digits).
void printValue(std::ostream& out, uint32_t type, const uint8_t* p, bool bigEndian) {
  switch (type) {
    case kTypeShort:
      return writef(out, " %hu", read16(p, bigEndian));
    case kTypeLong:
    case kTypeIfd:
      return writef(out, " %u", read32(p, bigEndian));
    case kTypeSByte:
      return writef(out, " %d", static_cast<int8_t>(*p));
    case kTypeSShort:
      return writef(out, " %d", static_cast<int16_t>(read16(p, bigEndian)));
    case kTypeRational:
      return writef(out, " %u/%u", read32(p, bigEndian), read32(p + 4, bigEndian));
    case kTypeSLong:
      return writef(out, " %d", static_cast<int32_t>(read32(p, bigEndian)));
    case kTypeSRational:
      return writef(out, " %d/%d", static_cast<int32_t>(read32(p, bigEndian)),
                    static_cast<int32_t>(read32(p + 4, bigEndian)));
    case kTypeFloat:
      return writef(out, " %f", static_cast<double>(std::bit_cast<float>(read32(p, bigEndian))));
    case kTypeDouble:
      return writef(out, " %f", std::bit_cast<double>(read64(p, bigEndian)));
    default:  // BYTE, UNDEFINED
      return writef(out, " %02x", *p);
  }
}

}  // namespace

void printTypedValues(std::ostream& out, uint32_t type, uint32_t count, const uint8_t* bytes,
                      bool bigEndian) {
  if (type == kTypeAscii || type == kTypeUtf8) return printText(out, type, count, bytes);
  constexpr uint32_t kPrintedValues = 21;
  // Types of other sizes (BYTE, UNDEFINED, unknown) are printed byte by byte.
  const uint32_t size = std::max<uint32_t>(typeSizeOrZero(type), 1);
  const bool numeric = type != kTypeByte && type != kTypeUndefined && typeSizeOrZero(type) != 0;
  for (uint32_t i = 0; i < count; ++i) {
    printValue(out, type, bytes + size_t{i} * (numeric ? size : 1), bigEndian);
    if (i + 1 == kPrintedValues && count > kPrintedValues) {
      out << " [snip]";
      break;
    }
  }
}

}  // namespace tessel
