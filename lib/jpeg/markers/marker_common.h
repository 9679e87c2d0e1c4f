#pragma once

#include <cstdint>
#include <cstring>
#include <ostream>

#include "core/range_tracker.h"
#include "jpeg/jpeg_reader.h"

namespace tessel {

// "Marker <name> (bytes <first> - <last>)" plus `tail` at `level`: the header line every marker
// class starts its listing with.
void printMarkerHeader(const JPEGReader::Marker& marker, const char* name, const uint8_t* base,
                       int level, std::ostream& out, const char* tail = "\n");

// The parse shared by the segments that are identified as a whole without looking inside:
// claims the payload when its length is not 0 (a negative length fails the claim).
void claimWholePayload(RangeTracker& tracker, const uint8_t* payload, int32_t length);

// True when the payload is at least as long as the signature and starts with it.
template <size_t N>
bool hasSignature(const uint8_t* payload, int32_t length, const char (&signature)[N],
                  size_t size = N - 1) {
  return length >= static_cast<int64_t>(size) && std::memcmp(payload, signature, size) == 0;
}

inline uint32_t bigEndian16(const uint8_t* p) {
  return (uint32_t{p[0]} << 8) | p[1];
}

}  // namespace tessel
