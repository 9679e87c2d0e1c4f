// Listings of the marker classes other than APP1.

#include <gtest/gtest.h>

#include "jpeg/markers/sof_marker.h"
#include "markers_test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::bytesOf;
using test::jpegOf;
using test::segmentBytes;
using test::Segmented;

std::string listingOf(std::initializer_list<Bytes> segments, int level = 1) {
  Segmented s(jpegOf(segments));
  EXPECT_EQ(s.error, "");
  return s.listing(level);
}

Bytes jfif(uint8_t units, uint16_t x, uint16_t y, uint8_t w, uint8_t h, size_t extra = 0) {
  Bytes p(14 + size_t{w} * h * 3 + extra, 0);
  const uint8_t header[14] = {
      'J',        'F', 'I', 'F', 0, 1, 2, units, uint8_t(x >> 8), uint8_t(x), uint8_t(y >> 8),
      uint8_t(y), w,   h};
  std::copy(header, header + 14, p.begin());
  return segmentBytes(0xE0, p);
}

TEST(App0Print, UnitsAndThumbnailLines) {
  EXPECT_EQ(listingOf({jfif(0, 1, 1, 0, 0)}),
            "  Marker APP0 (bytes 2 - 19)\n"
            "    JFIF version 0x0102\n"
            "    Aspect ratio 1:1\n"
            "    Thumbnail size 0 x 0 (0 bytes)\n");
  EXPECT_EQ(listingOf({jfif(1, 300, 72, 1, 2)}, 0),
            "Marker APP0 (bytes 2 - 25)\n"
            "  JFIF version 0x0102\n"
            "  X resolution: 300 DPI\n"
            "  Y resolution: 72 DPI\n"
            "  Thumbnail size 1 x 2 (6 bytes)\n");
  EXPECT_EQ(listingOf({jfif(2, 118, 119, 0, 0, 4)}, 0),
            "Marker APP0 (bytes 2 - 23)\n"
            "  JFIF version 0x0102\n"
            "  X resolution: 118 DPCM\n"
            "  Y resolution: 119 DPCM\n"
            "  Thumbnail size 0 x 0 (0 bytes)\n"
            "    (I actually have 4 bytes of thumbnail!)\n");
  EXPECT_EQ(listingOf({jfif(7, 65535, 2, 0, 0)}, 0),
            "Marker APP0 (bytes 2 - 19)\n"
            "  JFIF version 0x0102\n"
            "  Bogus aspect ratio code 7 65535 x 2\n"
            "  Thumbnail size 0 x 0 (0 bytes)\n");
}

TEST(SignaturePrint, App2App12App13App14) {
  EXPECT_EQ(
      listingOf({segmentBytes(0xE2, bytesOf(std::string("ICC_PROFILE\0\1\1", 14))),
                 segmentBytes(0xE2, bytesOf("ICC_PROFILE")), segmentBytes(0xEC, bytesOf("Ducky")),
                 segmentBytes(0xED, bytesOf(std::string("Photoshop 3.0\0", 14)))}),
      "  Marker APP2 (bytes 2 - 19)\n"
      "    \"ICC_PROFILE\" signature\n"
      "  Marker APP2 (bytes 20 - 34)\n"
      "  Marker APP12 (bytes 35 - 43)\n"
      "    \"Ducky\" signature\n"
      "  Marker APP13 (bytes 44 - 61)\n"
      "    Photoshop 3.0 content\n");
  EXPECT_EQ(listingOf({segmentBytes(
                           0xEE, {'A', 'd', 'o', 'b', 'e', 0x12, 0x64, 0xC0, 0x00, 0x00, 0x0F, 1}),
                       segmentBytes(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 1, 0, 0, 0, 0, 0}),
                       segmentBytes(0xEE, bytesOf("adobe......."))}),
            "  Marker APP14 (bytes 2 - 17)\n"
            "    \"Adobe\" signature\n"
            "    version=100, flags0=c000, flags1=f, color transform=YCbCr\n"
            "  Marker APP14 (bytes 18 - 33)\n"
            "    \"Adobe\" signature\n"
            "    version=1, flags0=0, flags1=0, color transform=Unknown\n"
            "  Marker APP14 (bytes 34 - 49)\n");
}

