#pragma once

// Writes KPX containers for tests: "KPRX", sections, "XRPK", all little-endian.

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tessel::test {

// One item of a PROP section; `value` holds the value bytes as stored (little-endian numbers).
struct KpxProperty {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint16_t count = 0;
  Bytes value;
};

KpxProperty kpxAscii(uint16_t tag, const std::string& text);  // count includes the zero byte
KpxProperty kpxShort(uint16_t tag, uint16_t value);
KpxProperty kpxLong(uint16_t tag, uint32_t value);

class KpxWriter {
 public:
  KpxWriter();  // starts with the magic number

  // A section with `key` and `body`; its length field is 8 + the body size unless given.
  KpxWriter& section(const std::string& key, const Bytes& body);
  KpxWriter& section(const std::string& key, const Bytes& body, int32_t length);
  KpxWriter& prop(const std::vector<KpxProperty>& items);
  // width, height and the pixel samples (R, G, B, A per pixel) as one RGBA section.
  KpxWriter& rgba(uint32_t width, int32_t height, const std::vector<uint16_t>& samples);
  // Bytes as they stand, for damaged files.
  KpxWriter& raw(const Bytes& bytes);

  // The file so far followed by the terminator "XRPK".
  Bytes finish() const;
  // The file so far, without a terminator.
  const Bytes& unterminated() const { return bytes_; }

 private:
  Bytes bytes_;
};

Bytes kpxPropBody(const std::vector<KpxProperty>& items);
Bytes kpxRgbaBody(uint32_t width, int32_t height, const std::vector<uint16_t>& samples);

}  // namespace tessel::test
