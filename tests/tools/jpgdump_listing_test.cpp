// Golden listings of jpgdump over files built here: every marker class, an Exif block with its
// sub-directories, maker note and thumbnail, an XMP packet, and the failures that stop a file.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "exif/tiff_builder.h"
#include "jpeg/markers_test_support.h"
#include "support/test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::bytesOf;
using test::jpegOf;
using test::segmentBytes;
using test::TiffBlock;

std::string dump(const Bytes& file, const std::string& name = "t.jpg") {
  test::TempDir dir;
  test::writeFile(dir.file(name), file);
  const test::RunResult r = test::runProgram({TESSEL_JPGDUMP, name}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
  return r.out;
}

Bytes exifSegment(const TiffBlock& block) {
  Bytes payload(6 + block.data.size(), 0);
  std::copy_n("Exif", 4, payload.begin());
  std::copy(block.data.begin(), block.data.end(), payload.begin() + 6);
  return segmentBytes(0xE1, payload);
}

Bytes frameSegments() {
  Bytes dqt(65, 2);
  dqt[0] = 0;
  Bytes dht(17 + 1, 0);
  dht[1] = 1;  // one code of length 1: symbol 0
  return test::concat({segmentBytes(0xDB, dqt), segmentBytes(0xC4, dht),
                       segmentBytes(0xC0, {8, 0, 8, 0, 8, 1, 1, 0x11, 0}),
                       segmentBytes(0xDD, {0, 1}), segmentBytes(0xDA, {1, 1, 0, 0, 63, 0}),
                       Bytes{0x00, 0xFF, 0x00, 0x7F}});
}

TEST(JpgdumpListing, EveryMarkerKind) {
  const Bytes file = jpegOf(
      {segmentBytes(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 1, 0, 72, 0, 72, 0, 0}),
       segmentBytes(0xE2, bytesOf(std::string("ICC_PROFILE\0\1\1", 14))),
       segmentBytes(0xEC, bytesOf("Ducky!")),
       segmentBytes(0xED, bytesOf(std::string("Photoshop 3.0\0"
                                              "8BIM",
                                              18))),
       segmentBytes(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 1}),
       segmentBytes(0xFE, bytesOf("Hi\tthere\n")), segmentBytes(0xE5, {1, 2, 3}), frameSegments()});
  EXPECT_EQ(dump(file),
            "File t.jpg (length=232):\n"
            "  Marker APP0 (bytes 2 - 19)\n"
            "    JFIF version 0x0101\n"
            "    X resolution: 72 DPI\n"
            "    Y resolution: 72 DPI\n"
            "    Thumbnail size 0 x 0 (0 bytes)\n"
            "  Marker APP2 (bytes 20 - 37)\n"
            "    \"ICC_PROFILE\" signature\n"
            "  Marker APP12 (bytes 38 - 47)\n"
            "    \"Ducky\" signature\n"
            "  Marker APP13 (bytes 48 - 69)\n"
            "    Photoshop 3.0 content\n"
            "  Marker APP14 (bytes 70 - 85)\n"
            "    \"Adobe\" signature\n"
            "    version=100, flags0=0, flags1=0, color transform=YCbCr\n"
            "  Marker COM (bytes 86 - 98): \"Hi\\tthere\\n\"\n"
            "  Marker e5 (bytes 99 - 105)\n"
            "   01 02 03\n"
            "  Marker DQT (bytes 106 - 174)\n"
            "    Table 0 precision 8\n"
            "  Marker DHT (bytes 175 - 196)\n"
            "    Table 0 (DC table)\n"
            "  Marker SOF0 \"Baseline DCT Huffman\" (bytes 197 - 209)\n"
            "    Precision 8, width 8, height 8\n"
            "     Component 1: horiz sampling 1, vert sampling 1, quant table 0\n"
            "  Marker DRI (bytes 210 - 215)\n"
            "    Restart interval: 1\n"
            "  Marker SOS (bytes 216 - 225)\n"
            "    Component 1: DC Table 0, AC table 0\n"
            "    Spectral selection 0 to 63, bit position high 0/low 0\n"
            "  Compressed data length 4\n"
            "Finished parsing t.jpg (identified 229 bytes out of 232, 3 left).\n"
            "\n");
}

// An Exif block in big-endian order: IFD0 with Make and Orientation, the Exif directory with a
// Canon maker note and an Interoperability directory, a GPS directory, and IFD1 with the thumbnail.
TiffBlock cameraBlock(const Bytes& thumbnail) {
  TiffBlock b(true, 240);
  b.header(8).ifd(
      8, {{271, 2, 6, 200}, test::shortEntry(274, 6, true), {34665, 4, 1, 64}, {34853, 4, 1, 116}},
      136);
  b.ifd(64, {{37500, 7, 18, 170}, {40965, 4, 1, 96}}, 0);
  b.ifd(96, {{1, 2, 4, 0, std::string("R98")}}, 0);
  b.ifd(116, {{1, 2, 2, 0, std::string("N")}}, 0);
  b.ifd(136, {{513, 4, 1, 240}, {514, 4, 1, static_cast<uint32_t>(thumbnail.size())}}, 0);
  b.ifd(170, {{0x10, 4, 1, 0x80000001u}}, 0);
  b.bytes(200, std::string("Canon\0", 6));
  b.bytes(240, thumbnail);
  return b;
}

