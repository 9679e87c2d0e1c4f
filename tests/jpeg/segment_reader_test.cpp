#include <gtest/gtest.h>

#include "core/exception.h"
#include "core/messages.h"
#include "jpeg/jpeg_reader.h"
#include "markers_test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::concat;
using test::kEoi;
using test::kSoi;
using test::segmentBytes;
using test::Segmented;

// APP3 and APP15 have no class of their own: their payloads stay unclaimed.
const uint8_t kApp3 = 0xE3;

TEST(SegmentReaderTest, TrailingBytesAndUnknownPayloadsStayUnclaimed) {
  Bytes trailer(100, 0xAB);
  Segmented s(concat({kSoi, segmentBytes(kApp3, {1, 2, 3}), kEoi, trailer}));
  EXPECT_EQ(s.error, "");
  ASSERT_EQ(s.list.items.size(), 1u);
  EXPECT_EQ(s.list.items[0]->payload, s.bytes.data() + 6);
  EXPECT_EQ(s.tracker.unclaimedBytes(), 103u);
}

TEST(SegmentReaderTest, TheLastEoiPairIsTheEndSoAnInnerOneIsASegment) {
  // An EOI code that is not at the final EOI position is read like any segment, with a length.
  Segmented s(concat({kSoi, {0xFF, 0xD9, 0x00, 0x03, 0x07}, kEoi}));
  EXPECT_EQ(s.error, "");
  ASSERT_EQ(s.list.items.size(), 1u);
  EXPECT_EQ(s.list.items[0]->code, 0xD9);
  EXPECT_EQ(s.list.items[0]->length, 1);
}

TEST(SegmentReaderTest, StructuralFaultsHaveTheirOwnMessages) {
  EXPECT_EQ(Segmented({0xFF}).error, msg::kMissingEoi);
  EXPECT_EQ(Segmented({0xFF, 0xD9}).error, msg::kMissingEoi);  // no pair at offset 2 or later
  EXPECT_EQ(Segmented(concat({kSoi, {1, 2, 3}})).error, msg::kMissingEoi);
  EXPECT_EQ(Segmented(concat({{0x12}, kSoi, kEoi})).error, msg::kMissingMarkerPrefix);
  EXPECT_EQ(Segmented(concat({{0xFF, 0xE0, 0x00, 0x02}, kEoi})).error, msg::kMissingSoi);
  EXPECT_EQ(Segmented(concat({kSoi, {0x42}, kEoi})).error, msg::kMissingMarkerPrefix);
  // The pair found at the EOI position must be EOI itself.
  EXPECT_EQ(Segmented(concat({kSoi, {0xFF, 0x01}, {0xFF, 0xD9}})).error, msg::kInvalidOffset);
}

TEST(SegmentReaderTest, PaddingZerosAndStrayFF00PairsAreSkippedAndClaimed) {
  Segmented minimal(concat({kSoi, kEoi}));
  EXPECT_EQ(minimal.error, "");
  EXPECT_EQ(minimal.list.compressedData, nullptr);
  EXPECT_EQ(minimal.tracker.unclaimedBytes(), 0u);
  Segmented s(concat({kSoi, {0x00, 0x00, 0xFF, 0x00}, segmentBytes(kApp3, {}), {0x00}, kEoi}));
  EXPECT_EQ(s.error, "");
  ASSERT_EQ(s.list.items.size(), 1u);
  EXPECT_EQ(s.tracker.unclaimedBytes(), 0u);
}

TEST(SegmentReaderTest, BadLengthsFailOnTheNextClaim) {
  // Length field 0: a negative payload length walks back over claimed bytes.
  EXPECT_EQ(Segmented(concat({kSoi, {0xFF, kApp3, 0x00, 0x00}, kEoi})).error, msg::kInvalidOffset);
  // A length running past the data.
  EXPECT_EQ(Segmented(concat({kSoi, {0xFF, kApp3, 0x7F, 0xFF, 1}, kEoi})).error,
            msg::kInvalidOffset);
  // A fill byte 0xFF before a marker is taken as a segment with code 0xFF.
  Segmented fill(concat({kSoi, {0xFF, 0xFF, 0xE3, 0x00, 0x02}, kEoi}));
  EXPECT_EQ(fill.error, msg::kInvalidOffset);
  ASSERT_FALSE(fill.list.items.empty());
  EXPECT_EQ(fill.list.items[0]->code, 0xFF);
}

TEST(SegmentReaderTest, EverythingAfterTheFirstScanHeaderIsEntropyCodedData) {
  const Bytes sos = segmentBytes(0xDA, {1, 1, 0x00, 0, 63, 0});
  const Bytes scans = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xC4, 0x00,
                       0x02, 0xFF, 0xDA, 0x00, 0x02, 0x56};
  Segmented s(concat({kSoi, segmentBytes(kApp3, {}), sos, scans, kEoi}));
  ASSERT_EQ(s.list.items.size(), 2u);  // only the first SOS is a segment
  EXPECT_EQ(s.list.compressedData, s.bytes.data() + 16);
  EXPECT_EQ(s.list.compressedLength, scans.size());
  // Only the scan header's payload may be left for its class to claim.
  EXPECT_LE(s.tracker.unclaimedBytes(), 6u);
}

TEST(SegmentReaderTest, AScanHeaderReachingPastTheEoiLeavesNegativeScanData) {
  // The only EOI pair lies inside the scan header's payload, so the data would end before it
  // starts.
  Segmented s(concat({kSoi, segmentBytes(0xDA, {1, 1, 0x00, 0, 63, 0, 0xFF, 0xD9, 7, 7}), {1, 2}}));
  EXPECT_EQ(s.error, msg::kInvalidHeaderLengthOrCorrupt);
}

TEST(SegmentReaderTest, ThumbnailRangesUseTheirOwnEoiInsideABound) {
  // A stream inside a larger buffer: segmented with its own length under a pushed bound.
  const Bytes inner = concat({kSoi, segmentBytes(kApp3, {5}), kEoi});
  Bytes outer = concat({kSoi, inner, kEoi});
  RangeTracker tracker(outer.data(), static_cast<int32_t>(outer.size()));
  MarkerList list;
  {
    BoundGuard bound(tracker, outer.data() + 2, static_cast<int64_t>(inner.size()));
    segment(list, tracker, outer.data() + 2, static_cast<int32_t>(inner.size()));
  }
  ASSERT_EQ(list.items.size(), 1u);
  std::ostringstream listing;
  list.print(outer.data(), 0, listing);
  EXPECT_EQ(listing.str(), "Marker e3 (bytes 4 - 8)\n 05\n");  // file offsets
}

}  // namespace
}  // namespace tessel
