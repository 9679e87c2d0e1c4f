// The range tracker and the property list: the two rule-heavy pieces of the foundation whose every
// rule is not visible in a listing.

#include <gtest/gtest.h>

#include <cstring>

#include "core/exception.h"
#include "core/jpeg_markers.h"
#include "core/messages.h"
#include "core/property_list.h"
#include "core/range_tracker.h"
#include "exif/messages.h"
#include "exif/tag_names.h"
#include "support/support.h"

namespace tessel {
namespace {

using test::messageOf;

TEST(RangeTracker, ClaimsBoundsAndTheirFailures) {
  uint8_t buffer[100] = {};
  RangeTracker t(buffer, 100);
  const auto claim = [&](int64_t at, int64_t length) {
    return messageOf([&] { t.claim(buffer + at, length); });
  };
  const std::string ok = "(no exception)";
  // Outside the buffer, negative, and a zero length at the start of an entry: nothing changes.
  EXPECT_EQ(claim(99, 2), msg::kInvalidOffset);
  EXPECT_EQ(claim(0, -1), msg::kInvalidHeaderLengthOrCorrupt);
  EXPECT_EQ(claim(0, 0), msg::kInvalidOffset);
  // The byte before the buffer, formed as a number: pointer arithmetic may not leave the array.
  const auto* before = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(buffer) - 1);
  EXPECT_EQ(messageOf([&] { t.claim(before, 1); }), msg::kInvalidOffset);
  EXPECT_EQ(claim(10, INT64_C(0x7FFFFFFF)), msg::kInvalidOffset);  // no wrap-around
  EXPECT_EQ(t.unclaimedBytes(), 100u);

  // A claim inside an entry splits it; claims that touch claimed bytes fail.
  EXPECT_EQ(claim(40, 20), ok);
  EXPECT_EQ(t.unclaimed().size(), 2u);
  EXPECT_TRUE(t.isUnclaimed(buffer, 40));
  EXPECT_TRUE(t.isUnclaimed(buffer + 60, 40));
  EXPECT_FALSE(t.isUnclaimed(buffer + 30, 20));
  EXPECT_FALSE(t.isUnclaimed(buffer + 30, -1));
  EXPECT_FALSE(t.isUnclaimed(buffer + 10, INT64_C(0xFFFFFFFF)));
  EXPECT_EQ(claim(39, 2), msg::kInvalidOffset);
  EXPECT_EQ(claim(59, 1), msg::kInvalidOffset);
  // A whole entry leaves an empty one behind, which its neighbours do not mind.
  EXPECT_EQ(claim(0, 40), ok);
  EXPECT_EQ(t.unclaimed().size(), 2u);
  EXPECT_EQ(t.unclaimed()[0].lo, t.unclaimed()[0].hi);
  EXPECT_EQ(claim(60, 1), ok);
  EXPECT_EQ(claim(99, 1), ok);
  EXPECT_EQ(claim(70, 0), ok);  // strictly inside an entry
  EXPECT_EQ(t.unclaimedBytes(), 38u);

