#pragma once

#include <cstdint>
#include <vector>

namespace tessel {

// For one buffer: the byte ranges not yet identified, and a stack of nested bounds. Every parser
// claims a range before it relies on it, so a corrupt offset or length is caught before it is
// followed, a structure that points back into bytes already read cannot loop, and the inspect
// tool can report how many bytes were identified. A byte can be claimed only once.
//
// Offsets are signed 32-bit distances from `base`; all sums are formed in 64 bits, so no length
// or offset can wrap around a check.
class RangeTracker {
 public:
  struct Range {
    int32_t lo;  // first byte
    int32_t hi;  // one past the last byte
  };

  RangeTracker(const uint8_t* base, int32_t length);

  // Narrows the current bound to [p, p + length) clipped to it. A range wholly outside gives an
  // empty bound in which every claim fails. Throws "Invalid header length" for a negative length.
  void pushBound(const uint8_t* p, int64_t length);
  void popBound();

  // True when [p, p + length) lies inside the current bound and inside one unclaimed range.
  bool isUnclaimed(const uint8_t* p, int64_t length) const noexcept;
  // Marks [p, p + length) as identified. Throws "Invalid header length or corrupt data" for a
  // negative length and "Invalid offset or corrupt data" for a range outside the current bound or
  // not wholly unclaimed. A failed claim changes nothing.
  void claim(const uint8_t* p, int64_t length);

  // Total length of the unclaimed ranges.
  uint32_t unclaimedBytes() const noexcept;

  const uint8_t* base() const { return base_; }
  int64_t offsetOf(const uint8_t* p) const { return p - base_; }
  const std::vector<Range>& unclaimed() const { return unclaimed_; }
  Range currentBound() const { return bounds_.back(); }

 private:
  // Index of an unclaimed entry overlapping [off, end), or -1.
  int64_t search(int64_t off, int64_t end) const noexcept;
  bool insideBound(int64_t off, int64_t end) const noexcept;

  std::vector<Range> unclaimed_;  // sorted by lo, disjoint; emptied entries stay
  std::vector<Range> bounds_;     // stack; back() is the current bound
  const uint8_t* base_;
};

// Pushes a bound for its lifetime, so that the bound is popped however the scope is left.
class BoundGuard {
 public:
  BoundGuard(RangeTracker& tracker, const uint8_t* p, int64_t length) : tracker_(tracker) {
    tracker_.pushBound(p, length);
  }
  ~BoundGuard() { tracker_.popBound(); }
  BoundGuard(const BoundGuard&) = delete;
  BoundGuard& operator=(const BoundGuard&) = delete;

 private:
  RangeTracker& tracker_;
};

}  // namespace tessel
