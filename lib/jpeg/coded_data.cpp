#include "jpeg/coded_data.h"

#include <algorithm>

#include "core/exception.h"
#include "core/messages.h"

namespace tessel {

uint64_t minimumCodedBytes(uint32_t width, uint32_t height,
                           std::span<const ComponentSampling> components) {
  uint32_t hMax = 1, vMax = 1;
  for (const ComponentSampling& c : components) {
    hMax = std::max(hMax, c.h);
    vMax = std::max(vMax, c.v);
  }
  uint64_t blocks = 0;
  for (const ComponentSampling& c : components) {
    // The component's own size in samples, then in whole blocks.
    const uint64_t columns = (uint64_t{width} * c.h + hMax - 1) / hMax;
    const uint64_t rows = (uint64_t{height} * c.v + vMax - 1) / vMax;
    blocks += ((columns + 7) / 8) * ((rows + 7) / 8);
  }
  return (blocks + 7) / 8;
}

void requireCodedDataFor(uint32_t width, uint32_t height,
                         std::span<const ComponentSampling> components, uint32_t codedLength) {
  if (width == 0 || height == 0) failf(msg::kUnsupportedImageSize, width, height);
  if (codedLength < minimumCodedBytes(width, height, components)) {
    failf(msg::kCodedDataTooShort, codedLength, width, height);
  }
}

}  // namespace tessel