Bytes thumbnailFile() {
  return jpegOf({segmentBytes(0xC0, {8, 0, 4, 0, 6, 1, 1, 0x11, 0}),
                 segmentBytes(0xDA, {1, 1, 0, 0, 63, 0}), Bytes{0xAB}});
}

TEST(JpgdumpListing, ExifTreeThumbnailAndXmp) {
  const std::string xmp = std::string("http://ns.adobe.com/xap/1.0/\0", 29) + "<x>  \r\n\r\n</x>";
  const Bytes file =
      jpegOf({exifSegment(cameraBlock(thumbnailFile())), segmentBytes(0xE1, bytesOf(xmp))});
  EXPECT_EQ(dump(file),
            "File t.jpg (length=328):\n"
            "  Marker APP1 (bytes 2 - 279)\n"
            "    TIFF data in Motorola order\n"
            "    Tag 0x10f \"Make\" (value bytes 212 - 217):\n"
            "     \"Canon\"\n"
            "    Tag 0x112 \"Orientation\" (value bytes 42 - 43):\n"
            "     6\n"
            "    ExifOffset:\n"
            "      TIFF data in Motorola order\n"
            "      Canon MakerNote:\n"
            "        TIFF data in Motorola order\n"
            "        Tag 0x10 \"Canon Model ID\" (value bytes 192 - 195):\n"
            "         2147483649\n"
            "      InteroperabilityOffset:\n"
            "        TIFF data in Motorola order\n"
            "        Tag 0x1 \"InteropIndex\" (value bytes 118 - 121):\n"
            "         \"R98\"\n"
            "    GPS Dir offset:\n"
            "      TIFF data in Motorola order\n"
            "      Tag 0x1 \"Latitude Ref\" (value bytes 138 - 139):\n"
            "       \"N\"\n"
            "    Tag 0x201 \"ThumbnailOffset\" (value bytes 158 - 161):\n"
            "     240\n"
            "    Tag 0x202 \"ThumbnailLength\" (value bytes 170 - 173):\n"
            "     28\n"
            "    Thumbnail:\n"
            "      Marker SOF0 \"Baseline DCT Huffman\" (bytes 254 - 266)\n"
            "        Precision 8, width 6, height 4\n"
            "         Component 1: horiz sampling 1, vert sampling 1, quant table 0\n"
            "      Marker SOS (bytes 267 - 276)\n"
            "        Component 1: DC Table 0, AC table 0\n"
            "        Spectral selection 0 to 63, bit position high 0/low 0\n"
            "      Compressed data length 1\n"
            "  Marker APP1 (bytes 280 - 325)\n"
            "    Adobe XMP packet:\n"
            "<x>\n"
            "</x>\n"
            "Finished parsing t.jpg (identified 264 bytes out of 328, 64 left).\n"
            "\n");
}

TEST(JpgdumpListing, CorruptThumbnailIsDroppedButCounted) {
  // The thumbnail's only segment claims a length that runs past the thumbnail.
  const Bytes broken = jpegOf({Bytes{0xFF, 0xFE, 0x00, 0x30, 'x'}});
  const std::string out = dump(jpegOf({exifSegment(cameraBlock(broken))}));
  EXPECT_EQ(out.find("Thumbnail:"), std::string::npos) << out;
  // The directories claim 176 bytes of the 249-byte TIFF block; the thumbnail's SOI, COM prefix,
  // code and length field claimed before the failure (6 bytes) stay identified.
  EXPECT_NE(out.find("    Tag 0x202 \"ThumbnailLength\" (value bytes 170 - 173):\n     9\n"
                     "Finished parsing t.jpg (identified 196 bytes out of 263, 67 left).\n"),
            std::string::npos)
      << out;
}

TEST(JpgdumpListing, FailuresStopTheFile) {
  EXPECT_EQ(dump(jpegOf({segmentBytes(0xE0, bytesOf(std::string("JFXX\0\x10", 6)))})),
            "Failed on t.jpg: Unknown APP0 signature\n\n");
  EXPECT_EQ(dump(jpegOf({segmentBytes(0xDD, {0, 1, 0})})),
            "Failed on t.jpg: DRI header is wrong size\n\n");
  TiffBlock badOrder(false);
  badOrder.header(8, "XX");
  EXPECT_EQ(dump(jpegOf({exifSegment(badOrder)})),
            "Failed on t.jpg: Exif header has invalid byte order\n\n");
  EXPECT_EQ(dump(jpegOf({exifSegment(TiffBlock(false).header(8, nullptr, 0x2B00))})),
            "Failed on t.jpg: Exif header has invalid start marker\n\n");
  EXPECT_EQ(dump(jpegOf({exifSegment(TiffBlock(false).header(8).ifd(8, {{0x100, 6, 1, 0}}))})),
            "Failed on t.jpg: Unknown TIFF data type\n\n");
  EXPECT_EQ(dump(jpegOf({exifSegment(TiffBlock(true).header(8).ifd(8, {{0x100, 7, 100001, 0}}))})),
            "Failed on t.jpg: Invalid TIFF data count\n\n");
  EXPECT_EQ(dump(jpegOf({segmentBytes(0xC0, {8, 0, 1, 0, 1, 2, 1, 0x11, 0})})),
            "Failed on t.jpg: Invalid offset or corrupt data\n\n");
  EXPECT_EQ(dump(Bytes{0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x01, 0xFF, 0xD9}),
            "Failed on t.jpg: Invalid header length or corrupt data\n\n");
}

}  // namespace
}  // namespace tessel
