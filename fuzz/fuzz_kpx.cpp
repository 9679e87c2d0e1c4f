// Reads arbitrary bytes as a KPX container, as the image-source loader does for .kpx files.
// Seeds (corpus/kpx) were written with tests/support/kpx_builder: the smallest file, properties
// and pixels in several orders, and a few damaged sections.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "sources/kpx_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessel::PixelImage image;
  try {
    tessel::readKpxBytes(image, data, size);
  } catch (const tessel::RawLayerException&) {
    // Bad input is expected to fail with a message; anything else escapes and crashes.
  }
  // Whatever was accepted must be consistent: a pixel block exactly when the size is not empty.
  if ((image.pixels != nullptr) != (uint64_t{image.width} * image.height != 0)) std::abort();
  return 0;
}
