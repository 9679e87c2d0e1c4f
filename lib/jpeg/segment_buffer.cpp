#include "jpeg/segment_buffer.h"

namespace tessel {

void SegmentBuffer::beginSegment(uint8_t code) {
  append(0xFF);
  append(code);
  lengthOffset_ = data_.size();
  append(0xFF);
  append(0xFF);
}

void SegmentBuffer::endSegment() {
  const size_t length = data_.size() - lengthOffset_;
  data_[lengthOffset_] = static_cast<uint8_t>(length >> 8);
  data_[lengthOffset_ + 1] = static_cast<uint8_t>(length);
}

}  // namespace tessel
