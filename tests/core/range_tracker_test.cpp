#include "core/range_tracker.h"

#include <gtest/gtest.h>

#include "core/exception.h"
#include "core/messages.h"

namespace tessel {
namespace {

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const RawLayerException& e) {
    return e.message();
  }
  return "(no exception)";
}

class RangeTrackerTest : public ::testing::Test {
 protected:
  uint8_t buffer[100] = {};
  RangeTracker tracker{buffer, 100};
};

TEST_F(RangeTrackerTest, ClaimingAByteTwiceFails) {
  tracker.claim(buffer + 10, 5);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 14, 1); }), msg::kInvalidOffset);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 8, 3); }), msg::kInvalidOffset);
  EXPECT_EQ(tracker.unclaimedBytes(), 95u);
}

TEST_F(RangeTrackerTest, ClaimPastTheBoundFailsAndChangesNothing) {
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 99, 2); }), msg::kInvalidOffset);
  // The byte before the buffer, formed as a number: pointer arithmetic may not leave the array.
  const auto* before = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(buffer) - 1);
  EXPECT_EQ(messageOf([&] { tracker.claim(before, 1); }), msg::kInvalidOffset);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer, -1); }), msg::kInvalidHeaderLengthOrCorrupt);
  EXPECT_EQ(tracker.unclaimedBytes(), 100u);
  tracker.claim(buffer + 99, 1);
}

TEST_F(RangeTrackerTest, WholeEntryClaimLeavesEmptyEntryThatNeighboursStillUse) {
  tracker.claim(buffer + 10, 10);  // splits into [0,10) [20,100)
  tracker.claim(buffer, 10);       // [0,10) becomes empty and stays
  ASSERT_EQ(tracker.unclaimed().size(), 2u);
  EXPECT_EQ(tracker.unclaimed()[0].lo, tracker.unclaimed()[0].hi);
  EXPECT_EQ(tracker.unclaimedBytes(), 80u);
  tracker.claim(buffer + 20, 1);
  tracker.claim(buffer + 99, 1);
  EXPECT_EQ(tracker.unclaimedBytes(), 78u);
}

TEST_F(RangeTrackerTest, MiddleClaimSplitsAndSearchFindsBothHalves) {
  tracker.claim(buffer + 40, 20);
  ASSERT_EQ(tracker.unclaimed().size(), 2u);
  EXPECT_EQ(tracker.unclaimedBytes(), 80u);
  EXPECT_TRUE(tracker.isUnclaimed(buffer, 40));
  EXPECT_TRUE(tracker.isUnclaimed(buffer + 60, 40));
  EXPECT_FALSE(tracker.isUnclaimed(buffer + 30, 20));  // crosses into claimed bytes
  EXPECT_FALSE(tracker.isUnclaimed(buffer + 30, -1));
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 39, 2); }), msg::kInvalidOffset);
}

TEST_F(RangeTrackerTest, ZeroLengthClaimAtTheStartOfAnEntryFails) {
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer, 0); }), msg::kInvalidOffset);
  tracker.claim(buffer + 5, 0);  // strictly inside an entry
}

TEST_F(RangeTrackerTest, BoundsNestAndClip) {
  tracker.pushBound(buffer + 90, 50);  // clipped to [90, 100)
  EXPECT_EQ(tracker.currentBound().lo, 90);
  EXPECT_EQ(tracker.currentBound().hi, 100);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 80, 1); }), msg::kInvalidOffset);
  EXPECT_FALSE(tracker.isUnclaimed(buffer + 80, 1));
  tracker.claim(buffer + 95, 5);
  tracker.popBound();
  tracker.claim(buffer + 80, 1);
  EXPECT_EQ(messageOf([&] { tracker.pushBound(buffer, -1); }), msg::kInvalidHeaderLength);
}

TEST_F(RangeTrackerTest, BoundWhollyOutsideRejectsEveryClaim) {
  tracker.pushBound(buffer + 20, 10);
  tracker.pushBound(buffer + 50, 10);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 25, 1); }), msg::kInvalidOffset);
  EXPECT_EQ(messageOf([&] { tracker.claim(buffer + 55, 1); }), msg::kInvalidOffset);
  tracker.popBound();
  tracker.claim(buffer + 25, 1);
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

TEST_F(RangeTrackerTest, BoundGuardPopsWhenAnExceptionPasses) {
  try {
    BoundGuard guard(tracker, buffer + 10, 10);
    tracker.claim(buffer + 30, 1);
  } catch (const RawLayerException&) {
  }
  tracker.claim(buffer + 30, 1);
}

}  // namespace
}  // namespace tessel
