#include "core/tiff.h"

#include "core/byte_order.h"

namespace tessel {

uint32_t tiffTypeSize(uint32_t type, TiffTypeSet accepted) {
  static constexpr uint8_t kSizes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  if (accepted == TiffTypeSet::kNikonRaw) {
    const bool taken = type != 0 && type <= kTypeDouble && type != kTypeSByte &&
                       type != kTypeFloat && type != kTypeDouble;
    return taken ? kSizes[type] : 0;
  }
  if (type == kTypeUtf8) return 1;
  return type != 0 && type <= kTypeIfd ? kSizes[type] : 0;
}

uint16_t TiffReader::read16(uint64_t offset) const {
  return tessel::read16(header_ + offset, bigEndian_);
}

uint32_t TiffReader::read32(uint64_t offset) const {
  return tessel::read32(header_ + offset, bigEndian_);
}

TiffField TiffReader::field(uint64_t offset) const {
  TiffField field;
  field.tag = read16(offset);
  field.type = read16(offset + 2);
  field.count = read32(offset + 4);
  field.typeSize = tiffTypeSize(field.type, types_);
  field.size = uint64_t{field.typeSize} * field.count;
  field.valueOffset = field.inlineValue() ? offset + 8 : read32(offset + 8);
  return field;
}

}  // namespace tessel
