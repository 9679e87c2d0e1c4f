#include "core/range_tracker.h"

#include <algorithm>
#include <cstdint>

#include "core/exception.h"
#include "core/messages.h"

namespace tessel {

RangeTracker::RangeTracker(const uint8_t* base, int32_t length) : base_(base) {
  unclaimed_.reserve(4);
  bounds_.reserve(4);
  unclaimed_.push_back({0, length});
  bounds_.push_back({0, length});
}

void RangeTracker::pushBound(const uint8_t* p, int64_t length) {
  if (length < 0) fail(msg::kInvalidHeaderLength);
  const Range current = bounds_.back();
  const int64_t off = offsetOf(p);
  const int64_t end = off + length;
  const int64_t lo = std::max<int64_t>(off, current.lo);
  const int64_t hi = std::min<int64_t>(end, current.hi);
  // The result may be empty or inverted (a range outside the current bound); every claim in it
  // then fails. Clipping keeps lo inside 32 bits; hi is clamped for ranges wholly below.
  const auto clamp32 = [](int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
  };
  bounds_.push_back({clamp32(lo), clamp32(hi)});
}

void RangeTracker::popBound() {
  if (bounds_.size() > 1) bounds_.pop_back();
}

bool RangeTracker::insideBound(int64_t off, int64_t end) const noexcept {
  const Range current = bounds_.back();
  return off >= current.lo && end <= current.hi;
}

int64_t RangeTracker::search(int64_t off, int64_t end) const noexcept {
  size_t lo = 0, hi = unclaimed_.size();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    const Range& entry = unclaimed_[mid];
    if (entry.lo >= end) {
      hi = mid;
    } else if (entry.hi <= off) {
      lo = mid + 1;
    } else {
      return static_cast<int64_t>(mid);
    }
  }
  return -1;
}

bool RangeTracker::isUnclaimed(const uint8_t* p, int64_t length) const noexcept {
  if (length < 0) return false;
  const int64_t off = offsetOf(p);
  const int64_t end = off + length;
  if (!insideBound(off, end)) return false;
  const int64_t found = search(off, end);
  if (found < 0) return false;
  const Range& entry = unclaimed_[static_cast<size_t>(found)];
  return entry.lo <= off && entry.hi >= end;
}

void RangeTracker::claim(const uint8_t* p, int64_t length) {
  if (length < 0) fail(msg::kInvalidHeaderLengthOrCorrupt);
  const int64_t off = offsetOf(p);
  const int64_t end = off + length;
  if (!insideBound(off, end)) fail(msg::kInvalidOffset);
  const int64_t found = search(off, end);
  if (found < 0) fail(msg::kInvalidOffset);
  const size_t index = static_cast<size_t>(found);
  Range& entry = unclaimed_[index];
  if (entry.lo > off || entry.hi < end) fail(msg::kInvalidOffset);

  // Inside the bound, so both ends fit in 32 bits.
  const auto off32 = static_cast<int32_t>(off), end32 = static_cast<int32_t>(end);
  if (entry.lo == off32) {
    entry.lo = end32;  // may leave an empty entry, which stays
  } else if (entry.hi == end32) {
    entry.hi = off32;
  } else {
    const Range tail{end32, entry.hi};
    entry.hi = off32;
    unclaimed_.insert(unclaimed_.begin() + static_cast<std::ptrdiff_t>(index) + 1, tail);
  }
}

uint32_t RangeTracker::unclaimedBytes() const noexcept {
  uint32_t total = 0;
  for (const Range& entry : unclaimed_) total += static_cast<uint32_t>(entry.hi - entry.lo);
  return total;
}

}  // namespace tessel
