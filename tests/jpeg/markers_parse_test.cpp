// Marker classes: which class each code gets, what each parse claims, and how it fails.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <typeinfo>

#include "core/messages.h"
#include "jpeg/markers/app0_marker.h"
#include "jpeg/markers/app12_marker.h"
#include "jpeg/markers/app13_marker.h"
#include "jpeg/markers/app14_marker.h"
#include "jpeg/markers/app1_marker.h"
#include "jpeg/markers/app2_marker.h"
#include "jpeg/markers/com_marker.h"
#include "jpeg/markers/dht_marker.h"
#include "jpeg/markers/dqt_marker.h"
#include "jpeg/markers/dri_marker.h"
#include "jpeg/markers/messages.h"
#include "jpeg/markers/sof_marker.h"
#include "jpeg/markers/sos_marker.h"
#include "markers_test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::bytesOf;
using test::jpegOf;
using test::segmentBytes;
using test::Segmented;

TEST(MarkerFactory, ClassByCode) {
  const std::map<int, const std::type_info*> classes = {
      {0xC4, &typeid(DHTMarker)},   {0xDA, &typeid(SOSMarker)},   {0xDB, &typeid(DQTMarker)},
      {0xDD, &typeid(DRIMarker)},   {0xE0, &typeid(APP0Marker)},  {0xE1, &typeid(APP1Marker)},
      {0xE2, &typeid(APP2Marker)},  {0xEC, &typeid(APP12Marker)}, {0xED, &typeid(APP13Marker)},
      {0xEE, &typeid(APP14Marker)}, {0xFE, &typeid(COMMarker)}};
  const uint8_t payload[1] = {0};
  for (int code = 0; code < 256; ++code) {
    const auto marker = makeMarker(static_cast<uint8_t>(code), 0, payload);
    const JPEGReader::Marker& object = *marker;
    const bool sof = code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
    const auto found = classes.find(code);
    const std::type_info& expected = found != classes.end() ? *found->second
                                     : sof                  ? typeid(SOFMarker)
                                                            : typeid(JPEGReader::Marker);
    EXPECT_EQ(typeid(object), expected) << std::hex << code;
  }
}

Bytes jfif(uint8_t units, uint8_t w, uint8_t h, size_t thumbnailBytes) {
  Bytes p(14 + thumbnailBytes, 0x55);
  const uint8_t header[14] = {'J', 'F', 'I', 'F', 0, 1, 2, units, 0, 72, 0, 96, w, h};
  std::copy(header, header + 14, p.begin());
  return segmentBytes(0xE0, p);
}

TEST(App0Parse, JfifHeaderAndThumbnailAreClaimed) {
  Segmented thumb(jpegOf({jfif(0, 2, 1, 6)}));
  EXPECT_EQ(thumb.error, "");
  EXPECT_EQ(thumb.tracker.unclaimedBytes(), 0u);
  // Extra bytes after the thumbnail stay unclaimed.
  Segmented extra(jpegOf({jfif(0, 0, 0, 3)}));
  EXPECT_EQ(extra.tracker.unclaimedBytes(), 3u);
  // A thumbnail size larger than the segment claims into the next segment's bytes.
  Segmented over(jpegOf({jfif(0, 2, 2, 0), segmentBytes(0xFE, bytesOf("0123456789abc"))}));
  EXPECT_EQ(over.error, msg::kInvalidOffset);
}

TEST(App0Parse, OtherSignaturesFailTheFile) {
  for (const Bytes& payload : {bytesOf(std::string("JFXX\0\x10", 6)), bytesOf("JFIF"), Bytes{}}) {
    Segmented s(jpegOf({segmentBytes(0xE0, payload)}));
    EXPECT_EQ(s.error, msg::kUnknownApp0Signature);
  }
  // A JFIF header shorter than 14 bytes claims past its segment.
  Segmented shortHeader(jpegOf({segmentBytes(0xE0, bytesOf(std::string("JFIF\0\1\2", 7)))}));
  EXPECT_EQ(shortHeader.error, msg::kInvalidOffset);
}

TEST(App14Parse, OnlyTheAdobeHeaderIsClaimed) {
  Segmented adobe(
      jpegOf({segmentBytes(0xEE, bytesOf(std::string("Adobe\0\x64\0\0\0\0\1xyz", 15)))}));
  EXPECT_EQ(adobe.error, "");
  EXPECT_EQ(adobe.tracker.unclaimedBytes(), 3u);
  Segmented other(jpegOf({segmentBytes(0xEE, bytesOf("Adobf-something"))}));
  EXPECT_EQ(other.tracker.unclaimedBytes(), 15u);
}

