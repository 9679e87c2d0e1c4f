// Segments arbitrary bytes as a JPEG file and decodes it, as jpgdump -d does.

#include <cstdint>
#include <cstdlib>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/range_tracker.h"
#include "frame_cap.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/jpeg_reader.h"

namespace {

// Frames above this many pixels are passed over.
constexpr uint64_t kMaxPixels = 4000000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  tessel::MarkerList list;
  tessel::RangeTracker tracker(data, static_cast<int32_t>(size));
  try {
    tessel::segment(list, tracker, data, static_cast<int32_t>(size));
  } catch (const tessel::RawLayerException&) {
    return 0;
  }
  uint32_t width = 0, height = 0;
  if (!tessel::fuzz::framesWithinCap(list, kMaxPixels, width, height)) return 0;
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
