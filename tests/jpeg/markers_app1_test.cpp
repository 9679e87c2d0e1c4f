// The APP1 segment: Exif directories with the embedded thumbnail, XMP text, and other payloads.

#include <gtest/gtest.h>

#include <algorithm>

#include "../exif/tiff_builder.h"
#include "core/messages.h"
#include "exif/messages.h"
#include "exif/tiff_directory.h"
#include "jpeg/markers/app1_marker.h"
#include "markers_test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::bytesOf;
using test::jpegOf;
using test::segmentBytes;
using test::Segmented;
using test::TiffBlock;

Bytes exifSegment(const TiffBlock& block) {
  Bytes payload(6 + block.data.size(), 0);
  std::copy(block.data.begin(), block.data.end(), payload.begin() + 6);
  std::copy_n("Exif", 4, payload.begin());
  return segmentBytes(0xE1, payload);
}

// A small but complete JPEG stream to embed as a thumbnail.
Bytes thumbnailJpeg() {
  return jpegOf({segmentBytes(0xC0, {8, 0, 8, 0, 8, 1, 1, 0x11, 0}),
                 segmentBytes(0xDA, {1, 1, 0, 0, 63, 0}), Bytes{0x12, 0x34}});
}

// A block whose IFD1 holds the thumbnail entries; the thumbnail bytes go at 100.
TiffBlock blockWithThumbnail(const Bytes& thumbnail, uint32_t offset = 100,
                             bool bigEndian = false) {
  TiffBlock b(bigEndian, 100);
  b.header(8).ifd(8, {{0x10f, 2, 4, 0, std::string("ABC")}}, 26);
  b.ifd(26, {{513, 4, 1, offset}, {514, 4, 1, static_cast<uint32_t>(thumbnail.size())}}, 0);
  b.bytes(100, thumbnail);
  return b;
}

TEST(App1Exif, ThumbnailIsSegmentedAndClaimed) {
  for (bool bigEndian : {false, true}) {
    const Bytes thumb = thumbnailJpeg();
    Segmented s(jpegOf({exifSegment(blockWithThumbnail(thumb, 100, bigEndian))}));
    ASSERT_EQ(s.error, "");
    const auto* app1 = s.marker<APP1Marker>(0);
    ASSERT_NE(app1, nullptr);
    ASSERT_TRUE(app1->thumbnail);
    ASSERT_EQ(app1->thumbnail->items.size(), 2u);
    // The thumbnail starts 100 bytes into the TIFF block, which starts 12 bytes into the file.
    EXPECT_EQ(app1->thumbnail->items[0]->payload - s.bytes.data(), 112 + 6);
    // Everything but the unused bytes between the directories and the thumbnail is identified.
    EXPECT_EQ(s.tracker.unclaimedBytes(), 100u - 56u);
  }
}

TEST(App1Exif, ThumbnailIsIgnoredWhenMissingOrNotAJpeg) {
  // Only one of the two entries.
  TiffBlock onlyOffset(false, 120);
  onlyOffset.header(8).ifd(8, {{513, 4, 1, 100}}, 0).bytes(100, thumbnailJpeg());
  // Not starting with SOI.
  Bytes notJpeg = thumbnailJpeg();
  notJpeg[1] = 0xD9;
  // Zero length, outside the segment, and over the directory bytes.
  TiffBlock zero = blockWithThumbnail(thumbnailJpeg());
  zero.put32(26 + 2 + 12 + 8, 0);
  for (const TiffBlock& block :
       {onlyOffset, blockWithThumbnail(notJpeg), zero,
        blockWithThumbnail(thumbnailJpeg(), 0x7FFFFF00), blockWithThumbnail(thumbnailJpeg(), 8),
        blockWithThumbnail(thumbnailJpeg(), 0xFFFFFFF0)}) {
    Segmented s(jpegOf({exifSegment(block)}));
    EXPECT_EQ(s.error, "");
    const auto* app1 = s.marker<APP1Marker>(0);
    ASSERT_NE(app1, nullptr);
    EXPECT_FALSE(app1->thumbnail);
  }
}

TEST(App1Exif, CorruptThumbnailIsDroppedAndItsClaimsStay) {
  // The thumbnail's SOF runs past its end; the bytes claimed up to then stay identified.
  Bytes broken = jpegOf({segmentBytes(0xFE, bytesOf("hi")), Bytes{0xFF, 0xC0, 0x00, 0x40}});
  Segmented s(jpegOf({exifSegment(blockWithThumbnail(broken)), segmentBytes(0xFE, bytesOf("x"))}));
  ASSERT_EQ(s.error, "");
  const auto* app1 = s.marker<APP1Marker>(0);
  ASSERT_NE(app1, nullptr);
  EXPECT_FALSE(app1->thumbnail);
  // SOI, the COM segment and the SOF's prefix, code and length field were claimed.
  EXPECT_EQ(s.tracker.unclaimedBytes(), (100u - 56u) + (broken.size() - 2 - 6 - 4));
  // The walk over the file went on with the bound restored.
  EXPECT_EQ(s.list.items.size(), 2u);
}