TEST(TablePrint, DqtDhtSofSosDri) {
  Bytes dqt(65 + 65 + 129, 1);
  dqt[0] = 0x00;
  dqt[65] = 0x01;
  dqt[130] = 0x13;
  Bytes dht(17 + 3 + 17, 0);
  dht[0] = 0x00;
  dht[1] = 1;
  dht[3] = 2;
  dht[20] = 0x11;
  EXPECT_EQ(listingOf({segmentBytes(0xDB, dqt), segmentBytes(0xC4, dht),
                       segmentBytes(0xC2, {12, 0x01, 0xE0, 0x02, 0x80, 3, 1, 0x22, 0, 2, 0x11, 1, 3,
                                           0x11, 1}),
                       segmentBytes(0xDD, {0x01, 0x00}),
                       segmentBytes(0xDA, {2, 1, 0x00, 2, 0x11, 1, 5, 0x21}), Bytes{0}}),
            "  Marker DQT (bytes 2 - 264)\n"
            "    Table 0 precision 8\n"
            "    Table 1 precision 8\n"
            "    Table 3 precision 16\n"
            "  Marker DHT (bytes 265 - 305)\n"
            "    Table 0 (DC table)\n"
            "    Table 1 (AC table)\n"
            "  Marker SOF2 \"Progressive DCT Huffman\" (bytes 306 - 324)\n"
            "    Precision 12, width 640, height 480\n"
            "     Component 1: horiz sampling 2, vert sampling 2, quant table 0\n"
            "     Component 2: horiz sampling 1, vert sampling 1, quant table 1\n"
            "     Component 3: horiz sampling 1, vert sampling 1, quant table 1\n"
            "  Marker DRI (bytes 325 - 330)\n"
            "    Restart interval: 256\n"
            "  Marker SOS (bytes 331 - 342)\n"
            "    Component 1: DC Table 0, AC table 0\n"
            "    Component 2: DC Table 1, AC table 1\n"
            "    Spectral selection 1 to 5, bit position high 2/low 1\n"
            "  Compressed data length 1\n");
}

TEST(SofPrint, ProcessNamesByCode) {
  EXPECT_STREQ(SOFMarker::processName(0xC5), "Differential sequential DCT Huffman");
  EXPECT_STREQ(SOFMarker::processName(0xC8), "???");
  EXPECT_STREQ(SOFMarker::processName(0xCB), "Lossless (sequential) arithmetic");
  EXPECT_EQ(listingOf({segmentBytes(0xCF, {8, 0, 1, 0, 1, 0})}, 0),
            "Marker SOF15 \"Differential lossless (sequential) arithmetic\" (bytes 2 - 11)\n"
            "  Precision 8, width 1, height 1\n");
}

TEST(ComPrint, EscapesUnprintableBytes) {
  EXPECT_EQ(listingOf({segmentBytes(0xFE, {'a', '\t', 0xE9}),
                       segmentBytes(0xFE, {'\n', '\r', 0, 0x1F, 0x7F, 0xFF, '"', '\\', ' ', '~'}),
                       segmentBytes(0xFE, {})}),
            "  Marker COM (bytes 2 - 8): \"a\\t\\351\"\n"
            "  Marker COM (bytes 9 - 22): \"\\n\\r\\000\\037\\177\\377\"\\ ~\"\n"
            "  Marker COM (bytes 23 - 26): \"\"\n");
}

TEST(BasePrint, UnknownSegmentsAreDumpedAtTheirOwnLevel) {
  Bytes payload(17);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 15);
  EXPECT_EQ(listingOf({segmentBytes(0xE3, payload), segmentBytes(0xEF, {})}),
            "  Marker e3 (bytes 2 - 22)\n"
            "   00 0f 1e 2d 3c 4b 5a 69 78 87 96 a5 b4 c3 d2 e1\n"
            "   f0\n"
            "  Marker ef (bytes 23 - 26)\n");
}

}  // namespace
}  // namespace tessel
