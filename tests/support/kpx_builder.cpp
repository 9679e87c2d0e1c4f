#include "support/kpx_builder.h"

namespace tessel::test {

namespace {

void putLe16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void putLe32(Bytes& out, uint32_t value) {
  putLe16(out, static_cast<uint16_t>(value));
  putLe16(out, static_cast<uint16_t>(value >> 16));
}

}  // namespace

KpxProperty kpxAscii(uint16_t tag, const std::string& text) {
  KpxProperty item{tag, 2, static_cast<uint16_t>(text.size() + 1), Bytes(text.begin(), text.end())};
  item.value.push_back(0);
  return item;
}

KpxProperty kpxShort(uint16_t tag, uint16_t value) {
  KpxProperty item{tag, 3, 1, {}};
  putLe16(item.value, value);
  return item;
}

KpxProperty kpxLong(uint16_t tag, uint32_t value) {
  KpxProperty item{tag, 4, 1, {}};
  putLe32(item.value, value);
  return item;
}

Bytes kpxPropBody(const std::vector<KpxProperty>& items) {
  Bytes body;
  for (const KpxProperty& item : items) {
    putLe16(body, item.tag);
    putLe16(body, item.type);
    putLe16(body, item.count);
    body.insert(body.end(), item.value.begin(), item.value.end());
  }
  return body;
}

Bytes kpxRgbaBody(uint32_t width, int32_t height, const std::vector<uint16_t>& samples) {
  Bytes body;
  putLe32(body, width);
  putLe32(body, static_cast<uint32_t>(height));
  for (uint16_t sample : samples) putLe16(body, sample);
  return body;
}

KpxWriter::KpxWriter() : bytes_{'K', 'P', 'R', 'X'} {}

KpxWriter& KpxWriter::section(const std::string& key, const Bytes& body) {
  return section(key, body, static_cast<int32_t>(body.size() + 8));
}

KpxWriter& KpxWriter::section(const std::string& key, const Bytes& body, int32_t length) {
  bytes_.insert(bytes_.end(), key.begin(), key.end());
  putLe32(bytes_, static_cast<uint32_t>(length));
  bytes_.insert(bytes_.end(), body.begin(), body.end());
  return *this;
}

KpxWriter& KpxWriter::prop(const std::vector<KpxProperty>& items) {
  return section("PROP", kpxPropBody(items));
}

KpxWriter& KpxWriter::rgba(uint32_t width, int32_t height, const std::vector<uint16_t>& samples) {
  return section("RGBA", kpxRgbaBody(width, height, samples));
}

KpxWriter& KpxWriter::raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes KpxWriter::finish() const {
  Bytes out = bytes_;
  out.insert(out.end(), {'X', 'R', 'P', 'K'});
  return out;
}

}  // namespace tessel::test
