#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessel {

// A growable byte array that output segments are built in.
class SegmentBuffer {
 public:
  explicit SegmentBuffer(size_t capacity = 1024) { data_.reserve(capacity); }

  void append(uint8_t byte) { data_.push_back(byte); }
  void append(const uint8_t* bytes, size_t length) {
    data_.insert(data_.end(), bytes, bytes + length);
  }
  void appendBigEndian16(uint32_t value) {
    append(static_cast<uint8_t>(value >> 8));
    append(static_cast<uint8_t>(value));
  }

  // Appends 0xFF, the marker code and a length placeholder, and remembers the placeholder.
  void beginSegment(uint8_t code);
  // Writes the segment's length (the length field itself plus the payload) into the placeholder.
  void endSegment();
  // A whole segment: the marker, the length field and `length` payload bytes (none when it is 0
  // or less).
  void appendSegment(uint8_t code, const uint8_t* payload, int32_t length) {
    beginSegment(code);
    if (length > 0) append(payload, static_cast<size_t>(length));
    endSegment();
  }

  const uint8_t* data() const { return data_.data(); }
  uint8_t* data() { return data_.data(); }
  size_t length() const { return data_.size(); }
  void clear() { data_.clear(); }
  std::vector<uint8_t>& bytes() { return data_; }

 private:
  std::vector<uint8_t> data_;
  size_t lengthOffset_ = 0;
};

}  // namespace tessel
