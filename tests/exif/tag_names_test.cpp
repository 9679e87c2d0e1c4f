// Tag names and the directory listing.

#include <gtest/gtest.h>

#include <string>

#include "exif/tag_names.h"
#include "exif/tiff_directory.h"
#include "tiff_builder.h"

namespace tessel {
namespace {

using test::ParsedTiff;
using test::shortEntry;
using test::TiffBlock;

std::string listingOf(const TiffBlock& block, int level = 0) {
  ParsedTiff parsed(block.data);
  parsed.parse();
  return parsed.listing(level);
}

TEST(TagNames, TableKeysNamespacesAndUnknownTags) {
  EXPECT_STREQ(tagName(0x1), "InteropIndex");
  EXPECT_STREQ(tagName(0x30001), "Latitude Ref");
  EXPECT_STREQ(tagName(0x3001d), "UTC Date");  // the last key
  EXPECT_STREQ(tagName(0x24003), "Canon Color Info");
  // Sony entries, namespaced Exif tags and gaps have no name.
  EXPECT_STREQ(tagName(0x10001), "???");
  EXPECT_STREQ(tagName(0x3010f), "???");
  EXPECT_STREQ(tagName(0x0), "???");
}

TEST(TiffListing, NumericTypesPrintTheSameInBothByteOrders) {
  std::string listings[2];
  for (bool bigEndian : {false, true}) {
    TiffBlock b(bigEndian);
    b.header(8).ifd(8,
                    {shortEntry(0x100, 65535, bigEndian),
                     {0x101, 4, 1, 4000000000u},
                     {0x11a, 5, 1, 200},
                     {0x9204, 10, 2, 208},
                     {0x9201, 9, 1, 0xFFFFFFFB},
                     {0x9202, 11, 1, 0xBFC00000},  // -1.5f
                     {0x9203, 12, 1, 224},
                     {0x9000, 7, 4, 0, std::string("0230")},
                     {0x9101, 1, 3, 0, std::string("\1\2\3", 3)}},
                    0);
    b.put32(200, 72).put32(204, 1);
    b.put32(208, 0xFFFFFFFF).put32(212, 3).put32(216, 5).put32(220, 0xFFFFFFFE);
    // 2.25 as a double, stored as two words in the block's order.
    b.put32(224 + (bigEndian ? 0 : 4), 0x40020000).put32(224 + (bigEndian ? 4 : 0), 0);
    listings[bigEndian] = listingOf(b);
  }
  const std::string expected =
      "TIFF data in Intel order\n"
      "Tag 0x100 \"ImageWidth\" (value bytes 18 - 19):\n"
      " 65535\n"
      "Tag 0x101 \"ImageLength\" (value bytes 30 - 33):\n"
      " 4000000000\n"
      "Tag 0x11a \"XResolution\" (value bytes 200 - 207):\n"
      " 72/1\n"
      "Tag 0x9204 \"ExposureBiasValue\" (value bytes 208 - 223):\n"
      " -1/3 5/-2\n"
      "Tag 0x9201 \"ShutterSpeedValue\" (value bytes 66 - 69):\n"
      " -5\n"
      "Tag 0x9202 \"ApertureValue\" (value bytes 78 - 81):\n"
      " -1.500000\n"
      "Tag 0x9203 \"BrightnessValue\" (value bytes 224 - 231):\n"
      " 2.250000\n"
      "Tag 0x9000 \"ExifVersion\" (value bytes 102 - 105):\n"
      " 30 32 33 30\n"
      "Tag 0x9101 \"ComponentsConfiguration\" (value bytes 114 - 116):\n"
      " 01 02 03\n";
  EXPECT_EQ(listings[0], expected);
  std::string motorola = expected;
  motorola.replace(motorola.find("Intel"), 5, "Motorola");
  EXPECT_EQ(listings[1], motorola);
}

TEST(TiffListing, ValueListsAreCutAfterTwentyOneValues) {
  for (uint32_t count : {21u, 22u}) {
    TiffBlock b(false);
    b.header(8).ifd(8, {{0x12d, 3, count, 100}}, 0);
    for (uint32_t i = 0; i < count; ++i) b.put16(100 + 2 * i, static_cast<uint16_t>(i + 1));
    const std::string listing = listingOf(b);
    std::string values;
    for (uint32_t i = 1; i <= std::min(count, 21u); ++i) {
      values += ' ';
      values += std::to_string(i);
    }
    if (count > 21) values += " [snip]";
    EXPECT_NE(listing.find("\n" + values + "\n"), std::string::npos) << count << "\n" << listing;
  }
  // Bytes are cut the same way; ASCII text is not cut.
  TiffBlock bytes(false);
  bytes.header(8).ifd(8, {{0x927c, 7, 22, 100}, {0x10e, 2, 201, 200}}, 0);
  bytes.bytes(100, std::string(22, '\x7f')).bytes(200, std::string(200, 'x'));
  const std::string listing = listingOf(bytes);
  std::string cut;
  for (int i = 0; i < 21; ++i) cut += " 7f";
  EXPECT_NE(listing.find("\n" + cut + " [snip]\n"), std::string::npos);
  EXPECT_NE(listing.find("\n \"" + std::string(200, 'x') + "\"\n"), std::string::npos);
}

TEST(TiffListing, AsciiStopsAtZeroOrCountAndPrintsBytesAsCharacters) {
  TiffBlock b(false);
  b.header(8).ifd(8, {{0x10f, 2, 6, 100}, {0x110, 2, 8, 120}, {0x131, 2, 3, 0, "\xe9t\xe9"}}, 0);
  b.bytes(100, std::string("ab\0cdefgh", 9)).bytes(120, std::string("12345678ZZZZ"));
  EXPECT_EQ(listingOf(b),
            "TIFF data in Intel order\n"
            "Tag 0x10f \"Make\" (value bytes 100 - 105):\n"
            " \"ab\"\n"
            "Tag 0x110 \"Model\" (value bytes 120 - 127):\n"
            " \"12345678\"\n"
            "Tag 0x131 \"Software\" (value bytes 42 - 44):\n"
            " \"\xc3\xa9t\xc3\xa9\"\n");
}

TEST(TiffListing, CountZeroAndIndentedValueLines) {
  TiffBlock b(true);
  b.header(8).ifd(8, {{0x101, 4, 0, 0}, {0x10e, 2, 0, 0}}, 0);
  EXPECT_EQ(listingOf(b, 2),
            "    TIFF data in Motorola order\n"
            "    Tag 0x101 \"ImageLength\" (value bytes 18 - 17):\n"
            "    \n"
            "    Tag 0x10e \"ImageDescription\" (value bytes 30 - 29):\n"
            "     \"\"\n");
}

TEST(TiffListing, SonyEntriesHaveNoNames) {
  TiffBlock b(true);
  b.header(8).ifd(8, {{271, 2, 5, 100}, {37500, 7, 30, 120}}, 0);
  b.bytes(100, std::string("SONY\0", 5)).bytes(120, std::string("SONY DSC \0\0\0", 12));
  b.ifd(132, {{0x1, 3, 1, 0, std::string("\0\5", 2)}});
  const std::string listing = listingOf(b);
  EXPECT_NE(listing.find("Sony MakerNote:\n  TIFF data in Motorola order\n"
                         "  Tag 0x1 \"???\" (value bytes 142 - 143):\n   5\n"),
            std::string::npos)
      << listing;
}

}  // namespace
}  // namespace tessel
