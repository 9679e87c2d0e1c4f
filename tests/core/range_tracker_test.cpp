#include "core/range_tracker.h"

#include <gtest/gtest.h>

#include "core/exception.h"
#include "core/messages.h"
#include "support/test_support.h"

namespace tessel {
namespace {

using test::messageOf;

class RangeTrackerTest : public ::testing::Test {
 protected:
  uint8_t buffer[100] = {};
  RangeTracker tracker{buffer, 100};
};

TEST_F(RangeTrackerTest, ClaimsSplitEntriesAndOverlapsOrOutOfRangeClaimsFail) {
  // Out of range and negative claims change nothing.
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 99, 2); }), msg::kInvalidOffset);
  // The byte before the buffer, formed as a number: pointer arithmetic may not leave the array.
  const auto* before = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(buffer) - 1);
  EXPECT_EQ(messageOf([&] { tracker.claim(before, 1); }), msg::kInvalidOffset);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer, -1); }), msg::kInvalidHeaderLengthOrCorrupt);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer, 0); }), msg::kInvalidOffset);
  EXPECT_EQ(tracker.unclaimedBytes(), 100u);

  tracker.claim(buffer + 40, 20);
  ASSERT_EQ(tracker.unclaimed().size(), 2u);
  EXPECT_TRUE(tracker.isUnclaimed(buffer, 40));
  EXPECT_TRUE(tracker.isUnclaimed(buffer + 60, 40));
  EXPECT_FALSE(tracker.isUnclaimed(buffer + 30, 20));  // crosses into claimed bytes
  EXPECT_FALSE(tracker.isUnclaimed(buffer + 30, -1));
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 39, 2); }), msg::kInvalidOffset);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 59, 1); }), msg::kInvalidOffset);

  // A whole-entry claim leaves an empty entry that the neighbours still use.
  tracker.claim(buffer, 40);
  ASSERT_EQ(tracker.unclaimed().size(), 2u);
  EXPECT_EQ(tracker.unclaimed()[0].lo, tracker.unclaimed()[0].hi);
  tracker.claim(buffer + 60, 1);
  tracker.claim(buffer + 99, 1);
  tracker.claim(buffer + 70, 0);  // strictly inside an entry
  EXPECT_EQ(tracker.unclaimedBytes(), 38u);
}

TEST_F(RangeTrackerTest, BoundsNestClipAndPopOnExceptions) {
  tracker.pushBound(buffer + 90, 50);  // clipped to [90, 100)
  EXPECT_EQ(tracker.currentBound().hi, 100);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 80, 1); }), msg::kInvalidOffset);
  EXPECT_FALSE(tracker.isUnclaimed(buffer + 80, 1));
  tracker.popBound();
  EXPECT_EQ(messageOf([&] { tracker.pushBound(buffer, -1); }), msg::kInvalidHeaderLength);

  // A bound wholly outside its parent rejects every claim.
  tracker.pushBound(buffer + 20, 10);
  tracker.pushBound(buffer + 50, 10);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 25, 1); }), msg::kInvalidOffset);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 55, 1); }), msg::kInvalidOffset);
  tracker.popBound();
  tracker.popBound();

  try {
    BoundGuard guard(tracker, buffer + 10, 10);
    tracker.claim(buffer + 30, 1);
  } catch (const RawLayerException&) {
  }
  tracker.claim(buffer + 30, 1);
}

TEST_F(RangeTrackerTest, HugeOffsetsDoNotWrapPastTheChecks) {
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 10, INT64_C(0x7FFFFFFF)); }),
            msg::kInvalidOffset);
  EXPECT_FALSE(tracker.isUnclaimed(buffer + 10, INT64_C(0xFFFFFFFF)));
  {
    BoundGuard guard(tracker, buffer + 10, INT64_C(0x7FFFFFFF));
    EXPECT_EQ(tracker.currentBound().hi, 100);
  }
  EXPECT_EQ(tracker.currentBound().lo, 0);
}

}  // namespace
}  // namespace tessel