TEST(App1Exif, BrokenExifFailsTheFileAndPopsTheBound) {
  TiffBlock bad(false);
  bad.header(8).ifd(8, {{0x100, 8, 1, 0}});
  Segmented s(jpegOf({exifSegment(bad)}));
  EXPECT_EQ(s.error, msg::kUnknownTiffType);
  EXPECT_EQ(s.tracker.currentBound().hi, static_cast<int32_t>(s.bytes.size()));
  // An identifier without a TIFF header.
  EXPECT_EQ(Segmented(jpegOf({segmentBytes(0xE1, bytesOf(std::string("Exif\0\0II", 8)))})).error,
            msg::kInvalidOffset);
  // The TIFF structure cannot reach past the segment into the next one.
  TiffBlock b(false, 8);
  b.header(8).put16(8, 1);
  EXPECT_EQ(Segmented(jpegOf({exifSegment(b), segmentBytes(0xFE, Bytes(20, 0))})).error,
            msg::kInvalidOffset);
}

TEST(App1Other, NeitherExifNorXmpIsClaimedAndDumped) {
  Segmented s(
      jpegOf({segmentBytes(0xE1, bytesOf(std::string("Exif\0", 5))), segmentBytes(0xE1, {})}));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.tracker.unclaimedBytes(), 0u);
  EXPECT_EQ(s.listing(1),
            "  Marker APP1 (bytes 2 - 10)\n"
            "     45 78 69 66 00\n"
            "  Marker APP1 (bytes 11 - 14)\n");
}

std::string xmp(const std::string& body) {
  return decodeXmpText(reinterpret_cast<const uint8_t*>(body.data()), body.size());
}

TEST(XmpText, LineEndsInvalidBytesAndCodePoints) {
  const std::pair<std::string, std::string> cases[] = {
      {"<a>  \r\n\r\n\r\n   <b/> \t\r\n</a>  ", "<a>\n   <b/> \t\n</a>  "},
      {"\n\nx\n", "\nx\n"},
      // Invalid bytes cut the text.
      {"ab\x80"
       "cd",
       "ab"},                            // continuation byte as a lead
      {"ab\xf8\x88\x80\x80\x80", "ab"},  // 0xF8-0xFF
      {"ab\xc3(d", "ab"},                // bad continuation
      {"ab\xe2\x82", "ab"},              // sequence past the end
      {"x\xc3\xa9", "x\xc3\xa9"},        // a sequence ending exactly at the end
      // U+1F600 must not be cut to 16 bits (which would give U+F600).
      {"a\xf0\x9f\x98\x80z", "a\xf0\x9f\x98\x80z"},
      // Overlong forms decode to their value; an overlong line feed is a line feed.
      {"a  \xc0\x8a"
       "b",
       "a\nb"},
      // Leads 0xF5-0xF7 give values above U+10FFFF, kept as they are.
      {"\xf7\xbf\xbf\xbf", "\xf7\xbf\xbf\xbf"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(xmp(in), out) << in;
}

TEST(App1Xmp, PacketIsClaimedDecodedAndPrinted) {
  const std::string body = std::string(kXmpSignature, kXmpSignatureSize) +
                           "<x>  \r\n\r\n  \xf0\x9f\x98\x80 caf\xc3\xa9\n</x>\xff tail";
  Segmented s(jpegOf({segmentBytes(0xE1, bytesOf(body))}));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.tracker.unclaimedBytes(), 0u);
  const auto* app1 = s.marker<APP1Marker>(0);
  ASSERT_NE(app1, nullptr);
  EXPECT_FALSE(app1->directories);
  EXPECT_EQ(app1->xmpText, "<x>\n  \xf0\x9f\x98\x80 caf\xc3\xa9\n</x>");
  EXPECT_EQ(s.listing(), "Marker APP1 (bytes 2 - " + std::to_string(5 + body.size()) +
                             ")\n"
                             "  Adobe XMP packet:\n"
                             "<x>\n  \xf0\x9f\x98\x80 caf\xc3\xa9\n</x>\n");

  // A signature without its zero byte is not XMP; an empty packet is.
  std::string noZero(kXmpSignature);
  noZero += "x<x/>";
  Segmented other(jpegOf({segmentBytes(0xE1, bytesOf(noZero))}));
  EXPECT_FALSE(other.marker<APP1Marker>(0)->hasXmp);
  Segmented empty(jpegOf({segmentBytes(0xE1, bytesOf(std::string(kXmpSignature, 29)))}));
  EXPECT_TRUE(empty.marker<APP1Marker>(0)->hasXmp);
  EXPECT_EQ(empty.listing(), "Marker APP1 (bytes 2 - 34)\n  Adobe XMP packet:\n\n");
}

TEST(App1Print, ExifDirectoriesAndThumbnailListing) {
  Segmented s(jpegOf({exifSegment(blockWithThumbnail(thumbnailJpeg()))}));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.listing(1),
            "  Marker APP1 (bytes 2 - 140)\n"
            "    TIFF data in Intel order\n"
            "    Tag 0x10f \"Make\" (value bytes 30 - 33):\n"
            "     \"ABC\"\n"
            "    Tag 0x201 \"ThumbnailOffset\" (value bytes 48 - 51):\n"
            "     100\n"
            "    Tag 0x202 \"ThumbnailLength\" (value bytes 60 - 63):\n"
            "     29\n"
            "    Thumbnail:\n"
            "      Marker SOF0 \"Baseline DCT Huffman\" (bytes 114 - 126)\n"
            "        Precision 8, width 8, height 8\n"
            "         Component 1: horiz sampling 1, vert sampling 1, quant table 0\n"
            "      Marker SOS (bytes 127 - 136)\n"
            "        Component 1: DC Table 0, AC table 0\n"
            "        Spectral selection 0 to 63, bit position high 0/low 0\n"
            "      Compressed data length 2\n");
}

}  // namespace
}  // namespace tessel
