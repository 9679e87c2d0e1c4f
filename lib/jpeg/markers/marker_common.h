#pragma once

#include <cstdint>
#include <cstring>
#include <ostream>

#include "core/byte_order.h"
#include "core/range_tracker.h"
#include "jpeg/markers/jpeg_reader.h"

namespace tessel {

// "Marker <name> (bytes <first> - <last>)" plus `tail` at `level`: the header line every marker
// class starts its listing with.
void printMarkerHeader(const JPEGReader::Marker& marker, const char* name, const uint8_t* base,
                       int level, std::ostream& out, const char* tail = "\n");

// The parse shared by the segments that are identified as a whole without looking inside:
// claims the payload when its length is not 0 (a negative length fails the claim).
void claimWholePayload(RangeTracker& tracker, const uint8_t* payload, int32_t length);

// True when the payload is at least as long as the signature and starts with it. For use after a
// successful parse, when the whole payload is known to lie inside the buffer.
template <size_t N>
bool hasSignature(const uint8_t* payload, int32_t length, const char (&signature)[N],
                  size_t size = N - 1) {
  return length >= static_cast<int64_t>(size) && std::memcmp(payload, signature, size) == 0;
}

// True when [p, p + size) lies inside the tracker's current bound, so that it can be read. A
// segment's length field is not checked against the buffer before its parse runs, so a parse must
// not look at payload bytes it has not claimed without this test.
bool insideBound(const RangeTracker& tracker, const uint8_t* p, int64_t size);

// hasSignature for a parse: a signature whose bytes lie outside the current bound (a segment that
// runs past the end of its buffer) does not match.
template <size_t N>
bool hasSignature(const RangeTracker& tracker, const uint8_t* payload, int32_t length,
                  const char (&signature)[N], size_t size = N - 1) {
  return length >= static_cast<int64_t>(size) && insideBound(tracker, payload, size) &&
         std::memcmp(payload, signature, size) == 0;
}

}  // namespace tessel
