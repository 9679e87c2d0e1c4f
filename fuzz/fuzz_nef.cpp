// Reads arbitrary bytes as a Nikon NEF raw file, as the image-source loader does for .nef files.
// Images above 4 million pixels are refused so that each run stays small. Seeds (corpus/nef)
// were written with tests/support/nef_builder: small 12- and 14-bit files in each CFA layout,
// with one and several strips.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "sources/raw_tiff_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  tessel::PixelImage image;
  try {
    tessel::readRawTiffBytes(image, "fuzz.nef", data, static_cast<uint32_t>(size), 4000000);
  } catch (const tessel::RawLayerException&) {
    // Bad input is expected to fail with a message; anything else escapes and crashes.
  }
  if (image.pixels) {
    // Every pixel the reader produced is opaque.
    const size_t pixels = size_t{image.width} * image.height;
    for (size_t i = 0; i < pixels; ++i) {
      if (image.pixels[4 * i + 3] != 0xFFFF && image.pixels[4 * i + 3] != 0) std::abort();
    }
  }
  return 0;
}