  // Bounds clip to their parent; one wholly outside refuses every claim; a guard pops its bound
  // however the scope is left.
  t.pushBound(buffer + 90, 50);
  EXPECT_EQ(t.currentBound().hi, 100);
  EXPECT_EQ(claim(80, 1), msg::kInvalidOffset);
  EXPECT_FALSE(t.isUnclaimed(buffer + 80, 1));
  t.popBound();
  EXPECT_EQ(messageOf([&] { t.pushBound(buffer, -1); }), msg::kInvalidHeaderLength);
  t.pushBound(buffer + 20, 10);
  t.pushBound(buffer + 50, 10);
  EXPECT_EQ(claim(25, 1), msg::kInvalidOffset);
  EXPECT_EQ(claim(55, 1), msg::kInvalidOffset);
  t.popBound();
  t.popBound();
  EXPECT_EQ(messageOf([&] {
              BoundGuard guard(t, buffer + 10, 10);
              t.claim(buffer + 80, 1);
            }),
            msg::kInvalidOffset);
  EXPECT_EQ(claim(80, 1), ok);
}

TEST(PropertyList, SettersReplaceInPlaceAppendKeepsAndValuesEndInZero) {
  PropertyList list;
  setAscii(list, 306, "2001", 5);
  setShort(list, 274, 1);
  setAscii(list, 306, "2002:02", 8);
  ASSERT_EQ(list.count(), 2u);
  EXPECT_STREQ(reinterpret_cast<const char*>(list.items()[0].data()), "2002:02");
  setLong(list, 274, 3);  // the type is not compared
  EXPECT_EQ(list.items()[1].type, uint32_t{kTypeLong});
  setAscii(list, 306, list.find(306)->data() + 5, 3);  // bytes taken from the item replaced
  EXPECT_STREQ(reinterpret_cast<const char*>(list.find(306)->data()), "02");
  list.append(makeProperty(274, kTypeAscii, 2, "x"));
  EXPECT_EQ(list.count(), 3u);
  EXPECT_EQ(list.find(274)->type, uint32_t{kTypeLong});  // the first of a tag wins
  const std::string text(24, 'q');
  setAscii(list, 270, text.data(), 24);  // no terminator of its own
  EXPECT_EQ(list.find(270)->data()[24], 0);

  for (uint32_t type : {0u, 14u, 128u, 130u, 0x10003u}) {
    EXPECT_EQ(messageOf([&] { typeSize(type); }), msg::kInvalidPropertyType) << type;
  }
  EXPECT_EQ(typeSize(kTypeDouble) + typeSize(kTypeRational) + typeSize(kTypeShort), 18u);
  // The signed types, IFD and UTF-8 text are TIFF and Exif types as well.
  EXPECT_EQ(typeSize(kTypeSByte) * 1000 + typeSize(kTypeSShort) * 100 + typeSize(kTypeIfd) * 10 +
                typeSize(kTypeUtf8),
            1241u);
  EXPECT_EQ(messageOf([] { makeProperty(1, kTypeDouble, 0x20000000u, nullptr); }),
            msg::kPropertyTooLarge);

  // Orientation: one SHORT of tag 274, nothing else.
  PropertyList o;
  EXPECT_EQ(messageOf([&] { orientation(o); }), msg::kMissingImageProperty);
  setLong(o, 274, 6);
  EXPECT_FALSE(hasOrientation(o));
  const uint16_t two[2] = {6, 8};
  o.set(Property(274, kTypeShort, 2, two, 4));
  EXPECT_EQ(messageOf([&] { orientation(o); }), msg::kIncorrectCount);
  setShort(o, 274, 8);
  EXPECT_EQ(orientation(o), 8);
  for (uint32_t tag : {271u, 274u, 36867u}) EXPECT_TRUE(isImagePropertyTag(tag)) << tag;
  for (uint32_t tag : {271u | 0x30000, 273u, 513u, 34665u, 49153u}) {
    EXPECT_FALSE(isImagePropertyTag(tag)) << tag;
  }
}

// The walks over entropy-coded data pass over stuffed pairs many bytes at a time; every case is
// placed at every offset of a buffer, with data after it, so that a pair may straddle any block
// boundary, in data dense with stuffed 0xFF 0x00 pairs.
TEST(JpegMarkers, WalksFindTheSameMarkersAtEveryOffset) {
  struct Case {
    std::vector<uint8_t> bytes;
    int imageEnd;       // offset in `bytes` of the EOI, -1: none
    int segmentMarker;  // offset of the first marker other than a restart marker, -1: none
    bool last = false;  // the bytes end the data
  };
  const Case cases[] = {
      {{0xFF, 0xD9}, 0, 0},
      {{0xFF, 0xD0, 0x12, 0xFF, 0xD9}, 3, 3},                    // restart marker passed over
      {{0xFF, 0xFF, 0xD9}, 1, 0},                                // fill byte before EOI
      {{0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xD9}, 4, 4},              // stuffed pairs back to back
      {{0xFF, 0xC4, 0x00, 0x04, 0xFF, 0xD9, 0xFF, 0xD9}, 6, 0},  // a segment skipped by length
      {{0x12, 0xFF}, -1, -1, true},                              // a last 0xFF has no code
  };
  for (const Case& c : cases) {
    for (size_t offset = 0; offset < 200; ++offset) {
      std::vector<uint8_t> data(offset, 0x12);
      for (size_t i = 5; i + 1 < offset; i += 7) data[i] = 0xFF, data[i + 1] = 0x00;
      data.insert(data.end(), c.bytes.begin(), c.bytes.end());
      if (!c.last) data.insert(data.end(), 100, 0x34);
      const uint8_t* begin = data.data();
      const uint8_t* end = begin + data.size();
      const uint8_t* imageEnd = findImageEnd(begin, end);
      EXPECT_EQ(imageEnd ? imageEnd - begin : -1, c.imageEnd < 0 ? -1 : int(offset) + c.imageEnd)
          << "offset " << offset;
      const uint8_t* marker = nextSegmentMarker(begin, end);
      EXPECT_EQ(marker == end ? -1 : marker - begin,
                c.segmentMarker < 0 ? -1 : int(offset) + c.segmentMarker)
          << "offset " << offset;
    }
  }
}

}  // namespace
}  // namespace tessel