TEST(WholePayloadParse, ClaimsEverythingAndRejectsNegativeLengths) {
  for (uint8_t code : {0xE2, 0xFE}) {
    Segmented s(jpegOf({segmentBytes(code, bytesOf("payload")), segmentBytes(code, {})}));
    EXPECT_EQ(s.error, "") << int(code);
    EXPECT_EQ(s.tracker.unclaimedBytes(), 0u) << int(code);
    // A length field of 1 gives a payload length of -1.
    Segmented negative(Bytes{0xFF, 0xD8, 0xFF, code, 0x00, 0x01, 0xFF, 0xD9});
    EXPECT_EQ(negative.error, msg::kInvalidHeaderLengthOrCorrupt) << int(code);
  }
  // The base class claims nothing.
  Segmented unknown(jpegOf({segmentBytes(0xE3, bytesOf("payload"))}));
  EXPECT_EQ(unknown.error, "");
  EXPECT_EQ(unknown.tracker.unclaimedBytes(), 7u);
}

TEST(TableParse, DqtDhtSofSosClaimTheirStructure) {
  Bytes dqt = {0x00};
  dqt.resize(65, 1);
  dqt.push_back(0x11);
  dqt.resize(65 + 129, 2);
  Bytes dht = {0x00, 0, 2, 1};
  dht.resize(17, 0);
  dht.insert(dht.end(), {5, 6, 7});
  dht.push_back(0x11);
  dht.insert(dht.end(), 16, 0);
  const Bytes sof = {8, 0, 16, 0, 32, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
  const Bytes sos = {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
  Segmented s(jpegOf({segmentBytes(0xDB, dqt), segmentBytes(0xC4, dht), segmentBytes(0xC0, sof),
                      segmentBytes(0xDD, {0, 4}), segmentBytes(0xDA, sos), Bytes{1, 2, 3}}));
  EXPECT_EQ(s.error, "");
  EXPECT_EQ(s.tracker.unclaimedBytes(), 0u);
  EXPECT_EQ(s.list.compressedLength, 3u);

  // Counts that reach past the segment claim the next segment's bytes.
  Bytes longDqt = {0x10};
  longDqt.resize(65, 0);  // an 8-bit table's worth of bytes for a 16-bit table
  EXPECT_EQ(
      Segmented(jpegOf({segmentBytes(0xDB, longDqt), segmentBytes(0xFE, Bytes(80, 'x'))})).error,
      msg::kInvalidOffset);
  Bytes longDht = {0x00, 9};
  longDht.resize(17, 0);
  EXPECT_EQ(
      Segmented(jpegOf({segmentBytes(0xC4, longDht), segmentBytes(0xFE, Bytes(20, 'x'))})).error,
      msg::kInvalidOffset);
  EXPECT_EQ(Segmented(jpegOf({segmentBytes(0xC2, {8, 0, 1, 0, 1, 4, 1, 0x11, 0})})).error,
            msg::kInvalidOffset);
  EXPECT_EQ(Segmented(jpegOf({segmentBytes(0xDA, {2, 1, 0})})).error, msg::kInvalidOffset);
  // Empty table segments are fine; a DRI takes exactly two bytes.
  EXPECT_EQ(Segmented(jpegOf({segmentBytes(0xDB, {}), segmentBytes(0xC4, {})})).error, "");
  EXPECT_EQ(Segmented(jpegOf({segmentBytes(0xDD, {0, 8, 0})})).error, msg::kDriWrongSize);
  EXPECT_EQ(Segmented(jpegOf({segmentBytes(0xDD, {})})).error, msg::kDriWrongSize);
}

TEST(SignatureParse, SegmentsRunningPastTheBufferAreNotRead) {
  // A length field of 0xBC with only a few bytes after it: the signatures cannot be compared in
  // bytes that are not there, so the segment fails cleanly.
  const std::string xmpStart = "http://ns.adobe.com/xa";
  const struct {
    uint8_t code;
    std::string start;
    std::string error;
  } cases[] = {
      {0xE0, "JFI", msg::kUnknownApp0Signature}, {0xE1, "Exi", msg::kInvalidOffset},
      {0xE1, xmpStart, msg::kInvalidOffset},     {0xEE, "Ado", msg::kInvalidOffset},
      {0xE2, "ICC_PRO", msg::kInvalidOffset},
  };
  for (const auto& c : cases) {
    Bytes file = {0xFF, 0xD8, 0xFF, c.code, 0x00, 0xBC};
    file.insert(file.end(), c.start.begin(), c.start.end());
    file.insert(file.end(), {0xFF, 0xD9});
    EXPECT_EQ(Segmented(file).error, c.error) << int(c.code) << " " << c.start;
  }
}

}  // namespace
}  // namespace tessel
