#pragma once

// Segments JPEG bytes built in a test and lists them, keeping the error text of a failed parse.

#include <sstream>
#include <string>

#include "core/exception.h"
#include "core/range_tracker.h"
#include "jpeg/jpeg_reader.h"
#include "support/test_support.h"

namespace tessel::test {

struct Segmented {
  explicit Segmented(Bytes data)
      : bytes(std::move(data)), tracker(bytes.data(), static_cast<int32_t>(bytes.size())) {
    try {
      segment(list, tracker, bytes.data(), static_cast<int32_t>(bytes.size()));
    } catch (const RawLayerException& e) {
      error = e.message();
    }
  }
  std::string listing(int level = 0) const {
    std::ostringstream out;
    list.print(bytes.data(), level, out);
    return out.str();
  }
  template <typename T>
  const T* marker(size_t index) const {
    return index < list.items.size() ? dynamic_cast<const T*>(list.items[index].get()) : nullptr;
  }

  Bytes bytes;
  RangeTracker tracker;
  MarkerList list;
  std::string error;
};

// A file made of SOI, the given segments and EOI.
inline Bytes jpegOf(std::initializer_list<Bytes> segments) {
  Bytes out = kSoi;
  for (const Bytes& s : segments) out.insert(out.end(), s.begin(), s.end());
  out.insert(out.end(), kEoi.begin(), kEoi.end());
  return out;
}

inline Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

}  // namespace tessel::test
