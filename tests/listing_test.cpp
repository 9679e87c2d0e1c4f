// The property lines of jpgdump -d for what no decoded file carries: the signed, double and byte
// types, lists of more than 21 values, counts beyond the value bytes, and tags without a name.
// Everything else the listing shows is in the golden files of fixtures/listing.

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "core/property_list.h"

// The report belongs to the jpgdump program, not to the library; it is compiled in here.
#include "../tools/jpgdump/decode_report.cpp"

namespace tessel {
namespace {

// A property holding `values`; `count` defaults to as many values as the bytes hold.
template <typename T>
Property propertyOf(uint32_t tag, uint32_t type, const std::vector<T>& values, uint32_t count = 0) {
  const auto size = static_cast<uint32_t>(values.size() * sizeof(T));
  return Property(tag, type, count != 0 ? count : size / typeSize(type), values.data(), size);
}

Property textOf(uint32_t tag, const std::string& bytes, uint32_t count) {
  return Property(tag, kTypeAscii, count, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::string numbers(int from, int to, const char* tail = "") {
  std::string text;
  for (int i = from; i <= to; ++i) {
    text += ' ';
    text += std::to_string(i);
  }
  return text + tail + "\n";
}

TEST(DecodeReport, PropertyLinesOfEveryTypeCutAfter21Values) {
  std::vector<uint16_t> shorts(22);
  std::iota(shorts.begin(), shorts.end(), uint16_t{1});
  const std::vector<uint16_t> first21(shorts.begin(), shorts.begin() + 21);
  std::string bytes21;
  for (int i = 0; i < 21; ++i) bytes21 += " ab";
  const struct {
    Property property;
    std::string line;
  } cases[] = {
      {propertyOf<uint16_t>(274, kTypeShort, first21), "Orientation:" + numbers(1, 21)},
      {propertyOf<uint16_t>(296, kTypeShort, shorts),
       "Resolution Unit:" + numbers(1, 21, " [snip]")},
      {propertyOf<uint16_t>(305, kTypeShort, {7, 8}, 5), "Software: 7 8\n"},  // count > bytes
      {propertyOf<uint32_t>(49152, kTypeLong, {4294967295u}), "Pixel Format: 4294967295\n"},
      {propertyOf<uint32_t>(282, kTypeRational, {72, 1, 300, 2}), "X Resolution: 72/1 300/2\n"},
      {propertyOf<int32_t>(12345, kTypeSLong, {-5, 6}), "???: -5 6\n"},
      {propertyOf<int32_t>(283, kTypeSRational, {-1, 3}), "Y Resolution: -1/3\n"},
      {propertyOf<float>(269, kTypeFloat, {1.5f}), "Document Name: 1.500000\n"},
      {propertyOf<double>(270, kTypeDouble, {-0.25}), "Image Description: -0.250000\n"},
      {propertyOf<uint8_t>(271, kTypeUndefined, {0x0A, 0xFF, 0x00}), "Make: 0a ff 00\n"},
      {propertyOf<uint8_t>(272, kTypeByte, std::vector<uint8_t>(22, 0xAB)),
       "Model:" + bytes21 + " [snip]\n"},
      {propertyOf<uint8_t>(33432, kTypeByte, std::vector<uint8_t>(21, 0xAB)),
       "Copyright:" + bytes21 + "\n"},
      // Text ends at a zero, at the count or at the value bytes; bytes are Latin-1 characters.
      {textOf(315, std::string("Ann\0Bob", 8), 8), "Artist: \"Ann\"\n"},
      {textOf(306, "caf\xE9", 4), "Date Time: \"caf\xC3\xA9\"\n"},
      {textOf(36867, "abcdef", 3), "Date Time Original: \"abc\"\n"},
      {textOf(36868, "wxyz", 9), "Date Time Digitized: \"wxyz\"\n"},
      {textOf(49153, "", 0), "Compression Mode: \"\"\n"},
  };
  PropertyList list;
  std::string expected;
  for (const auto& c : cases) {
    list.append(c.property);
    expected += c.line;
  }
  std::ostringstream out;
  jpgdump::printPropertyList(list, out);
  EXPECT_EQ(out.str(), expected);
}

}  // namespace
}  // namespace tessel
