#pragma once

// The images that a file's multi-picture index (an APP2 "MPF" segment) places after the file's
// own image: finding and segmenting them for the listing and the merge, and listing them.

#include <cstdint>
#include <ostream>

#include "jpeg/markers/jpeg_reader.h"

namespace tessel {

class APP2Marker;

// The file's first APP2 segment with a readable multi-picture index, or null.
const APP2Marker* mpfSegment(const MarkerList& list);

// Fills list.mpImages from the index of mpfSegment(list): one image for every MP entry after the
// first, segmented into its own list when it lies after the file's image (list.imageEnd) inside
// [data, data + length), overlaps no other image, and is a JPEG. Claims only what the images'
// segments claim.
void findMpImages(MarkerList& list, RangeTracker& tracker, const uint8_t* data, int32_t length);

// "MP image <n>, <type> (bytes <first> - <last>):" at `level`, then the image's segments one
// level deeper, or the reason why it is not listed on the same line.
void printMpImage(const MpImage& image, const uint8_t* base, int level, std::ostream& out);

}  // namespace tessel
