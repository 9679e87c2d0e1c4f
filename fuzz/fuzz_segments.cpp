// Segments arbitrary bytes as a JPEG file, with the images its multi-picture index places after
// its own, and lists every segment, as jpgdump does.

#include <cstdint>
#include <cstdlib>

#include "core/exception.h"
#include "core/range_tracker.h"
#include "jpeg/markers/jpeg_reader.h"
#include "null_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  tessel::MarkerList list;
  tessel::RangeTracker tracker(data, static_cast<int32_t>(size));
  NullStream out;
  try {
    tessel::segmentFile(list, tracker, data, static_cast<int32_t>(size));
    list.print(data, 1, out);
  } catch (const tessel::RawLayerException&) {
    // Bad input is expected to fail with a message; anything else escapes and crashes.
  }
  // The account of identified bytes must always be consistent with the buffer.
  if (tracker.unclaimedBytes() > size) std::abort();
  return 0;
}
